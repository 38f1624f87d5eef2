#pragma once

#include <string>

// How every number on quelvixcam's command line (and in its environment) is
// read: an optional sign, then decimal digits or 0x and hexadecimal digits,
// nothing before or after. A leading zero is not octal: 0300 is three
// hundred. True with the value when it lies within [low, high].
bool ParseWholeNumber(const std::string& text, long long low, long long high, long long* value);
