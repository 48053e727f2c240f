// The own filters "nativeeq" and "nativehue": their arithmetic, clamping and messages, the
// parameter text, the host variables, and their place in a library filter chain.
#include <gtest/gtest.h>

#include <cstdarg>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/EqFilters.h"
#include "runtime/VideoFilterChain.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::mutex gLogLock;
std::vector<std::string> gLog;

void Capture(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > AV_LOG_VERBOSE || !avcl) return;
  const AVClass* cls = *static_cast<AVClass* const*>(avcl);
  if (!cls || (std::string(cls->class_name) != "nativeeq" && std::string(cls->class_name) != "nativehue")) return;
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, vl);
  std::lock_guard<std::mutex> g(gLogLock);
  gLog.push_back(std::string(level <= AV_LOG_ERROR ? "E " : "V ") + buf);
}

class EqFilters : public ::testing::Test {
protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_VERBOSE);
    av_log_set_callback(Capture);
    gLog.clear();
  }
  void TearDown() override { av_log_set_callback(av_log_default_callback); }

  // A picture whose luma runs 0..255 along the rows and chroma holds fixed values.
  static TOwnFramePtr Picture(int w, int h, AVPixelFormat fmt = AV_PIX_FMT_YUV420P, int u = 90, int v = 200) {
    TOwnFramePtr f(av_frame_alloc());
    f->format = fmt;
    f->width = w;
    f->height = h;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>((y * w + x) & 255);
    for (int p = 1; p <= 2; ++p)
      for (int y = 0; y < AV_CEIL_RSHIFT(h, 1); ++y)
        for (int x = 0; x < f->linesize[p]; ++x) f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(p == 1 ? u : v);
    return f;
  }
  static TOwnFramePtr Run(TOwnVideoFilter& f, const AVFrame* in) {
    TOwnFramePtr out;
    EXPECT_EQ(f.Filter(TOwnFramePtr(av_frame_clone(in)), &out), 0);
    return out;
  }
  static std::vector<std::string> Log() {
    std::lock_guard<std::mutex> g(gLogLock);
    return gLog;
  }
};

TEST_F(EqFilters, ZeroZeroPassesThroughAndHundredMapsLumaAsSpecified) {
  int err = 1;
  auto eq = TOwnVideoFilter::Create("nativeeq", "0:0", &err);
  ASSERT_TRUE(eq);
  EXPECT_FALSE(eq->HasRoutine());
  const TOwnFramePtr in = Picture(64, 8);
  const TOwnFramePtr same = Run(*eq, in.get());
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_EQ(same->data[0][y * same->linesize[0] + x], in->data[0][y * in->linesize[0] + x]);

  auto full = TOwnVideoFilter::Create("nativeeq", "100:100", &err);
  ASSERT_TRUE(full);
  const TOwnFramePtr out = Run(*full, in.get());
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 64; ++x) {
      const int p = in->data[0][y * in->linesize[0] + x];
      const int q = out->data[0][y * out->linesize[0] + x];
      if (p == 0) EXPECT_EQ(q, 127);
      if (p >= 64) EXPECT_EQ(q, 255) << p;
      if (p > 0 && p < 64) EXPECT_EQ(q, std::min(255, 2 * p + 127));
    }
  // Chroma is left alone.
  EXPECT_EQ(out->data[1][0], 90);
  EXPECT_EQ(out->data[2][0], 200);
  EXPECT_EQ(Log().back(), "V brightness:100, contrast:100\n");
}

TEST_F(EqFilters, OutOfRangeValuesAreClampedWithTheirMessage) {
  int err = 0;
  auto eq = TOwnVideoFilter::Create("nativeeq", " 150 : 0 ", &err);
  ASSERT_TRUE(eq);
  EXPECT_EQ(eq->Value1(), 100);
  const auto log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "E Invalid brightness value 150, force to 100\n");
  EXPECT_EQ(log[1], "V brightness:100, contrast:0\n");
  gLog.clear();
  auto hue = TOwnVideoFilter::Create("nativehue", "-101:300", &err);
  ASSERT_TRUE(hue);
  EXPECT_EQ(Log()[0], "E Invalid hue value -101, force to -100\n");
  EXPECT_EQ(Log()[1], "E Invalid saturation value 300, force to 100\n");
}

TEST_F(EqFilters, LettersFailWithTheParsingMessage) {
  int err = 0;
  EXPECT_FALSE(TOwnVideoFilter::Create("nativeeq", "1x:0", &err));
  EXPECT_EQ(err, -1);
  EXPECT_EQ(Log().back(), "E failed to parsing parameters: '1x' is not a valid integer value\n");
  // And a chain naming it does not build.
  TVideoFilterChain chain;
  TVideoChainSource src;
  src.Width = 32;
  src.Height = 16;
  src.PixFmt = AV_PIX_FMT_YUV420P;
  EXPECT_EQ(chain.Configure(src, "scale=32:16,nativehue=abc", {}, {AV_PIX_FMT_YUV420P}, {}, 4), -1);
}

TEST_F(EqFilters, HueWithSaturationMinus100RemovesAllColourAtTheShiftedWidth) {
  int err = 0;
  auto hue = TOwnVideoFilter::Create("nativehue", "0:-100", &err);
  ASSERT_TRUE(hue);
  // Width 7: the chroma arithmetic covers 7 >> 1 = 3 columns; the fourth keeps its input.
  const TOwnFramePtr in = Picture(7, 6);
  const TOwnFramePtr out = Run(*hue, in.get());
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(out->data[1][y * out->linesize[1] + x], 128);
      EXPECT_EQ(out->data[2][y * out->linesize[2] + x], 128);
    }
    EXPECT_EQ(out->data[1][y * out->linesize[1] + 3], 90);
    EXPECT_EQ(out->data[2][y * out->linesize[2] + 3], 200);
  }
  // Luma untouched.
  for (int x = 0; x < 7; ++x) EXPECT_EQ(out->data[0][x], in->data[0][x]);
}

