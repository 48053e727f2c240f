// Hooks of a task: video hooks that change, keep or raise, the frame and audio hooks, and the
// hook modules loaded with "vhook".
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/FFEncode.h"
#include "engine/VideoHookModule.h"
#include "runtime/Bitmap.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

std::mutex gLock;
std::vector<std::string> gLines;

// What an output holds: the pictures' numbers and mean luma in display order, and the loudest
// sample of its sound.
struct TDecoded {
  std::vector<int> Numbers;
  std::vector<double> Luma;
  double AudioPeak = 0;
  int AudioFrames = 0;
};

TDecoded Decode(const std::string& path) {
  TDecoded r;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return r;
  avformat_find_stream_info(ic, nullptr);
  std::vector<AVCodecContext*> decs(ic->nb_streams, nullptr);
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    const AVCodec* c = avcodec_find_decoder(par->codec_id);
    if (!c) continue;
    decs[i] = avcodec_alloc_context3(c);
    avcodec_parameters_to_context(decs[i], par);
    decs[i]->pkt_timebase = ic->streams[i]->time_base;
    avcodec_open2(decs[i], c, nullptr);
  }
  struct TPic {
    int64_t Pts;
    int Number;
    double Luma;
  };
  std::vector<TPic> pics;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  auto drain = [&](unsigned idx) {
    while (avcodec_receive_frame(decs[idx], fr) >= 0) {
      if (decs[idx]->codec_type == AVMEDIA_TYPE_VIDEO) {
        double sum = 0;
        for (int y = 0; y < fr->height; y++)
          for (int x = 0; x < fr->width; x++) sum += fr->data[0][y * fr->linesize[0] + x];
        pics.push_back({fr->best_effort_timestamp, ReadFrameNumber(fr),
                        sum / (double(fr->width) * fr->height)});
      } else if (fr->format == AV_SAMPLE_FMT_FLTP) {
        r.AudioFrames++;
        for (int c = 0; c < fr->ch_layout.nb_channels; c++)
          for (int k = 0; k < fr->nb_samples; k++)
            r.AudioPeak = std::max(
                r.AudioPeak, double(std::fabs(reinterpret_cast<float*>(fr->extended_data[c])[k])));
      }
      av_frame_unref(fr);
    }
  };
  while (av_read_frame(ic, pkt) >= 0) {
    unsigned idx = static_cast<unsigned>(pkt->stream_index);
    if (idx < decs.size() && decs[idx]) {
      avcodec_send_packet(decs[idx], pkt);
      drain(idx);
    }
    av_packet_unref(pkt);
  }
  for (unsigned i = 0; i < decs.size(); i++)
    if (decs[i]) {
      avcodec_send_packet(decs[i], nullptr);
      drain(i);
    }
  std::stable_sort(pics.begin(), pics.end(),
                   [](const TPic& a, const TPic& b) { return a.Pts < b.Pts; });
  for (const TPic& p : pics) {
    r.Numbers.push_back(p.Number);
    r.Luma.push_back(p.Luma);
  }
  for (AVCodecContext* d : decs) avcodec_free_context(&d);
  av_frame_free(&fr);
  av_packet_free(&pkt);
  avformat_close_input(&ic);
  return r;
}

std::vector<int> Iota(int n) {
  std::vector<int> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) v[static_cast<size_t>(i)] = i;
  return v;
}

int LoggedCount(const std::string& part) {
  std::lock_guard<std::mutex> lock(gLock);
  int n = 0;
  for (auto& l : gLines) n += l.find(part) != std::string::npos;
  return n;
}

class HooksTest : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gLock);
      gLines.clear();
    }
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([](const void*, uint32_t, TLogLevel, const std::string& msg) {
      std::lock_guard<std::mutex> lock(gLock);
      gLines.push_back(msg);
    });
    FFLogger().SetLogLevel(llError);
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("trimora-hooks-" + std::to_string(getpid()) + "-" + t->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Src = FixturePath(FixtureKind::H264Mp4);
    Info = GetFixtureInfo(FixtureKind::H264Mp4);
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Out(const std::string& n) const { return (Dir / n).string(); }

  // One task run to its end in this thread; the termination record of the task.
  TTerminateInfo Run(TFFEncoder& e, TOutputOptions o, const std::string& out) {
    TTerminateInfo got;
    got.ExceptionMsg = "no termination";
    int t = e.AddTask(Src);
    EXPECT_GE(t, 0) << e.LastErrMsg();
    if (t < 0) return got;
    int r = e.SetOutput(t, out, &o);
    EXPECT_GE(r, 0) << e.LastErrMsg();
    if (r < 0) return got;
    e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
      if (i.TaskIndex >= 0) got = i;
    };
    e.StartTask(0);
    return got;
  }

  std::string Src;
  FixtureInfo Info;
  fs::path Dir;
};

