// Where a report's text goes: a stream, written a piece at a time, or a
// string that keeps all of it (a hot folder's report file, a test). The
// writers append to pending() and say when a piece may go.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace iccdrop::cli {

class ReportOut {
 public:
  // Text is written out in pieces of about this many bytes: one fwrite for
  // some 1,000 change lines (a call a line cost 130 instructions, 3% of the
  // work with 50,000 colour spaces).
  static constexpr std::size_t kPiece = std::size_t{64} << 10;

  explicit ReportOut(std::FILE* file) : file_(file) { reserve(); }
  explicit ReportOut(std::string& text) : text_(&text) { reserve(); }

  // The text not yet written; append to it.
  std::string& pending() { return pending_; }
  // Writes the pending text where there is a piece of it.
  void write_if_full() {
    if (pending_.size() >= kPiece) write();
  }
  // Writes all the pending text and flushes the stream. A report is a
  // report: a closed pipe or a full device does not change the run, so
  // errors are not checked.
  void flush();

 private:
  // Room for a piece and the line that ends it, so that the words of a
  // failure fit without an allocation, which may be what failed.
  void reserve() { pending_.reserve(2 * kPiece); }
  void write();

  std::FILE* file_ = nullptr;
  std::string* text_ = nullptr;
  std::string pending_;
};

}  // namespace iccdrop::cli
