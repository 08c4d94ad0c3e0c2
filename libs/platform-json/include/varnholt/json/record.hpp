#pragma once

// JSON forms described once per type.
//
// A record lists its members once, in declaration order, with `Describe<T>`:
//
//   template <> struct Describe<Point> {
//     static constexpr std::string_view expecting = "struct Point";
//     static constexpr std::tuple members{Member{"x", &Point::x}, Member{"y", &Point::y}};
//   };
//
// That one list drives every form of the record: written in declaration order
// (the pretty state file, compact output), written with the members in byte
// order of their names (--json output), built as a general JSON value (the
// input of canonical bytes), and read back by the reader's rules. A member can
// therefore never be written without being read, or stored without being part
// of the general value a signature is computed over.
//
// Enumerations written as names describe `names` (in declaration order);
// tagged variants (an object with a tag member naming the alternative) describe
// `tag`, `expecting` and one `Alternative` per std::variant alternative, in
// order. Every other value type has a `Codec<T>` of its own.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "varnholt/json/reader.hpp"

namespace varnholt::json {

enum class Presence : std::uint8_t {
  Required,  // a missing member is an error
  Optional,  // a missing member leaves the value as it is
};

// One member of a record: its JSON name and the data member holding it.
template <typename Record, typename Value>
struct Member {
  using record_type = Record;
  using value_type = Value;
  std::string_view name;
  Value Record::*pointer;
  Presence presence = Presence::Required;
};
template <typename Record, typename Value>
Member(std::string_view, Value Record::*) -> Member<Record, Value>;
template <typename Record, typename Value>
Member(std::string_view, Value Record::*, Presence) -> Member<Record, Value>;

// One alternative of a tagged variant: the tag's value naming it and how
// messages describe its body ("struct variant Enum::Name").
template <typename Body>
struct Alternative {
  using body_type = Body;
  std::string_view tag_value;
  std::string_view expecting;
};

// Specialised for every described type.
template <typename T>
struct Describe;

// The value forms of every type that is not described.
template <typename T>
struct Codec;

template <typename T>
concept RecordType = requires {
  { Describe<T>::expecting } -> std::convertible_to<std::string_view>;
  std::tuple_size<std::remove_cvref_t<decltype(Describe<T>::members)>>::value;
};
template <typename T>
concept AlternativeBody = requires {
  std::tuple_size<std::remove_cvref_t<decltype(Describe<T>::members)>>::value;
};
template <typename T>
concept TaggedType = requires {
  { Describe<T>::tag } -> std::convertible_to<std::string_view>;
  std::tuple_size<std::remove_cvref_t<decltype(Describe<T>::alternatives)>>::value;
};
template <typename T>
concept NamedEnum = std::is_enum_v<T> && requires {
  Describe<T>::names.size();
};

// --- compile-time helpers --------------------------------------------------------

// --- what a description gives other code ------------------------------------------

// How many members a described record has, and their names in declaration
// order.
template <typename T>
inline constexpr std::size_t member_count =
    std::tuple_size_v<std::remove_cvref_t<decltype(Describe<T>::members)>>;

template <typename T>
constexpr std::array<std::string_view, member_count<T>> member_names() {
  return std::apply(
      [](const auto&... m) { return std::array<std::string_view, sizeof...(m)>{m.name...}; },
      Describe<T>::members);
}

// The index of the member called `name` (member_count<T> when there is none).
template <typename T>
constexpr std::size_t member_index(std::string_view name) {
  const auto names = member_names<T>();
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

namespace detail {

template <typename T>
constexpr const auto& members_of() {
  return Describe<T>::members;
}

// The order in which to visit `names` so that they come in byte order.
template <std::size_t N>
constexpr std::array<std::size_t, N> byte_order(const std::array<std::string_view, N>& names) {
  std::array<std::size_t, N> order{};
  for (std::size_t i = 0; i < N; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
  return order;
}

template <typename T>
inline constexpr auto kSortedMembers = byte_order(member_names<T>());

// The tag values of a tagged variant, in the order of its alternatives.
template <typename T>
constexpr auto tag_values() {
  return std::apply(
      [](const auto&... a) { return std::array<std::string_view, sizeof...(a)>{a.tag_value...}; },
      Describe<T>::alternatives);
}

// Calls f(member) for every member of T, in declaration order or in byte
// order of the names.
template <typename T, typename F>
constexpr void for_each_member_in_order(bool sorted, F&& f) {
  const auto& members = members_of<T>();
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    if (sorted) {
      (f(std::get<kSortedMembers<T>[I]>(members)), ...);
    } else {
      (f(std::get<I>(members)), ...);
    }
  }
  (std::make_index_sequence<member_count<T>>{});
}

}  // namespace detail

// Writes `value` to any sink with the writer's interface (Writer, ValueBuilder).
template <typename Sink, typename T>
void write_value(Sink& sink, const T& value) {
  Codec<T>::write(sink, value);
}

// Reads a value of type T at the reader's position.
template <typename T>
[[nodiscard]] Decoded<void> read_value(Reader& reader, T& out) {
  return Codec<T>::read(reader, out);
}

// --- records -----------------------------------------------------------------------

namespace detail {

template <typename T, std::size_t I>
Decoded<void> read_member(Reader& reader, T& out) {
  const auto& member = std::get<I>(members_of<T>());
  return read_value(reader, out.*(member.pointer));
}

}  // namespace detail

// The reader's table of T's members, made from its description: each member's
// name, whether it may be missing, and the function that reads its value.
template <typename T>
constexpr auto field_table() {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<Field<T>, sizeof...(I)>{
        Field<T>{std::get<I>(Describe<T>::members).name, &detail::read_member<T, I>,
                 std::get<I>(Describe<T>::members).presence == Presence::Optional}...};
  }
  (std::make_index_sequence<member_count<T>>{});
}
template <typename T>
inline constexpr auto kFieldTable = field_table<T>();

namespace detail {

// A name written without escaping: letters, digits and "_" only.
constexpr bool is_plain_name(std::string_view name) {
  for (const char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return !name.empty();
}

template <typename T>
constexpr bool has_plain_names() {
  for (const auto name : member_names<T>()) {
    if (!is_plain_name(name)) return false;
  }
  return true;
}

}  // namespace detail

template <RecordType T>
struct Codec<T> {
  static_assert(detail::has_plain_names<T>(), "member names are written without escaping");

