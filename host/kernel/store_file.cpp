#include "store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "registry_faults.h"
#include "registry_store.h"

namespace hostk {

namespace {

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* bytes, bool* exists, std::string* error) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            *exists = false;
            return true;
        }
        *error = path + ": cannot be read (" + std::strerror(errno ? errno : EIO) + ")";
        return false;
    }
    *exists = true;
    // A store file is small; one beyond the cap is refused before it is
    // read rather than loaded into memory on trust.
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size > static_cast<std::streamoff>(kRegistryStoreMaxBytes)) {
        *error = path + ": is " + std::to_string(size) + " bytes; a registry store file may hold at most " +
                 std::to_string(kRegistryStoreMaxBytes >> 20) + " MiB";
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        *error = path + ": cannot be read";
        return false;
    }
    *bytes = content.str();
    return true;
}

// The new text goes to a temporary file in the same directory (so that the
// rename stays on one file system), reaches the disk, and only then replaces
// the old file in one rename; the directory is synced so the rename itself
// survives a power cut. The temporary name carries the process id, so two
// processes saving at once cannot write into each other's file.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    std::string temporary = path + ".saving-" + std::to_string(::getpid());
    auto fail = [&](const char* what, int fd) {
        int code = errno ? errno : EIO;
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        *error = path + ": cannot be saved: " + what + " failed (" + std::strerror(code) + ")";
        return false;
    };
    errno = 0;
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail("creating the temporary file", -1);
    if (SaveFails(SaveStep::WriteTemporary)) {
        errno = ENOSPC;
        return fail("writing the temporary file", fd);
    }
    if (!WriteAll(fd, text)) return fail("writing the temporary file", fd);
    if (SaveFails(SaveStep::SyncTemporary)) {
        errno = EIO;
        return fail("syncing the temporary file", fd);
    }
    if (::fsync(fd) != 0) return fail("syncing the temporary file", fd);
    if (::close(fd) != 0) return fail("closing the temporary file", -1);
    if (SaveFails(SaveStep::Rename)) {
        errno = EIO;
        return fail("renaming the temporary file", -1);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) return fail("renaming the temporary file", -1);
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace hostk
