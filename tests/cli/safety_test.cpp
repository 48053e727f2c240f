// trimora-cli never loses a user's file: the input is refused as output however it is spelt,
// a write that fails part-way or is interrupted keeps the old file, special inputs fail at once,
// and arguments are checked before anything is opened or printed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliTestSupport.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

using TRun = TCliRun;

TRun Shell(const std::string& cmd) { return RunShell(cmd); }

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Q(const std::string& s) { return ShellQuote(s); }

class CliSafety : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-clisafety-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    Input = Dir + "/in.mp4";
    fs::copy_file(FixturePath(FixtureKind::H264Mp4), Input);
    Original = Bytes(Input);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // Runs the CLI inside the temporary folder, so relative spellings work.
  TRun Cli(const std::string& args) { return Shell("cd " + Q(Dir) + " && " + Q(TRIMORA_CLI) + " " + args); }

  std::string Dir, Input, Original;
};

TEST_F(CliSafety, InputIsNeverTheOutput) {
  fs::create_symlink("in.mp4", Dir + "/link.mp4");
  for (const std::string& out : {Input, std::string("./in.mp4"), std::string("link.mp4")}) {
    SCOPED_TRACE(out);
    TRun r = Cli("frame in.mp4 1.0 " + Q(out));
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find("this is an input file and is never written"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out, "");
    // The engine's refusal names the file once.
    TRun e = Cli("encode in.mp4 " + Q(out) + " '-c copy'");
    EXPECT_EQ(e.Code, 1);
    EXPECT_NE(e.Err.find(out + ": this is an input file and is never written"), std::string::npos)
        << e.Err;
    EXPECT_EQ(e.Err.find(out + ": " + out), std::string::npos) << e.Err;
  }
  EXPECT_EQ(Bytes(Input), Original);
  EXPECT_TRUE(fs::is_symlink(Dir + "/link.mp4"));
  // A picture beside it is written as usual.
  TRun ok = Cli("frame ./in.mp4 1.0 shot.jpg");
  EXPECT_EQ(ok.Code, 0) << ok.Err;
  EXPECT_EQ(Bytes(Dir + "/shot.jpg").substr(0, 2), "\xFF\xD8");
}

TEST_F(CliSafety, FailedWriteKeepsTheOldPicture) {
  std::ofstream(Dir + "/old.bmp") << "an older picture";
  // A file-size limit makes the write fail part-way, as a full disk would.
  TRun r = Shell("cd " + Q(Dir) + " && trap '' XFSZ && ulimit -f 4 && exec " + Q(TRIMORA_CLI) +
               " frame in.mp4 0.5 old.bmp");
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("File too large"), std::string::npos) << r.Err;
  EXPECT_EQ(Bytes(Dir + "/old.bmp"), "an older picture");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"in.mp4", "old.bmp"}));
}

TEST_F(CliSafety, SpecialInputsAndOutputsFailAtOnce) {
  ASSERT_EQ(mkfifo((Dir + "/pipe.mp4").c_str(), 0600), 0);
  TRun r = Shell("timeout 20 " + Q(TRIMORA_CLI) + " info " + Q(Dir + "/pipe.mp4"));
  EXPECT_EQ(r.Code, 1) << "124 means it blocked";
  EXPECT_NE(r.Err.find("cannot open a FIFO as a media file"), std::string::npos) << r.Err;

  r = Cli("frame in.mp4 0 pipe.mp4");
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("not a regular file"), std::string::npos) << r.Err;
  r = Cli("frame in.mp4 0 /dev/null");
  EXPECT_EQ(r.Code, 1);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(CliSafety, ArgumentsCheckedBeforeOpening) {
  // Nothing is printed for the first picture when a later step is wrong.
  for (const char* step : {"seek:abc", "next:0", "next:x", "jump"}) {
    SCOPED_TRACE(step);
    TRun r = Cli("frames in.mp4 next " + std::string(step));
    EXPECT_EQ(r.Code, 2);
    EXPECT_EQ(r.Out, "");
  }
  // A bad time is reported even when the file is missing: the arguments come first.
  TRun r = Cli("frame missing.mp4 soon out.jpg");
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Err.find("Bad time: soon"), std::string::npos) << r.Err;
  EXPECT_FALSE(fs::exists(Dir + "/out.jpg"));
}

