#include "pdfgen/pdf_writer.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

namespace iccdrop::pdfgen {

std::uint32_t adler32(std::span<const unsigned char> data) {
  constexpr std::uint32_t kModulus = 65521;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (unsigned char byte : data) {
    a = (a + byte) % kModulus;
    b = (b + a) % kModulus;
  }
  return (b << 16) | a;
}

std::string flate_stored(std::span<const unsigned char> data) {
  // 0x78 0x01: deflate, 32K window, no preset dictionary, fastest level;
  // 0x7801 is a multiple of 31 as the header check requires.
  std::string out = {'\x78', '\x01'};
  constexpr std::size_t kMaxBlock = 65535;
  std::size_t pos = 0;
  do {
    const std::size_t n = std::min(kMaxBlock, data.size() - pos);
    const bool last = pos + n == data.size();
    const auto len = static_cast<std::uint16_t>(n);
    const auto nlen = static_cast<std::uint16_t>(~len);
    out += static_cast<char>(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored)
    out += static_cast<char>(len & 0xFF);
    out += static_cast<char>(len >> 8);
    out += static_cast<char>(nlen & 0xFF);
    out += static_cast<char>(nlen >> 8);
    out.append(reinterpret_cast<const char*>(data.data() + pos), n);
    pos += n;
  } while (pos < data.size());
  const std::uint32_t check = adler32(data);
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += static_cast<char>((check >> shift) & 0xFF);
  }
  return out;
}

PdfWriter::PdfWriter(LineEnd line_end) : line_end_(line_end) {}

std::string PdfWriter::with_line_ends(std::string_view text) const {
  if (line_end_ == LineEnd::kLf) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

void PdfWriter::write_header(std::size_t extra) {
  assert(bytes_.empty());
  bytes_ += with_line_ends("%PDF-1.3\n");
  // Quartz's second line: high bytes that mark the file as binary.
  bytes_ += "%\xC4\xE5\xF2\xE5\xEB\xA7\xF3\xA0\xD0\xC4\xC6";
  bytes_.append(extra, '\xA0');
  bytes_ += with_line_ends("\n");
}

std::string PdfWriter::render(const PdfObject& object) const {
  std::string text = with_line_ends(std::to_string(object.number) + " 0 obj\n" +
                                    object.body + (object.end_on_body_line ? "" : "\n"));
  if (object.stream) {
    text += with_line_ends("stream\n");
    text += *object.stream;
    text += with_line_ends("\nendstream\n");
  }
  text += with_line_ends("endobj\n");
  return text;
}

void PdfWriter::append(const PdfObject& object) {
  offsets_.emplace_back(object.number, bytes_.size());
  const std::string text = render(object);
  if (object.stream) {
    const std::size_t start = bytes_.size() + text.find(*object.stream);
    stream_ranges_.emplace_back(start, start + object.stream->size());
  }
  bytes_ += text;
}

std::size_t PdfWriter::min_comment_length() const {
  return line_end_ == LineEnd::kLf ? 2 : 3;
}

void PdfWriter::append_comment(std::size_t length) {
  assert(length >= min_comment_length());
  const std::size_t eol = line_end_ == LineEnd::kLf ? 1 : 2;
  bytes_ += '%';
  bytes_.append(length - 1 - eol, '-');
  bytes_ += with_line_ends("\n");
}

void PdfWriter::finish(int root, int info, std::string_view id_hex) {
  std::sort(offsets_.begin(), offsets_.end());
  const std::size_t xref_offset = bytes_.size();
  const int size = static_cast<int>(offsets_.size()) + 1;
  // Each entry is exactly 20 bytes: the line end is « \n» or «\r\n».
  const char* entry_end = line_end_ == LineEnd::kLf ? " \n" : "\r\n";
  bytes_ += with_line_ends("xref\n0 " + std::to_string(size) + "\n");
  bytes_ += std::string("0000000000 65535 f") + entry_end;
  int expected = 1;
  for (const auto& [number, offset] : offsets_) {
    assert(number == expected);
    (void)number;
    ++expected;
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n%s", offset, entry_end);
    bytes_ += entry;
  }
  bytes_ +=
      with_line_ends("trailer\n<< /Size " + std::to_string(size) + " /Root " +
                     std::to_string(root) + " 0 R /Info " + std::to_string(info) +
                     " 0 R /ID [ <" + std::string(id_hex) + ">\n<" + std::string(id_hex) +
                     "> ] >>\nstartxref\n" + std::to_string(xref_offset) + "\n%%EOF\n");
}

}  // namespace iccdrop::pdfgen
