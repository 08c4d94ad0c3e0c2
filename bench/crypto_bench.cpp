// Costs of the signing library on the paths every routed event takes: the
// canonical bytes of a connector manifest and the verification of its
// signature.
#include <benchmark/benchmark.h>

#include <string>

#include <nlohmann/json.hpp>

#include "varnholt/crypto/canonical.hpp"
#include "varnholt/crypto/sign.hpp"

namespace {

using nlohmann::json;
using varnholt::crypto::canonical_bytes;

// A connector manifest as the state file holds it: nine members, the kind as
// an object of three texts, two small sets, all ASCII.
json typical_manifest() {
  json manifest = json::object();
  manifest["contract_version"] = 1;
  manifest["connector_id"] = "5f0c3a8e-9b1d-4e27-a6c4-2d8f71b3e905";
  manifest["tenant_id"] = "c2a9e4d1-7f36-4b08-9e15-6a3d2c8b4f70";
  manifest["workspace_id"] = "0e7b5d92-3c41-4a86-b2f9-81d6e4a7c153";
  manifest["name"] = "billing-events";
  manifest["kind"] = {{"connector", "signed_webhook_outbound"},
                      {"endpoint_reference", "cfg://webhooks/billing/endpoint"},
                      {"signing_secret", "vault://tenants/billing/webhook-signing"}};
  manifest["allowed_classes"] = json::array({"operational_metadata", "security_metadata"});
  manifest["allowed_event_types"] = json::array({"invoice.paid", "user.created"});
  manifest["version"] = 3;
  return manifest;
}

void BM_CanonicalBytesManifest(benchmark::State& state) {
  const json manifest = typical_manifest();
  for (auto _ : state) {
    auto bytes = canonical_bytes(manifest);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_CanonicalBytesManifest);

// The two-step form (a canonical copy, then its bytes), for comparison with
// the single pass that canonical_bytes takes.
void BM_CanonicalizeThenWriteManifest(benchmark::State& state) {
  const json manifest = typical_manifest();
  for (auto _ : state) {
    varnholt::crypto::Path path;
    auto canonical = varnholt::crypto::canonicalize(manifest, path);
    std::string out;
    varnholt::crypto::write_value(*canonical, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_CanonicalizeThenWriteManifest);

void BM_NormalizeTextAscii(benchmark::State& state) {
  const std::string text = "Quarterly billing export for tenant 42.";  // 39 bytes
  for (auto _ : state) {
    auto normal = varnholt::crypto::normalize_text(text);
    benchmark::DoNotOptimize(normal);
  }
}
BENCHMARK(BM_NormalizeTextAscii);

void BM_NormalizeTextNonAscii(benchmark::State& state) {
  // "Café" and "Zürich" decomposed, "Señor" precomposed: 41 bytes.
  const std::string text = "Cafe\xCC\x81 Zu\xCC\x88rich, Se\xC3\xB1or export 2024";
  for (auto _ : state) {
    auto normal = varnholt::crypto::normalize_text(text);
    benchmark::DoNotOptimize(normal);
  }
}
BENCHMARK(BM_NormalizeTextNonAscii);

void BM_VerifyBytes300(benchmark::State& state) {
  const auto key = varnholt::crypto::SigningKey::from_bytes({1, 2, 3, 4, 5, 6, 7, 8});
  const std::string message(300, 'm');
  const auto signature = key.sign(message);
  for (auto _ : state) {
    auto verdict = key.verifying_key().verify_bytes(message, signature);
    benchmark::DoNotOptimize(verdict);
  }
}
BENCHMARK(BM_VerifyBytes300);

}  // namespace
