// The rule every subcommand's options follow: an option is given at most
// once, except --set and --camera-fault, which add up. A second --width (or
// --registry, --frames, ...) is refused with one line rather than one of the
// two winning without a word.
#pragma once

#include <string>
#include <vector>

class OptionsSeen {
public:
    // True when `option` may be taken: an operand (not "--..."), a
    // repeatable option, or an option met for the first time. False, after
    // printing "TOOL: OPTION is given twice; it may be given once" on
    // standard error, when it was met before.
    bool First(const char* tool, const std::string& option);

private:
    std::vector<std::string> seen_;
};
