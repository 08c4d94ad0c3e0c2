#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace varnholt::json {

// Builds a general JSON value (the JSON library's document model) through the
// writer's interface, so that described records (record.hpp) become values
// with exactly the members and value forms they are written with. Objects of
// the model keep their members ordered by key.
class ValueBuilder {
 public:
  // The value is built into `out`, which is replaced.
  explicit ValueBuilder(nlohmann::json& out) : root_(&out) {}

  [[nodiscard]] static constexpr bool sorted() noexcept { return false; }

  void begin_object();
  void end_object() { stack_.pop_back(); }
  void begin_array();
  void end_array() { stack_.pop_back(); }
  void key(std::string_view name) { key_ = name; }
  void plain_key(std::string_view name) { key_ = name; }
  void string(std::string_view text);
  void raw_string(std::string_view text) { string(text); }
  void unsigned_number(std::uint64_t value);
  void signed_number(std::int64_t value);
  void null();

 private:
  // Where the next value goes: the root, the next element of an array, or the
  // member named by the last key of an object.
  nlohmann::json& slot();

  nlohmann::json* root_;
  std::vector<nlohmann::json*> stack_;
  std::string_view key_;
};

}  // namespace varnholt::json
