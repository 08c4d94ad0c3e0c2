#pragma once

// The layout of corvanectl's help and usage errors: a description, a
// "Usage:" line, then "Commands:", "Arguments:" and "Options:" sections with
// aligned columns, and usage errors that end with a usage line and a hint.
// They are rendered from the command table's declarations by the small
// renderer here; on a terminal, help texts are wrapped to its width.

#include <cstddef>
#include <span>
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

// Help texts are not wrapped into a column narrower than this.
inline constexpr std::size_t kNarrowestText = 20;

// `text`, starting `indent` columns from the left, wrapped at spaces so that
// it ends before `columns`; later lines are indented by `indent`. With
// `columns` 0 (not a terminal), or when the text fits, it is returned as it
// is.
[[nodiscard]] std::string wrap(std::string_view text, std::size_t indent, std::size_t columns);

// The whole help of `command`, ending with one line feed; `subcommands` are
// listed under "Commands:". Help texts are wrapped to `columns` (0: never).
[[nodiscard]] std::string help_text(const CommandDecl& command,
                                    std::span<const CommandDecl* const> subcommands,
                                    const Style& style, std::size_t columns = 0);

// A usage error: "error: <message>", a blank line, the usage line of
// `command`, e.g. "corvanectl install [OPTIONS] --endpoint-ref <ENDPOINT_REF>
// --secret-ref <SECRET_REF> <NAME>", a blank line and the hint to ask for help.
[[nodiscard]] std::string usage_error_text(std::string_view message, const CommandDecl& command,
                                           bool has_subcommands, UsageForm form,
                                           const Style& style);

}  // namespace corvane::cli::detail
