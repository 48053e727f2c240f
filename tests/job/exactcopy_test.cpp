// Frame-exact copy on generated files whose pictures carry their numbers: exactly the range's
// pictures come out, the copied ones bit for bit, the encoded ones close to their sources, and
// the file decodes cleanly in the ffmpeg tool and in the project's own decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <chrono>
#include <map>
#include <thread>

#include "cli/CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "engine/FFEncode.h"
#include "job/ExactCopy.h"
#include "job/ExactCopyJob.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "runtime/NalUnits.h"
#include "support/Fixtures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
#include <libavutil/pixdesc.h>
}

namespace fs = std::filesystem;

namespace {

struct TPic {
  int number = -1;
  std::string hash;
  std::vector<uint8_t> luma;
  int width = 0, height = 0;
  int64_t time = 0;  // µs, as the file stores it
};

// Bytes of one sample of the picture's planes (1 or 2).
int SampleBytes(const AVFrame* f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  return d && d->comp[0].depth > 8 ? 2 : 1;
}

std::string HashPlanes(const AVFrame* f) {
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int p = 0; p < 3 && f->data[p]; p++) {
    const int h = p == 0 ? f->height : (f->height + 1) / 2;
    const int w = (p == 0 ? f->width : (f->width + 1) / 2) * SampleBytes(f);
    for (int y = 0; y < h; y++) av_md5_update(md5, f->data[p] + y * f->linesize[p], w);
  }
  uint8_t d[16];
  av_md5_final(md5, d);
  av_free(md5);
  char hex[33];
  for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return hex;
}

// Every picture of the file's video stream, in presentation order; first audio time in µs.
std::vector<TPic> DecodeAll(const std::string& path, int64_t* firstAudio = nullptr) {
  std::vector<TPic> pics;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return pics;
  avformat_find_stream_info(ic, nullptr);
  const int v = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int a = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (firstAudio) *firstAudio = AV_NOPTS_VALUE;
  if (v < 0) {
    avformat_close_input(&ic);
    return pics;
  }
  const AVStream* st = ic->streams[v];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, st->codecpar);
  dec->pkt_timebase = st->time_base;
  avcodec_open2(dec, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(dec, frame) >= 0) {
      TPic p;
      p.number = ReadFrameNumber(frame);
      p.hash = HashPlanes(frame);
      p.width = frame->width;
      p.height = frame->height;
      // Luma at 8 bits, whatever the depth.
      const bool wide = SampleBytes(frame) == 2;
      for (int y = 0; y < frame->height; y++) {
        const uint8_t* row = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < frame->width; x++)
          p.luma.push_back(wide ? static_cast<uint8_t>(reinterpret_cast<const uint16_t*>(row)[x] >> 2) : row[x]);
      }
      p.time = av_rescale_q(frame->best_effort_timestamp, st->time_base, AV_TIME_BASE_Q);
      pics.push_back(std::move(p));
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == a && firstAudio && *firstAudio == AV_NOPTS_VALUE && pkt->pts != AV_NOPTS_VALUE)
      *firstAudio = av_rescale_q(pkt->pts, ic->streams[a]->time_base, AV_TIME_BASE_Q);
    if (pkt->stream_index == v) {
      avcodec_send_packet(dec, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&ic);
  return pics;
}

double LumaPsnr(const TPic& a, const TPic& b) {
  if (a.luma.size() != b.luma.size() || a.luma.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.luma.size(); i++) {
    const double d = double(a.luma[i]) - double(b.luma[i]);
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / a.luma.size()));
}

int64_t FrameTime(int n) { return int64_t(n) * 40000; }  // the fixtures run at 25 fps

class ExactCopyTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("trimora-exact-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!getenv("TRIMORA_KEEP_TEST_OUTPUT")) fs::remove_all(dir_);
  }

  std::string Out(const std::string& name) { return (dir_ / name).string(); }
  std::string CutName(const std::string& src, int first, int end) {
    return Out(fs::path(src).stem().string() + "_" + std::to_string(first) + "_" + std::to_string(end) +
               fs::path(src).extension().string());
  }

  // Cuts [first, end) of the fixture and checks the output picture by picture.
  // src: the fixture itself, or the same streams in another container.
  void CheckCut(FixtureKind kind, int first, int end, std::string src = std::string()) {
    SCOPED_TRACE(std::string(FixtureKindName(kind)) + " [" + std::to_string(first) + ", " +
                 std::to_string(end) + ") " + src);
    if (src.empty()) src = FixturePath(kind);
    const std::string ext = fs::path(src).extension().string();
    const std::string out = CutName(src, first, end);
    TExactCopyOptions o;
    o.Start = FrameTime(first);
    o.End = FrameTime(end);
    TExactCopyPlan plan;
    std::string error;
    ASSERT_TRUE(PlanExactCopy(src, o, &plan, &error)) << error;
    ASSERT_TRUE(plan.Exact) << plan.Reason;
    EXPECT_EQ(plan.HeadPictures + plan.CopiedPictures + plan.TailPictures, end - first);
    const FixtureInfo info = GetFixtureInfo(kind);
    if (kind == FixtureKind::H264OpenGopMkv) {
      // Its later key frames are recovery points, not IDR pictures: H.264 decoders take the
      // source's parameter sets back only at an IDR, so the whole range is encoded again.
      EXPECT_EQ(plan.CopiedPictures, 0);
    } else if (IsFixtureKeyFrame(info, first) && first < info.frameCount) {
      EXPECT_EQ(plan.HeadPictures, 0);
    }

    TExactCopyPlan ran;
    ASSERT_TRUE(RunExactCopy(src, out, o, {}, &ran, &error)) << error;
    EXPECT_EQ(ran.CopiedPictures, plan.CopiedPictures);

    static std::map<std::string, std::vector<TPic>> sources;
    if (!sources.count(src)) sources[src] = DecodeAll(src);
    std::map<int, const TPic*> byNumber;
    for (const TPic& p : sources[src]) byNumber[p.number] = &p;

    int64_t firstAudio = AV_NOPTS_VALUE;
    const std::vector<TPic> pics = DecodeAll(out, &firstAudio);
    ASSERT_EQ(static_cast<int>(pics.size()), end - first);
    int copied = 0;
    for (int i = 0; i < end - first; i++) {
      const TPic& p = pics[static_cast<size_t>(i)];
      ASSERT_EQ(p.number, first + i) << "picture " << i;
      // The source's timing, the first picture at 0 (MPEG-TS adds its muxing delay).
      const int64_t origin = ext == ".ts" ? pics.front().time : 0;
      EXPECT_NEAR(static_cast<double>(p.time - origin), static_cast<double>(FrameTime(i)), 1500.0)
          << "picture " << i;
      const TPic& s = *byNumber.at(p.number);
      const int64_t srcTime = FrameTime(p.number);
      const bool isCopy =
          plan.CopiedPictures && srcTime >= plan.CopyFirst - 1000 && srcTime <= plan.CopyLast + 1000;
      if (isCopy) {
        EXPECT_EQ(p.hash, s.hash) << "copied picture " << p.number;
        copied++;
      } else {
        EXPECT_GE(LumaPsnr(p, s), 40.0) << "encoded picture " << p.number;
      }
    }
    EXPECT_EQ(copied, plan.CopiedPictures);
    if (info.hasAudio) {
      ASSERT_NE(firstAudio, AV_NOPTS_VALUE);
      // Sound starts with the picture, within one audio frame.
      EXPECT_LE(std::llabs(firstAudio - pics.front().time), 2048 * 1000000LL / info.sampleRate);
    }

    const TCliRun check = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -f null -");
    EXPECT_EQ(check.Code, 0);
    EXPECT_EQ(check.Out + check.Err, "");

    TFFDecoder decoder;
    ASSERT_TRUE(decoder.LoadFile(out)) << decoder.LastErrMsg();
    int stepped = 0;
    while (decoder.Decode(-1)) stepped++;
    EXPECT_EQ(stepped, end - first);
  }

  // Key to key, one after, just before the next, and inside one group of pictures.
  void CheckAllRanges(FixtureKind kind) {
    const FixtureInfo info = GetFixtureInfo(kind);
    ASSERT_GE(info.keyFrames.size(), 5u);
    const int k1 = info.keyFrames[1], k3 = info.keyFrames[3];
    CheckCut(kind, k1, k3);
    CheckCut(kind, k1 + 1, k3 + 1);
    CheckCut(kind, k1 - 1, k3 - 1);
    CheckCut(kind, k1 + 2, k1 + 8);
  }

  fs::path dir_;
};

