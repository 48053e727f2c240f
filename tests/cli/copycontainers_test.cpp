// Plain copies (--no-exact) of files whose containers make the copy itself the hard part: an
// AVI that keeps no presentation times, a program stream whose suffix names no muxer, sound the
// output container cannot hold, and an MPEG-TS whose earliest track is one the cut leaves out.
// Each is made from a fixture by the ffmpeg tool; each copy must start on the key frame at or
// before the start point and hold the marked pictures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

class CliCopyContainers : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-clicopy-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override { fs::remove_all(Dir); }

  // The fixture of `kind` through the ffmpeg tool with `args` into Dir/name.
  std::string Remux(FixtureKind kind, const std::string& args, const std::string& name) {
    const std::string out = Dir + "/" + name;
    const TCliRun r = RunShell("ffmpeg -nostdin -v error -i '" + FixturePath(kind) + "' " + args + " '" + out + "'");
    EXPECT_EQ(r.Code, 0) << r.Err;
    return out;
  }

  // The plain copy of 0.96 s to 1.92 s into Dir/out; the run, with the written file in File.
  TCliRun Copy(const std::string& file, const std::string& extra = "") {
    fs::create_directories(Dir + "/out");
    const TCliRun r = RunShell(std::string(TRIMORA_CLI) + " cut '" + file +
                               "' --format 0 --no-exact --start 0.96 --end 1.92 --out-dir '" + Dir + "/out' " + extra);
    const size_t at = r.Out.find("output: ");
    Written = at == std::string::npos ? "" : r.Out.substr(at + 8, r.Out.find('\n', at) - at - 8);
    return r;
  }

  // The ffmpeg tool's complaints about the written file's pictures (empty: clean).
  std::string VideoComplaints() {
    const TCliRun r = RunShell("ffmpeg -nostdin -v error -i '" + Written + "' -an -f null - 2>&1");
    return r.Out + r.Err;
  }

  std::string Dir, Written;
};

// AVI keeps decoding times only: the key frame is judged by when it is shown (its decoding time
// plus the reordering delay), else the copy skips it and starts a group of pictures late.
TEST_F(CliCopyContainers, AnAviWithoutPresentationTimesStartsOnItsKeyFrame) {
  const std::string avi = Remux(FixtureKind::H264Mp4, "-c copy", "bframes.avi");
  const TCliRun r = Copy(avi);
  ASSERT_EQ(r.Code, 0) << r.Err;
  std::vector<int> numbers = FrameNumbers(Written);
  ASSERT_GE(numbers.size(), 35u);
  numbers.resize(35);
  // AVI shows each picture one frame later: 0.96 s is picture 23, its key frame picture 12.
  EXPECT_EQ(numbers, Counting(12, 46));
  EXPECT_EQ(VideoComplaints(), "");
}

// ".ps" names no muxer: the copy takes the input's own container, in the text and in the run,
// for the plain and the frame-exact copy alike.
TEST_F(CliCopyContainers, AProgramStreamIsCopiedIntoItsOwnContainer) {
  const std::string ps = Remux(FixtureKind::Mpeg2Ts, "-c copy -f mpeg", "program.ps");
  TCliRun r = Copy(ps);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find(" -f mpeg "), std::string::npos) << r.Out;
  EXPECT_EQ(fs::path(Written).extension(), ".ps");
  std::vector<int> numbers = FrameNumbers(Written);
  ASSERT_GE(numbers.size(), 22u);
  numbers.resize(22);
  EXPECT_EQ(numbers, Counting(24, 45));
  EXPECT_EQ(VideoComplaints(), "");

  fs::remove_all(Dir + "/out");
  r = RunShell(std::string(TRIMORA_CLI) + " cut '" + ps + "' --format 0 --start 1 --end 1.92 --out-dir '" + Dir + "/out'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(FrameNumbers(Dir + "/out/program_(new).ps"), Counting(25, 47));
}

// PCM in a file named .mp4 (written as MOV): the MP4 muxer cannot hold it, so the copy goes
// without sound and says so, instead of failing as a whole.
TEST_F(CliCopyContainers, SoundTheContainerCannotHoldIsLeftOutWithANote) {
  const std::string mp4 = Remux(FixtureKind::H264Mp4, "-c:v copy -c:a pcm_s16le -f mov", "pcm.mp4");
  const TCliRun r = Copy(mp4);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Err.find("The sound (pcm_s16le) cannot be kept in this container; the copy has none.\n"),
            std::string::npos)
      << r.Err;
  EXPECT_NE(r.Out.find(" -an "), std::string::npos) << r.Out;
  std::vector<int> numbers = FrameNumbers(Written);
  ASSERT_GE(numbers.size(), 24u);
  EXPECT_EQ(numbers.front(), 24);
  const TCliRun streams = RunShell("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + Written + "'");
  EXPECT_EQ(streams.Out, "video\n");
}

// The earliest track of this TS is a mono one that the engine does not pick (it takes the
// stereo one): the engine then counts -ss from the first track it uses, and so must the cut.
TEST_F(CliCopyContainers, ATransportStreamsUnusedEarlyTrackDoesNotMoveTheStart) {
  const std::string ts =
      Remux(FixtureKind::Mpeg2Ts,
            "-itsoffset -0.5 -i '" + FixturePath(FixtureKind::Mpeg2Ts) +
                "' -map 0:v -map 0:a -map 1:a -c:v copy -c:a:0 copy -c:a:1 mp2 -ac:a:1 1 -f mpegts",
            "early.ts");
  TCliRun r = Copy(ts);
  ASSERT_EQ(r.Code, 0) << r.Err;
  std::vector<int> numbers = FrameNumbers(Written);
  ASSERT_GE(numbers.size(), 24u);
  numbers.resize(24);
  EXPECT_EQ(numbers, Counting(24, 47));
  // Without the sound the engine counts from the video alone.
  fs::remove_all(Dir + "/out");
  r = Copy(ts, "--remove-audio");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(FrameNumbers(Written).front(), 24);
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
