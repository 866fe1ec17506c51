#include "lib/row.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace morvel {
namespace {

TEST(Row, ReplacingKeepsFirstPosition) {
  Row row;
  row.insert("b", "1", DataType::Integer);
  row.insert("a", "x", DataType::Text);
  row.insert("b", "2.5", DataType::Float);
  row.insert("B", "y", DataType::Text);
  EXPECT_EQ(testing::pairs_of(row),
            (testing::Pairs{{"b", "2.5"}, {"a", "x"}, {"B", "y"}}));
  EXPECT_EQ(row[0].type, DataType::Float);
  EXPECT_EQ(row.find("B"), 2u);
  EXPECT_EQ(row.find("c"), std::nullopt);
}

TEST(Row, KeepsEmptyNamesAndBinaryTexts) {
  Row row;
  row.append("", std::string_view("\0x", 2), DataType::Text);
  row.append("n", "", DataType::Null);
  ASSERT_EQ(row.size(), 2u);
  EXPECT_EQ(row[0].name, "");
  EXPECT_EQ(row[0].text, std::string_view("\0x", 2));
  EXPECT_EQ(row[1].type, DataType::Null);
}

}  // namespace
}  // namespace morvel
