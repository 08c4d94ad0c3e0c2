#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "corvane/cli/cli.hpp"
#include "corvane/contracts/enums.hpp"

namespace corvane::cli {

class Output;

// Runs the parsed command line: one subcommand against the state file, its
// result printed to `out`. Returns an error text (one line, no "error: "
// prefix) on failure. Nothing is printed unless the subcommand succeeded and
// its state was saved.
[[nodiscard]] std::expected<void, std::string> run(const Cli& cli, Output& out);

// Writes "error: " and `message` on standard error.
void report_error(std::string_view message);

// The data class named exactly by `text`, or "unknown data class '{text}'".
[[nodiscard]] std::expected<contracts::DataClass, std::string> parse_data_class(
    std::string_view text);

// The whole process: parse, run, report. Returns the exit status
// (0 success, 1 failure after parsing, 2 usage error).
[[nodiscard]] int main_entry(int argc, const char* const* argv);

}  // namespace corvane::cli
