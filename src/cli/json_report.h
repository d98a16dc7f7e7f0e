// The report as one JSON object on one line (JSON Lines), for programs: the
// input and output names, the changes, with --all the colour spaces left and
// the object streams unread, the status, the failure's words and kind, the
// bytes read and the time. docs/report.schema.json describes it. The line
// is put together as the run goes, its head at the first event, and written
// a piece at a time (ReportOut), so that no number of changes is held
// whole; the colour spaces left come after the changes, and the few object
// streams unread are held to the end. Strings are escaped by nlohmann-json
// (json_text.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/report_out.h"
#include "engine/report.h"

namespace iccdrop::cli {

class JsonReport final : public engine::Report {
 public:
  // `all`: the object has `left` and `unread_object_streams`, if empty.
  JsonReport(ReportOut& out, std::string_view input, std::string_view output, bool all);

  void output_chosen() override;
  void changed(const engine::ChangeEvent& change) override;
  void left(const engine::LeftEvent& left) override;
  void unread(const engine::UnreadEvent& stream) override;
  void ended(const engine::FileResult& result) override;

 private:
  enum class Part { kNone, kChanges, kLeft };
  // Puts out the head of the object (up to the changes' '['), once.
  void begin();
  // Puts out the ',' between items of the open array.
  void next_item();
  void put_place(const engine::Place& place);
  // Appends a PDF name as a JSON string, bytes outside printable ASCII
  // written #XX.
  void append_name(std::string_view name);

  struct Unread {
    std::int32_t object, generation;
    std::string reason;
  };

  ReportOut& out_;
  std::string input_, output_;
  bool all_;
  bool output_chosen_ = false;
  Part part_ = Part::kNone;
  bool first_item_ = true;
  std::vector<Unread> unread_;     // few: one per object stream at most
  std::string name_;               // a name as text, refilled for each
  std::array<std::string, 5> to_;  // kDeviceSpaceByComponents as JSON, without '/'
};

}  // namespace iccdrop::cli
