#include "core/row.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;

TEST(Row, KeepsOrderAndFindsExactNames) {
  Row row;
  row.append("b", "1", DataType::Integer);
  row.append("a", "x", DataType::Text);
  row.append("B", "y", DataType::Text);
  row.set_text(0, "2.5", DataType::Float);
  EXPECT_EQ(testing::pairs_of(row), (testing::Pairs{{"b", "2.5"}, {"a", "x"}, {"B", "y"}}));
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

// Fills `row` as a reader does: texts that are views of `buffer`, and one owned text between.
void fill_viewing(Row& row, const std::string& buffer) {
  row.append("a", "", DataType::Null);
  row.append("b", "owned", DataType::Text);
  row.set_text_view(0, std::string_view(buffer).substr(0, 5), DataType::Text);
  row.set_text(1, "x", DataType::Text);
  row.append("c", "", DataType::Null);
  row.set_text_view(2, std::string_view(buffer).substr(6), DataType::Integer);
}

TEST(Row, CopiesAndMovesOwnTheirViewedTexts) {
  std::string buffer = "alpha,42";
  const testing::Pairs expected{{"a", "alpha"}, {"b", "x"}, {"c", "42"}};
  Row copy_source, assign_source, move_source, move_assign_source;
  for (Row* source : {&copy_source, &assign_source, &move_source, &move_assign_source}) {
    fill_viewing(*source, buffer);
    EXPECT_EQ(testing::pairs_of(*source), expected);
  }
  Row copied(copy_source);
  Row assigned;
  assigned = assign_source;
  Row moved(std::move(move_source));
  // Into a row that holds texts of its own, which the assignment replaces.
  Row move_assigned;
  move_assigned.append("z", "old", DataType::Text);
  move_assigned = std::move(move_assign_source);
  // The reader moves on: its buffer changes under the views.
  buffer.assign("omega,99");
  for (const Row* kept : {&copied, &assigned, &moved, &move_assigned}) {
    EXPECT_EQ(testing::pairs_of(*kept), expected);
    EXPECT_EQ((*kept)[2].type, DataType::Integer);
  }
  EXPECT_TRUE(move_source.empty());
  EXPECT_TRUE(move_assign_source.empty());
}

TEST(Row, LooksForNulInViewedTexts) {
  const std::string buffer("a\0b", 3);
  Row row;
  row.append("v", "", DataType::Null);
  row.set_text_view(0, buffer, DataType::Text);
  EXPECT_TRUE(row.holds_nul());
  row.set_text_view(0, std::string_view(buffer).substr(0, 1), DataType::Text);
  EXPECT_FALSE(row.holds_nul());
  row.clear_texts();
  row.set_text_view(0, buffer, DataType::Text);
  EXPECT_TRUE(row.holds_nul());
  EXPECT_GE(row.text_bytes(), buffer.size() + 1);
}

// The note is believed over the bytes, so a row that holds a NUL and is noted free reads as free;
// every change drops the note, and the NUL still held is then found again.
TEST(Row, BelievesTheNulFreeNoteUntilAnyChange) {
  const std::string buffer("a\0b", 3);
  const std::pair<std::string_view, void (*)(Row&)> changes[] = {
      {"set_text", [](Row& row) { row.set_text(1, "y", DataType::Text); }},
      {"set_text_view", [](Row& row) { row.set_text_view(1, "y", DataType::Text); }},
      {"append", [](Row& row) { row.append("w", "y", DataType::Text); }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    Row row;
    row.append("v", "", DataType::Null);
    row.append("u", "x", DataType::Text);
    row.set_text_view(0, buffer, DataType::Text);
    ASSERT_TRUE(row.holds_nul());
    row.note_nul_free();
    EXPECT_FALSE(row.holds_nul());
    change(row);
    EXPECT_TRUE(row.holds_nul());
  }
}

// Only a reader that refills the texts of the row it handed over says the names repeat; any
// other way of coming by the row says they do not.
TEST(Row, SaysNamesRepeatOnlyWhenOnlyTextsWereRefilled) {
  Row row;
  row.append("a", "1", DataType::Integer);
  EXPECT_FALSE(row.names_repeat());
  row.clear_texts();
  row.set_text(0, "2", DataType::Integer);
  row.set_text_view(0, "3", DataType::Integer);
  EXPECT_TRUE(row.names_repeat());
  EXPECT_FALSE(Row(row).names_repeat());
  Row assigned;
  assigned = row;
  EXPECT_FALSE(assigned.names_repeat());
  assigned.clear_texts();
  assigned = Row(row);
  EXPECT_FALSE(assigned.names_repeat());
  row.append("b", "4", DataType::Integer);
  EXPECT_FALSE(row.names_repeat());
  row.clear_texts();
  row.clear();
  EXPECT_FALSE(row.names_repeat());
}

}  // namespace
}  // namespace morvel
