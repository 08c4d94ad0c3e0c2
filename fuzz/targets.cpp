#include "targets.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/state/codec.hpp"
#include "corvane/state/store.hpp"
#include "varnholt/contracts/time.hpp"
#include "varnholt/contracts/uuid.hpp"
#include "varnholt/crypto/canonical.hpp"
#include "varnholt/crypto/sign.hpp"
#include "varnholt/error/core_error.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::fuzz {
namespace {

// The input being replayed, named in failure reports; set only by the replay test.
std::string current_input;

std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return size == 0 ? std::string_view()
                   : std::string_view(reinterpret_cast<const char*>(data), size);
}

void check(bool holds, std::string_view target, std::string_view what) {
  if (!holds) fuzz_failure(target, what);
}

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool parse_decimal(std::string_view text, std::size_t& out) {
  if (text.empty()) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

const std::string* validation_detail(const varnholt::error::CoreError& error) {
  const auto* validation = std::get_if<varnholt::error::Validation>(&error.variant());
  return validation == nullptr ? nullptr : &validation->detail;
}

// --- state file --------------------------------------------------------------------

// A failure to read a state file always ends in " at line L column C", and that
// position lies inside the input: line L exists and column C is at most its
// length.
bool has_position_inside(std::string_view message, std::string_view input) {
  constexpr std::string_view kAtLine = " at line ";
  constexpr std::string_view kColumn = " column ";
  const auto at = message.rfind(kAtLine);
  if (at == std::string_view::npos) return false;
  const auto numbers = message.substr(at + kAtLine.size());
  const auto column_at = numbers.find(kColumn);
  if (column_at == std::string_view::npos) return false;
  std::size_t line = 0;
  std::size_t column = 0;
  if (!parse_decimal(numbers.substr(0, column_at), line) ||
      !parse_decimal(numbers.substr(column_at + kColumn.size()), column) || line == 0) {
    return false;
  }
  std::size_t line_start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const auto feed = input.find('\n', line_start);
    if (feed == std::string_view::npos) return false;
    line_start = feed + 1;
  }
  const auto line_end = std::min(input.find('\n', line_start), input.size());
  return column <= line_end - line_start;
}

}  // namespace

int fuzz_state(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kName = "state";
  const auto bytes = as_text(data, size);
  const auto state = state::decode_state(bytes);
  if (!state) {
    check(has_position_inside(state.error(), bytes), kName,
          "a read failure without a position inside the input: " + state.error());
    return 0;
  }
  // Whatever was read writes back to a file that reads to the same state, and
  // writing that again gives the same bytes.
  const std::string text = state::encode_state(*state);
  const auto again = state::decode_state(text);
  check(again.has_value(), kName,
        "the written state does not read back: " + (again ? std::string() : again.error()));
  check(*again == *state, kName, "the state read back differs from the state written");
  check(state::encode_state(*again) == text, kName, "writing the state read back changes its text");
  return 0;
}

// --- the state file, streamed ---------------------------------------------------------

namespace {

// Hands the reader the input in pieces of a chosen size.
class PieceSource final : public varnholt::json::Source {
 public:
  PieceSource(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
  std::size_t read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, bytes_.size()});
    std::copy_n(bytes_.data(), n, buffer);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t piece_;
};

class Gather final : public state::ReadObserver {
 public:
  void on_connectors(const state::CliState&) override { ++announced; }
  void on_delivery(const contracts::Delivery& delivery) override { deliveries.push_back(delivery); }
  std::vector<contracts::Delivery> deliveries;
  int announced = 0;
};

// What one reading of a state gave: the verdict with its message and
// position, or the records, the announcements and where the log stands.
struct Outcome {
  std::optional<std::string> failure;
  state::CliState state;
  state::LogExtent log;
  Gather gather;
};

void read_into(varnholt::json::Reader& reader, state::LogReading how, Outcome& out) {
  const auto read = state::read_state(reader, out.state, out.log, &out.gather, how);
  if (!read) out.failure = read.error().describe();
}

