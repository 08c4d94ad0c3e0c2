#pragma once

#include "corvane/router/router.hpp"
#include "varnholt/json/reader.hpp"
#include "varnholt/json/writer.hpp"

namespace corvane::router {

void write(varnholt::json::Writer& writer, const RetryPolicy& policy);
void write(varnholt::json::Writer& writer, const Router& router);

[[nodiscard]] varnholt::json::Decoded<void> read(varnholt::json::Reader& reader, RetryPolicy& out);
[[nodiscard]] varnholt::json::Decoded<void> read(varnholt::json::Reader& reader, Router& out);

}  // namespace corvane::router
