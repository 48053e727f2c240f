// The reading thread: opens the file, chooses and opens the streams (starting their decoding
// threads), and fills the packet queues within their limits; it also carries out seeks and pause
// changes of the input. The video and subtitle threads and the audio callback take the packets
// from the queues.
#include <SDL.h>

#include <cmath>
#include <cstring>

#include "player/PlayCore.h"
#include "runtime/MediaTexts.h"
#include "runtime/FFOptions.h"
#include "runtime/FFUtils.h"

extern "C" {
#include <libavutil/time.h>
}

namespace playcore {

namespace {

std::string ErrText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

bool IsRealTime(const AVFormatContext* s) {
  const char* n = s->iformat ? s->iformat->name : "";
  if (!std::strcmp(n, "rtp") || !std::strcmp(n, "rtsp") || !std::strcmp(n, "sdp")) return true;
  return s->url && (!std::strncmp(s->url, "rtp:", 4) || !std::strncmp(s->url, "udp:", 4));
}

}  // namespace

int TPlayCore::InterruptCallback(void* opaque) {
  auto* core = static_cast<TPlayCore*>(opaque);
  if (core->FHost.OpenAborted()) {
    core->FHost.CoreLog(llInfo, "connecting/reading broken");
    return 1;
  }
  if (core->FAbort.load()) return 1;
  const int64_t stamp = core->FHost.IOStamp();
  const int timeout = core->FHost.ReadTimeoutMs();
  if (stamp == INT64_MAX || timeout <= 0) return 0;
  if (av_gettime_relative() - stamp <= static_cast<int64_t>(timeout) * 1000) return 0;
  core->FHost.CoreLog(llInfo, stamp == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
  return 1;
}

bool TPlayCore::QueuesFull() const {
  if (FSettings.InfiniteBuffer) return false;
  if (FAudioQ.Bytes() + FVideoQ.Bytes() + FSubQ.Bytes() > QueueLimitBytes) return true;
  auto enough = [this](int stream, const TPacketQueue& q) {
    return stream < 0 || q.Aborted() ||
           (FInput->streams[stream]->disposition & AV_DISPOSITION_ATTACHED_PIC) || q.Packets() > MinPackets;
  };
  return enough(FAudioStream, FAudioQ) && enough(FVideoStream, FVideoQ) && enough(FSubStream, FSubQ);
}

void TPlayCore::ReadThread() {
  struct TStampAtEnd {
    IPlayHost& Host;
    ~TStampAtEnd() { Host.SetIOStamp(INT64_MAX); }
  } stampAtEnd{FHost};

  if (!OpenInput()) return;
  NoteInputKind();
  SeekToStartTime();
  if (!OpenChosenStreams()) return;
  SetVerdict(1);
  ReadPackets();
}

bool TPlayCore::FailOpen(const std::string& msg) {
  FHost.CoreError(msg);
  SetVerdict(-1);
  return false;
}

bool TPlayCore::OpenInput() {
  AVFormatContext* ctx = avformat_alloc_context();
  if (!ctx) return FailOpen("av_mallocz() failed.");
  ctx->interrupt_callback.callback = InterruptCallback;
  ctx->interrupt_callback.opaque = this;
  const AVInputFormat* fmt = nullptr;
  if (!FSettings.InputFormat.empty()) fmt = av_find_input_format(FSettings.InputFormat.c_str());
  TAVDictionary opts;
  opts.CopyFrom(FSettings.FormatOpts);
  FHost.SetIOStamp(av_gettime_relative());
  int r = avformat_open_input(&ctx, FFileName.c_str(), fmt, opts.Ref());
  if (r < 0) return FailOpen(FFileName + ": " + ErrText(r));  // ctx is freed on failure
  FInput.reset(ctx);
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(opts.Get(), "", e, AV_DICT_IGNORE_SUFFIX)))
    FHost.CoreLog(llError, FormatText("Option %s not found, ignored.", e->key));

