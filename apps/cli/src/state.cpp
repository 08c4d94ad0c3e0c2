#include "corvane/cli/state.hpp"

#include "corvane/contracts/json.hpp"
#include "corvane/router/json.hpp"
#include "varnholt/json/reader.hpp"
#include "varnholt/json/writer.hpp"

namespace corvane::cli {

using varnholt::json::Decoded;
using varnholt::json::Field;
using varnholt::json::Reader;

std::string encode_state(const CliState& state) {
  std::string out;
  // Room for the fixed part and a typical connector or delivery each.
  out.reserve(1024 + 1200 * state.router.connectors.size() + 400 * state.router.deliveries.size());
  varnholt::json::Writer writer(out, varnholt::json::Writer::Layout::Pretty);
  writer.begin_object();
  writer.key("tenant_id");
  std::string tenant;
  state.tenant_id.uuid().append_to(tenant);
  writer.raw_string(tenant);
  writer.key("approval_seed");
  writer.begin_array();
  for (const auto byte : state.approval_seed) writer.unsigned_number(byte);
  writer.end_array();
  writer.key("router");
  router::write(writer, state.router);
  writer.end_object();
  return out;
}

namespace {

constexpr std::string_view kSeedExpected = "an array of length 32";

// Exactly 32 numbers: fewer is an invalid length, more are trailing characters.
Decoded<void> read_seed(Reader& reader, CliState& state) {
  return varnholt::json::read_container(
      reader, kSeedExpected, varnholt::json::Brackets::Array, [&](bool) {
        bool first = true;
        for (std::size_t i = 0; i < state.approval_seed.size(); ++i) {
          auto more = reader.has_next_element(first);
          if (!more) return Decoded<void>(std::unexpected(std::move(more.error())));
          if (!*more)
            return Decoded<void>(
                varnholt::json::fail(varnholt::json::invalid_length(i, kSeedExpected)));
          auto byte = varnholt::json::read_unsigned(reader, 0xFF, "u8");
          if (!byte) return Decoded<void>(std::unexpected(std::move(byte.error())));
          state.approval_seed[i] = static_cast<std::uint8_t>(*byte);
        }
        return Decoded<void>();
      });
}

}  // namespace

std::expected<CliState, std::string> decode_state(std::string_view bytes) {
  static constexpr Field<CliState> fields[] = {
      {"tenant_id",
       [](Reader& r, CliState& s) -> Decoded<void> {
         auto uuid = contracts::read_uuid(r);
         if (!uuid) return std::unexpected(std::move(uuid.error()));
         s.tenant_id = varnholt::contracts::TenantId(*uuid);
         return {};
       }},
      {"approval_seed", read_seed},
      {"router", [](Reader& r, CliState& s) { return router::read(r, s.router); }},
  };
  Reader reader(bytes);
  CliState state;
  auto read = varnholt::json::read_record(reader, state, "struct CliState", fields);
  if (read) read = reader.end();
  if (!read) return std::unexpected(read.error().describe(bytes));
  return state;
}

}  // namespace corvane::cli
