#include "cli/json_report.h"

#include <algorithm>
#include <charconv>
#include <tuple>

#include "cli/json_text.h"
#include "cli/wording.h"
#include "colorspace/patterns.h"

namespace iccdrop::cli {
namespace {

using colorspace::kDeviceSpaceByComponents;

void append_number(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
  out.append(digits, end);
}

// «"input":"a.pdf"», and where the name is not UTF-8, «,"input_hex":"…"»
// with each of its bytes as two lowercase hex digits.
void append_file_name(std::string& out, std::string_view key, std::string_view name) {
  append_json(out, key);
  out.push_back(':');
  append_json(out, name);
  if (whole_in_json(name)) return;
  constexpr std::string_view kDigits = "0123456789abcdef";
  out.append(",\"").append(key).append("_hex\":\"");
  for (const char byte : name) {
    const auto value = static_cast<unsigned char>(byte);
    out.push_back(kDigits[value >> 4]);
    out.push_back(kDigits[value & 0xf]);
  }
  out.push_back('"');
}

std::string_view status_word(engine::FileStatus status) {
  switch (status) {
    case engine::FileStatus::kConverted:
      return "converted";
    case engine::FileStatus::kUnchanged:
      return "unchanged";
    default:
      return "failed";
  }
}

// A PDF name as the file spells it, each byte outside printable ASCII
// (0x20-0x7E) written #XX as PDF's syntax allows: «Cs\xe9» gives «Cs#E9»,
// «A#20B» stays. A name token holds no space; the names the tool makes up
// do («7 0 obj») and keep it. Always ASCII, so always valid in JSON.
void append_pdf_name(std::string& text, std::string_view name) {
  constexpr std::string_view kDigits = "0123456789ABCDEF";
  for (const char byte : name) {
    const auto value = static_cast<unsigned char>(byte);
    if (value >= 0x20 && value <= 0x7e) {
      text.push_back(byte);
    } else {
      text.push_back('#');
      text.push_back(kDigits[value >> 4]);
      text.push_back(kDigits[value & 0xf]);
    }
  }
}

}  // namespace

JsonReport::JsonReport(ReportOut& out, std::string_view input, std::string_view output,
                       bool all)
    : out_(out), input_(input), output_(output), all_(all) {
  // "/DeviceRGB" is "DeviceRGB", as the name is given without its '/'; the
  // markers "*0*" and "*2*" stay.
  static_assert(std::tuple_size_v<decltype(to_)> == kDeviceSpaceByComponents.size());
  for (std::size_t i = 0; i < kDeviceSpaceByComponents.size(); ++i) {
    std::string_view to = kDeviceSpaceByComponents[i];
    if (to.starts_with('/')) to.remove_prefix(1);
    append_json(to_[i], to);
  }
}

void JsonReport::append_name(std::string_view name) {
  name_.clear();
  append_pdf_name(name_, name);
  append_json(out_.pending(), name_);
}

void JsonReport::begin() {
  if (part_ != Part::kNone) return;
  std::string& out = out_.pending();
  out.push_back('{');
  append_file_name(out, "input", input_);
  out.push_back(',');
  if (output_chosen_) {
    append_file_name(out, "output", output_);
  } else {
    out.append("\"output\":null");
  }
  out.append(",\"changes\":[");
  part_ = Part::kChanges;
  first_item_ = true;
}

void JsonReport::next_item() {
  if (!first_item_) out_.pending().push_back(',');
  first_item_ = false;
}

void JsonReport::put_place(const engine::Place& place) {
  std::string& out = out_.pending();
  if (place.object_stream) {
    out.append(",\"object_stream\":");
    append_number(out, static_cast<std::uint64_t>(*place.object_stream));
  } else {
    out.append(",\"offset\":");
    append_number(out, place.offset);
  }
  out.push_back('}');
}

void JsonReport::output_chosen() {
  output_chosen_ = true;
  begin();
}

void JsonReport::changed(const engine::ChangeEvent& change) {
  begin();
  next_item();
  std::string& out = out_.pending();
  out.append("{\"name\":");
  append_name(change.name);
  const auto* const known = std::find(kDeviceSpaceByComponents.begin(),
                                      kDeviceSpaceByComponents.end(), change.replacement);
  out.append(",\"to\":");
  if (known != kDeviceSpaceByComponents.end()) {
    out.append(to_[static_cast<std::size_t>(known - kDeviceSpaceByComponents.begin())]);
  } else {
    append_json(out, change.replacement);
  }
  put_place(change.place);
  out_.write_if_full();
}

void JsonReport::left(const engine::LeftEvent& left) {
  begin();
  if (part_ == Part::kChanges) {
    out_.pending().append("],\"left\":[");
    part_ = Part::kLeft;
    first_item_ = true;
  }
  next_item();
  std::string& out = out_.pending();
  out.append("{\"name\":");
  append_name(left.name);
  out.append(",\"reason\":");
  append_json(out, left.reason);
  put_place(left.place);
  out_.write_if_full();
}

void JsonReport::unread(const engine::UnreadEvent& stream) {
  unread_.push_back({stream.object, stream.generation, std::string(stream.reason)});
}

void JsonReport::ended(const engine::FileResult& result) {
  begin();
  std::string& out = out_.pending();
  if (part_ == Part::kChanges) {
    out.push_back(']');
    if (all_) out.append(",\"left\":[");
    part_ = all_ ? Part::kLeft : Part::kNone;
  }
  if (part_ == Part::kLeft) out.push_back(']');
  if (all_ || !unread_.empty()) {
    out.append(",\"unread_object_streams\":[");
    for (std::size_t i = 0; i < unread_.size(); ++i) {
      if (i > 0) out.push_back(',');
      out.append("{\"object\":");
      append_number(out, static_cast<std::uint64_t>(unread_[i].object));
      out.append(",\"generation\":");
      append_number(out, static_cast<std::uint64_t>(unread_[i].generation));
      out.append(",\"reason\":");
      append_json(out, unread_[i].reason);
      out.push_back('}');
    }
    out.push_back(']');
  }
  out.append(",\"status\":");
  append_json(out, status_word(result.status));
  if (const FailureWording* failure = failure_wording(result.status)) {
    out.append(",\"error\":");
    append_json(out, failure_message(*failure, input_, output_));
    out.append(",\"error_kind\":");
    append_json(out, failure->kind);
    if (const NoteWording* note = note_wording(result.abandoned)) {
      out.append(",\"note\":");
      append_json(out, note_message(*note, output_));
      out.append(",\"note_kind\":");
      append_json(out, note->kind);
    }
  }
  out.append(",\"bytes\":");
  append_number(out, result.bytes);
  out.append(",\"seconds\":");
  append_json(out, result.seconds);
  out.append("}\n");
  out_.flush();
}

}  // namespace iccdrop::cli
