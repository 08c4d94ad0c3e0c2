// Throughput of the state file's codec on one core: validating and decoding
// a large state held in memory, in the writer's own layout and in another
// valid layout (compact), and encoding its delivery log again. bench/run
// reports the figures in MB/s (bytes_per_second).
//
// The state file is named by CORVANE_BENCH_STATE (bench/run writes one with
// `gen_state 1000 200000`).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "corvane/state/codec.hpp"

namespace {

using corvane::state::CliState;

// Everything the benchmarks share, read once.
struct Loaded {
  std::string own;      // the file as the writer wrote it
  std::string compact;  // the same state without a byte of whitespace
  CliState state;       // decoded whole, its log in the router's list
};

class Counter final : public corvane::state::ReadObserver {
 public:
  void on_delivery(const corvane::contracts::Delivery&) override { ++count; }
  std::size_t count = 0;
};

// The text of a JSON document with every byte of whitespace between tokens
// removed.
std::string compacted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out.push_back(c);
      if (c == '\\') {
        out.push_back(text[++i]);
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
      out.push_back(c);
    } else if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
      out.push_back(c);
    }
  }
  return out;
}

const Loaded* shared(benchmark::State& bench) {
  static const std::optional<Loaded> loaded = []() -> std::optional<Loaded> {
    const char* name = std::getenv("CORVANE_BENCH_STATE");
    if (name == nullptr || *name == '\0') return std::nullopt;
    std::ifstream in(name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    Loaded result;
    result.own = std::move(bytes).str();
    result.compact = compacted(result.own);
    auto state = corvane::state::decode_state(result.own);
    if (!state) return std::nullopt;
    result.state = std::move(*state);
    return result;
  }();
  if (!loaded)
    bench.SkipWithError("set CORVANE_BENCH_STATE to a state file (gen_state 1000 200000)");
  return loaded ? &*loaded : nullptr;
}

// Reading as a command does: every byte checked, the log handed out one
// delivery at a time.
void decode(benchmark::State& bench, const std::string& text) {
  for (auto _ : bench) {
    varnholt::json::Reader reader(text);
    CliState state;
    corvane::state::LogExtent log;
    Counter counter;
    auto read = corvane::state::read_state(reader, state, log, &counter);
    if (!read) {
      bench.SkipWithError(read.error().describe().c_str());
      break;
    }
    benchmark::DoNotOptimize(counter.count);
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void BM_DecodeOwnLayout(benchmark::State& bench) {
  if (const auto* loaded = shared(bench)) decode(bench, loaded->own);
}
BENCHMARK(BM_DecodeOwnLayout)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeCompactLayout(benchmark::State& bench) {
  if (const auto* loaded = shared(bench)) decode(bench, loaded->compact);
}
BENCHMARK(BM_DecodeCompactLayout)->Unit(benchmark::kMillisecond)->UseRealTime();

// Writing the log as a save that cannot copy it does, one delivery at a time.
void BM_EncodeLog(benchmark::State& bench) {
  const auto* loaded = shared(bench);
  if (loaded == nullptr) return;
  const auto& deliveries = loaded->state.router.deliveries;
  std::string out;
  std::size_t bytes = 0;
  for (auto _ : bench) {
    out.clear();
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
      corvane::state::append_log_element(out, deliveries[i], i == 0);
      if (out.size() >= (std::size_t{1} << 16)) {
        bytes += out.size();
        benchmark::DoNotOptimize(out.data());
        out.clear();
      }
    }
    bytes += out.size();
    benchmark::DoNotOptimize(out.data());
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_EncodeLog)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
