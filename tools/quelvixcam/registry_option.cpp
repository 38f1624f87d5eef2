#include "tools/quelvixcam/registry_option.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/quelvixcam/whole_number.h"

namespace {

// mkdir -p for the default directory only; a --registry path names a
// directory that must exist, like any output file.
bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

}  // namespace

std::string DefaultRegistryPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string directory;
    // XDG's base directory rules say a relative value is invalid and
    // is to be ignored.
    if (state && state[0] == '/') {
        directory = std::string(state) + "/quelvixcam";
    } else {
        const char* home = std::getenv("HOME");
        directory = std::string(home && home[0] ? home : ".") + "/.local/state/quelvixcam";
    }
    return directory + "/registry.reg";
}

bool CheckRegistryOption(const char* tool, const std::string& path) {
    if (!path.empty()) return true;
    std::fprintf(stderr, "%s: --registry needs a file name, not an empty one\n", tool);
    return false;
}

int RegistryWaitMilliseconds(const char* tool) {
    const char* text = std::getenv("QUELVIXCAM_REGISTRY_WAIT");
    if (!text || !text[0]) return kDefaultRegistryWaitSeconds * 1000;
    long long seconds = 0;
    if (!ParseWholeNumber(text, 0, 3600, &seconds)) {
        std::fprintf(stderr, "%s: QUELVIXCAM_REGISTRY_WAIT must be a whole number of seconds from 0 to 3600, not '%s'\n",
                     tool, text);
        return -1;
    }
    return static_cast<int>(seconds * 1000);
}

bool UseRegistryStore(const char* tool, const std::string& path, rig::Options* options) {
    // An empty name would give the rig a store in memory, never saved.
    if (!CheckRegistryOption(tool, path)) return false;
    int waitMs = RegistryWaitMilliseconds(tool);
    if (waitMs < 0) return false;
    if (path == DefaultRegistryPath()) {
        std::string directory = path.substr(0, path.rfind('/'));
        if (!MakeDirectories(directory)) {
            std::fprintf(stderr, "%s: cannot create %s for the registry store: %s\n", tool, directory.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    options->registryFile = path;
    options->registryWaitMs = waitMs;
    return true;
}