const char* const kVideoOnly = "-c:v mpeg4 -qscale 2 -an";

}  // namespace

TEST_F(HooksTest, VideoOutputHookThatChangesThePictureIsEncoded) {
  TFFEncoder e;
  std::vector<int> numbers, shown;
  std::vector<int64_t> pts;
  e.OnVideoOutputHook = [&](TFFEncoder*, PHookInfo h) {
    EXPECT_TRUE(h->Update);
    EXPECT_FALSE(h->StopHook);
    numbers.push_back(h->FrameNumber);
    pts.push_back(h->PTS);
    const TBitmap& b = *h->Bitmap;
    EXPECT_EQ(b.BitsPixel(), 32);
    shown.push_back(ReadFrameNumberBGR(b.Bits(), b.Stride(), b.Width(), b.Height(), 4));
    h->Bitmap->Fill(0);
  };
  TOutputOptions o;
  o.VideoOutputHook = true;
  o.FileOptions = kVideoOnly;
  const TTerminateInfo t = Run(e, o, Out("black.mkv"));
  EXPECT_TRUE(t.Finished) << t.ExceptionMsg;
  // Frame numbers count from 1; the bitmap shows that picture; PTS in microseconds.
  EXPECT_EQ(numbers.size(), size_t(Info.frameCount));
  for (size_t i = 0; i < numbers.size(); i++) {
    EXPECT_EQ(numbers[i], int(i) + 1);
    EXPECT_EQ(shown[i], int(i));
    EXPECT_EQ(pts[i], int64_t(i) * 40000);
  }
  const TDecoded d = Decode(Out("black.mkv"));
  ASSERT_EQ(d.Luma.size(), size_t(Info.frameCount));
  for (double l : d.Luma) EXPECT_LT(l, 24);  // black in video range is 16
}

TEST_F(HooksTest, VideoHookThatKeepsRaisesOrStops) {
  {
    // Drawn on, but Update cleared: the output is the source.
    TFFEncoder e;
    e.OnVideoOutputHook = [](TFFEncoder*, PHookInfo h) {
      h->Bitmap->Fill(0);
      h->Update = false;
    };
    TOutputOptions o;
    o.VideoOutputHook = true;
    o.FileOptions = kVideoOnly;
    EXPECT_TRUE(Run(e, o, Out("keep.mkv")).Finished);
    EXPECT_EQ(Decode(Out("keep.mkv")).Numbers, Iota(Info.frameCount));
  }
  {
    // A raising handler is logged for every picture, the picture stays, the task goes on.
    TFFEncoder e;
    e.OnVideoOutputHook = [](TFFEncoder*, PHookInfo h) {
      h->Bitmap->Fill(0);
      throw std::runtime_error("hook broke");
    };
    TOutputOptions o;
    o.VideoOutputHook = true;
    o.FileOptions = kVideoOnly;
    const TTerminateInfo t = Run(e, o, Out("raise.mkv"));
    EXPECT_TRUE(t.Finished);
    EXPECT_FALSE(t.Exception) << t.ExceptionMsg;
    EXPECT_EQ(LoggedCount("Error occurs VideoHook event: hook broke"), Info.frameCount);
    EXPECT_EQ(Decode(Out("raise.mkv")).Numbers, Iota(Info.frameCount));
  }
  {
    // StopHook on the third call: no fourth, for input hooks as for output hooks.
    TFFEncoder e;
    int in = 0, out = 0;
    e.OnVideoInputHook = [&](TFFEncoder*, PHookInfo h) { h->StopHook = ++in == 3; };
    e.OnVideoOutputHook = [&](TFFEncoder*, PHookInfo h) { h->StopHook = ++out == 3; };
    TOutputOptions o;
    o.VideoInputHook = o.VideoOutputHook = true;
    o.FileOptions = kVideoOnly;
    EXPECT_TRUE(Run(e, o, Out("stop.mkv")).Finished);
    EXPECT_EQ(in, 3);
    EXPECT_EQ(out, 3);
    // An untouched bitmap converted back leaves every picture readable.
    EXPECT_EQ(Decode(Out("stop.mkv")).Numbers, Iota(Info.frameCount));
  }
}

