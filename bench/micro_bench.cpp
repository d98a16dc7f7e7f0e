// Micro-benchmarks of the scanning hot path: match_sequence over a whole
// 8192-byte window, and one window step of each pass (collect_window,
// convert_window), on a realistic window and on adversarial ones. The
// match_sequence figures are bytes of window per second; the step figures
// are bytes of input per second, one step per 4096 bytes of input (each
// byte lies in two windows), so they compare directly with the file rates
// of bench/run.sh.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "colorspace/collect.h"
#include "colorspace/convert.h"
#include "colorspace/patterns.h"
#include "colorspace/registry.h"
#include "match/sequence.h"
#include "random.h"
#include "stream/window_stream.h"

namespace {

using namespace iccdrop;

constexpr std::size_t kWindow = stream::kWindowSize;

using iccdrop::bench::Random;

std::vector<unsigned char> to_window(std::string text) {
  text.resize(kWindow, ' ');
  return {text.begin(), text.end()};
}

std::string random_bytes(Random& random, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += static_cast<char>(random.next() & 0xFF);
  return out;
}

// A page's objects as the macOS writer lays them out, then image data.
std::vector<unsigned char> realistic_window() {
  Random random(1);
  std::string text =
      "12 0 obj\n<< /ProcSet [ /PDF /ImageC ] /ColorSpace << /Cs1 13 0 R /Cs2 15 0 R >> "
      "/XObject << /Im1 17 0 R >> >>\nendobj\n13 0 obj\n[ /ICCBased 14 0 R ]\nendobj\n"
      "14 0 obj\n<< /N 3 /Alternate /DeviceRGB /Length 3155 /Filter /FlateDecode >>\n"
      "stream\n";
  text += random_bytes(random, 3155);
  text +=
      "\nendstream\nendobj\n15 0 obj\n[ /ICCBased 16 0 R ]\nendobj\n16 0 obj\n"
      "<< /N 1 /Alternate /DeviceGray /Length 3155 /Filter /FlateDecode >>\nstream\n";
  text += random_bytes(random, kWindow);
  return to_window(text);
}

std::vector<unsigned char> digits_window() {
  Random random(2);
  static constexpr std::string_view kGaps{" \n\r\t\0", 5};
  static constexpr std::string_view kExtras[] = {"/N ", "obj ", "<< /N ", "obj << "};
  std::string text;
  while (text.size() < kWindow) {
    const std::size_t n = 1 + random.below(24);
    for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('0' + random.below(10));
    text += kGaps[random.below(kGaps.size())];
    const std::size_t extra = random.below(16);
    if (extra < std::size(kExtras)) text += kExtras[extra];
  }
  return to_window(text);
}

std::vector<unsigned char> digit_run_window() {
  Random random(3);
  std::string text;
  while (text.size() < kWindow) {
    for (int i = 0; i < 4094; ++i) text += static_cast<char>('0' + random.below(10));
    text += "/N";
  }
  return to_window(text);
}

std::vector<unsigned char> near_miss_window() {
  static constexpr std::string_view kPieces[] = {"/Cs1 7 0 ",
                                                 "/CsA 7 R ",
                                                 "/ICCBased 5 0 R ",
                                                 "7 0 obj [/ICCBased 5 0 R ",
                                                 "5 0 obj << /Length 9 /N 3 ",
                                                 "endobj ",
                                                 "<<<< ",
                                                 "12 0 obj 3 4 obj << ",
                                                 "/N /N "};
  Random random(4);
  std::string text;
  while (text.size() < kWindow) text += kPieces[random.below(std::size(kPieces))];
  return to_window(text);
}

std::vector<unsigned char> random_window() {
  Random random(5);
  return to_window(random_bytes(random, kWindow));
}

std::vector<unsigned char> window_of(std::int64_t kind) {
  switch (kind) {
    case 0:
      return realistic_window();
    case 1:
      return digits_window();
    case 2:
      return digit_run_window();
    case 3:
      return near_miss_window();
    default:
      return random_window();
  }
}

constexpr const char* kWindowNames[] = {"realistic", "digits", "digit-run", "near-misses",
                                        "random"};

const match::TokenPattern& pattern_of(std::int64_t kind) {
  switch (kind) {
    case 0:
      return colorspace::kResourceEntryPattern;
    case 1:
      return colorspace::kProfileStreamPattern;
    default:
      return colorspace::kIccArrayPattern;
  }
}

constexpr const char* kPatternNames[] = {"resource-entry", "profile-stream", "icc-array"};

// Every match of the pattern in the window, searching on one byte after each.
void BM_MatchSequence(benchmark::State& state) {
  const auto window = window_of(state.range(0));
  const auto& pattern = pattern_of(state.range(1));
  state.SetLabel(std::string(kWindowNames[state.range(0)]) + "/" +
                 kPatternNames[state.range(1)]);
  std::size_t matches = 0;
  for (auto _ : state) {
    match::SequenceMatch match;
    std::size_t pos = 0;
    while (pos < window.size()) {
      const auto m =
          match::match_sequence(match::Region(window).subspan(pos), pattern, match);
      if (!m) break;
      ++matches;
      pos += *m + 1;
    }
    benchmark::DoNotOptimize(matches);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * window.size()));
}
BENCHMARK(BM_MatchSequence)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1, 2}});

void BM_CollectWindow(benchmark::State& state) {
  const auto window = window_of(state.range(0));
  state.SetLabel(kWindowNames[state.range(0)]);
  colorspace::Registry registry;
  for (auto _ : state) {
    colorspace::collect_window(window, registry);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * stream::kChunkSize));
}
BENCHMARK(BM_CollectWindow)->DenseRange(0, 4);

// The window is restored before each step (one 8 KiB copy, a few hundred
// nanoseconds), since the step rewrites the arrays it converts.
void BM_ConvertWindow(benchmark::State& state) {
  const auto original = window_of(state.range(0));
  state.SetLabel(kWindowNames[state.range(0)]);
  colorspace::Registry registry;
  colorspace::collect_window(original, registry);
  auto window = original;
  std::size_t changes = 0;
  for (auto _ : state) {
    std::memcpy(window.data(), original.data(), window.size());
    colorspace::convert_window(window, registry,
                               [&](const colorspace::Change&) { ++changes; });
    benchmark::DoNotOptimize(changes);
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * stream::kChunkSize));
}
BENCHMARK(BM_ConvertWindow)->DenseRange(0, 4);

}  // namespace

BENCHMARK_MAIN();
