// Encoding options of the run: forced key frames (times, chapters, expressions), the video
// statistics file, subtitles.
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "engine/RunSupport.h"

using namespace runsupport;

namespace {

class EncodeOptionsTest : public TRunTest {
protected:
  std::string Run(const std::string& out, const std::string& opts,
                  FixtureKind kind = FixtureKind::H264Mp4) {
    TCustomFFmpeg e;
    if (!Prepare(e, {FixturePath(kind)}, out, opts)) return "set-up: " + e.LastErrMsg();
    e.Start(false);
    if (e.Exception()) return e.ExceptionMsg();
    return e.Finished() ? "" : "not finished";
  }
  // Frame numbers of the key pictures.
  static std::vector<int> Keys(const std::string& path) {
    std::vector<int> keys;
    for (const TPicture& p : ReadPictures(path).Pictures)
      if (p.Key) keys.push_back(p.Number);
    return keys;
  }
  // An encoder that makes no key frames of its own in three seconds.
  static constexpr const char* kNoOwnKeys =
      "-an -c:v mpeg4 -qscale 4 -g 1000 -sc_threshold 1000000000 ";
};

}  // namespace

TEST_F(EncodeOptionsTest, ForcedKeyFramesByExpression) {
  FFLogger().SetLogLevel(llDebug);
  const std::string out = Out("expr.avi");
  ASSERT_EQ(Run(out, std::string(kNoOwnKeys) + "-force_key_frames expr:gte(t,n_forced*1)"), "");
  EXPECT_EQ(Keys(out), (std::vector<int>{0, 25, 50}));
  EXPECT_EQ(FFmpegDecodeErrors(out), "");
  const auto forced = LinesWith("Forced keyframe at time ");
  EXPECT_EQ(forced, (std::vector<std::string>{"Forced keyframe at time 0.000000",
                                              "Forced keyframe at time 1.000000",
                                              "Forced keyframe at time 2.000000"}));
  const auto traces = LinesWith("force_key_frame: ");
  ASSERT_EQ(traces.size(), 75u);
  EXPECT_EQ(traces[0],
            "force_key_frame: n:0.000000 n_forced:0.000000 prev_forced_n:nan t:0.000000 "
            "prev_forced_t:nan -> res:1.000000");
  EXPECT_EQ(traces[26],
            "force_key_frame: n:26.000000 n_forced:2.000000 prev_forced_n:25.000000 t:1.040000 "
            "prev_forced_t:1.000000 -> res:0.000000");
  // Every tenth picture, by the counters.
  const std::string out2 = Out("expr2.avi");
  ASSERT_EQ(Run(out2, std::string(kNoOwnKeys) +
                          "-force_key_frames expr:gte(n,prev_forced_n+10)+isnan(prev_forced_n)"),
            "");
  EXPECT_EQ(Keys(out2), (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70}));
  // A broken expression ends the set-up with its text.
  EXPECT_EQ(Run(Out("bad.avi"), std::string(kNoOwnKeys) + "-force_key_frames expr:gte(t,"),
            "Invalid force_key_frames expression \"gte(t,\"");
}

TEST_F(EncodeOptionsTest, ForcedKeyFramesByTimes) {
  const std::string out = Out("times.avi");
  // Out of order on purpose: the list is sorted.
  ASSERT_EQ(Run(out, std::string(kNoOwnKeys) + "-force_key_frames 1.7,0.52,00:00:02.2"), "");
  EXPECT_EQ(Keys(out), (std::vector<int>{0, 13, 43, 55}));
  EXPECT_EQ(Run(Out("bad.avi"), std::string(kNoOwnKeys) + "-force_key_frames 1,x"),
            "Invalid duration specification for force_key_frames: x");
}

