// The report as lines of text, as the tool has always printed them:
// «Output file is NAME», a «Changing ColorSpace …» line per change, --all's
// «Leaving …» lines, and the words of a failure.
#pragma once

#include <string>
#include <string_view>

#include "cli/report_out.h"
#include "engine/report.h"

namespace iccdrop::cli {

class TextReport final : public engine::Report {
 public:
  TextReport(ReportOut& out, std::string_view input, std::string_view output)
      : out_(out), input_(input), output_(output) {}

  void output_chosen() override;
  void changed(const engine::ChangeEvent& change) override;
  void left(const engine::LeftEvent& left) override;
  void unread(const engine::UnreadEvent& stream) override;
  void ended(const engine::FileResult& result) override;

 private:
  ReportOut& out_;
  std::string input_, output_;
};

}  // namespace iccdrop::cli
