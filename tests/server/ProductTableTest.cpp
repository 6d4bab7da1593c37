#include "server/ProductTable.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

namespace kvinternal {
namespace {

TEST(ProductTableTest, RepeatedRowsAgreeWithTheFirstAndTheFirstCounts) {
    const auto& rows = productTableRows();
    ASSERT_EQ(rows.size(), 428u);
    std::map<std::string, const ProductTableRow*> first;
    std::size_t repeats = 0;
    for (const auto& row : rows) {
        const auto [earlier, inserted] = first.emplace(row.productNumber, &row);
        if (!inserted) {
            ++repeats;
            EXPECT_EQ(earlier->second->space, row.space) << row.productNumber;
            EXPECT_EQ(std::string(earlier->second->fromVersion), row.fromVersion);
        }
    }
    EXPECT_EQ(repeats, 43u);
    const auto table = buildProductTable();
    ASSERT_EQ(table.size(), 385u);
    for (const auto& [number, row] : first) {
        EXPECT_EQ(table.at(number).space, row->space) << number;
    }
}

TEST(ProductTableTest, HoldsEachSpaceCombinationAsOftenAsPlanned) {
    std::map<std::pair<uint64_t, std::string>, std::size_t> counts;
    for (const auto& [number, entry] : buildProductTable()) {
        EXPECT_EQ(entry.baseSpace, 500u) << number;
        ++counts[{entry.space, entry.fromVersion}];
    }
    const std::map<std::pair<uint64_t, std::string>, std::size_t> expected{
        {{500, ""}, 302},          {{1229, "10.6.0.0.0"}, 16}, {{1229, "14.5.0.0.0"}, 21},
        {{1229, "19.3.0.0.0"}, 9}, {{1229, "23.1.0.0.0"}, 26}, {{2048, "23.1.0.0.0"}, 9},
        {{2700, "23.1.0.0.0"}, 2},
    };
    EXPECT_EQ(counts, expected);
}

}  // namespace
}  // namespace kvinternal
