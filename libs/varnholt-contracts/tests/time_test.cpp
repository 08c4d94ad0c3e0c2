#include "varnholt/contracts/time.hpp"

#include <gtest/gtest.h>

#include <time.h>
#include <ostream>

#include <cstdint>
#include <random>
#include <string>

namespace {

using varnholt::contracts::Timestamp;
using varnholt::error::Validation;

constexpr std::int64_t kMin = Timestamp::kMinUnixSeconds;
constexpr std::int64_t kMax = Timestamp::kMaxUnixSeconds;
constexpr std::int64_t kDay = 86400;

template <typename Case>
std::string case_name(const ::testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}

// ---- accepted texts --------------------------------------------------------

struct AcceptCase {
  const char* name;
  const char* text;
  const char* utc;  // how the parsed value is written
};

// Test names show the case, not the bytes of the table entry.
void PrintTo(const AcceptCase& c, std::ostream* os) {
  *os << c.name;
}

class TimestampAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(TimestampAccepts, ReadsAsUtcWholeSeconds) {
  const auto parsed = Timestamp::from_str(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
  EXPECT_EQ(parsed->nanosecond(), 0U);
  EXPECT_EQ(parsed->to_rfc3339(), GetParam().utc);
}

INSTANTIATE_TEST_SUITE_P(
    Plain, TimestampAccepts,
    ::testing::Values(AcceptCase{"zulu", "2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z"},
                      AcceptCase{"lower_case_t_and_z", "2024-01-01t12:34:56z",
                                 "2024-01-01T12:34:56Z"},
                      AcceptCase{"epoch", "1970-01-01T00:00:00Z", "1970-01-01T00:00:00Z"},
                      AcceptCase{"before_epoch", "1969-12-31T23:59:59Z", "1969-12-31T23:59:59Z"},
                      AcceptCase{"first_instant", "0000-01-01T00:00:00Z", "0000-01-01T00:00:00Z"},
                      AcceptCase{"last_second", "9999-12-31T23:59:59Z", "9999-12-31T23:59:59Z"},
                      AcceptCase{"last_second_fraction", "9999-12-31T23:59:59.999999999Z",
                                 "9999-12-31T23:59:59Z"}),
    case_name<AcceptCase>);

INSTANTIATE_TEST_SUITE_P(
    Fractions, TimestampAccepts,
    ::testing::Values(
        AcceptCase{"one_nanosecond", "2024-01-01T00:00:00.000000001Z", "2024-01-01T00:00:00Z"},
        AcceptCase{"truncated_not_rounded", "2024-01-01T12:00:00.999Z", "2024-01-01T12:00:00Z"},
        AcceptCase{"single_digit", "2024-01-01T12:00:00.5Z", "2024-01-01T12:00:00Z"},
        AcceptCase{"more_than_nine_digits", "2024-01-01T12:00:00.12345678901234567890Z",
                   "2024-01-01T12:00:00Z"},
        AcceptCase{"fraction_with_offset", "2024-01-01T12:00:00.75+01:00", "2024-01-01T11:00:00Z"}),
    case_name<AcceptCase>);

INSTANTIATE_TEST_SUITE_P(
    Offsets, TimestampAccepts,
    ::testing::Values(
        AcceptCase{"positive_crosses_leap_day", "2024-03-01T01:30:00+02:00",
                   "2024-02-29T23:30:00Z"},
        AcceptCase{"positive_same_day", "2024-01-01T05:00:00+05:00", "2024-01-01T00:00:00Z"},
        AcceptCase{"negative_crosses_year", "2023-12-31T23:30:00-01:00", "2024-01-01T00:30:00Z"},
        AcceptCase{"minutes", "2024-06-15T12:00:00+05:45", "2024-06-15T06:15:00Z"},
        AcceptCase{"negative_minutes", "2024-06-15T12:00:00-09:30", "2024-06-15T21:30:00Z"},
        AcceptCase{"plus_zero", "2024-06-15T12:00:00+00:00", "2024-06-15T12:00:00Z"},
        AcceptCase{"minus_zero", "2024-06-15T12:00:00-00:00", "2024-06-15T12:00:00Z"},
        AcceptCase{"largest_offset", "2024-06-15T12:00:00+23:59", "2024-06-14T12:01:00Z"},
        AcceptCase{"smallest_offset", "2024-06-15T12:00:00-23:59", "2024-06-16T11:59:00Z"},
        AcceptCase{"first_day_negative_offset", "0000-01-01T00:00:00-01:00",
                   "0000-01-01T01:00:00Z"},
        AcceptCase{"last_day_positive_offset", "9999-12-31T23:59:59+01:00",
                   "9999-12-31T22:59:59Z"}),
    case_name<AcceptCase>);

INSTANTIATE_TEST_SUITE_P(
    Calendar, TimestampAccepts,
    ::testing::Values(AcceptCase{"leap_day_2024", "2024-02-29T00:00:00Z", "2024-02-29T00:00:00Z"},
                      AcceptCase{"leap_day_2000", "2000-02-29T00:00:00Z", "2000-02-29T00:00:00Z"},
                      AcceptCase{"leap_day_year_0", "0000-02-29T00:00:00Z", "0000-02-29T00:00:00Z"},
                      AcceptCase{"feb_28_1900", "1900-02-28T23:59:59Z", "1900-02-28T23:59:59Z"},
                      AcceptCase{"april_30", "2023-04-30T00:00:00Z", "2023-04-30T00:00:00Z"},
                      AcceptCase{"december_31", "2023-12-31T00:00:00Z", "2023-12-31T00:00:00Z"}),
    case_name<AcceptCase>);

// A leap second is read as the second before it, where one can occur: at
// 23:59:60 UTC on the last day of a month.
INSTANTIATE_TEST_SUITE_P(
    LeapSeconds, TimestampAccepts,
    ::testing::Values(
        AcceptCase{"end_of_2016", "2016-12-31T23:59:60Z", "2016-12-31T23:59:59Z"},
        AcceptCase{"end_of_june", "2015-06-30T23:59:60Z", "2015-06-30T23:59:59Z"},
        AcceptCase{"end_of_leap_february", "2024-02-29T23:59:60Z", "2024-02-29T23:59:59Z"},
        AcceptCase{"with_fraction", "2016-12-31T23:59:60.5Z", "2016-12-31T23:59:59Z"},
        AcceptCase{"with_offset", "2017-01-01T00:59:60+01:00", "2016-12-31T23:59:59Z"},
        AcceptCase{"with_negative_offset", "2016-12-31T18:29:60-05:30", "2016-12-31T23:59:59Z"},
        AcceptCase{"end_of_range", "9999-12-31T23:59:60Z", "9999-12-31T23:59:59Z"}),
    case_name<AcceptCase>);

// ---- rejected texts ------------------------------------------------------------

struct RejectCase {
  const char* name;
  std::string text;
  const char* description;
};

void PrintTo(const RejectCase& c, std::ostream* os) {
  *os << c.name;
}

class TimestampRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(TimestampRejects, WithTheParserDescription) {
  const RejectCase& c = GetParam();
  const auto parsed = Timestamp::from_str(c.text);
  ASSERT_FALSE(parsed.has_value()) << parsed->to_rfc3339();
  ASSERT_TRUE(parsed.error().is<Validation>());
  EXPECT_EQ(parsed.error().message(), "validation failed: invalid RFC 3339 timestamp " +
                                          varnholt::error::quoted(c.text) + ": " + c.description);
}

constexpr const char* kLiteral = "a character literal was not valid";
constexpr const char* kTrailing = "unexpected trailing characters";
constexpr const char* kOutside = "the instant at offset zero is outside the supported range";

// Syntax faults, each at the first step that fails.
INSTANTIATE_TEST_SUITE_P(
    Syntax, TimestampRejects,
    ::testing::Values(
        RejectCase{"empty", "", "the 'year' component could not be parsed"},
        RejectCase{"short_year", "202-01-01T00:00:00Z", "the 'year' component could not be parsed"},
        RejectCase{"signed_year", "+2024-01-01T00:00:00Z",
                   "the 'year' component could not be parsed"},
        RejectCase{"five_digit_year", "20240-01-01T00:00:00Z", kLiteral},
        RejectCase{"date_only", "2024-01-01", kLiteral},
        RejectCase{"date_then_x", "2024-01-01x", kLiteral},
        RejectCase{"space_separator", "2024-01-01 00:00:00Z", kLiteral},
        RejectCase{"slash_in_date", "2024/01/01T00:00:00Z", kLiteral},
        RejectCase{"one_digit_month", "2024-1-01T00:00:00Z",
                   "the 'month' component could not be parsed"},
        RejectCase{"one_digit_day", "2024-01-1T00:00:00Z",
                   "the 'day' component could not be parsed"},
        RejectCase{"missing_hour", "2024-01-01T", "the 'hour' component could not be parsed"},
        RejectCase{"dot_in_time", "2024-01-01T00.00:00Z", kLiteral},
        RejectCase{"short_minute", "2024-01-01T00:0:00Z",
                   "the 'minute' component could not be parsed"},
        RejectCase{"no_seconds", "2024-01-01T00:00Z", kLiteral},
        RejectCase{"short_second", "2024-01-01T00:00:0Z",
                   "the 'second' component could not be parsed"},
        RejectCase{"empty_fraction", "2024-01-01T00:00:00.Z",
                   "the 'subsecond' component could not be parsed"},
        RejectCase{"comma_fraction", "2024-01-01T00:00:00,5Z",
                   "the 'offset hour' component could not be parsed"},
        RejectCase{"no_offset", "2024-01-01T00:00:00",
                   "the 'offset hour' component could not be parsed"},
        RejectCase{"space_for_offset", "2024-01-01T00:00:00 ",
                   "the 'offset hour' component could not be parsed"},
        RejectCase{"one_digit_offset_hour", "2024-01-01T00:00:00+1:00",
                   "the 'offset hour' component could not be parsed"},
        RejectCase{"offset_hour_24", "2024-01-01T00:00:00+24:00",
                   "the 'offset hour' component could not be parsed"},
        RejectCase{"offset_without_colon", "2024-01-01T00:00:00+0100", kLiteral},
        RejectCase{"offset_hour_only", "2024-01-01T00:00:00+01", kLiteral},
        RejectCase{"short_offset_minute", "2024-01-01T00:00:00+01:0",
                   "the 'offset minute' component could not be parsed"},
        RejectCase{"offset_minute_60", "2024-01-01T00:00:00+01:60",
                   "offset minute must be in the range -59..=59"},
        RejectCase{"negative_offset_minute_99", "2024-01-01T00:00:00-00:99",
                   "offset minute must be in the range -59..=59"},
        RejectCase{"non_ascii_digit", "２024-01-01T00:00:00Z",
                   "the 'year' component could not be parsed"}),
    case_name<RejectCase>);

INSTANTIATE_TEST_SUITE_P(
    Trailing, TimestampRejects,
    ::testing::Values(RejectCase{"space_after_z", "2024-01-01T00:00:00Z ", kTrailing},
                      RejectCase{"text_after_offset", "2024-01-01T00:00:00+01:00x", kTrailing},
                      RejectCase{"second_z", "2024-01-01T00:00:00ZZ", kTrailing},
                      RejectCase{"newline", "2024-01-01T00:00:00Z\n", kTrailing},
                      // Trailing characters are found before any value is range-checked.
                      RejectCase{"before_month_range", "2024-13-01T00:00:00Zx", kTrailing},
                      // ... but after the offset's own range.
                      RejectCase{"after_offset_minute_range", "2024-01-01T00:00:00+01:60x",
                                 "offset minute must be in the range -59..=59"}),
    case_name<RejectCase>);

// Value ranges, checked month, day, hour, minute, second.
INSTANTIATE_TEST_SUITE_P(
    Ranges, TimestampRejects,
    ::testing::Values(
        RejectCase{"month_13", "2024-13-01T00:00:00Z", "month must be in the range 1..=12"},
        RejectCase{"month_0", "2024-00-01T00:00:00Z", "month must be in the range 1..=12"},
        RejectCase{"month_before_day", "2024-13-32T25:61:61Z", "month must be in the range 1..=12"},
        RejectCase{"day_0", "2024-01-00T00:00:00Z",
                   "day must be in the range 1..=31, given values of other parameters"},
        RejectCase{"day_32", "2024-01-32T00:00:00Z",
                   "day must be in the range 1..=31, given values of other parameters"},
        RejectCase{"april_31", "2024-04-31T00:00:00Z",
                   "day must be in the range 1..=30, given values of other parameters"},
        RejectCase{"feb_30_leap", "2024-02-30T00:00:00Z",
                   "day must be in the range 1..=29, given values of other parameters"},
        RejectCase{"feb_29_2023", "2023-02-29T00:00:00Z",
                   "day must be in the range 1..=28, given values of other parameters"},
        RejectCase{"feb_29_1900", "1900-02-29T00:00:00Z",
                   "day must be in the range 1..=28, given values of other parameters"},
        RejectCase{"feb_30_2000", "2000-02-30T00:00:00Z",
                   "day must be in the range 1..=29, given values of other parameters"},
        RejectCase{"day_before_hour", "2024-02-30T24:00:00Z",
                   "day must be in the range 1..=29, given values of other parameters"},
        RejectCase{"hour_24", "2024-01-01T24:00:00Z", "hour must be in the range 0..=23"},
        RejectCase{"hour_before_minute", "2024-01-01T99:60:00Z",
                   "hour must be in the range 0..=23"},
        RejectCase{"minute_60", "2024-01-01T00:60:00Z", "minute must be in the range 0..=59"},
        RejectCase{"minute_before_second", "2024-01-01T00:60:61Z",
                   "minute must be in the range 0..=59"},
        RejectCase{"second_61", "2024-01-01T00:00:61Z", "second must be in the range 0..=59"},
        RejectCase{"second_99", "2016-12-31T23:59:99Z", "second must be in the range 0..=59"}),
    case_name<RejectCase>);

INSTANTIATE_TEST_SUITE_P(
    LeapSeconds, TimestampRejects,
    ::testing::Values(
        RejectCase{"not_last_day", "2016-12-30T23:59:60Z",
                   "second must be in the range 0..=59, given values of other parameters"},
        RejectCase{"not_last_minute", "2016-12-31T23:58:60Z",
                   "second must be in the range 0..=59, given values of other parameters"},
        RejectCase{"feb_28_leap_year", "2024-02-28T23:59:60Z",
                   "second must be in the range 0..=59, given values of other parameters"},
        // Local end of month, but not in UTC.
        RejectCase{"local_end_of_month", "2016-12-31T23:59:60+01:00",
                   "second must be in the range 0..=59, given values of other parameters"},
        // The leap second is judged before the range of the instant.
        RejectCase{"before_range_check", "9999-12-31T23:59:60-01:00",
                   "second must be in the range 0..=59, given values of other parameters"}),
    case_name<RejectCase>);

INSTANTIATE_TEST_SUITE_P(
    OutsideRange, TimestampRejects,
    ::testing::Values(RejectCase{"after_end", "9999-12-31T23:59:59-01:00", kOutside},
                      RejectCase{"one_minute_after_end", "9999-12-31T23:59:00-00:01", kOutside},
                      RejectCase{"before_start", "0000-01-01T00:00:00+01:00", kOutside},
                      RejectCase{"leap_second_before_start", "0000-01-01T00:59:60+01:00",
                                 kOutside}),
    case_name<RejectCase>);

TEST(TimestampRejectsQuoting, ShowsTheInputInQuotedForm) {
  const auto empty = Timestamp::from_str("");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().message(),
            "validation failed: invalid RFC 3339 timestamp \"\": the 'year' component could not "
            "be parsed");
  const auto tabbed = Timestamp::from_str("2024-01-01T00:00:00Z\t\"");
  ASSERT_FALSE(tabbed.has_value());
  EXPECT_EQ(tabbed.error().message(),
            "validation failed: invalid RFC 3339 timestamp \"2024-01-01T00:00:00Z\\t\\\"\": "
            "unexpected trailing characters");
  EXPECT_EQ(Timestamp::from_str("2024-13-01T00:00:00Z").error().message(),
            "validation failed: invalid RFC 3339 timestamp \"2024-13-01T00:00:00Z\": month must be "
            "in the range 1..=12");
}

// ---- formatting ------------------------------------------------------------------

struct FormatCase {
  const char* name;
  std::int64_t unix_seconds;
  const char* text;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
  *os << c.name;
}

class TimestampFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(TimestampFormats, WritesTwentyCharacters) {
  const Timestamp t = Timestamp::from_unix_seconds(GetParam().unix_seconds);
  EXPECT_EQ(t.to_rfc3339(), GetParam().text);
  std::string out = "at ";
  t.append_rfc3339(out);
  EXPECT_EQ(out, std::string("at ") + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Instants, TimestampFormats,
    ::testing::Values(FormatCase{"epoch", 0, "1970-01-01T00:00:00Z"},
                      FormatCase{"one_before_epoch", -1, "1969-12-31T23:59:59Z"},
                      FormatCase{"example", 1796633176, "2026-12-07T08:46:16Z"},
                      FormatCase{"leap_day_2000", 951782400, "2000-02-29T00:00:00Z"},
                      FormatCase{"march_1_1900", -2203891200, "1900-03-01T00:00:00Z"},
                      FormatCase{"y2038", 2147483648, "2038-01-19T03:14:08Z"},
                      FormatCase{"first", kMin, "0000-01-01T00:00:00Z"},
                      FormatCase{"last", kMax, "9999-12-31T23:59:59Z"},
                      FormatCase{"clamped_below", kMin - 1, "0000-01-01T00:00:00Z"},
                      FormatCase{"clamped_above", kMax + 1, "9999-12-31T23:59:59Z"},
                      FormatCase{"int64_min", INT64_MIN, "0000-01-01T00:00:00Z"},
                      FormatCase{"int64_max", INT64_MAX, "9999-12-31T23:59:59Z"}),
    case_name<FormatCase>);

TEST(TimestampFormat, FractionOnlyAtTheSaturatedEnd) {
  const Timestamp end = Timestamp::from_unix_seconds(kMax).saturating_add_seconds(1);
  EXPECT_EQ(end.nanosecond(), 999999999U);
  EXPECT_EQ(end.to_rfc3339(), "9999-12-31T23:59:59.999999999Z");
}

TEST(TimestampFormat, DefaultIsTheEpoch) {
  EXPECT_EQ(Timestamp().to_rfc3339(), "1970-01-01T00:00:00Z");
  EXPECT_EQ(Timestamp().unix_seconds(), 0);
}

// Every day of years 0 to 9999 formats and parses back; one check per day keeps
// the calendar conversion honest across every leap-year rule.
TEST(TimestampRoundTrip, EveryDayOfTheRange) {
  for (std::int64_t day = kMin / kDay; day <= kMax / kDay; ++day) {
    const Timestamp t = Timestamp::from_unix_seconds(day * kDay + 43200 + 7);
    const std::string text = t.to_rfc3339();
    const auto back = Timestamp::from_str(text);
    ASSERT_TRUE(back.has_value()) << text;
    ASSERT_EQ(*back, t) << text;
  }
}

TEST(TimestampRoundTrip, RandomInstants) {
  std::mt19937_64 rng(20240229);
  std::uniform_int_distribution<std::int64_t> dist(kMin, kMax);
  for (int i = 0; i < 20000; ++i) {
    const Timestamp t = Timestamp::from_unix_seconds(dist(rng));
    const std::string text = t.to_rfc3339();
    ASSERT_EQ(text.size(), 20U);
    const auto back = Timestamp::from_str(text);
    ASSERT_TRUE(back.has_value()) << text;
    ASSERT_EQ(*back, t) << text;
  }
}

TEST(TimestampRoundTrip, MatchesTheCLibraryCalendar) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::int64_t> dist(kMin, kMax);
  for (int i = 0; i < 2000; ++i) {
    const std::int64_t s = dist(rng);
    const time_t tt = static_cast<time_t>(s);
    tm parts{};
    ASSERT_NE(gmtime_r(&tt, &parts), nullptr);
    // glibc writes years below 1000 without zero padding; compare only where
    // its text is the four-digit form.
    if (parts.tm_year + 1900 < 1000) continue;
    char buffer[32];
    ASSERT_EQ(strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts), 20U);
    EXPECT_EQ(Timestamp::from_unix_seconds(s).to_rfc3339(), buffer);
  }
}

