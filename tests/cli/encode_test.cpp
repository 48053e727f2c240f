// trimora-cli encode end to end: exit codes, the progress and statistics lines, a stop by
// SIGINT that still leaves a decodable file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

struct TResult {
  int Code = -1;
  std::string Out;
};

TResult Shell(const std::string& cmd) {
  TResult r;
  FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  while (fgets(buf, sizeof buf, p)) r.Out += buf;
  int st = pclose(p);
  r.Code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string ErrorsOf(const std::string& path) {
  return Shell("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1").Out;
}

// Exit code of an encode of `in` into `out` stopped by SIGINT mid-way (-1 when it did not exit),
// its standard error in `log`.
int InterruptedEncode(const std::string& in, const std::string& out, const std::string& log) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 2) < 0) _exit(98);
    // Read at the native rate, so the signal lands mid-way through the 3 s clip.
    execl(TRIMORA_CLI, TRIMORA_CLI, "encode", "--input-options", "-re", in.c_str(), out.c_str(),
          "-c:v mpeg4 -c:a aac", static_cast<char*>(nullptr));
    _exit(99);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(pid, SIGINT);
  int st = 0;
  if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}

class EncodeCommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = (fs::temp_directory_path() / ("trimora-enc-" + std::to_string(getpid()))).string();
    fs::create_directories(Dir);
    Src = FixturePath(FixtureKind::H264Mp4);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Dir, Src;
};

}  // namespace

TEST_F(EncodeCommandTest, FinishedFailedAndUsage) {
  const std::string out = Dir + "/a.mkv";
  TResult r = Shell(std::string(TRIMORA_CLI) + " encode '" + Src + "' '" + out +
                    "' '-ss 1 -t 1 -c:v mpeg4 -c:a aac'");
  EXPECT_EQ(r.Code, 0);
  // Not a terminal: one line per report, the final one marked, then the statistics.
  EXPECT_NE(r.Out.find("frame=   25 "), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(" Lsize="), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\nvideo:"), std::string::npos) << r.Out;
  EXPECT_EQ(ErrorsOf(out), "");

  EXPECT_EQ(Shell(std::string(TRIMORA_CLI) + " encode '" + Src + "' '" + Dir +
                  "/b.mkv' '-c:v nosuchcodec'").Code, 1);
  EXPECT_FALSE(fs::exists(Dir + "/b.mkv"));
  EXPECT_EQ(Shell(std::string(TRIMORA_CLI) + " encode '" + Dir + "/missing.mp4' '" + Dir +
                  "/c.mkv'").Code, 1);
  EXPECT_EQ(Shell(std::string(TRIMORA_CLI) + " encode '" + Src + "'").Code, 2);
  EXPECT_EQ(Shell(std::string(TRIMORA_CLI) + " encode --bogus '" + Src + "' x.mkv").Code, 2);
  // The input is never the output.
  EXPECT_EQ(Shell(std::string(TRIMORA_CLI) + " encode '" + Src + "' '" + Src + "' '-c copy'").Code, 1);
}

// On a terminal the engine's own line is rewritten in place (no bar: that is the cut's).
TEST_F(EncodeCommandTest, TerminalRewritesTheEngineLine) {
  if (Shell("command -v script").Code != 0) GTEST_SKIP() << "script (util-linux) is not installed";
  const std::string out = Dir + "/t.mkv";
  // Read at the native rate, so more than one report comes.
  const std::string cmd = std::string(TRIMORA_CLI) + " encode --input-options -re '" + Src + "' '" + out +
                          "' '-t 1.5 -c:v mpeg4 -c:a aac'";
  TResult r = Shell("script -qefc \"" + cmd + " 2>/dev/null\" /dev/null </dev/null");
  ASSERT_EQ(r.Code, 0) << r.Out;
  ASSERT_EQ(r.Out.rfind("\rframe=", 0), 0u) << r.Out;
  EXPECT_NE(r.Out.find("\rframe=", 1), std::string::npos) << r.Out;
  const size_t lineEnd = r.Out.find("\r\n");
  EXPECT_NE(r.Out.find(" Lsize=", 0), std::string::npos) << r.Out;
  EXPECT_LT(r.Out.rfind("\rframe="), lineEnd) << r.Out;
  EXPECT_EQ(r.Out.compare(lineEnd, 8, "\r\nvideo:"), 0) << r.Out;
  EXPECT_EQ(r.Out.find(" left"), std::string::npos) << r.Out;
}

TEST_F(EncodeCommandTest, InterruptStopsTheTaskAndLeavesAValidFile) {
  const std::string out = Dir + "/slow.mkv";
  EXPECT_EQ(InterruptedEncode(Src, out, "/dev/null"), 130);
  ASSERT_TRUE(fs::exists(out));
  EXPECT_EQ(ErrorsOf(out), "");
}

// Ctrl+C on a job that would replace a file: the old file stays byte for byte, the partial
// output is beside it under a free name, and the message says where.
TEST_F(EncodeCommandTest, InterruptKeepsTheFileItWouldReplace) {
  const std::string out = Dir + "/old.mkv", aside = Dir + "/old_(stopped).mkv", log = Dir + "/stderr.txt";
  const std::string old = "an older film";
  std::ofstream(out, std::ios::binary) << old;
  EXPECT_EQ(InterruptedEncode(Src, out, log), 130);
  std::ifstream kept(out, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()), old);
  ASSERT_TRUE(fs::exists(aside));
  EXPECT_EQ(ErrorsOf(aside), "");
  std::ifstream err(log);
  const std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
  EXPECT_NE(said.find(out + ": the task was stopped, so the existing file is kept; the partial output is " + aside),
            std::string::npos)
      << said;
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
