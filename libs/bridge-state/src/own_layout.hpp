#pragma once

// The writer's own layout matched for the contracts' identifiers and
// timestamps, which are written in one fixed form each (see
// varnholt/json/own_layout.hpp for the rest).

#include <cstddef>
#include <string_view>

#include "corvane/contracts/json.hpp"
#include "varnholt/json/own_layout.hpp"

namespace varnholt::json::own {

template <typename Tag, std::size_t Depth>
struct Match<varnholt::contracts::Id<Tag>, Depth> {
  static bool run(Cursor& in, varnholt::contracts::Id<Tag>& out) {
    std::string_view text;
    if (!in.quoted(36, text)) return false;
    const auto uuid = varnholt::contracts::Uuid::from_written(text);
    if (!uuid) return false;
    out = varnholt::contracts::Id<Tag>(*uuid);
    return true;
  }
};

template <std::size_t Depth>
struct Match<corvane::contracts::Timestamp, Depth> {
  static bool run(Cursor& in, corvane::contracts::Timestamp& out) {
    std::string_view text;
    if (!in.quoted(20, text)) return false;
    const auto time = corvane::contracts::Timestamp::from_written(text);
    if (!time) return false;
    out = *time;
    return true;
  }
};

}  // namespace varnholt::json::own
