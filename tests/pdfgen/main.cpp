// iccdrop_pdfgen: writes the test PDF files.
//
//   iccdrop_pdfgen --list
//   iccdrop_pdfgen [--profiles DIR] CASE OUT.pdf [OUT.expected]
//
// CASE is "sample" or a name from --list. OUT.expected receives what
// `iccdrop OUT.pdf` must print when run in OUT.pdf's directory (the default
// output name: «sample.pdf» gives «sample3.pdf»).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "pdfgen/cases.h"

namespace {

bool write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

int usage() {
  std::fputs(
      "Usage: iccdrop_pdfgen --list\n"
      "       iccdrop_pdfgen [--profiles DIR] CASE OUT.pdf [OUT.expected]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace iccdrop::pdfgen;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<Case> cases = generated_cases();
  cases.insert(cases.begin(), sample_case());
  for (Case& c : all_mode_cases()) cases.push_back(std::move(c));
  if (args.size() == 1 && args[0] == "--list") {
    for (const Case& c : cases)
      std::printf("%-28s %s\n", c.name.c_str(), c.summary.c_str());
    return 0;
  }
  std::string profile_dir = kDefaultProfileDir;
  if (args.size() >= 2 && args[0] == "--profiles") {
    profile_dir = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() < 2 || args.size() > 3) return usage();
  const Case* chosen = nullptr;
  for (const Case& c : cases) {
    if (c.name == args[0]) chosen = &c;
  }
  if (chosen == nullptr) {
    std::fprintf(stderr, "iccdrop_pdfgen: no case named %s (see --list)\n",
                 args[0].c_str());
    return 2;
  }
  const BuildResult result = build_case(*chosen, profile_dir);
  if (!result.built) {
    std::fprintf(stderr, "iccdrop_pdfgen: %s\n", result.error.c_str());
    return 1;
  }
  if (!write(args[1], result.built->pdf)) {
    std::fprintf(stderr, "iccdrop_pdfgen: cannot write %s\n", args[1].c_str());
    return 1;
  }
  if (args.size() == 3) {
    std::string name = args[1].substr(args[1].find_last_of('/') + 1);
    const std::size_t dot = name.find_last_of('.');
    name = dot == std::string::npos ? name + "3.pdf"
                                    : name.substr(0, dot) + "3" + name.substr(dot);
    if (!write(args[2], iccdrop::testing::expected_stdout(name, result.built->changes))) {
      std::fprintf(stderr, "iccdrop_pdfgen: cannot write %s\n", args[2].c_str());
      return 1;
    }
  }
  return 0;
}
