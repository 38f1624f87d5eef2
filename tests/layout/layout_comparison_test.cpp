// The comparison itself: a difference planted in a copy of the WDK's table is
// reported, named, and alone; tables that are not whole are refused. The WDK's
// own table stands in for the host's here, so that these hold whatever state
// the host headers are in.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "tests/layout/layout_comparison.h"
#include "tests/layout/layout_magic.h"
#include "tests/layout/wdk_layout_table.h"

namespace {

size_t EntryIndex(const char* type, const char* field) {
    const std::vector<layout::EntryName>& names = layout::ListedEntries();
    for (size_t i = 0; i < names.size(); ++i) {
        const bool sameField = field == nullptr ? names[i].field == nullptr
                                                : names[i].field != nullptr && std::strcmp(names[i].field, field) == 0;
        if (std::strcmp(names[i].type, type) == 0 && sameField) return i;
    }
    ADD_FAILURE() << type << (field ? "." : "") << (field ? field : "") << " is not listed";
    return 0;
}

std::vector<uint32_t> WdkTable() {
    return layout::UnwrapTable(layout::WdkLayoutWords(), layout::ListedEntries().size());
}

TEST(LayoutComparison, PlantedFieldOffsetIsTheOneDifferenceReported) {
    std::vector<uint32_t> planted = WdkTable();
    ASSERT_FALSE(planted.empty());
    const size_t entry = EntryIndex("IRP", "Tail.Overlay.CurrentStackLocation");
    planted[2 * entry] = 64;

    const std::vector<std::string> differences =
        layout::CompareTables(layout::ListedEntries(), WdkTable(), planted);

    ASSERT_EQ(differences.size(), 1u);
    EXPECT_EQ(differences[0], "IRP.Tail.Overlay.CurrentStackLocation: host offset " +
                                  std::to_string(WdkTable()[2 * entry]) + ", WDK offset 64");
}

TEST(LayoutComparison, PlantedTypeSizeAndAlignmentAreEachNamed) {
    std::vector<uint32_t> planted = WdkTable();
    ASSERT_FALSE(planted.empty());
    const size_t entry = EntryIndex("KSSTREAM_HEADER", nullptr);
    planted[2 * entry] += 8;
    planted[2 * entry + 1] *= 2;

    const std::vector<std::string> differences =
        layout::CompareTables(layout::ListedEntries(), WdkTable(), planted);

    const uint32_t size = WdkTable()[2 * entry];
    const uint32_t alignment = WdkTable()[2 * entry + 1];
    const std::vector<std::string> expected = {
        "KSSTREAM_HEADER: host size " + std::to_string(size) + ", WDK size " + std::to_string(size + 8),
        "KSSTREAM_HEADER: host alignment " + std::to_string(alignment) + ", WDK alignment " +
            std::to_string(2 * alignment)};
    EXPECT_EQ(differences, expected);
}

TEST(LayoutComparison, PlantedFieldSizeIsNamed) {
    std::vector<uint32_t> planted = WdkTable();
    ASSERT_FALSE(planted.empty());
    const size_t entry = EntryIndex("IO_STACK_LOCATION", "Parameters.DeviceIoControl.IoControlCode");
    planted[2 * entry + 1] = 8;

    const std::vector<std::string> differences =
        layout::CompareTables(layout::ListedEntries(), WdkTable(), planted);

    ASSERT_EQ(differences.size(), 1u);
    EXPECT_EQ(differences[0], "IO_STACK_LOCATION.Parameters.DeviceIoControl.IoControlCode: host size " +
                                  std::to_string(WdkTable()[2 * entry + 1]) + ", WDK size 8");
}

TEST(LayoutComparison, TablesOfAnotherLengthAreReportedNotCompared) {
    std::vector<uint32_t> shorter = WdkTable();
    ASSERT_FALSE(shorter.empty());
    shorter.resize(shorter.size() - 2);

    const std::vector<std::string> differences =
        layout::CompareTables(layout::ListedEntries(), WdkTable(), shorter);

    ASSERT_EQ(differences.size(), 1u);
    EXPECT_NE(differences[0].find(std::to_string(shorter.size()) + " words"), std::string::npos) << differences[0];
}

TEST(LayoutComparison, SectionIsReadOnlyWhenFramedByTheMagicWords) {
    const std::vector<uint32_t> words = {kLayoutMagic, 8, 4, 0, 8, kLayoutMagic};
    EXPECT_EQ(layout::UnwrapTable(words, 2), (std::vector<uint32_t>{8, 4, 0, 8}));

    std::vector<uint32_t> padded = words;
    padded.push_back(0);
    EXPECT_EQ(layout::UnwrapTable(padded, 2), (std::vector<uint32_t>{8, 4, 0, 8}));

    EXPECT_TRUE(layout::UnwrapTable(words, 3).empty()) << "an entry more than the section holds";
    EXPECT_TRUE(layout::UnwrapTable(words, 1).empty()) << "an entry fewer than the section holds";
    std::vector<uint32_t> trailing = padded;
    trailing.back() = 7;
    EXPECT_TRUE(layout::UnwrapTable(trailing, 2).empty()) << "a word after the table that is not padding";
    std::vector<uint32_t> unframed = words;
    unframed.front() = 0;
    EXPECT_TRUE(layout::UnwrapTable(unframed, 2).empty()) << "no leading magic";
}

}  // namespace