TEST_F(ExactCopyTest, H264InMp4) { CheckAllRanges(FixtureKind::H264Mp4); }
TEST_F(ExactCopyTest, H264InMatroska) { CheckAllRanges(FixtureKind::H264Mkv); }
TEST_F(ExactCopyTest, H264InQuickTime) {
  // The MP4 fixture's streams, moved into a QuickTime file by the ffmpeg tool.
  const std::string mov = Out("h264.mov");
  const TCliRun r = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(FixturePath(FixtureKind::H264Mp4)) +
                             " -c copy " + ShellQuote(mov));
  ASSERT_EQ(r.Code, 0) << r.Err;
  CheckCut(FixtureKind::H264Mp4, 13, 37, mov);
  CheckCut(FixtureKind::H264Mp4, 14, 20, mov);
}
TEST_F(ExactCopyTest, H264InMpegTs) { CheckAllRanges(FixtureKind::H264Ts); }
TEST_F(ExactCopyTest, H264WithOpenGops) { CheckAllRanges(FixtureKind::H264OpenGopMkv); }
TEST_F(ExactCopyTest, Mpeg2InMpegTs) { CheckAllRanges(FixtureKind::Mpeg2Ts); }
TEST_F(ExactCopyTest, Mpeg4PartTwoInAvi) { CheckAllRanges(FixtureKind::Mpeg4Avi); }

// The fixture's streams moved into another container by the ffmpeg tool.
std::string Remux(FixtureKind kind, const std::string& out) {
  const TCliRun r = RunShell("ffmpeg -nostdin -v error -y -i " + ShellQuote(FixturePath(kind)) + " -c copy " +
                             ShellQuote(out));
  EXPECT_EQ(r.Code, 0) << r.Err;
  return out;
}

TExactCopyPlan PlanOf(const std::string& src, int first, int end, std::string* error) {
  TExactCopyOptions o;
  o.Start = FrameTime(first);
  o.End = FrameTime(end);
  TExactCopyPlan plan;
  PlanExactCopy(src, o, &plan, error);
  return plan;
}

std::string Probe(const std::string& what, const std::string& file) {
  return RunShell("ffprobe -v error -select_streams v " + what + " -of default=nw=1 " + ShellQuote(file)).Out;
}

TEST_F(ExactCopyTest, HevcInMp4) {
  CheckAllRanges(FixtureKind::HevcMp4);
  // The parameter sets change in band: the sample entry says so.
  EXPECT_EQ(Probe("-show_entries stream=codec_tag_string", CutName(FixturePath(FixtureKind::HevcMp4), 13, 37)), "codec_tag_string=hev1\n");
}
TEST_F(ExactCopyTest, HevcInMpegTsAndMatroska) {
  CheckCut(FixtureKind::HevcMp4, 13, 37, Remux(FixtureKind::HevcMp4, Out("hevc.ts")));
  CheckCut(FixtureKind::HevcMp4, 11, 25, Out("hevc.ts"));
  CheckCut(FixtureKind::HevcMp4, 13, 37, Remux(FixtureKind::HevcMp4, Out("hevc.mkv")));
}
TEST_F(ExactCopyTest, Hevc10WithOpenGopsInMpegTs) { CheckAllRanges(FixtureKind::Hevc10Ts); }
TEST_F(ExactCopyTest, Hevc10InMp4AndQuickTime) {
  CheckCut(FixtureKind::Hevc10Ts, 13, 37, Remux(FixtureKind::Hevc10Ts, Out("hevc10.mp4")));
  CheckCut(FixtureKind::Hevc10Ts, 24, 36, Out("hevc10.mp4"));
  CheckCut(FixtureKind::Hevc10Ts, 22, 40, Remux(FixtureKind::Hevc10Ts, Out("hevc10.mov")));
}

