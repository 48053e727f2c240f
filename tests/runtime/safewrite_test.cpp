// The safe-write path and the picture writers on it: inputs are never written whatever their
// spelling, an existing file survives a write that fails part-way, special files are refused
// and left alone, and nothing but the new file is ever removed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/Bitmap.h"
#include "runtime/SafeWrite.h"

namespace fs = std::filesystem;

namespace {

class SafeWrite : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-safewrite-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string P(const std::string& name) const { return Dir + "/" + name; }

  static void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Names in the folder, to see that no temporary file was left behind.
  std::vector<std::string> Listing() const {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(Dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }

  static TBitmap Picture(int w, int h) {
    TBitmap b(24, w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < b.Stride(); ++x) b.ScanLine(y)[x] = static_cast<uint8_t>(x * 7 + y);
    return b;
  }

  std::string Dir;
};

TEST_F(SafeWrite, InputRefusedUnderEverySpelling) {
  const std::string in = P("in.mp4");
  Put(in, "the source video");
  fs::create_directory(P("sub"));
  fs::create_symlink(in, P("link.mp4"));
  fs::create_hard_link(in, P("hard.mp4"));
  const std::vector<std::string> spellings = {in, Dir + "/./in.mp4", Dir + "/sub/../in.mp4", P("link.mp4"),
                                              P("hard.mp4")};
  const TBitmap pic = Picture(16, 16);
  for (const std::string& target : spellings) {
    SCOPED_TRACE(target);
    TWriteCheck c = CheckWriteTarget(target, {in});
    EXPECT_EQ(c.Refusal, TWriteRefusal::IsInput);
    EXPECT_NE(c.Message.find("input file"), std::string::npos) << c.Message;
    std::string err;
    EXPECT_FALSE(pic.SaveToJPEG(target, &err, {in}));
    EXPECT_NE(err.find("input file"), std::string::npos) << err;
    EXPECT_FALSE(pic.SaveToBMP(target, &err, {in}));
    // The input named by a link or another spelling is refused too.
    EXPECT_FALSE(pic.SaveToBMP(in, &err, {target}));
  }
  EXPECT_EQ(Get(in), "the source video");
  EXPECT_TRUE(fs::is_symlink(P("link.mp4")));
  EXPECT_EQ(Listing(), (std::vector<std::string>{"hard.mp4", "in.mp4", "link.mp4", "sub"}));
  EXPECT_TRUE(SameFile(in, "file:" + P("hard.mp4")));
  EXPECT_FALSE(SameFile(in, P("missing")));
}

TEST_F(SafeWrite, ReplacesOnlyWithCompleteFileKeepingModeAndLinks) {
  const std::string out = P("out.bmp");
  Put(out, "old picture");
  chmod(out.c_str(), 0640);
  const TBitmap pic = Picture(20, 10);
  std::string err;
  ASSERT_TRUE(pic.SaveToBMP(out, &err)) << err;
  const std::string bmp = Get(out);
  ASSERT_GE(bmp.size(), 54u);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // Through a link: the file it names gets the picture, the link stays a link.
  Put(P("real.jpg"), "old");
  fs::create_symlink("real.jpg", P("shown.jpg"));
  ASSERT_TRUE(pic.SaveToJPEG(P("shown.jpg"), &err)) << err;
  EXPECT_TRUE(fs::is_symlink(P("shown.jpg")));
  EXPECT_EQ(Get(P("real.jpg")).substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"out.bmp", "real.jpg", "shown.jpg"}));
}

TEST_F(SafeWrite, FailedWriteLeavesTheOldFile) {
  const std::string out = P("out.bmp");
  Put(out, "precious old content");
  const TBitmap pic = Picture(400, 300);  // 360 KB, far beyond the limit below
  // A child with a file-size limit: writes past it fail with EFBIG, as on a full disk.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
    std::string err;
    const bool bmpOk = pic.SaveToBMP(out, &err);
    const bool bmpErr = err.find("File too large") != std::string::npos;
    const bool jpgOk = Picture(2000, 2000).SaveToJPEG(out, &err);
    _exit(!bmpOk && bmpErr && !jpgOk ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Get(out), "precious old content");
  EXPECT_EQ(Listing(), std::vector<std::string>{"out.bmp"});
}

