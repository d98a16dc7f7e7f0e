#include "stream/deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <memory>

namespace iccdrop::stream {
namespace {

// The two bytes before the deflate data: 32 KiB window, no dictionary,
// "maximum compression", with the check bits that make them a multiple of 31.
constexpr std::array<unsigned char, 2> kZlibHeader = {0x78, 0xDA};
static_assert((kZlibHeader[0] * 256 + kZlibHeader[1]) % 31 == 0);
constexpr std::size_t kZlibOverhead = kZlibHeader.size() + 4;  // and the Adler-32

// Writes deflate's bit stream: each field from its least significant bit.
class BitWriter {
 public:
  void put(unsigned value, int bits) {
    for (int b = 0; b < bits; ++b) {
      if (bit_ == 0) bytes_.push_back(0);
      if ((value >> b) & 1u)
        bytes_.back() = static_cast<unsigned char>(bytes_.back() | (1u << bit_));
      bit_ = (bit_ + 1) % 8;
    }
  }
  // A non-final fixed-Huffman block with nothing but its end code (256,
  // seven 0 bits): 10 bits.
  void empty_fixed_block() {
    put(0, 1);  // BFINAL
    put(1, 2);  // BTYPE 01
    put(0, 7);  // end of block
  }
  // A non-final stored block of no bytes: 3 bits, up to the byte boundary,
  // then LEN 0 and NLEN 0xFFFF.
  void empty_stored_block() {
    put(0, 3);
    bit_ = 0;
    constexpr std::array<unsigned char, 4> kLengths = {0x00, 0x00, 0xFF, 0xFF};
    bytes_.insert(bytes_.end(), kLengths.begin(), kLengths.end());
  }
  std::vector<unsigned char> take() { return std::move(bytes_); }

 private:
  std::vector<unsigned char> bytes_;
  int bit_ = 0;  // the next bit in bytes_.back(); 0 when on a byte boundary
};

// Levels tried in turn: 6 first, which compresses about ten times as fast as
// 12 and already fits most streams that zlib wrote at its default level
// (a rewrite only adds spaces); then 9 and libdeflate's highest, for the
// streams written with little room; then the others.
constexpr std::array<int, 12> kLevels = {6, 9, 12, 11, 10, 8, 7, 5, 4, 3, 2, 1};

}  // namespace

Inflated inflate_zlib(Bytes compressed, std::size_t limit) {
  // Uninitialised: only the pages written are touched.
  const std::unique_ptr<unsigned char[]> out(
      new unsigned char[std::max<std::size_t>(limit, 1)]);
  const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)>
      decompressor(libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  Inflated inflated;
  if (!decompressor) return inflated;
  std::size_t consumed = 0, produced = 0;
  const auto result = libdeflate_zlib_decompress_ex(decompressor.get(), compressed.data(),
                                                    compressed.size(), out.get(), limit,
                                                    &consumed, &produced);
  if (result == LIBDEFLATE_INSUFFICIENT_SPACE) inflated.status = InflateStatus::kTooLarge;
  if (result != LIBDEFLATE_SUCCESS) return inflated;
  inflated.status = InflateStatus::kOk;
  inflated.bytes.assign(out.get(), out.get() + produced);
  inflated.consumed = consumed;
  return inflated;
}

bool inflate_zlib_prefix(Bytes compressed, std::span<unsigned char> into) {
  // zlib inflates as far as the output goes; libdeflate only whole data.
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<unsigned char*>(compressed.data());
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(compressed.size(), UINT_MAX));
  z.next_out = into.data();
  z.avail_out = static_cast<uInt>(std::min<std::size_t>(into.size(), UINT_MAX));
  int status = Z_OK;
  while (status == Z_OK && z.avail_out > 0) status = inflate(&z, Z_SYNC_FLUSH);
  const bool filled = z.avail_out == 0 && (status == Z_OK || status == Z_STREAM_END);
  inflateEnd(&z);
  return filled;
}

