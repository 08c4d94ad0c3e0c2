// The parts a `route` run on a large state file is made of, each measured on
// its own: decoding the file's bytes, encoding the state again, the canonical
// bytes of every manifest, the signature checks, the routing itself and the
// crash-safe save. bench/run adds them up and sets them against the whole
// process.
//
// The state file is named by CORVANE_BENCH_STATE (bench/run writes one with
// `gen_state 1000 200000`).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "corvane/contracts/event.hpp"
#include "corvane/contracts/json.hpp"
#include "corvane/router/router.hpp"
#include "corvane/state/codec.hpp"
#include "corvane/state/store.hpp"
#include "varnholt/crypto/canonical.hpp"
#include "varnholt/crypto/sign.hpp"

namespace {

using corvane::state::CliState;

// Everything the benchmarks share, read once.
struct Loaded {
  std::filesystem::path path;
  std::string bytes;
  CliState state;
  // The decoder's own capacity for the delivery log: a route in the real
  // process appends to a vector grown by the decoder, not to an exact copy.
  std::size_t delivery_capacity = 0;
  varnholt::crypto::VerifyingKey key{varnholt::crypto::VerifyingKey::Bytes{}};
  std::vector<std::string> messages;  // canonical bytes of every manifest, in map order
};

struct LoadResult {
  std::optional<Loaded> loaded;
  std::string error;
};

LoadResult load() {
  LoadResult result;
  const char* name = std::getenv("CORVANE_BENCH_STATE");
  if (name == nullptr || *name == '\0') {
    result.error = "set CORVANE_BENCH_STATE to a state file (gen_state 1000 200000 > file)";
    return result;
  }
  Loaded loaded;
  loaded.path = name;
  std::ifstream in(loaded.path, std::ios::binary);
  if (!in) {
    result.error = std::string("cannot read ") + name;
    return result;
  }
  std::error_code size_error;
  const auto size = std::filesystem::file_size(loaded.path, size_error);
  if (size_error) {
    result.error = std::string("cannot read ") + name + ": " + size_error.message();
    return result;
  }
  loaded.bytes.resize(size);
  if (!in.read(loaded.bytes.data(), static_cast<std::streamsize>(size))) {
    result.error = std::string("cannot read ") + name;
    return result;
  }
  auto state = corvane::state::decode_state(loaded.bytes);
  if (!state) {
    result.error = state.error();
    return result;
  }
  loaded.delivery_capacity = state->router.deliveries.capacity();
  loaded.state = std::move(*state);
  loaded.key = varnholt::crypto::SigningKey::from_bytes(loaded.state.approval_seed).verifying_key();
  for (const auto& [id, connector] : loaded.state.router.connectors) {
    auto message = varnholt::crypto::canonical_bytes(connector.manifest);
    if (!message) {
      result.error = message.error().message();
      return result;
    }
    loaded.messages.push_back(std::move(*message));
  }
  result.loaded = std::move(loaded);
  return result;
}

// The shared state, or nothing after marking the benchmark as skipped.
const Loaded* shared(benchmark::State& bench) {
  static const LoadResult result = load();
  if (!result.loaded) {
    bench.SkipWithError(result.error.c_str());
    return nullptr;
  }
  return &*result.loaded;
}

void BM_DecodeState(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  for (auto _ : bench) {
    auto state = corvane::state::decode_state(loaded->bytes);
    benchmark::DoNotOptimize(state);
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations()) *
                          static_cast<std::int64_t>(loaded->bytes.size()));
}
BENCHMARK(BM_DecodeState)->Unit(benchmark::kMillisecond);

void BM_EncodeState(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  for (auto _ : bench) {
    auto text = corvane::state::encode_state(loaded->state);
    benchmark::DoNotOptimize(text);
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations()) *
                          static_cast<std::int64_t>(loaded->bytes.size()));
}
BENCHMARK(BM_EncodeState)->Unit(benchmark::kMillisecond);

// The first half of InstalledConnector::verify, for every connector.
void BM_CanonicalBytesAllManifests(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  for (auto _ : bench) {
    for (const auto& [id, connector] : loaded->state.router.connectors) {
      auto message = varnholt::crypto::canonical_bytes(connector.manifest);
      benchmark::DoNotOptimize(message);
    }
  }
  bench.SetItemsProcessed(static_cast<std::int64_t>(bench.iterations()) *
                          static_cast<std::int64_t>(loaded->messages.size()));
}
BENCHMARK(BM_CanonicalBytesAllManifests)->Unit(benchmark::kMillisecond);

// The second half: Ed25519 verification over the precomputed bytes.
void BM_VerifyBytesAllSignatures(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  for (auto _ : bench) {
    std::size_t i = 0;
    for (const auto& [id, connector] : loaded->state.router.connectors) {
      auto verdict = loaded->key.verify_bytes(loaded->messages[i++], connector.signature);
      benchmark::DoNotOptimize(verdict);
    }
  }
  bench.SetItemsProcessed(static_cast<std::int64_t>(bench.iterations()) *
                          static_cast<std::int64_t>(loaded->messages.size()));
}
BENCHMARK(BM_VerifyBytesAllSignatures)->Unit(benchmark::kMillisecond);

// Both halves together, as the router calls them: should be the sum of the two above.
void BM_ConnectorVerifyAll(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  for (auto _ : bench) {
    for (const auto& [id, connector] : loaded->state.router.connectors) {
      auto verdict = connector.verify(loaded->key);
      benchmark::DoNotOptimize(verdict);
    }
  }
}
BENCHMARK(BM_ConnectorVerifyAll)->Unit(benchmark::kMillisecond);

// Router::route on a fresh copy of the decoded router each time; the copy is
// not timed.
void BM_RouteOnCopy(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  const corvane::contracts::BridgeEvent event{
      "alert", varnholt::contracts::Timestamp::now(), loaded->state.tenant_id, {}};
  corvane::router::Router router;
  for (auto _ : bench) {
    bench.PauseTiming();
    router = loaded->state.router;
    router.deliveries.reserve(loaded->delivery_capacity);
    bench.ResumeTiming();
    auto queued = router.route(event, loaded->key, event.occurred_at);
    benchmark::DoNotOptimize(queued);
  }
}
BENCHMARK(BM_RouteOnCopy)->Unit(benchmark::kMillisecond);

// The crash-safe save of the decoded state beside the state file: encoding,
// the write, fsync, rename and the directory's fsync.
void BM_SaveState(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  auto target = loaded->path;
  target += ".bench-save";
  for (auto _ : bench) {
    std::filesystem::remove(target);
    auto saved = corvane::state::Store::create(target, loaded->state);
    if (!saved) {
      bench.SkipWithError(saved.error().c_str());
      break;
    }
  }
  std::error_code ignored;
  std::filesystem::remove(target, ignored);
}
BENCHMARK(BM_SaveState)->Unit(benchmark::kMillisecond);

}  // namespace
