// Both passes over an arbitrary byte string, in memory, wired as the driver
// wires them over files, in the default mode and with --all. Checks, in
// each mode:
// - the output has the input's size and both passes succeed;
// - every byte that differs lies inside a reported change, which starts at
//   a '[' of the input and holds the device space's name followed by spaces;
// - reading in 4096-byte blocks gives the same output and changes as
//   reading in 12288-byte ones (the default 256 KiB blocks would cost a
//   large buffer per pass and hold any fuzzed input whole);
// - pass 2 over the windows pass 1 marks only, shared by two threads, gives
//   the same output and changes as the stream over every window;
// - running both passes again on the output changes nothing more;
// - --all makes every change the default makes, except those to a marker,
//   where no digit run crosses a chunk boundary (a number read from the
//   middle of one is the default's alone).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "colorspace/all_spaces.h"
#include "colorspace/collect.h"
#include "colorspace/convert.h"
#include "colorspace/patterns.h"
#include "colorspace/registry.h"
#include "stream/window_rewrite.h"
#include "stream/window_stream.h"
#include "support/memory_io.h"

namespace {

using iccdrop::stream::kChunkSize;

struct Change {
  std::uint64_t offset;  // input offset of the array's '['
  std::size_t length;
  std::string name;
  std::string replacement;
  bool operator==(const Change&) const = default;
};

struct Converted {
  std::string output;
  std::vector<Change> changes;
};

// The byte before the next window, for --all: this window's at 4095.
void keep_before(std::span<const unsigned char> window,
                 std::optional<unsigned char>& before) {
  if (window.size() >= kChunkSize) before = window[kChunkSize - 1];
}

Converted convert(std::string_view input, std::size_t read_block, bool all) {
  iccdrop::colorspace::Registry registry;
  iccdrop::colorspace::AllSpaces facts;
  std::optional<unsigned char> before;
  iccdrop::testing::MemorySource pass1_input(input);
  const auto pass1 = iccdrop::stream::run_pass(
      pass1_input, nullptr,
      [&](std::span<unsigned char> window) {
        if (all) {
          iccdrop::colorspace::collect_window_all(window, before, facts);
          keep_before(window, before);
        } else {
          iccdrop::colorspace::collect_window(window, registry);
        }
      },
      read_block);
  if (pass1.status != iccdrop::stream::PassStatus::kOk || pass1.bytes != input.size()) {
    std::abort();
  }

  Converted result;
  iccdrop::testing::MemorySource pass2_input(input);
  iccdrop::testing::MemorySink sink;
  // The n-th window starts at input offset n * 4096.
  std::uint64_t window_start = 0;
  before.reset();
  const auto pass2 = iccdrop::stream::run_pass(
      pass2_input, &sink,
      [&](std::span<unsigned char> window) {
        const iccdrop::colorspace::ChangeVisitor heard =
            [&](const iccdrop::colorspace::Change& change) {
              // The match starts in the zone; its '[' may lie beyond it.
              if (change.offset + change.length > window.size()) std::abort();
              result.changes.push_back({window_start + change.offset, change.length,
                                        std::string(change.name),
                                        std::string(change.replacement)});
            };
        if (all) {
          iccdrop::colorspace::convert_window_all(window, before, facts, heard);
          keep_before(window, before);
        } else {
          iccdrop::colorspace::convert_window(window, registry, heard);
        }
        window_start += kChunkSize;
      },
      read_block);
  if (pass2.status != iccdrop::stream::PassStatus::kOk || pass2.bytes != input.size()) {
    std::abort();
  }
  result.output = sink.text();
  return result;
}

// Pass 2 as a run into a regular file makes it: over the windows pass 1
// marked, the later half of them in a second thread.
Converted convert_marked(std::string_view input, bool all) {
  constexpr std::size_t kBlock = 3 * kChunkSize;
  iccdrop::colorspace::Registry registry;
  iccdrop::colorspace::AllSpaces facts;
  iccdrop::stream::WindowRuns marks;
  std::uint64_t window = 0;
  std::optional<unsigned char> before;
  iccdrop::testing::MemorySource pass1_input(input);
  const auto pass1 = iccdrop::stream::run_pass(
      pass1_input, nullptr,
      [&](std::span<unsigned char> bytes) {
        const bool anchor =
            all ? iccdrop::colorspace::collect_window_all(bytes, before, facts)
                : iccdrop::colorspace::collect_window(bytes, registry);
        if (all) keep_before(bytes, before);
        if (anchor) marks.mark_front_of(window);
        ++window;
      },
      kBlock);
  if (pass1.status != iccdrop::stream::PassStatus::kOk) std::abort();

  Converted result;
  std::vector<Change> held;
  const auto step_into = [&](std::vector<Change>& changes) {
    return [&, into = &changes](const iccdrop::stream::PlacedWindow& w) {
      const std::size_t had = into->size();
      const iccdrop::colorspace::ChangeVisitor heard =
          [&](const iccdrop::colorspace::Change& change) {
            into->push_back({w.offset + change.offset, change.length,
                             std::string(change.name), std::string(change.replacement)});
          };
      if (all) {
        iccdrop::colorspace::convert_window_all(w.bytes, w.before, facts, heard);
      } else {
        iccdrop::colorspace::convert_window(w.bytes, registry, heard);
      }
      return into->size() != had;
    };
  };
  const iccdrop::stream::LaterRewrite later{
      step_into(held), [&] { return held.size() >= 2; },
      [&] {
        result.changes.insert(result.changes.end(), held.begin(), held.end());
        held.clear();
      },
      [&] { held.clear(); }};
  const std::vector<unsigned char> bytes(input.begin(), input.end());
  iccdrop::testing::MemoryFile in(bytes);
  iccdrop::testing::MemoryFile out(bytes);
  const auto pass2 = iccdrop::stream::rewrite_windows_in_two(
      in, out, input.size(), marks.runs(), step_into(result.changes), later, 2, kBlock);
  if (pass2.status != iccdrop::stream::PassStatus::kOk) std::abort();
  result.output = out.text();
  return result;
}

bool is_device_space(std::string_view name) {
  for (std::string_view device : iccdrop::colorspace::kDeviceSpaceByComponents) {
    if (name == device) return true;
  }
  return false;
}

// The checks of one mode; returns the changes of a run in 12288-byte blocks.
std::vector<Change> check_mode(std::string_view input, bool all) {
  constexpr std::size_t kLargeBlock = 3 * kChunkSize;
  const Converted first = convert(input, kLargeBlock, all);
  if (first.output.size() != input.size()) std::abort();

  // Every changed byte is covered by a change; each change is well formed.
  std::vector<bool> covered(input.size(), false);
  for (const Change& change : first.changes) {
    if (change.offset + change.length > input.size()) std::abort();
    if (input[change.offset] != '[') std::abort();
    if (!is_device_space(change.replacement)) std::abort();
    if (!all && change.name.size() > 7) std::abort();
    if (all && change.replacement.front() == '*') std::abort();  // no markers
    if (change.length < change.replacement.size()) std::abort();
    const std::string_view written =
        std::string_view(first.output).substr(change.offset, change.length);
    if (written.substr(0, change.replacement.size()) != change.replacement) std::abort();
    if (written.find_first_not_of(' ', change.replacement.size()) !=
        std::string_view::npos) {
      std::abort();
    }
    for (std::size_t i = 0; i < change.length; ++i) covered[change.offset + i] = true;
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (first.output[i] != input[i] && !covered[i]) std::abort();
  }

  // The read block size changes nothing.
  const Converted small_blocks = convert(input, kChunkSize, all);
  if (small_blocks.output != first.output || small_blocks.changes != first.changes) {
    std::abort();
  }

  // The marked windows alone, over two threads, give the same.
  const Converted marked = convert_marked(input, all);
  if (marked.output != first.output || marked.changes != first.changes) std::abort();

  // A second run has nothing left to convert.
  if (!first.changes.empty()) {
    const Converted second = convert(first.output, kLargeBlock, all);
    if (second.output != first.output || !second.changes.empty()) std::abort();
  }
  return first.changes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<Change> by_default = check_mode(input, false);
  const std::vector<Change> all = check_mode(input, true);
  // Every default change to a device space is among --all's, with its line.
  for (std::size_t at = kChunkSize; at < input.size(); at += kChunkSize) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (digit(input[at - 1]) && digit(input[at])) return 0;
  }
  for (const Change& change : by_default) {
    if (change.replacement.front() == '*') continue;
    if (std::find(all.begin(), all.end(), change) == all.end()) std::abort();
  }
  return 0;
}
