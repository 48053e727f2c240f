#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "runtime/FFUtils.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

namespace {

struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// Eight vertical bars in colours every bitmap depth shows exactly.
const uint32_t kBars[8] = {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00,
                           0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF};

uint32_t BarColour(int x, int width) { return kBars[x * 8 / width]; }

FramePtr MakeFrame(AVPixelFormat fmt, int w, int h, int align = 32) {
  FramePtr f(av_frame_alloc());
  f->format = fmt;
  f->width = w;
  f->height = h;
  if (av_frame_get_buffer(f.get(), align) < 0)
    return nullptr;
  return f;
}

// An RGB24 picture of the bars.
FramePtr MakeBars(int w, int h) {
  FramePtr f = MakeFrame(AV_PIX_FMT_RGB24, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t c = BarColour(x, w);
      uint8_t* p = f->data[0] + y * f->linesize[0] + 3 * x;
      p[0] = c >> 16;
      p[1] = c >> 8;
      p[2] = c;
    }
  return f;
}

uint32_t RGB24At(const AVFrame* f, int x, int y) {
  const uint8_t* p = f->data[0] + y * f->linesize[0] + 3 * x;
  return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

int MaxChannelDiff(uint32_t a, uint32_t b) {
  int d = 0;
  for (int s = 0; s <= 16; s += 8)
    d = std::max(d, std::abs(int((a >> s) & 255) - int((b >> s) & 255)));
  return d;
}

class ConverterDepth : public ::testing::TestWithParam<int> {};

// Bars into the bitmap at every depth and back to RGB24; at bar centres both must match.
TEST_P(ConverterDepth, RoundTripsKnownPicture) {
  const int bits = GetParam();
  for (const auto& [w, h] : {std::pair{64, 48}, std::pair{63, 47}}) {
    SCOPED_TRACE(std::to_string(bits) + " bits " + std::to_string(w) + "x" + std::to_string(h));
    TFormatConverter conv;
    conv.SetBitsPixel(bits);
    EXPECT_EQ(conv.Bitmap().BitsPixel(), bits);
    FramePtr bars = MakeBars(w, h);
    ASSERT_TRUE(conv.ToRGB(bars.get(), true)) << conv.LastErrMsg();
    EXPECT_FALSE(conv.LastUsedAsIs());
    ASSERT_EQ(conv.Bitmap().Width(), w);
    ASSERT_EQ(conv.Bitmap().Height(), h);
    for (int bar = 0; bar < 8; ++bar) {
      const int x = (2 * bar + 1) * w / 16;
      for (int y : {0, h / 2, h - 1})
        EXPECT_EQ(conv.Bitmap().PixelRGB(x, y), kBars[bar]) << "bar " << bar << " row " << y;
    }

    FramePtr back = MakeFrame(AV_PIX_FMT_RGB24, w, h);
    ASSERT_TRUE(conv.FromRGB(back.get())) << conv.LastErrMsg();
    for (int bar = 0; bar < 8; ++bar) {
      const int x = (2 * bar + 1) * w / 16;
      // Bicubic scaling may ring by a few levels even at equal sizes.
      EXPECT_LE(MaxChannelDiff(RGB24At(back.get(), x, h / 2), kBars[bar]), 8) << "bar " << bar;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllDepths, ConverterDepth, ::testing::Values(8, 15, 16, 24, 32));

TEST(Converter, YuvPictureToBitmap) {
  // A YUV 4:2:0 picture made from the bars: the decoder's usual case.
  const int w = 64, h = 48;
  FramePtr bars = MakeBars(w, h);
  FramePtr yuv = MakeFrame(AV_PIX_FMT_YUV420P, w, h);
  TFormatConverter toYuv;
  toYuv.SetBitsPixel(24);
  ASSERT_TRUE(toYuv.ToRGB(bars.get(), false));
  ASSERT_TRUE(toYuv.FromRGB(yuv.get()));

  TFormatConverter conv;
  ASSERT_TRUE(conv.ToRGB(yuv.get(), true)) << conv.LastErrMsg();
  for (int bar = 0; bar < 8; ++bar) {
    const int x = (2 * bar + 1) * w / 16;
    EXPECT_LE(MaxChannelDiff(conv.Bitmap().PixelRGB(x, h / 2), kBars[bar]), 12) << "bar " << bar;
  }
}

TEST(Converter, UsesMatchingPictureWithoutScaling) {
  TFormatConverter conv;  // 32 bits, BGRA
  ASSERT_EQ(conv.TargetFormat(), AV_PIX_FMT_BGRA);

  // Even sizes and line size == row size: the caller's picture is used as it is.
  FramePtr even = MakeFrame(AV_PIX_FMT_BGRA, 64, 48, 1);
  ASSERT_EQ(even->linesize[0], 64 * 4);
  memset(even->data[0], 0, even->linesize[0] * 48);
  even->data[0][4 * 3 + 2] = 0xFF;  // pixel (3, 0) red
  ASSERT_TRUE(conv.ToRGB(even.get(), true));
  EXPECT_TRUE(conv.LastUsedAsIs());
  EXPECT_EQ(conv.PictureData(), even->data[0]);
  EXPECT_EQ(conv.BufferCapacity(), 0u);  // nothing converted, nothing allocated
  EXPECT_EQ(conv.Bitmap().PixelRGB(3, 0), 0xFF0000u);
  EXPECT_EQ(conv.Bitmap().PixelRGB(4, 0), 0x000000u);

  // Odd width: through swscale although the format matches (line size still equals row size).
  FramePtr odd = MakeFrame(AV_PIX_FMT_BGRA, 63, 48, 1);
  ASSERT_EQ(odd->linesize[0], TBitmap::BytesPerScanline(63, 32));
  ASSERT_TRUE(conv.ToRGB(odd.get(), true));
  EXPECT_FALSE(conv.LastUsedAsIs());
  EXPECT_NE(conv.PictureData(), odd->data[0]);

  // Odd height.
  FramePtr oddH = MakeFrame(AV_PIX_FMT_BGRA, 64, 47, 1);
  ASSERT_TRUE(conv.ToRGB(oddH.get(), false));
  EXPECT_FALSE(conv.LastUsedAsIs());

  // Padded lines.
  FramePtr padded = MakeFrame(AV_PIX_FMT_BGRA, 40, 48, 64);
  ASSERT_NE(padded->linesize[0], 40 * 4);
  ASSERT_TRUE(conv.ToRGB(padded.get(), false));
  EXPECT_FALSE(conv.LastUsedAsIs());

  // Another format.
  FramePtr rgba = MakeFrame(AV_PIX_FMT_RGBA, 64, 48, 1);
  ASSERT_TRUE(conv.ToRGB(rgba.get(), false));
  EXPECT_FALSE(conv.LastUsedAsIs());

  // 24 bits: a BGR24 picture whose lines are already 4-byte multiples.
  TFormatConverter conv24;
  conv24.SetBitsPixel(24);
  FramePtr bgr = MakeFrame(AV_PIX_FMT_BGR24, 64, 48, 1);
  ASSERT_TRUE(conv24.ToRGB(bgr.get(), false));
  EXPECT_TRUE(conv24.LastUsedAsIs());
  FramePtr bgrOdd = MakeFrame(AV_PIX_FMT_BGR24, 62, 48, 1);  // 186-byte lines, rows of 188
  ASSERT_TRUE(conv24.ToRGB(bgrOdd.get(), false));
  EXPECT_FALSE(conv24.LastUsedAsIs());
}

TEST(Converter, BitsPixelRules) {
  TFormatConverter conv;
  EXPECT_EQ(conv.BitsPixel(), 32);
  try {
    conv.SetBitsPixel(12);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid BitsPixel 12");
  }
  EXPECT_EQ(conv.BitsPixel(), 32);

  // The same value again keeps the bitmap and the current picture.
  FramePtr bars = MakeBars(16, 8);
  ASSERT_TRUE(conv.ToRGB(bars.get(), true));
  const uint32_t before = conv.Bitmap().PixelRGB(5, 3);
  conv.SetBitsPixel(32);
  EXPECT_NE(conv.PictureData(), nullptr);
  EXPECT_EQ(conv.Bitmap().Width(), 16);
  EXPECT_EQ(conv.Bitmap().PixelRGB(5, 3), before);

  conv.SetBitsPixel(15);
  EXPECT_EQ(conv.BitsPixel(), 16);
  EXPECT_EQ(conv.TargetFormat(), AV_PIX_FMT_BGR555LE);
  EXPECT_EQ(conv.PictureData(), nullptr);
  conv.SetBitsPixel(16);  // same bits per pixel: stays 15-bit
  EXPECT_EQ(conv.TargetFormat(), AV_PIX_FMT_BGR555LE);
  EXPECT_EQ(conv.Bitmap().BitsPixel(), 15);

  TFormatConverter conv16;
  conv16.SetBitsPixel(16);
  EXPECT_EQ(conv16.TargetFormat(), AV_PIX_FMT_BGR565LE);
  conv16.SetBitsPixel(15);
  EXPECT_EQ(conv16.TargetFormat(), AV_PIX_FMT_BGR555LE);
  conv16.SetBitsPixel(8);
  EXPECT_EQ(conv16.TargetFormat(), AV_PIX_FMT_BGR8);
  EXPECT_EQ(conv16.BitsPixel(), 8);
  conv16.SetBitsPixel(24);
  EXPECT_EQ(conv16.TargetFormat(), AV_PIX_FMT_BGR24);
}

TEST(Converter, BufferOnlyGrows) {
  TFormatConverter conv;
  FramePtr big = MakeBars(64, 48);
  ASSERT_TRUE(conv.ToRGB(big.get(), false));
  const size_t cap = conv.BufferCapacity();
  EXPECT_GE(cap, size_t(64 * 48 * 4));
  FramePtr small = MakeBars(32, 24);
  ASSERT_TRUE(conv.ToRGB(small.get(), true));
  EXPECT_EQ(conv.BufferCapacity(), cap);
  EXPECT_EQ(conv.Bitmap().Width(), 32);
  EXPECT_EQ(conv.Bitmap().PixelRGB(2, 2), kBars[0]);
  EXPECT_EQ(conv.Bitmap().PixelRGB(30, 2), kBars[7]);
  FramePtr bigger = MakeBars(128, 96);
  ASSERT_TRUE(conv.ToRGB(bigger.get(), false));
  EXPECT_GT(conv.BufferCapacity(), cap);
}

TEST(Converter, DrawingOnBitmapReachesPicture) {
  // Converted path: the drawing goes into the converted picture and out through FromRGB.
  TFormatConverter conv;
  conv.SetBitsPixel(24);
  FramePtr bars = MakeBars(32, 16);
  ASSERT_TRUE(conv.ToRGB(bars.get(), true));
  uint8_t* p = conv.Bitmap().ScanLine(5) + 3 * 1;  // (1, 5) is in the black bar
  p[0] = 0xFF;                                     // blue
  p[1] = p[2] = 0xFF;
  ASSERT_TRUE(conv.BitmapToPicture());
  FramePtr back = MakeFrame(AV_PIX_FMT_RGB24, 32, 16);
  conv.SetSwsFlags(SWS_POINT);
  ASSERT_TRUE(conv.FromRGB(back.get()));
  EXPECT_EQ(RGB24At(back.get(), 1, 5), 0xFFFFFFu);
  EXPECT_EQ(RGB24At(back.get(), 1, 6), 0x000000u);

  // Picture used as it is: the drawing goes straight into the caller's picture.
  TFormatConverter conv32;
  FramePtr bgra = MakeFrame(AV_PIX_FMT_BGRA, 8, 4, 1);
  memset(bgra->data[0], 0, 8 * 4 * 4);
  ASSERT_TRUE(conv32.ToRGB(bgra.get(), true));
  ASSERT_TRUE(conv32.LastUsedAsIs());
  conv32.Bitmap().ScanLine(3)[4 * 7 + 1] = 0x80;
  ASSERT_TRUE(conv32.BitmapToPicture());
  EXPECT_EQ(bgra->data[0][3 * bgra->linesize[0] + 4 * 7 + 1], 0x80);

  // FromRGB may also scale.
  FramePtr half = MakeFrame(AV_PIX_FMT_RGB24, 16, 8);
  ASSERT_TRUE(conv.FromRGB(half.get()));
  EXPECT_EQ(RGB24At(half.get(), 15, 4), kBars[7]);
}

TEST(Converter, Failures) {
  TFormatConverter conv;
  FramePtr out = MakeFrame(AV_PIX_FMT_RGB24, 8, 8);
  EXPECT_FALSE(conv.FromRGB(out.get()));  // nothing converted yet
  EXPECT_FALSE(conv.PictureToBitmap());
  EXPECT_FALSE(conv.BitmapToPicture());

  FramePtr bars = MakeBars(8, 8);
  bars->format = AV_PIX_FMT_NONE;
  EXPECT_FALSE(conv.ToRGB(bars.get(), true));
  EXPECT_EQ(conv.LastErrMsg(), "Cannot initialize the toRGB conversion context");
  EXPECT_EQ(conv.PictureData(), nullptr);

  bars->format = AV_PIX_FMT_RGB24;
  ASSERT_TRUE(conv.ToRGB(bars.get(), true));
  out->format = AV_PIX_FMT_NONE;
  EXPECT_FALSE(conv.FromRGB(out.get()));
  EXPECT_EQ(conv.LastErrMsg(), "Cannot initialize the fromRGB conversion context");

  EXPECT_FALSE(conv.ToRGB(nullptr, true));
  uint8_t* none[4] = {};
  int lines[4] = {};
  EXPECT_FALSE(conv.ToRGB(none, lines, AV_PIX_FMT_RGB24, true, 0, 0));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
