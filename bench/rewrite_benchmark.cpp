// Speed of the rewrite alone on realistic configuration text: a real file
// whose <system.webServer> section is repeated up to the size asked for.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "config/rewrite.h"

namespace {

std::string ConfigurationOfSize(size_t size) {
  std::ifstream in(SAMPLE_PATH, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string text = bytes.str();
  // The section itself, after the section declarations (a comment above them shows one).
  const size_t open =
      text.find('\n', text.find("<system.webServer>", text.find("</configSections>"))) + 1;
  const size_t close = text.rfind('\n', text.find("</system.webServer>", open)) + 1;
  const std::string section = text.substr(open, close - open);
  std::string result = text.substr(0, open);
  while (result.size() + section.size() + text.size() - close < size) result += section;
  return result + text.substr(close);
}

// Arguments: the size, and 1 for LF line ends instead of CR LF.
void BM_Rewrite(benchmark::State& state) {
  std::string text = ConfigurationOfSize(state.range(0));
  if (state.range(1)) {
    std::string lf;
    for (char c : text)
      if (c != '\r') lf += c;
    text = lf;
  }
  for (auto _ : state) benchmark::DoNotOptimize(InsertBlock(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}

}  // namespace

BENCHMARK(BM_Rewrite)
    ->ArgsProduct({{64 << 10, 1 << 20, 16 << 20}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
