#pragma once

// The JSON forms of the router and its retry policy, described once (see
// varnholt/json/record.hpp).

#include "corvane/contracts/json.hpp"
#include "corvane/router/router.hpp"

namespace varnholt::json {

template <>
struct Describe<corvane::router::RetryPolicy> {
  using T = corvane::router::RetryPolicy;
  static constexpr std::string_view expecting = "struct RetryPolicy";
  static constexpr std::tuple members{Member{"max_attempts", &T::max_attempts},
                                      Member{"base_delay_seconds", &T::base_delay_seconds},
                                      Member{"max_delay_seconds", &T::max_delay_seconds}};
};

// Connectors are written in the order of their identifiers, whatever the
// order of installation; a connector given twice keeps the later one.
template <>
struct Describe<corvane::router::Router> {
  using T = corvane::router::Router;
  static constexpr std::string_view expecting = "struct Router";
  static constexpr std::tuple members{Member{"connectors", &T::connectors},
                                      Member{"deliveries", &T::deliveries},
                                      Member{"policy", &T::policy}};
};

}  // namespace varnholt::json
