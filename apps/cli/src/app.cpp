#include "corvane/cli/app.hpp"

#include <cstdio>

namespace corvane::cli {

std::expected<void, std::string> run(const Cli& /*cli*/) {
  return std::unexpected(std::string("not implemented yet"));
}

int main_entry(int argc, const char* const* argv) {
  auto parsed = parse_command_line(argc, argv);
  if (const auto* exit = std::get_if<ParserExit>(&parsed)) return exit->status;
  auto result = run(std::get<Cli>(parsed));
  if (!result) {
    std::fprintf(stderr, "error: %s\n", result.error().c_str());
    return 1;
  }
  return 0;
}

}  // namespace corvane::cli
