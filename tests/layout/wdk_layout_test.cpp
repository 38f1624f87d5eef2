// The host headers against the WDK's: every type of wdk_layout_list.h has,
// on the host, the size and alignment it has in the x64 WDK headers, and every
// listed field the same offset and size.
#include <gtest/gtest.h>

#include "tests/layout/layout_comparison.h"
#include "tests/layout/wdk_layout_table.h"

namespace {

TEST(WdkLayout, ProbeSectionHoldsOneTableForTheWholeList) {
    const std::vector<uint32_t> wdk = layout::UnwrapTable(layout::WdkLayoutWords(), layout::ListedEntries().size());
    ASSERT_EQ(wdk.size(), 2 * layout::ListedEntries().size())
        << "the probe's section does not frame one table of " << layout::ListedEntries().size() << " entries";
}

TEST(WdkLayout, HostHeadersHaveTheWdkLayout) {
    const std::vector<layout::EntryName>& names = layout::ListedEntries();
    const std::vector<uint32_t> wdk = layout::UnwrapTable(layout::WdkLayoutWords(), names.size());
    ASSERT_FALSE(wdk.empty());
    const std::vector<std::string> differences = layout::CompareTables(names, layout::HostTable(), wdk);
    for (const std::string& difference : differences) ADD_FAILURE() << difference;
    EXPECT_TRUE(differences.empty()) << differences.size() << " values differ from the WDK's";
}

}  // namespace
