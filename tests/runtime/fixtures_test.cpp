// The fixture media: each kind is made, opens as promised, and every picture reads back as
// its own frame number.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/Fixtures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

struct InputDeleter {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

InputPtr OpenInput(const std::string& path) {
  AVFormatContext* fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  InputPtr in(fc);
  if (avformat_find_stream_info(fc, nullptr) < 0) return nullptr;
  return in;
}

int FindStream(AVFormatContext* fc, AVMediaType type) {
  return av_find_best_stream(fc, type, -1, -1, nullptr, 0);
}

CodecPtr OpenDecoder(const AVStream* st) {
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return nullptr;
  CodecPtr c(avcodec_alloc_context3(codec));
  if (!c || avcodec_parameters_to_context(c.get(), st->codecpar) < 0) return nullptr;
  c->pkt_timebase = st->time_base;
  if (avcodec_open2(c.get(), codec, nullptr) < 0) return nullptr;
  return c;
}

struct DecodedPicture {
  int number;
  bool key;
  char type;
  double time;  // seconds, best-effort timestamp; NAN when unknown
};

// Decodes every frame of one stream with send/receive, draining at the end; `onFrame` sees
// each decoded frame.
template <typename OnFrame>
bool DecodeStream(AVFormatContext* fc, int index, OnFrame onFrame) {
  CodecPtr dec = OpenDecoder(fc->streams[index]);
  if (!dec) return false;
  PacketPtr pkt(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  auto receive = [&]() {
    for (;;) {
      const int ret = avcodec_receive_frame(dec.get(), frame.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
      if (ret < 0) return false;
      onFrame(frame.get());
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(fc, pkt.get()) >= 0) {
    if (pkt->stream_index == index) {
      const int ret = avcodec_send_packet(dec.get(), pkt.get());
      av_packet_unref(pkt.get());
      if (ret < 0) return false;
      if (!receive()) return false;
    } else {
      av_packet_unref(pkt.get());
    }
  }
  if (avcodec_send_packet(dec.get(), nullptr) < 0) return false;
  return receive();
}

std::vector<DecodedPicture> DecodePictures(const std::string& path) {
  std::vector<DecodedPicture> out;
  InputPtr in = OpenInput(path);
  if (!in) return out;
  const int index = FindStream(in.get(), AVMEDIA_TYPE_VIDEO);
  if (index < 0) return out;
  const AVRational tb = in->streams[index]->time_base;
  const bool ok = DecodeStream(in.get(), index, [&](const AVFrame* f) {
    const double t = f->best_effort_timestamp == AV_NOPTS_VALUE
                         ? NAN
                         : f->best_effort_timestamp * av_q2d(tb);
    out.push_back({ReadFrameNumber(f), f->key_frame != 0, av_get_picture_type_char(f->pict_type), t});
  });
  EXPECT_TRUE(ok) << "decoding " << path;
  return out;
}

FramePtr ConvertFrame(const AVFrame* src, AVPixelFormat fmt, int w, int h,
                      int flags = SWS_BILINEAR) {
  FramePtr dst(av_frame_alloc());
  dst->format = fmt;
  dst->width = w;
  dst->height = h;
  if (av_frame_get_buffer(dst.get(), 0) < 0) return nullptr;
  SwsPtr sws(sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format), w,
                            h, fmt, flags, nullptr, nullptr, nullptr));
  if (!sws) return nullptr;
  sws_scale(sws.get(), src->data, src->linesize, 0, src->height, dst->data, dst->linesize);
  return dst;
}

FramePtr DrawnFrame(AVPixelFormat fmt, int w, int h, int number) {
  FramePtr f(av_frame_alloc());
  f->format = fmt;
  f->width = w;
  f->height = h;
  if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  if (!DrawFrameNumber(f.get(), number)) return nullptr;
  return f;
}

// The first decoded picture of a fixture whose number is `wanted`, as a standalone frame.
FramePtr DecodedFrameNumber(FixtureKind kind, int wanted) {
  FramePtr keep;
  InputPtr in = OpenInput(FixturePath(kind));
  if (!in) return nullptr;
  DecodeStream(in.get(), FindStream(in.get(), AVMEDIA_TYPE_VIDEO), [&](const AVFrame* f) {
    if (!keep && ReadFrameNumber(f) == wanted) keep.reset(av_frame_clone(f));
  });
  return keep;
}

std::string RunCommand(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

bool HaveFfprobe() { return std::system("ffprobe -version >/dev/null 2>&1") == 0; }

// The long benchmark clip takes seconds to make; checked only when asked for
// (TRIMORA_TEST_BENCH_FIXTURES=1).
std::vector<FixtureKind> KindsToTest(bool FixtureInfo::*has) {
  std::vector<FixtureKind> kinds;
  for (FixtureKind k : AllFixtureKinds(std::getenv("TRIMORA_TEST_BENCH_FIXTURES") != nullptr))
    if (!has || GetFixtureInfo(k).*has) kinds.push_back(k);
  return kinds;
}

std::string KindName(const ::testing::TestParamInfo<FixtureKind>& p) {
  return FixtureKindName(p.param);
}

class FixtureKindTest : public ::testing::TestWithParam<FixtureKind> {};
class FixtureVideoTest : public ::testing::TestWithParam<FixtureKind> {};
class FixtureAudioTest : public ::testing::TestWithParam<FixtureKind> {};

TEST_P(FixtureKindTest, StreamLayoutIsAsPromised) {
  const FixtureInfo info = GetFixtureInfo(GetParam());
  const std::string path = FixturePath(GetParam());
  EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(FixtureDir()));
  InputPtr in = OpenInput(path);
  ASSERT_TRUE(in) << path;

  const int v = FindStream(in.get(), AVMEDIA_TYPE_VIDEO);
  const int a = FindStream(in.get(), AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(in->nb_streams, unsigned(info.hasVideo) + unsigned(info.hasAudio));
  ASSERT_EQ(v >= 0, info.hasVideo);
  ASSERT_EQ(a >= 0, info.hasAudio);
  if (info.hasVideo) {
    const AVCodecParameters* par = in->streams[v]->codecpar;
    EXPECT_EQ(par->codec_id, info.videoCodec) << avcodec_get_name(par->codec_id);
    EXPECT_EQ(par->width, info.width);
    EXPECT_EQ(par->height, info.height);
    if (info.frameCount > 1) {
      const AVRational rate = av_guess_frame_rate(in.get(), in->streams[v], nullptr);
      EXPECT_EQ(av_cmp_q(rate, info.frameRate), 0) << rate.num << "/" << rate.den;
    }
    EXPECT_EQ(par->video_delay > 0, info.hasBFrames) << "video_delay " << par->video_delay;
  }
  if (info.hasAudio) {
    const AVCodecParameters* par = in->streams[a]->codecpar;
    EXPECT_EQ(par->codec_id, info.audioCodec) << avcodec_get_name(par->codec_id);
    EXPECT_EQ(par->sample_rate, info.sampleRate);
    EXPECT_EQ(par->ch_layout.nb_channels, info.channels);
  }

  if (info.hasStartTime) {
    ASSERT_NE(in->start_time, AV_NOPTS_VALUE);
    EXPECT_NEAR(in->start_time / double(AV_TIME_BASE), info.startTime, 0.001);
  } else {
    EXPECT_EQ(in->start_time, AV_NOPTS_VALUE);
  }
  if (info.hasContainerDuration) {
    ASSERT_NE(in->duration, AV_NOPTS_VALUE);
    EXPECT_NE(in->duration_estimation_method, AVFMT_DURATION_FROM_BITRATE);
    EXPECT_NEAR(in->duration / double(AV_TIME_BASE), info.duration, 0.1);
  } else {
    // Nothing in the file says how long it is: at best a guess from the bit rate.
    EXPECT_TRUE(in->duration == AV_NOPTS_VALUE ||
                in->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE);
  }
}

TEST_P(FixtureVideoTest, EveryPictureReadsBackInOrder) {
  const FixtureInfo info = GetFixtureInfo(GetParam());
  const std::vector<DecodedPicture> pics = DecodePictures(FixturePath(GetParam()));
  ASSERT_EQ(int(pics.size()), info.frameCount);
  for (int i = 0; i < info.frameCount; ++i) {
    EXPECT_EQ(pics[i].number, i) << "picture " << i;
    EXPECT_EQ(pics[i].key, IsFixtureKeyFrame(info, i)) << "picture " << i;
  }
  std::vector<int> keys;
  std::string types;
  for (int i = 0; i < info.frameCount; ++i) {
    if (pics[i].key) keys.push_back(i);
    types += pics[i].type;
  }
  EXPECT_EQ(keys, info.keyFrames);
  EXPECT_EQ(types, info.pictureTypes);
  // Every container with timing gives every picture its exact time (to its 1 ms clock).
  if (info.hasContainerDuration) {
    for (int i = 0; i < info.frameCount; ++i)
      EXPECT_NEAR(pics[i].time, FixtureFrameTime(info, i), 0.0015) << "picture " << i;
  }
}

TEST_P(FixtureAudioTest, AudioIsTheToneForTheWholeLength) {
  const FixtureInfo info = GetFixtureInfo(GetParam());
  InputPtr in = OpenInput(FixturePath(GetParam()));
  ASSERT_TRUE(in);
  const int a = FindStream(in.get(), AVMEDIA_TYPE_AUDIO);
  ASSERT_GE(a, 0);
  int64_t samples = 0;
  int64_t crossings = 0;
  double peak = 0;
  double last = 0;
  const bool ok = DecodeStream(in.get(), a, [&](const AVFrame* f) {
    ASSERT_EQ(f->ch_layout.nb_channels, info.channels);
    const auto fmt = static_cast<AVSampleFormat>(f->format);
    const int step = av_sample_fmt_is_planar(fmt) ? 1 : info.channels;
    for (int i = 0; i < f->nb_samples; ++i) {
      double s = 0;
      switch (fmt) {
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP: s = reinterpret_cast<const float*>(f->data[0])[i * step]; break;
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
          s = reinterpret_cast<const int16_t*>(f->data[0])[i * step] / 32768.0;
          break;
        default: FAIL() << "sample format " << av_get_sample_fmt_name(fmt);
      }
      if ((last < 0) != (s < 0) && std::fabs(s - last) > 0.01) ++crossings;
      last = s;
      peak = std::max(peak, std::fabs(s));
    }
    samples += f->nb_samples;
  });
  ASSERT_TRUE(ok);
  const double seconds = double(samples) / info.sampleRate;
  // Codec priming and padding add a frame or two at most.
  EXPECT_GE(seconds, info.duration - 0.01);
  EXPECT_LE(seconds, info.duration + 0.1);
  EXPECT_NEAR(peak, 0.25, 0.05);
  EXPECT_NEAR(crossings / (2.0 * info.duration), info.toneHz, info.toneHz * 0.03);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, FixtureKindTest, ::testing::ValuesIn(KindsToTest(nullptr)),
                         KindName);
INSTANTIATE_TEST_SUITE_P(VideoKinds, FixtureVideoTest,
                         ::testing::ValuesIn(KindsToTest(&FixtureInfo::hasVideo)), KindName);
INSTANTIATE_TEST_SUITE_P(AudioKinds, FixtureAudioTest,
                         ::testing::ValuesIn(KindsToTest(&FixtureInfo::hasAudio)), KindName);

TEST(FixtureFiles, FrameCountsAndKeyFramesAgreeWithFfprobe) {
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  for (FixtureKind kind : AllFixtureKinds()) {
    const FixtureInfo info = GetFixtureInfo(kind);
    if (!info.hasVideo) continue;
    const std::string out =
        RunCommand("ffprobe -v error -select_streams v:0 -show_entries frame=key_frame "
                   "-of csv=p=0 '" + FixturePath(kind) + "'");
    std::vector<int> keys;
    int count = 0;
    for (size_t pos = 0; pos < out.size(); ++pos) {
      if (out[pos] == '1' || out[pos] == '0') {
        if (out[pos] == '1') keys.push_back(count);
        ++count;
      }
    }
    EXPECT_EQ(count, info.frameCount) << FixtureKindName(kind);
    EXPECT_EQ(keys, info.keyFrames) << FixtureKindName(kind);
  }
}

TEST(FixtureFiles, KindsKeepTheirPromises) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::Mpeg2Ts);
  EXPECT_NEAR(info.startTime, 1.4, 0.1);
  EXPECT_TRUE(GetFixtureInfo(FixtureKind::RawH264).hasContainerDuration == false);
  EXPECT_FALSE(GetFixtureInfo(FixtureKind::LongGopH264).generatedByDefault);
  for (FixtureKind kind : AllFixtureKinds()) EXPECT_NE(kind, FixtureKind::LongGopH264);
}

// Several processes asking for the same fixture at once all get one complete file.
TEST(FixtureFiles, ConcurrentRequestsShareOneFile) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("trimora-fixtures-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  const char* old = std::getenv("TRIMORA_FIXTURE_DIR");
  const std::string saved = old ? old : "";
  setenv("TRIMORA_FIXTURE_DIR", dir.c_str(), 1);

  std::vector<pid_t> children;
  for (int i = 0; i < 4; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = false;
      try {
        ok = FixturePath(FixtureKind::Mp3) == (dir / GetFixtureInfo(FixtureKind::Mp3).fileName).string() &&
             !FixturePath(FixtureKind::StillPng).empty();
      } catch (...) {
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  // Threads of this process too.
  std::vector<std::thread> threads;
  std::vector<std::string> paths(3);
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&paths, i] { paths[i] = FixturePath(FixtureKind::Mp3); });
  for (auto& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  if (old)
    setenv("TRIMORA_FIXTURE_DIR", saved.c_str(), 1);
  else
    unsetenv("TRIMORA_FIXTURE_DIR");

  for (const std::string& p : paths) EXPECT_EQ(p, (dir / GetFixtureInfo(FixtureKind::Mp3).fileName).string());
  // Only the finished files (and their lock files) remain, no temporary leftovers.
  int media = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    if (name[0] != '.') ++media;
  }
  EXPECT_EQ(media, 2);
  InputPtr in = OpenInput((dir / GetFixtureInfo(FixtureKind::Mp3).fileName).string());
  ASSERT_TRUE(in);
  EXPECT_NEAR(in->duration / double(AV_TIME_BASE), 3.0, 0.1);
  std::filesystem::remove_all(dir);
}

TEST(FixtureFiles, UnwritableFolderThrows) {
  const char* old = std::getenv("TRIMORA_FIXTURE_DIR");
  const std::string saved = old ? old : "";
  setenv("TRIMORA_FIXTURE_DIR", "/proc/trimora-no-such-folder", 1);
  EXPECT_THROW(FixturePath(FixtureKind::Wav), std::runtime_error);
  if (old)
    setenv("TRIMORA_FIXTURE_DIR", saved.c_str(), 1);
  else
    unsetenv("TRIMORA_FIXTURE_DIR");
}

// ---------------------------------------------------------------------------------------------
// The readers

TEST(FrameNumberReader, ReadsEveryDrawableFormatAndNumber) {
  const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV422P,
                                   AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ444P,
                                   AV_PIX_FMT_GRAY8,    AV_PIX_FMT_BGR24,   AV_PIX_FMT_RGB24,
                                   AV_PIX_FMT_BGRA,     AV_PIX_FMT_RGBA};
  for (AVPixelFormat fmt : formats) {
    for (int n : {0, 1, 2, 255, 256, 4660, 32768, 65535}) {
      FramePtr f = DrawnFrame(fmt, 176, 144, n);
      ASSERT_TRUE(f) << av_get_pix_fmt_name(fmt);
      EXPECT_EQ(ReadFrameNumber(f.get()), n) << av_get_pix_fmt_name(fmt);
    }
  }
  // Every number of a bit pattern: each of the 16 bits set alone and cleared alone.
  FramePtr f = DrawnFrame(AV_PIX_FMT_YUV420P, 320, 240, 0);
  for (int bit = 0; bit < 16; ++bit) {
    for (int n : {1 << bit, 0xFFFF ^ (1 << bit)}) {
      ASSERT_TRUE(DrawFrameNumber(f.get(), n));
      EXPECT_EQ(ReadFrameNumber(f.get()), n);
    }
  }
}

