// What recordings carry besides their pictures: a display matrix (phones), an edit list that
// starts the pictures after the first key frame, and 33-bit MPEG-TS times that wrap. The
// pictures come as the ffmpeg tool shows them: upright, from the same first one, and with
// times that run on across the wrap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "decoder/FFDecode.h"
#include "decoder/FileInfoLines.h"
#include "decoder/Upright.h"
#include "runtime/Bitmap.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/md5.h>
#include <libavutil/pixdesc.h>
}

namespace {

int Shown(const TFFDecoder& dec) { return dec.Picture() ? ReadFrameNumber(dec.Picture()) : -2; }

// The picture's planes row by row, without padding: what framemd5 hashes.
std::string PlanesMD5(const AVFrame* f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  if (!d || f->format != AV_PIX_FMT_YUV420P) return "unexpected format";
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int p = 0; p < 3; ++p) {
    const int w = p ? AV_CEIL_RSHIFT(f->width, d->log2_chroma_w) : f->width;
    const int h = p ? AV_CEIL_RSHIFT(f->height, d->log2_chroma_h) : f->height;
    for (int y = 0; y < h; ++y) av_md5_update(md5, f->data[p] + y * f->linesize[p], w);
  }
  uint8_t sum[16];
  av_md5_final(md5, sum);
  av_free(md5);
  std::string hex;
  char b[3];
  for (uint8_t v : sum) {
    snprintf(b, sizeof b, "%02x", v);
    hex += b;
  }
  return hex;
}

// The ffmpeg tool's framemd5 of the first video stream, as it shows it by default.
std::vector<std::string> ToolHashes(const std::string& path) {
  std::vector<std::string> hashes;
  FILE* p = popen(("ffmpeg -hide_banner -loglevel error -i '" + path + "' -map 0:v:0 -f framemd5 - 2>/dev/null").c_str(), "r");
  if (!p) return hashes;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    std::string l(line);
    if (l.empty() || l[0] == '#') continue;
    const size_t comma = l.rfind(',');
    if (comma == std::string::npos) continue;
    std::string h = l.substr(comma + 1);
    h.erase(std::remove_if(h.begin(), h.end(), [](char c) { return c == ' ' || c == '\n'; }), h.end());
    hashes.push_back(h);
  }
  pclose(p);
  return hashes;
}

bool SeekToTime(TFFDecoder& dec, int64_t t) {
  if (!dec.Seek(t, 0)) return false;
  while (dec.Decode())
    if (dec.FramePTS() >= t) return true;
  return false;
}

TEST(DecoderUpright, PhoneRecordingComesUprightAsTheToolShowsIt) {
  const std::string path = FixturePath(FixtureKind::H264RotatedMp4);
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264RotatedMp4);
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(path)) << dec.LastErrMsg();
  const TVideoStreamInfo v = dec.GetVideoStreamInfo(-1);
  EXPECT_EQ(v.Rotation, 90);
  EXPECT_EQ(v.Width, 320);
  EXPECT_EQ(v.Height, 240);
  const std::vector<std::string> lines = FileInfoLines(dec);
  auto size = std::find(lines.begin(), lines.end(), "  Frame size (width X height): 320x240");
  ASSERT_NE(size, lines.end());
  ASSERT_NE(size + 1, lines.end());
  EXPECT_EQ(*(size + 1), "  Video Rotation: 90 degrees");

  const std::vector<std::string> tool = ToolHashes(path);
  ASSERT_EQ(static_cast<int>(tool.size()), info.frameCount);
  for (int n = 0; n < info.frameCount; ++n) {
    ASSERT_TRUE(dec.Decode()) << dec.LastErrMsg();
    ASSERT_EQ(dec.Picture()->width, 240);
    ASSERT_EQ(dec.Picture()->height, 320);
    ASSERT_EQ(Shown(dec), n);
    ASSERT_EQ(PlanesMD5(dec.Picture()), tool[n]) << n;
  }
  // The bitmap the window shows and saves, after steps back and a seek.
  ASSERT_TRUE(SeekToTime(dec, FixtureFrameTime(info, 40) * 1000000));
  ASSERT_TRUE(dec.PrevFrame());
  TBitmap bmp;
  ASSERT_TRUE(dec.CopyToBitmap(bmp));
  EXPECT_EQ(bmp.Width(), 240);
  EXPECT_EQ(bmp.Height(), 320);
  EXPECT_EQ(ReadFrameNumberBGR(bmp.Bits(), bmp.Stride(), bmp.Width(), bmp.Height(), 4), 39);
}

