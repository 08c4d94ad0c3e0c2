#include "corvane/state/codec.hpp"

#include "varnholt/json/writer.hpp"

namespace corvane::state {

std::string encode_state(const CliState& state) {
  std::string out;
  // Room for the fixed part and a typical connector or delivery each.
  out.reserve(1024 + 1200 * state.router.connectors.size() + 400 * state.router.deliveries.size());
  varnholt::json::Writer writer(out, varnholt::json::Writer::Layout::Pretty);
  varnholt::json::write_value(writer, state);
  return out;
}

std::expected<CliState, std::string> decode_state(std::string_view bytes) {
  varnholt::json::Reader reader(bytes);
  CliState state;
  auto read = varnholt::json::read_value(reader, state);
  if (read) read = reader.end();
  if (!read) return std::unexpected(read.error().describe());
  return state;
}

}  // namespace corvane::state
