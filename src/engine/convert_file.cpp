#include "engine/convert_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "colorspace/all_spaces.h"
#include "colorspace/collect.h"
#include "colorspace/convert.h"
#include "colorspace/registry.h"
#include "engine/held_changes.h"
#include "engine/object_stream.h"
#include "stream/file_scan.h"
#include "stream/file_times.h"
#include "stream/output_file.h"
#include "stream/window_rewrite.h"
#include "stream/window_stream.h"

namespace iccdrop::engine {
namespace {

using colorspace::AllSpaces;
using colorspace::Change;
using colorspace::ChangeVisitor;
using colorspace::Leave;
using colorspace::LeaveVisitor;
using colorspace::Registry;

using stream::modified_time;
using stream::OutputFile;
using stream::OutputStatus;
using stream::same_file;
using stream::same_time;
using stream::status_time;

// The same file with the same size, contents time and status time: the
// bytes read since `before` are the bytes it holds.
bool unchanged(const struct stat& before, const struct stat& now) {
  return same_file(before, now) && before.st_size == now.st_size &&
         same_time(modified_time(before), modified_time(now)) &&
         same_time(status_time(before), status_time(now));
}

// Opens the input without blocking, so that a FIFO without a writer cannot
// hang the open; it is refused right after as not a regular file.
int open_input(const char* name, struct stat& info) {
  const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// --all's colour spaces left and object streams unread, told after all the
// changes, by where they lie: (offset in the file, 0), or (an object
// stream's data offset, a count).
struct Leaving {
  bool unread = false;  // an object stream whose objects were not read;
                        // else a colour space left
  std::string name;     // the colour space's
  std::string reason;
  Place place;  // the colour space's; an unread stream's number in object_stream
  std::int32_t generation = 0;  // an unread object stream's
};
using Leaves = std::map<std::pair<std::uint64_t, std::uint64_t>, Leaving>;

// Pass 2's output in a dry run: takes every write and keeps none.
class NoOutput final : public stream::ByteFile {
 public:
  std::optional<std::size_t> read_at(std::uint64_t, std::span<unsigned char>) override {
    return std::nullopt;
  }
  bool write_at(std::uint64_t, std::span<const unsigned char>) override { return true; }
};

// Tells nothing: the report of a job that has none.
class NoReport final : public Report {
 public:
  void output_chosen() override {}
  void changed(const ChangeEvent&) override {}
  void left(const LeftEvent&) override {}
  void unread(const UnreadEvent&) override {}
  void ended(const FileResult&) override {}
};

// Pass 1 is shared by two threads where this many bytes or more are left to
// scan and no copy takes the other core, the second one keeping at most
// this many facts of its own (about 30 bytes each) until they join.
constexpr std::uint64_t kSplitScanFrom = std::uint64_t{8} << 20;
constexpr std::size_t kLaterFacts = 16384;
// Pass 2 is shared by two threads where this many windows or more are
// marked, the second one holding at most this many bytes of changes until
// the first one's are told.
constexpr std::uint64_t kSplitRewriteFrom = kSplitScanFrom / stream::kChunkSize;
constexpr std::size_t kLaterChanges = std::size_t{512} << 10;

// The window steps of both passes in the chosen mode, and what pass 2 tells
// the report.
class Conversion {
 public:
  Conversion(bool all, Report& report) : report_(report) {
    if (all) all_.emplace();
  }

  // Whether an /ICCBased starts in the window's first 4096 bytes.
  bool collect(const stream::ScanWindow& window) {
    return all_ ? collect_window_all(window.bytes, window.before, *all_, window.offset)
                : collect_window(window.bytes, registry_);
  }

  // Records the facts `later` collected from later windows, as if this one
  // had collected them after its own.
  void merge(const Conversion& later) {
    if (all_) {
      all_->merge(*later.all_);
    } else {
      registry_merge(registry_, later.registry_);
    }
  }
  std::size_t facts() const { return all_ ? all_->size() : registry_.size(); }

  // Steps a window of pass 2, telling `on_change` of each rewrite, and
  // `leaves` (--all) of each colour space left. Returns whether it rewrote
  // anything.
  bool convert_with(const stream::PlacedWindow& window,
                    const std::function<void(const ChangeEvent&)>& on_change,
                    Leaves& leaves) const {
    bool changed = false;
    const ChangeVisitor visit = [&](const Change& change) {
      changed = true;
      on_change({change.name, change.replacement, {window.offset + change.offset, {}}});
    };
    if (all_) {
      const LeaveVisitor leave = [&](const Leave& left) {
        const std::uint64_t offset = window.offset + left.offset;
        leaves[{offset, 0}] = {
            false, std::string(left.name), std::string(left.reason), {offset, {}}};
      };
      convert_window_all(window.bytes, window.before, *all_, visit, &leave);
      changed = patch(window) || changed;
    } else {
      convert_window(window.bytes, registry_, visit);
    }
    return changed;
  }

  // Steps a window of pass 2 and tells the report of each rewrite.
  bool convert(const stream::PlacedWindow& window) {
    return convert_with(
        window, [this](const ChangeEvent& change) { report_.changed(change); }, leaves_);
  }

  Report& report() const { return report_; }

  // --all, after pass 1: reads the profiles' headers and the object
  // streams' objects (object_stream.h) from `input`.
  void read_streams(stream::ByteFile& input, std::uint64_t size) {
    if (all_) notes_ = engine::read_streams(input, size, *all_);
  }

  // --all: rewrites each object stream that holds an ICC-based colour space
  // with a change, giving its data to `write`, and holding its changes in
  // `changes`. False where `write` fails.
  bool rewrite_streams(stream::ByteFile& input, std::uint64_t size, HeldChanges& changes,
                       const std::function<bool(const StreamData&)>& write) {
    for (const auto& note : notes_) {
      const auto& stream = all_->streams()[note.stream];
      std::uint64_t count = 0;
      const Place place{0, stream.object};
      if (!note.reason.empty()) {
        leaves_[{stream.data, count}] = {
            true, {}, std::string(note.reason), place, stream.generation};
        continue;
      }
      const auto data = rewrite_object_stream(
          input, size, stream, *all_,
          [&](const Change& change) {
            changes.hold({change.name, change.replacement, place});
          },
          [&](const Leave& left) {
            leaves_[{stream.data, ++count}] = {false, std::string(left.name),
                                               std::string(left.reason), place};
          });
      if (data && !write(*data)) return false;
    }
    return true;
  }

  // The streaming pass 2's way to the object streams' new data: held, and
  // put over the windows that hold it.
  void hold_patch(const StreamData& data) { patches_.push_back(data); }

  // Takes in the colour spaces that pass 2's other thread left; tells the
  // report of all that were left, and forgets them.
  void add_leaves(Leaves& more) { leaves_.merge(more); }
  void tell_leaves() {
    for (const auto& [where, leaving] : leaves_) {
      if (leaving.unread) {
        report_.unread(
            {*leaving.place.object_stream, leaving.generation, leaving.reason});
      } else {
        report_.left({leaving.name, leaving.reason, leaving.place});
      }
    }
    leaves_.clear();
  }

 private:
  // Puts the held data of object streams over the window's bytes that are
  // theirs. Whether any were.
  bool patch(const stream::PlacedWindow& window) const {
    bool patched = false;
    for (const auto& data : patches_) {
      const std::uint64_t from = std::max(data.offset, window.offset);
      const std::uint64_t to =
          std::min(data.offset + data.bytes.size(), window.offset + window.bytes.size());
      if (from >= to) continue;
      std::copy_n(
          data.bytes.begin() + static_cast<std::ptrdiff_t>(from - data.offset), to - from,
          window.bytes.begin() + static_cast<std::ptrdiff_t>(from - window.offset));
      patched = true;
    }
    return patched;
  }

  Report& report_;
  std::vector<ObjectStreamNote> notes_;
  std::vector<StreamData> patches_;
  Leaves leaves_;
  Registry registry_;
  std::optional<AllSpaces> all_;
};

// «%PDF-» within the file's first 1,024 bytes, where PDF readers look for
// the header (some files have bytes before it).
bool begins_as_pdf(int input) {
  char head[1024];
  const ssize_t got = ::pread(input, head, sizeof head, 0);
  return got > 0 && std::string_view(head, static_cast<std::size_t>(got)).find("%PDF-") !=
                        std::string_view::npos;
}

class Run {
 public:
  explicit Run(const FileJob& job)
      : job_(job), report_(job.report != nullptr ? *job.report : no_report_) {}

  ~Run() {
    if (input_ >= 0 && input_ != job_.input_fd) ::close(input_);
  }

  // An allocation that fails anywhere ends the run like any other failure.
  // The report hears of the end with the result; where it cannot even put
  // that together, the result stands without it.
  FileResult execute() {
    const auto start = std::chrono::steady_clock::now();
    FileResult result;
    try {
      result = convert();
    } catch (const std::bad_alloc&) {
      result = fail(FileStatus::kOutOfMemory);
    }
    result.bytes = bytes_read_;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    try {
      report_.ended(result);
    } catch (const std::bad_alloc&) {
    }
    return result;
  }

 private:
  FileResult convert() {
    if (job_.input_fd >= 0) {
      input_ = job_.input_fd;
      if (::fstat(input_, &input_info_) != 0) return fail(FileStatus::kInputDidNotOpen);
    } else {
      input_ = open_input(job_.input.c_str(), input_info_);
      if (input_ < 0) return fail(FileStatus::kInputDidNotOpen);
    }
    if (!S_ISREG(input_info_.st_mode)) return fail(FileStatus::kInputNotRegular);
    if (job_.pdf_only && !begins_as_pdf(input_)) return fail(FileStatus::kInputNotPdf);

    report_.output_chosen();
    // A dry run refuses what the real run refuses before it writes.
    OutputStatus status = OutputStatus::kOpen;
    if (job_.output_fd >= 0) {
      if (!job_.dry_run) status = output_.open_descriptor(job_.output_fd, input_info_);
    } else if (job_.dry_run) {
      status = stream::check_output(job_.output, input_info_, job_.in_place);
    } else {
      status = output_.open(job_.output, input_info_, job_.in_place);
    }
    switch (status) {
      case OutputStatus::kOpen:
        break;
      case OutputStatus::kIsInput:
        return fail(FileStatus::kOutputIsInput);
      case OutputStatus::kDidNotOpen:
        return fail(FileStatus::kOutputDidNotOpen);
      case OutputStatus::kLinkInSharedFolder:
        return fail(FileStatus::kLinkInSharedFolder);
      case OutputStatus::kOtherUsersFile:
        return fail(FileStatus::kOtherUsersFile);
    }

    Conversion conversion(job_.all, report_);
    // A regular output is copied from the input in pass 1 as the input is
    // read (or made a clone of it, where the file system shares blocks),
    // and pass 2 reads again only the windows that may change, and writes
    // those that do: one read of the input. A dry run reads the same way
    // and writes nothing. Any other output gets a second read of the input
    // that streams it to the output.
    const bool regular = !job_.dry_run && output_.is_regular();
    const bool one_read = job_.dry_run || regular;
    const bool cloned = regular && output_.clone_from(input_);
    const bool copies = regular && !cloned;
    const auto size = static_cast<std::uint64_t>(input_info_.st_size);
    stream::WindowRuns candidates;
    copy_.emplace(input_, output_.fd());
    const stream::PassResult pass1 =
        collect(conversion, candidates, one_read, copies, size);
    bytes_read_ = pass1.bytes;
    if (pass1.status == stream::PassStatus::kReadError) return fail_reading();
    if (pass1.status == stream::PassStatus::kWriteError) return fail_writing();
    if (pass1.bytes != static_cast<std::uint64_t>(input_info_.st_size))
      return fail_changed();
    // --all: the object streams' facts join pass 1's.
    stream::FdFile streams_input(input_);
    conversion.read_streams(streams_input, size);
    HeldChanges stream_changes;

    stream::PassResult pass2;
    if (one_read) {
      // The copy may still be going on: pass 2's writes wait for it.
      stream::FdFile input(input_);
      stream::CopiedOutput copied_output(output_.fd(), *copy_);
      NoOutput no_output;
      stream::ByteFile& output =
          job_.dry_run ? static_cast<stream::ByteFile&>(no_output) : copied_output;
      // A second thread steps the later half of the marked windows, its
      // changes held (kLaterChanges bytes at most) until this one's are
      // told; not while the copy takes the other core, when pass 2's writes
      // wait for the copy's end anyway.
      HeldChanges held;
      held.reserve(kLaterChanges + kLaterChanges / 4);
      Leaves later_leaves, emitted_leaves;
      const stream::LaterRewrite later_steps{
          [&](const stream::PlacedWindow& window) {
            return note(conversion.convert_with(
                window, [&held](const ChangeEvent& change) { held.hold(change); },
                later_leaves));
          },
          [&] { return held.size() >= kLaterChanges; },
          [&] {
            held.tell(conversion.report());
            emitted_leaves.merge(later_leaves);
            later_leaves.clear();
          },
          [&] {
            held.clear();
            later_leaves.clear();
          }};
      pass2 = stream::rewrite_windows_in_two(
          input, output, pass1.bytes, candidates.runs(),
          [&](const stream::PlacedWindow& window) {
            return note(conversion.convert(window));
          },
          later_steps,
          copy_->copying() ? std::numeric_limits<std::uint64_t>::max()
                           : kSplitRewriteFrom);
      conversion.add_leaves(emitted_leaves);
      // The object streams' new data over what pass 2 wrote.
      if (pass2.status == stream::PassStatus::kOk &&
          !conversion.rewrite_streams(input, size, stream_changes,
                                      [&](const StreamData& data) {
                                        changed_ = true;
                                        return output.write_at(data.offset, data.bytes);
                                      })) {
        pass2.status = stream::PassStatus::kWriteError;
      }
      if (!copy_->finish()) {
        const auto copied = stream::copy_failed(input_, pass1.bytes, pass1.bytes);
        return copied.status == stream::PassStatus::kOk ? fail_changed() : fail_writing();
      }
      if (pass2.status == stream::PassStatus::kReadError) return fail_reading();
      if (pass2.status == stream::PassStatus::kWriteError) return fail_writing();
    } else {
      struct stat reopened {};
      if (input_ == job_.input_fd) {
        // Nobody else holds this file: read again from its start.
        if (::lseek(input_, 0, SEEK_SET) != 0 || ::fstat(input_, &reopened) != 0)
          return fail_reading();
      } else {
        ::close(input_);
        input_ = open_input(job_.input.c_str(), reopened);
        if (input_ < 0) return fail(FileStatus::kInputDidNotOpen);
      }
      // Pass 2 must read the bytes pass 1 read.
      if (!unchanged(input_info_, reopened)) return fail_changed();
      stream::FdFile streams_again(input_);
      (void)conversion.rewrite_streams(streams_again, size, stream_changes,
                                       [&](const StreamData& data) {
                                         conversion.hold_patch(data);
                                         return true;
                                       });
      stream::FdSource pass2_input(input_);
      stream::FdSink sink(output_.fd());
      pass2 =
          stream::run_pass(pass2_input, &sink, [&](const stream::PlacedWindow& window) {
            return note(conversion.convert(window));
          });
      if (pass2.status == stream::PassStatus::kReadError) return fail_reading();
      if (pass2.status == stream::PassStatus::kWriteError) return fail_writing();
      if (pass2.bytes != pass1.bytes) return fail_changed();
    }
    // Edited while pass 2 read it, the input may have given bytes of two
    // versions: compare it with what it was at the start, and the name with
    // the file that was read.
    struct stat now {};
    struct stat named {};
    if (::fstat(input_, &now) != 0 || !unchanged(input_info_, now) ||
        (input_ != job_.input_fd &&
         (::stat(job_.input.c_str(), &named) != 0 || !same_file(named, input_info_)))) {
      return fail_changed();
    }
    stream_changes.tell(report_);
    conversion.tell_leaves();
    // In place, a file in which nothing changed keeps its inode and times.
    if (job_.in_place && !changed_) {
      copy_.reset();
      output_.abandon();
      return {FileStatus::kUnchanged};
    }
    if (!job_.dry_run && !output_.commit()) return fail_writing();
    return {FileStatus::kConverted};
  }

  // Passes on whether a window step rewrote anything, and remembers it.
  bool note(bool rewrote) {
    if (rewrote) changed_ = true;
    return rewrote;
  }

  // Pass 1: the facts of every window into `conversion`, and the windows
  // that may change into `candidates` where pass 2 reads only those
  // (`mark`). Where nothing is copied (`copied` false), a second thread
  // scans the second half at once; where the kernel copies on another
  // core, once that copy has ended with much still to scan. Its facts are
  // bounded, so that memory stays fixed: once it has kLaterFacts, this
  // thread goes on where it stopped; they are freed on return.
  stream::PassResult collect(Conversion& conversion, stream::WindowRuns& candidates,
                             bool mark, bool copied, std::uint64_t size) {
    const auto collect_into = [mark](Conversion& facts, stream::WindowRuns& marks) {
      return [mark, &facts, &marks](const stream::ScanWindow& window) {
        if (facts.collect(window) && mark) {
          marks.mark_front_of(window.offset / stream::kChunkSize);
        }
      };
    };
    Conversion later(job_.all, report_);
    stream::WindowRuns later_candidates;
    const stream::LaterPart part{collect_into(later, later_candidates),
                                 [&] { return later.facts() >= kLaterFacts; },
                                 [&] {
                                   conversion.merge(later);
                                   candidates.append(later_candidates);
                                 }};
    return stream::scan_file_in_two(input_, size, copied ? &*copy_ : nullptr,
                                    collect_into(conversion, candidates), part,
                                    kSplitScanFrom);
  }

  // Ends a failed run: gives up the unfinished output (the output's name
  // keeps what it held before), and says what became of an output written
  // in place.
  FileResult fail(FileStatus status) {
    copy_.reset();  // no thread may write to the file given up
    return {status, output_.abandon()};
  }
  FileResult fail_reading() { return fail(FileStatus::kInputNotRead); }
  FileResult fail_writing() { return fail(FileStatus::kOutputNotWritten); }
  FileResult fail_changed() { return fail(FileStatus::kInputChanged); }

  const FileJob& job_;
  NoReport no_report_;
  Report& report_;
  std::uint64_t bytes_read_ = 0;       // by pass 1
  std::atomic<bool> changed_ = false;  // a window step rewrote something
  int input_ = -1;
  struct stat input_info_ {};
  OutputFile output_;
  std::optional<stream::OutputCopy> copy_;  // pass 1's copy into the output
};

}  // namespace

FileResult convert_file(const FileJob& job) { return Run(job).execute(); }

}  // namespace iccdrop::engine
