#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "corvane/state/record.hpp"

namespace corvane::fuzz::reference {

// Reads a whole state file held in memory, with the reader the state file was
// read with before reading was streamed: every fault's message and position
// as the streaming reader must give them.
[[nodiscard]] std::expected<state::CliState, std::string> decode_state(std::string_view bytes);

}  // namespace corvane::fuzz::reference