TEST_F(EncodeOptionsTest, VideoStatisticsFileHasOneLinePerPacket) {
  const std::string stats = Out("vs.log");
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, {FixturePath(FixtureKind::H264Mp4)}, Out("vs.avi"),
                      "-an -c:v mpeg4 -q:v 5 -g 12 -psnr -vstats_file " + stats))
      << e.LastErrMsg();
  e.Start(false);
  ASSERT_TRUE(e.Finished()) << e.ExceptionMsg();
  std::ifstream f(stats);
  std::string line;
  const std::regex form(
      "frame= +([0-9]+) q= 5\\.0 PSNR= +[0-9]+\\.[0-9]{2} f_size= +([0-9]+) "
      "s_size= +([0-9]+)kB time= ([0-9]+\\.[0-9]{3}) br= +[0-9]+\\.[0-9]kbits/s "
      "avg_br= +[0-9]+\\.[0-9]kbits/s type= ([IP])");
  int n = 0;
  int64_t bytes = 0;
  std::string types;
  double lastTime = 0;
  while (std::getline(f, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    EXPECT_EQ(std::stoi(m[1]), ++n);
    bytes += std::stoll(m[2]);
    EXPECT_NEAR(std::stod(m[3]), bytes / 1024.0, 0.5);
    EXPECT_GT(std::stod(m[4]), lastTime);
    lastTime = std::stod(m[4]);
    types += m[5].str();
  }
  EXPECT_EQ(n, 75);
  EXPECT_EQ(bytes, e.VideoSize);
  EXPECT_NEAR(lastTime, 3.0, 0.001);
  EXPECT_EQ(types.substr(0, 13), "IPPPPPPPPPPPI");
  // Never written onto an input.
  const std::string in = Out("clip.mp4");
  fs::copy_file(FixturePath(FixtureKind::H264Mp4), in);
  TCustomFFmpeg r;
  ASSERT_TRUE(Prepare(r, {in}, Out("r.avi"), "-an -c:v mpeg4 -vstats_file " + in));
  r.Start(false);
  EXPECT_EQ(r.ExceptionMsg(), "fopen fail: " + in);
  EXPECT_EQ(fs::file_size(in), fs::file_size(FixturePath(FixtureKind::H264Mp4)));
}

// Subtitles: a Matroska file with a SubRip track, made by the ffmpeg tool from a text.
class SubtitleTest : public EncodeOptionsTest {
protected:
  static constexpr const char* kAll =
      "1\n00:00:00,500 --> 00:00:01,200\none\n\n2\n00:00:01,500 --> 00:00:02,000\ntwo\n\n"
      "3\n00:00:02,500 --> 00:00:02,900\nthree\n\n";
  std::string MakeInput() {
    const std::string srt = Out("in.srt");
    std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,200\none\n\n"
                          "2\n00:00:01,500 --> 00:00:02,000\ntwo\n\n"
                          "3\n00:00:02,500 --> 00:00:02,900\nthree\n\n";
    const std::string mkv = Out("in.mkv");
    const std::string log =
        Shell("ffmpeg -nostdin -v error -i '" + FixturePath(FixtureKind::H264Mp4) + "' -i '" +
              srt + "' -map 0:v -map 1 -c copy -c:s srt '" + mkv + "'");
    EXPECT_EQ(log, "");
    // Without sound the muxer moves nothing: the times are the text's.
    EXPECT_EQ(SubtitlesOf(mkv), kAll);
    return mkv;
  }
  // The subtitles of a file as SubRip text, by the ffmpeg tool.
  static std::string SubtitlesOf(const std::string& path) {
    return Shell("ffmpeg -nostdin -v error -i '" + path + "' -map 0:s:0 -f srt -");
  }
  // Codec of the first subtitle stream, by ffprobe.
  static std::string SubtitleCodec(const std::string& path) {
    return Shell("ffprobe -v error -select_streams s:0 -show_entries stream=codec_name -of "
                 "csv=p=0 '" + path + "'");
  }
};

TEST_F(SubtitleTest, SubtitlesAreDecodedAndEncodedAgain) {
  const std::string in = MakeInput();
  const std::string all = kAll;
  struct TCase {
    std::string File, Options, Codec;
  };
  for (const TCase& c : {TCase{"ass.mkv", "-c:v copy -c:s ass", "ass\n"},
                         TCase{"text.mp4", "-c:v copy -c:s mov_text", "mov_text\n"},
                         TCase{"vtt.mkv", "-c:v mpeg4 -c:s webvtt", "webvtt\n"}}) {
    const std::string out = Out(c.File);
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, {in}, out, c.Options)) << e.LastErrMsg();
    e.Start(false);
    ASSERT_TRUE(e.Finished()) << c.File << ": " << e.ExceptionMsg();
    EXPECT_GT(e.SubtitleSize, 0) << c.File;
    EXPECT_EQ(SubtitleCodec(out), c.Codec);
    EXPECT_EQ(SubtitlesOf(out), all) << c.File;
    EXPECT_EQ(ReadPictures(out).Pictures.size(), 75u) << c.File;
  }
  // A cut moves them and keeps only what is shown inside it, cut to it.
  const std::string cut = Out("cut.mkv");
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, {in}, cut, "-ss 1 -t 1.7 -c:v mpeg4 -c:s ass"))
      << e.LastErrMsg();
  e.Start(false);
  ASSERT_TRUE(e.Finished()) << e.ExceptionMsg();
  EXPECT_EQ(SubtitlesOf(cut),
            "1\n00:00:00,000 --> 00:00:00,200\none\n\n2\n00:00:00,500 --> 00:00:01,000\ntwo\n\n"
            "3\n00:00:01,500 --> 00:00:01,700\nthree\n\n");
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
