#include "pdfgen/object_streams.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <map>

namespace iccdrop::pdfgen {
namespace {

std::optional<long> number_at(std::string_view text, std::size_t at) {
  long value = 0;
  const auto [end, ec] =
      std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (ec != std::errc{}) return std::nullopt;
  return value;
}

std::string zlib_compress(std::string_view content, int level) {
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(content.data()),
            static_cast<uLong>(content.size()), level);
  out.resize(size);
  return out;
}

// PNG rows of one byte, each after its filter type 0 (None).
std::string png_rows(std::string_view content) {
  std::string rows;
  for (char c : content) {
    rows.push_back('\0');
    rows.push_back(c);
  }
  return rows;
}

void put_field(std::string& row, unsigned long value, int bytes) {
  for (int b = bytes - 1; b >= 0; --b) {
    row.push_back(static_cast<char>((value >> (8 * b)) & 0xff));
  }
}

}  // namespace

std::optional<std::string> pack_objects(std::string_view pdf, const Packing& packing,
                                        std::string& error) {
  // The objects by number, from the table.
  // «xref» on a line of its own (not the one in «startxref»), LF or CR LF.
  std::size_t xref = pdf.rfind("xref");
  while (xref != std::string_view::npos && xref > 0 && pdf[xref - 1] != '\n') {
    xref = pdf.rfind("xref", xref - 1);
  }
  const std::size_t trailer = pdf.rfind("trailer");
  if (xref == std::string_view::npos || xref == 0 || trailer == std::string_view::npos) {
    error = "no cross-reference table";
    return std::nullopt;
  }
  const std::size_t count_at = pdf.find(' ', xref) + 1;
  const auto count = number_at(pdf, count_at);
  const std::size_t rows = pdf.find('\n', count_at) + 1;
  const std::size_t root_at = pdf.find("/Root ", trailer);
  const std::size_t info_at = pdf.find("/Info ", trailer);
  if (!count || root_at == std::string_view::npos) {
    error = "no object count or /Root";
    return std::nullopt;
  }
  std::map<long, std::string_view> bodies;  // from after «obj» to before «endobj»
  for (long n = 1; n < *count; ++n) {
    const std::string_view row = pdf.substr(rows + 20 * static_cast<std::size_t>(n), 20);
    if (row.size() < 18 || row[17] != 'n') continue;
    const auto offset = number_at(row, 0);
    if (!offset) continue;
    const std::size_t begin = pdf.find("obj", static_cast<std::size_t>(*offset)) + 3;
    std::size_t end = pdf.find("endstream", begin);
    const std::size_t next_endobj = pdf.find("endobj", begin);
    if (end == std::string_view::npos || end > next_endobj) end = begin;
    end = pdf.find("endobj", end);
    bodies[n] = pdf.substr(begin, end - begin);
  }

  // The streams as they are, the other objects into the object stream.
  std::string out = "%PDF-1.5\n%\xE2\xE3\xCF\xD3\n";
  std::map<long, std::size_t> offsets;
  std::map<long, int> indexes;
  std::vector<std::string> pairs;
  std::string objects;
  for (const auto& [n, body] : bodies) {
    if (body.find("stream") != std::string_view::npos) {
      offsets[n] = out.size();
      out.append(std::to_string(n)).append(" 0 obj").append(body).append("endobj\n");
      continue;
    }
    indexes[n] = static_cast<int>(indexes.size());
    pairs.push_back(std::to_string(n) + " " + std::to_string(objects.size()) + " ");
    objects.append(body).push_back('\n');
  }
  if (packing.pairs_reversed) {
    // An object's index is its pair's place in the header.
    std::reverse(pairs.begin(), pairs.end());
    for (auto& [n, index] : indexes) index = static_cast<int>(pairs.size()) - 1 - index;
  }
  std::string header;
  for (const std::string& pair : pairs) header += pair;
  const long stream_number = *count;
  const long length_number = *count + 1;
  const long xref_number = *count + 2;
  header.back() = '\n';
  const std::string content = header + objects;
  std::string data;
  if (packing.compress != nullptr) {
    const auto compressed = packing.compress(content);
    if (!compressed) {
      error = "the compressor failed";
      return std::nullopt;
    }
    data = *compressed;
  } else {
    data = zlib_compress(packing.predictor ? png_rows(content) : content, packing.level);
  }
  offsets[stream_number] = out.size();
  out.append(std::to_string(stream_number)).append(" 0 obj\n<< /Type /ObjStm /N ");
  out.append(std::to_string(indexes.size())).append(" /First ");
  out.append(std::to_string(header.size())).append(" /Length ");
  out.append(packing.indirect_length ? std::to_string(length_number) + " 0 R"
                                     : std::to_string(data.size()));
  out.append(packing.filter_array ? " /Filter [/FlateDecode]" : " /Filter /FlateDecode");
  if (packing.predictor) out.append(" /DecodeParms << /Predictor 12 /Columns 1 >>");
  out.append(" >>\nstream\n").append(data).append("\nendstream\nendobj\n");
  if (packing.indirect_length) {
    offsets[length_number] = out.size();
    out.append(std::to_string(length_number)).append(" 0 obj\n");
    out.append(std::to_string(data.size())).append("\nendobj\n");
  }

  // The cross-reference stream: type, offset or object stream, generation
  // or index.
  std::string table;
  for (long n = 0; n <= xref_number; ++n) {
    if (const auto at = indexes.find(n); at != indexes.end()) {
      put_field(table, 2, 1);
      put_field(table, static_cast<unsigned long>(stream_number), 4);
      put_field(table, static_cast<unsigned long>(at->second), 2);
    } else if (const auto offset = offsets.find(n); offset != offsets.end()) {
      put_field(table, 1, 1);
      put_field(table, offset->second, 4);
      put_field(table, 0, 2);
    } else if (n == xref_number) {
      put_field(table, 1, 1);
      put_field(table, out.size(), 4);
      put_field(table, 0, 2);
    } else {
      put_field(table, 0, 1);
      put_field(table, 0, 4);
      put_field(table, n == 0 ? 65535 : 0, 2);
    }
  }
  const std::size_t xref_offset = out.size();
  // «/Root 1 0 R» as the trailer has it.
  const auto reference_after = [&](std::size_t key) {
    const std::size_t end = pdf.find(" R", key);
    return std::string(pdf.substr(key, end + 2 - key));
  };
  out.append(std::to_string(xref_number)).append(" 0 obj\n<< /Type /XRef /Size ");
  out.append(std::to_string(xref_number + 1)).append(" /W [1 4 2] ");
  out.append(reference_after(root_at));
  if (info_at != std::string_view::npos) out.append(" ").append(reference_after(info_at));
  out.append(" /Length ").append(std::to_string(table.size())).append(" >>\nstream\n");
  out.append(table).append("\nendstream\nendobj\nstartxref\n");
  out.append(std::to_string(xref_offset)).append("\n%%EOF\n");
  return out;
}

}  // namespace iccdrop::pdfgen
