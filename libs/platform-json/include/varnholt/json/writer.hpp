#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnholt::json {

// Streams JSON text into a string in one of two layouts:
// - pretty: each member or element on its own line, two spaces of indentation
//   per level, ": " after keys, "{}" and "[]" for empty containers, no line
//   feed after the last closing bracket;
// - compact: no whitespace at all.
// Members are written in the order the caller gives them; described records
// (record.hpp) ask `sorted()` whether to give them in byte order of their names.
class Writer {
 public:
  // Spaces of indentation per level in the pretty layout.
  static constexpr std::size_t kIndent = 2;

  enum class Layout : std::uint8_t { Pretty, Compact };
  enum class Order : std::uint8_t { Declared, Sorted };

  // `depth` is the indentation level the first value starts at: its members
  // stand one level deeper.
  Writer(std::string& out, Layout layout, Order order = Order::Declared, std::size_t depth = 0)
      : out_(out),
        pretty_(layout == Layout::Pretty),
        sorted_(order == Order::Sorted),
        depth_(depth) {}

  [[nodiscard]] bool sorted() const noexcept { return sorted_; }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // The key of the next object member.
  void key(std::string_view name);
  // The same for a name known to need no escaping (the described members').
  void plain_key(std::string_view name);

  void string(std::string_view text);
  void unsigned_number(std::uint64_t value);
  void signed_number(std::int64_t value);
  void null();
  // A value already written as JSON text by the caller (e.g. a timestamp).
  void raw_string(std::string_view text_without_quotes);

  // Leaves a hole for the elements of the array `value` (which is empty when
  // written): the text is written whole, and `hole()` then says where the
  // elements go, so that a caller can put them in without holding them all.
  void leave_hole_at(const void* value) noexcept { hole_value_ = value; }
  struct Hole {
    std::size_t offset = 0;  // just after the array's "["
    std::size_t depth = 0;   // the indentation level of its elements
  };
  [[nodiscard]] std::optional<Hole> hole() const noexcept { return hole_; }
  // Called by arrays just after their "[".
  void at_elements_of(const void* value) noexcept {
    if (value == hole_value_) hole_ = Hole{out_.size(), depth_ + open_};
  }

 private:
  void open(char bracket);
  void close(char bracket);
  void before_value();
  bool next_member();
  void newline_and_indent();

  // Records nest a few levels deep; the writer keeps one bit per open
  // container (whether it has members yet) and allocates nothing itself.
  static constexpr std::size_t kMaxOpen = 64;

  std::string& out_;
  bool pretty_;
  bool sorted_;
  std::size_t depth_;
  std::uint64_t has_members_ = 0;  // bit i: the container opened i-th has members
  std::size_t open_ = 0;           // containers open
  bool after_key_ = false;
  const void* hole_value_ = nullptr;
  std::optional<Hole> hole_;
};

// What the pretty layout puts around the elements of an array whose elements
// stand at indentation level `depth`: before the first, before each later one,
// and after the last (before the "]").
struct ElementBreaks {
  std::string first;
  std::string next;
  std::string last;
};
[[nodiscard]] ElementBreaks pretty_element_breaks(std::size_t depth);

// A line feed and the pretty layout's indentation of level `depth`.
[[nodiscard]] std::string pretty_line(std::size_t depth);

}  // namespace varnholt::json
