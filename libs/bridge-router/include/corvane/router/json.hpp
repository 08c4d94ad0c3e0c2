#pragma once

#include "corvane/router/router.hpp"
#include "json_text/reader.hpp"
#include "json_text/writer.hpp"

namespace corvane::router {

void write(json_text::Writer& writer, const RetryPolicy& policy);
void write(json_text::Writer& writer, const Router& router);

[[nodiscard]] json_text::Decoded<void> read(json_text::Reader& reader, RetryPolicy& out);
[[nodiscard]] json_text::Decoded<void> read(json_text::Reader& reader, Router& out);

}  // namespace corvane::router
