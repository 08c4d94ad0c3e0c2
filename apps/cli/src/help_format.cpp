#include "help_format.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace corvane::cli::detail {
namespace {

constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kUnderline = "\x1b[4m";
constexpr std::string_view kRed = "\x1b[31m";
constexpr std::string_view kReset = "\x1b[0m";

// Columns are aligned by characters, not bytes, so that a multi-byte
// character in a name does not shift the help texts.
std::size_t display_width(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
  }));
}

// A piece of help text together with its width on screen (escapes excluded).
struct Cell {
  std::string text;
  std::size_t width = 0;

  void append(std::string_view plain, const std::string& styled) {
    text += styled;
    width += display_width(plain);
  }
  void append(std::string_view plain) { append(plain, std::string(plain)); }
};

struct Row {
  Cell left;
  std::string help;
};

std::string render_rows(const std::string& heading, const std::vector<Row>& rows,
                        const Style& style) {
  std::size_t column = 0;
  for (const Row& row : rows) column = std::max(column, row.left.width);
  std::string block = style.heading(heading);
  for (const Row& row : rows) {
    block += "\n  ";
    block += row.left.text;
    block.append(column - row.left.width + 2, ' ');
    block += row.help;
  }
  return block;
}

bool is_builtin(const CLI::App& app, const CLI::Option* opt) {
  return opt == app.get_help_ptr() || opt == app.get_version_ptr();
}

bool takes_value(const CLI::Option& opt) {
  return opt.get_items_expected_max() > 0;
}

// Options in the order they were declared, then help and version.
std::vector<const CLI::Option*> listed_options(const CLI::App& app) {
  std::vector<const CLI::Option*> listed = app.get_options(
      [&app](const CLI::Option* opt) { return !opt->get_positional() && !is_builtin(app, opt); });
  if (const CLI::Option* help = app.get_help_ptr()) listed.push_back(help);
  if (const CLI::Option* version = app.get_version_ptr()) listed.push_back(version);
  return listed;
}

std::vector<const CLI::Option*> positionals(const CLI::App& app) {
  return app.get_options([](const CLI::Option* opt) { return opt->get_positional(); });
}

std::vector<const CLI::App*> listed_subcommands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
}

// What the display of an argument shows, whether it comes from CLI11's
// declarations (help) or straight from the table (messages).
struct Shown {
  bool positional = false;
  bool required = false;
  bool many = false;  // a positional argument that takes any number of values
  bool takes_value = false;
  std::string_view long_name;  // "--state"; empty for a positional argument
  std::string_view value_name;
};

void append_display(Cell& cell, const Shown& shown, const Style& style) {
  if (shown.positional) {
    const bool required = shown.required;
    std::string text = required ? "<" : "[";
    text.append(shown.value_name).append(required ? ">" : "]");
    if (shown.many) text += "...";
    cell.append(text);
    return;
  }
  cell.append(shown.long_name, style.literal(shown.long_name));
  if (shown.takes_value) {
    std::string value = " <";
    value.append(shown.value_name).append(">");
    cell.append(value);
  }
}

void append_display(Cell& cell, const CLI::Option& opt, const Style& style) {
  const std::string long_name = opt.get_positional() ? "" : "--" + opt.get_lnames().front();
  const std::string value_name = opt.get_type_name();
  append_display(cell,
                 Shown{opt.get_positional(), opt.get_required(), opt.get_items_expected_max() > 1,
                       takes_value(opt), long_name, value_name},
                 style);
}

Cell option_cell(const CLI::Option& opt, const Style& style) {
  Cell cell;
  if (opt.get_snames().empty()) {
    cell.append("    ");
  } else {
    const std::string short_name = "-" + opt.get_snames().front();
    cell.append(short_name, style.literal(short_name));
    cell.append(", ");
  }
  append_display(cell, opt, style);
  return cell;
}

std::string option_help(const CLI::Option& opt) {
  std::string help = opt.get_description();
  const std::string& default_value = opt.get_default_str();
  if (!default_value.empty()) {
    if (!help.empty()) help += ' ';
    help += "[default: " + default_value + "]";
  }
  return help;
}

// The command path of `app`, e.g. "corvanectl install".
std::string command_path(const CLI::App& app) {
  std::string path = app.get_name();
  for (const CLI::App* parent = app.get_parent(); parent != nullptr;
       parent = parent->get_parent()) {
    path = parent->get_name() + " " + path;
  }
  return path;
}

std::string option_display(const CLI::Option& opt, const Style& style) {
  Cell cell;
  append_display(cell, opt, style);
  return std::move(cell.text);
}

// The usage line without its "Usage: " heading.
std::string usage_line(const CLI::App& app, UsageForm form, const Style& style) {
  std::string line = style.literal(command_path(app));
  const std::vector<const CLI::Option*> options = listed_options(app);
  const bool has_optional = std::any_of(options.begin(), options.end(), [&app](const auto* opt) {
    return !opt->get_required() && !is_builtin(app, opt);
  });
  if (form == UsageForm::kFull && has_optional) line += " [OPTIONS]";
  for (const CLI::Option* opt : options) {
    if (opt->get_required()) line += " " + option_display(*opt, style);
  }
  for (const CLI::Option* opt : positionals(app)) {
    if (form == UsageForm::kFull || opt->get_required()) {
      line += " " + option_display(*opt, style);
    }
  }
  if (!listed_subcommands(app).empty()) line += " <COMMAND>";
  return line;
}

