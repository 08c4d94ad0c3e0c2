#include "help_format.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "varnholt/text/utf8.hpp"

namespace corvane::cli::detail {
namespace {

constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kUnderline = "\x1b[4m";
constexpr std::string_view kRed = "\x1b[31m";
constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kUsageHeading = "Usage:";

// A piece of help text together with its width on screen (escapes excluded).
// Columns are aligned by characters, not bytes, so that a multi-byte
// character in a name does not shift the help texts.
struct Cell {
  std::string text;
  std::size_t width = 0;

  void append(std::string_view plain, const std::string& styled) {
    text += styled;
    width += varnholt::text::char_count(plain);
  }
  void append(std::string_view plain) { append(plain, std::string(plain)); }
};

struct Row {
  Cell left;
  std::string_view help;
  std::string_view default_value;
};

// A heading and its rows, the help texts in one column two spaces after the
// widest left cell. On a terminal of `columns` columns a help text that
// would run past its edge is wrapped at spaces and goes on in its column.
std::string render_rows(std::string_view heading, const std::vector<Row>& rows, const Style& style,
                        std::size_t columns) {
  std::size_t column = 0;
  for (const Row& row : rows) column = std::max(column, row.left.width);
  std::string block = style.heading(heading);
  for (const Row& row : rows) {
    std::string help(row.help);
    if (!row.default_value.empty()) {
      if (!help.empty()) help += ' ';
      help.append("[default: ").append(row.default_value).append("]");
    }
    block += "\n  ";
    block += row.left.text;
    block.append(column - row.left.width + 2, ' ');
    block += wrap(help, 2 + column + 2, columns);
  }
  return block;
}

bool is_builtin(const Arg& arg) {
  return arg.kind == ArgKind::kHelp || arg.kind == ArgKind::kVersion;
}

// Options in the order they were declared, then help and version.
std::vector<const Arg*> listed_options(const CommandDecl& command) {
  std::vector<const Arg*> listed;
  for (const Arg& arg : command.args) {
    if (!arg.positional() && !is_builtin(arg)) listed.push_back(&arg);
  }
  for (const ArgKind kind : {ArgKind::kHelp, ArgKind::kVersion}) {
    for (const Arg& arg : command.args) {
      if (arg.kind == kind) listed.push_back(&arg);
    }
  }
  return listed;
}

void append_display(Cell& cell, const Arg& arg, const Style& style) {
  if (arg.positional()) {
    std::string text = arg.required ? "<" : "[";
    text.append(arg.value_name).append(arg.required ? ">" : "]");
    if (arg.repeatable) text += "...";
    cell.append(text);
    return;
  }
  cell.append(arg.name, style.literal(arg.name));
  if (arg.takes_value()) {
    std::string value = " <";
    value.append(arg.value_name).append(">");
    cell.append(value);
  }
}

Cell option_cell(const Arg& arg, const Style& style) {
  Cell cell;
  if (arg.short_name.empty()) {
    cell.append("    ");
  } else {
    cell.append(arg.short_name, style.literal(arg.short_name));
    cell.append(", ");
  }
  append_display(cell, arg, style);
  return cell;
}

// The command path of a command, e.g. "corvanectl install".
std::string command_path(const CommandDecl& command) {
  std::string path(kProgramName);
  if (command.name != kProgramName) path.append(" ").append(command.name);
  return path;
}

// The usage line without its "Usage: " heading.
std::string usage_line(const CommandDecl& command, bool has_subcommands, UsageForm form,
                       const Style& style, std::size_t columns = 0) {
  // The words of the line, each with its width; on a terminal too narrow for
  // it, later words go on below the first one after the command.
  std::vector<Cell> words;
  const auto add = [&words](const Cell& cell) { words.push_back(cell); };
  Cell path;
  path.append(command_path(command), style.literal(command_path(command)));
  add(path);
  const std::vector<const Arg*> options = listed_options(command);
  const bool has_optional = std::ranges::any_of(
      options, [](const Arg* arg) { return !arg->required && !is_builtin(*arg); });
  Cell word;
  if (form == UsageForm::kFull && has_optional) {
    word.append("[OPTIONS]");
    add(word);
  }
  for (const Arg* arg : options) {
    if (!arg->required) continue;
    word = {};
    append_display(word, *arg, style);
    add(word);
  }
  for (const Arg& arg : command.args) {
    if (arg.positional() && (form == UsageForm::kFull || arg.required)) {
      word = {};
      append_display(word, arg, style);
      add(word);
    }
  }
  if (has_subcommands) {
    word = {};
    word.append("<COMMAND>");
    add(word);
  }
  const std::size_t indent = kUsageHeading.size() + 1 + words.front().width + 1;
  std::string line = words.front().text;
  std::size_t used = indent - 1;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (columns > 0 && used + 1 + words[i].width > columns && used > indent &&
        indent + kNarrowestText <= columns) {
      line += '\n';
      line.append(indent, ' ');
      used = indent;
    } else {
      line += ' ';
      ++used;
    }
    line += words[i].text;
    used += words[i].width;
  }
  return line;
}

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
  append_display(cell, arg, style);
  return std::move(cell.text);
}

std::string wrap(std::string_view text, std::size_t indent, std::size_t columns) {
  if (columns == 0 || indent + varnholt::text::char_count(text) <= columns ||
      indent + kNarrowestText > columns) {
    return std::string(text);
  }
  const std::size_t width = columns - indent;
  std::string out;
  std::size_t used = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    const std::size_t size = varnholt::text::char_count(word);
    if (used > 0 && used + 1 + size > width) {
      out += '\n';
      out.append(indent, ' ');
      used = 0;
    } else if (used > 0) {
      out += ' ';
      ++used;
    }
    out += word;
    used += size;
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

std::string help_text(const CommandDecl& command, std::span<const CommandDecl* const> subcommands,
                      const Style& style, std::size_t columns) {
  std::vector<std::string> blocks;
  if (!command.description.empty()) blocks.emplace_back(command.description);
  blocks.push_back(style.heading(kUsageHeading) + " " +
                   usage_line(command, !subcommands.empty(), UsageForm::kFull, style, columns));

  std::vector<Row> rows;
  for (const CommandDecl* sub : subcommands) {
    Cell name;
    name.append(sub->name, style.literal(sub->name));
    rows.push_back({std::move(name), sub->description, {}});
  }
  if (!rows.empty()) blocks.push_back(render_rows("Commands:", rows, style, columns));

  rows.clear();
  for (const Arg& arg : command.args) {
    if (!arg.positional()) continue;
    Cell cell;
    append_display(cell, arg, style);
    rows.push_back({std::move(cell), arg.help, {}});
  }
  if (!rows.empty()) blocks.push_back(render_rows("Arguments:", rows, style, columns));

  rows.clear();
  for (const Arg* arg : listed_options(command)) {
    rows.push_back({option_cell(*arg, style), arg->help, arg->default_value});
  }
  if (!rows.empty()) blocks.push_back(render_rows("Options:", rows, style, columns));

  std::string text;
  for (const std::string& block : blocks) {
    if (!text.empty()) text += "\n\n";
    text += block;
  }
  text += '\n';
  return text;
}

std::string usage_error_text(std::string_view message, const CommandDecl& command,
                             bool has_subcommands, UsageForm form, const Style& style) {
  std::string text = style.error_label();
  text += ' ';
  text += message;
  text += "\n\n" + style.heading(kUsageHeading) + " " +
          usage_line(command, has_subcommands, form, style);
  text += "\n\nFor more information try '" + style.literal("--help") + "'\n";
  return text;
}

}  // namespace corvane::cli::detail
