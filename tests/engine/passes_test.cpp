// Two-pass encoding: pass 1 writes the encoder's statistics into the log file named by the
// prefix and the output stream, pass 2 reads them; the log never replaces an input and is put
// in place only when pass 1 ran to its end.
#include <fstream>
#include <sstream>

#include "engine/RunSupport.h"

using namespace runsupport;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class PassesTest : public TRunTest {
protected:
  // One pass over the H.264 fixture; the task's error text, empty when it finished.
  std::string RunPass(const std::string& input, const std::string& out, const std::string& opts,
                      std::function<void(TCustomFFmpeg&)> setup = nullptr) {
    TCustomFFmpeg e;
    if (!Prepare(e, {input}, out, opts)) return "set-up: " + e.LastErrMsg();
    if (setup) setup(e);
    e.Start(false);
    if (e.Exception()) return e.ExceptionMsg();
    return e.Finished() ? "" : "not finished";
  }
  void CheckOutput(const std::string& out, const std::string& codec) {
    TPictures r = ReadPictures(out);
    ASSERT_TRUE(r.Opened);
    EXPECT_EQ(r.Errors, 0);
    EXPECT_EQ(r.Codec, codec);
    ASSERT_EQ(r.Pictures.size(), 75u);
    for (size_t i = 0; i < r.Pictures.size(); i++) EXPECT_EQ(r.Pictures[i].Number, int(i)) << i;
    EXPECT_EQ(FFmpegDecodeErrors(out), "");
  }
};

}  // namespace

TEST_F(PassesTest, Mpeg4PassOneWritesTheLogPassTwoReadsIt) {
  const std::string in = FixturePath(FixtureKind::H264Mp4);
  const std::string prefix = Out("stats");
  const std::string log = prefix + "-0.log";
  const std::string common = "-an -c:v mpeg4 -b:v 300k -passlogfile " + prefix;
  ASSERT_EQ(RunPass(in, Out("p1.avi"), common + " -pass 1"), "");
  ASSERT_TRUE(fs::exists(log));
  const std::string stats = ReadFile(log);
  // One line of statistics per picture.
  EXPECT_EQ(std::count(stats.begin(), stats.end(), '\n'), 75) << stats.substr(0, 200);
  EXPECT_EQ(stats.compare(0, 3, "in:"), 0) << stats.substr(0, 200);
  // Nothing but the log is left beside it.
  int files = 0;
  for (auto& d : fs::directory_iterator(Dir)) files += d.path().string() != Out("p1.avi");
  EXPECT_EQ(files, 1);
  ASSERT_EQ(RunPass(in, Out("p2.avi"), common + " -pass 2"), "");
  CheckOutput(Out("p2.avi"), "mpeg4");
  // Both passes at once: statistics written and read by the same run.
  fs::remove(log);
  EXPECT_EQ(RunPass(in, Out("p3.avi"), common + " -pass 2"),
            "Error reading log file \"" + log + "\" for pass-2 encoding");
}

TEST_F(PassesTest, X264PassesUseTheEncodersStatisticsFile) {
  const std::string in = FixturePath(FixtureKind::H264Mp4);
  const std::string prefix = Out("x");
  const std::string common = "-an -c:v libx264 -b:v 300k -preset veryfast -passlogfile " + prefix;
  ASSERT_EQ(RunPass(in, Out("x1.mp4"), common + " -pass 1"), "");
  ASSERT_TRUE(fs::exists(prefix + "-0.log"));
  EXPECT_GT(fs::file_size(prefix + "-0.log"), 0u);
  ASSERT_EQ(RunPass(in, Out("x2.mp4"), common + " -pass 2"), "");
  CheckOutput(Out("x2.mp4"), "h264");
}

TEST_F(PassesTest, LogNeverReplacesAnInputAndAStoppedPassLeavesNone) {
  // The input itself is named like the log the first pass would write.
  const std::string in = Out("clip-0.log");
  fs::copy_file(FixturePath(FixtureKind::H264Mp4), in);
  const auto before = ReadFile(in);
  for (const char* codec : {"mpeg4", "libx264"}) {
    EXPECT_EQ(RunPass(in, Out(std::string("a-") + codec + ".avi"),
                      std::string("-an -c:v ") + codec + " -pass 1 -passlogfile " + Out("clip")),
              "Cannot write log file " + in + " for pass-1 encoding")
        << codec;
    EXPECT_TRUE(ReadFile(in) == before) << codec;
  }
  // A pass 1 stopped half-way leaves no log to mislead a pass 2.
  const std::string log = Out("half-0.log");
  EXPECT_EQ(RunPass(FixturePath(FixtureKind::H264Mp4), Out("half.avi"),
                    "-an -c:v mpeg4 -pass 1 -passlogfile " + Out("half"),
                    [](TCustomFFmpeg& e) {
                      e.ProgressIntervalUs = 0;
                      e.OnProgress = [](TCustomFFmpeg* t, const TEngineProgress& p) {
                        if (p.FrameNumber > 20) t->Break(false);
                      };
                    }),
            "not finished");
  EXPECT_FALSE(fs::exists(log));
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
