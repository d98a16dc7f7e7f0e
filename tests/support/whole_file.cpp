#include "support/whole_file.h"

#include <optional>

#include "colorspace/all_spaces.h"
#include "colorspace/collect.h"
#include "colorspace/convert.h"
#include "stream/window_rewrite.h"
#include "support/memory_io.h"

namespace iccdrop::testing {
namespace {

// The window steps of one mode, as the driver runs them: pass 1 collects
// (and says whether the window holds an /ICCBased in front), pass 2 rewrites
// and records each change at its input offset.
class Steps {
 public:
  explicit Steps(bool all) {
    if (all) all_.emplace();
  }

  bool collect(const stream::PlacedWindow& window) {
    return all_ ? colorspace::collect_window_all(window.bytes, window.before, *all_)
                : colorspace::collect_window(window.bytes, registry_);
  }

  bool convert(const stream::PlacedWindow& window,
               std::vector<FileChange>& changes) const {
    bool changed = false;
    const auto record = [&](const colorspace::Change& change) {
      // The name's bytes live only during the call.
      changed = true;
      changes.push_back(FileChange{window.offset + change.offset, change.length,
                                   std::string(change.name),
                                   std::string(change.replacement)});
    };
    if (all_) {
      colorspace::convert_window_all(window.bytes, window.before, *all_, record);
    } else {
      colorspace::convert_window(window.bytes, registry_, record);
    }
    return changed;
  }

  colorspace::Registry& registry() { return registry_; }

 private:
  colorspace::Registry registry_;
  std::optional<colorspace::AllSpaces> all_;
};

// Pass 1 over `input`, writing to `sink` if there is one, marking windows
// in `marks` if there are any to keep.
Steps collected(std::string_view input, bool all, std::size_t read_block,
                MemorySink* sink = nullptr, stream::WindowRuns* marks = nullptr) {
  Steps steps(all);
  MemorySource source(input);
  stream::run_pass(
      source, sink,
      [&](const stream::PlacedWindow& window) {
        if (steps.collect(window) && marks != nullptr) {
          marks->mark_front_of(window.offset / stream::kChunkSize);
        }
        return false;
      },
      read_block);
  return steps;
}

// Both passes, the second a stream of the whole input.
ConvertedFile convert_streamed(std::string_view input, bool all, std::size_t read_block) {
  const Steps steps = collected(input, all, stream::kDefaultReadBlock);
  ConvertedFile result;
  MemorySource source(input);
  MemorySink sink;
  result.status = stream::run_pass(
                      source, &sink,
                      [&](const stream::PlacedWindow& window) {
                        return steps.convert(window, result.changes);
                      },
                      read_block)
                      .status;
  result.output = sink.text();
  return result;
}

}  // namespace

colorspace::Registry collect_in_memory(std::string_view input, std::size_t read_block) {
  return std::move(collected(input, false, read_block).registry());
}

ConvertedFile convert_in_memory(std::string_view input, std::size_t read_block) {
  return convert_streamed(input, false, read_block);
}

ConvertedFile convert_all_in_memory(std::string_view input, std::size_t read_block) {
  return convert_streamed(input, true, read_block);
}

ConvertedFile convert_in_memory_one_read(std::string_view input, bool all,
                                         std::size_t read_block) {
  MemorySink sink;
  stream::WindowRuns marks;
  const Steps steps = collected(input, all, read_block, &sink, &marks);
  ConvertedFile result;
  MemoryFile in(std::vector<unsigned char>(input.begin(), input.end()));
  MemoryFile file(sink.bytes());
  result.status = stream::rewrite_windows(
                      in, file, input.size(), marks.runs(),
                      [&](const stream::PlacedWindow& window) {
                        return steps.convert(window, result.changes);
                      },
                      read_block)
                      .status;
  result.output = file.text();
  return result;
}

}  // namespace iccdrop::testing
