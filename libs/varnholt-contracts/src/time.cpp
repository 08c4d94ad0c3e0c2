#include "varnholt/contracts/time.hpp"

#include <time.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "varnholt/error/core_error.hpp"

namespace varnholt::contracts {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint32_t kMaxNanos = 999'999'999;

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil).
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);                 // [0, 399]
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;            // [0, 146096]
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The date of a day count since 1970-01-01 (Howard Hinnant's civil_from_days).
constexpr CivilDate civil_from_days(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);                    // [0, 146096]
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);  // [0, 365]
  const unsigned mp = (5 * doy + 2) / 153;                       // [0, 11]
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;               // [1, 31]
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;                  // [1, 12]
  return {m <= 2 ? y + 1 : y, m, d};
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(0, 1, 1) * kSecondsPerDay == Timestamp::kMinUnixSeconds);
static_assert(days_from_civil(9999, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1 ==
              Timestamp::kMaxUnixSeconds);

constexpr bool is_leap_year(std::int64_t y) noexcept {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

constexpr unsigned days_in_month(std::int64_t y, unsigned m) noexcept {
  constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29 : kDays[m - 1];
}

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Reads RFC 3339 text byte by byte. Each step either consumes what it expects
// or fails; the caller names what failed. The descriptions are kept word for
// word because they are part of the messages users already see for bad state
// files.
class Rfc3339Reader {
 public:
  explicit Rfc3339Reader(std::string_view text) : text_(text) {}

  // Exactly `n` ASCII digits; more digits after them are left for the next step.
  std::optional<unsigned> digits(std::size_t n) {
    if (text_.size() - pos_ < n) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const char c = text_[pos_ + i];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    pos_ += n;
    return value;
  }

  std::optional<unsigned> digit() { return digits(1); }

  // Consumes `c` (either case for letters when `ignore_case`) if it is next.
  bool literal(char c, bool ignore_case = false) {
    if (pos_ >= text_.size()) return false;
    char next = text_[pos_];
    if (ignore_case && next >= 'a' && next <= 'z') next = static_cast<char>(next - 'a' + 'A');
    if (next != c) return false;
    ++pos_;
    return true;
  }

  [[nodiscard]] bool at_end() const { return pos_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

constexpr std::string_view kInvalidLiteral = "a character literal was not valid";

std::string component_unparsable(std::string_view name) {
  return "the '" + std::string(name) + "' component could not be parsed";
}

struct ParsedFields {
  unsigned year = 0;
  unsigned month = 0;
  unsigned day = 0;
  unsigned hour = 0;
  unsigned minute = 0;
  unsigned second = 0;
  std::int64_t offset_seconds = 0;  // east of UTC
};

// The syntax of an RFC 3339 date-time; values are range-checked afterwards.
std::expected<ParsedFields, std::string> read_fields(std::string_view text) {
  Rfc3339Reader in(text);
  ParsedFields f;
  const auto number = [&in](std::size_t n, unsigned& out) {
    const auto v = in.digits(n);
    if (v) out = *v;
    return v.has_value();
  };
  if (!number(4, f.year)) return std::unexpected(component_unparsable("year"));
  if (!in.literal('-')) return std::unexpected(std::string(kInvalidLiteral));
  if (!number(2, f.month)) return std::unexpected(component_unparsable("month"));
  if (!in.literal('-')) return std::unexpected(std::string(kInvalidLiteral));
  if (!number(2, f.day)) return std::unexpected(component_unparsable("day"));
  if (!in.literal('T', true)) return std::unexpected(std::string(kInvalidLiteral));
  if (!number(2, f.hour)) return std::unexpected(component_unparsable("hour"));
  if (!in.literal(':')) return std::unexpected(std::string(kInvalidLiteral));
  if (!number(2, f.minute)) return std::unexpected(component_unparsable("minute"));
  if (!in.literal(':')) return std::unexpected(std::string(kInvalidLiteral));
  if (!number(2, f.second)) return std::unexpected(component_unparsable("second"));
  if (in.literal('.')) {
    // At least one digit; the fraction is dropped, so its value is not kept.
    if (!in.digit()) return std::unexpected(component_unparsable("subsecond"));
    while (in.digit()) {
    }
  }
  if (!in.literal('Z', true)) {
    int sign = 0;
    if (in.literal('+')) {
      sign = 1;
    } else if (in.literal('-')) {
      sign = -1;
    } else {
      return std::unexpected(component_unparsable("offset hour"));
    }
    const auto hours = in.digits(2);
    if (!hours || *hours > 23) return std::unexpected(component_unparsable("offset hour"));
    if (!in.literal(':')) return std::unexpected(std::string(kInvalidLiteral));
    const auto minutes = in.digits(2);
    if (!minutes) return std::unexpected(component_unparsable("offset minute"));
    if (*minutes > 59) {
      return std::unexpected(std::string("offset minute must be in the range -59..=59"));
    }
    f.offset_seconds = sign * static_cast<std::int64_t>(*hours * 3600 + *minutes * 60);
  }
  if (!in.at_end()) return std::unexpected(std::string("unexpected trailing characters"));
  return f;
}

// Parses `text` into seconds since the epoch at offset zero, or describes what failed.
std::expected<std::int64_t, std::string> parse_unix_seconds(std::string_view text) {
  const auto fields = read_fields(text);
  if (!fields) return std::unexpected(fields.error());
  const ParsedFields& f = *fields;

  if (f.month < 1 || f.month > 12) return std::unexpected("month must be in the range 1..=12");
  const unsigned month_days = days_in_month(f.year, f.month);
  if (f.day < 1 || f.day > month_days) {
    return std::unexpected("day must be in the range 1..=" + std::to_string(month_days) +
                           ", given values of other parameters");
  }
  if (f.hour > 23) return std::unexpected("hour must be in the range 0..=23");
  if (f.minute > 59) return std::unexpected("minute must be in the range 0..=59");
  if (f.second > 60) return std::unexpected("second must be in the range 0..=59");

  // A leap second reads as the second before it; it is only allowed where one
  // can occur, at the end of the last day of a month in UTC.
  const bool leap_second = f.second == 60;
  const std::int64_t local = days_from_civil(f.year, f.month, f.day) * kSecondsPerDay +
                             f.hour * 3600 + f.minute * 60 + (leap_second ? 59 : f.second);
  const std::int64_t utc = local - f.offset_seconds;
  if (leap_second) {
    const std::int64_t day = floor_div(utc, kSecondsPerDay);
    const CivilDate date = civil_from_days(day);
    const bool end_of_month = utc - day * kSecondsPerDay == kSecondsPerDay - 1 &&
                              date.day == days_in_month(date.year, date.month);
    if (!end_of_month) {
      return std::unexpected(
          "second must be in the range 0..=59, given values of other parameters");
    }
  }
  if (utc < Timestamp::kMinUnixSeconds || utc > Timestamp::kMaxUnixSeconds) {
    return std::unexpected("the instant at offset zero is outside the supported range");
  }
  return utc;
}

}  // namespace

Timestamp Timestamp::now() {
  // The C library's clock, so that tools which shift the process's idea of the
  // time (libfaketime) are honoured. tv_sec is already the floor of the time:
  // tv_nsec is never negative, also before 1970.
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return from_unix_seconds(static_cast<std::int64_t>(ts.tv_sec));
}

Timestamp Timestamp::from_unix_seconds(std::int64_t unix_seconds) noexcept {
  if (unix_seconds < kMinUnixSeconds) return Timestamp(kMinUnixSeconds, 0);
  if (unix_seconds > kMaxUnixSeconds) return Timestamp(kMaxUnixSeconds, 0);
  return Timestamp(unix_seconds, 0);
}

std::expected<Timestamp, error::CoreError> Timestamp::from_str(std::string_view text) {
  const auto seconds = parse_unix_seconds(text);
  if (!seconds) {
    std::string detail = "invalid RFC 3339 timestamp ";
    error::append_quoted(detail, text);
    detail.append(": ");
    detail.append(seconds.error());
    return std::unexpected(error::Validation{std::move(detail)});
  }
  return Timestamp(*seconds, 0);
}

std::optional<Timestamp> Timestamp::from_written(std::string_view text) noexcept {
  // YYYY-MM-DDTHH:MM:SSZ: digits everywhere but at the fixed separators.
  constexpr std::string_view kShape = "0000-00-00T00:00:00Z";
  if (text.size() != kShape.size()) return std::nullopt;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const char c = text[i];
    if (kShape[i] == '0' ? (c < '0' || c > '9') : c != kShape[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t n) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + n; ++i)
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    return value;
  };
  const unsigned year = number(0, 4);
  const unsigned month = number(5, 2);
  const unsigned day = number(8, 2);
  const unsigned hour = number(11, 2);
  const unsigned minute = number(14, 2);
  const unsigned second = number(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  return Timestamp(
      days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second, 0);
}

std::size_t Timestamp::write_rfc3339(char* out) const noexcept {
  const std::int64_t day = floor_div(seconds_, kSecondsPerDay);
  const auto second_of_day = static_cast<unsigned>(seconds_ - day * kSecondsPerDay);
  const CivilDate date = civil_from_days(day);
  // Values are kept within years 0..9999, so the year always has four digits.
  const auto year = static_cast<unsigned>(date.year);
  char* p = out;
  const auto two = [&p](unsigned v) {
    *p++ = static_cast<char>('0' + v / 10);
    *p++ = static_cast<char>('0' + v % 10);
  };
  two(year / 100);
  two(year % 100);
  *p++ = '-';
  two(date.month);
  *p++ = '-';
  two(date.day);
  *p++ = 'T';
  two(second_of_day / 3600);
  *p++ = ':';
  two(second_of_day / 60 % 60);
  *p++ = ':';
  two(second_of_day % 60);
  if (nanos_ != 0) {
    std::array<char, 9> fraction{};
    std::uint32_t n = nanos_;
    for (std::size_t i = fraction.size(); i-- > 0;) {
      fraction[i] = static_cast<char>('0' + n % 10);
      n /= 10;
    }
    std::size_t length = fraction.size();
    while (fraction[length - 1] == '0') --length;
    *p++ = '.';
    for (std::size_t i = 0; i < length; ++i) *p++ = fraction[i];
  }
  *p++ = 'Z';
  return static_cast<std::size_t>(p - out);
}

void Timestamp::append_rfc3339(std::string& out) const {
  std::array<char, kMaxTextLength> text{};
  out.append(text.data(), write_rfc3339(text.data()));
}

std::string Timestamp::to_rfc3339() const {
  std::string out;
  out.reserve(35);
  append_rfc3339(out);
  return out;
}

Timestamp Timestamp::saturating_add_seconds(std::int64_t seconds) const noexcept {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(seconds_, seconds, &sum)) {
    return seconds > 0 ? Timestamp(kMaxUnixSeconds, kMaxNanos) : Timestamp(kMinUnixSeconds, 0);
  }
  if (sum > kMaxUnixSeconds) return Timestamp(kMaxUnixSeconds, kMaxNanos);
  if (sum < kMinUnixSeconds) return Timestamp(kMinUnixSeconds, 0);
  return Timestamp(sum, nanos_);
}

}  // namespace varnholt::contracts
