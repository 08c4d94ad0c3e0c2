#pragma once

#include <expected>
#include <string>

#include "corvane/cli/cli.hpp"

namespace corvane::cli {

// Runs the parsed command line: one subcommand against the state file.
// Returns an error text (one line, no "error: " prefix) on failure.
[[nodiscard]] std::expected<void, std::string> run(const Cli& cli);

// The whole process: parse, run, report. Returns the exit status
// (0 success, 1 failure after parsing, 2 usage error).
[[nodiscard]] int main_entry(int argc, const char* const* argv);

}  // namespace corvane::cli