TEST_F(ExactCopyTest, HevcCopyBeginsAtARandomAccessPictureAfterItsLeadingPictures) {
  // The two B-frames shown before the CRA at 24 are decoded after it, from the group before:
  // they are encoded again, the copy begins with the CRA.
  std::string error;
  const TExactCopyPlan plan = PlanOf(FixturePath(FixtureKind::Hevc10Ts), 22, 50, &error);
  ASSERT_TRUE(plan.Exact) << plan.Reason << error;
  EXPECT_EQ(plan.HeadPictures, 2);
  EXPECT_EQ(plan.CopyFirst, FrameTime(24));
}

TEST_F(ExactCopyTest, HdrColourAndRotationAreKept) {
  // The encoded head of a 10-bit HDR source: main 10, PQ over BT.2020, its mastering display
  // and light level.
  CheckCut(FixtureKind::Hevc10Ts, 13, 37);
  const std::string hdr = CutName(FixturePath(FixtureKind::Hevc10Ts), 13, 37);
  // (ffprobe lists an MPEG-TS stream twice: in its program and alone.)
  const std::string colour = "profile=Main 10\npix_fmt=yuv420p10le\ncolor_space=bt2020nc\n"
                             "color_transfer=smpte2084\ncolor_primaries=bt2020\n";
  EXPECT_EQ(Probe("-show_entries stream=profile,pix_fmt,color_transfer,color_primaries,color_space", hdr),
            colour + colour);
  const std::string first = Probe("-read_intervals %+#1 -show_frames -show_entries frame=side_data_list", hdr);
  EXPECT_NE(first.find("side_data_type=Mastering display metadata"), std::string::npos) << first;
  EXPECT_NE(first.find("max_luminance=10000000/10000"), std::string::npos) << first;
  EXPECT_NE(first.find("max_content=1000"), std::string::npos) << first;

  const TCliRun r = RunShell("ffmpeg -nostdin -v error -y -i " + ShellQuote(FixturePath(FixtureKind::HevcMp4)) +
                             " -c copy -metadata:s:v rotate=90 " + ShellQuote(Out("rotated.mp4")));
  ASSERT_EQ(r.Code, 0) << r.Err;
  CheckCut(FixtureKind::HevcMp4, 14, 30, Out("rotated.mp4"));
  EXPECT_NE(Probe("-show_streams", CutName(Out("rotated.mp4"), 14, 30)).find("rotation=90"), std::string::npos);
}

TEST_F(ExactCopyTest, Vp9InWebmAndMatroska) {
  CheckAllRanges(FixtureKind::Vp9Webm);
  CheckCut(FixtureKind::Vp9Webm, 13, 37, Remux(FixtureKind::Vp9Webm, Out("vp9.mkv")));
}

TEST_F(ExactCopyTest, Av1InMp4AndMatroskaKeepingHdr) {
  CheckAllRanges(FixtureKind::Av1Mp4);
  CheckCut(FixtureKind::Av1Mp4, 13, 37, Remux(FixtureKind::Av1Mp4, Out("av1.mkv")));
  // 10-bit HDR10: the encoded head keeps the depth, the colour and the mastering metadata.
  CheckCut(FixtureKind::Av1Hdr10Mkv, 13, 37);
  const std::string hdr = CutName(FixturePath(FixtureKind::Av1Hdr10Mkv), 13, 37);
  EXPECT_EQ(Probe("-show_entries stream=profile,pix_fmt,color_transfer,color_primaries,color_space", hdr),
            "profile=Main\npix_fmt=yuv420p10le\ncolor_space=bt2020nc\ncolor_transfer=smpte2084\n"
            "color_primaries=bt2020\n");
  const std::string first = Probe("-read_intervals %+#1 -show_frames -show_entries frame=side_data_list", hdr);
  EXPECT_NE(first.find("side_data_type=Mastering display metadata"), std::string::npos) << first;
  EXPECT_NE(first.find("max_content=1000"), std::string::npos) << first;
}

TEST_F(ExactCopyTest, ARangeWithoutAKeyFrameIsEncodedWhole) {
  for (FixtureKind kind : {FixtureKind::LongGopH264Mp4, FixtureKind::LongGopHevcMp4}) {
    CheckCut(kind, 60, 110);
    CheckCut(kind, 230, 270);  // across the second key frame
  }
}

