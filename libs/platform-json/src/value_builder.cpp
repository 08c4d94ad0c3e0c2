#include "varnholt/json/value_builder.hpp"

#include <string>

#include <nlohmann/json.hpp>

namespace varnholt::json {

nlohmann::json& ValueBuilder::slot() {
  if (stack_.empty()) return *root_;
  nlohmann::json& container = *stack_.back();
  if (container.is_array()) return container.emplace_back();
  return container[std::string(key_)];
}

void ValueBuilder::begin_object() {
  nlohmann::json& value = slot();
  value = nlohmann::json::object();
  stack_.push_back(&value);
}

void ValueBuilder::begin_array() {
  nlohmann::json& value = slot();
  value = nlohmann::json::array();
  stack_.push_back(&value);
}

void ValueBuilder::string(std::string_view text) {
  slot() = std::string(text);
}

void ValueBuilder::unsigned_number(std::uint64_t value) {
  slot() = value;
}

void ValueBuilder::signed_number(std::int64_t value) {
  slot() = value;
}

void ValueBuilder::null() {
  slot() = nullptr;
}

}  // namespace varnholt::json