TEST(FrameNumberReader, RefusesWhatItCannotDraw) {
  FramePtr f = DrawnFrame(AV_PIX_FMT_YUV420P, 64, 48, 0);
  ASSERT_TRUE(f);
  EXPECT_FALSE(DrawFrameNumber(f.get(), -1));
  EXPECT_FALSE(DrawFrameNumber(f.get(), 65536));
  EXPECT_FALSE(DrawFrameNumber(nullptr, 1));
  FramePtr nv12(av_frame_alloc());
  nv12->format = AV_PIX_FMT_NV12;
  nv12->width = 64;
  nv12->height = 48;
  ASSERT_GE(av_frame_get_buffer(nv12.get(), 0), 0);
  EXPECT_FALSE(DrawFrameNumber(nv12.get(), 1));
}

TEST(FrameNumberReader, UnreadablePicturesGiveMinusOne) {
  EXPECT_EQ(ReadFrameNumber(nullptr), -1);
  EXPECT_EQ(ReadFrameNumberBGR(nullptr, 0, 0, 0, 3), -1);

  // A flat grey picture carries no code.
  FramePtr grey = DrawnFrame(AV_PIX_FMT_YUV420P, 320, 240, 0);
  ASSERT_TRUE(grey);
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < (p ? 120 : 240); ++y)
      std::memset(grey->data[p] + y * grey->linesize[p], 128, p ? 160 : 320);
  EXPECT_EQ(ReadFrameNumber(grey.get()), -1);

  // Half of one picture over half of another (a blended or half-decoded frame) is no number,
  // never a wrong one.
  FramePtr a = DrawnFrame(AV_PIX_FMT_YUV420P, 320, 240, 5);
  FramePtr b = DrawnFrame(AV_PIX_FMT_YUV420P, 320, 240, 10);
  ASSERT_TRUE(a && b);
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) {
      uint8_t& pa = a->data[0][y * a->linesize[0] + x];
      pa = uint8_t((pa + b->data[0][y * b->linesize[0] + x] + 1) / 2);
    }
  EXPECT_EQ(ReadFrameNumber(a.get()), -1);

  // Too small to hold the code, or a byte layout the reader does not know.
  FramePtr tiny = DrawnFrame(AV_PIX_FMT_BGR24, 32, 24, 7);
  ASSERT_TRUE(tiny);
  EXPECT_EQ(ReadFrameNumberBGR(tiny->data[0], tiny->linesize[0], 32, 24, 3), -1);
  FramePtr bgr = DrawnFrame(AV_PIX_FMT_BGR24, 320, 240, 7);
  ASSERT_TRUE(bgr);
  EXPECT_EQ(ReadFrameNumberBGR(bgr->data[0], bgr->linesize[0], 320, 240, 2), -1);
  EXPECT_EQ(ReadFrameNumberBGR(bgr->data[0], 100, 320, 240, 3), -1);
}

