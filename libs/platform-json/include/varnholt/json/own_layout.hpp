#pragma once

// Recognising the writer's own pretty layout, fast.
//
// Almost every record in a file this program wrote is exactly as the pretty
// writer wrote it. Such a record is matched here against the bytes the writer would
// produce, piece by piece from the records' descriptions, and decoded on the
// way, much faster than the general reader can. Anything else (other spacing,
// another member order, escapes the writer would not use, a timestamp with an
// offset) is simply not matched, and the general reader reads it with all its
// checks and messages. A match is therefore never an error: it proves that the
// bytes are valid, and that writing the decoded delivery again gives the very
// same bytes, which is what lets a save copy them unchanged.
//
// The pieces matched come from the writer: its indentation, its separators
// and its escapes (escape.hpp). Types of other libraries add a
// `Match<T, Depth>` of their own.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "varnholt/json/escape.hpp"
#include "varnholt/json/record.hpp"
#include "varnholt/json/writer.hpp"
#include "varnholt/text/hex.hpp"
#include "varnholt/text/utf8.hpp"

namespace varnholt::json::own {

// A fixed piece of the layout, with the line feeds it holds.
struct Piece {
  std::string text;
  std::uint32_t feeds = 0;
  std::size_t after_last_feed = 0;  // bytes after its last line feed

  explicit Piece(std::string piece) : text(std::move(piece)) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n') {
        ++feeds;
        after_last_feed = text.size() - i - 1;
      }
    }
  }
};

// Where matching stands in the bytes it was given.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes)
      : start_(bytes.data()), p_(start_), end_(start_ + bytes.size()), last_feed_end_(start_) {}

  // Consumes `piece` if the bytes go on with it.
  bool literal(const Piece& piece) {
    if (static_cast<std::size_t>(end_ - p_) < piece.text.size()) return short_of_bytes();
    if (std::memcmp(p_, piece.text.data(), piece.text.size()) != 0) return false;
    p_ += piece.text.size();
    if (piece.feeds > 0) {
      feeds_ += piece.feeds;
      last_feed_end_ = p_ - piece.after_last_feed;
    }
    return true;
  }
  // The text between the quotes of a string, unescaped by the rules the
  // writer escapes with; false for any other escape or a raw control byte.
  bool string(std::string& out);
  // `n` bytes between quotes, as they are.
  bool quoted(std::size_t n, std::string_view& out) {
    if (static_cast<std::size_t>(end_ - p_) < n + 2) return short_of_bytes();
    if (p_[0] != '"' || p_[n + 1] != '"') return false;
    out = std::string_view(p_ + 1, n);
    p_ += n + 2;
    return true;
  }
  // A whole number as the writer writes it: no sign, no leading zero.
  bool number(std::uint64_t max, std::uint64_t& out) {
    const char* p = p_;
    std::uint64_t value = 0;
    while (p < end_ && *p >= '0' && *p <= '9') {
      const auto digit = static_cast<std::uint64_t>(*p - '0');
      if (value > (max - digit) / 10) return false;
      value = value * 10 + digit;
      ++p;
    }
    if (p == end_) return short_of_bytes();
    if (p == p_ || (*p_ == '0' && p - p_ > 1)) return false;
    p_ = p;
    out = value;
    return true;
  }

  // Notes that the bytes ended before a match could be decided.
  bool short_of_bytes() {
    short_ = true;
    return false;
  }
  [[nodiscard]] bool ran_short() const noexcept { return short_; }
  [[nodiscard]] std::size_t consumed() const noexcept {
    return static_cast<std::size_t>(p_ - start_);
  }
  [[nodiscard]] std::uint32_t feeds() const noexcept { return feeds_; }
  [[nodiscard]] std::size_t after_last_feed() const noexcept {
    return static_cast<std::size_t>(p_ - last_feed_end_);
  }

 private:
  const char* start_;
  const char* p_;
  const char* end_;
  const char* last_feed_end_;
  std::uint32_t feeds_ = 0;
  bool short_ = false;
};

inline bool Cursor::string(std::string& out) {
  if (p_ == end_) return short_of_bytes();
  if (*p_ != '"') return false;
  const char* p = p_ + 1;
  out.clear();
  const char* run = p;
  for (;;) {
    while (p < end_ && static_cast<unsigned char>(*p) >= 0x20 && *p != '"' && *p != '\\') ++p;
    if (p == end_) return short_of_bytes();
    if (*p == '"') break;
    if (*p != '\\') return false;  // a raw control byte: an error the reader reports
    out.append(run, p);
    if (end_ - p < 2) return short_of_bytes();
    // The byte this escape stands for, if the writer writes it so.
    int decoded = -1;
    if (p[1] == 'u') {
      if (end_ - p < 6) return short_of_bytes();
      const int high = varnholt::text::hex_value(p[4]);
      const int low = varnholt::text::hex_value(p[5]);
      if (p[2] == '0' && p[3] == '0' && high >= 0 && low >= 0) decoded = high * 16 + low;
    } else {
      for (std::size_t byte = 0; byte < detail::EscapeTable::kSize && decoded < 0; ++byte) {
        const auto escape = written_escape(static_cast<std::uint8_t>(byte));
        if (escape.size() == 2 && escape[1] == p[1]) decoded = static_cast<int>(byte);
      }
    }
    if (decoded < 0) return false;
    const auto escape = written_escape(static_cast<std::uint8_t>(decoded));
    if (escape.empty() || static_cast<std::size_t>(end_ - p) < escape.size() ||
        std::string_view(p, escape.size()) != escape) {
      return false;
    }
    out.push_back(static_cast<char>(decoded));
    p += escape.size();
    run = p;
  }
  out.append(run, p);
  if (!varnholt::text::is_valid_utf8(out)) return false;
  p_ = p + 1;
  return true;
}

