// The seek before reading, on inputs without an index (Matroska without cues, MPEG-TS) and with
// one (MP4): a cut near the end gives the same decoded output with and without it, copied and
// transcoded.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RunSupport.h"

using namespace runsupport;

namespace {

class PreSeekTest : public TRunTest {
protected:
  // Decoded pictures and samples with their times, as the ffmpeg tool sees them.
  static std::string FrameMd5(const std::string& path) {
    return Shell("ffmpeg -nostdin -v error -i '" + path + "' -map 0 -f framemd5 -");
  }
  std::string Cut(const std::string& in, const std::string& name, const std::string& options,
                  bool preSeek) {
    const std::string out = Out(name);
    TCustomFFmpeg e;
    e.InputPreSeek = preSeek;
    EXPECT_TRUE(Prepare(e, {in}, out, options)) << e.LastErrMsg();
    e.Start(false);
    EXPECT_TRUE(e.Finished()) << name << " " << e.ExceptionMsg();
    EXPECT_FALSE(e.Exception()) << name << " " << e.ExceptionMsg();
    return out;
  }
};

}  // namespace

TEST_F(PreSeekTest, CutsNearTheEndAreTheSameWithAndWithoutTheSeek) {
  // Matroska written to a pipe has no cues at all; the fixture's cues name only its first
  // key frame (one cluster).
  const std::string noCues = Out("nocues.mkv");
  Shell("ffmpeg -nostdin -v error -i '" + FixturePath(FixtureKind::H264Mkv) +
        "' -map 0 -c copy -f matroska - > '" + noCues + "'");
  ASSERT_TRUE(fs::exists(noCues));
  struct TInput {
    std::string Name, Path;
    bool SoundSeeks;       // decoded sound keeps its times after a seek
    bool Indexed = false;  // the file's index gives the key frames
    bool CleanKeys = true; // decoding may begin at a key frame (H.264 IDR pictures)
  };
  const std::vector<TInput> inputs = {
      // Matroska's millisecond times cannot carry exact sample times of AAC frames; the
      // integer MP2 decoder depends on everything before.
      {"H264Mkv", FixturePath(FixtureKind::H264Mkv), false},
      {"H264MkvNoCues", noCues, false},
      {"Mpeg2Ts", FixturePath(FixtureKind::Mpeg2Ts), false, false, false},
      {"H264Ts", FixturePath(FixtureKind::H264Ts), true},
      {"H264Mp4", FixturePath(FixtureKind::H264Mp4), true, true},
      // Recovery points, not IDR pictures: decoding begins a group earlier.
      {"H264OpenGopMkv", FixturePath(FixtureKind::H264OpenGopMkv), false, false, false},
  };
  struct TCut {
    std::string Name, Options;
    bool DecodesSound;
  };
  const std::vector<TCut> cuts = {
      {"copy", "-ss 2.2 -t 0.6 -c copy", false},
      {"video", "-ss 2.2 -t 0.6 -an -c:v mpeg4 -qscale 2", false},
      {"transcode", "-ss 2.2 -t 0.6 -c:v mpeg4 -qscale 2 -c:a aac", true},
  };
  for (const TInput& in : inputs) {
    for (const TCut& cut : cuts) {
      const std::string& kind = cut.Name;
      // A copy that begins at a recovery point keeps leading pictures that cannot decode.
      if (kind == "copy" && in.Name == "H264OpenGopMkv") continue;
      const std::string& options = cut.Options;
      const bool seeks = !cut.DecodesSound || in.SoundSeeks;
      const std::string tag = in.Name + " " + kind;
      const size_t before = LinesWith("without an index").size();
      const size_t skipsBefore = LinesWith("begins at its key frame").size();
      const std::string seeked = Cut(in.Path, in.Name + kind + "1.mkv", options, true);
      EXPECT_EQ(LinesWith("without an index").size() - before, seeks && !in.Indexed ? 1u : 0u)
          << tag;
      // Decoded video skips the packets before the last IDR picture at or before the start,
      // whether or not the input was sought.
      EXPECT_EQ(LinesWith("begins at its key frame").size() - skipsBefore,
                kind != "copy" && in.CleanKeys ? 1u : 0u)
          << tag;
      const std::string read = Cut(in.Path, in.Name + kind + "2.mkv", options, false);
      const std::string a = FrameMd5(seeked), b = FrameMd5(read);
      EXPECT_NE(a.find("\n0,"), std::string::npos) << tag << ": no pictures";
      if (kind != "video") {
        EXPECT_NE(a.find("\n1,"), std::string::npos) << tag << ": no sound";
      }
      EXPECT_EQ(a, b) << tag;
      EXPECT_EQ(FFmpegDecodeErrors(seeked), "") << tag;
    }
  }
}

