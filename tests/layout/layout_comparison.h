// One layout table against another: the host headers' against the WDK's.
// A table holds, for each entry of wdk_layout_list.h in order, two words: a
// type's size and alignment, or a field's offset and size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace layout {

// What an entry of the list is about, as the list spells it.
struct EntryName {
    const char* type;
    const char* field;  // null for the type itself
};

// The list's entries, in order.
const std::vector<EntryName>& ListedEntries();

// The host headers' table for the list (without the magic words).
std::vector<uint32_t> HostTable();

// The words between the leading and the trailing magic of a table read from
// the probe's section; empty when the words do not frame exactly `entries`
// entries that way.
std::vector<uint32_t> UnwrapTable(const std::vector<uint32_t>& words, size_t entries);

// One line per value that differs, such as
// "IRP.Tail.Overlay.CurrentStackLocation: host offset 64, WDK offset 120".
std::vector<std::string> CompareTables(const std::vector<EntryName>& names, const std::vector<uint32_t>& host,
                                       const std::vector<uint32_t>& wdk);

}  // namespace layout