  FHost.BeforeFindStreamInfo(ctx);
  {
    std::vector<TAVDictionary> streamOpts = StreamCodecOptions(ctx, FSettings.CodecOpts);
    std::vector<AVDictionary*> raw;
    for (auto& d : streamOpts) raw.push_back(d.Get());
    FHost.SetIOStamp(av_gettime_relative());
    r = avformat_find_stream_info(ctx, raw.empty() ? nullptr : raw.data());
    // find_stream_info may have replaced the dictionaries it was given.
    for (size_t i = 0; i < raw.size(); ++i) streamOpts[i].Release(), streamOpts[i] = TAVDictionary(raw[i]);
  }
  if (r < 0) return FailOpen(FormatText("%s: could not find codec parameters", FFileName.c_str()));
  if (ctx->pb) ctx->pb->eof_reached = 0;
  return true;
}

void TPlayCore::NoteInputKind() {
  const AVFormatContext* ctx = FInput.get();
  const char* formatName = ctx->iformat ? ctx->iformat->name : "";
  FImageInput = !std::strcmp(formatName, "image2") || std::strstr(formatName, "_pipe") != nullptr;
  FRealTime = IsRealTime(ctx);
  FMaxFrameDuration = (ctx->iformat->flags & AVFMT_TS_DISCONT) ? 10.0 : 3600.0;
  FStartTime = ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0;
  FDuration = ctx->duration != AV_NOPTS_VALUE ? ctx->duration : -1;
  // A single picture has no length to play through.
  if (FImageInput) FDuration = 0;
}

void TPlayCore::SeekToStartTime() {
  if (FSettings.StartTime == AV_NOPTS_VALUE) return;
  AVFormatContext* ctx = FInput.get();
  int64_t ts = FSettings.StartTime + (ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0);
  FHost.SetIOStamp(av_gettime_relative());
  if (avformat_seek_file(ctx, -1, INT64_MIN, ts, INT64_MAX, 0) < 0)
    FHost.CoreLog(llWarning, FormatText("%s: could not seek to position %0.3f", FFileName.c_str(),
                                    static_cast<double>(ts) / AV_TIME_BASE));
}

bool TPlayCore::OpenChosenStreams() {
  AVFormatContext* ctx = FInput.get();
  for (unsigned i = 0; i < ctx->nb_streams; ++i) ctx->streams[i]->discard = AVDISCARD_ALL;
  int video = -1, audio = -1, sub = -1;
  if (!FSettings.DisableVideo) video = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (!FSettings.DisableAudio) audio = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0);
  if (!FSettings.DisableVideo && !FSettings.DisableSubtitle)
    sub = av_find_best_stream(ctx, AVMEDIA_TYPE_SUBTITLE, -1, audio >= 0 ? audio : video, nullptr, 0);
  if (audio >= 0) OpenStream(audio);
  if (video >= 0) OpenStream(video);
  if (sub >= 0) OpenStream(sub);
  if (FVideoStream < 0 && FAudioStream < 0)
    return FailOpen(FormatText("%s: could not open codecs, no stream to play.", FFileName.c_str()));
  return true;
}

void TPlayCore::ReadPackets() {
  AVFormatContext* ctx = FInput.get();
  const char* formatName = ctx->iformat ? ctx->iformat->name : "";
  // Network inputs that are paused at the source are not read from meanwhile.
  const bool pausedAtSource = !std::strcmp(formatName, "rtsp") || (ctx->url && !std::strncmp(ctx->url, "mmsh:", 5));
  TPacketPtr pkt(av_packet_alloc());
  bool attachedQueued = false;
  bool drainQueued = false;
  while (!FAbort.load()) {
    ApplyPauseChange();
    if (FPaused.load() && pausedAtSource) {
      SDL_Delay(ReadWaitMs);
      continue;
    }
    if (FSeekReq.load()) {
      ExecuteSeek();
      attachedQueued = false;
      drainQueued = false;
    }
    if (!attachedQueued) attachedQueued = QueueAttachedPicture();
    if (QueuesFull()) {
      WaitToRead();
      continue;
    }
    if (FEof.load()) {
      if (!drainQueued) {
        QueueDrainPackets();
        drainQueued = true;
      }
      if (FAudioQ.Packets() == 0 && FVideoQ.Packets() == 0 && FSubQ.Packets() == 0) FPlayedToEnd = true;
      WaitToRead();
      continue;
    }
    ReadPacket(pkt.get());
  }
}

