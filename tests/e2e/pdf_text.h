// PDF-like inputs for the end-to-end tests, built together with the output
// and the messages the tool must give for them: a page whose resources name
// a colour space «/Cs1 7 0 R», a profile stream «5 0 obj << /N 3 ...», and
// the ICC-based array «7 0 obj [/ICCBased 5 0 R]», placed at chosen offsets.
// The expected output is the input with the array from '[' to ']' replaced
// by the device space's name and spaces; every other byte stays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace iccdrop::e2e {

struct PdfText {
  std::string input;
  std::string expected;  // the output the tool must write
  std::string messages;  // the "Changing ColorSpace" lines, in order
};

// What the array of a profile with this many components becomes; counts 0
// and 2 have no device space and get marker names, larger counts nothing.
inline std::string_view device_space(int components) {
  switch (components) {
    case 0:
      return "*0*";
    case 2:
      return "*2*";
    case 1:
      return "/DeviceGray";
    case 3:
      return "/DeviceRGB";
    case 4:
      return "/DeviceCMYK";
  }
  return "";
}

// Appends `size` bytes of PDF comment lines that hold nothing the tool looks
// for.
inline void append_filler(std::string& text, std::size_t size) {
  while (size > 0) {
    const std::size_t line = std::min<std::size_t>(size, 72);
    if (line == 1) {
      text += '\n';
    } else {
      text += '%';
      text.append(line - 2, 'x');
      text += '\n';
    }
    size -= line;
  }
}

inline void append_both(PdfText& pdf, std::string_view text) {
  pdf.input += text;
  pdf.expected += text;
}

// A file of `size` bytes (at least the objects' length) whose array object
// «7 0 obj» starts at `array_offset` (at least about 160). With components
// above 4 nothing is converted.
inline PdfText convertible_pdf(std::string_view name, int components,
                               std::size_t array_offset, std::size_t size) {
  PdfText pdf;
  append_both(pdf, "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n");
  append_both(pdf, "1 0 obj\n<< /Type /Page /Resources << /ColorSpace << /");
  append_both(pdf, name);
  append_both(pdf, " 7 0 R >> >> >>\nendobj\n5 0 obj\n<< /N ");
  append_both(pdf, std::to_string(components));
  append_both(pdf, " /Length 4 >>\nstream\nabcd\nendstream\nendobj\n");
  std::string filler;
  append_filler(filler, array_offset - pdf.input.size());
  append_both(pdf, filler);
  append_both(pdf, "7 0 obj\n");
  const std::string_view array = "[/ICCBased 5 0 R]";
  pdf.input += array;
  const std::string_view device = device_space(components);
  if (device.empty()) {
    pdf.expected += array;
  } else {
    std::string replaced(device);
    replaced.resize(array.size(), ' ');
    pdf.expected += replaced;
    pdf.messages = "Changing ColorSpace '" + std::string(name.substr(0, 7)) +
                   "' from /ICCBased to " + std::string(device) + "\n";
  }
  append_both(pdf, "\nendobj\n");
  filler.clear();
  append_filler(filler, size - pdf.input.size() - 6);
  append_both(pdf, filler);
  append_both(pdf, "%%EOF\n");
  return pdf;
}

// A PDF-like file of `size` bytes with nothing to convert: the output must be
// a copy.
inline std::string plain_pdf(std::size_t size) {
  return convertible_pdf("Cs1", 9, 200, size).input;
}

}  // namespace iccdrop::e2e