  template <typename Sink>
  static void write(Sink& sink, const T& record) {
    sink.begin_object();
    detail::for_each_member_in_order<T>(sink.sorted(), [&](const auto& member) {
      sink.plain_key(member.name);
      write_value(sink, record.*(member.pointer));
    });
    sink.end_object();
  }
  static Decoded<void> read(Reader& reader, T& out) {
    return read_record(reader, out, Describe<T>::expecting, kFieldTable<T>);
  }
};

// --- tagged variants ------------------------------------------------------------------

namespace detail {

template <typename Body, std::size_t I>
Decoded<void> read_body_member(const Content& content, Body& out) {
  const auto& member = std::get<I>(members_of<Body>());
  using Value = typename std::remove_cvref_t<decltype(member)>::value_type;
  return Codec<Value>::read_content(content, out.*(member.pointer));
}

template <typename Body>
constexpr auto content_field_table() {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<ContentField<Body>, sizeof...(I)>{
        ContentField<Body>{std::get<I>(members_of<Body>()).name, &read_body_member<Body, I>}...};
  }
  (std::make_index_sequence<member_count<Body>>{});
}
template <typename Body>
inline constexpr auto kContentFieldTable = content_field_table<Body>();

// The tag member followed by the body's members, in the sink's order.
template <typename Body, typename Sink>
void write_tagged_members(Sink& sink, std::string_view tag, std::string_view tag_value,
                          const Body& body) {
  static_assert(has_plain_names<Body>(), "member names are written without escaping");
  static constexpr std::size_t n = member_count<Body>;
  const auto write_one = [&](std::size_t index) {
    if (index == 0) {
      sink.plain_key(tag);
      sink.string(tag_value);
      return;
    }
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((I + 1 == index ? (sink.plain_key(std::get<I>(members_of<Body>()).name),
                          write_value(sink, body.*(std::get<I>(members_of<Body>()).pointer)), 0)
                       : 0),
       ...);
    }
    (std::make_index_sequence<n>{});
  };
  if (sink.sorted()) {
    // The tag's name is the same for every alternative, so the order is
    // computed per call; bodies have at most a few members.
    std::array<std::string_view, n + 1> names{};
    names[0] = tag;
    const auto body_names = member_names<Body>();
    for (std::size_t i = 0; i < n; ++i) names[i + 1] = body_names[i];
    for (const std::size_t index : byte_order(names)) write_one(index);
  } else {
    for (std::size_t index = 0; index <= n; ++index) write_one(index);
  }
}

}  // namespace detail