void TPlayCore::ApplyPauseChange() {
  if (FPaused.load() == FLastPaused.load()) return;
  FLastPaused = FPaused.load();
  if (FLastPaused.load()) av_read_pause(FInput.get());
  else av_read_play(FInput.get());
}

void TPlayCore::ExecuteSeek() {
  int64_t target, rel;
  int flags;
  {
    std::lock_guard<std::mutex> g(FSeekLock);
    target = FSeekPos;
    rel = FSeekRel;
    flags = FSeekFlags;
  }
  const int64_t minTs = rel > 0 ? target - rel + 2 : INT64_MIN;
  const int64_t maxTs = rel < 0 ? target - rel - 2 : INT64_MAX;
  // Landing on any packet would show broken pictures until the next key frame; the
  // pictures before the target are skipped by the decoders instead.
  const int demuxFlags = flags & ~AVSEEK_FLAG_ANY;
  FHost.SetIOStamp(av_gettime_relative());
  if (avformat_seek_file(FInput.get(), -1, minTs, target, maxTs, demuxFlags) < 0) {
    FHost.CoreLog(llError, FormatText("%s: error while seeking", FFileName.c_str()));
  } else {
    const bool bytes = flags & AVSEEK_FLAG_BYTE;
    FSkipBefore = bytes ? NAN : static_cast<double>(target) / AV_TIME_BASE;
    FSkipAudio = FSkipBefore.load();
    for (TPacketQueue* q : {&FAudioQ, &FSubQ, &FVideoQ}) {
      q->Flush();
      q->Put(TPacketQueue::FlushPacket());
    }
    FExtClk.Set(bytes ? NAN : static_cast<double>(target) / AV_TIME_BASE, 0);
    FHoldAudioUntil = Now() + 1.0;
    FHoldAudio = true;
  }
  FEof = false;
  FEofReported = false;
  FPlayedToEnd = false;
  FEndReported = false;
  FForceRefresh = true;
  FSeekReq = false;
  FSeekDone = true;
  FHost.SeekDone();
}

bool TPlayCore::QueueAttachedPicture() {
  if (FVideoStream < 0 || !(FInput->streams[FVideoStream]->disposition & AV_DISPOSITION_ATTACHED_PIC))
    return false;
  TPacketPtr copy(av_packet_clone(&FInput->streams[FVideoStream]->attached_pic));
  if (copy) FVideoQ.Put(copy.get());
  FVideoQ.PutNull(FVideoStream);
  return true;
}

void TPlayCore::QueueDrainPackets() {
  // Empty packets make the decoders give what they still hold.
  if (FVideoStream >= 0) FVideoQ.PutNull(FVideoStream);
  if (FAudioStream >= 0 && (FAudioCtx->codec->capabilities & AV_CODEC_CAP_DELAY))
    FAudioQ.PutNull(FAudioStream);
}

void TPlayCore::WaitToRead() {
  std::unique_lock<std::mutex> g(FWaitLock);
  FContinueRead.wait_for(g, std::chrono::milliseconds(ReadWaitMs));
}

