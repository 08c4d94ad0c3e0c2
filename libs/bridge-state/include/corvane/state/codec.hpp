#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "corvane/router/json.hpp"
#include "corvane/state/record.hpp"

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

// The state file's text: pretty layout, members in declaration order, no line
// feed after the closing brace.
[[nodiscard]] std::string encode_state(const CliState& state);

// Reads a state file's bytes; on failure the message names the fault and its
// position (" at line L column C").
[[nodiscard]] std::expected<CliState, std::string> decode_state(std::string_view bytes);

}  // namespace corvane::state
