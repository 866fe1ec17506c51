#include "core/calendar.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/text.hpp"

namespace morvel {
namespace {

using namespace core;

void expect_storable(std::string_view text, bool is_date, bool expected) {
  EXPECT_EQ(is_storable_moment(text, is_date), expected) << "'" << text << "'";
}

TEST(Calendar, RealDatesOfTheYearsEveryEngineTakes) {
  expect_storable("2024-02-29", true, true);
  expect_storable("2023-02-29", true, false);
  expect_storable("2000-02-29", true, true);
  expect_storable("1900-02-29", true, false);
  expect_storable("2024-04-31", true, false);
  expect_storable("2024-13-01", true, false);
  expect_storable("2024-00-10", true, false);
  expect_storable("2024-01-00", true, false);
  expect_storable("9999-99-99", true, false);
  expect_storable("0001-01-01", true, true);
  expect_storable("0000-01-01", true, false);
  expect_storable("9999-12-31", true, true);
}

TEST(Calendar, RealTimesWithinHoursMinutesSecondsAndZones) {
  expect_storable("2024-01-15T10:30:00", false, true);
  expect_storable("2024-01-15 23:59:59.999999", false, true);
  expect_storable("2024-01-15 10:30:00.1234567", false, false);  // rounded by the engines
  expect_storable("2024-01-15 24:00:00", false, false);
  expect_storable("2024-01-15 10:60:00", false, false);
  expect_storable("2016-12-31 23:59:60", false, true);
  expect_storable("2016-12-31 23:59:61", false, false);
  expect_storable("2024-01-15 10:30:00+15:59", false, true);
  expect_storable("2024-01-15 10:30:00-16:00", false, false);
  expect_storable("2024-01-15 10:30:00+05:60", false, false);
  expect_storable("2024-01-15 10:30:00 +0530", false, true);
  expect_storable("2024-01-15 10:30:00Z", false, true);
  expect_storable("2024-01-15 10:30", false, false);
  expect_storable("2024-01-15 and some words", false, false);
  expect_storable("2024-02-30T00:00:00", false, false);
  expect_storable("9999-12-31 23:59:60", false, false);        // the year 10000's first second
  expect_storable("0001-01-01 00:00:00+01:00", false, false);  // year 0 in UTC
  expect_storable("9999-12-31 23:00:00-01:00", false, false);  // year 10000 in UTC
}

// A reader's text may have white space around it, which the quick answer for false dates takes.
void expect_quick_answer(const std::string& text, bool is_date) {
  const auto is_real = [&](std::string_view s) {
    return is_date ? parse_date(s).has_value() : parse_moment(s).has_value();
  };
  EXPECT_EQ(is_real_moment(text, is_date), is_real(text)) << text;
  const bool is_false = !is_real(trim_white_space(text));
  EXPECT_EQ(is_false_moment(text, is_date), is_false) << text;
  EXPECT_EQ(is_false_moment(" " + text + "\t", is_date), is_false) << text;
  if (!is_date && is_common_real_moment(text)) {
    const auto moment = parse_moment(text);
    EXPECT_TRUE(moment && moment->fraction.empty() && !moment->is_leap_second &&
                moment->offset.value_or(0) == 0)
        << text;
  }
}

// The quick answer for the common forms is the full reading's, on the edges of every field.
TEST(Calendar, QuickAnswerIsTheFullReadings) {
  for (const std::string date : {"2024-02-29", "2023-02-29", "2024-02-30", "0000-01-01",
                                 "9999-12-31", "2024-13-01", "2024-00-01", "2024-04-31"}) {
    expect_quick_answer(date, true);
    for (const std::string time :
         {"00:00:00", "23:59:59", "24:00:00", "19:60:00", "12:00:60", "12:00:61", "1a:00:00",
          "12-00:00", "12:00.00", "29:00:00", "20:00:00", "09:59:59", "12:6:000", "12:00:5:"}) {
      for (const std::string end : {"", "Z", "z", "+01:00", "-15:59", ".5", "Zx", " "}) {
        for (const char separator : {'T', ' '}) {
          const std::string text = date + separator + time + end;
          expect_quick_answer(text, false);
        }
      }
    }
  }
}

TEST(Calendar, TimesWithAZoneInUtc) {
  const auto expect_utc = [](std::string_view text, std::optional<std::string> expected) {
    EXPECT_EQ(utc_wall_time(text), expected) << text;
    // A zone is never missed by the quick look that spares parsing.
    if (expected) {
      EXPECT_TRUE(may_have_zone(text)) << text;
    }
  };
  expect_utc("2024-03-01T09:15:00+02:00", "2024-03-01 07:15:00");
  expect_utc("2024-03-01 23:30:00.25-05", "2024-03-02 04:30:00.25");
  expect_utc("2024-01-01T00:30:00+0100", "2023-12-31 23:30:00");
  expect_utc("2024-02-28 23:00:00 -01:30", "2024-02-29 00:30:00");
  expect_utc("2024-03-01T09:15:00Z", "2024-03-01 09:15:00");
  expect_utc("2016-12-31T23:59:60z", "2017-01-01 00:00:00");
  expect_utc("2024-03-01 09:15:00", std::nullopt);
  expect_utc("2023-02-29 10:00:00Z", std::nullopt);
  expect_utc("2024-03-01 24:00:00Z", std::nullopt);
  expect_utc("2024-01-15 and so onZ", std::nullopt);
  expect_utc("2024-03-01 09:15:00+24:00", std::nullopt);
  EXPECT_FALSE(may_have_zone("2024-03-01 09:15:00.123456"));
}

}  // namespace
}  // namespace morvel
