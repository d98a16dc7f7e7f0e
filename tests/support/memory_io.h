// In-memory sources and sinks for the window stream, for tests and fuzz
// targets: a source over a byte span that can deliver short reads or fail
// part-way, and a sink that collects what it is given and can fail part-way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stream/window_rewrite.h"
#include "stream/window_stream.h"

namespace iccdrop::testing {

// Reads the bytes of `data`, which must outlive the source.
//
// - short_read: when set, no read returns more than this many bytes (at least
//   1), so run_pass has to gather its buffer from many small reads.
// - fail_after: when set, the source delivers exactly this many bytes (or all
//   of `data`, if fewer) and then reports a read error on the next read
//   instead of end of input. fail_after = 0 fails the first read.
struct SourceOptions {
  std::optional<std::size_t> short_read = std::nullopt;
  std::optional<std::size_t> fail_after = std::nullopt;
};

class MemorySource final : public stream::ByteSource {
 public:
  explicit MemorySource(std::span<const unsigned char> data, SourceOptions options = {});
  explicit MemorySource(std::string_view data, SourceOptions options = {});

  std::optional<std::size_t> read(std::span<unsigned char> into) override;

  std::size_t position() const { return position_; }  // bytes delivered so far
  std::size_t reads() const { return reads_; }        // calls to read()

 private:
  std::span<const unsigned char> data_;
  SourceOptions options_;
  std::size_t position_ = 0;
  std::size_t reads_ = 0;
};

// Appends every write to bytes().
//
// - fail_after: when set, the sink accepts at most this many bytes in total.
//   The write that would pass that count keeps only the bytes up to it and
//   returns false, as does every write after it. fail_after = 0 refuses the
//   first write.
struct SinkOptions {
  std::optional<std::size_t> fail_after = std::nullopt;
};

class MemorySink final : public stream::ByteSink {
 public:
  MemorySink() = default;
  explicit MemorySink(SinkOptions options) : options_(options) {}

  bool write(std::span<const unsigned char> bytes) override;

  const std::vector<unsigned char>& bytes() const { return bytes_; }
  std::string text() const { return std::string(bytes_.begin(), bytes_.end()); }
  std::size_t writes() const { return writes_; }  // calls to write()

 private:
  SinkOptions options_;
  std::vector<unsigned char> bytes_;
  std::size_t writes_ = 0;
};

// A file in memory for pass 2's reads and writes at an offset.
class MemoryFile final : public stream::ByteFile {
 public:
  explicit MemoryFile(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

  std::optional<std::size_t> read_at(std::uint64_t offset,
                                     std::span<unsigned char> into) override;
  bool write_at(std::uint64_t offset, std::span<const unsigned char> bytes) override;

  const std::vector<unsigned char>& bytes() const { return bytes_; }
  std::string text() const { return std::string(bytes_.begin(), bytes_.end()); }

 private:
  std::vector<unsigned char> bytes_;
};

// The bytes of a string, for building inputs from text literals.
inline std::span<const unsigned char> as_bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

}  // namespace iccdrop::testing
