// The command line's options: a few exact arguments before the first file
// name. Every other argument, one that begins with '-' included, is a file
// name, so that no existing call changes meaning.
#pragma once

#include <span>
#include <string_view>

namespace iccdrop::cli {

struct Options {
  bool help = false;      // -h, --help: the usage text, status 0
  bool version = false;   // --version: "iccdrop 1.0.0", status 0
  bool dry_run = false;   // -n, --dry-run: read and report, write nothing
  bool all = false;       // --all: every ICC-based colour space it can rewrite
  bool in_place = false;  // -i, --in-place: every name an input, replaced
  bool json = false;      // --json: each file reported as a line of JSON
  // --watch IN OUT: a hot folder (watch/hot_folder.h), with its settings,
  // which are options only after --watch.
  bool watch = false;
  unsigned jobs = 0;             // -j N: files converted at once; 0: one per core
  double settle = 2;             // --settle S: seconds a file must stay unchanged
  double poll = 10;              // --poll S: seconds between scans of IN
  const char* done = nullptr;    // --done DIR: where converted originals go
  const char* failed = nullptr;  // --failed DIR: where failed originals go
  bool scan_only = false;        // --scan-only: no file-system events, scans alone
  // An option that takes a value without one, or with one it cannot take;
  // or --watch with -i or -n. The usage text, status 1.
  bool bad = false;
  std::span<const char* const> files;  // the input and, maybe, the output name
};

// «--dry-run -x.pdf» is a dry run of the file "-x.pdf"; «a.pdf --all» names
// the output "--all"; «-- --all» names the input "--all".
[[nodiscard]] Options parse_options(std::span<const char* const> args);

}  // namespace iccdrop::cli
