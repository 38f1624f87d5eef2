#include "tests/layout/layout_comparison.h"

#include <cstddef>
#include <cstring>

#include "driver/wdk.h"
#include "tests/layout/layout_magic.h"
#include "tests/layout/wdk_layout_table.h"

namespace layout {

const std::vector<EntryName>& ListedEntries() {
#define LAYOUT_TYPE(type) {#type, nullptr},
#define LAYOUT_FIELD(type, field) {#type, #field},
    static const std::vector<EntryName> entries = {
#include "tests/layout/wdk_layout_list.h"
    };
#undef LAYOUT_TYPE
#undef LAYOUT_FIELD
    return entries;
}

std::vector<uint32_t> HostTable() {
#define LAYOUT_TYPE(type) sizeof(type), alignof(type),
#define LAYOUT_FIELD(type, field) offsetof(type, field), sizeof(((type*)nullptr)->field),
    return {
#include "tests/layout/wdk_layout_list.h"
    };
#undef LAYOUT_TYPE
#undef LAYOUT_FIELD
}

std::vector<uint32_t> UnwrapTable(const std::vector<uint32_t>& words, size_t entries) {
    const size_t used = 2 * entries + 2;
    if (words.size() < used || words.front() != kLayoutMagic || words[used - 1] != kLayoutMagic) return {};
    for (size_t i = used; i < words.size(); ++i) {
        if (words[i] != 0) return {};
    }
    return std::vector<uint32_t>(words.begin() + 1, words.begin() + static_cast<std::ptrdiff_t>(used - 1));
}

std::vector<uint32_t> WdkLayoutWords() {
    std::vector<uint32_t> words(kWdkLayoutByteCount / sizeof(uint32_t));
    std::memcpy(words.data(), kWdkLayoutBytes, words.size() * sizeof(uint32_t));
    return words;
}

namespace {

std::string Label(const EntryName& name) {
    std::string label = name.type;
    if (name.field != nullptr) label += std::string(".") + name.field;
    return label;
}

void CompareValue(const std::string& label, const char* what, uint32_t host, uint32_t wdk,
                  std::vector<std::string>* differences) {
    if (host == wdk) return;
    differences->push_back(label + ": host " + what + " " + std::to_string(host) + ", WDK " + what + " " +
                           std::to_string(wdk));
}

}  // namespace

std::vector<std::string> CompareTables(const std::vector<EntryName>& names, const std::vector<uint32_t>& host,
                                       const std::vector<uint32_t>& wdk) {
    std::vector<std::string> differences;
    if (host.size() != 2 * names.size() || wdk.size() != 2 * names.size()) {
        differences.push_back("tables of " + std::to_string(host.size()) + " and " + std::to_string(wdk.size()) +
                              " words for " + std::to_string(names.size()) + " entries");
        return differences;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const bool isType = names[i].field == nullptr;
        const std::string label = Label(names[i]);
        CompareValue(label, isType ? "size" : "offset", host[2 * i], wdk[2 * i], &differences);
        CompareValue(label, isType ? "alignment" : "size", host[2 * i + 1], wdk[2 * i + 1], &differences);
    }
    return differences;
}

}  // namespace layout
