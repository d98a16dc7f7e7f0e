// --all's object-stream path over arbitrary object-stream content: the
// first bytes choose how the stream is stored (zlib's level, data cut short
// or with a byte changed, a /Length too short or too long or an indirect
// one, /N and /First from the input or from its header, a decompression
// bomb in place of the data), the rest is the content, compressed by zlib.
// The file holds profiles 5 0 (/N 3) and 6 0 (/N 4) before the stream.
// Checks:
// - pass 1, the reading of the streams and their rewrite neither crash nor
//   read or write outside the file;
// - a rewritten stream has the data's length exactly, lies where the data
//   lay, and zlib inflates it to content of the old content's size that
//   differs from it only where an ICC-based array became a device name
//   and spaces;
// - a stream that inflates past the bound is left unread.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "colorspace/all_spaces.h"
#include "engine/object_stream.h"
#include "stream/window_stream.h"
#include "support/memory_io.h"

namespace {

std::string zlib_compress(std::string_view content, int level) {
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(content.data()),
                static_cast<uLong>(content.size()), level) != Z_OK) {
    std::abort();
  }
  out.resize(size);
  return out;
}

std::optional<std::string> zlib_inflate(std::string_view data) {
  std::string out(std::size_t{1} << 20, '\0');
  uLongf size = static_cast<uLongf>(out.size());
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                 reinterpret_cast<const Bytef*>(data.data()),
                 static_cast<uLong>(data.size())) != Z_OK) {
    return std::nullopt;
  }
  out.resize(size);
  return out;
}

// 65 MiB of spaces, compressed once: past the bound.
const std::string& bomb() {
  static const std::string data =
      zlib_compress(std::string(iccdrop::engine::kMaxObjectStream + (1 << 20), ' '), 9);
  return data;
}

// Every byte where `after` differs from `before` lies in an array of
// `before` from '[' to ']' holding «/ICCBased» that became a device name
// and spaces.
bool only_arrays_differ(std::string_view before, std::string_view after) {
  if (before.size() != after.size()) return false;
  std::size_t i = 0;
  while (i < before.size()) {
    if (before[i] == after[i]) {
      ++i;
      continue;
    }
    if (before[i] != '[') return false;
    std::size_t name = 0;
    for (std::string_view device : {"/DeviceGray", "/DeviceRGB", "/DeviceCMYK"}) {
      if (after.substr(i).starts_with(device)) name = device.size();
    }
    if (name == 0) return false;
    std::size_t end = i + name;
    while (end < after.size() && after[end] == ' ' && before[end] != ']') ++end;
    if (end >= before.size() || before[end] != ']' || after[end] != ' ') return false;
    if (before.substr(i, end - i).find("/ICCBased") == std::string_view::npos)
      return false;
    i = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t level = data[0] % 10;
  const std::uint8_t shape = data[1];
  const std::uint8_t cut = data[2];
  const std::uint8_t header = data[3];
  const std::string content(reinterpret_cast<const char*>(data) + 4, size - 4);

  const bool is_bomb = (shape & 0x80) != 0 && (shape & 0x40) != 0;
  std::string zlib_data = is_bomb ? bomb() : zlib_compress(content, level);
  if (shape & 0x01) zlib_data.resize(zlib_data.size() * cut / 256);  // cut short
  if ((shape & 0x02) && !zlib_data.empty()) zlib_data[cut % zlib_data.size()] ^= 0x20;
  std::size_t length = zlib_data.size();
  if (shape & 0x04) length = length * cut / 128;  // too short or too long
  // /N and /First: from the content's «number offset» pairs, or the input's.
  std::size_t first = content.find_first_not_of("0123456789 \n\r");
  if (first == std::string::npos) first = content.size();
  std::size_t pairs = 0;
  for (std::size_t at = 0, words = 0; at < first; ++at) {
    if ((content[at] >= '0' && content[at] <= '9') &&
        (at == 0 || content[at - 1] < '0' || content[at - 1] > '9')) {
      pairs = ++words / 2;
    }
  }
  if (shape & 0x08) first = header;
  if (shape & 0x10) pairs = header % 8;

  std::string file =
      "%PDF-1.5\n5 0 obj\n<< /N 3 /Length 3 >>\nstream\nabc\nendstream\nendobj\n"
      "6 0 obj\n<< /Length 3 /N 4 >>\nstream\nxyz\nendstream\nendobj\n";
  file += "7 0 obj\n<< /Type /ObjStm /N " + std::to_string(pairs) + " /First " +
          std::to_string(first) + " /Filter /FlateDecode /Length " +
          ((shape & 0x20) ? std::string("8 0 R") : std::to_string(length)) +
          " >>\nstream\n";
  const std::size_t data_offset = file.size();
  file += zlib_data;
  file += "\nendstream\nendobj\n8 0 obj\n" + std::to_string(length) + "\nendobj\n";
  file += "trailer\n<< /Root 1 0 R >>\n%%EOF\n";

  iccdrop::colorspace::AllSpaces facts;
  iccdrop::testing::MemorySource source(file);
  const auto pass1 = iccdrop::stream::run_pass(
      source, nullptr,
      iccdrop::stream::RunStep([&](const iccdrop::stream::PlacedWindow& window) {
        (void)iccdrop::colorspace::collect_window_all(window.bytes, window.before, facts,
                                                      window.offset);
        return false;
      }));
  if (pass1.status != iccdrop::stream::PassStatus::kOk) std::abort();

  iccdrop::testing::MemoryFile input(
      std::vector<unsigned char>(file.begin(), file.end()));
  const auto notes = iccdrop::engine::read_streams(input, file.size(), facts);
  for (const auto& note : notes) {
    const auto& stream = facts.streams()[note.stream];
    if (stream.data != data_offset) std::abort();
    if (is_bomb && note.reason.empty()) std::abort();  // read past the bound
    if (!note.reason.empty()) continue;
    const auto rewritten = iccdrop::engine::rewrite_object_stream(
        input, file.size(), stream, facts, [](const iccdrop::colorspace::Change&) {},
        [](const iccdrop::colorspace::Leave&) {});
    if (!rewritten) continue;
    if (rewritten->offset != data_offset ||
        rewritten->offset + rewritten->bytes.size() > data_offset + zlib_data.size()) {
      std::abort();
    }
    const std::string_view old_data(file.data() + data_offset, rewritten->bytes.size());
    const std::string new_data(rewritten->bytes.begin(), rewritten->bytes.end());
    const auto old_content = zlib_inflate(old_data);
    const auto new_content = zlib_inflate(new_data);
    if (!old_content || !new_content || !only_arrays_differ(*old_content, *new_content)) {
      std::abort();
    }
  }
  return 0;
}