// The same outcome, but for what only the matched reading tells: where its
// first delivery starts and whether the log is in the writer's layout.
void check_same(const Outcome& got, const Outcome& whole, std::string_view how) {
  constexpr std::string_view kName = "stream";
  const std::string suffix = " (" + std::string(how) + ")";
  if (whole.failure) {
    check(got.failure.has_value(), kName,
          "accepted what the whole-buffer reading refuses: " + *whole.failure + suffix);
    check(*got.failure == *whole.failure, kName,
          "another message: " + *got.failure + " / whole buffer: " + *whole.failure + suffix);
    return;
  }
  check(!got.failure, kName,
        "refused what the whole-buffer reading accepts: " + got.failure.value_or("") + suffix);
  check(got.gather.announced == 1, kName, "the connectors were not announced once" + suffix);
  check(got.state == whole.state, kName, "the records differ" + suffix);
  check(got.gather.deliveries == whole.gather.deliveries, kName, "the deliveries differ" + suffix);
  check(got.log.count == whole.log.count && got.log.elements == whole.log.elements &&
            got.log.end == whole.log.end,
        kName, "the log stands elsewhere" + suffix);
}

}  // namespace

int fuzz_stream(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kName = "stream";
  // The input's length says how it is fed to the streaming reader: through a
  // buffer of 1 byte to 256 KiB, in pieces of one byte to all of it, so that
  // every token is met split at every place, and the state file's own seeds
  // serve as they are.
  constexpr std::array<std::size_t, 6> kBuffers = {1, 7, 64, 256, 4096, std::size_t{1} << 18};
  constexpr std::array<std::size_t, 7> kPieces = {1, 2, 3, 7, 64, 4096, ~std::size_t{0}};
  const std::size_t buffer = kBuffers[(size / kPieces.size()) % kBuffers.size()];
  const std::size_t piece = kPieces[size % kPieces.size()];
  const auto bytes = as_text(data, size);

  // The whole buffer with the writer's layout matched is what the others
  // are held to: the same verdict, message, position, records and log.
  Outcome whole;
  {
    varnholt::json::Reader reader(bytes);
    read_into(reader, state::LogReading::Matched, whole);
  }
  if (whole.failure) {
    check(has_position_inside(*whole.failure, bytes), kName,
          "a read failure without a position inside the input: " + *whole.failure);
  }
  Outcome general;
  {
    varnholt::json::Reader reader(bytes);
    read_into(reader, state::LogReading::General, general);
  }
  check_same(general, whole, "whole buffer, general reading");
  for (const auto how : {state::LogReading::Matched, state::LogReading::General}) {
    Outcome streamed;
    PieceSource source(bytes, piece);
    varnholt::json::Reader reader(source, buffer);
    read_into(reader, how, streamed);
    const bool matched = how == state::LogReading::Matched;
    check_same(streamed, whole, matched ? "streamed, matched" : "streamed, general reading");
    if (matched && !whole.failure) {
      check(
          streamed.log.first == whole.log.first && streamed.log.own_layout == whole.log.own_layout,
          kName, "the streamed reading finds the writer's layout elsewhere");
    }
  }
  if (whole.failure) return 0;

  // A log said to be in the writer's layout is the writer's bytes.
  const auto& deliveries = whole.gather.deliveries;
  if (whole.log.own_layout && whole.log.count > 0) {
    std::string written;
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
      state::append_log_element(written, deliveries[i], i == 0);
    }
    check(bytes.substr(whole.log.first, whole.log.end - whole.log.first) ==
              std::string_view(written).substr(state::kFirstSeparator.size()),
          kName, "a log taken for the writer's layout is not what the writer writes");
  }
  // Reading the log again from its start gives the same deliveries.
  PieceSource again_source(bytes.substr(whole.log.elements), piece);
  varnholt::json::Reader again_reader(again_source, buffer);
  Gather again;
  check(state::read_log(again_reader, again).has_value(), kName, "the log does not read again");
  check(again.deliveries == deliveries, kName, "the log reads again differently");
  return 0;
}

// --- canonical JSON ------------------------------------------------------------------

