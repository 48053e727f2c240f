// Complex filter graphs in a running task: the graph named by -filter_complex feeds the
// encoders, from an input's pictures or from a source of its own.
#include "engine/RunSupport.h"

using namespace runsupport;

namespace {

class FilterGraphTest : public TRunTest {};

TEST_F(FilterGraphTest, ComplexGraphsFeedTheirEncoders) {
  struct TCase {
    std::string Options;
    int Width, Pictures;
    bool Numbered;  // the pictures still show the fixture's numbers
  };
  for (const TCase& c : {TCase{"-filter_complex [0:v]split[a][b];[a][b]hstack -c:v mpeg4 -an", 640, 75, false},
                         TCase{"-filter_complex [0:v]scale=160:120 -c:v mpeg4", 160, 75, true},
                         TCase{"-filter_complex testsrc=d=1:r=25 -c:v mpeg4", 320, 25, false}}) {
    SCOPED_TRACE(c.Options);
    const std::string out = Out("graph.avi");
    fs::remove(out);
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, {FixturePath(FixtureKind::H264Mp4)}, out, c.Options)) << e.LastErrMsg();
    e.Start(false);
    ASSERT_FALSE(e.Exception()) << e.ExceptionMsg();
    ASSERT_TRUE(e.Finished());
    const TPictures r = ReadPictures(out);
    ASSERT_TRUE(r.Opened);
    ASSERT_EQ(static_cast<int>(r.Pictures.size()), c.Pictures);
    if (c.Numbered)
      for (int i = 0; i < c.Pictures; i++) EXPECT_EQ(r.Pictures[static_cast<size_t>(i)].Number, i);
    EXPECT_EQ(FFmpegDecodeErrors(out), "");
    AVFormatContext* ic = nullptr;
    ASSERT_EQ(avformat_open_input(&ic, out.c_str(), nullptr, nullptr), 0);
    avformat_find_stream_info(ic, nullptr);
    const int v = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    ASSERT_GE(v, 0);
    EXPECT_EQ(ic->streams[v]->codecpar->width, c.Width);
    avformat_close_input(&ic);
  }
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
