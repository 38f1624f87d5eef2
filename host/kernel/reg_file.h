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

// Reads the text of a file (UTF-8 with or without a byte order mark, or
// UTF-16LE with one as the registry editor exports; CRLF or LF). False with
// "line N: what is wrong" in `error` when the text is not such a file.
bool ParseRegFile(const std::string& bytes, std::vector<RegFileKey>* keys, std::string* error);

// The file text for `keys`, in the order given: UTF-8, CRLF line ends, one
// blank line between keys. REG_DWORD values of four bytes as dword:, REG_SZ
// values that hold one terminated string as "text", anything else as hex.
std::string FormatRegFile(const std::vector<RegFileKey>& keys);

// Conversions between the driver's UTF-16 names and the UTF-8 of the file.
std::string Utf16ToUtf8(const uint16_t* text, size_t count);
std::vector<uint16_t> Utf8ToUtf16(const std::string& text);

}  // namespace hostk
