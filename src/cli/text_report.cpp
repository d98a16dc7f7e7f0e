#include "cli/text_report.h"

#include "cli/wording.h"

namespace iccdrop::cli {

void TextReport::output_chosen() {
  // Out at once: a run killed later has said where it was writing.
  out_.pending().append("Output file is ").append(output_).push_back('\n');
  out_.flush();
}

// Put together here: printf took some 800 instructions a line, a tenth of all
// the work on a file that converts 200,000 colour spaces.
void TextReport::changed(const engine::ChangeEvent& change) {
  constexpr std::string_view kHead = "Changing ColorSpace '";
  constexpr std::string_view kMiddle = "' from /ICCBased to ";
  out_.pending()
      .append(kHead)
      .append(change.name)
      .append(kMiddle)
      .append(change.replacement)
      .push_back('\n');
  out_.write_if_full();
}

void TextReport::left(const engine::LeftEvent& left) {
  out_.pending()
      .append("Leaving ColorSpace '")
      .append(left.name)
      .append("' as /ICCBased: ")
      .append(left.reason)
      .push_back('\n');
  out_.write_if_full();
}

void TextReport::unread(const engine::UnreadEvent& stream) {
  std::string& text = out_.pending();
  text.append("Leaving the objects of object stream '");
  text.append(std::to_string(stream.object)).push_back(' ');
  text.append(std::to_string(stream.generation)).append(" obj' unread: ");
  text.append(stream.reason).push_back('\n');
  out_.write_if_full();
}

void TextReport::ended(const engine::FileResult& result) {
  if (const FailureWording* failure = failure_wording(result.status)) {
    out_.pending().append(failure_message(*failure, input_, output_)).push_back('\n');
    if (const NoteWording* note = note_wording(result.abandoned))
      out_.pending().append(note_message(*note, output_)).push_back('\n');
  }
  out_.flush();
}

}  // namespace iccdrop::cli