TEST_F(HooksTest, VideoInputHookSeesDecodedPicturesAtTheHookDepth) {
  TFFEncoder e;
  std::vector<int> numbers, shown;
  e.OnVideoInputHook = [&](TFFEncoder*, PHookInfo h) {
    const TBitmap& b = *h->Bitmap;
    EXPECT_EQ(b.BitsPixel(), 24);
    EXPECT_EQ(h->PTS, int64_t(h->FrameNumber - 1) * 40000);
    numbers.push_back(h->FrameNumber);
    shown.push_back(ReadFrameNumberBGR(b.Bits(), b.Stride(), b.Width(), b.Height(), 3));
    // Painted white from picture 50 on: the input change reaches the output.
    if (h->FrameNumber > 50) h->Bitmap->Fill(255);
  };
  TOutputOptions o;
  o.VideoInputHook = true;
  o.VideoHookBitsPixel = 24;
  o.FileOptions = kVideoOnly;
  EXPECT_TRUE(Run(e, o, Out("in.mkv")).Finished);
  ASSERT_EQ(numbers.size(), size_t(Info.frameCount));
  for (size_t i = 0; i < numbers.size(); i++) {
    EXPECT_EQ(numbers[i], int(i) + 1);
    EXPECT_EQ(shown[i], int(i));
  }
  const TDecoded d = Decode(Out("in.mkv"));
  ASSERT_EQ(d.Numbers.size(), size_t(Info.frameCount));
  for (int i = 0; i < 50; i++) EXPECT_EQ(d.Numbers[size_t(i)], i);
  for (int i = 50; i < Info.frameCount; i++) EXPECT_GT(d.Luma[size_t(i)], 230) << i;
}

TEST_F(HooksTest, FrameHooksEditThePlanes) {
  TFFEncoder e;
  std::vector<int> inNumbers, outNumbers;
  auto fill = [](PFrameHookInfo h, uint8_t value) {
    for (int y = 0; y < h->Height; y++) std::fill_n(h->Data[0] + y * h->Linesize[0], h->Width, value);
  };
  e.OnFrameInputHook = [&](TFFEncoder*, PFrameHookInfo h) {
    EXPECT_EQ(h->PixFmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(h->Width, 320);
    EXPECT_EQ(h->Height, 240);
    inNumbers.push_back(h->FrameNumber);
    if (h->FrameNumber <= 10) fill(h, 235);  // white
  };
  e.OnFrameOutputHook = [&](TFFEncoder*, PFrameHookInfo h) {
    outNumbers.push_back(h->FrameNumber);
    EXPECT_EQ(h->PTS, int64_t(h->FrameNumber - 1) * 40000);
    if (h->FrameNumber > 60) fill(h, 16);  // black
  };
  TOutputOptions o;
  o.FrameInputHook = o.FrameOutputHook = true;
  o.FileOptions = kVideoOnly;
  EXPECT_TRUE(Run(e, o, Out("planes.mkv")).Finished);
  EXPECT_EQ(inNumbers.size(), size_t(Info.frameCount));
  EXPECT_EQ(outNumbers.size(), size_t(Info.frameCount));
  const TDecoded d = Decode(Out("planes.mkv"));
  ASSERT_EQ(d.Numbers.size(), size_t(Info.frameCount));
  for (int i = 0; i < 10; i++) EXPECT_GT(d.Luma[size_t(i)], 225) << i;
  for (int i = 10; i < 60; i++) EXPECT_EQ(d.Numbers[size_t(i)], i);
  for (int i = 60; i < Info.frameCount; i++) EXPECT_LT(d.Luma[size_t(i)], 24) << i;
}

TEST_F(HooksTest, AudioHooksGetWholeFramesAndTheirChangesStay) {
  TFFEncoder e;
  int inCalls = 0, outCalls = 0;
  int64_t lastIn = INT64_MIN, lastOut = INT64_MIN;
  float inPeak = 0;
  e.OnAudioInputHook = [&](TFFEncoder*, int task, int64_t pts, uint8_t* s, int size, int rate,
                           int channels, AVSampleFormat fmt) {
    EXPECT_EQ(task, 0);
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(channels, 2);
    ASSERT_EQ(fmt, AV_SAMPLE_FMT_FLT);  // the decoder's planar floats, interleaved
    ASSERT_GT(size, 0);
    EXPECT_EQ(size % (channels * 4), 0);
    EXPECT_GT(pts, lastIn);
    lastIn = pts;
    inCalls++;
    float* f = reinterpret_cast<float*>(s);
    for (int k = 0; k < size / 4; k++) inPeak = std::max(inPeak, std::fabs(f[k]));
  };
  e.OnAudioOutputHook = [&](TFFEncoder*, int, int64_t pts, uint8_t* s, int size, int rate,
                            int channels, AVSampleFormat fmt) {
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(fmt, AV_SAMPLE_FMT_FLT);
    EXPECT_EQ(size, 1024 * channels * 4);  // one AAC frame, every channel
    EXPECT_GT(pts, lastOut);
    lastOut = pts;
    outCalls++;
    // Silence after the first second; the interleaved buffer goes back into the planes.
    if (pts >= 1000000) std::fill_n(s, size, uint8_t(0));
  };
  TOutputOptions o;
  o.AudioInputHook = o.AudioOutputHook = true;
  o.FileOptions = "-vn -c:a aac";
  EXPECT_TRUE(Run(e, o, Out("sound.mkv")).Finished);
  EXPECT_GT(inCalls, 100);  // 3 s of 1024-sample frames at 48 kHz
  EXPECT_GT(outCalls, 100);
  EXPECT_GT(inPeak, 0.1f);  // the fixture's tone
  // The tone is still there in the first second of the output...
  EXPECT_GT(Decode(Out("sound.mkv")).AudioPeak, 0.1);
  // ...and the part after it, copied out, is silent.
  TFFEncoder e2;
  TOutputOptions cut;
  cut.FileOptions = "-ss 1.5 -vn -c:a copy";
  Src = Out("sound.mkv");
  EXPECT_TRUE(Run(e2, cut, Out("silent.mkv")).Finished);
  const TDecoded silent = Decode(Out("silent.mkv"));
  EXPECT_GT(silent.AudioFrames, 20);
  EXPECT_LT(silent.AudioPeak, 0.01);
}

TEST_F(HooksTest, HookModuleTextIsSplitAtBarsOrElseAtBlanks) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitHookModuleText("mod.so|-a|1"), (V{"mod.so", "-a", "1"}));
  EXPECT_EQ(SplitHookModuleText("mod.so -a 1"), (V{"mod.so", "-a", "1"}));
  EXPECT_EQ(SplitHookModuleText("  mod.so   -a\t1 "), (V{"mod.so", "-a", "1"}));
  // With a bar, blanks belong to the words.
  EXPECT_EQ(SplitHookModuleText("/my dir/mod.so|-t|a b"), (V{"/my dir/mod.so", "-t", "a b"}));
  std::string many = "m";
  for (int i = 0; i < 300; i++) many += " w";
  EXPECT_EQ(SplitHookModuleText(many).size(), 254u);
}

