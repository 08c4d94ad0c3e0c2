#include "corvane/state/codec.hpp"

#include <cassert>
#include <cstdlib>

#include "own_layout.hpp"
#include "varnholt/json/writer.hpp"

namespace corvane::state {

namespace {

using contracts::Delivery;
using router::Router;
using varnholt::json::Decoded;
using varnholt::json::Describe;
using varnholt::json::Reader;

// The deliveries' nesting level: inside the state, its router and the log.
// The writer's hole for the log says the same (log_layout() checks it).
constexpr std::size_t kLogDepth = 3;
// The longest delivery matched in the writer's layout.
constexpr std::size_t kLongestMatched = std::size_t{1} << 16;

// What one reading of a state has found so far, and whom to tell.
struct ReadContext {
  CliState* state = nullptr;
  LogExtent* log = nullptr;
  ReadObserver* observer = nullptr;
  LogReading how = LogReading::Matched;
  bool seed_read = false;
  bool connectors_read = false;
  bool announced = false;
  Delivery delivery;  // every delivery is read into this one
};

void announce_when_ready(ReadContext& context) {
  if (context.announced || !context.seed_read || !context.connectors_read) return;
  context.announced = true;
  if (context.observer != nullptr) context.observer->on_connectors(*context.state);
}

// Matches the next delivery of the log, with the separator before it, in the
// writer's own layout, and consumes it; false (consuming nothing) when the
// bytes are anything else.
bool match_own_delivery(Reader& reader, bool first, Delivery& delivery) {
  namespace own = varnholt::json::own;
  static const own::Piece kFirst{kFirstSeparator};
  static const own::Piece kNext{kSeparator};
  // Deliveries of some kilobytes at most: a longer one (a huge event type) is
  // read by the general reader, which never holds a string twice.
  for (std::size_t want = 1024; want <= kLongestMatched; want *= 4) {
    const std::string_view window = reader.ensure(want);
    own::Cursor in(window);
    if (in.literal(first ? kFirst : kNext) && own::match<Delivery, kLogDepth>(in, delivery)) {
      reader.advance(in.consumed(), in.feeds(), in.after_last_feed());
      return true;
    }
    // A delivery longer than the window is looked at again with more of it.
    if (!in.ran_short() || window.size() < want) return false;
  }
  return false;
}

// The log's deliveries, from just after its "[" up to its "]" (not consumed).
Decoded<void> read_elements(Reader& reader, ReadContext& context) {
  LogExtent* log = context.log;
  if (log != nullptr) *log = LogExtent{0, reader.offset(), 0, 0, true};
  bool first = true;
  bool own_layout = true;
  std::uint64_t count = 0;
  for (;;) {
    const std::uint64_t start = reader.offset();
    if (context.how == LogReading::Matched && match_own_delivery(reader, first, context.delivery)) {
      if (first && log != nullptr) log->first = start + kFirstSeparator.size();
      first = false;
    } else {
      auto more = reader.has_next_element(first);
      if (!more) return std::unexpected(std::move(more.error()));
      if (!*more) break;
      own_layout = false;
      if (auto read = varnholt::json::read_value(reader, context.delivery); !read) return read;
    }
    ++count;
    if (log != nullptr) log->end = reader.offset();
    if (context.observer != nullptr) context.observer->on_delivery(context.delivery);
  }
  if (log != nullptr) {
    log->count = count;
    log->own_layout = own_layout;
  }
  return {};
}

// --- reading a state through the members' descriptions ---------------------------

// The state's and the router's members are read as their descriptions say,
// but for those that reading watches (the seed, the connectors) or streams
// (the delivery log).
constexpr std::size_t kSeed = varnholt::json::member_index<CliState>("approval_seed");
constexpr std::size_t kRouter = varnholt::json::member_index<CliState>("router");
constexpr std::size_t kConnectors = varnholt::json::member_index<Router>("connectors");
constexpr std::size_t kDeliveries = varnholt::json::member_index<Router>("deliveries");

// Notes that a watched member was read, once it was.
Decoded<void> noted(Decoded<void> read, bool& flag, ReadContext& context) {
  if (read) {
    flag = true;
    announce_when_ready(context);
  }
  return read;
}

Decoded<void> read_router(Reader& reader, Router& router, ReadContext& context) {
  constexpr auto& fields = varnholt::json::kFieldTable<Router>;
  return varnholt::json::read_record(
      reader, router, Describe<Router>::expecting, fields,
      [&](std::size_t index, Reader& r, Router& out) -> Decoded<void> {
        if (index == kConnectors) {
          return noted(varnholt::json::read_value(r, out.connectors), context.connectors_read,
                       context);
        }
        if (index == kDeliveries) {
          return varnholt::json::read_container(r, "a sequence", varnholt::json::Brackets::Array,
                                                [&](bool) { return read_elements(r, context); });
        }
        return fields[index].read(r, out);
      });
}

Decoded<void> read_root(Reader& reader, CliState& state, ReadContext& context) {
  constexpr auto& fields = varnholt::json::kFieldTable<CliState>;
  return varnholt::json::read_record(
      reader, state, Describe<CliState>::expecting, fields,
      [&](std::size_t index, Reader& r, CliState& out) -> Decoded<void> {
        if (index == kSeed) {
          return noted(varnholt::json::read_value(r, out.approval_seed), context.seed_read,
                       context);
        }
        if (index == kRouter) return read_router(r, out.router, context);
        return fields[index].read(r, out);
      });
}

// Collects the log into the state's own list.
class Collector final : public ReadObserver {
 public:
  explicit Collector(std::vector<Delivery>& out) : out_(out) {}
  void on_delivery(const Delivery& delivery) override { out_.push_back(delivery); }

