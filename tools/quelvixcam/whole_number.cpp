#include "tools/quelvixcam/whole_number.h"

#include <limits>

bool ParseWholeNumber(const std::string& text, long long low, long long high, long long* value) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) return false;
    // Accumulated as a magnitude that stops growing once it is out of every
    // range a caller can ask for, so no digit count overflows it.
    const unsigned long long ceiling = static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1;
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        if (magnitude > ceiling) continue;
        magnitude = magnitude > (ceiling - digit) / base ? ceiling + 1 : magnitude * base + digit;
    }
    if (magnitude > ceiling || (!negative && magnitude == ceiling)) return false;
    long long result = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    if (result < low || result > high) return false;
    *value = result;
    return true;
}