// Every quarter turn and mirror a matrix can say, as phones and editors write them.
TEST(DecoderUpright, EachMatrixGivesItsFiltersAndItsText) {
  struct TCase {
    int32_t a, b, c, d;
    const char* filters;
    int degrees;
    bool mirrored;
  } cases[] = {
      {1, 0, 0, 1, "", 0, false},
      {0, 1, -1, 0, "transpose=clock", 90, false},
      {-1, 0, 0, -1, "hflip,vflip", 180, false},
      {0, -1, 1, 0, "transpose=cclock", 270, false},
      {-1, 0, 0, 1, "hflip", 0, true},
      {1, 0, 0, -1, "vflip", 180, true},
      {0, 1, 1, 0, "transpose=cclock_flip", 90, true},
      {0, -1, -1, 0, "transpose=clock_flip", 270, true},
  };
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> ctx(avformat_alloc_context(),
                                                                   avformat_free_context);
  ASSERT_TRUE(ctx);
  for (const TCase& c : cases) {
    AVStream* st = avformat_new_stream(ctx.get(), nullptr);
    ASSERT_TRUE(st);
    auto* m = reinterpret_cast<int32_t*>(av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 36));
    ASSERT_TRUE(m);
    const int32_t matrix[9] = {c.a << 16, c.b << 16, 0, c.c << 16, c.d << 16, 0, 0, 0, 1 << 30};
    std::copy(matrix, matrix + 9, m);
    SCOPED_TRACE(c.filters);
    EXPECT_EQ(UprightFilters(st), c.filters);
    if (*c.filters) {
      EXPECT_EQ(UprightDegrees(st), c.degrees);
      EXPECT_EQ(UprightMirrored(st), c.mirrored);
    }
  }
  // No matrix, or one that is no quarter turn: as it is.
  AVStream* plain = avformat_new_stream(ctx.get(), nullptr);
  EXPECT_EQ(UprightFilters(plain), "");
  auto* m = reinterpret_cast<int32_t*>(av_stream_new_side_data(plain, AV_PKT_DATA_DISPLAYMATRIX, 36));
  ASSERT_TRUE(m);
  av_display_rotation_set(m, 30);
  EXPECT_EQ(UprightFilters(plain), "");
  EXPECT_EQ(UprightDegrees(plain), 0);
}

TEST(DecoderEditList, FirstPictureIsTheToolsAndStepsBackReachEveryPicture) {
  const std::string path = FixturePath(FixtureKind::H264EditListMp4);
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264EditListMp4);
  const std::vector<std::string> tool = ToolHashes(path);
  // Frames 0 and 1 lie before the edit.
  ASSERT_EQ(static_cast<int>(tool.size()), info.frameCount - 2);
  for (size_t cache : {size_t(0), size_t(128) << 20}) {
    SCOPED_TRACE(cache);
    TFFDecoder dec;
    ASSERT_TRUE(dec.LoadFile(path)) << dec.LastErrMsg();
    dec.SetFrameCacheBytes(cache);
    ASSERT_TRUE(dec.Decode());
    EXPECT_EQ(Shown(dec), 2);
    EXPECT_EQ(dec.FramePTS(), 0);
    EXPECT_EQ(PlanesMD5(dec.Picture()), tool[0]);
    for (int n = 3; n <= 30; ++n) {
      ASSERT_TRUE(dec.Decode());
      ASSERT_EQ(Shown(dec), n);
      ASSERT_EQ(PlanesMD5(dec.Picture()), tool[n - 2]) << n;
    }
    // Back over the key frame at 12 to the pictures before any key frame shown.
    for (int n = 29; n >= 2; --n) {
      ASSERT_TRUE(dec.PrevFrame()) << dec.LastErrMsg();
      ASSERT_EQ(Shown(dec), n);
      ASSERT_EQ(PlanesMD5(dec.Picture()), tool[n - 2]) << n;
    }
    EXPECT_TRUE(dec.PrevFrame());
    EXPECT_EQ(Shown(dec), 2);
    // From a seek, and by key frames.
    ASSERT_TRUE(SeekToTime(dec, 6 * 40000));
    ASSERT_EQ(Shown(dec), 8);
    for (int n = 7; n >= 2; --n) {
      ASSERT_TRUE(dec.PrevFrame()) << dec.LastErrMsg();
      ASSERT_EQ(Shown(dec), n);
    }
    ASSERT_TRUE(SeekToTime(dec, 14 * 40000));
    ASSERT_EQ(Shown(dec), 16);
    ASSERT_TRUE(dec.PrevKeyFrame());
    EXPECT_EQ(Shown(dec), 12);
    ASSERT_TRUE(dec.PrevKeyFrame());
    EXPECT_EQ(Shown(dec), 2);
  }
}

TEST(DecoderWrapTs, TimesRunOnAcrossTheWrap) {
  const std::string path = FixturePath(FixtureKind::H264WrapTs);
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264WrapTs);
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(path)) << dec.LastErrMsg();
  // Ten seconds, not the 26 hours the wrap would make of it.
  const TFileStreamInfo file = dec.GetFileStreamInfo();
  EXPECT_NEAR(file.Duration / 1e6, info.duration, 0.2);
  for (int n = 0; n < info.frameCount; ++n) {
    ASSERT_TRUE(dec.Decode()) << n << ": " << dec.LastErrMsg();
    ASSERT_EQ(Shown(dec), n);
    ASSERT_EQ(dec.FramePTS(), n * int64_t(40000));
  }
  // Steps over the wrap, which lies between frames 124 and 125 (5 s).
  dec.SetFrameCacheBytes(0);
  ASSERT_TRUE(SeekToTime(dec, 127 * int64_t(40000)));
  ASSERT_EQ(Shown(dec), 127);
  for (int n = 126; n >= 120; --n) {
    ASSERT_TRUE(dec.PrevFrame()) << dec.LastErrMsg();
    ASSERT_EQ(Shown(dec), n);
  }
  ASSERT_TRUE(dec.NextKeyFrame());
  EXPECT_EQ(Shown(dec), 125);
  ASSERT_TRUE(dec.PrevKeyFrame());
  EXPECT_EQ(Shown(dec), 100);
  for (int n : {124, 125, 126, 200, 3, 249}) {
    ASSERT_TRUE(SeekToTime(dec, n * int64_t(40000))) << n;
    EXPECT_EQ(Shown(dec), n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
