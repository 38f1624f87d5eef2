#include "host/kernel/reg_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace hostk {
namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

const char* const kHives[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                              "HKEY_CURRENT_CONFIG"};

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses 1..8 hex digits filling all of `text`.
bool ParseHex32(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t result = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0) return false;
        result = (result << 4) | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string list = Trim(text);
    if (list.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t comma = list.find(',', start);
        std::string item = Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        uint32_t value;
        if (item.size() > 2 || !ParseHex32(item, &value)) return false;
        bytes->push_back(static_cast<uint8_t>(value));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// Reads a quoted string starting at text[*pos] == '"'; leaves *pos after the
// closing quote. Only \\ and \" are escapes, as the registry editor writes.
bool ParseQuoted(const std::string& text, size_t* pos, std::string* out, std::string* error) {
    size_t i = *pos + 1;
    out->clear();
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                *error = "a backslash in a quoted string must be followed by \\ or \"";
                return false;
            }
            out->push_back(text[i + 1]);
            i += 2;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    *error = "a quoted string is not closed";
    return false;
}

// What keeps a name out of the file: a NUL or a line break, which the text
// cannot state, or more UTF-16 characters than the registry allows. "" when
// the name can be kept.
std::string NameProblem(const std::string& name, const char* what, size_t maxLength) {
    if (name.find('\0') != std::string::npos) return std::string("a ") + what + " holds a NUL character";
    if (name.find_first_of("\r\n") != std::string::npos) return std::string("a ") + what + " holds a line break";
    size_t length = Utf8ToUtf16(name).size();
    if (length > maxLength) {
        return std::string("a ") + what + " of " + std::to_string(length) + " characters is longer than the " +
               std::to_string(maxLength) + " the registry allows";
    }
    return "";
}

bool ParseValueData(const std::string& text, RegFileValue* value, std::string* error) {
    if (text == "-") {
        *error = "value deletions (=-) do not belong in a store file";
        return false;
    }
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string content;
        if (!ParseQuoted(text, &pos, &content, error)) return false;
        if (!Trim(text.substr(pos)).empty()) {
            *error = "text follows the closing quote of a string value";
            return false;
        }
        value->type = kRegSz;
        for (uint16_t unit : Utf8ToUtf16(content)) {
            value->data.push_back(static_cast<uint8_t>(unit & 0xFF));
            value->data.push_back(static_cast<uint8_t>(unit >> 8));
        }
        value->data.push_back(0);
        value->data.push_back(0);
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        uint32_t number;
        if (!ParseHex32(Trim(text.substr(6)), &number)) {
            *error = "dword: needs one to eight hex digits, not '" + text.substr(6) + "'";
            return false;
        }
        value->type = kRegDword;
        for (int i = 0; i < 4; ++i) value->data.push_back(static_cast<uint8_t>(number >> (8 * i)));
        return true;
    }
    if (text.compare(0, 4, "hex:") == 0 || text.compare(0, 4, "hex(") == 0) {
        size_t colon = text.find(':');
        if (text[3] == '(') {
            size_t close = text.find(')');
            if (close == std::string::npos || close + 1 != colon || !ParseHex32(text.substr(4, close - 4), &value->type)) {
                *error = "hex(TYPE): needs a hex type number, as in hex(b):";
                return false;
            }
        } else {
            value->type = kRegBinary;
        }
        if (!ParseHexBytes(text.substr(colon + 1), &value->data)) {
            *error = "hex data must be two-digit hex bytes separated by commas";
            return false;
        }
        return true;
    }
    *error = "value data '" + text + "' is not a string, dword: or hex";
    return false;
}

// No name or value written as text holds a NUL, in either encoding: a file
// with one is refused on its line rather than loaded into a store that
// could never save it back.
bool RefuseNul(const std::string& text, std::string* error) {
    size_t nul = text.find('\0');
    if (nul == std::string::npos) return true;
    size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
    *error = "line " + std::to_string(line) + ": the file holds NUL bytes: a NUL has no place in a registry text file";
    return false;
}

