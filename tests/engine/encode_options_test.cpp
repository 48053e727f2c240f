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

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
