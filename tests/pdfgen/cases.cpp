#include "pdfgen/cases.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "pdfgen/icc_profile.h"

namespace iccdrop::pdfgen {
namespace {

constexpr std::size_t kChunk = 4096;  // iccdrop's read size: the boundaries we aim at
constexpr int kPageSize = 288;        // points; 144 pixels at 36 dpi
constexpr int kImageSize = 16;        // samples per row and column

}  // namespace

int components_of(Profile profile) {
  switch (profile) {
    case Profile::kGray:
    case Profile::kGraySrgb:
      return 1;
    case Profile::kRgb:
      return 3;
    default:
      return 4;
  }
}

namespace {

const char* alternate(Profile profile) {
  switch (components_of(profile)) {
    case 1:
      return "/DeviceGray";
    case 3:
      return "/DeviceRGB";
    default:
      return "/DeviceCMYK";
  }
}

std::optional<std::string> load_profile(Profile profile, const std::string& dir,
                                        std::string& error) {
  const char* file = nullptr;
  switch (profile) {
    case Profile::kCmyk:
      return make_cmyk_profile(5);
    case Profile::kCmykSmall:
      return make_cmyk_profile(3);
    case Profile::kGray:
      file = "Gray.icc";
      break;
    case Profile::kRgb:
      file = "sRGB.icc";
      break;
    case Profile::kGraySrgb:
      file = "ghostscript/default_gray.icc";
      break;
    case Profile::kCmykLarge:
      file = "ghostscript/default_cmyk.icc";
      break;
  }
  const std::string path = dir + "/" + file;
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) bytes.clear();
  if (bytes.size() < 128) {
    error =
        "ICC profile " + path + " is missing (install icc-profiles-free / libgs-common)";
    return std::nullopt;
  }
  return bytes;
}

std::span<const unsigned char> as_span(const std::string& text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

std::string ref(int number) { return std::to_string(number) + " 0 R"; }

// One colour value in 0..1 with two decimals, varied by its place on the page.
std::string tint(int page, int row, int column, int component) {
  const int hundredths = (page * 13 + row * 29 + column * 23 + component * 41) % 101;
  char text[8];
  std::snprintf(text, sizeof text, "%d.%02d", hundredths / 100, hundredths % 100);
  return text;
}

// The parts of a file, each an indirect object.
enum class PartKind {
  kContent,
  kPage,
  kResources,
  kImage,
  kArray,
  kProfile,
  kPageTree,
  kCatalog,
  kInfo
};
struct Part {
  PartKind kind;
  int index;
  friend auto operator<=>(const Part&, const Part&) = default;
};

class Builder {
 public:
  Builder(const Case& c, std::map<Profile, std::string> profiles)
      : case_(c), profiles_(std::move(profiles)) {
    number_parts();
  }

  // Lays the file out with `header_extra` more bytes in the header comment.
  BuildResult build(std::size_t header_extra) const;

 private:
  void number_parts();
  [[nodiscard]] PdfObject object_for(Part part) const;
  [[nodiscard]] std::string content_for(int page) const;
  [[nodiscard]] std::string color_space_value(int cs) const;
  [[nodiscard]] std::vector<Part> quartz_order() const;

  const Case& case_;
  std::map<Profile, std::string> profiles_;
  std::map<Part, int> numbers_;
  int last_number_ = 0;
};

void Builder::number_parts() {
  // Quartz numbers objects in no particular file order; so do we: the
  // catalog, page tree and info first, then pages, resources, colour spaces.
  for (PartKind kind : {PartKind::kCatalog, PartKind::kPageTree, PartKind::kInfo}) {
    numbers_[{kind, 0}] = ++last_number_;
  }
  for (int p = 0; p < static_cast<int>(case_.pages.size()); ++p) {
    numbers_[{PartKind::kPage, p}] = ++last_number_;
    numbers_[{PartKind::kContent, p}] = ++last_number_;
  }
  for (int r = 0; r < static_cast<int>(case_.resources.size()); ++r) {
    numbers_[{PartKind::kResources, r}] = ++last_number_;
    if (case_.resources[static_cast<std::size_t>(r)].image_space) {
      numbers_[{PartKind::kImage, r}] = ++last_number_;
    }
  }
  for (int i = 0; i < static_cast<int>(case_.color_spaces.size()); ++i) {
    if (!case_.color_spaces[static_cast<std::size_t>(i)].direct) {
      numbers_[{PartKind::kArray, i}] = ++last_number_;
    }
    numbers_[{PartKind::kProfile, i}] = ++last_number_;
  }
}

std::vector<Part> Builder::quartz_order() const {
  std::vector<Part> order;
  for (int p = 0; p < static_cast<int>(case_.pages.size()); ++p) {
    order.push_back({PartKind::kContent, p});
    order.push_back({PartKind::kPage, p});
  }
  for (int r = 0; r < static_cast<int>(case_.resources.size()); ++r) {
    order.push_back({PartKind::kResources, r});
    if (numbers_.contains({PartKind::kImage, r})) order.push_back({PartKind::kImage, r});
  }
  for (int i = 0; i < static_cast<int>(case_.color_spaces.size()); ++i) {
    if (numbers_.contains({PartKind::kArray, i})) order.push_back({PartKind::kArray, i});
    order.push_back({PartKind::kProfile, i});
  }
  order.push_back({PartKind::kPageTree, 0});
  order.push_back({PartKind::kCatalog, 0});
  order.push_back({PartKind::kInfo, 0});
  return order;
}

// «[ /ICCBased 8 0 R ]», as Quartz spaces it, or in the case's style.
std::string Builder::color_space_value(int cs) const {
  const std::string profile = ref(numbers_.at({PartKind::kProfile, cs}));
  switch (case_.color_spaces[static_cast<std::size_t>(cs)].style) {
    case ArrayStyle::kQuartz:
      break;
    case ArrayStyle::kTight:
    case ArrayStyle::kTightEnd:
      return "[/ICCBased " + profile + "]";
    case ArrayStyle::kCommentFormFeed:
      return "[ % the profile follows\n/ICCBased\f" + profile + " ]";
  }
  return "[ /ICCBased " + profile + " ]";
}

std::string Builder::content_for(int page) const {
  const Resources& res = case_.resources[static_cast<std::size_t>(
      case_.pages[static_cast<std::size_t>(page)].resources)];
  std::string text = "q\n";
  int row = 0;
  for (int cs : res.color_spaces) {
    const ColorSpace& space = case_.color_spaces[static_cast<std::size_t>(cs)];
    text += "/" + space.name + " cs\n";
    for (int column = 0; column < 5; ++column) {
      for (int component = 0; component < components_of(space.profile); ++component) {
        text += tint(page, row, column, component) + " ";
      }
      text += "sc\n" + std::to_string(12 + 54 * column) + " " +
              std::to_string(kPageSize - 60 - 52 * row) + " 48 48 re\nf\n";
    }
    ++row;
  }
  text += "Q\n";
  if (res.image_space) {
    text += "q\n264 0 0 " + std::to_string(kPageSize - 52 * row - 24) +
            " 12 12 cm\n/Im1 Do\nQ\n";
  }
  return text;
}

PdfObject Builder::object_for(Part part) const {
  PdfObject object{numbers_.at(part), "", std::nullopt};
  const auto i = static_cast<std::size_t>(part.index);
  switch (part.kind) {
    case PartKind::kContent: {
      std::string data = flate_stored(as_span(content_for(part.index)));
      object.body =
          "<< /Length " + std::to_string(data.size()) + " /Filter /FlateDecode >>";
      object.stream = std::move(data);
      break;
    }
    case PartKind::kPage:
      object.body = "<< /Type /Page /Parent " +
                    ref(numbers_.at({PartKind::kPageTree, 0})) + " /Resources " +
                    ref(numbers_.at({PartKind::kResources, case_.pages[i].resources})) +
                    " /Contents " + ref(numbers_.at({PartKind::kContent, part.index})) +
                    " /MediaBox [0 0 " + std::to_string(kPageSize) + " " +
                    std::to_string(kPageSize) + "]\n>>";
      break;
    case PartKind::kResources: {
      const Resources& res = case_.resources[i];
      std::string body = "<< /ProcSet [ /PDF /ImageB /ImageC ] /ColorSpace <<";
      for (int cs : res.color_spaces) {
        const ColorSpace& space = case_.color_spaces[static_cast<std::size_t>(cs)];
        body += " /" + space.name + " " +
                (space.direct ? color_space_value(cs)
                              : ref(numbers_.at({PartKind::kArray, cs})));
      }
      body += "\n>>";
      if (res.image_space)
        body += " /XObject << /Im1 " + ref(numbers_.at({PartKind::kImage, part.index})) +
                " >>";
      object.body = body + " >>";
      break;
    }
    case PartKind::kImage: {
      const int cs = *case_.resources[i].image_space;
      const int n =
          components_of(case_.color_spaces[static_cast<std::size_t>(cs)].profile);
      std::string samples;
      for (int y = 0; y < kImageSize; ++y) {
        for (int x = 0; x < kImageSize; ++x) {
          const int ramps[4] = {x * 17, y * 17, (x + y) * 8, (15 - x) * 9};
          for (int c = 0; c < n; ++c) samples += static_cast<char>(ramps[c]);
        }
      }
      std::string data = flate_stored(as_span(samples));
      object.body =
          "<< /Type /XObject /Subtype /Image /Width " + std::to_string(kImageSize) +
          " /Height " + std::to_string(kImageSize) + " /ColorSpace " +
          (case_.resources[i].image_direct ? color_space_value(cs)
                                           : ref(numbers_.at({PartKind::kArray, cs}))) +
          " /BitsPerComponent 8 /Length " + std::to_string(data.size()) +
          "\n/Filter /FlateDecode >>";
      object.stream = std::move(data);
      break;
    }
    case PartKind::kArray:
      object.body = color_space_value(part.index);
      object.end_on_body_line = case_.color_spaces[i].style == ArrayStyle::kTightEnd;
      break;
    case PartKind::kProfile: {
      const ColorSpace& space = case_.color_spaces[i];
      std::string data = flate_stored(as_span(profiles_.at(space.profile)));
      const std::string n = "/N " + std::to_string(components_of(space.profile));
      const std::string length = "/Length " + std::to_string(data.size());
      const std::string alt = "/Alternate " + std::string(alternate(space.profile));
      const std::string filter = "/Filter /FlateDecode";
      const FirstKey first = space.n_first ? space.first_key : FirstKey::kLength;
      switch (first) {
        case FirstKey::kN:
          object.body = "<< " + n + " " + alt + " " + length + " " + filter + " >>";
          break;
        case FirstKey::kLength:
          object.body = "<< " + length + " " + n + " " + alt + " " + filter + " >>";
          break;
        case FirstKey::kAlternate:  // macOS 11 and later, edited in Preview
          object.body = "<<" + alt + n + length + filter + ">>";
          break;
        case FirstKey::kFilter:  // Acrobat Distiller
          object.body = "<<\n" + filter + "\n" + length + "\n" + n + "\n" + alt + "\n>>";
          break;
      }
      object.stream = std::move(data);
      break;
    }
    case PartKind::kPageTree: {
      std::string kids;
      for (int p = 0; p < static_cast<int>(case_.pages.size()); ++p) {
        kids += " " + ref(numbers_.at({PartKind::kPage, p}));
      }
      object.body = "<< /Type /Pages /MediaBox [0 0 " + std::to_string(kPageSize) + " " +
                    std::to_string(kPageSize) + "] /Count " +
                    std::to_string(case_.pages.size()) + " /Kids [" + kids + " ]\n>>";
      break;
    }
    case PartKind::kCatalog:
      object.body = "<< /Type /Catalog /Pages " +
                    ref(numbers_.at({PartKind::kPageTree, 0})) + " >>";
      break;
    case PartKind::kInfo:
      object.body = "<< /Title (" + case_.name +
                    ") /Producer (iccdrop test generator, Quartz PDFContext layout)\n"
                    "/CreationDate (D:20240101000000Z00'00') >>";
      break;
  }
  return object;
}

// A digit run cut by a chunk boundary outside stream data: iccdrop reads the
// tail of such a number as a number of its own in the next window (a known
// limit), so a layout that makes one would test the limit, not the case.
std::optional<std::size_t> cut_number(const PdfWriter& writer) {
  const std::string& bytes = writer.bytes();
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t boundary = kChunk; boundary < bytes.size(); boundary += kChunk) {
    if (!is_digit(bytes[boundary - 1]) || !is_digit(bytes[boundary])) continue;
    const bool in_stream =
        std::any_of(writer.stream_ranges().begin(), writer.stream_ranges().end(),
                    [&](const auto& range) {
                      return boundary > range.first && boundary < range.second;
                    });
    if (!in_stream) return boundary;
  }
  return std::nullopt;
}

BuildResult Builder::build(std::size_t header_extra) const {
  // Expand the order: explicit parts and pads, kRest standing for every
  // part the order does not name, in Quartz's order.
  std::set<Part> named;
  const auto part_of = [](const Item& item) -> std::optional<Part> {
    switch (item.kind) {
      case ItemKind::kArray:
        return Part{PartKind::kArray, item.index};
      case ItemKind::kProfile:
        return Part{PartKind::kProfile, item.index};
      case ItemKind::kResources:
        return Part{PartKind::kResources, item.index};
      case ItemKind::kPage:
        return Part{PartKind::kPage, item.index};
      default:
        return std::nullopt;
    }
  };
  std::vector<Item> order = case_.order;
  if (std::none_of(order.begin(), order.end(),
                   [](const Item& item) { return item.kind == ItemKind::kRest; })) {
    order.push_back({ItemKind::kRest});
  }
  for (const Item& item : order) {
    if (auto part = part_of(item)) named.insert(*part);
  }
  struct Step {
    Part part;
    std::optional<Item> pad;  // kPadTo before this part
  };
  std::vector<Step> steps;
  std::optional<Item> pending_pad;
  for (const Item& item : order) {
    if (item.kind == ItemKind::kPadTo) {
      pending_pad = item;
    } else if (item.kind == ItemKind::kRest) {
      for (const Part& part : quartz_order()) {
        if (named.contains(part)) continue;
        steps.push_back({part, pending_pad});
        pending_pad.reset();
      }
    } else {
      steps.push_back({*part_of(item), pending_pad});
      pending_pad.reset();
    }
  }

  PdfWriter writer(case_.line_end);
  writer.write_header(header_extra);
  std::map<Part, std::size_t> offsets;
  for (const Step& step : steps) {
    const PdfObject object = object_for(step.part);
    if (step.pad) {
      const std::string text = writer.render(object);
      const std::size_t at = step.pad->needle.empty() ? 0 : text.find(step.pad->needle);
      if (at == std::string::npos) {
        return {std::nullopt,
                "case " + case_.name + ": «" + step.pad->needle + "» not in object"};
      }
      const long here =
          static_cast<long>(writer.offset() + at + writer.min_comment_length());
      long target = step.pad->delta;
      while (target < here) target += static_cast<long>(kChunk);
      writer.append_comment(static_cast<std::size_t>(target) - writer.offset() - at);
    }
    offsets[step.part] = writer.offset();
    writer.append(object);
  }
  writer.finish(numbers_.at({PartKind::kCatalog, 0}), numbers_.at({PartKind::kInfo, 0}),
                "49434344524F50207465737420636173");
  if (auto boundary = cut_number(writer); boundary && !case_.cut_number_allowed) {
    return {std::nullopt, "case " + case_.name + ": a number is cut at chunk boundary " +
                              std::to_string(*boundary)};
  }

  BuiltCase built;
  built.pdf = writer.bytes();
  std::set<int> referenced;  // named by a /Cs entry in some resource dictionary
  for (const Resources& res : case_.resources)
    referenced.insert(res.color_spaces.begin(), res.color_spaces.end());
  std::vector<std::pair<std::size_t, Change>> changes;
  for (int i = 0; i < static_cast<int>(case_.color_spaces.size()); ++i) {
    const ColorSpace& space = case_.color_spaces[static_cast<std::size_t>(i)];
    std::size_t array_offset = 0;
    int array_object = 0;
    if (!space.direct) {
      array_object = numbers_.at({PartKind::kArray, i});
      const std::size_t object_offset = offsets.at({PartKind::kArray, i});
      array_offset = built.pdf.find('[', object_offset);
    }
    // The tool converts an indirect array that a /Cs entry refers to, when
    // the profile's dictionary opens with /N. It reports the name's first 7
    // bytes.
    const bool converts = !space.direct && space.n_first && referenced.contains(i);
    built.color_spaces.push_back(
        {space.name, space.profile, converts, array_offset, array_object});
    if (converts) {
      changes.push_back(
          {array_offset,
           {space.name.substr(0, 7), std::string(testing::replacement_for_components(
                                         components_of(space.profile)))}});
    }
  }
  std::sort(changes.begin(), changes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& change : changes) built.changes.push_back(std::move(change.second));
  for (const Page& page : case_.pages) {
    const Resources& res = case_.resources[static_cast<std::size_t>(page.resources)];
    std::vector<int> spaces = res.color_spaces;
    if (res.image_space) spaces.push_back(*res.image_space);
    built.page_spaces.push_back(std::move(spaces));
  }
  return {std::move(built), ""};
}

}  // namespace

BuildResult build_case(const Case& c, const std::string& profile_dir) {
  std::map<Profile, std::string> profiles;
  for (const ColorSpace& space : c.color_spaces) {
    if (profiles.contains(space.profile)) continue;
    std::string error;
    std::optional<std::string> bytes = load_profile(space.profile, profile_dir, error);
    if (!bytes) return {std::nullopt, error};
    profiles[space.profile] = std::move(*bytes);
  }
  const Builder builder(c, std::move(profiles));
  // Shift the layout by a byte or more until no number straddles a chunk
  // boundary; parts placed with kPadTo keep their offsets.
  BuildResult result;
  for (std::size_t extra = 0; extra < 16; ++extra) {
    result = builder.build(extra);
    if (result.built) return result;
  }
  return result;
}

}  // namespace iccdrop::pdfgen