// "\n", the indentation of level `depth`, and `rest`.
inline std::string on_new_line(std::size_t depth, std::string_view rest) {
  std::string text = pretty_line(depth);
  text.append(rest);
  return text;
}

// The pieces of a record written at indentation level `Depth`: before each
// member, "{" or "," then a line feed, the indentation, the quoted name and
// ": "; after the last, a line feed, the record's own indentation and "}".
// A tagged variant's body comes after its tag member, so each of its members
// starts with ",".
template <typename T, std::size_t Depth, bool AfterTag>
struct Pieces {
  static constexpr std::size_t kCount = member_count<T>;
  std::vector<Piece> before;
  Piece after{on_new_line(Depth, "}")};
  Pieces() {
    const auto names = member_names<T>();
    for (std::size_t i = 0; i < kCount; ++i) {
      std::string text(i == 0 && !AfterTag ? "{" : ",");
      std::string member = "\"";
      member.append(names[i]);
      member.append("\": ");
      text.append(on_new_line(Depth + 1, member));
      before.emplace_back(std::move(text));
    }
  }
  static const Pieces& get() {
    static const Pieces pieces;
    return pieces;
  }
};

// Matches a value of type T written at indentation level `Depth`.
template <typename T, std::size_t Depth>
struct Match;

template <typename T, std::size_t Depth>
bool match(Cursor& in, T& out) {
  return Match<T, Depth>::run(in, out);
}

// Every member of T, in order, then its closing brace.
template <typename T, std::size_t Depth, bool AfterTag>
bool match_members(Cursor& in, T& out) {
  const auto& pieces = Pieces<T, Depth, AfterTag>::get();
  const auto& members = Describe<T>::members;
  bool ok = true;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((ok = ok && in.literal(pieces.before[I]) &&
           match<typename std::remove_cvref_t<decltype(std::get<I>(members))>::value_type,
                 Depth + 1>(in, out.*(std::get<I>(members).pointer))),
     ...);
  }
  (std::make_index_sequence<Pieces<T, Depth, AfterTag>::kCount>{});
  return ok && in.literal(pieces.after);
}

template <RecordType T, std::size_t Depth>
struct Match<T, Depth> {
  static bool run(Cursor& in, T& out) { return match_members<T, Depth, false>(in, out); }
};

// The tag member first, then the members of the alternative it names.
template <TaggedType T, std::size_t Depth>
struct Match<T, Depth> {
  static bool run(Cursor& in, T& out) {
    static const Piece head = [] {
      std::string member = "\"";
      member.append(Describe<T>::tag);
      member.append("\": ");
      std::string text = "{";
      text.append(on_new_line(Depth + 1, member));
      return Piece(std::move(text));
    }();
    if (!in.literal(head)) return false;
    const auto& tags = Codec<T>::kTagValues;
    bool ok = false;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (void)((try_alternative<I>(in, out, tags[I], ok) || ...));
    }
    (std::make_index_sequence<std::variant_size_v<T>>{});
    return ok;
  }

 private:
  // True when the tag names alternative I (whether its body then matches or
  // not: `ok` says that).
  template <std::size_t I>
  static bool try_alternative(Cursor& in, T& out, std::string_view tag, bool& ok) {
    Cursor probe = in;
    std::string_view text;
    if (!probe.quoted(tag.size(), text) || text != tag) {
      if (probe.ran_short()) {
        (void)in.short_of_bytes();
        return true;
      }
      return false;
    }
    in = probe;
    using Body = std::variant_alternative_t<I, T>;
    if (!std::holds_alternative<Body>(out)) out.template emplace<Body>();
    ok = match_members<Body, Depth, true>(in, std::get<Body>(out));
    return true;
  }
};

template <std::size_t Depth>
struct Match<std::string, Depth> {
  static bool run(Cursor& in, std::string& out) { return in.string(out); }
};

template <typename T, std::size_t Depth>
requires(std::is_unsigned_v<T> && !std::is_same_v<T, bool>) struct Match<T, Depth> {
  static bool run(Cursor& in, T& out) {
    std::uint64_t value = 0;
    if (!in.number(std::numeric_limits<T>::max(), value)) return false;
    out = static_cast<T>(value);
    return true;
  }
};

template <NamedEnum E, std::size_t Depth>
struct Match<E, Depth> {
  static bool run(Cursor& in, E& out) {
    const auto& names = Describe<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i) {
      Cursor probe = in;
      std::string_view text;
      if (probe.quoted(names[i].size(), text) && text == names[i]) {
        in = probe;
        out = static_cast<E>(i);
        return true;
      }
      if (probe.ran_short()) return in.short_of_bytes();
    }
    return false;
  }
};

}  // namespace varnholt::json::own
