#pragma once

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "varnholt/contracts/uuid.hpp"

namespace corvane::cli {

namespace command {
struct Init {};
struct Install {
  std::string name;
  std::string endpoint_ref;
  std::string secret_ref;
  std::vector<std::string> events;   // command-line order, duplicates kept
  std::vector<std::string> classes;  // texts as typed; checked later
};
struct Approve {
  varnholt::contracts::Uuid connector;
  std::string workflow_ref;
};
struct List {};
struct Route {
  std::string event_type;
  std::vector<std::string> classes;  // texts as typed; checked later
};
struct Deliveries {};
}  // namespace command

using Command = std::variant<command::Init, command::Install, command::Approve, command::List,
                             command::Route, command::Deliveries>;

// The parsed command line.
struct Cli {
  std::filesystem::path state;  // the --state value, "corvane.json" by default
  bool json = false;            // --json: print results as compact JSON
  Command command;
};

// Either a parsed command line, or the exit status of a run that ended in the
// parser (help and version: 0, usage errors: 2) after it printed its output.
struct ParserExit {
  int status;
};
using ParseResult = std::variant<Cli, ParserExit>;

// Parses argv. Help and version go to stdout; usage errors ("error: ..." and a
// usage line) and the help for an empty command line go to stderr. Colour is
// used only when the stream is a terminal and the environment allows it.
[[nodiscard]] ParseResult parse_command_line(int argc, const char* const* argv);

}  // namespace corvane::cli
