#include "tools/quelvixcam/options_seen.h"

#include <algorithm>
#include <cstdio>

bool OptionsSeen::First(const char* tool, const std::string& option) {
    if (option.compare(0, 2, "--") != 0 || option == "--set" || option == "--camera-fault") return true;
    if (std::find(seen_.begin(), seen_.end(), option) == seen_.end()) {
        seen_.push_back(option);
        return true;
    }
    std::fprintf(stderr, "%s: %s is given twice; it may be given once\n", tool, option.c_str());
    return false;
}