// Decodes the file's bytes to UTF-8 text.
bool DecodeText(const std::string& bytes, std::string* text, std::string* error) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            *error = "the file is UTF-16 but has an odd number of bytes";
            return false;
        }
        std::vector<uint16_t> units;
        for (size_t i = 2; i < bytes.size(); i += 2) {
            units.push_back(static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) |
                                                  (static_cast<uint8_t>(bytes[i + 1]) << 8)));
        }
        *text = Utf16ToUtf8(units.data(), units.size());
        return RefuseNul(*text, error);
    }
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE && static_cast<uint8_t>(bytes[1]) == 0xFF) {
        *error = "the file is big-endian UTF-16, which the registry editor never writes";
        return false;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        *text = bytes.substr(3);
    } else {
        *text = bytes;
    }
    return RefuseNul(*text, error);
}

void AppendQuoted(std::string* out, const std::string& text) {
    out->push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

// A REG_SZ whose data is one NUL-terminated string without line breaks can be
// written as "text"; anything else keeps its exact bytes as hex(1).
bool AsPlainString(const RegFileValue& value, std::string* text) {
    const std::vector<uint8_t>& d = value.data;
    if (d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 1] != 0 || d[d.size() - 2] != 0) return false;
    std::vector<uint16_t> units;
    for (size_t i = 0; i + 2 < d.size(); i += 2) {
        uint16_t unit = static_cast<uint16_t>(d[i] | (d[i + 1] << 8));
        if (unit == 0 || unit == '\r' || unit == '\n') return false;
        units.push_back(unit);
    }
    *text = Utf16ToUtf8(units.data(), units.size());
    // Lone surrogates do not survive the round trip; keep those as hex.
    return Utf8ToUtf16(*text) == units;
}

}  // namespace

std::string Utf16ToUtf8(const uint16_t* text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::vector<uint16_t> Utf8ToUtf16(const std::string& text) {
    std::vector<uint16_t> out;
    size_t i = 0;
    while (i < text.size()) {
        uint8_t lead = static_cast<uint8_t>(text[i]);
        uint32_t c;
        size_t extra;
        if (lead < 0x80) { c = lead; extra = 0; }
        else if ((lead & 0xE0) == 0xC0) { c = lead & 0x1F; extra = 1; }
        else if ((lead & 0xF0) == 0xE0) { c = lead & 0x0F; extra = 2; }
        else if ((lead & 0xF8) == 0xF0) { c = lead & 0x07; extra = 3; }
        else { out.push_back(0xFFFD); ++i; continue; }
        bool valid = true;
        for (size_t k = 1; valid && k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) valid = false;
            else c = (c << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
        }
        if (!valid) { out.push_back(0xFFFD); ++i; continue; }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(c));
        }
    }
    return out;
}