namespace {

// Canonical bytes are only ever computed over values built from records, whose
// nesting is a handful of levels. Canonicalisation recurses once per level, so
// values nested thousands deep exhaust the stack; they are left out here.
constexpr std::size_t kCanonicalDepthLimit = 256;

// The deepest nesting of arrays and objects in `value`, found without
// recursion.
std::size_t nesting_depth(const nlohmann::json& value) {
  std::size_t deepest = 0;
  std::vector<std::pair<const nlohmann::json*, std::size_t>> pending = {{&value, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

}  // namespace

int fuzz_canonical(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kName = "canonical";
  const auto raw = as_text(data, size);

  // Normalising never lengthens text, keeps UTF-8 valid and is idempotent,
  // whatever the bytes.
  const std::string normal = varnholt::crypto::normalize_text(raw);
  check(normal.size() <= raw.size(), kName, "normalising lengthened the text");
  check(!varnholt::text::is_valid_utf8(raw) || varnholt::text::is_valid_utf8(normal), kName,
        "normalising broke UTF-8");
  check(varnholt::crypto::normalize_text(normal) == normal, kName, "normalising is not idempotent");

  const auto value = nlohmann::json::parse(raw, nullptr, false);
  if (value.is_discarded() || nesting_depth(value) > kCanonicalDepthLimit) return 0;

  const auto bytes = varnholt::crypto::canonical_bytes(value);
  varnholt::crypto::Path path;
  const auto canonical = varnholt::crypto::canonicalize(value, path);
  check(path.display() == "<root>", kName, "canonicalize left segments on the path");
  // canonical_bytes writes most values directly and falls back to the general
  // canonical copy; both must agree on what succeeds and on the bytes.
  check(bytes.has_value() == canonical.has_value(), kName,
        "canonical_bytes and canonicalize disagree on success");
  if (!bytes) {
    check(bytes.error().is<varnholt::error::CanonicalSerialization>(), kName,
          "a canonicalisation failure of another kind");
    check(!canonical.error().empty(), kName, "an empty canonicalisation error");
    return 0;
  }
  std::string written;
  varnholt::crypto::write_value(*canonical, written);
  check(written == *bytes, kName, "the direct and the general canonical bytes differ");

  // Canonical bytes are JSON whose canonical bytes are themselves.
  const auto reread = nlohmann::json::parse(*bytes, nullptr, false);
  check(!reread.is_discarded(), kName, "canonical bytes are not JSON");
  const auto again = varnholt::crypto::canonical_bytes(reread);
  check(again.has_value() && *again == *bytes, kName, "canonical bytes are not a fixed point");
  return 0;
}

// --- timestamps ----------------------------------------------------------------------

namespace {

// The instant an accepted RFC 3339 text names, computed independently with
// <chrono> from the fixed positions of its fields; nullopt when the date does
// not exist.
std::optional<std::int64_t> reference_unix_seconds(std::string_view text) {
  const auto field = [&](std::size_t at, std::size_t length) {
    int value = 0;
    std::from_chars(text.data() + at, text.data() + at + length, value);
    return value;
  };
  using namespace std::chrono;
  const year_month_day date{year{field(0, 4)}, month{static_cast<unsigned>(field(5, 2))},
                            day{static_cast<unsigned>(field(8, 2))}};
  if (!date.ok()) return std::nullopt;
  // A leap second reads as the second before it.
  const auto local = sys_days{date}.time_since_epoch() + hours{field(11, 2)} +
                     minutes{field(14, 2)} + seconds{std::min(field(17, 2), 59)};
  seconds offset{0};
  const char last = text.back();
  if (last != 'Z' && last != 'z') {
    const auto sign_at = text.size() - 6;
    offset = hours{field(sign_at + 1, 2)} + minutes{field(sign_at + 4, 2)};
    if (text[sign_at] == '-') offset = -offset;
  }
  return duration_cast<seconds>(local - offset).count();
}

}  // namespace

int fuzz_timestamp(const std::uint8_t* data, std::size_t size) {
  using varnholt::contracts::Timestamp;
  constexpr std::string_view kName = "timestamp";
  const auto text = as_text(data, size);
  const auto parsed = Timestamp::from_str(text);
  if (!parsed) {
    const auto* detail = validation_detail(parsed.error());
    check(detail != nullptr && detail->starts_with("invalid RFC 3339 timestamp "), kName,
          "a failure that is not the timestamp validation error: " + parsed.error().message());
    return 0;
  }
  check(parsed->nanosecond() == 0, kName, "a fraction was kept");
  check(parsed->unix_seconds() >= Timestamp::kMinUnixSeconds &&
            parsed->unix_seconds() <= Timestamp::kMaxUnixSeconds,
        kName, "an instant outside the range was accepted");
  check(text.size() >= 20, kName, "a text too short for RFC 3339 was accepted");
  const auto reference = reference_unix_seconds(text);
  check(reference.has_value(), kName, "a date that does not exist was accepted");
  check(*reference == parsed->unix_seconds(), kName,
        "the instant differs from the one computed with <chrono>");

  const std::string written = parsed->to_rfc3339();
  const auto again = Timestamp::from_str(written);
  check(again.has_value() && *again == *parsed, kName, "the written text reads to another instant");
  // A UTC text without fraction or leap second is already the written form.
  const bool plain_utc =
      text.size() == 20 && text[10] == 'T' && text[19] == 'Z' && text.substr(17, 2) != "60";
  check(!plain_utc || written == text, kName, "a plain UTC text is written differently");
  return 0;
}

// --- signatures ----------------------------------------------------------------------

int fuzz_signature(const std::uint8_t* data, std::size_t size) {
  using varnholt::crypto::Signature;
  constexpr std::string_view kName = "signature";
  const auto text = as_text(data, size);
  const auto signature = Signature::from_hex(text);
  if (!signature) {
    const auto* detail = validation_detail(signature.error());
    check(detail != nullptr, kName, "a failure that is not a validation error");
    // The length is checked before anything else.
    if (text.size() != 128) {
      check(*detail ==
                "ed25519 signature must be 128 hex characters, got " + std::to_string(text.size()),
            kName, "a text of the wrong length failed for another reason: " + *detail);
    } else {
      check(!std::all_of(text.begin(), text.end(), is_hex_digit), kName,
            "128 hex digits were refused: " + *detail);
    }
    return 0;
  }
  check(signature->to_hex() == lower_ascii(text), kName,
        "the written hex differs from the lower-cased input");
  return 0;
}

// --- identifiers ---------------------------------------------------------------------

int fuzz_uuid(const std::uint8_t* data, std::size_t size) {
  using varnholt::contracts::Uuid;
  constexpr std::string_view kName = "uuid";
  const auto text = as_text(data, size);
  const auto uuid = Uuid::parse(text);
  if (!uuid) {
    const std::string& why = uuid.error();
    check(why.starts_with("invalid character: found `") ||
              why.starts_with("invalid group count: expected 5, found ") ||
              why.starts_with("invalid group length in group ") ||
              why.starts_with("invalid length: found "),
          kName, "an undocumented failure: " + why);
    return 0;
  }
  const std::string written = uuid->to_string();
  check(written.size() == 36, kName, "the written form is not 36 characters");
  const auto again = Uuid::parse(written);
  check(again.has_value() && *again == *uuid, kName, "the written form reads to another UUID");

  // The accepted text is one of the four forms of the written one.
  std::string expected;
  switch (text.size()) {
    case 32:
      expected = written;
      std::erase(expected, '-');
      break;
    case 36:
      expected = written;
      break;
    case 38:
      expected = "{" + written + "}";
      break;
    case 45:
      expected = "urn:uuid:" + written;
      break;
    default:
      fuzz_failure(kName, "a text of another length was accepted");
  }
  check(lower_ascii(text) == expected, kName, "the text is not a form of the UUID read from it");
  return 0;
}

// --- reporting -----------------------------------------------------------------------

void set_current_input(std::string_view name) {
  current_input = name;
}

void fuzz_failure(std::string_view target, std::string_view what) {
  std::fprintf(stderr, "fuzz target %.*s: %.*s\n", static_cast<int>(target.size()), target.data(),
               static_cast<int>(what.size()), what.data());
  if (!current_input.empty()) {
    std::fprintf(stderr, "input: %s\n", current_input.c_str());
  }
  std::fflush(stderr);
  std::abort();
}

}  // namespace corvane::fuzz