TEST_F(CliSafety, StillPictureAndOddNamesSaveTheirPicture) {
  fs::copy_file(FixturePath(FixtureKind::StillPng), Dir + "/still.png");
  TRun r = Cli("frame still.png 0 out.jpg");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Bytes(Dir + "/out.jpg").substr(0, 2), "\xFF\xD8");
  // A still picture cannot seek: a later time still gives its one picture.
  r = Cli("frame still.png 2.5 later.bmp");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Bytes(Dir + "/later.bmp").substr(0, 2), "BM");

  fs::rename(Input, Dir + "/a:b.mp4");
  fs::copy_file(Dir + "/still.png", Dir + "/percent%d.png");
  r = Cli("info a:b.mp4");
  EXPECT_EQ(r.Code, 0) << r.Err;
  r = Cli("frame 'percent%d.png' 0 'shot%d.bmp'");
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(fs::exists(Dir + "/shot%d.bmp"));
}

// Ctrl+C on an encode that would replace a file keeps the file: the partial output is left
// beside it under the name the printed line gives, or dropped when it holds nothing.
TEST_F(CliSafety, InterruptedEncodeKeepsTheFileItWouldReplace) {
  const std::string old = "an older film";
  std::ofstream(Dir + "/old.mp4") << old;
  // Read at the native rate, so the signal lands after `ms` of the 3 s clip.
  const auto interrupted = [&](const std::string& options, int ms) {
    const std::string errFile = Dir + "/../" + fs::path(Dir).filename().string() + ".err";
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || chdir(Dir.c_str()) != 0 || dup2(fd, 2) < 0) _exit(98);
      execl(TRIMORA_CLI, TRIMORA_CLI, "encode", "--input-options", "-re", "in.mp4", "old.mp4",
            options.c_str(), static_cast<char*>(nullptr));
      _exit(99);
    }
    TRun r;
    if (pid < 0) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    kill(pid, SIGINT);
    int st = 0;
    if (waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.Code = WEXITSTATUS(st);
    r.Err = Bytes(errFile);
    fs::remove(errFile);
    return r;
  };
  const auto names = [&] {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(Dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  };

  TRun r = interrupted("-c:v mpeg4 -c:a aac", 1500);
  EXPECT_EQ(r.Code, 130);
  EXPECT_EQ(Bytes(Dir + "/old.mp4"), old);
  EXPECT_NE(r.Err.find("old.mp4: the task was stopped, so the existing file is kept; the "
                       "partial output is old_(stopped).mp4\n"),
            std::string::npos)
      << r.Err;
  EXPECT_EQ(names(), (std::vector<std::string>{"in.mp4", "old.mp4", "old_(stopped).mp4"}));
  EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i " + Q(Dir + "/old_(stopped).mp4") + " -f null -").Err,
            "");
  TRun probe = Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                     "stream=nb_read_frames -of csv=p=0 " + Q(Dir + "/old_(stopped).mp4"));
  EXPECT_GT(std::atoi(probe.Out.c_str()), 10) << probe.Out;
  EXPECT_LT(std::atoi(probe.Out.c_str()), 75) << probe.Out;

  // Still skipping to the start when stopped: nothing was written and nothing is added.
  fs::remove(Dir + "/old_(stopped).mp4");
  r = interrupted("-ss 2.5 -c:v mpeg4 -c:a aac", 700);
  EXPECT_EQ(r.Code, 130);
  EXPECT_EQ(Bytes(Dir + "/old.mp4"), old);
  EXPECT_EQ(r.Err.find("stopped"), std::string::npos) << r.Err;
  EXPECT_EQ(names(), (std::vector<std::string>{"in.mp4", "old.mp4"}));
}

TEST(CliVersion, PrintsTheBuildVersion) {
  TRun r = Shell(Q(TRIMORA_CLI) + " --version");
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out.rfind("trimora-cli ", 0), 0u) << r.Out;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