TEST_F(PreSeekTest, FiltersWithMemoryAndInputHooksSeeEveryFrame) {
  // A frame counter, a resampler's phase and a hook's view all depend on every frame before
  // the start; with them the input is read from its beginning.
  const std::string in = FixturePath(FixtureKind::H264Mp4);
  struct TCase {
    std::string Name, Options, Why;
  };
  const std::vector<TCase> cases = {
      {"setpts", "-ss 2.2 -t 0.6 -an -c:v mpeg4 -qscale 2 -vf setpts=N/25/TB", "setpts filter"},
      {"resample", "-ss 2.2 -t 0.6 -vn -c:a pcm_s16le -ar 22050", "from 48000 to 22050 Hz"},
      // 1024-sample frames span 512 output samples: the grid is kept and the input sought.
      {"halve", "-ss 2.2 -t 0.6 -c:v mpeg4 -qscale 2 -c:a pcm_s16le -ar 24000", ""},
      {"scale", "-ss 2.2 -t 0.6 -c:v mpeg4 -qscale 2 -s 160x120 -c:a pcm_s16le", ""},
  };
  for (const TCase& c : cases) {
    const size_t refusals = LinesWith("No pre-seek: ").size();
    const std::string seeked = Cut(in, c.Name + "1.mkv", c.Options, true);
    const std::vector<std::string> lines = LinesWith("No pre-seek: ");
    if (c.Why.empty()) {
      EXPECT_EQ(lines.size(), refusals) << c.Name;
    } else {
      EXPECT_EQ(lines.size(), refusals + 1) << c.Name;
      if (lines.size() > refusals)
        EXPECT_NE(lines.back().find(c.Why), std::string::npos) << lines.back();
    }
    const std::string read = Cut(in, c.Name + "2.mkv", c.Options, false);
    EXPECT_EQ(FrameMd5(seeked), FrameMd5(read)) << c.Name;
  }
  const size_t refusals = LinesWith("No pre-seek: input hooks").size();
  TCustomFFmpeg e;
  int seen = 0;
  e.OnFrameInputHook = [&](TCustomFFmpeg*, uint8_t* const*, const int*, AVPixelFormat, int, int,
                           int, int64_t) { seen++; };
  ASSERT_TRUE(Prepare(e, {in}, Out("hook.mkv"), "-ss 2.2 -t 0.6 -an -c:v mpeg4")) << e.LastErrMsg();
  e.Start(false);
  EXPECT_TRUE(e.Finished());
  EXPECT_EQ(LinesWith("No pre-seek: input hooks").size(), refusals + 1);
  EXPECT_GE(seen, 70);  // every picture from the first one to the end of the range at 2.8 s
}

TEST_F(PreSeekTest, AGivenUpSeekReadsFromTheFirstPacket) {
  // One key frame only: no seek can reach the start, so the input is read from its beginning.
  // The sound starts first, and the first decoding times lie two pictures before the first
  // picture's time: a seek to the file's start time would land past the key frame.
  const std::string in = Out("onekey.ts");
  Shell("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
        "sine=sample_rate=48000 -t 4 -c:v libx264 -g 1000 -bf 2 -c:a mp2 -f mpegts '" +
        in + "'");
  ASSERT_TRUE(fs::exists(in));
  for (const std::string options :
       {"-ss 3 -t 0.6 -an -c:v mpeg4 -qscale 2", "-ss 3 -t 0.6 -c:v mpeg4 -qscale 2 -c:a mp2"}) {
    const size_t kept = LinesWith("without an index").size();
    const std::string seeked = Cut(in, "onekey1.mkv", options, true);
    EXPECT_EQ(LinesWith("without an index").size(), kept) << options;
    const std::string read = Cut(in, "onekey2.mkv", options, false);
    const std::string a = FrameMd5(seeked);
    EXPECT_NE(a.find("\n0,"), std::string::npos) << options << ": no pictures";
    EXPECT_EQ(a, FrameMd5(read)) << options;
  }
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