// The H.264 MP4 `from` (4-byte NAL lengths, no unit over 64 KiB) written again with 2-byte ones.
void WriteTwoByteLengths(const std::string& from, const std::string& to) {
  AVFormatContext* ic = nullptr;
  ASSERT_GE(avformat_open_input(&ic, from.c_str(), nullptr, nullptr), 0);
  TInputFormatPtr in(ic);
  ASSERT_GE(avformat_find_stream_info(ic, nullptr), 0);
  AVFormatContext* oc = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, "mp4", to.c_str()), 0);
  TOutputFormatPtr out(oc);
  AVStream* st = avformat_new_stream(oc, nullptr);
  avcodec_parameters_copy(st->codecpar, ic->streams[0]->codecpar);
  st->codecpar->codec_tag = 0;
  st->codecpar->extradata[4] = 0xfd;  // lengthSizeMinusOne = 1
  st->time_base = ic->streams[0]->time_base;
  ASSERT_GE(avio_open(&oc->pb, to.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(oc, nullptr), 0);
  TNalRewrite how;
  how.InLength = 4;
  how.OutLength = 2;
  TPacketPtr pkt(av_packet_alloc());
  std::vector<uint8_t> data;
  while (av_read_frame(ic, pkt.get()) >= 0) {
    ASSERT_TRUE(RewriteNalUnits(pkt->data, static_cast<size_t>(pkt->size), how, &data));
    TPacketPtr copy(av_packet_alloc());
    ASSERT_GE(av_new_packet(copy.get(), static_cast<int>(data.size())), 0);
    std::copy(data.begin(), data.end(), copy->data);
    av_packet_copy_props(copy.get(), pkt.get());
    av_packet_unref(pkt.get());
    copy->stream_index = 0;
    av_packet_rescale_ts(copy.get(), ic->streams[0]->time_base, st->time_base);
    ASSERT_GE(av_interleaved_write_frame(oc, copy.get()), 0);
  }
  ASSERT_GE(av_write_trailer(oc), 0);
  avio_closep(&oc->pb);
}

TEST_F(ExactCopyTest, H264WithTwoByteNalLengthsKeepsEveryUnitWithinThem) {
  // Noisy 720p pictures: at the encoder's quality a whole picture would not fit 2 bytes.
  const std::string four = Out("noise4.mp4"), two = Out("noise2.mp4"), out = Out("noise_cut.mp4");
  const TCliRun made = RunShell(
      "ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=1280x720:r=25,noise=alls=60:allf=t -t 0.8 "
      "-c:v libx264 -preset ultrafast -crf 20 -g 10 -x264-params slice-max-size=60000 -an " + ShellQuote(four));
  ASSERT_EQ(made.Code, 0) << made.Err;
  WriteTwoByteLengths(four, two);
  ASSERT_EQ(Probe("-show_entries stream=nal_length_size", two), "nal_length_size=2\n");
  TExactCopyOptions o;
  o.Start = FrameTime(3);
  o.End = FrameTime(17);
  TExactCopyPlan plan;
  std::string error;
  ASSERT_TRUE(RunExactCopy(two, out, o, {}, &plan, &error)) << error;
  EXPECT_GT(plan.HeadPictures, 0);
  EXPECT_GT(plan.TailPictures, 0);
  EXPECT_EQ(Probe("-count_frames -show_entries stream=nb_read_frames", out), "nb_read_frames=14\n");
  const TCliRun check = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -f null -");
  EXPECT_EQ(check.Out + check.Err, "");
}

TEST_F(ExactCopyTest, KeyFrameToKeyFrameCopiesEverything) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  TExactCopyOptions o;
  o.Start = FrameTime(info.keyFrames[1]);
  o.End = FrameTime(info.keyFrames[3]);
  TExactCopyPlan plan;
  std::string error;
  ASSERT_TRUE(PlanExactCopy(FixturePath(FixtureKind::H264Mp4), o, &plan, &error)) << error;
  EXPECT_EQ(plan.HeadPictures, 0);
  EXPECT_EQ(plan.TailPictures, 0);
  EXPECT_EQ(plan.CopiedPictures, info.keyFrames[3] - info.keyFrames[1]);
}

