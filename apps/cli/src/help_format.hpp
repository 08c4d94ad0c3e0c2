#pragma once

// The layout of corvanectl's help and usage errors: a description, a
// "Usage:" line, then "Commands:", "Arguments:" and "Options:" sections with
// aligned columns, and usage errors that end with a usage line and a hint.

#include <CLI/App.hpp>
#include <CLI/Formatter.hpp>
#include <string>
#include <string_view>

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

// The command path of `app`, e.g. "corvanectl install".
[[nodiscard]] std::string command_path(const CLI::App& app);

// How an argument is named in help and messages: "--endpoint-ref <ENDPOINT_REF>",
// "--json", "<NAME>" or "[SUBCOMMAND]...".
[[nodiscard]] std::string argument_display(const CLI::Option& opt, const Style& style);

// The usage line without its "Usage: " heading, e.g.
// "corvanectl install [OPTIONS] --endpoint-ref <ENDPOINT_REF> --secret-ref <SECRET_REF> <NAME>".
[[nodiscard]] std::string usage_line(const CLI::App& app, UsageForm form, const Style& style);

// The whole help of `app`, ending with one line feed.
[[nodiscard]] std::string help_text(const CLI::App& app, const Style& style);

// A usage error: "error: <message>", a blank line, the usage line of `app`, a
// blank line and the hint to ask for help.
[[nodiscard]] std::string usage_error_text(std::string_view message, const CLI::App& app,
                                           UsageForm form, const Style& style);

// CLI11's hook for help output; renders help_text in the colour chosen for
// the stream the help is about to be written to.
class HelpFormatter : public CLI::FormatterBase {
 public:
  void set_colour(bool enabled) { colour_ = enabled; }

  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;

 private:
  bool colour_ = false;
};

}  // namespace corvane::cli::detail
