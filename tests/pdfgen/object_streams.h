// A generated file's objects packed into one compressed object stream as
// writers store it: /Length direct or in an object of its own, /Filter a
// name or an array, a PNG predictor, zlib at a level or another compressor
// (zopfli), its header's pairs in order or not. Streams stay where they
// are; a cross-reference stream indexes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iccdrop::pdfgen {

struct Packing {
  bool indirect_length = false;  // «/Length 14 0 R» and «14 0 obj 2210 endobj»
  bool filter_array = false;     // «/Filter [/FlateDecode]»
  bool predictor = false;        // «/DecodeParms << /Predictor 12 /Columns 1 >>»
  int level = 6;                 // zlib's level
  bool pairs_reversed = false;   // the header's «number offset» pairs last object first
  // Compresses the object stream's content into zlib data in place of zlib
  // (zopfli); none where it could not.
  std::optional<std::string> (*compress)(std::string_view content) = nullptr;
};

// `pdf` must be a file of the generator's (a classic cross-reference table,
// every object at the offset it lists). None where it is not, with `error`.
[[nodiscard]] std::optional<std::string> pack_objects(std::string_view pdf,
                                                      const Packing& packing,
                                                      std::string& error);

}  // namespace iccdrop::pdfgen
