// soak [--seed N] [--cycles N] [--verbose]
//
// Plugs the simulated camera in under the driver and runs N cycles of random
// application work with faults and unplugs (soak.h). The last line is
//   cycles=N unplugs=U faults=F leaks=L hangs=H violations=V
// and the exit status is 0 only when L, H and V are all 0.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/soak/soak.h"

namespace {

bool ParseCount(const char* text, uint64_t* value) {
    if (!text || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno || *end) return false;
    *value = parsed;
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: soak [--seed N] [--cycles N] [--verbose]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    soak::Settings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            if (!ParseCount(argv[++i], &settings.seed)) return Usage();
        } else if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
            if (!ParseCount(argv[++i], &settings.cycles)) return Usage();
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            settings.verbose = true;
        } else {
            return Usage();
        }
    }
    return soak::RunSoak(settings);
}
