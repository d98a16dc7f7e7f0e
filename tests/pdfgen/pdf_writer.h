// Writes the bytes of a PDF file the way the macOS Quartz writer lays them
// out: a header, uncompressed objects whose offsets are recorded as they are
// appended, an xref table and a trailer. It knows nothing about colour; the
// case builder decides what the objects hold and in which order they come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace iccdrop::pdfgen {

enum class LineEnd { kLf, kCrLf };

// A zlib stream (RFC 1950) of stored deflate blocks (RFC 1951, BTYPE 00) with
// its Adler-32: valid /FlateDecode data written without a compressor. Every
// block holds at most 65535 bytes; an empty input still gets one final block.
[[nodiscard]] std::string flate_stored(std::span<const unsigned char> data);
[[nodiscard]] std::uint32_t adler32(std::span<const unsigned char> data);

// One indirect object. `body` is its text between «N 0 obj» and «endobj» (or
// «stream»), written with '\n' line ends that the writer turns into the
// file's own; `stream` holds raw stream data, written untouched.
struct PdfObject {
  int number = 0;
  std::string body;
  std::optional<std::string> stream;
  bool end_on_body_line = false;  // «…]endobj»: no line end before «endobj»
};

class PdfWriter {
 public:
  explicit PdfWriter(LineEnd line_end);

  // «%PDF-1.3» and a comment of high bytes, as Quartz writes them. `extra`
  // lengthens the comment by that many bytes, moving everything after it.
  void write_header(std::size_t extra);
  // The object's full text as it will be written, for measuring before
  // appending: «N 0 obj», body, stream, «endobj», each line ended.
  [[nodiscard]] std::string render(const PdfObject& object) const;
  // Appends the rendered object and records its offset for the xref table.
  void append(const PdfObject& object);
  // Appends a comment line of exactly `length` bytes (at least 2 with LF line
  // ends, 3 with CRLF), used to move the next object to a chosen offset.
  void append_comment(std::size_t length);
  [[nodiscard]] std::size_t min_comment_length() const;
  // xref table over objects 0..max, «trailer», «startxref», «%%EOF». Object
  // numbers must run from 1 without gaps.
  void finish(int root, int info, std::string_view id_hex);

  [[nodiscard]] std::size_t offset() const { return bytes_.size(); }
  [[nodiscard]] const std::string& bytes() const { return bytes_; }
  // Byte ranges [first, second) holding stream data.
  [[nodiscard]] const std::vector<std::pair<std::size_t, std::size_t>>& stream_ranges()
      const {
    return stream_ranges_;
  }

 private:
  [[nodiscard]] std::string with_line_ends(std::string_view text) const;

  LineEnd line_end_;
  std::string bytes_;
  std::vector<std::pair<int, std::size_t>> offsets_;  // object number, file offset
  std::vector<std::pair<std::size_t, std::size_t>> stream_ranges_;
};

}  // namespace iccdrop::pdfgen
