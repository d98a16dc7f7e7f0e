#include "cli/wording.h"

namespace iccdrop::cli {

std::string failure_message(const FailureWording& wording, std::string_view input,
                            std::string_view output) {
  std::string message;
  if (wording.about != About::kNothing)
    message = wording.about == About::kInput ? input : output;
  return message.append(wording.text);
}

std::string note_message(const NoteWording& wording, std::string_view output) {
  return std::string(output).append(wording.text);
}

}  // namespace iccdrop::cli