TEST_F(ExactCopyTest, RemoveAudioLeavesOnlyThePictures) {
  TExactCopyOptions o;
  o.Start = FrameTime(13);
  o.End = FrameTime(37);
  o.RemoveAudio = true;
  const std::string out = Out("silent.mkv");
  std::string error;
  ASSERT_TRUE(RunExactCopy(FixturePath(FixtureKind::H264Mkv), out, o, {}, nullptr, &error)) << error;
  const TCliRun r = RunShell("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + ShellQuote(out));
  EXPECT_EQ(r.Out, "video\n");
  EXPECT_EQ(DecodeAll(out).size(), 24u);
}

TEST_F(ExactCopyTest, H263In3gpRepeatsTheSourcesQuantizers) {
  // A phone-style 3GP made from the MP4 fixture by the ffmpeg tool, key frames where the
  // fixture has them. Encoded again at the source's own quantizer, the pictures stay close.
  const std::string gp = Out("h263.3gp");
  const TCliRun r = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(FixturePath(FixtureKind::H264Mp4)) +
                             " -c:v h263 -s 352x288 -q:v 4 -g 12 -sc_threshold 1000000000 -c:a copy " +
                             ShellQuote(gp));
  ASSERT_EQ(r.Code, 0) << r.Err;
  CheckCut(FixtureKind::H264Mp4, 13, 37, gp);
  CheckCut(FixtureKind::H264Mp4, 14, 20, gp);
  // Plain H.263 has five picture sizes; a source of another (H.263+, which reads as H.263)
  // cannot be matched.
  const std::string odd = Out("h263p.mov");
  ASSERT_EQ(RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(FixturePath(FixtureKind::H264Mp4)) +
                     " -an -c:v h263p -s 320x240 " + ShellQuote(odd)).Code, 0);
  std::string error;
  const TExactCopyPlan plan = PlanOf(odd, 13, 30, &error);
  EXPECT_FALSE(plan.Exact);
  EXPECT_EQ(plan.Reason, "the H.263 picture size 320x240 cannot be encoded again") << error;
}

