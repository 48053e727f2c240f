// Joined inputs: one output fed by several inputs one after the other, copied or transcoded,
// whose times go on across the seam, with one header and one trailer.
#include "engine/RunSupport.h"

using namespace runsupport;

namespace {

class JoinTest : public TRunTest {
protected:
  // Runs a joined task of the two fixtures and checks what every joined output must be.
  void RunJoin(FixtureKind a, FixtureKind b, const std::string& out, const std::string& options,
               const std::string& expectCodec, bool constantRate = false) {
    const FixtureInfo ia = GetFixtureInfo(a), ib = GetFixtureInfo(b);
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, {FixturePath(a), FixturePath(b)}, out, options, true))
        << e.LastErrMsg();
    ASSERT_TRUE(e.Joined);
    std::vector<int> files;
    e.OnProgress = [&](TCustomFFmpeg*, const TEngineProgress& p) { files.push_back(p.FileIndex); };
    e.ProgressIntervalUs = 0;
    e.Start(false);
    EXPECT_TRUE(e.Finished());
    EXPECT_FALSE(e.Exception()) << e.ExceptionMsg();
    // Reports name the input being read, then -1 once.
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files.back(), -1);
    EXPECT_EQ(std::count(files.begin(), files.end(), -1), 1);
    EXPECT_TRUE(std::find(files.begin(), files.end(), 0) != files.end());
    EXPECT_TRUE(std::find(files.begin(), files.end(), 1) != files.end());
    EXPECT_TRUE(std::is_sorted(files.begin(), files.end() - 1));

    TPictures r = ReadPictures(out);
    ASSERT_TRUE(r.Opened);
    EXPECT_EQ(r.Errors, 0);
    EXPECT_EQ(r.Codec, expectCodec);
    std::string numbers;
    for (const TPicture& p : r.Pictures) numbers += std::to_string(p.Number) + " ";
    if (constantRate && r.Pictures.size() == size_t(ia.frameCount + ib.frameCount + 1)) {
      // The first input's sound lasts a little longer than its pictures: at a constant rate
      // the gap before the second input's pictures is filled by repeating its first one.
      EXPECT_EQ(e.DupFrames, 1);
      ASSERT_EQ(r.Pictures[ia.frameCount].Number, r.Pictures[ia.frameCount + 1].Number);
      r.Pictures.erase(r.Pictures.begin() + ia.frameCount);
    } else {
      EXPECT_EQ(e.DupFrames, 0);
    }
    ASSERT_EQ(r.Pictures.size(), size_t(ia.frameCount + ib.frameCount)) << numbers;
    for (int i = 0; i < ia.frameCount; i++) EXPECT_EQ(r.Pictures[i].Number, i) << i;
    for (int i = 0; i < ib.frameCount; i++)
      EXPECT_EQ(r.Pictures[ia.frameCount + i].Number, i) << ia.frameCount + i;
    // Display times rise by about one frame, across the seam too.
    const double period = 1.0 / av_q2d(ia.frameRate);
    for (size_t i = 1; i < r.Pictures.size(); i++) {
      const double step = r.Pictures[i].Time - r.Pictures[i - 1].Time;
      EXPECT_GT(step, 0.0) << i;
      EXPECT_LT(step, 2.5 * period) << i;
    }
    EXPECT_NEAR(r.Pictures.back().Time - r.Pictures.front().Time,
                (ia.frameCount + ib.frameCount - 1) * period, 3 * period);
    // Decoding times (where the container keeps them) never go back.
    auto rising = [](const std::vector<int64_t>& ts) {
      int64_t last = AV_NOPTS_VALUE;
      for (int64_t t : ts) {
        if (t == AV_NOPTS_VALUE) continue;
        if (last != AV_NOPTS_VALUE && t <= last) return false;
        last = t;
      }
      return true;
    };
    EXPECT_TRUE(rising(r.PacketDts));
    EXPECT_TRUE(rising(r.AudioDts));
    EXPECT_FALSE(r.AudioDts.empty());
    EXPECT_EQ(FFmpegDecodeErrors(out), "");
  }
};

}  // namespace

TEST_F(JoinTest, CopiedInputsFollowEachOtherInOneFile) {
  RunJoin(FixtureKind::H264Mp4, FixtureKind::H264Mkv, Out("copy.mp4"), "-c copy", "h264");
  RunJoin(FixtureKind::H264Mkv, FixtureKind::H264Mp4, Out("copy.mkv"), "-c copy", "h264");
}

TEST_F(JoinTest, TranscodedInputsOfDifferentCodecsFollowEachOther) {
  RunJoin(FixtureKind::H264Mp4, FixtureKind::Mpeg4Avi, Out("t.mkv"),
          "-c:v mpeg4 -qscale 3 -c:a aac", "mpeg4");
  // A muxer without variable frame rates: constant rate across the seam.
  RunJoin(FixtureKind::Mpeg4Avi, FixtureKind::H264Mkv, Out("t.avi"),
          "-c:v mpeg4 -qscale 3 -c:a mp2", "mpeg4", true);
}

TEST_F(JoinTest, CopyRefusesASecondInputOfAnotherCodec) {
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, {FixturePath(FixtureKind::H264Mp4), FixturePath(FixtureKind::Mpeg4Avi)},
                      Out("mixed.mkv"), "-c:v copy -an", true))
      << e.LastErrMsg();
  e.Start(false);
  EXPECT_FALSE(e.Finished());
  EXPECT_TRUE(e.Exception());
  EXPECT_EQ(e.ExceptionMsg(), "Cannot copy mpeg4 of input #1 into output stream #0:0 (h264)");
  EXPECT_FALSE(fs::exists(Out("mixed.mkv")));
}

TEST_F(JoinTest, OneHeaderAndOneTrailer) {
  // A format whose trailer is an index: one trailer means one index covering both inputs.
  const std::string out = Out("one.mp4");
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, {FixturePath(FixtureKind::H264Mp4), FixturePath(FixtureKind::H264Mp4)},
                      out, "-c copy", true))
      << e.LastErrMsg();
  e.Start(false);
  ASSERT_TRUE(e.Finished()) << e.ExceptionMsg();
  const std::string boxes = Shell("ffprobe -v error -show_entries format=nb_streams,duration "
                                  "-of default=nw=1 '" + out + "'");
  EXPECT_NE(boxes.find("nb_streams=2"), std::string::npos) << boxes;
  double duration = 0;
  const size_t p = boxes.find("duration=");
  ASSERT_NE(p, std::string::npos) << boxes;
  duration = std::stod(boxes.substr(p + 9));
  EXPECT_NEAR(duration, 6.0, 0.1);
  // A stop during the second input still ends the file validly.
  const std::string stopped = Out("stopped.mkv");
  TCustomFFmpeg s;
  ASSERT_TRUE(Prepare(s, {FixturePath(FixtureKind::H264Mp4), FixturePath(FixtureKind::H264Mkv)},
                      stopped, "-c:v mpeg4 -c:a aac", true))
      << s.LastErrMsg();
  s.ProgressIntervalUs = 0;
  s.OnProgress = [&](TCustomFFmpeg* t, const TEngineProgress& pr) {
    if (pr.FileIndex == 1 && pr.FrameNumber > 90) t->Break(false);
  };
  s.Start(false);
  EXPECT_FALSE(s.Finished());
  TPictures r = ReadPictures(stopped);
  ASSERT_TRUE(r.Opened);
  EXPECT_GT(r.Pictures.size(), 90u);
  EXPECT_LT(r.Pictures.size(), 150u);
  EXPECT_EQ(FFmpegDecodeErrors(stopped), "");
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
