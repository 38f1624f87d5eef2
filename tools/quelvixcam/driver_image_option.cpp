#include "tools/quelvixcam/driver_image_option.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "rig/driver_image.h"

bool TakeDriverImageOption(const char* tool, int* argc, char** argv) {
    std::string path;
    bool seen = false;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--driver-image") != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        if (seen) {
            std::fprintf(stderr, "%s: --driver-image is given twice; it may be given once\n", tool);
            return false;
        }
        if (i + 1 >= *argc || !*argv[i + 1]) {
            std::fprintf(stderr, "%s: --driver-image needs the path of a driver image\n", tool);
            return false;
        }
        seen = true;
        path = argv[++i];
    }
    *argc = kept;
    argv[kept] = nullptr;
    if (!seen) return true;
    std::string error;
    if (!rig::UseDriverImage(path, &error)) {
        std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
        return false;
    }
    return true;
}