std::string render_help(const CLI::App& app, const Style& style) {
  std::vector<std::string> blocks;
  if (!app.get_description().empty()) blocks.push_back(app.get_description());
  blocks.push_back(style.heading("Usage:") + " " + usage_line(app, UsageForm::kFull, style));

  std::vector<Row> rows;
  for (const CLI::App* sub : listed_subcommands(app)) {
    Cell name;
    name.append(sub->get_name(), style.literal(sub->get_name()));
    rows.push_back({std::move(name), sub->get_description()});
  }
  if (!rows.empty()) blocks.push_back(render_rows("Commands:", rows, style));

  rows.clear();
  for (const CLI::Option* opt : positionals(app)) {
    Cell cell;
    append_display(cell, *opt, style);
    rows.push_back({std::move(cell), opt->get_description()});
  }
  if (!rows.empty()) blocks.push_back(render_rows("Arguments:", rows, style));

  rows.clear();
  for (const CLI::Option* opt : listed_options(app)) {
    rows.push_back({option_cell(*opt, style), option_help(*opt)});
  }
  if (!rows.empty()) blocks.push_back(render_rows("Options:", rows, style));

  std::string text;
  for (const std::string& block : blocks) {
    if (!text.empty()) text += "\n\n";
    text += block;
  }
  text += '\n';
  return text;
}

std::string render_usage_error(std::string_view message, const CLI::App& app, UsageForm form,
                               const Style& style) {
  std::string text = style.error_label();
  text += ' ';
  text += message;
  text += "\n\n" + style.heading("Usage:") + " " + usage_line(app, form, style);
  text += "\n\nFor more information try '" + style.literal("--help") + "'\n";
  return text;
}

// CLI11's declarations of the whole command line, built from the table:
// the program and its subcommands, each with its options and arguments in
// the order of declaration.
class Declarations {
 public:
  Declarations()
      : program_(std::string(command(CommandId::kProgram).description), std::string(kProgramName)) {
    declare(program_, command(CommandId::kProgram));
    apps_[index(CommandId::kProgram)] = &program_;
    // A subcommand takes over the program's help flag as it is declared.
    for (const CommandDecl& sub : subcommands()) {
      CLI::App* app = program_.add_subcommand(std::string(sub.name), std::string(sub.description));
      declare(*app, sub);
      apps_[index(sub.id)] = app;
    }
  }
  Declarations(const Declarations&) = delete;
  Declarations& operator=(const Declarations&) = delete;

  [[nodiscard]] const CLI::App& app(CommandId id) const { return *apps_[index(id)]; }

 private:
  static std::size_t index(CommandId id) { return static_cast<std::size_t>(id); }

  static void declare(CLI::App& app, const CommandDecl& decl) {
    for (const Arg& arg : decl.args) {
      std::string names(arg.name);
      if (!arg.short_name.empty()) names = std::string(arg.short_name) + "," + names;
      const std::string help(arg.help);
      switch (arg.kind) {
        case ArgKind::kHelp:
          app.set_help_flag(names, help);
          break;
        case ArgKind::kVersion:
          app.set_version_flag(names, std::string(version_text()), help);
          break;
        case ArgKind::kFlag:
          app.add_flag(names, help);
          break;
        case ArgKind::kValue: {
          CLI::Option* opt = app.add_option(names, CLI::callback_t{}, help)
                                 ->type_name(std::string(arg.value_name));
          if (!arg.default_value.empty()) opt->default_str(std::string(arg.default_value));
          if (arg.required) opt->required();
          if (arg.repeatable()) opt->expected(CLI::detail::expected_max_vector_size);
          break;
        }
      }
    }
  }

  CLI::App program_;
  std::array<CLI::App*, kCommands.size()> apps_{};
};

}  // namespace

std::string Style::heading(std::string_view text) const {
  if (!enabled_) return std::string(text);
  std::string styled;
  styled.append(kBold).append(kUnderline).append(text).append(kReset);
  return styled;
}

std::string Style::literal(std::string_view text) const {
  if (!enabled_) return std::string(text);
  std::string styled;
  styled.append(kBold).append(text).append(kReset);
  return styled;
}

std::string Style::error_label() const {
  if (!enabled_) return "error:";
  std::string styled;
  styled.append(kBold).append(kRed).append("error:").append(kReset);
  return styled;
}

std::string argument_display(const Arg& arg, const Style& style) {
  Cell cell;
  append_display(cell,
                 Shown{arg.positional(), arg.required, arg.repeatable(), arg.takes_value(),
                       arg.positional() ? std::string_view() : arg.name, arg.value_name},
                 style);
  return std::move(cell.text);
}

std::string help_text(CommandId command, const Style& style) {
  const Declarations declarations;
  return render_help(declarations.app(command), style);
}

std::string usage_error_text(std::string_view message, CommandId command, UsageForm form,
                             const Style& style) {
  const Declarations declarations;
  return render_usage_error(message, declarations.app(command), form, style);
}

}  // namespace corvane::cli::detail