 private:
  std::vector<Delivery>& out_;
};

}  // namespace

Decoded<void> read_state(Reader& reader, CliState& state, LogExtent& log, ReadObserver* observer,
                         LogReading how) {
  ReadContext context;
  context.state = &state;
  context.log = &log;
  context.observer = observer;
  context.how = how;
  log = LogExtent{};
  auto read = read_root(reader, state, context);
  if (read) read = reader.end();
  if (!read) return read;
  // A file with its members in another order names the seed or the
  // connectors only after the log.
  context.seed_read = context.connectors_read = true;
  announce_when_ready(context);
  return {};
}

Decoded<void> read_log(Reader& reader, ReadObserver& observer, LogReading how) {
  ReadContext context;
  context.observer = &observer;
  context.how = how;
  if (auto read = read_elements(reader, context); !read) return read;
  return reader.end_seq();
}

namespace {

// Writes `state`, leaving a hole for the elements of `hole` (an empty array)
// if it is given.
std::string write_state(const CliState& state, varnholt::json::Writer::Hole* hole = nullptr) {
  std::string out;
  // Room for the fixed part and a typical connector or delivery each.
  out.reserve(1024 + 1200 * state.router.connectors.size() + 400 * state.router.deliveries.size());
  varnholt::json::Writer writer(out, varnholt::json::Writer::Layout::Pretty);
  if (hole != nullptr) writer.leave_hole_at(&state.router.deliveries);
  varnholt::json::write_value(writer, state);
  if (hole != nullptr) {
    // Every state has its router's log: the writer always finds it.
    const auto found = writer.hole();
    if (!found) std::abort();
    *hole = *found;
  }
  return out;
}

}  // namespace

std::string encode_state(const CliState& state) {
  return write_state(state);
}

std::expected<CliState, std::string> decode_state(std::string_view bytes) {
  Reader reader(bytes);
  CliState state;
  LogExtent log;
  Collector collector(state.router.deliveries);
  if (auto read = read_state(reader, state, log, &collector); !read) {
    return std::unexpected(read.error().describe());
  }
  return state;
}

Frame encode_frame(const CliState& state) {
  assert(state.router.deliveries.empty());
  varnholt::json::Writer::Hole hole;
  std::string text = write_state(state, &hole);
  return Frame{text.substr(0, hole.offset), text.substr(hole.offset)};
}

const LogLayout& log_layout() {
  static const LogLayout layout = [] {
    varnholt::json::Writer::Hole hole;
    (void)write_state(CliState{}, &hole);
    // The matcher of the writer's layout looks for deliveries at this level.
    if (hole.depth != kLogDepth) std::abort();
    return LogLayout{hole.depth, varnholt::json::pretty_element_breaks(hole.depth)};
  }();
  return layout;
}

void append_log_element(std::string& out, const Delivery& delivery, bool first) {
  out.append(first ? kFirstSeparator : kSeparator);
  varnholt::json::Writer writer(out, varnholt::json::Writer::Layout::Pretty,
                                varnholt::json::Writer::Order::Declared, log_layout().depth);
  varnholt::json::write_value(writer, delivery);
}

void append_delivery_json(std::string& out, const Delivery& delivery) {
  varnholt::json::Writer writer(out, varnholt::json::Writer::Layout::Compact,
                                varnholt::json::Writer::Order::Sorted);
  varnholt::json::write_value(writer, delivery);
}

}  // namespace corvane::state
