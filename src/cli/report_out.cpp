#include "cli/report_out.h"

namespace iccdrop::cli {

void ReportOut::write() {
  if (file_ != nullptr) {
    std::fwrite(pending_.data(), 1, pending_.size(), file_);
  } else {
    text_->append(pending_);
  }
  pending_.clear();
}

void ReportOut::flush() {
  write();
  if (file_ != nullptr) std::fflush(file_);
}

}  // namespace iccdrop::cli