// Decoded pictures converted the way the product shows them: other pixel formats, BGR
// bitmaps, scaled to fit a window.
TEST(FrameNumberReader, ReadsDecodedPicturesAfterConversionAndScaling) {
  const int n = 37;  // a B-frame of the H.264 fixture
  FramePtr decoded = DecodedFrameNumber(FixtureKind::H264Mp4, n);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(static_cast<AVPixelFormat>(decoded->format), AV_PIX_FMT_YUV420P);

  for (AVPixelFormat fmt : {AV_PIX_FMT_NV12, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUV420P10LE,
                            AV_PIX_FMT_P010LE, AV_PIX_FMT_GRAY8, AV_PIX_FMT_RGB565LE,
                            AV_PIX_FMT_BGR8, AV_PIX_FMT_RGB24, AV_PIX_FMT_GBRP}) {
    FramePtr c = ConvertFrame(decoded.get(), fmt, decoded->width, decoded->height);
    ASSERT_TRUE(c) << av_get_pix_fmt_name(fmt);
    EXPECT_EQ(ReadFrameNumber(c.get()), n) << av_get_pix_fmt_name(fmt);
  }

  const struct {
    int w, h, flags;
  } sizes[] = {{320, 240, SWS_BILINEAR}, {160, 120, SWS_BILINEAR}, {640, 480, SWS_BICUBIC},
               {203, 152, SWS_BICUBIC},  {1024, 768, SWS_POINT},  {96, 72, SWS_AREA},
               {400, 240, SWS_BILINEAR}};
  for (const auto& s : sizes) {
    for (AVPixelFormat fmt : {AV_PIX_FMT_BGR24, AV_PIX_FMT_BGRA}) {
      FramePtr c = ConvertFrame(decoded.get(), fmt, s.w, s.h, s.flags);
      ASSERT_TRUE(c);
      const int bpp = fmt == AV_PIX_FMT_BGR24 ? 3 : 4;
      EXPECT_EQ(ReadFrameNumberBGR(c->data[0], c->linesize[0], s.w, s.h, bpp), n)
          << s.w << "x" << s.h << " " << bpp * 8 << " bits";
      EXPECT_EQ(ReadFrameNumber(c.get()), n) << s.w << "x" << s.h;
    }
  }

  // A picture fitted into a bigger panel, as the window shows it: read through its own
  // rectangle, and found on its own on a plain border (letterbox or pillarbox, any colour).
  const struct {
    int bw, bh, pw, ph;
    uint8_t border;
  } panels[] = {{500, 300, 400, 300, 0}, {320, 400, 320, 240, 0}, {640, 360, 480, 360, 240},
                {330, 250, 320, 240, 128}};
  for (const auto& p : panels) {
    const int left = (p.bw - p.pw) / 2, top = (p.bh - p.ph) / 2;
    std::vector<uint8_t> bitmap(size_t(p.bw) * p.bh * 3, p.border);
    FramePtr fitted = ConvertFrame(decoded.get(), AV_PIX_FMT_BGR24, p.pw, p.ph);
    ASSERT_TRUE(fitted);
    for (int y = 0; y < p.ph; ++y)
      std::memcpy(&bitmap[(size_t(y + top) * p.bw + left) * 3],
                  fitted->data[0] + y * fitted->linesize[0], size_t(p.pw) * 3);
    EXPECT_EQ(ReadFrameNumberBGR(&bitmap[(size_t(top) * p.bw + left) * 3], p.bw * 3, p.pw, p.ph, 3),
              n);
    EXPECT_EQ(ReadFrameNumberBGR(bitmap.data(), p.bw * 3, p.bw, p.bh, 3), n)
        << p.pw << "x" << p.ph << " in " << p.bw << "x" << p.bh;
  }
  // An empty panel holds no picture.
  std::vector<uint8_t> empty(size_t(200) * 150 * 4, 0);
  EXPECT_EQ(ReadFrameNumberBGR(empty.data(), 200 * 4, 200, 150, 4), -1);
}

TEST(FrameNumberReader, StillPictureShowsNumberZero) {
  InputPtr in = OpenInput(FixturePath(FixtureKind::StillPng));
  ASSERT_TRUE(in);
  int frames = 0;
  DecodeStream(in.get(), 0, [&](const AVFrame* f) {
    ++frames;
    EXPECT_EQ(static_cast<AVPixelFormat>(f->format), AV_PIX_FMT_RGB24);
    EXPECT_EQ(ReadFrameNumber(f), 0);
  });
  EXPECT_EQ(frames, 1);
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