TEST_F(HooksTest, HookModulesProcessEveryPictureAndAreReleased) {
  void* lib = dlopen(TRIMORA_TEST_HOOK, RTLD_NOW);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto count = reinterpret_cast<int (*)(int)>(dlsym(lib, "HookModuleCount"));
  ASSERT_NE(count, nullptr);
  const int configured = count(0), processed = count(1), released = count(2);
  {
    TFFEncoder e;
    TOutputOptions o;
    o.FileOptions = std::string(kVideoOnly) + " -vhook " + TRIMORA_TEST_HOOK + "|-y|200";
    const TTerminateInfo t = Run(e, o, Out("module.mkv"));
    EXPECT_TRUE(t.Finished) << t.ExceptionMsg;
    EXPECT_EQ(count(0), configured + 1);
    EXPECT_EQ(count(1), processed + Info.frameCount);
    EXPECT_EQ(count(2), released + 1);  // at the task's clean-up
  }
  const TDecoded d = Decode(Out("module.mkv"));
  ASSERT_EQ(d.Luma.size(), size_t(Info.frameCount));
  for (double l : d.Luma) EXPECT_NEAR(l, 200, 4);
  {
    // A video input hook takes the place of the modules.
    TFFEncoder e;
    TOutputOptions o;
    o.VideoInputHook = true;
    e.OnVideoInputHook = [](TFFEncoder*, PHookInfo) {};
    o.FileOptions = std::string(kVideoOnly) + " -vhook " + TRIMORA_TEST_HOOK;
    EXPECT_TRUE(Run(e, o, Out("both.mkv")).Finished);
    EXPECT_EQ(count(1), processed + Info.frameCount);
    EXPECT_EQ(count(2), released + 2);
    EXPECT_EQ(Decode(Out("both.mkv")).Numbers, Iota(Info.frameCount));
  }
  dlclose(lib);
}

TEST_F(HooksTest, HookModulesThatCannotBeUsedFailTheOutput) {
  struct TCase {
    std::string Text, Expected;
  };
  const std::string module = TRIMORA_TEST_HOOK;
  const std::vector<TCase> cases = {
      {"/nonexistent/hook.so", "/nonexistent/hook.so"},
      {"libm.so.6", "Failed to find Process entrypoint in libm.so.6"},
      {module + "|-z", "Failed to Configure " + module},
  };
  for (const TCase& c : cases) {
    TFFEncoder e;
    int t = e.AddTask(Src);
    ASSERT_GE(t, 0);
    TOutputOptions o;
    o.FileOptions = std::string(kVideoOnly) + " -vhook " + c.Text;
    EXPECT_LT(e.SetOutput(t, Out("x.mkv"), &o), 0) << c.Text;
    EXPECT_NE(e.LastErrMsg().find("Failed to add video hook function: "), std::string::npos)
        << e.LastErrMsg();
    EXPECT_NE(e.LastErrMsg().find(c.Expected), std::string::npos) << e.LastErrMsg();
    EXPECT_FALSE(fs::exists(Out("x.mkv")));
  }
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
