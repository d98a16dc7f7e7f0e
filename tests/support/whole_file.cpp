#include "support/whole_file.h"

#include "colorspace/collect.h"
#include "colorspace/convert.h"
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

}  // namespace iccdrop::testing
