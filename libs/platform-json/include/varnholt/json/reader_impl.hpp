#pragma once

// Template parts of reader.hpp; include that header, not this one.

#include <bitset>
#include <string>

#include <fmt/format.h>

namespace varnholt::json {

template <typename Convert>
auto read_string_as(Reader& reader, std::string_view expected, Convert&& convert)
    -> decltype(convert(std::string_view{})) {
  const auto peek = reader.parse_whitespace();
  if (!peek) return std::unexpected(reader.peek_error("EOF while parsing a value"));
  if (*peek != '"') return std::unexpected(reader.fix(reader.peek_invalid_type(expected)));
  reader.eat();
  auto text = reader.parse_str();
  if (!text) return std::unexpected(std::move(text.error()));
  auto converted = convert(*text);
  if (!converted) return std::unexpected(reader.fix(std::move(converted.error())));
  return converted;
}

template <typename Body>
Decoded<void> read_container(Reader& reader, std::string_view expected, Brackets brackets,
                             Body&& body) {
  const auto peek = reader.parse_whitespace();
  if (!peek) return std::unexpected(reader.peek_error("EOF while parsing a value"));
  const bool is_object = *peek == '{';
  const bool accepted =
      is_object ? brackets != Brackets::Array : *peek == '[' && brackets != Brackets::Object;
  if (!accepted) return std::unexpected(reader.fix(reader.peek_invalid_type(expected)));
  if (auto entered = reader.enter(); !entered) return entered;
  reader.eat();
  Decoded<void> read = body(is_object);
  reader.leave();
  // The closing bracket is consumed even after a fault, so that the fault's
  // position is right after it.
  auto closed = is_object ? reader.end_map() : reader.end_seq();
  if (!read) return std::unexpected(reader.fix(std::move(read.error())));
  if (!closed) return std::unexpected(std::move(closed.error()));
  return {};
}

template <typename Element>
Decoded<void> for_each_element(Reader& reader, Element&& element) {
  bool first = true;
  for (;;) {
    auto more = reader.has_next_element(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
    if (Decoded<void> read = element(reader); !read) return read;
  }
}

template <typename Member>
Decoded<void> for_each_member(Reader& reader, Member&& member) {
  bool first = true;
  for (;;) {
    auto more = reader.has_next_key(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
    auto key = reader.parse_key();
    if (!key) return std::unexpected(std::move(key.error()));
    if (Decoded<void> read = member(reader, *key); !read) return read;
  }
}

namespace detail {

template <typename T, std::size_t N, typename ReadMember>
Decoded<void> read_record_members(Reader& reader, T& out, const std::array<Field<T>, N>& fields,
                                  ReadMember& read_member) {
  std::bitset<N> seen;
  bool first = true;
  for (;;) {
    auto more = reader.has_next_key(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) break;
    auto key = reader.parse_key();
    if (!key) return std::unexpected(std::move(key.error()));
    std::size_t index = N;
    for (std::size_t i = 0; i < N; ++i) {
      if (fields[i].name == *key) {
        index = i;
        break;
      }
    }
    if (index == N) {
      if (auto colon = reader.parse_object_colon(); !colon) return colon;
      if (auto skipped = reader.ignore_value(); !skipped) return skipped;
      continue;
    }
    if (seen[index]) return fail(duplicate_field(fields[index].name));
    seen[index] = true;
    if (auto colon = reader.parse_object_colon(); !colon) return colon;
    if (Decoded<void> value = read_member(index, reader, out); !value) return value;
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!seen[i] && !fields[i].optional) return fail(missing_field(fields[i].name));
  }
  return {};
}

template <typename T, std::size_t N, typename ReadMember>
Decoded<void> read_record_elements(Reader& reader, T& out, std::string_view expecting,
                                   ReadMember& read_member) {
  bool first = true;
  for (std::size_t i = 0; i < N; ++i) {
    auto more = reader.has_next_element(first);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) {
      return fail(
          invalid_length(i, fmt::format("{} with {} element{}", expecting, N, N == 1 ? "" : "s")));
    }
    if (Decoded<void> value = read_member(i, reader, out); !value) return value;
  }
  return {};
}

}  // namespace detail

template <typename T, std::size_t N, typename ReadMember>
Decoded<void> read_record(Reader& reader, T& out, std::string_view expecting,
                          const std::array<Field<T>, N>& fields, ReadMember&& read_member) {
  return read_container(reader, expecting, Brackets::Either, [&](bool is_object) {
    return is_object ? detail::read_record_members(reader, out, fields, read_member)
                     : detail::read_record_elements<T, N>(reader, out, expecting, read_member);
  });
}

template <typename T, std::size_t N>
Decoded<void> read_record(Reader& reader, T& out, std::string_view expecting,
                          const std::array<Field<T>, N>& fields) {
  return read_record(reader, out, expecting, fields,
                     [&](std::size_t index, Reader& r, T& o) { return fields[index].read(r, o); });
}

template <typename T, std::size_t N>
Decoded<void> read_variant_body(const Tagged& tagged, T& out, std::string_view expecting,
                                const std::array<ContentField<T>, N>& fields) {
  if (tagged.is_seq) {
    for (std::size_t i = 0; i < N; ++i) {
      if (i >= tagged.seq.size()) {
        return fail(invalid_length(
            i, fmt::format("{} with {} element{}", expecting, N, N == 1 ? "" : "s")));
      }
      if (auto value = fields[i].read(tagged.seq[i], out); !value) return value;
    }
    if (tagged.seq.size() > N) {
      return fail(invalid_length(tagged.seq.size(),
                                 fmt::format("{} element{} in sequence", N, N == 1 ? "" : "s")));
    }
    return {};
  }
  std::bitset<N> seen;
  for (const auto& [key, value] : tagged.map) {
    for (std::size_t i = 0; i < N; ++i) {
      if (fields[i].name != key) continue;
      if (seen[i]) return fail(duplicate_field(fields[i].name));
      seen[i] = true;
      if (auto read = fields[i].read(value, out); !read) return read;
      break;
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!seen[i]) return fail(missing_field(fields[i].name));
  }
  return {};
}

}  // namespace varnholt::json
