#include "support/memory_io.h"

#include <algorithm>
#include <cstring>

namespace iccdrop::testing {

MemorySource::MemorySource(std::span<const unsigned char> data, SourceOptions options)
    : data_(data), options_(options) {}

MemorySource::MemorySource(std::string_view data, SourceOptions options)
    : MemorySource(as_bytes(data), options) {}

std::optional<std::size_t> MemorySource::read(std::span<unsigned char> into) {
  ++reads_;
  std::size_t end = data_.size();
  if (options_.fail_after) {
    end = std::min(end, *options_.fail_after);
    if (position_ == end) return std::nullopt;
  }
  std::size_t n = std::min(into.size(), end - position_);
  if (options_.short_read)
    n = std::min(n, std::max<std::size_t>(*options_.short_read, 1));
  if (n > 0) std::memcpy(into.data(), data_.data() + position_, n);
  position_ += n;
  return n;
}

bool MemorySink::write(std::span<const unsigned char> bytes) {
  ++writes_;
  if (options_.fail_after) {
    const std::size_t room =
        *options_.fail_after - std::min(*options_.fail_after, bytes_.size());
    if (bytes.size() > room) {
      bytes_.insert(bytes_.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(room));
      return false;
    }
  }
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return true;
}

std::optional<std::size_t> MemoryFile::read_at(std::uint64_t offset,
                                               std::span<unsigned char> into) {
  if (offset > bytes_.size()) return std::nullopt;
  const std::size_t n = std::min<std::size_t>(into.size(), bytes_.size() - offset);
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, into.begin());
  return n;
}

bool MemoryFile::write_at(std::uint64_t offset, std::span<const unsigned char> bytes) {
  if (offset + bytes.size() > bytes_.size()) return false;  // pass 2 never grows a file
  std::copy(bytes.begin(), bytes.end(),
            bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

}  // namespace iccdrop::testing
