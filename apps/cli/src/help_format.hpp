#pragma once

// The layout of corvanectl's help and usage errors: a description, a
// "Usage:" line, then "Commands:", "Arguments:" and "Options:" sections with
// aligned columns, and usage errors that end with a usage line and a hint.
// They are rendered from the declarations in cli_internal.hpp, which CLI11
// holds while a text is rendered; nothing of CLI11 is built otherwise.

#include <string>
#include <string_view>

#include "cli_internal.hpp"

namespace corvane::cli::detail {

// ANSI styling of help and usage errors; a disabled style returns plain text.
class Style {
 public:
  explicit Style(bool enabled) : enabled_(enabled) {}

  [[nodiscard]] bool enabled() const { return enabled_; }
  [[nodiscard]] std::string heading(std::string_view text) const;  // bold and underlined
  [[nodiscard]] std::string literal(std::string_view text) const;  // bold
  [[nodiscard]] std::string error_label() const;                   // "error:" in bold red

 private:
  bool enabled_;
};

enum class UsageForm {
  kFull,          // "[OPTIONS]" stands for the optional options
  kRequiredOnly,  // only what must be given; used when something required is missing
};

// How an argument is named in help and messages: "--endpoint-ref <ENDPOINT_REF>",
// "--json", "<NAME>" or "[SUBCOMMAND]...".
[[nodiscard]] std::string argument_display(const Arg& arg, const Style& style);

// The whole help of `command`, ending with one line feed.
[[nodiscard]] std::string help_text(CommandId command, const Style& style);

// A usage error: "error: <message>", a blank line, the usage line of
// `command`, e.g. "corvanectl install [OPTIONS] --endpoint-ref <ENDPOINT_REF>
// --secret-ref <SECRET_REF> <NAME>", a blank line and the hint to ask for help.
[[nodiscard]] std::string usage_error_text(std::string_view message, CommandId command,
                                           UsageForm form, const Style& style);

}  // namespace corvane::cli::detail