bool SameRegistryName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool CheckKeyPath(const std::string& path, std::string* error) {
    // The depth is counted before anything is copied: a hostile path may be
    // tens of thousands of levels long, and is not repeated in the message.
    size_t levels = static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
    if (levels > kMaxKeyDepth) {
        *error = "a key nested " + std::to_string(levels) + " levels below its root key is deeper than the " +
                 std::to_string(kMaxKeyDepth) + " the registry allows";
        return false;
    }
    size_t first = path.find('\\');
    std::string hive = path.substr(0, first);
    bool known = false;
    for (const char* name : kHives) known = known || SameRegistryName(hive, name);
    if (!known) {
        *error = "key [" + path + "] does not start with a root key such as HKEY_LOCAL_MACHINE";
        return false;
    }
    size_t start = 0;
    while (true) {
        size_t slash = path.find('\\', start);
        std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name.empty()) {
            *error = "key [" + path + "] has an empty name in its path";
            return false;
        }
        std::string why = NameProblem(name, "key name", kMaxKeyNameLength);
        if (!why.empty()) {
            *error = why;
            return false;
        }
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

bool CheckValueName(const std::string& name, std::string* error) {
    *error = NameProblem(name, "value name", kMaxValueNameLength);
    return error->empty();
}

bool ParseRegFile(const std::string& bytes, std::vector<RegFileKey>* keys, std::string* error) {
    keys->clear();
    std::string text;
    if (!DecodeText(bytes, &text, error)) return false;

    // Physical lines, then logical ones: a value line ending in a backslash
    // goes on in the next (the editor wraps long hex values so). Only value
    // lines go on: a comment or a key line ending in one must not swallow
    // the line after it.
    std::vector<std::string> physical;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        physical.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }

    bool sawHeader = false;
    RegFileKey* current = nullptr;
    for (size_t i = 0; i < physical.size(); ++i) {
        size_t lineNumber = i + 1;
        std::string line = Trim(physical[i]);
        const bool valueLine = !line.empty() && (line[0] == '"' || line[0] == '@');
        while (valueLine && line.back() == '\\' && i + 1 < physical.size()) {
            line.pop_back();
            line += Trim(physical[++i]);
        }
        auto fail = [&](const std::string& what) {
            *error = "line " + std::to_string(lineNumber) + ": " + what;
            return false;
        };
        if (line.empty() || line[0] == ';') continue;
        if (!sawHeader) {
            if (line != kHeader) return fail("not a registry export file (the first line must be \"" + std::string(kHeader) + "\")");
            sawHeader = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') return fail("a key line must end with ]");
            std::string path = line.substr(1, line.size() - 2);
            if (!path.empty() && path[0] == '-') return fail("key deletions ([-KEY]) do not belong in a store file");
            std::string why;
            if (!CheckKeyPath(path, &why)) return fail(why);
            keys->push_back(RegFileKey{path, {}});
            current = &keys->back();
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            if (!current) return fail("a value comes before any [KEY] line");
            RegFileValue value;
            size_t pos = 1;
            if (line[0] == '"') {
                pos = 0;
                std::string why;
                if (!ParseQuoted(line, &pos, &value.name, &why)) return fail(why);
                if (!CheckValueName(value.name, &why)) return fail(why);
            }
            while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
            if (pos >= line.size() || line[pos] != '=') return fail("a value name must be followed by =");
            std::string why;
            if (!ParseValueData(Trim(line.substr(pos + 1)), &value, &why)) return fail(why);
            current->values.push_back(std::move(value));
            continue;
        }
        return fail("'" + line + "' is neither a [KEY] nor a \"Name\"=value line");
    }
    if (!sawHeader) {
        *error = "line 1: the file is empty (a registry export file starts with \"" + std::string(kHeader) + "\")";
        return false;
    }
    return true;
}

std::string FormatRegFile(const std::vector<RegFileKey>& keys) {
    std::string out = kHeader;
    out += "\r\n\r\n";
    for (const RegFileKey& key : keys) {
        out += "[" + key.path + "]\r\n";
        for (const RegFileValue& value : key.values) {
            if (value.name.empty()) out += "@"; else AppendQuoted(&out, value.name);
            out += "=";
            std::string plain;
            if (value.type == kRegDword && value.data.size() == 4) {
                uint32_t number = static_cast<uint32_t>(value.data[0]) | (static_cast<uint32_t>(value.data[1]) << 8) |
                                  (static_cast<uint32_t>(value.data[2]) << 16) |
                                  (static_cast<uint32_t>(value.data[3]) << 24);
                char hex[16];
                std::snprintf(hex, sizeof hex, "%08x", number);
                out += "dword:";
                out += hex;
            } else if (value.type == kRegSz && AsPlainString(value, &plain)) {
                AppendQuoted(&out, plain);
            } else {
                char prefix[24];
                if (value.type == kRegBinary) std::snprintf(prefix, sizeof prefix, "hex:");
                else std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
                out += prefix;
                for (size_t i = 0; i < value.data.size(); ++i) {
                    char byte[4];
                    std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", value.data[i]);
                    out += byte;
                }
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace hostk
