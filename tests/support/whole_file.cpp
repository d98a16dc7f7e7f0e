#include "support/whole_file.h"

#include "colorspace/all_spaces.h"
#include "colorspace/collect.h"
#include "colorspace/convert.h"
#include "stream/window_rewrite.h"
#include "support/memory_io.h"

namespace iccdrop::testing {

colorspace::Registry collect_in_memory(std::string_view input, std::size_t read_block) {
  colorspace::Registry registry;
  MemorySource source(input);
  stream::run_pass(
      source, nullptr,
      [&](std::span<unsigned char> window) {
        colorspace::collect_window(window, registry);
      },
      read_block);
  return registry;
}

ConvertedFile convert_in_memory(std::string_view input, std::size_t read_block) {
  const colorspace::Registry registry = collect_in_memory(input);
  ConvertedFile result;
  MemorySource source(input);
  MemorySink sink;
  // Windows start at every multiple of 4096, in order: the n-th window step
  // sees input offset n * 4096 at its offset 0.
  std::uint64_t window_start = 0;
  result.status =
      stream::run_pass(
          source, &sink,
          [&](std::span<unsigned char> window) {
            colorspace::convert_window(
                window, registry, [&](const colorspace::Change& change) {
                  // The name's bytes live only during the call.
                  result.changes.push_back(FileChange{
                      window_start + change.offset, change.length,
                      std::string(change.name), std::string(change.replacement)});
                });
            window_start += stream::kChunkSize;
          },
          read_block)
          .status;
  result.output = sink.text();
  return result;
}

namespace {

// The byte before the next window: the last of this window's first chunk.
void keep_before(std::span<const unsigned char> window,
                 std::optional<unsigned char>& before) {
  if (window.size() >= stream::kChunkSize) before = window[stream::kChunkSize - 1];
}

}  // namespace

colorspace::AllSpaces collect_all_in_memory(std::string_view input,
                                            std::size_t read_block) {
  colorspace::AllSpaces facts;
  MemorySource source(input);
  std::optional<unsigned char> before;
  stream::run_pass(
      source, nullptr,
      [&](std::span<unsigned char> window) {
        colorspace::collect_window_all(window, before, facts);
        keep_before(window, before);
      },
      read_block);
  return facts;
}

ConvertedFile convert_all_in_memory(std::string_view input, std::size_t read_block) {
  const colorspace::AllSpaces facts = collect_all_in_memory(input);
  ConvertedFile result;
  MemorySource source(input);
  MemorySink sink;
  std::uint64_t window_start = 0;
  std::optional<unsigned char> before;
  result.status =
      stream::run_pass(
          source, &sink,
          [&](std::span<unsigned char> window) {
            colorspace::convert_window_all(
                window, before, facts, [&](const colorspace::Change& change) {
                  result.changes.push_back(FileChange{
                      window_start + change.offset, change.length,
                      std::string(change.name), std::string(change.replacement)});
                });
            keep_before(window, before);
            window_start += stream::kChunkSize;
          },
          read_block)
          .status;
  result.output = sink.text();
  return result;
}

OneReadFile convert_in_memory_one_read(std::string_view input, bool all,
                                       std::size_t read_block) {
  colorspace::Registry registry;
  colorspace::AllSpaces facts;
  MemorySource source(input);
  MemorySink sink;
  stream::WindowRuns candidates;
  std::uint64_t window = 0;
  std::optional<unsigned char> before;
  stream::run_pass(
      source, &sink,
      [&](std::span<unsigned char> bytes) {
        bool array_in_front = false;
        if (all) {
          array_in_front = colorspace::collect_window_all(bytes, before, facts);
          keep_before(bytes, before);
        } else {
          array_in_front = colorspace::collect_window(bytes, registry);
        }
        if (array_in_front) candidates.mark_front_of(window);
        ++window;
      },
      read_block);
  OneReadFile result;
  MemoryFile file(sink.bytes());
  result.converted.status =
      stream::rewrite_windows(
          file, input.size(), candidates.runs(),
          [&](const stream::PlacedWindow& placed) {
            bool changed = false;
            const auto record = [&](const colorspace::Change& change) {
              changed = true;
              result.converted.changes.push_back(
                  FileChange{placed.offset + change.offset, change.length,
                             std::string(change.name), std::string(change.replacement)});
            };
            if (all) {
              colorspace::convert_window_all(placed.bytes, placed.before, facts, record);
            } else {
              colorspace::convert_window(placed.bytes, registry, record);
            }
            return changed;
          },
          read_block)
          .status;
  result.converted.output = file.text();
  result.bytes_read = file.bytes_read();
  return result;
}

}  // namespace iccdrop::testing
