#pragma once

// The state file's text: written in the pretty layout, read with every
// message and position of the reader's rules. The delivery log, which grows
// without bound, is never held whole: reading hands its deliveries out one at
// a time, and writing takes them one at a time.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "corvane/router/json.hpp"
#include "corvane/state/record.hpp"
#include "varnholt/json/writer.hpp"

namespace varnholt::json {

template <>
struct Describe<corvane::state::CliState> {
  using T = corvane::state::CliState;
  static constexpr std::string_view expecting = "struct CliState";
  static constexpr std::tuple members{Member{"tenant_id", &T::tenant_id},
                                      Member{"approval_seed", &T::approval_seed},
                                      Member{"router", &T::router}};
};

}  // namespace varnholt::json

namespace corvane::state {

// Where the delivery log stands in the text it was read from.
struct LogExtent {
  std::uint64_t count = 0;     // deliveries in the log
  std::uint64_t elements = 0;  // offset just after the log's "["
  std::uint64_t first = 0;     // offset of the first delivery's "{"
  std::uint64_t end = 0;       // offset just after the last delivery's "}"
  // The bytes from `first` to `end` are exactly what the writer writes for
  // these deliveries, so a save may copy them as they are.
  bool own_layout = false;
};

// Told what reading finds on the way.
class ReadObserver {
 public:
  ReadObserver() = default;
  ReadObserver(const ReadObserver&) = delete;
  ReadObserver& operator=(const ReadObserver&) = delete;
  virtual ~ReadObserver() = default;

  // The connectors and the seed are known and will not change. In a file in
  // the writer's member order this comes before the delivery log is read.
  virtual void on_connectors(const CliState& /*state*/) {}
  // The next delivery of the log.
  virtual void on_delivery(const contracts::Delivery& /*delivery*/) {}
};

// How the delivery log is read. `Matched` first matches each delivery against
// the writer's own layout, which is much faster, and falls back to the
// general reader for anything else; `General` reads every delivery with the
// general reader (it never finds the log in the writer's layout). Both give
// the same deliveries and the same faults at the same positions.
enum class LogReading : std::uint8_t { Matched, General };

// Reads a state from `reader`: everything but the delivery log into `state`
// (its router's delivery list stays empty), the log's deliveries to
// `observer` (if any) as they come, and where the log stands into `log`.
// The whole text is checked; after a failure nothing in `state` counts.
[[nodiscard]] varnholt::json::Decoded<void> read_state(varnholt::json::Reader& reader,
                                                       CliState& state, LogExtent& log,
                                                       ReadObserver* observer = nullptr,
                                                       LogReading how = LogReading::Matched);

// Reads the delivery log again, from a reader that starts just after its
// "[" (LogExtent::elements), handing every delivery to `observer`.
[[nodiscard]] varnholt::json::Decoded<void> read_log(varnholt::json::Reader& reader,
                                                     ReadObserver& observer,
                                                     LogReading how = LogReading::Matched);

// A state held whole in memory, its deliveries in its router's list.
[[nodiscard]] std::string encode_state(const CliState& state);
[[nodiscard]] std::expected<CliState, std::string> decode_state(std::string_view bytes);

// The text of a state split where its delivery log goes: `head` ends with
// `"deliveries": [`, `tail` starts with "]" (the router's own delivery list is
// left out). `append_log_element` writes one delivery of the log with what
// precedes it; `kLogEnd` is what comes between the last delivery and `tail`.
struct Frame {
  std::string head;
  std::string tail;
};
[[nodiscard]] Frame encode_frame(const CliState& state);
void append_log_element(std::string& out, const contracts::Delivery& delivery, bool first);

// Where the log stands in the writer's layout: the indentation level of its
// deliveries and what the writer puts around them.
struct LogLayout {
  std::size_t depth = 0;
  varnholt::json::ElementBreaks breaks;
};
[[nodiscard]] const LogLayout& log_layout();
// What precedes the first delivery's "{" and each later one's, and what
// follows the last one's "}".
inline const std::string& kFirstSeparator = log_layout().breaks.first;
inline const std::string& kSeparator = log_layout().breaks.next;
inline const std::string& kLogEnd = log_layout().breaks.last;

// A delivery as --json output shows it: compact, members in byte order.
void append_delivery_json(std::string& out, const contracts::Delivery& delivery);

}  // namespace corvane::state
