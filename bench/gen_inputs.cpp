// Writes the large inputs that bench/run.sh times iccdrop on: a realistic PDF
// in the style of the macOS writer, four adversarial byte soups and the two
// scale files with many distinct colour spaces. Output is deterministic for a
// given kind and size.
//
//   iccdrop_bench_gen realistic   OUT BYTES   thousands of pages, Flate streams
//   iccdrop_bench_gen digits      OUT BYTES   digit runs, gap bytes and /N
//   iccdrop_bench_gen digit-run   OUT BYTES   one digit run, /N every 4 KiB
//   iccdrop_bench_gen near-misses OUT BYTES   /Cs, /ICCBased, obj, << almost
//   iccdrop_bench_gen random      OUT BYTES   uniformly random bytes
//   iccdrop_bench_gen scale       OUT COUNT   COUNT colour spaces, packed
//   iccdrop_bench_gen objects     OUT BYTES   pages of many small objects, for
//                                             qpdf --object-streams=generate
//   iccdrop_bench_gen objects-quiet OUT BYTES the same with device spaces only
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "random.h"

namespace {

using iccdrop::bench::Random;

// A buffered file writer that knows its offset, for the xref table.
class Writer {
 public:
  explicit Writer(const char* path) : file_(std::fopen(path, "wb")) {
    if (file_ == nullptr) {
      std::perror(path);
      std::exit(1);
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  }
  ~Writer() {
    if (std::fclose(file_) != 0) {
      std::perror("close");
      std::exit(1);
    }
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void put(std::string_view text) { put(text.data(), text.size()); }
  void put(const void* data, std::size_t n) {
    if (std::fwrite(data, 1, n, file_) != n) {
      std::perror("write");
      std::exit(1);
    }
    offset_ += n;
  }
  std::uint64_t offset() const { return offset_; }

 private:
  std::FILE* file_;
  std::uint64_t offset_ = 0;
};

std::string str(std::uint64_t n) { return std::to_string(n); }

// A zlib stream of stored blocks: valid Flate data, no compressor needed.
std::string zlib_stored(std::string_view data) {
  std::string out = "\x78\x01";
  std::size_t pos = 0;
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  do {
    const std::size_t n = std::min<std::size_t>(65535, data.size() - pos);
    const bool last = pos + n == data.size();
    const auto len = static_cast<std::uint16_t>(n);
    const auto nlen = static_cast<std::uint16_t>(~len);
    out += static_cast<char>(last ? 1 : 0);
    out += static_cast<char>(len & 0xFF);
    out += static_cast<char>(len >> 8);
    out += static_cast<char>(nlen & 0xFF);
    out += static_cast<char>(nlen >> 8);
    out.append(data.substr(pos, n));
    pos += n;
  } while (pos < data.size());
  const std::uint32_t adler = (b << 16) | a;
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>((adler >> shift) & 0xFF);
  return out;
}

// A PDF with objects numbered in order of writing and a correct xref table.
class PdfWriter {
 public:
  explicit PdfWriter(const char* path) : out_(path) {
    out_.put("%PDF-1.3\n%\xC4\xE5\xF2\xE5\xEB\xA7\xF3\xA0\xD0\xC4\xC6\n");
  }
  // Object numbers are handed out before the objects are written, since
  // pages refer to objects that follow them, as the macOS writer does.
  std::uint64_t reserve() {
    offsets_.push_back(0);
    return offsets_.size();
  }
  void begin(std::uint64_t object) {
    offsets_[object - 1] = out_.offset();
    out_.put(str(object) + " 0 obj\n");
  }
  void end() { out_.put("endobj\n"); }
  void object(std::uint64_t object, std::string_view body) {
    begin(object);
    out_.put(body);
    out_.put("\n");
    end();
  }
  void stream(std::uint64_t object, std::string_view dictionary_head,
              std::string_view data) {
    begin(object);
    out_.put("<< " + std::string(dictionary_head) + " /Length " + str(data.size()) +
             " /Filter /FlateDecode >>\nstream\n");
    out_.put(data);
    out_.put("\nendstream\n");
    end();
  }
  Writer& raw() { return out_; }
  // The page tree over `kids`, the catalog and the document information,
  // then the xref table and the trailer.
  void finish_pages(std::uint64_t pages, const std::vector<std::uint64_t>& kids,
                    std::uint64_t catalog, std::uint64_t info,
                    std::string_view info_body) {
    std::string kid_list;
    for (std::uint64_t kid : kids) kid_list += str(kid) + " 0 R ";
    object(pages, "<< /Type /Pages /MediaBox [0 0 612 792] /Count " + str(kids.size()) +
                      " /Kids [ " + kid_list + "] >>");
    object(catalog, "<< /Type /Catalog /Pages " + str(pages) + " 0 R >>");
    object(info, info_body);
    finish(catalog, info);
  }
  void finish(std::uint64_t root, std::uint64_t info) {
    const std::uint64_t xref = out_.offset();
    out_.put("xref\n0 " + str(offsets_.size() + 1) + "\n0000000000 65535 f\r\n");
    char row[32];
    for (std::uint64_t offset : offsets_) {
      std::snprintf(row, sizeof row, "%010llu 00000 n\r\n",
                    static_cast<unsigned long long>(offset));
      out_.put(row, 20);
    }
    out_.put("trailer\n<< /Size " + str(offsets_.size() + 1) + " /Root " + str(root) +
             " 0 R /Info " + str(info) + " 0 R >>\nstartxref\n" + str(xref) +
             "\n%%EOF\n");
  }

 private:
  Writer out_;
  std::vector<std::uint64_t> offsets_;
};

// About 1 GiB in pages of ~330 KiB: each page has an RGB and a gray ICC
// colour space of its own (resource entry, profile stream with /N first,
// [/ICCBased] array), a Flate content stream that paints with them, and a
// Flate image of random bytes.
void realistic(const char* path, std::uint64_t bytes) {
  constexpr std::size_t kImageBytes = 320 * 1024;
  constexpr std::size_t kProfileBytes = 3144;
  Random random(1);
  const std::uint64_t pages =
      std::max<std::uint64_t>(1, bytes / (kImageBytes + 12 * 1024));
  PdfWriter pdf(path);
  const std::uint64_t pages_object = pdf.reserve();
  const std::uint64_t catalog = pdf.reserve();
  const std::uint64_t info = pdf.reserve();
  std::vector<std::uint64_t> kids;
  std::string image(kImageBytes, '\0');
  std::string profile(kProfileBytes, '\0');
  for (std::uint64_t page = 0; page < pages; ++page) {
    const std::uint64_t page_object = pdf.reserve(), content = pdf.reserve(),
                        resources = pdf.reserve(), rgb_space = pdf.reserve(),
                        rgb_profile = pdf.reserve(), gray_space = pdf.reserve(),
                        gray_profile = pdf.reserve(), image_object = pdf.reserve();
    kids.push_back(page_object);
    pdf.object(page_object, "<< /Type /Page /Parent " + str(pages_object) +
                                " 0 R /Resources " + str(resources) + " 0 R /Contents " +
                                str(content) + " 0 R /MediaBox [0 0 612 792] >>");
    std::string text;
    for (int line = 0; line < 40; ++line) {
      text += "q /Cs1 cs 0.1 0.2 0.3 sc " + str(10 * line) +
              " 10 100 100 re f Q q /Cs2 CS 0.5 SC 1 w 0 " + str(line) + " m 612 " +
              str(line) + " l S Q\n";
    }
    text += "q 600 0 0 400 6 300 cm /Im1 Do Q\n";
    pdf.stream(content, "", zlib_stored(text));
    pdf.object(resources, "<< /ProcSet [ /PDF /ImageC ] /ColorSpace << /Cs1 " +
                              str(rgb_space) + " 0 R /Cs2 " + str(gray_space) +
                              " 0 R >> /XObject << /Im1 " + str(image_object) +
                              " 0 R >> >>");
    pdf.object(rgb_space, "[ /ICCBased " + str(rgb_profile) + " 0 R ]");
    random.fill(reinterpret_cast<unsigned char*>(profile.data()), profile.size());
    pdf.stream(rgb_profile, "/N 3 /Alternate /DeviceRGB", zlib_stored(profile));
    pdf.object(gray_space, "[ /ICCBased " + str(gray_profile) + " 0 R ]");
    random.fill(reinterpret_cast<unsigned char*>(profile.data()), profile.size());
    pdf.stream(gray_profile, "/N 1 /Alternate /DeviceGray", zlib_stored(profile));
    random.fill(reinterpret_cast<unsigned char*>(image.data()), image.size());
    pdf.stream(image_object,
               "/Type /XObject /Subtype /Image /Width 320 /Height 341 /Interpolate true "
               "/ColorSpace " +
                   str(rgb_space) + " 0 R /SMask null /BitsPerComponent 8",
               zlib_stored(image));
  }
  pdf.finish_pages(
      pages_object, kids, catalog, info,
      "<< /Producer (macOS Version 14.4 \\(Build 23E214\\) Quartz PDFContext) "
      "/CreationDate (D:20240501120000Z00'00') >>");
}

constexpr std::string_view kGaps{" \n\r\t\0", 5};

// Emits pieces from `next_piece` until `bytes` are written, in 1 MiB blocks.
template <typename Piece>
void soup(const char* path, std::uint64_t bytes, Piece next_piece) {
  Writer out(path);
  std::string block;
  while (out.offset() < bytes) {
    block.clear();
    while (block.size() < (1u << 20)) next_piece(block);
    out.put(block.data(), std::min<std::uint64_t>(block.size(), bytes - out.offset()));
  }
}

void digit_string(Random& random, std::string& out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out += static_cast<char>('0' + random.below(10));
}

// Runs of 1 to 24 digits between runs of gap bytes, with "/N" (and now and
// then "obj" and "<<") in between: every run is a candidate first token of
// the profile stream pattern, and every window holds its anchor.
void digits(const char* path, std::uint64_t bytes) {
  Random random(2);
  soup(path, bytes, [&](std::string& out) {
    digit_string(random, out, 1 + random.below(24));
    const std::size_t gaps = 1 + random.below(3);
    for (std::size_t i = 0; i < gaps; ++i) out += kGaps[random.below(kGaps.size())];
    switch (random.below(16)) {
      case 0:
        out += "/N ";
        break;
      case 1:
        out += "obj ";
        break;
      case 2:
        out += "<< /N ";
        break;
      case 3:
        out += "obj << ";
        break;
      default:
        break;
    }
  });
}

// One digit run through the whole file, broken only by "/N" every 4096 bytes.
void digit_run(const char* path, std::uint64_t bytes) {
  Random random(3);
  soup(path, bytes, [&](std::string& out) {
    digit_string(random, out, 4094);
    out += "/N";
  });
}

// Almost every piece almost matches one of the three patterns and fails at
// its end.
void near_misses(const char* path, std::uint64_t bytes) {
  static constexpr std::string_view kPieces[] = {
      "/Cs1 7 0 ",
      "/Cs12 7 0 Rx",
      "/CsA 7 R ",
      "/Cs /Cs/Cs ",
      "/Csx [/ICCBased 5 0 R] ",
      "/ICCBased 5 0 R ",
      "7 0 obj [/ICCBased 5 0 R ",
      "7 0 obj [/ICCBased 5 R] ",
      "7 0 obj [/ICCBase 5 0 R] ",
      "7 0 obj /ICCBased 5 0 R] ",
      "7 0 endobj [/ICCBasedX 5 0 R] ",
      "5 0 obj << /Length 9 /N 3 ",
      "5 0 obj <</Name 3 ",
      "5 0 obj < /N 3 ",
      "5 0 obj\r\n<<\r\n/N x ",
      "5 obj << /N 3 ",
      "endobj ",
      "<<<< ",
      "obj obj obj ",
      "12 0 obj 3 4 obj << ",
      "/N /N /N ",
      "/I /IC /ICC /ICCB ",
      "0 0 0 0 0 ",
  };
  Random random(4);
  soup(path, bytes, [&](std::string& out) {
    // One piece in 512 is a real resource entry, profile or array, so that
    // the misses sit around matches and some arrays are converted.
    if (random.below(512) == 0) {
      const std::string a = str(random.below(20)), b = str(random.below(2));
      switch (random.below(3)) {
        case 0:
          out += "/Cs" + str(random.below(100)) + " " + a + " " + b + " R ";
          break;
        case 1:
          out += a + " " + b + " obj << /N " + str(random.below(6)) + " ";
          break;
        default:
          out += a + " " + b + " obj [/ICCBased " + str(random.below(20)) + " 0 R] ";
          break;
      }
    }
    out += kPieces[random.below(std::size(kPieces))];
    if (random.below(4) == 0) out += kGaps[random.below(kGaps.size())];
  });
}

void random_bytes(const char* path, std::uint64_t bytes) {
  Random random(5);
  soup(path, bytes, [&](std::string& out) {
    const std::size_t at = out.size();
    out.resize(at + 4096);
    random.fill(reinterpret_cast<unsigned char*>(out.data() + at), 4096);
  });
}

// `count` colour spaces, each with a resource entry, a profile stream and an
// array of its own, packed tightly: pages of 16 resource entries, each page
// followed by the 16 arrays and 16 profile streams (empty streams). With
// `wide`, written as Acrobat writes them, for --all: the profiles begin
// with /Length, the names with /CS, and every other array is written
// directly in the resource dictionary; the default mode converts none.
void scale(const char* path, std::uint64_t count, bool wide) {
  constexpr std::uint64_t kPerPage = 16;
  static constexpr std::string_view kAlternates[] = {"", "/DeviceGray", "", "/DeviceRGB",
                                                     "/DeviceCMYK"};
  static constexpr std::uint64_t kComponents[] = {1, 3, 4};
  PdfWriter pdf(path);
  const std::uint64_t pages_object = pdf.reserve();
  const std::uint64_t catalog = pdf.reserve();
  const std::uint64_t info = pdf.reserve();
  std::vector<std::uint64_t> kids;
  for (std::uint64_t first = 0; first < count; first += kPerPage) {
    const std::uint64_t n = std::min(kPerPage, count - first);
    const std::uint64_t page = pdf.reserve();
    kids.push_back(page);
    std::vector<std::uint64_t> spaces, profiles;
    std::string entries;
    for (std::uint64_t i = 0; i < n; ++i) {
      const bool direct = wide && i % 2 == 1;
      spaces.push_back(direct ? 0 : pdf.reserve());
      profiles.push_back(pdf.reserve());
      entries += (wide ? "/CS" : "/Cs") + str(first + i + 1) + " " +
                 (direct ? "[/ICCBased " + str(profiles.back()) + " 0 R]"
                         : str(spaces.back()) + " 0 R") +
                 " ";
    }
    pdf.object(page, "<< /Type /Page /Parent " + str(pages_object) +
                         " 0 R /Resources << /ColorSpace << " + entries + ">> >> >>");
    for (std::uint64_t i = 0; i < n; ++i) {
      if (spaces[i] != 0) {
        pdf.object(spaces[i], "[ /ICCBased " + str(profiles[i]) + " 0 R ]");
      }
      const std::uint64_t components = kComponents[(first + i) % 3];
      const std::string n_key = "/N " + str(components);
      const std::string alternate = " /Alternate " + std::string(kAlternates[components]);
      pdf.begin(profiles[i]);
      pdf.raw().put(
          wide ? "<< /Length 0 " + n_key + alternate + " >>\nstream\n\nendstream\n"
               : "<< " + n_key + alternate + " /Length 0 >>\nstream\n\nendstream\n");
      pdf.end();
    }
  }
  pdf.finish_pages(pages_object, kids, catalog, info, "<< /Producer (iccdrop bench) >>");
}

// Pages of ~45 KiB before packing: a 24 KiB Flate image of random bytes,
// and 160 small objects (link annotations, ~150 bytes each), which qpdf
// packs into object streams, with the page's resources. Each page names an
// RGB colour space written directly in its resources, on one shared
// profile: every object stream then holds arrays to rewrite. `quiet`
// writes /DeviceRGB instead: the object streams are read and none changes.
void objects(const char* path, std::uint64_t bytes, bool quiet) {
  constexpr std::size_t kImageBytes = 24 * 1024;
  constexpr int kAnnotations = 160;
  Random random(3);
  const std::uint64_t pages = std::max<std::uint64_t>(1, bytes / (45 * 1024));
  PdfWriter pdf(path);
  const std::uint64_t pages_object = pdf.reserve();
  const std::uint64_t catalog = pdf.reserve();
  const std::uint64_t info = pdf.reserve();
  const std::uint64_t profile = pdf.reserve();
  std::string profile_data(3144, '\0');
  random.fill(reinterpret_cast<unsigned char*>(profile_data.data()), profile_data.size());
  pdf.stream(profile, "/N 3 /Alternate /DeviceRGB", zlib_stored(profile_data));
  std::vector<std::uint64_t> kids;
  std::string image(kImageBytes, '\0');
  for (std::uint64_t page = 0; page < pages; ++page) {
    const std::uint64_t page_object = pdf.reserve(), image_object = pdf.reserve();
    kids.push_back(page_object);
    std::string annotations;
    std::vector<std::uint64_t> numbers;
    for (int a = 0; a < kAnnotations; ++a) numbers.push_back(pdf.reserve());
    for (std::uint64_t n : numbers) annotations += str(n) + " 0 R ";
    const std::string space =
        quiet ? "/DeviceRGB" : "[/ICCBased " + str(profile) + " 0 R]";
    pdf.object(page_object, "<< /Type /Page /Parent " + str(pages_object) +
                                " 0 R /Resources << /ColorSpace << /CS0 " + space +
                                " >> /XObject << /Im1 " + str(image_object) +
                                " 0 R >> >> /Annots [ " + annotations +
                                "] /MediaBox [0 0 612 792] >>");
    random.fill(reinterpret_cast<unsigned char*>(image.data()), image.size());
    pdf.stream(
        image_object,
        "/Type /XObject /Subtype /Image /Width 128 /Height 64 /ColorSpace /DeviceRGB "
        "/BitsPerComponent 8",
        zlib_stored(image));
    for (int a = 0; a < kAnnotations; ++a) {
      const std::uint64_t x = random.next() % 500, y = random.next() % 700;
      pdf.object(numbers[static_cast<std::size_t>(a)],
                 "<< /Type /Annot /Subtype /Link /Rect [ " + str(x) + " " + str(y) + " " +
                     str(x + 40) + " " + str(y + 12) +
                     " ] /Border [ 0 0 0 ] /A << /S /URI /URI (https://example.com/p" +
                     str(page) + "/" + str(random.next() % 100000) + ") >> >>");
    }
  }
  pdf.finish_pages(pages_object, kids, catalog, info, "<< /Producer (iccdrop bench) >>");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs(
        "usage: iccdrop_bench_gen KIND OUT SIZE\n"
        "  KIND: realistic digits digit-run near-misses random (SIZE in bytes)\n"
        "        scale scale-wide (SIZE = number of colour spaces)\n"
        "        objects objects-quiet (SIZE in bytes)\n",
        stderr);
    return 2;
  }
  const std::string_view kind = argv[1];
  const char* path = argv[2];
  const std::uint64_t size = std::strtoull(argv[3], nullptr, 10);
  if (kind == "realistic") {
    realistic(path, size);
  } else if (kind == "digits") {
    digits(path, size);
  } else if (kind == "digit-run") {
    digit_run(path, size);
  } else if (kind == "near-misses") {
    near_misses(path, size);
  } else if (kind == "random") {
    random_bytes(path, size);
  } else if (kind == "scale" || kind == "scale-wide") {
    scale(path, size, kind == "scale-wide");
  } else if (kind == "objects" || kind == "objects-quiet") {
    objects(path, size, kind == "objects-quiet");
  } else {
    std::fprintf(stderr, "unknown kind %s\n", argv[1]);
    return 2;
  }
  return 0;
}
