#include "stream/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace iccdrop::stream {
namespace {

std::vector<unsigned char> bytes_of(const std::string& text) {
  return {text.begin(), text.end()};
}

// zlib's own inflate, not the one under test: the whole data, its check sum
// and nothing after it.
std::optional<std::vector<unsigned char>> zlib_inflate(
    const std::vector<unsigned char>& data, std::size_t expected_size) {
  std::vector<unsigned char> out(expected_size + 1);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  z.next_in = const_cast<unsigned char*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  const bool whole = status == Z_STREAM_END && z.avail_in == 0;
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  if (!whole) return std::nullopt;
  return out;
}

std::vector<unsigned char> zlib_deflate(const std::vector<unsigned char>& content,
                                        int level) {
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  std::vector<unsigned char> out(size);
  EXPECT_EQ(compress2(out.data(), &size, content.data(),
                      static_cast<uLong>(content.size()), level),
            Z_OK);
  out.resize(size);
  return out;
}

// Contents of the kinds object streams hold, and the edges: empty, one byte,
// random bytes (that only stored blocks hold), long repeats.
std::vector<std::vector<unsigned char>> contents() {
  std::vector<std::vector<unsigned char>> all;
  all.push_back({});
  all.push_back(bytes_of("x"));
  std::string objects;
  for (int i = 0; i < 60; ++i) {
    objects += std::to_string(i) + " 0 " + std::to_string(i * 37) + " ";
  }
  for (int i = 0; i < 60; ++i) {
    objects += "<< /ColorSpace << /CS0 /DeviceRGB         /CS1 " + std::to_string(i) +
               " 0 R >> /Font << /F1 9 0 R >> >>\n";
  }
  all.push_back(bytes_of(objects));
  std::mt19937 random(7);
  std::vector<unsigned char> noise(3000);  // 3000 bytes: the one content stored
  for (auto& c : noise) c = static_cast<unsigned char>(random());
  all.push_back(noise);
  all.push_back(std::vector<unsigned char>(70000, 'a'));
  return all;
}

// Every length from the smallest that fits, and a few far above it: the data
// has that length and zlib inflates it to the content. Whole bytes of empty
// blocks fill a room of 0, 5, 6, 7 or 9 bytes and more, which must fit;
// the other rooms (1 to 4 and 8 bytes) are filled by shifting the data by
// fixed blocks, which works for some ends of the data only, and not at all
// for data held in stored blocks (random bytes). For data of a few bits, as
// the empty content's, the rooms from 16 bytes on must fit.
TEST(DeflateExact, EveryLengthFromTheSmallestFitInflatesToTheContentInZlib) {
  for (const auto& content : contents()) {
    SCOPED_TRACE(content.size());
    std::optional<std::size_t> smallest;
    for (std::size_t length = 6; length < content.size() + 200 && !smallest; ++length) {
      if (deflate_zlib_exact(content, length)) smallest = length;
    }
    ASSERT_TRUE(smallest);
    std::vector<std::size_t> extras(40);
    std::iota(extras.begin(), extras.end(), 0);
    extras.insert(extras.end(), {100, 1000, 5000});
    int shifted = 0;
    for (const std::size_t extra : extras) {
      const std::size_t length = *smallest + extra;
      const auto data = deflate_zlib_exact(content, length);
      const bool must_fit =
          content.size() < 100 ? extra >= 16 : extra == 0 || (extra >= 5 && extra != 8);
      if (!data) {
        EXPECT_FALSE(must_fit) << "no data of " << length << " bytes";
        continue;
      }
      if (!must_fit) ++shifted;
      ASSERT_EQ(data->size(), length);
      const auto inflated = zlib_inflate(*data, content.size());
      ASSERT_TRUE(inflated) << "zlib does not inflate the data of " << length << " bytes";
      EXPECT_TRUE(*inflated == content) << length;
      const Inflated ours = inflate_zlib(*data, content.size());
      EXPECT_EQ(ours.status, InflateStatus::kOk);
      EXPECT_EQ(ours.consumed, length);
    }
    // Text compresses into Huffman blocks, which fixed blocks can shift.
    if (content.size() == 5468) {
      EXPECT_GT(shifted, 0);
    }
  }
}

TEST(DeflateExact, NoDataShorterThanTheContentCompresses) {
  const auto content = contents()[2];
  EXPECT_FALSE(deflate_zlib_exact(content, 5));
  EXPECT_FALSE(deflate_zlib_exact(content, 40));
  EXPECT_FALSE(deflate_zlib_exact({}, 5));  // less than header and check sum
}

// The runs of empty blocks: zlib reads them as nothing at all, before a
// final block.
TEST(EmptyDeflateBlocks, MakeEachCountButOneToFourAndEight) {
  for (std::size_t count = 0; count < 64; ++count) {
    SCOPED_TRACE(count);
    const auto blocks = empty_deflate_blocks(count);
    const bool possible = count == 0 || (count >= 5 && count != 8);
    ASSERT_EQ(blocks.has_value(), possible);
    if (!blocks) continue;
    ASSERT_EQ(blocks->size(), count);
    // zlib header, the blocks, a final empty fixed block, the Adler-32 of
    // nothing.
    std::vector<unsigned char> data = {0x78, 0xDA};
    data.insert(data.end(), blocks->begin(), blocks->end());
    for (int c : {0x03, 0x00, 0x00, 0x00, 0x00, 0x01}) {
      data.push_back(static_cast<unsigned char>(c));
    }
    const auto inflated = zlib_inflate(data, 0);
    ASSERT_TRUE(inflated);
    EXPECT_TRUE(inflated->empty());
  }
}

TEST(InflateZlib, BoundsBrokenDataAndWhatFollows) {
  const auto content = contents()[2];
  auto data = zlib_deflate(content, 9);
  const std::size_t size = data.size();
  data.insert(data.end(), {'e', 'n', 'd', 's', 't', 'r', 'e', 'a', 'm'});
  const Inflated whole = inflate_zlib(data, content.size());
  EXPECT_EQ(whole.status, InflateStatus::kOk);
  EXPECT_EQ(whole.consumed, size);  // the data's end, not the buffer's
  EXPECT_TRUE(whole.bytes == content);
  EXPECT_EQ(inflate_zlib(data, content.size() - 1).status, InflateStatus::kTooLarge);
  EXPECT_EQ(inflate_zlib(std::span(data).first(size / 2), content.size()).status,
            InflateStatus::kBroken);
  auto wrong_sum = data;
  wrong_sum[size - 1] ^= 1;
  EXPECT_EQ(inflate_zlib(wrong_sum, content.size()).status, InflateStatus::kBroken);
  EXPECT_EQ(inflate_zlib({}, 10).status, InflateStatus::kBroken);

  // The prefix: as far as asked, from a part of the data.
  std::vector<unsigned char> prefix(128);
  EXPECT_TRUE(inflate_zlib_prefix(std::span(data).first(size / 2), prefix));
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), content.begin()));
  std::vector<unsigned char> too_long(content.size() + 1);
  EXPECT_FALSE(inflate_zlib_prefix(data, too_long));
  EXPECT_FALSE(inflate_zlib_prefix(std::span(data).subspan(2), prefix));  // no header
}

}  // namespace
}  // namespace iccdrop::stream