TEST_F(EqFilters, HueRotatesChromaWithTheFixedPointFormula) {
  int err = 0;
  auto hue = TOwnVideoFilter::Create("nativehue", "50:0", &err);  // a quarter turn
  ASSERT_TRUE(hue);
  const TOwnFramePtr out = Run(*hue, Picture(8, 2).get());
  // S = 65536, C = 0: u' = (-S*v0 + 8421376) >> 16, v' = (S*u0 + 8421376) >> 16.
  const int u0 = 90 - 128, v0 = 200 - 128;
  EXPECT_EQ(out->data[1][0], std::clamp((-65536 * v0 + 8421376) >> 16, 0, 255));
  EXPECT_EQ(out->data[2][0], std::clamp((65536 * u0 + 8421376) >> 16, 0, 255));
}

TEST_F(EqFilters, OnlyRegisteredHostVariablesAreRead) {
  int err = 0;
  int32_t stray = 77;
  const std::string raw = std::to_string(reinterpret_cast<uintptr_t>(&stray));
  EXPECT_FALSE(TOwnVideoFilter::Create("nativeeq", "0:0:" + raw, &err));
  EXPECT_EQ(err, -1);
  EXPECT_EQ(Log().back(), "E failed to parsing parameters: '" + raw + "' is not a variable registered by the host\n");
  EXPECT_FALSE(TOwnVideoFilter::Create("nativeeq", "0:0:0:12345", &err));

  std::atomic<int32_t> brightness{0}, contrast{100};
  const int64_t handle = RegisterFilterVariable(&brightness);
  const std::string address = std::to_string(reinterpret_cast<uintptr_t>(&contrast));
  RegisterFilterVariable(&contrast);
  auto eq = TOwnVideoFilter::Create("nativeeq", "::" + std::to_string(handle) + ":" + address, &err);
  ASSERT_TRUE(eq) << err;
  EXPECT_TRUE(eq->HasRoutine());
  const TOwnFramePtr in = Picture(64, 4);
  TOwnFramePtr out = Run(*eq, in.get());
  // Brightness 0, contrast 100: k = 131072, offset = 255 - 256 - 128 = -129.
  EXPECT_EQ(out->data[0][100], 2 * 100 - 129);
  EXPECT_EQ(out->data[0][10], 0);
  // Read afresh for every picture, clamped with the message.
  brightness = 500;
  contrast = 0;
  gLog.clear();
  out = Run(*eq, in.get());
  EXPECT_EQ(Log()[0], "E Invalid brightness value 500, force to 100\n");
  EXPECT_EQ(Log()[1], "V brightness:100, contrast:0\n");
  EXPECT_EQ(out->data[0][10], 255);  // offset 511 - 128 - 128 = 255
  brightness = 50;
  out = Run(*eq, in.get());
  EXPECT_EQ(Log().back(), "V brightness:50, contrast:0\n");
  EXPECT_EQ(out->data[0][10], 10 + 127);  // offset 383 - 128 - 128 = 127
  UnregisterFilterVariable(&brightness);
  UnregisterFilterVariable(&contrast);
  // A variable taken back is no longer read: the last values stay.
  brightness = -100;
  out = Run(*eq, in.get());
  EXPECT_EQ(out->data[0][10], 10 + 127);
}

TEST_F(EqFilters, RegistrationReportsSuccessAndTheDescriptions) {
  EXPECT_TRUE(RegisterEqFilter(false));
  EXPECT_TRUE(RegisterHueFilter(true));
  EXPECT_EQ(OwnVideoFilterDescription("nativeeq"), "Software video equalizer(brightness and contrast)");
  EXPECT_EQ(OwnVideoFilterDescription("nativehue"), "Software video equalizer(hue and saturation)");
  EXPECT_EQ(OwnVideoFilterDescription("eq"), "");
}

TEST_F(EqFilters, ChainRunsOwnFiltersBetweenLibraryFilters) {
  TVideoFilterChain chain;
  TVideoChainSource src;
  src.Width = 64;
  src.Height = 32;
  src.PixFmt = AV_PIX_FMT_YUV420P;
  src.TimeBase = {1, 25};
  ASSERT_EQ(chain.Configure(src, "nativeeq=100:100, scale=32:16 ,nativehue=0:-100", {{"crop", "my_crop", "30:16"}},
                            {AV_PIX_FMT_YUV420P}, {"in_src", "out_sink"}, 4),
            0);
  EXPECT_TRUE(avfilter_graph_get_filter(chain.FirstGraph(), "in_src"));
  TOwnFramePtr in = Picture(64, 32);
  in->pts = 7;
  ASSERT_EQ(chain.Send(in.get()), 0);
  TOwnFramePtr out(av_frame_alloc());
  ASSERT_EQ(chain.Receive(out.get()), 0);
  EXPECT_EQ(out->width, 30);
  EXPECT_EQ(out->height, 16);
  EXPECT_EQ(out->pts, 7);
  EXPECT_EQ(out->data[1][0], 128);
  // Brightened first: no dark luma survives.
  int darkest = 255;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 30; ++x) darkest = std::min<int>(darkest, out->data[0][y * out->linesize[0] + x]);
  EXPECT_GE(darkest, 120);
  EXPECT_EQ(chain.Receive(out.get()), AVERROR(EAGAIN));
  ASSERT_EQ(chain.Send(nullptr), 0);
  EXPECT_EQ(chain.Receive(out.get()), AVERROR_EOF);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
