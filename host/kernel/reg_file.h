// The text format of registry export files ("Windows Registry Editor Version
// 5.00"), in which the registry stand-in keeps its store on disk, so that a
// person can read the file and the registry editor could import it:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\...\0000\Settings]
//   "Timeout"=dword:00000bb8
//   "Name"="text"
//   "Blob"=hex:01,02,03
//   "Other"=hex(b):00,01,02,03,04,05,06,07
//
// Only what such a file can state is modelled: keys by full path, values with
// a type number and data bytes. Deletion entries ([-KEY], "Name"=-) are
// refused: a store file describes what exists, it does not edit something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostk {

struct RegFileValue {
    std::string name;  // UTF-8; empty for the key's default value ("@")
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct RegFileKey {
    std::string path;  // full path from the hive, backslash-separated, UTF-8
    std::vector<RegFileValue> values;
};

// The registry's own limits, which a store file must keep too: keys at most
// 512 levels below their root key, key names of at most 255 characters and
// value names of at most 16,383 (UTF-16 characters, as the registry counts).
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

// Key and value names compare without regard to ASCII case.
bool SameRegistryName(const std::string& a, const std::string& b);

// Whether a full key path ("HKEY_CURRENT_USER\A\B") or a value name can be
// kept in a file: false with why not in `error`. Beyond the limits above, a
// name may hold no NUL and no line break, which the text cannot state.
bool CheckKeyPath(const std::string& path, std::string* error);
bool CheckValueName(const std::string& name, std::string* error);

// Reads the text of a file (UTF-8 with or without a byte order mark, or
// UTF-16LE with one as the registry editor exports; CRLF or LF). False with
// "line N: what is wrong" in `error` when the text is not such a file, or
// states something the registry cannot hold (see the limits above). Comment
// lines are read over and kept nowhere. Values directly under a root key
// ([HKEY_CURRENT_USER]) are values like any other.
bool ParseRegFile(const std::string& bytes, std::vector<RegFileKey>* keys, std::string* error);

// The file text for `keys`, in the order given: UTF-8, CRLF line ends, one
// blank line between keys. REG_DWORD values of four bytes as dword:, REG_SZ
// values that hold one terminated string as "text", anything else as hex.
std::string FormatRegFile(const std::vector<RegFileKey>& keys);

// Conversions between the driver's UTF-16 names and the UTF-8 of the file.
std::string Utf16ToUtf8(const uint16_t* text, size_t count);
std::vector<uint16_t> Utf8ToUtf16(const std::string& text);

}  // namespace hostk