template <TaggedType T>
struct Codec<T> {
  static_assert(detail::is_plain_name(Describe<T>::tag), "the tag is written without escaping");
  static constexpr auto kTagValues = detail::tag_values<T>();
  static_assert(kTagValues.size() == std::variant_size_v<T>,
                "a tagged variant describes one alternative per type it holds");

  template <typename Sink>
  static void write(Sink& sink, const T& value) {
    sink.begin_object();
    std::visit(
        [&](const auto& body) {
          detail::write_tagged_members(sink, Describe<T>::tag, kTagValues[value.index()], body);
        },
        value);
    sink.end_object();
  }

  static Decoded<void> read(Reader& reader, T& out) {
    auto tagged = read_tagged(reader, Describe<T>::tag, Describe<T>::expecting, kTagValues);
    if (!tagged) return std::unexpected(std::move(tagged.error()));
    Decoded<void> result;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((tagged->variant == I ? (result = read_alternative<I>(*tagged, out), 0) : 0), ...);
    }
    (std::make_index_sequence<std::variant_size_v<T>>{});
    return result;
  }

 private:
  template <std::size_t I>
  static Decoded<void> read_alternative(const Tagged& tagged, T& out) {
    const auto& alternative = std::get<I>(Describe<T>::alternatives);
    using Body = typename std::remove_cvref_t<decltype(alternative)>::body_type;
    static_assert(std::is_same_v<Body, std::variant_alternative_t<I, T>>,
                  "alternatives are described in the order of the variant's types");
    Body body{};
    if (auto read = read_variant_body(tagged, body, alternative.expecting,
                                      detail::kContentFieldTable<Body>);
        !read) {
      return read;
    }
    out = std::move(body);
    return {};
  }
};

// --- enumerations written as names --------------------------------------------------------

template <NamedEnum E>
[[nodiscard]] constexpr std::string_view name_of(E value) {
  return Describe<E>::names[static_cast<std::size_t>(value)];
}

template <NamedEnum E>
struct Codec<E> {
  template <typename Sink>
  static void write(Sink& sink, E value) {
    sink.string(name_of(value));
  }
  static Decoded<void> read(Reader& reader, E& out) {
    auto index = read_plain_enum(reader, Describe<E>::names);
    if (!index) return std::unexpected(std::move(index.error()));
    out = static_cast<E>(*index);
    return {};
  }
  static Decoded<void> read_content(const Content& content, E& out) {
    auto index = content_to_plain_enum(content, Describe<E>::names);
    if (!index) return std::unexpected(std::move(index.error()));
    out = static_cast<E>(*index);
    return {};
  }
};

// --- plain values ---------------------------------------------------------------------------

template <>
struct Codec<std::string> {
  template <typename Sink>
  static void write(Sink& sink, const std::string& text) {
    sink.string(text);
  }
  static Decoded<void> read(Reader& reader, std::string& out) {
    auto text = read_string(reader);
    if (!text) return std::unexpected(std::move(text.error()));
    out = std::move(*text);
    return {};
  }
  static Decoded<void> read_content(const Content& content, std::string& out) {
    auto text = content_to_string(content);
    if (!text) return std::unexpected(std::move(text.error()));
    out = std::move(*text);
    return {};
  }
};

// Null while there is none.
template <>
struct Codec<std::optional<std::string>> {
  template <typename Sink>
  static void write(Sink& sink, const std::optional<std::string>& text) {
    if (text) {
      sink.string(*text);
    } else {
      sink.null();
    }
  }
  static Decoded<void> read(Reader& reader, std::optional<std::string>& out) {
    auto text = read_optional_string(reader);
    if (!text) return std::unexpected(std::move(text.error()));
    out = std::move(*text);
    return {};
  }
};

namespace detail {
template <typename T>
constexpr std::string_view unsigned_name() {
  if constexpr (sizeof(T) == 1) return "u8";
  if constexpr (sizeof(T) == 2) return "u16";
  if constexpr (sizeof(T) == 4) return "u32";
  if constexpr (sizeof(T) == 8) return "u64";
}
}  // namespace detail

