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

// The name is walked once, at the open: a link planted at it afterwards,
// or a folder on the way renamed and a link to elsewhere put in its place,
// does not move the output. The commit lands in the folder the open found,
// onto the entry it found; an abandoned file leaves nothing there.
TEST(OutputFile, ChangesToTheNameAfterTheOpenDoNotMoveTheOutput) {
  struct stat input {};
  struct Row {
    const char* what;
    void (*change)(const TempDir& dir);
    const char* landed;  // where the output goes
  };
  constexpr Row kRows[] = {
      {"a link planted at the name",
       [](const TempDir& dir) {
         ASSERT_EQ(
             ::symlink(dir.file("victim/out.pdf").c_str(), dir.file("a/out.pdf").c_str()),
             0);
       },
       "a/out.pdf"},
      {"the folder renamed and a link put in its place",
       [](const TempDir& dir) {
         ASSERT_EQ(::rename(dir.file("a").c_str(), dir.file("moved").c_str()), 0);
         ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("a").c_str()), 0);
       },
       "moved/out.pdf"},
  };
  for (const bool unnamed : {true, false}) {
    for (const Row& row : kRows) {
      for (const bool commit : {true, false}) {
        SCOPED_TRACE(::testing::Message()
                     << row.what << (unnamed ? ", unnamed" : ", hidden")
                     << (commit ? ", committed" : ", abandoned"));
        TempDir dir;
        ASSERT_EQ(::mkdir(dir.file("a").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(dir.file("victim").c_str(), 0755), 0);
        ASSERT_TRUE(write_file(dir.file("victim/out.pdf"), "victim's"));
        OutputFile file(unnamed);
        ASSERT_EQ(file.open(dir.file("a/out.pdf"), input), OutputStatus::kOpen);
        ASSERT_TRUE(write_all(file.fd(), "new output"));
        row.change(dir);
        const std::string landed = dir.file(row.landed);
        if (commit) {
          ASSERT_TRUE(file.commit());
          struct stat info {};
          ASSERT_EQ(::lstat(landed.c_str(), &info), 0);
          EXPECT_TRUE(S_ISREG(info.st_mode));
          EXPECT_EQ(read_file(landed), "new output");
        } else {
          EXPECT_EQ(file.abandon(), OutputFile::Abandoned::kNothing);
          const std::string folder = landed.substr(0, landed.rfind('/'));
          for (const std::string& name : list_dir(folder)) EXPECT_NE(name.front(), '.');
        }
        EXPECT_EQ(list_dir(dir.file("victim")), std::vector<std::string>{"out.pdf"});
        EXPECT_EQ(read_file(dir.file("victim/out.pdf")), "victim's");
      }
    }
  }
}

}  // namespace
}  // namespace iccdrop::stream