TEST_F(SafeWrite, SpecialFilesRefusedAndKept) {
  const TBitmap pic = Picture(8, 8);
  std::string err;
  ASSERT_EQ(mkfifo(P("fifo.jpg").c_str(), 0600), 0);
  fs::create_directory(P("dir.bmp"));
  std::vector<std::string> targets = {P("fifo.jpg"), P("dir.bmp"), "/dev/null"};
  // A device node of our own, where allowed (root): a failed write must not remove it.
  if (mknod(P("dev.bmp").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) targets.push_back(P("dev.bmp"));
  for (const std::string& t : targets) {
    SCOPED_TRACE(t);
    EXPECT_EQ(CheckWriteTarget(t, {}).Refusal, TWriteRefusal::NotRegular);
    EXPECT_FALSE(pic.SaveToBMP(t, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(pic.SaveToJPEG(t, &err));
  }
  struct stat st;
  ASSERT_EQ(stat(P("fifo.jpg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(fs::is_directory(P("dir.bmp")));
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  if (targets.size() == 4) {
    ASSERT_EQ(stat(P("dev.bmp").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  // A dangling link and a missing folder are refused with the reason.
  fs::create_symlink(P("nowhere"), P("dangling.jpg"));
  EXPECT_EQ(CheckWriteTarget(P("dangling.jpg"), {}).Refusal, TWriteRefusal::NotRegular);
  TWriteCheck c = CheckWriteTarget(P("no/such/out.jpg"), {});
  EXPECT_EQ(c.Refusal, TWriteRefusal::BadPath);
  EXPECT_NE(c.Message.find("No such file or directory"), std::string::npos) << c.Message;
  EXPECT_EQ(CheckWriteTarget("", {}).Refusal, TWriteRefusal::BadPath);
}

TEST_F(SafeWrite, NoReplaceRefusesExistingAndLateArrivals) {
  const std::string out = P("cut.mp4");
  Put(out, "an earlier cut");
  std::string err;
  EXPECT_FALSE(SafeWriteFile(out, "new", 3, {}, false, &err));
  EXPECT_NE(err.find("File exists"), std::string::npos) << err;
  EXPECT_EQ(Get(out), "an earlier cut");

  // A file that appears while the new one is written is not replaced either.
  const std::string late = P("late.mp4");
  TSafeFile f;
  ASSERT_TRUE(f.Open(late, {}, false, &err)) << err;
  ASSERT_EQ(write(f.Fd(), "ours", 4), 4);
  Put(late, "someone else's");
  EXPECT_FALSE(f.Commit(&err));
  EXPECT_EQ(Get(late), "someone else's");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"cut.mp4", "late.mp4"}));

  // Without a clash the file arrives whole, created with the usual mode.
  ASSERT_TRUE(SafeWriteFile(P("fresh.txt"), "abc", 3, {}, false, &err)) << err;
  EXPECT_EQ(Get(P("fresh.txt")), "abc");
}

TEST_F(SafeWrite, UncommittedFileLeavesNothing) {
  const std::string out = P("a:b%d.jpg");
  Put(out, "kept");
  {
    TSafeFile f;
    std::string err;
    ASSERT_TRUE(f.Open(out, {}, true, &err)) << err;
    // Libraries that open by name must not read a protocol or pattern into the new name.
    EXPECT_TRUE(f.TempPath()[0] == '/' || f.TempPath().compare(0, 2, "./") == 0) << f.TempPath();
    EXPECT_TRUE(fs::exists(f.TempPath()));
    ASSERT_EQ(write(f.Fd(), "partial", 7), 7);
  }
  EXPECT_EQ(Get(out), "kept");
  EXPECT_EQ(Listing(), std::vector<std::string>{"a:b%d.jpg"});
}

// A write that ended early keeps the file it would replace and goes beside it under a name
// that was free, never over anything; with nothing to replace it takes its own name.
TEST_F(SafeWrite, EarlyEndKeepsTheOldFileAndTakesAFreeName) {
  Put(P("old.mp4"), "old");
  Put(P("old_(stopped_2).mp4"), "someone's");
  chmod(P("old.mp4").c_str(), 0600);
  const auto writeBeside = [&](const std::string& path, const std::string& text) {
    TSafeFile f;
    std::string err, placed;
    EXPECT_TRUE(f.Open(path, {}, true, &err)) << err;
    EXPECT_EQ(write(f.Fd(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_TRUE(f.CommitBeside("stopped", &placed, &err)) << err;
    EXPECT_FALSE(f.IsOpen());
    return placed;
  };
  EXPECT_EQ(writeBeside(P("old.mp4"), "first"), P("old_(stopped).mp4"));
  EXPECT_EQ(writeBeside(P("old.mp4"), "second"), P("old_(stopped_3).mp4"));
  EXPECT_EQ(Get(P("old.mp4")), "old");
  EXPECT_EQ(fs::status(P("old.mp4")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Get(P("old_(stopped).mp4")), "first");
  EXPECT_EQ(Get(P("old_(stopped_2).mp4")), "someone's");
  EXPECT_EQ(Get(P("old_(stopped_3).mp4")), "second");
  // No extension: the tag ends the name.
  Put(P("take"), "old");
  EXPECT_EQ(writeBeside(P("take"), "partial"), P("take_(stopped)"));
  EXPECT_EQ(Get(P("take")), "old");
  // A new name is simply written.
  EXPECT_EQ(writeBeside(P("new.mkv"), "partial"), P("new.mkv"));
  EXPECT_EQ(Get(P("new.mkv")), "partial");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"new.mkv", "old.mp4", "old_(stopped).mp4",
                                                 "old_(stopped_2).mp4", "old_(stopped_3).mp4",
                                                 "take", "take_(stopped)"}));
}

// Through a link the linked file stays and the partial file goes beside it.
TEST_F(SafeWrite, EarlyEndThroughALinkKeepsTheLinkedFile) {
  fs::create_directory(P("real"));
  Put(P("real/clip.mp4"), "old");
  fs::create_symlink("real/clip.mp4", P("link.mp4"));
  TSafeFile f;
  std::string err, placed;
  ASSERT_TRUE(f.Open(P("link.mp4"), {}, true, &err)) << err;
  ASSERT_EQ(write(f.Fd(), "partial", 7), 7);
  ASSERT_TRUE(f.CommitBeside("stopped", &placed, &err)) << err;
  EXPECT_TRUE(fs::equivalent(placed, P("real/clip_(stopped).mp4"))) << placed;
  EXPECT_EQ(Get(P("real/clip_(stopped).mp4")), "partial");
  EXPECT_EQ(Get(P("link.mp4")), "old");
  EXPECT_TRUE(fs::is_symlink(P("link.mp4")));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
