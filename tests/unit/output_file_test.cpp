// OutputFile with both kinds of new file, the unnamed one and the hidden
// named one that systems without O_TMPFILE use: the name keeps what it held
// until commit, a commit puts the whole file there with the right mode, and
// an abandoned file leaves nothing behind.
#include "stream/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/run_binary.h"

namespace iccdrop::stream {
namespace {

using testing::list_dir;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

bool write_all(int fd, std::string_view bytes) {
  return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

TEST(OutputFile, NameKeepsItsFileUntilCommitAndNothingStraysEitherWay) {
  struct stat input {};  // no file is the input here
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (const bool unnamed : {true, false}) {
    for (const bool earlier : {true, false}) {
      for (const bool commit : {true, false}) {
        SCOPED_TRACE(::testing::Message() << (unnamed ? "unnamed" : "hidden")
                                          << (earlier ? ", earlier output" : "")
                                          << (commit ? ", committed" : ", abandoned"));
        TempDir dir;
        const std::string out = dir.file("out.pdf");
        if (earlier) {
          ASSERT_TRUE(write_file(out, "earlier"));
          ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
        }
        std::optional<std::string> held;
        if (earlier) held = "earlier";
        OutputFile file(unnamed);
        ASSERT_EQ(file.open(out, input), OutputStatus::kOpen);
        EXPECT_TRUE(file.is_regular());
        ASSERT_TRUE(write_all(file.fd(), "new output"));
        EXPECT_EQ(read_file(out), held);
        if (commit) {
          ASSERT_TRUE(file.commit());
          EXPECT_EQ(read_file(out), "new output");
          struct stat info {};
          ASSERT_EQ(::stat(out.c_str(), &info), 0);
          EXPECT_EQ(info.st_mode & 07777, earlier ? 0640u : (0666u & ~mask));
        } else {
          EXPECT_EQ(file.abandon(), OutputFile::Abandoned::kNothing);
          EXPECT_EQ(read_file(out), held);
        }
        EXPECT_EQ(list_dir(dir.path()),
                  (earlier || commit ? std::vector<std::string>{"out.pdf"}
                                     : std::vector<std::string>{}));
      }
    }
  }
}

}  // namespace
}  // namespace iccdrop::stream