std::optional<std::vector<unsigned char>> empty_deflate_blocks(std::size_t bytes) {
  // Runs of k empty fixed blocks closed by an empty stored block take
  // 5 (k = 0), 6, 7 and 9 (k = 3) bytes; a count of stored blocks adds 5
  // each. Each remainder mod 5 has its smallest sum: 0, 6, 7, 6 + 7, 9.
  constexpr std::array<std::array<int, 2>, 5> kRuns = {
      {{-1, -1}, {1, -1}, {2, -1}, {1, 2}, {3, -1}}};  // fixed blocks per run
  constexpr std::array<std::size_t, 5> kRunBytes = {0, 6, 7, 13, 9};
  const std::size_t remainder = bytes % 5;
  if (bytes < kRunBytes[remainder]) return std::nullopt;
  BitWriter writer;
  for (int fixed : kRuns[remainder]) {
    if (fixed < 0) continue;
    for (int k = 0; k < fixed; ++k) writer.empty_fixed_block();
    writer.empty_stored_block();
  }
  for (std::size_t k = 0; k < (bytes - kRunBytes[remainder]) / 5; ++k) {
    writer.empty_stored_block();
  }
  return writer.take();
}

namespace {

// zlib data of exactly `length` bytes: `blocks` bytes of empty blocks, then
// `fixed` empty fixed-Huffman blocks and the deflate data from the bit they
// end on, then the Adler-32; or none where the data does not end inside
// that length. The deflate data's last bits past its end are zero padding:
// those cut off must be zero, and the inflate that checks the result tells
// whether its end was reached. (Shifted by a part of a byte, a stored block
// in the data would be broken: the inflate tells that too.)
std::optional<std::vector<unsigned char>> assemble(Bytes content, Bytes deflated,
                                                   std::size_t length, std::size_t blocks,
                                                   int fixed) {
  const auto aligned = empty_deflate_blocks(blocks);
  if (!aligned) return std::nullopt;
  BitWriter writer;
  for (int k = 0; k < fixed; ++k) writer.empty_fixed_block();
  for (unsigned char c : deflated) writer.put(c, 8);
  std::vector<unsigned char> tail = writer.take();
  const std::size_t tail_length = length - kZlibOverhead - blocks;
  if (tail.size() > tail_length) {
    if (std::any_of(tail.begin() + static_cast<std::ptrdiff_t>(tail_length), tail.end(),
                    [](unsigned char c) { return c != 0; })) {
      return std::nullopt;
    }
  }
  tail.resize(tail_length);
  std::vector<unsigned char> zlib(kZlibHeader.begin(), kZlibHeader.end());
  zlib.insert(zlib.end(), aligned->begin(), aligned->end());
  zlib.insert(zlib.end(), tail.begin(), tail.end());
  const std::uint32_t adler = libdeflate_adler32(1, content.data(), content.size());
  for (int shift = 24; shift >= 0; shift -= 8) {
    zlib.push_back(static_cast<unsigned char>(adler >> shift));
  }
  const Inflated again = inflate_zlib(zlib, content.size());
  if (again.status != InflateStatus::kOk || again.consumed != zlib.size() ||
      !std::equal(again.bytes.begin(), again.bytes.end(), content.begin(),
                  content.end())) {
    return std::nullopt;
  }
  return zlib;
}

}  // namespace

std::optional<std::vector<unsigned char>> deflate_zlib_exact(Bytes content,
                                                             std::size_t length) {
  if (length < kZlibOverhead) return std::nullopt;
  const std::size_t room = length - kZlibOverhead;
  std::vector<unsigned char> deflated;
  for (int level : kLevels) {
    const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)>
        compressor(libdeflate_alloc_compressor(level), libdeflate_free_compressor);
    if (!compressor) return std::nullopt;
    // libdeflate gives up some bytes before the end of a buffer that would
    // just hold its output: it is given the bound.
    deflated.resize(libdeflate_deflate_compress_bound(compressor.get(), content.size()));
    const std::size_t size =
        libdeflate_deflate_compress(compressor.get(), content.data(), content.size(),
                                    deflated.data(), deflated.size());
    if (size == 0 || size > room) continue;  // no room at this level
    const Bytes data(deflated.data(), size);
    // Whole bytes of empty blocks where they fill the room; otherwise up to
    // seven fixed blocks (10 bits each) shift the data by a part of a byte,
    // and whole bytes of blocks before them fill what is left. The data
    // ends 0 to 7 bits before its last byte's end: each end is tried.
    if (auto zlib = assemble(content, data, length, room - size, 0)) return zlib;
    for (int fixed = 1; fixed <= 7; ++fixed) {
      const std::size_t bits = 10 * static_cast<std::size_t>(fixed) + 8 * size;
      for (std::size_t padding = 0; padding < 8; ++padding) {
        const std::size_t tail = (bits - padding + 7) / 8;
        if (tail > room) continue;
        if (auto zlib = assemble(content, data, length, room - tail, fixed)) return zlib;
      }
    }
  }
  return std::nullopt;
}

}  // namespace iccdrop::stream
