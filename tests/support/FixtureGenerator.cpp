// Makes the fixture media with the FFmpeg libraries and caches them in one folder.

#include "FixtureHooks.h"
#include "Fixtures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

#ifndef TRIMORA_FIXTURE_DIR
#define TRIMORA_FIXTURE_DIR "/tmp/trimora-fixtures"
#endif

namespace {

// Bump when the pictures or encoder settings change, so stale cached files are not reused.
constexpr const char* kGeneration = "g3";

struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct DictDeleter {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
struct OutputDeleter {
  void operator()(AVFormatContext* oc) const {
    if (oc->pb && !(oc->oformat->flags & AVFMT_NOFILE)) avio_closep(&oc->pb);
    avformat_free_context(oc);
  }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

std::string AvError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

[[noreturn]] void Fail(const std::string& what, int err = 0) {
  throw std::runtime_error("fixture generation: " + what + (err ? ": " + AvError(err) : ""));
}

void Check(int ret, const std::string& what) {
  if (ret < 0) Fail(what, ret);
}

// How a kind is encoded, beyond what FixtureInfo already says.
struct Recipe {
  const char* videoEncoder = nullptr;
  AVPixelFormat pixFmt = AV_PIX_FMT_YUV420P;
  int64_t videoBitRate = 0;
  int qscale = 0;  // fixed quantiser instead of a bit rate
  const char* videoOptions = "";  // "key=value:key=value" private options
  const char* audioEncoder = nullptr;
  int64_t audioBitRate = 0;
  const char* muxerOptions = "";
  int64_t maxDelayUs = -1;  // AVFormatContext.max_delay, -1 keeps the default
  AVRational writeRate{0, 1};  // frame rate written when the file is patched afterwards
  int64_t firstPts90k = 0;     // added to every timestamp written (90 kHz)
  double turnClockwise = 0;    // pictures stored sideways, with a display matrix
  int64_t firstVideoPts = 0;   // encoder time of frame 0, in frames (negative: cut by an edit list)
  double (*toneLevel)(double seconds, int channel) = nullptr;  // else 0.25 throughout
};

struct KindEntry {
  FixtureInfo info;
  Recipe recipe;
};

FixtureInfo VideoInfo(FixtureKind kind, const char* name, const char* muxer, AVCodecID codec,
                      int frames, int w, int h, AVRational fps, int gop, bool bframes);
void AddAudio(FixtureInfo& i, AVCodecID codec, int rate, int channels);
void MakeExactCopyEntry(FixtureKind kind, KindEntry& e);  // FixturesExactCopy.inc
void MakeAv1Entry(FixtureKind kind, KindEntry& e);        // FixturesExactCopy.inc

std::vector<int> EveryNth(int count, int step) {
  std::vector<int> v;
  for (int i = 0; i < count; i += step) v.push_back(i);
  return v;
}

// Closed GOPs of `gop` frames; with B-frames two of them between references, and the last
// frame of a GOP a P-frame (it cannot look ahead to the next GOP).
std::string PictureTypes(int count, int gop, bool bframes) {
  std::string types;
  for (int i = 0; i < count; ++i) {
    const int pos = i % gop;
    const int gopLength = std::min(gop, count - (i - pos));
    if (pos == 0)
      types += 'I';
    else if (!bframes || pos % 3 == 0 || pos == gopLength - 1)
      types += 'P';
    else
      types += 'B';
  }
  return types;
}

FixtureInfo VideoInfo(FixtureKind kind, const char* name, const char* muxer, AVCodecID codec,
                      int frames, int w, int h, AVRational fps, int gop, bool bframes) {
  FixtureInfo i;
  i.kind = kind;
  i.fileName = std::string(kGeneration) + "-" + name;
  i.muxerName = muxer;
  i.hasVideo = true;
  i.videoCodec = codec;
  i.frameCount = frames;
  i.width = w;
  i.height = h;
  i.frameRate = fps;
  i.gopSize = gop;
  i.hasBFrames = bframes;
  i.keyFrames = EveryNth(frames, gop);
  i.pictureTypes = PictureTypes(frames, gop, bframes);
  i.duration = frames * av_q2d(av_inv_q(fps));
  return i;
}

void AddAudio(FixtureInfo& i, AVCodecID codec, int rate, int channels) {
  i.hasAudio = true;
  i.audioCodec = codec;
  i.sampleRate = rate;
  i.channels = channels;
  i.toneHz = 440;
}

FixtureInfo AudioInfo(FixtureKind kind, const char* name, const char* muxer, AVCodecID codec,
                      int rate, int channels, double seconds) {
  FixtureInfo i;
  i.kind = kind;
  i.fileName = std::string(kGeneration) + "-" + name;
  i.muxerName = muxer;
  AddAudio(i, codec, rate, channels);
  i.duration = seconds;
  return i;
}

constexpr int kFrames = 75;  // 3 s at 25 fps
constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr AVRational kFps{25, 1};
constexpr int kGop = 12;
constexpr int kSlowRateTicks = 2147483647;  // 2^31-1 seconds per frame
// x264: fixed frame types (no scene cuts, no adaptive B placement), quiet, one thread.
constexpr const char* kX264Small =
    "preset=veryfast:crf=20:"
    "x264-params=keyint=12\\:min-keyint=12\\:scenecut=0\\:bframes=2\\:b-adapt=0\\:log=-1";

constexpr const char* kX264Gop25 =
    "preset=veryfast:crf=20:"
    "x264-params=keyint=25\\:min-keyint=25\\:scenecut=0\\:bframes=2\\:b-adapt=0\\:log=-1";

void X264WithAac(Recipe& r, const char* x264Options) {
  r.videoEncoder = "libx264";
  r.videoOptions = x264Options;
  r.audioEncoder = "aac";
  r.audioBitRate = 128000;
}

KindEntry MakeEntry(FixtureKind kind) {
  KindEntry e;
  Recipe& r = e.recipe;
  switch (kind) {
    case FixtureKind::H264Mp4:
      e.info = VideoInfo(kind, "h264.mp4", "mp4", AV_CODEC_ID_H264, kFrames, kWidth, kHeight,
                         kFps, kGop, true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      r.videoEncoder = "libx264";
      r.videoOptions = kX264Small;
      r.audioEncoder = "aac";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::H264Mkv:
      e.info = VideoInfo(kind, "h264.mkv", "matroska", AV_CODEC_ID_H264, kFrames, kWidth,
                         kHeight, kFps, kGop, true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      // The muxer moves everything by the AAC priming (1024 samples) to keep times positive.
      e.info.videoStartTime = 0.021;
      r.videoEncoder = "libx264";
      r.videoOptions = kX264Small;
      r.audioEncoder = "aac";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::Mpeg4Avi:
      // No B-frames: AVI keeps no presentation times, so they would shift every picture's
      // time by one frame.
      e.info = VideoInfo(kind, "mpeg4.avi", "avi", AV_CODEC_ID_MPEG4, kFrames, kWidth, kHeight,
                         kFps, kGop, false);
      AddAudio(e.info, AV_CODEC_ID_MP3, 44100, 2);
      r.videoEncoder = "mpeg4";
      r.qscale = 3;
      r.videoOptions = "sc_threshold=1000000000";
      r.audioEncoder = "libmp3lame";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::Mpeg2Ts:
      e.info = VideoInfo(kind, "mpeg2.ts", "mpegts", AV_CODEC_ID_MPEG2VIDEO, kFrames, kWidth,
                         kHeight, kFps, kGop, true);
      AddAudio(e.info, AV_CODEC_ID_MP2, 48000, 2);
      // With the ffmpeg tool's 0.7 s mux delay the stream starts about 1.4 s in; the video
      // one frame later still (B-frame delay).
      e.info.startTime = 1.429978;
      e.info.videoStartTime = 1.44;
      r.videoEncoder = "mpeg2video";
      r.qscale = 3;
      r.videoOptions = "sc_threshold=1000000000";
      r.audioEncoder = "mp2";
      r.audioBitRate = 192000;
      r.maxDelayUs = 700000;
      break;
    case FixtureKind::Vp8Webm:
      e.info = VideoInfo(kind, "vp8.webm", "webm", AV_CODEC_ID_VP8, kFrames, kWidth, kHeight,
                         kFps, kGop, false);
      AddAudio(e.info, AV_CODEC_ID_VORBIS, 48000, 2);
      e.info.videoStartTime = 0.003;
      r.videoEncoder = "libvpx";
      r.videoBitRate = 1000000;
      r.videoOptions = "deadline=realtime:cpu-used=8:lag-in-frames=0:auto-alt-ref=0";
      r.audioEncoder = "libvorbis";
      r.audioBitRate = 96000;
      break;
    case FixtureKind::MjpegAvi:
      e.info = VideoInfo(kind, "mjpeg.avi", "avi", AV_CODEC_ID_MJPEG, kFrames, kWidth, kHeight,
                         kFps, 1, false);
      AddAudio(e.info, AV_CODEC_ID_PCM_S16LE, 44100, 2);
      r.videoEncoder = "mjpeg";
      r.pixFmt = AV_PIX_FMT_YUVJ420P;
      r.qscale = 3;
      r.audioEncoder = "pcm_s16le";
      break;
    case FixtureKind::Mp3:
      e.info = AudioInfo(kind, "audio.mp3", "mp3", AV_CODEC_ID_MP3, 44100, 2, 3.0);
      e.info.startTime = 0.025057;  // encoder delay announced in the LAME header
      r.audioEncoder = "libmp3lame";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::Wav:
      e.info = AudioInfo(kind, "audio.wav", "wav", AV_CODEC_ID_PCM_S16LE, 44100, 2, 3.0);
      e.info.hasStartTime = false;
      r.audioEncoder = "pcm_s16le";
      break;
    case FixtureKind::AacAdts:
      e.info = AudioInfo(kind, "audio.aac", "adts", AV_CODEC_ID_AAC, 44100, 2, 3.0);
      e.info.hasStartTime = false;
      e.info.hasContainerDuration = false;
      r.audioEncoder = "aac";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::StillPng:
      e.info = VideoInfo(kind, "still.png", "image2", AV_CODEC_ID_PNG, 1, kWidth, kHeight, kFps,
                         1, false);
      e.info.duration = 0;
      e.info.hasStartTime = false;
      e.info.hasContainerDuration = false;
      r.videoEncoder = "png";
      r.pixFmt = AV_PIX_FMT_RGB24;
      r.muxerOptions = "update=1";
      break;
    case FixtureKind::RawH264:
      e.info = VideoInfo(kind, "raw.h264", "h264", AV_CODEC_ID_H264, kFrames, kWidth, kHeight,
                         kFps, kGop, true);
      e.info.hasStartTime = false;
      e.info.hasContainerDuration = false;
      r.videoEncoder = "libx264";
      r.videoOptions = kX264Small;
      break;
    case FixtureKind::H264Ts:
      e.info = VideoInfo(kind, "h264.ts", "mpegts", AV_CODEC_ID_H264, kFrames, kWidth, kHeight,
                         kFps, kGop, true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      e.info.generatedByDefault = false;
      r.videoEncoder = "libx264";
      r.videoOptions = kX264Small;
      r.audioEncoder = "aac";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::H264OpenGopMkv:
      e.info = VideoInfo(kind, "h264opengop.mkv", "matroska", AV_CODEC_ID_H264, kFrames, kWidth,
                         kHeight, kFps, kGop, true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      e.info.videoStartTime = 0.021;
      e.info.generatedByDefault = false;
      e.info.pictureTypes.clear();  // the B-frames of the open GOPs lie elsewhere
      r.videoEncoder = "libx264";
      r.videoOptions =
          "preset=veryfast:crf=20:"
          "x264-params=keyint=12\\:min-keyint=12\\:scenecut=0\\:bframes=2\\:b-adapt=0\\:"
          "open-gop=1\\:log=-1";
      r.audioEncoder = "aac";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::H264TenSecondGopMp4:
      e.info = VideoInfo(kind, "h264gop10s.mp4", "mp4", AV_CODEC_ID_H264, 300, kWidth, kHeight, kFps, 250,
                         true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      e.info.generatedByDefault = false;
      r.videoEncoder = "libx264";
      r.videoOptions =
          "preset=veryfast:crf=20:"
          "x264-params=keyint=250\\:min-keyint=250\\:scenecut=0\\:bframes=2\\:b-adapt=0\\:log=-1";
      r.audioEncoder = "aac";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::H264WrapTs:
    case FixtureKind::H264LateAudioTs:
      e.info = VideoInfo(kind, kind == FixtureKind::H264WrapTs ? "h264wrap.ts" : "h264late.ts",
                         "mpegts", AV_CODEC_ID_H264, 250, kWidth, kHeight, kFps, 25, true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      e.info.generatedByDefault = false;
      e.info.startTime = kind == FixtureKind::H264WrapTs ? -5.021333 : 1.4;
      e.info.videoStartTime = kind == FixtureKind::H264WrapTs ? -5.0 : 1.48;
      X264WithAac(r, kX264Gop25);
      r.firstPts90k = kWrapFirstPts90k;
      break;
    case FixtureKind::H264RotatedMp4:
      e.info = VideoInfo(kind, "h264rotated.mp4", "mp4", AV_CODEC_ID_H264, kFrames, kWidth,
                         kHeight, kFps, kGop, true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      e.info.generatedByDefault = false;
      X264WithAac(r, kX264Small);
      r.turnClockwise = 90;
      break;
    case FixtureKind::H264EditListMp4:
      e.info = VideoInfo(kind, "h264editlist.mp4", "mp4", AV_CODEC_ID_H264, kFrames, kWidth,
                         kHeight, kFps, kGop, true);
      e.info.generatedByDefault = false;
      e.info.videoStartTime = -0.08;
      r.videoEncoder = "libx264";
      r.videoOptions = kX264Small;
      r.firstVideoPts = -2;
      break;
    case FixtureKind::SlowRateMp4:
      // Written at 25 fps without an edit list, then patched (PatchToSlowRate).
      e.info = VideoInfo(kind, "slowrate.mp4", "mp4", AV_CODEC_ID_MPEG4, 36, 160, 120, kFps, kGop,
                         false);
      e.info.frameRate = AVRational{1, kSlowRateTicks};
      e.info.duration = 36.0 * kSlowRateTicks;
      e.info.generatedByDefault = false;
      r.videoEncoder = "mpeg4";
      r.qscale = 3;
      r.videoOptions = "sc_threshold=1000000000";
      r.muxerOptions = "use_editlist=0";
      r.writeRate = kFps;
      break;
    case FixtureKind::LongGopH264:
      e.info = VideoInfo(kind, "longgop1080.mp4", "mp4", AV_CODEC_ID_H264, 300, 1920, 1080,
                         AVRational{30, 1}, 250, true);
      AddAudio(e.info, AV_CODEC_ID_AAC, 48000, 2);
      e.info.generatedByDefault = false;
      r.videoEncoder = "libx264";
      r.videoOptions =
          "preset=veryfast:crf=23:"
          "x264-params=keyint=250\\:min-keyint=250\\:scenecut=0\\:bframes=2\\:b-adapt=0\\:log=-1";
      r.audioEncoder = "aac";
      r.audioBitRate = 128000;
      break;
    case FixtureKind::ToneStepsMkv:
      e.info = VideoInfo(kind, "tonesteps.mkv", "matroska", AV_CODEC_ID_MPEG4, 300, 160, 120,
                         AVRational{10, 1}, 1, false);
      AddAudio(e.info, AV_CODEC_ID_PCM_S16LE, 8000, 2);
      e.info.toneHz = 1000;
      e.info.generatedByDefault = false;
      r.videoEncoder = "mpeg4";
      r.qscale = 10;
      r.audioEncoder = "pcm_s16le";
      r.toneLevel = &ToneStepLevel;
      break;
    case FixtureKind::HevcMp4:
    case FixtureKind::Hevc10Ts:
    case FixtureKind::Vp9Webm:
    case FixtureKind::LongGopHevcMp4:
    case FixtureKind::LongGopH264Mp4:
      MakeExactCopyEntry(kind, e);
      break;
    case FixtureKind::Av1Mp4:
    case FixtureKind::Av1Hdr10Mkv:
      MakeAv1Entry(kind, e);
      break;
  }
  return e;
}

#include "FixturesExactCopy.inc"

// ---------------------------------------------------------------------------------------------
// Encoding

struct OutStream {
  AVStream* stream = nullptr;
  CodecContextPtr enc;
  int64_t shift = 0;  // added to the timestamps written (stream time base)
};

AVDictionary* ParseOptions(const char* text) {
  AVDictionary* d = nullptr;
  if (text && *text) Check(av_dict_parse_string(&d, text, "=", ":", 0), "options");
  return d;
}

void WritePackets(AVFormatContext* oc, OutStream& os, AVPacket* pkt) {
  for (;;) {
    const int ret = avcodec_receive_packet(os.enc.get(), pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    Check(ret, "encode");
    av_packet_rescale_ts(pkt, os.enc->time_base, os.stream->time_base);
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += os.shift;
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += os.shift;
    pkt->stream_index = os.stream->index;
    Check(av_interleaved_write_frame(oc, pkt), "write packet");
  }
}

void Encode(AVFormatContext* oc, OutStream& os, AVFrame* frame, AVPacket* pkt) {
  Check(avcodec_send_frame(os.enc.get(), frame), "send frame");
  WritePackets(oc, os, pkt);
}

OutStream OpenVideo(AVFormatContext* oc, const FixtureInfo& info, const Recipe& r) {
  const AVCodec* codec = avcodec_find_encoder_by_name(r.videoEncoder);
  if (!codec) Fail(std::string("encoder not found: ") + r.videoEncoder);
  OutStream os;
  os.enc.reset(avcodec_alloc_context3(codec));
  if (!os.enc) Fail("out of memory");
  AVCodecContext* c = os.enc.get();
  c->width = info.width;
  c->height = info.height;
  c->pix_fmt = r.pixFmt;
  const AVRational rate = r.writeRate.num ? r.writeRate : info.frameRate;
  c->time_base = av_inv_q(rate);
  c->framerate = rate;
  c->sample_aspect_ratio = AVRational{1, 1};
  // Key frames come only where the frames ask for one (pict_type I): the MPEG encoders count
  // their own GOPs differently once B-frames and closed GOPs are involved.
  c->gop_size = std::max(info.gopSize, 600);
  c->keyint_min = info.gopSize;
  c->max_b_frames = info.hasBFrames ? 2 : 0;
  c->thread_count = 1;  // fixed frame types and identical files on every run
  if (r.videoBitRate) c->bit_rate = r.videoBitRate;
  if (r.qscale) {
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * r.qscale;
  }
  if (r.pixFmt == AV_PIX_FMT_YUVJ420P) c->color_range = AVCOL_RANGE_JPEG;
  // Closed GOPs: decoding from any key frame gives that frame first and every later one.
  if (info.hasBFrames) c->flags |= AV_CODEC_FLAG_CLOSED_GOP;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  std::unique_ptr<AVDictionary, DictDeleter> opts(ParseOptions(r.videoOptions));
  AVDictionary* raw = opts.release();
  const int ret = avcodec_open2(c, codec, &raw);
  opts.reset(raw);
  Check(ret, std::string("open ") + r.videoEncoder);
  os.stream = avformat_new_stream(oc, nullptr);
  if (!os.stream) Fail("new stream");
  os.stream->time_base = c->time_base;
  os.stream->avg_frame_rate = rate;
  Check(avcodec_parameters_from_context(os.stream->codecpar, c), "video parameters");
  return os;
}

AVSampleFormat PickSampleFormat(const AVCodec* codec) {
  if (!codec->sample_fmts) return AV_SAMPLE_FMT_S16;
  for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
    if (*f == AV_SAMPLE_FMT_FLTP) return *f;
  return codec->sample_fmts[0];
}

OutStream OpenAudio(AVFormatContext* oc, const FixtureInfo& info, const Recipe& r) {
  const AVCodec* codec = avcodec_find_encoder_by_name(r.audioEncoder);
  if (!codec) Fail(std::string("encoder not found: ") + r.audioEncoder);
  OutStream os;
  os.enc.reset(avcodec_alloc_context3(codec));
  if (!os.enc) Fail("out of memory");
  AVCodecContext* c = os.enc.get();
  c->sample_fmt = PickSampleFormat(codec);
  c->sample_rate = info.sampleRate;
  av_channel_layout_default(&c->ch_layout, info.channels);
  c->time_base = AVRational{1, info.sampleRate};
  c->thread_count = 1;
  if (r.audioBitRate) c->bit_rate = r.audioBitRate;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(avcodec_open2(c, codec, nullptr), std::string("open ") + r.audioEncoder);
  os.stream = avformat_new_stream(oc, nullptr);
  if (!os.stream) Fail("new stream");
  os.stream->time_base = c->time_base;
  Check(avcodec_parameters_from_context(os.stream->codecpar, c), "audio parameters");
  return os;
}

// Fills `count` samples of the tone, starting at sample `first`.
void FillTone(AVFrame* f, int64_t first, int count, double hz, int rate,
              double (*level)(double seconds, int channel)) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const int channels = f->ch_layout.nb_channels;
  const bool planar = av_sample_fmt_is_planar(fmt);
  for (int i = 0; i < count; ++i) {
    const double wave = std::sin(2 * M_PI * hz * static_cast<double>(first + i) / rate);
    const double t = static_cast<double>(first + i) / rate;
    for (int ch = 0; ch < channels; ++ch) {
      const double v = (level ? level(t, ch) : 0.25) * wave;
      const int plane = planar ? ch : 0;
      const int index = planar ? i : i * channels + ch;
      switch (fmt) {
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
          reinterpret_cast<int16_t*>(f->data[plane])[index] = static_cast<int16_t>(v * 32767);
          break;
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
          reinterpret_cast<int32_t*>(f->data[plane])[index] =
              static_cast<int32_t>(v * 2147483647.0);
          break;
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
          reinterpret_cast<float*>(f->data[plane])[index] = static_cast<float>(v);
          break;
        default:
          Fail("unexpected sample format");
      }
    }
  }
}

void Generate(const KindEntry& e, const std::string& path) {
  const FixtureInfo& info = e.info;
  const Recipe& r = e.recipe;
  AVFormatContext* raw = nullptr;
  Check(avformat_alloc_output_context2(&raw, nullptr, info.muxerName.c_str(), path.c_str()),
        "output " + info.muxerName);
  OutputPtr oc(raw);
  if (r.maxDelayUs >= 0) oc->max_delay = static_cast<int>(r.maxDelayUs);

  OutStream video, audio;
  if (info.hasVideo) video = OpenVideo(oc.get(), info, r);
  if (r.turnClockwise) SetDisplayTurn(video.stream, r.turnClockwise);
  if (info.hasAudio) audio = OpenAudio(oc.get(), info, r);

  if (!(oc->oformat->flags & AVFMT_NOFILE))
    Check(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), "open " + path);
  {
    std::unique_ptr<AVDictionary, DictDeleter> opts(ParseOptions(r.muxerOptions));
    AVDictionary* d = opts.release();
    const int ret = avformat_write_header(oc.get(), &d);
    opts.reset(d);
    Check(ret, "write header");
  }
  for (OutStream* os : {&video, &audio})
    if (os->stream) os->shift = av_rescale_q(r.firstPts90k, AVRational{1, 90000}, os->stream->time_base);

  PacketPtr pkt(av_packet_alloc());
  FramePtr vframe(av_frame_alloc()), aframe(av_frame_alloc());
  if (!pkt || !vframe || !aframe) Fail("out of memory");

  if (info.hasVideo) {
    vframe->format = video.enc->pix_fmt;
    vframe->width = info.width;
    vframe->height = info.height;
    Check(av_frame_get_buffer(vframe.get(), 0), "video frame");
  }
  int audioFrameSize = 0;
  int64_t totalSamples = 0;
  if (info.hasAudio) {
    AVCodecContext* c = audio.enc.get();
    audioFrameSize = (c->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || !c->frame_size
                         ? 1024
                         : c->frame_size;
    aframe->format = c->sample_fmt;
    aframe->sample_rate = c->sample_rate;
    Check(av_channel_layout_copy(&aframe->ch_layout, &c->ch_layout), "layout");
    aframe->nb_samples = audioFrameSize;
    Check(av_frame_get_buffer(aframe.get(), 0), "audio frame");
    totalSamples = std::llround(info.duration * info.sampleRate);
  }

  // AVI has no way to say that audio starts before the video: the muxer would move the video
  // back by the encoder delay, which leaves a hole after the first picture. Start the audio
  // packets at zero instead, the way AVI writers always have.
  const int64_t audioShift =
      info.hasAudio && info.muxerName == "avi" ? audio.enc->initial_padding : 0;
  int frameNo = 0;
  int64_t samplesDone = 0;
  while ((info.hasVideo && frameNo < info.frameCount) ||
         (info.hasAudio && samplesDone < totalSamples)) {
    // Whichever stream is behind gets its next frame, so the muxer sees them interleaved.
    const bool doVideo =
        info.hasVideo && frameNo < info.frameCount &&
        (!info.hasAudio || samplesDone >= totalSamples ||
         av_compare_ts(frameNo, video.enc->time_base, samplesDone, audio.enc->time_base) <= 0);
    if (doVideo) {
      Check(av_frame_make_writable(vframe.get()), "writable frame");
      const bool drawn = r.turnClockwise ? DrawSidewaysFrameNumber(vframe.get(), frameNo)
                                         : DrawFixturePicture(vframe.get(), frameNo);
      if (!drawn) Fail("cannot draw the picture");
      vframe->pts = frameNo + r.firstVideoPts;
      // Key frames where FixtureInfo says, whatever the encoder would choose itself.
      const bool key = IsFixtureKeyFrame(info, frameNo);
      vframe->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
      vframe->key_frame = key;
      vframe->quality = video.enc->global_quality;
      Encode(oc.get(), video, vframe.get(), pkt.get());
      ++frameNo;
    } else {
      Check(av_frame_make_writable(aframe.get()), "writable frame");
      const int n = static_cast<int>(std::min<int64_t>(audioFrameSize, totalSamples - samplesDone));
      aframe->nb_samples = n;
      FillTone(aframe.get(), samplesDone, n, info.toneHz, info.sampleRate, r.toneLevel);
      aframe->pts = samplesDone + audioShift;
      Encode(oc.get(), audio, aframe.get(), pkt.get());
      samplesDone += n;
    }
  }
  if (info.hasVideo) Encode(oc.get(), video, nullptr, pkt.get());
  if (info.hasAudio) Encode(oc.get(), audio, nullptr, pkt.get());
  Check(av_write_trailer(oc.get()), "write trailer");
}

std::mutex& GenerateMutex() {
  static std::mutex m;
  return m;
}

bool UsableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

class LockFile {
 public:
  explicit LockFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) Fail("cannot create lock file " + path);
    while (::flock(fd_, LOCK_EX) != 0)
      if (errno != EINTR) Fail("cannot lock " + path);
  }
  ~LockFile() { ::close(fd_); }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

// MP4 boxes: 32-bit big-endian size, then the type. Containers of the video track's tables
// are walked down to mdhd (time scale) and stts (sample durations).
uint32_t GetU32(const std::string& b, size_t at) {
  return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
         (uint32_t(uint8_t(b[at + 2])) << 8) | uint8_t(b[at + 3]);
}

void PutU32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

int PatchBoxes(std::string& b, size_t from, size_t to) {
  int patched = 0;
  while (from + 8 <= to) {
    const uint32_t size = GetU32(b, from);
    if (size < 8 || from + size > to) break;
    const std::string type = b.substr(from + 4, 4);
    const size_t body = from + 8;
    if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
      patched += PatchBoxes(b, body, from + size);
    } else if (type == "mdhd" && b[body] == 0) {
      PutU32(b, body + 12, 1);  // version 0: flags, created, modified, then the time scale
      ++patched;
    } else if (type == "stts") {
      const uint32_t entries = GetU32(b, body + 4);
      for (uint32_t i = 0; i < entries && body + 16 + 8 * i <= from + size; ++i)
        PutU32(b, body + 12 + 8 * i, static_cast<uint32_t>(kSlowRateTicks));
      ++patched;
    }
    from += size;
  }
  return patched;
}

void PatchToSlowRate(const std::string& path) {
  std::string bytes;
  {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) Fail("cannot read " + path);
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
  }
  if (PatchBoxes(bytes, 0, bytes.size()) != 2) Fail("unexpected box layout in " + path);
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) Fail("cannot write " + path);
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (fclose(f) != 0 || !ok) Fail("cannot write " + path);
}

std::vector<FixtureKind> AllFixtureKinds(bool includeBenchmarkClips) {
  std::vector<FixtureKind> kinds = {
      FixtureKind::H264Mp4, FixtureKind::H264Mkv, FixtureKind::Mpeg4Avi, FixtureKind::Mpeg2Ts,
      FixtureKind::Vp8Webm, FixtureKind::MjpegAvi, FixtureKind::Mp3,    FixtureKind::Wav,
      FixtureKind::AacAdts, FixtureKind::StillPng, FixtureKind::RawH264};
  if (includeBenchmarkClips) kinds.push_back(FixtureKind::LongGopH264);
  return kinds;
}

const char* FixtureKindName(FixtureKind kind) {
  switch (kind) {
    case FixtureKind::H264Mp4: return "H264Mp4";
    case FixtureKind::H264Mkv: return "H264Mkv";
    case FixtureKind::Mpeg4Avi: return "Mpeg4Avi";
    case FixtureKind::Mpeg2Ts: return "Mpeg2Ts";
    case FixtureKind::Vp8Webm: return "Vp8Webm";
    case FixtureKind::MjpegAvi: return "MjpegAvi";
    case FixtureKind::Mp3: return "Mp3";
    case FixtureKind::Wav: return "Wav";
    case FixtureKind::AacAdts: return "AacAdts";
    case FixtureKind::StillPng: return "StillPng";
    case FixtureKind::SlowRateMp4: return "SlowRateMp4";
    case FixtureKind::H264Ts: return "H264Ts";
    case FixtureKind::H264OpenGopMkv: return "H264OpenGopMkv";
    case FixtureKind::H264TenSecondGopMp4: return "H264TenSecondGopMp4";
    case FixtureKind::RawH264: return "RawH264";
    case FixtureKind::LongGopH264: return "LongGopH264";
    case FixtureKind::HevcMp4: return "HevcMp4";
    case FixtureKind::Hevc10Ts: return "Hevc10Ts";
    case FixtureKind::Vp9Webm: return "Vp9Webm";
    case FixtureKind::LongGopHevcMp4: return "LongGopHevcMp4";
    case FixtureKind::LongGopH264Mp4: return "LongGopH264Mp4";
    case FixtureKind::H264WrapTs: return "H264WrapTs";
    case FixtureKind::H264LateAudioTs: return "H264LateAudioTs";
    case FixtureKind::H264RotatedMp4: return "H264RotatedMp4";
    case FixtureKind::H264EditListMp4: return "H264EditListMp4";
    case FixtureKind::Av1Mp4: return "Av1Mp4";
    case FixtureKind::Av1Hdr10Mkv: return "Av1Hdr10Mkv";
    case FixtureKind::ToneStepsMkv: return "ToneStepsMkv";
  }
  return "?";
}

std::string FixtureDir() {
  const char* env = std::getenv("TRIMORA_FIXTURE_DIR");
  return env && *env ? env : TRIMORA_FIXTURE_DIR;
}

FixtureInfo GetFixtureInfo(FixtureKind kind) { return MakeEntry(kind).info; }

bool IsFixtureKeyFrame(const FixtureInfo& info, int frameNumber) {
  return frameNumber >= 0 && frameNumber < info.frameCount && info.gopSize > 0 &&
         frameNumber % info.gopSize == 0;
}

double FixtureFrameTime(const FixtureInfo& info, int frameNumber) {
  return info.videoStartTime + frameNumber * av_q2d(av_inv_q(info.frameRate));
}

std::string FixturePath(FixtureKind kind) {
  const KindEntry entry = MakeEntry(kind);
  const std::string dir = FixtureDir();
  const std::string path = dir + "/" + entry.info.fileName;
  const std::string lateSource =
      kind == FixtureKind::H264LateAudioTs ? FixturePath(FixtureKind::H264WrapTs) : "";
  std::lock_guard<std::mutex> guard(GenerateMutex());
  if (UsableFile(path)) return path;

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) Fail("cannot create folder " + dir + ": " + ec.message());
  // One process generates while the others wait on the lock, then find the file.
  LockFile lock(dir + "/." + entry.info.fileName + ".lock");
  if (UsableFile(path)) return path;

  static std::atomic<int> counter{0};
  const std::string tmp = dir + "/." + entry.info.fileName + ".tmp" + std::to_string(::getpid()) +
                          "-" + std::to_string(counter++);
  try {
    if (kind == FixtureKind::H264LateAudioTs)
      WriteLateAudioTs(lateSource, tmp, 7.0);
    else
      Generate(entry, tmp);
    if (kind == FixtureKind::SlowRateMp4) PatchToSlowRate(tmp);
  } catch (...) {
    std::remove(tmp.c_str());
    throw;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    Fail("cannot rename into " + path);
  }
  return path;
}
