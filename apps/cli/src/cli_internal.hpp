#pragma once

// Pieces of the command-line parser that tests reach directly: the colour
// decision and a parse entry point that writes to given streams.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/cli/cli.hpp"

namespace corvane::cli {

// The environment variables that decide whether help and usage errors are
// coloured. An absent variable is std::nullopt; a set but empty one is "".
struct ColourEnv {
  std::optional<std::string> no_color;
  std::optional<std::string> clicolor_force;
  std::optional<std::string> clicolor;
  std::optional<std::string> term;

  [[nodiscard]] static ColourEnv from_process();
};

// Whether text written to a stream is styled with ANSI escapes:
// NO_COLOR (non-empty) always wins, then CLICOLOR_FORCE (non-empty, not "0")
// forces colour, then CLICOLOR=0 turns it off; otherwise only a terminal gets
// colour, and only when TERM names a capable terminal or CLICOLOR asks for it.
[[nodiscard]] bool colour_enabled(const ColourEnv& env, bool is_terminal);

// Where the parser writes and whether each stream is styled.
struct ParserStreams {
  std::ostream& out;
  std::ostream& err;
  bool out_colour = false;
  bool err_colour = false;
};

// parse_command_line with explicit streams; argv[0] is the program path and is
// not looked at.
[[nodiscard]] ParseResult parse_command_line(int argc, const char* const* argv,
                                             const ParserStreams& streams);

}  // namespace corvane::cli