void TPlayCore::ReadPacket(AVPacket* pkt) {
  AVFormatContext* ctx = FInput.get();
  FHost.SetIOStamp(av_gettime_relative());
  const int r = av_read_frame(ctx, pkt);
  if (r < 0) {
    if (r == AVERROR(EAGAIN)) {
      SDL_Delay(ReadWaitMs);
      return;
    }
    if (r == AVERROR_EOF || r == AVERROR(EPIPE) || (ctx->pb && avio_feof(ctx->pb))) {
      if (!FEofReported && !FImageInput) FHost.CoreLog(llInfo, FormatText("reach end of file: %s", FFileName.c_str()));
    } else if (!FReadErrorReported) {
      FReadErrorReported = true;
      FHost.CoreLog(llError, FormatText("error #%d while reading file: %s", r, FFileName.c_str()));
    }
    // A read that fails for good ends the input like its end would.
    FEofReported = true;
    FEof = true;
    return;
  }
  if (pkt->stream_index == FAudioStream) {
    FAudioQ.Put(pkt);
  } else if (pkt->stream_index == FVideoStream &&
             !(FInput->streams[FVideoStream]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
    FVideoQ.Put(pkt);
  } else if (pkt->stream_index == FSubStream) {
    FSubQ.Put(pkt);
  }
  av_packet_unref(pkt);
}

int TPlayCore::OpenStream(int index) {
  AVStream* st = FInput->streams[index];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) {
    FHost.CoreError(FormatText("No codec could be found with id %d", static_cast<int>(st->codecpar->codec_id)));
    return -1;
  }
  TCodecPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return AVERROR(ENOMEM);
  int r = avcodec_parameters_to_context(ctx.get(), st->codecpar);
  if (r < 0) return r;
  ctx->pkt_timebase = st->time_base;
  TAVDictionary opts = FilterStreamCodecOptions(FSettings.CodecOpts, st->codecpar->codec_id, FInput.get(), st, codec);
  if (!av_dict_get(opts.Get(), "threads", nullptr, 0)) av_dict_set(opts.Ref(), "threads", "auto", 0);
  r = avcodec_open2(ctx.get(), codec, opts.Ref());
  if (r < 0) {
    FHost.CoreError("avcodec_open2() failed.");
    return r;
  }
  if (const AVDictionaryEntry* e = av_dict_get(opts.Get(), "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
    FHost.CoreError(FormatText("Option %s not found.", e->key));
    return AVERROR_OPTION_NOT_FOUND;
  }
  st->discard = AVDISCARD_DEFAULT;
  switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      return StartAudio(std::move(ctx), index);
    case AVMEDIA_TYPE_VIDEO:
      StartVideo(std::move(ctx), index);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      FSubCtx = std::move(ctx);
      FSubStream = index;
      FSubQ.Start();
      FSubThread = std::thread([this] { SubtitleThread(); });
      break;
    default:
      break;
  }
  return 0;
}

int TPlayCore::StartAudio(TCodecPtr ctx, int index) {
  AVChannelLayout layout{};
  av_channel_layout_copy(&layout, &ctx->ch_layout);
  int r = OpenAudio(&layout, ctx->sample_rate);
  av_channel_layout_uninit(&layout);
  if (r < 0) return r;
  FAudioHwBufSize = r;
  FAudioSrc = FAudioTgt;
  av_channel_layout_copy(&FAudioSrc.Layout, &FAudioTgt.Layout);
  FAudioBuf.clear();
  FAudioBufIndex = 0;
  FAudioDiffAvgCoef = std::exp(std::log(0.01) / AudioDiffAvgCount);
  FAudioDiffAvgCount = 0;
  FAudioDiffThreshold = static_cast<double>(FAudioHwBufSize) / FAudioTgt.BytesPerSec;
  FAudioPkt.reset(av_packet_alloc());
  FAudioFrame.reset(av_frame_alloc());
  FAudioCtx = std::move(ctx);
  FAudioStream = index;
  FAudioQ.Start();
  FAudioReady.store(true, std::memory_order_release);
  SDL_PauseAudioDevice(FAudioDev, 0);
  return 0;
}

void TPlayCore::StartVideo(TCodecPtr ctx, int index) {
  AVStream* st = FInput->streams[index];
  const AVRational codecRate = ctx->framerate;
  const AVRational guessed = av_guess_frame_rate(FInput.get(), st, nullptr);
  AVRational rate = st->avg_frame_rate.num ? st->avg_frame_rate : guessed;
  if (codecRate.num > 0 && codecRate.den > 0 && rate.num > 0 && av_cmp_q(codecRate, rate) != 0) {
    FHost.CoreLog(llInfo, FormatText("Seems stream %d codec frame rate differs from container frame rate: "
                                 "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                                 index, av_q2d(codecRate), codecRate.num, codecRate.den, av_q2d(rate),
                                 rate.num, rate.den));
  } else if (codecRate.num > 0 && codecRate.den > 0) {
    rate = codecRate;
  }
  FFrameDuration = (rate.num > 0 && rate.den > 0) ? av_q2d(av_inv_q(rate)) : 0.04;
  FVideoCtx = std::move(ctx);
  FVideoStream = index;
  FVideoQ.Start();
  FVideoThread = std::thread([this] { VideoThread(); });
}

}  // namespace playcore
