// De-interlacing of decoded pictures (-deinterlace), seen through the frame output hook: 8-bit
// planar YUV and gray get their bottom-field lines interpolated, other formats pass unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "RunSupport.h"

using namespace runsupport;

namespace {

struct TPlanes {
  AVPixelFormat Format = AV_PIX_FMT_NONE;
  int Width = 0, Height = 0;
  std::vector<std::vector<uint8_t>> Rows[3];  // the first three planes, row by row
};

class DeinterlaceTest : public TRunTest {
protected:
  // Every encoded picture's planes as the frame output hook sees them.
  std::vector<TPlanes> Run(const std::string& in, const std::string& out,
                           const std::string& options) {
    std::vector<TPlanes> got;
    TCustomFFmpeg e;
    EXPECT_TRUE(Prepare(e, {in}, out, options)) << e.LastErrMsg();
    e.OnFrameOutputHook = [&](TCustomFFmpeg*, uint8_t* const data[4], const int linesize[4],
                              AVPixelFormat fmt, int w, int h, int, int64_t) {
      TPlanes p;
      p.Format = fmt;
      p.Width = w;
      p.Height = h;
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
      const int planes = std::min(3, av_pix_fmt_count_planes(fmt));
      for (int k = 0; k < planes; k++) {
        const bool chroma = k > 0 && !(d->flags & AV_PIX_FMT_FLAG_RGB);
        const int pw = chroma ? AV_CEIL_RSHIFT(w, d->log2_chroma_w) : w;
        const int ph = chroma ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
        const int bytes = k == 0 && av_pix_fmt_count_planes(fmt) == 1
                              ? av_image_get_linesize(fmt, w, 0)
                              : pw;
        for (int y = 0; y < ph; y++)
          p.Rows[k].emplace_back(data[k] + ptrdiff_t(y) * linesize[k],
                                 data[k] + ptrdiff_t(y) * linesize[k] + bytes);
      }
      got.push_back(std::move(p));
    };
    e.Start(false);
    EXPECT_TRUE(e.Finished()) << e.ExceptionMsg();
    return got;
  }
  // A raw-video copy of the H.264 fixture in another pixel format, written by the engine.
  std::string RawInput(const std::string& pixFmt) {
    const std::string path = Out("raw-" + pixFmt + ".nut");
    TCustomFFmpeg e;
    EXPECT_TRUE(Prepare(e, {FixturePath(FixtureKind::H264Mp4)}, path,
                        "-an -t 0.2 -c:v rawvideo -pix_fmt " + pixFmt))
        << e.LastErrMsg();
    e.Start(false);
    EXPECT_TRUE(e.Finished()) << e.ExceptionMsg();
    return path;
  }
  static void ExpectInterpolated(const std::vector<TPlanes>& plain,
                                 const std::vector<TPlanes>& woven, const std::string& tag) {
    ASSERT_EQ(plain.size(), woven.size()) << tag;
    ASSERT_FALSE(plain.empty()) << tag;
    int changed = 0;
    for (size_t f = 0; f < plain.size(); f++) {
      for (int k = 0; k < 3; k++) {
        const auto& a = plain[f].Rows[k];
        const auto& b = woven[f].Rows[k];
        ASSERT_EQ(a.size(), b.size()) << tag;
        const int h = static_cast<int>(a.size());
        for (int y = 0; y < h; y++) {
          std::vector<uint8_t> want = a[static_cast<size_t>(y)];
          if (y % 2 == 1 && y + 1 < h) {
            for (size_t x = 0; x < want.size(); x++)
              want[x] = static_cast<uint8_t>((a[y - 1][x] + a[y + 1][x] + 1) >> 1);
          } else if (y % 2 == 1) {
            want = a[static_cast<size_t>(y - 1)];
          }
          if (want != a[static_cast<size_t>(y)]) changed++;
          ASSERT_EQ(b[static_cast<size_t>(y)], want) << tag << " frame " << f << " plane " << k
                                                     << " line " << y;
        }
      }
    }
    EXPECT_GT(changed, 0) << tag << ": the fixture pictures have no line detail";
  }
};

}  // namespace

TEST_F(DeinterlaceTest, PlanarYuvAndGrayLinesAreInterpolatedOtherFormatsPassUnchanged) {
  const std::string yuv = FixturePath(FixtureKind::H264Mp4);
  const std::string opts = "-an -t 0.2 -c:v rawvideo";
  ExpectInterpolated(Run(yuv, Out("a.nut"), opts), Run(yuv, Out("b.nut"), opts + " -deinterlace"),
                     "yuv420p");
  EXPECT_TRUE(LinesWith("Deinterlacing failed.").empty());
  EXPECT_EQ(LinesWith("-deinterlace is deprecated, use -filter:v yadif instead").size(), 1u);

  const std::string gray = RawInput("gray");
  ExpectInterpolated(Run(gray, Out("c.nut"), opts), Run(gray, Out("d.nut"), opts + " -deinterlace"),
                     "gray");
  EXPECT_TRUE(LinesWith("Deinterlacing failed.").empty());

  const std::string rgb = RawInput("rgb24");
  const std::vector<TPlanes> plain = Run(rgb, Out("e.nut"), opts);
  const std::vector<TPlanes> same = Run(rgb, Out("f.nut"), opts + " -deinterlace");
  ASSERT_FALSE(plain.empty());
  ASSERT_EQ(plain.size(), same.size());
  EXPECT_EQ(same.front().Format, AV_PIX_FMT_RGB24);
  for (size_t f = 0; f < plain.size(); f++) EXPECT_EQ(plain[f].Rows[0], same[f].Rows[0]) << f;
  EXPECT_FALSE(LinesWith("Deinterlacing failed.").empty());
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