TEST_F(ExactCopyTest, OtherCodecsFallBackWithTheirReason) {
  TExactCopyOptions o;
  o.Start = FrameTime(13);
  o.End = FrameTime(30);
  TExactCopyPlan plan;
  std::string error;
  ASSERT_TRUE(PlanExactCopy(FixturePath(FixtureKind::Vp8Webm), o, &plan, &error)) << error;
  EXPECT_FALSE(plan.Exact);
  EXPECT_NE(plan.Reason.find("vp8"), std::string::npos) << plan.Reason;
  EXPECT_NE(ExactCopyFallbackText(plan).find("key frame at or before the start"), std::string::npos);
  // Running it anyway refuses and writes nothing.
  const std::string out = Out("vp8.webm");
  EXPECT_FALSE(RunExactCopy(FixturePath(FixtureKind::Vp8Webm), out, o, {}, nullptr, &error));
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(ExactCopyTest, AStopLeavesAValidShorterFileAndTheSourceIsNeverWritten) {
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  const auto before = fs::file_size(src);
  TExactCopyOptions o;
  o.Start = FrameTime(5);
  o.End = FrameTime(70);
  int calls = 0;
  TExactCopyHost host;
  host.StopRequested = [&] { return ++calls > 30; };  // after 30 packets were read
  const std::string out = Out("stopped.mp4");
  TExactCopyPlan plan;
  std::string error;
  ASSERT_TRUE(RunExactCopy(src, out, o, host, &plan, &error)) << error;
  const std::vector<TPic> pics = DecodeAll(out);
  EXPECT_GT(pics.size(), 0u);
  EXPECT_LT(pics.size(), 65u);
  for (size_t i = 0; i < pics.size(); i++) EXPECT_EQ(pics[i].number, 5 + static_cast<int>(i));
  const TCliRun check = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -f null -");
  EXPECT_EQ(check.Out + check.Err, "");

  // The output's name is taken now: a second run refuses to replace it; the input is refused.
  EXPECT_FALSE(RunExactCopy(src, out, o, {}, nullptr, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(RunExactCopy(src, src, o, {}, nullptr, &error));
  EXPECT_EQ(fs::file_size(src), before);
  EXPECT_EQ(DecodeAll(out).size(), pics.size());
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The head and the tail encoded at the same time on workers, against the same job alone on
// its thread: the same bytes, for one range off the key frames and for several ranges.
TEST_F(ExactCopyTest, BothPartsAtOnceWriteTheSameBytesAsOneAfterTheOther) {
  for (FixtureKind kind : {FixtureKind::H264Mp4, FixtureKind::HevcMp4, FixtureKind::Mpeg2Ts, FixtureKind::Vp9Webm}) {
    SCOPED_TRACE(FixtureKindName(kind));
    const FixtureInfo info = GetFixtureInfo(kind);
    const int k1 = info.keyFrames[1], k3 = info.keyFrames[3];
    const std::string src = FixturePath(kind);
    const std::string name = FixtureKindName(kind);
    // Matroska writes random ids into every file: VP9 goes into MP4 here.
    const std::string ext = kind == FixtureKind::Vp9Webm ? ".mp4" : fs::path(src).extension().string();
    std::vector<TExactCopyOptions> ranges(2);
    ranges[0].Start = FrameTime(k1 - 3);
    ranges[0].End = FrameTime(k3 + 2);
    ranges[1].Start = FrameTime(k1 + 2);  // within one group of pictures: a head alone
    ranges[1].End = FrameTime(k1 + 9);
    std::map<bool, std::pair<std::string, std::string>> bytes;
    for (bool sequential : {true, false}) {
      TExactCopyHost host;
      host.Sequential = sequential;
      const std::string one = Out(name + (sequential ? "_alone" : "_beside") + ext);
      const std::string several = Out(name + (sequential ? "_alone_ranges" : "_beside_ranges") + ext);
      TExactCopyPlan plan;
      std::string error;
      ASSERT_TRUE(RunExactCopy(src, one, ranges[0], host, &plan, &error)) << error;
      EXPECT_GT(plan.HeadPictures, 0);
      EXPECT_GT(plan.TailPictures, 0);
      ASSERT_TRUE(RunExactCopyRanges(src, several, ranges, {}, host, nullptr, &error)) << error;
      bytes[sequential] = {FileBytes(one), FileBytes(several)};
    }
    const std::vector<TPic> pics = DecodeAll(Out(name + "_beside" + ext));
    ASSERT_EQ(static_cast<int>(pics.size()), k3 + 2 - (k1 - 3));
    EXPECT_EQ(pics.back().number, k3 + 1);
    EXPECT_EQ(DecodeAll(Out(name + "_beside_ranges" + ext)).size(), pics.size() + 7);
    EXPECT_TRUE(bytes[true].first == bytes[false].first)
        << bytes[true].first.size() << " bytes alone, " << bytes[false].first.size() << " beside";
    EXPECT_TRUE(bytes[true].second == bytes[false].second)
        << bytes[true].second.size() << " bytes alone, " << bytes[false].second.size() << " beside";
  }
}

// A stop once the head is written, while the tail's worker runs: the file ends with the head,
// nothing after it that would leave a gap, and decodes cleanly.
TEST_F(ExactCopyTest, AStopWhileTheTailIsEncodedKeepsTheHeadWithoutAGap) {
  if (getenv("TRIMORA_EXACT_COPY_SEQUENTIAL")) GTEST_SKIP() << "the parts run one after the other";
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  const int first = info.keyFrames[1] - 3;
  TExactCopyOptions o;
  o.Start = FrameTime(first);
  o.End = FrameTime(info.keyFrames[3] + 2);
  bool written = false;
  TExactCopyHost host;
  host.Progress = [&](const TExactCopyProgress&) { written = true; };
  host.StopRequested = [&] { return written; };
  const std::string out = Out("stopped_beside.mp4");
  TExactCopyPlan plan;
  std::string error;
  ASSERT_TRUE(RunExactCopy(FixturePath(FixtureKind::H264Mp4), out, o, host, &plan, &error)) << error;
  const std::vector<TPic> pics = DecodeAll(out);
  ASSERT_EQ(static_cast<int>(pics.size()), plan.HeadPictures);
  for (size_t i = 0; i < pics.size(); i++) EXPECT_EQ(pics[i].number, first + static_cast<int>(i));
  const TCliRun check = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -f null -");
  EXPECT_EQ(check.Code, 0);
  EXPECT_EQ(check.Out + check.Err, "");
}

// As a task of the encoder: the events of any task, pause and resume, and a stop that leaves
// a valid file.
TEST_F(ExactCopyTest, RunsAsAnEncoderTaskWithItsEvents) {
  FFLogger().SetTriggerEventInMainThread(false);
  FFLogger().SetLogLevel(llError);
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  TExactCopyOptions o;
  o.Start = FrameTime(13);
  for (bool stop : {false, true}) {
    o.End = stop ? 0 : FrameTime(37);  // the stopped one runs to the end of the file
    SCOPED_TRACE(stop ? "stopped" : "whole");
    TFFEncoder enc;
    enc.SetProgressInterval(100);
    std::vector<TProgressInfo> reports;
    std::vector<TTerminateInfo> ends;
    bool done = false;
    enc.OnProgress = [&](TFFEncoder*, PProgressInfo p) { reports.push_back(*p); };
    enc.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& t) {
      ends.push_back(t);
      done = t.TaskIndex < 0;
    };
    const int task = enc.AddTask(src);
    ASSERT_GE(task, 0) << enc.LastErrMsg();
    const std::string out = Out(stop ? "stopped_task.mp4" : "task.mp4");
    std::string error;
    ASSERT_EQ(SetExactCopyOutput(enc, task, out, o, &error), 0) << error;
    enc.StartTask(1);
    if (stop) {
      // Held before it could finish, then stopped while paused.
      enc.Pause();
      enc.Pause();  // a second pause changes nothing
      EXPECT_TRUE(enc.Paused());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      enc.Stop(true);
    }
    ASSERT_TRUE(WaitInMainThread([&] { return done; }, 120000));
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].TaskIndex, 0);
    EXPECT_EQ(ends[0].Exception, false) << ends[0].ExceptionMsg;
    EXPECT_EQ(ends[1].TaskIndex, -1);
    const std::vector<TPic> pics = DecodeAll(out);
    // A stop before the first picture leaves a file without pictures, still a whole file.
    const TCliRun check =
        RunShell(pics.empty() ? "ffprobe -v error " + ShellQuote(out)
                              : "ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -f null -");
    EXPECT_EQ(check.Code, 0);
    EXPECT_EQ(check.Out + check.Err, "");
    for (size_t i = 0; i < pics.size(); i++) EXPECT_EQ(pics[i].number, 13 + static_cast<int>(i));
    if (stop) {
      EXPECT_FALSE(ends[0].Finished);
      EXPECT_LT(pics.size(), 62u);
    } else {
      EXPECT_TRUE(ends[0].Finished);
      EXPECT_EQ(pics.size(), 24u);
      ASSERT_FALSE(reports.empty());
      EXPECT_EQ(reports.back().FileIndex, -1);
      EXPECT_EQ(reports.back().FrameNumber, 24);
      EXPECT_EQ(reports.back().TotalDuration, FrameTime(24));
      EXPECT_EQ(reports.back().CurrentDuration, FrameTime(24));
    }
  }
}

TEST_F(ExactCopyTest, ATaskRefusesWhatItCannotDoBeforeItStarts) {
  TFFEncoder enc;
  const int task = enc.AddTask(FixturePath(FixtureKind::Vp8Webm));
  ASSERT_GE(task, 0);
  TExactCopyOptions o;
  o.Start = FrameTime(5);
  std::string error;
  EXPECT_EQ(SetExactCopyOutput(enc, task, Out("x.webm"), o, &error), -1);
  EXPECT_NE(error.find("vp8"), std::string::npos) << error;
  const int onto = enc.AddTask(FixturePath(FixtureKind::H264Mp4));
  EXPECT_EQ(SetExactCopyOutput(enc, onto, FixturePath(FixtureKind::H264Mp4), o, &error), -1);
  EXPECT_FALSE(error.empty());
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