// Unsigned integers, named "u8" to "u64" in messages.
template <typename T>
requires(std::is_unsigned_v<T> && !std::is_same_v<T, bool>) struct Codec<T> {
  static constexpr std::string_view kName = detail::unsigned_name<T>();
  template <typename Sink>
  static void write(Sink& sink, T value) {
    sink.unsigned_number(value);
  }
  static Decoded<void> read(Reader& reader, T& out) {
    auto value = read_unsigned(reader, std::numeric_limits<T>::max(), kName);
    if (!value) return std::unexpected(std::move(value.error()));
    out = static_cast<T>(*value);
    return {};
  }
  static Decoded<void> read_content(const Content& content, T& out) {
    auto value = content_to_unsigned(content, std::numeric_limits<T>::max(), kName);
    if (!value) return std::unexpected(std::move(value.error()));
    out = static_cast<T>(*value);
    return {};
  }
};

template <>
struct Codec<std::int64_t> {
  template <typename Sink>
  static void write(Sink& sink, std::int64_t value) {
    sink.signed_number(value);
  }
  static Decoded<void> read(Reader& reader, std::int64_t& out) {
    auto value = read_signed(reader, "i64");
    if (!value) return std::unexpected(std::move(value.error()));
    out = *value;
    return {};
  }
};

// A fixed number of elements: fewer is an invalid length, more are trailing
// characters. Messages describe it as "an array of length N".
template <typename T, std::size_t N>
struct Codec<std::array<T, N>> {
  template <typename Sink>
  static void write(Sink& sink, const std::array<T, N>& values) {
    sink.begin_array();
    for (const auto& value : values) write_value(sink, value);
    sink.end_array();
  }
  static Decoded<void> read(Reader& reader, std::array<T, N>& out) {
    const std::string expected = "an array of length " + std::to_string(N);
    return read_container(reader, expected, Brackets::Array, [&](bool) -> Decoded<void> {
      bool first = true;
      for (std::size_t i = 0; i < N; ++i) {
        auto more = reader.has_next_element(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return fail(invalid_length(i, expected));
        if (auto read = read_value(reader, out[i]); !read) return read;
      }
      return {};
    });
  }
};

// A list, in its order.
template <typename T>
struct Codec<std::vector<T>> {
  template <typename Sink>
  static void write(Sink& sink, const std::vector<T>& values) {
    sink.begin_array();
    if constexpr (requires { sink.at_elements_of(&values); }) sink.at_elements_of(&values);
    for (const auto& value : values) write_value(sink, value);
    sink.end_array();
  }
  static Decoded<void> read(Reader& reader, std::vector<T>& out) {
    out.clear();
    return read_container(reader, "a sequence", Brackets::Array, [&](bool) {
      return for_each_element(reader, [&](Reader& r) { return read_value(r, out.emplace_back()); });
    });
  }
};

// A set, written in its order; repeated elements are dropped on reading.
template <typename T>
struct Codec<std::set<T>> {
  template <typename Sink>
  static void write(Sink& sink, const std::set<T>& values) {
    sink.begin_array();
    for (const auto& value : values) write_value(sink, value);
    sink.end_array();
  }
  static Decoded<void> read(Reader& reader, std::set<T>& out) {
    out.clear();
    return read_container(reader, "a sequence", Brackets::Array, [&](bool) {
      return for_each_element(reader, [&](Reader& r) -> Decoded<void> {
        T element{};
        if (auto read = read_value(r, element); !read) return read;
        out.insert(std::move(element));
        return {};
      });
    });
  }
};

// A map whose keys are written as member names: `Codec<Key>` gives
// `append_key(std::string&, const Key&)` and `parse_key(std::string_view)`.
// A key given twice keeps the later value.
template <typename Key, typename Value>
struct Codec<std::map<Key, Value>> {
  template <typename Sink>
  static void write(Sink& sink, const std::map<Key, Value>& values) {
    sink.begin_object();
    std::string name;
    for (const auto& [key, value] : values) {
      name.clear();
      Codec<Key>::append_key(name, key);
      sink.key(name);
      write_value(sink, value);
    }
    sink.end_object();
  }
  static Decoded<void> read(Reader& reader, std::map<Key, Value>& out) {
    out.clear();
    return read_container(reader, "a map", Brackets::Object, [&](bool) {
      return for_each_member(reader, [&](Reader& r, std::string_view name) -> Decoded<void> {
        auto key = Codec<Key>::parse_key(name);
        if (!key) return std::unexpected(std::move(key.error()));
        if (auto colon = r.parse_object_colon(); !colon) return colon;
        Value value{};
        if (auto read = read_value(r, value); !read) return read;
        out.insert_or_assign(std::move(*key), std::move(value));
        return {};
      });
    });
  }
};

}  // namespace varnholt::json
