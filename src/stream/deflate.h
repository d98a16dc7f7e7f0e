// Data in the zlib format (RFC 1950 around RFC 1951's deflate), as PDF's
// /FlateDecode streams hold it: inflating with a bound on the output, and
// compressing again to an exact length. What the data means is the
// caller's business.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace iccdrop::stream {

using Bytes = std::span<const unsigned char>;

// kBroken: not zlib data, a wrong check sum, or data that ends too soon;
// kTooLarge: it inflates to more than the limit.
enum class InflateStatus { kOk, kBroken, kTooLarge };

struct Inflated {
  InflateStatus status = InflateStatus::kBroken;
  std::vector<unsigned char> bytes;
  std::size_t consumed = 0;  // bytes of the input the zlib data takes, Adler-32 included
};

// Inflates the zlib data at the start of `compressed` (bytes after its end
// are left alone), up to `limit` bytes. Memory: `limit` bytes of address
// space, of which those written are touched, and then the bytes inflated.
[[nodiscard]] Inflated inflate_zlib(Bytes compressed, std::size_t limit);

// The first into.size() bytes the zlib data in `compressed` inflates to,
// into `into`, reading no more input than they need: false when the data
// is broken or holds fewer bytes.
[[nodiscard]] bool inflate_zlib_prefix(Bytes compressed, std::span<unsigned char> into);

// zlib data of exactly `length` bytes that inflates to `content`: the
// content compressed at the first level that fits (6, 9, 12, then the
// others, from the fastest that usually fits), then empty
// deflate blocks before it to fill the rest (a non-final empty stored block
// takes 5 bytes, an empty fixed-Huffman block 10 bits: whole bytes of them
// make 5, 6, 7 and any count from 9 up, and fixed blocks that shift the data
// by a part of a byte the others). Checked by inflating it. None where no
// level leaves room that they can fill: data of a few bytes leaves some
// rooms of up to 8 bytes unfilled.
[[nodiscard]] std::optional<std::vector<unsigned char>> deflate_zlib_exact(
    Bytes content, std::size_t length);

// The empty blocks deflate_zlib_exact puts before the data: exactly `bytes`
// bytes of them, ending on a byte boundary, or none where no such run
// exists (1 to 4 and 8 bytes).
[[nodiscard]] std::optional<std::vector<unsigned char>> empty_deflate_blocks(
    std::size_t bytes);

}  // namespace iccdrop::stream