// ---- arithmetic -------------------------------------------------------------------

struct AddCase {
  const char* name;
  std::int64_t start;
  std::int64_t seconds;
  const char* text;
};

void PrintTo(const AddCase& c, std::ostream* os) {
  *os << c.name;
}

class TimestampAdds : public ::testing::TestWithParam<AddCase> {};

TEST_P(TimestampAdds, Saturates) {
  const AddCase& c = GetParam();
  EXPECT_EQ(Timestamp::from_unix_seconds(c.start).saturating_add_seconds(c.seconds).to_rfc3339(),
            c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Seconds, TimestampAdds,
    ::testing::Values(AddCase{"zero", 1704067200, 0, "2024-01-01T00:00:00Z"},
                      AddCase{"retry_delay", 1704067200, 30, "2024-01-01T00:00:30Z"},
                      AddCase{"negative", 1704067200, -1, "2023-12-31T23:59:59Z"},
                      AddCase{"across_leap_day", 1709164800, kDay, "2024-03-01T00:00:00Z"},
                      AddCase{"onto_last", kMax - 10, 10, "9999-12-31T23:59:59Z"},
                      AddCase{"past_last", kMax - 10, 11, "9999-12-31T23:59:59.999999999Z"},
                      AddCase{"int64_max", 0, INT64_MAX, "9999-12-31T23:59:59.999999999Z"},
                      AddCase{"overflowing_sum", kMax, INT64_MAX, "9999-12-31T23:59:59.999999999Z"},
                      AddCase{"onto_first", kMin + 10, -10, "0000-01-01T00:00:00Z"},
                      AddCase{"before_first", kMin + 10, -11, "0000-01-01T00:00:00Z"},
                      AddCase{"int64_min", 0, INT64_MIN, "0000-01-01T00:00:00Z"},
                      AddCase{"underflowing_sum", kMin, INT64_MIN, "0000-01-01T00:00:00Z"}),
    case_name<AddCase>);

TEST(TimestampAdd, KeepsNanosecondsUnlessClamped) {
  const Timestamp end = Timestamp::from_unix_seconds(kMax).saturating_add_seconds(5);
  const Timestamp back = end.saturating_add_seconds(-60);
  EXPECT_EQ(back.nanosecond(), 999999999U);
  EXPECT_EQ(back.to_rfc3339(), "9999-12-31T23:58:59.999999999Z");
  const Timestamp low = back.saturating_add_seconds(INT64_MIN);
  EXPECT_EQ(low.nanosecond(), 0U);
  EXPECT_EQ(low.unix_seconds(), kMin);
  EXPECT_EQ(end.saturating_add_seconds(0), end);
}

TEST(TimestampOrder, ComparesSecondsThenNanoseconds) {
  const Timestamp last = Timestamp::from_unix_seconds(kMax);
  const Timestamp end = last.saturating_add_seconds(1);
  EXPECT_LT(last, end);
  EXPECT_LT(Timestamp::from_unix_seconds(-1), Timestamp());
}

// ---- the clock ------------------------------------------------------------------------

TEST(TimestampNow, WholeSecondsOfTheSystemClock) {
  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_REALTIME, &before);
  const Timestamp now = Timestamp::now();
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_EQ(now.nanosecond(), 0U);
  EXPECT_GE(now.unix_seconds(), static_cast<std::int64_t>(before.tv_sec));
  EXPECT_LE(now.unix_seconds(), static_cast<std::int64_t>(after.tv_sec));
  const auto back = Timestamp::from_str(now.to_rfc3339());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, now);
}

}  // namespace
