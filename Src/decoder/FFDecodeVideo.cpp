// Decoder component: decoding, seeking and exact stepping through the pictures of one video
// stream.
//
// Stepping backwards needs a decode from an earlier key frame. To keep that rare, decoded
// pictures next to the current one are kept (FBack / FAhead, bounded by FCacheBytes), and what
// is learnt about key-frame positions while decoding is remembered (FKeys). Key frames are
// found by reading packets, which is far cheaper than decoding the pictures between them.
#include <algorithm>
#include <cinttypes>
#include <stdexcept>

#include "decoder/FFDecode.h"
#include "runtime/MediaTexts.h"
#include "runtime/SatMath.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/avstring.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
}

namespace {
constexpr const char* kDecodeWhere = "Decode() for video";
// Pictures skipped after a seek while waiting for a key frame, before any picture is taken.
constexpr int kMaxSkipForKey = 600;
constexpr int kMaxBackoff = 24;
// Ten minutes: far more than any cache of pictures spans at real frame rates.
constexpr int64_t kMaxCacheWindow = 600 * int64_t(1000000);
// An hour before the stream's start: before the decoding time of any packet.
constexpr int64_t kBeforeEveryPacket = -3600 * int64_t(1000000);
}  // namespace

size_t TFFDecoder::PictureBytes(const AVFrame* frame) {
  if (!frame) return 0;
  int n = av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, 1);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t TFFDecoder::TFrameItem::Bytes() const { return PictureBytes(Frame.get()); }

void TFFDecoder::UpdateStreamInfo() { TCustomDecoder::UpdateStreamInfo(); }

void TFFDecoder::FreeAudioResampler() { FSwr.reset(); }

void TFFDecoder::CloseFile() {
  StopPreparing();
  ResetStepping();
  FSeekStreamIndex = -1;
  FVideoStreamIndex = -1;
  FUpright.SetFilters(std::string());
  FFrameRate = AVRational{0, 0};
  FEndOfStream = false;
  FDraining = false;
  FReadError = 0;
  ResetPicture();
  FPrevFramePTS = AV_NOPTS_VALUE;
  ResetAudio();
  FreeAudioResampler();
  FVideoCtx.reset();
  FVideoCtxStream = -1;
  FAudioCtx.reset();
  FAudioStreamIndex = -1;
  FAtStart = true;
  TCustomDecoder::CloseFile();
}

void TFFDecoder::ResetPicture() {
  if (FFramePTS != AV_NOPTS_VALUE) FPrevFramePTS = FFramePTS;
  FPicPixFmt = FPicWidth = FPicHeight = -1;
  FPictureKeyFrame = false;
  FPictureType = 0;
  FFramePTS = AV_NOPTS_VALUE;
  FPacketDTS = FPacketPTS = AV_NOPTS_VALUE;
  FPacketStreamIndex = -1;
  FPacketPos = -1;
  FPictureReady = false;
  FPicture.reset();
}

void TFFDecoder::ResetAudio() {
  if (FAudioCtx) avcodec_flush_buffers(FAudioCtx.get());
}

void TFFDecoder::ResetStepping() {
  FBack.clear();
  FAhead.clear();
  FResync = false;
  FResyncAfter = AV_NOPTS_VALUE;
  FPeeked.clear();
  FNeedKey = false;
  FSkippedSinceSeek = 0;
  FLastOutPTS = AV_NOPTS_VALUE;
  FRunKey = AV_NOPTS_VALUE;
  FKeys.clear();
  FNoTimestamps = false;
  FTimesProbed = false;
  FFirstSeen = false;
  FFirstPos = -1;
  FFirstDTS = AV_NOPTS_VALUE;
}

void TFFDecoder::ProbeTimestamps() {
  if (FTimesProbed || FNoTimestamps) return;
  FTimesProbed = true;
  TPacketPtr pkt(av_packet_alloc());
  int seen = 0;
  bool timed = false;
  while (pkt && seen < 8) {
    SetIOStartTime(av_gettime_relative());
    if (av_read_frame(FFormatContext, pkt.get()) < 0) break;
    if (pkt->stream_index == FVideoStreamIndex) {
      NoteFirstPacket(pkt.get());
      ++seen;
      timed = timed || pkt->pts != AV_NOPTS_VALUE || pkt->dts != AV_NOPTS_VALUE;
    }
    av_packet_unref(pkt.get());
  }
  FNoTimestamps = seen > 0 && !timed;
}

int64_t TFFDecoder::FrameDuration() const { return ::FrameDuration(FFrameRate.num, FFrameRate.den); }

void TFFDecoder::SetFrameCacheBytes(size_t v) {
  FCacheBytes = v;
  TrimCaches(false);
}

bool TFFDecoder::IsImage2() const {
  // The single-image demuxers of the image2 family ("png_pipe", ...) hold one picture too.
  if (!FFormatContext || !FFormatContext->iformat || !FFormatContext->iformat->name) return false;
  const char* name = FFormatContext->iformat->name;
  if (av_strcasecmp(name, "image2") == 0 || av_strcasecmp(name, "image2pipe") == 0) return true;
  size_t n = strlen(name);
  return n > 5 && av_strcasecmp(name + n - 5, "_pipe") == 0;
}

bool TFFDecoder::IsSeekable(TSeekableFor purpose) {
  if (!FFormatContext) {
    Report(llWarning, "file not loaded.");
    return false;
  }
  if (!FOwnsContext) {
    Report(llWarning, "file cannot be seeked, handle is readonly.");
    throw std::runtime_error("file cannot be seeked, handle is readonly.");
  }
  if (purpose == sfSeek && IsImage2()) {
    Report(llInfo, "\"image2\" format cannot to be seeked.");
    return false;
  }
  return true;
}

void TFFDecoder::ChooseFrameRate(int index) {
  AVStream* st = FFormatContext->streams[index];
  if (st->avg_frame_rate.num && st->avg_frame_rate.den) {
    FFrameRate = st->avg_frame_rate;
    return;
  }
  AVRational ctb = av_stream_get_codec_timebase(st);
  AVRational r = st->r_frame_rate;
  int tpf = (FVideoCtx && FVideoCtxStream == index && FVideoCtx->ticks_per_frame > 0) ? FVideoCtx->ticks_per_frame : 1;
  if (ctb.num && ctb.num == r.den && ctb.den == tpf * r.num) {
    // The codec counts ticks_per_frame ticks per picture.
    av_reduce(&FFrameRate.num, &FFrameRate.den, ctb.den, static_cast<int64_t>(ctb.num) * tpf, INT32_MAX);
    return;
  }
  NoteFmt(llInfo,
          "Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> %2.2f (%d/%d)",
          index, ctb.num ? static_cast<double>(ctb.den) / ctb.num : 0.0, ctb.den, ctb.num, r.den ? av_q2d(r) : 0.0,
          r.num, r.den);
  FFrameRate = r;
}

int TFFDecoder::SelectVideoStream(int index) {
  if (!IsSeekable(sfDecode)) return -1;
  int idx = ChooseStream(index, FVideoStreamIndex >= 0 ? FVideoStreamIndex : FirstVideoStreamIndex(),
                         AVMEDIA_TYPE_VIDEO);
  if (idx < 0) return -1;
  if (idx != FVideoStreamIndex) {
    ResetPicture();
    ResetStepping();
    ChooseFrameRate(idx);
    FUpright.SetFilters(UprightFilters(FFormatContext->streams[idx]));
    FVideoStreamIndex = idx;
    FSeekStreamIndex = idx;
  }
  return idx;
}

AVCodecContext* TFFDecoder::OpenVideoCodec(int index) {
  AVStream* st = FFormatContext->streams[index];
  if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) throw std::logic_error("OpenVideoCodec: not a video stream");
  if (st->codecpar->width == 0 || st->codecpar->height == 0) {
    Report(llError, "frame size of codec is invalid.");
    return nullptr;
  }
  if (FVideoCtx && FVideoCtxStream == index) return FVideoCtx.get();
  FVideoCtx.reset();
  FVideoCtxStream = -1;
  const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!dec) {
    ReportFmt(llError, "Unsupported codec (id=%d) for input file stream #%d", st->codecpar->codec_id, index);
    return nullptr;
  }
  TCodecContextPtr ctx(avcodec_alloc_context3(dec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) {
    ReportFmt(llError, "Error while opening codec for input file stream #%d", index);
    return nullptr;
  }
  ctx->pkt_timebase = RepairTimeBase(st);
  ApplyThreads(ctx.get());
  // What a worker's decoder meets is met again by the decoder it works for, which tells.
  if (Quiet()) ctx->log_level_offset = AV_LOG_TRACE;
  // Decoding from a key frame that is no IDR, H.264 would hold back every picture after it
  // that it cannot prove whole, and lose them at the end of the stream; the pictures before
  // the key frame, the only broken ones, are skipped here anyway.
  ctx->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
  if (avcodec_open2(ctx.get(), dec, nullptr) < 0) {
    ReportFmt(llError, "Error while opening codec for input file stream #%d", index);
    return nullptr;
  }
  FVideoCtx = std::move(ctx);
  FVideoCtxStream = index;
  if (index == FVideoStreamIndex) ChooseFrameRate(index);
  return FVideoCtx.get();
}

// ---------------------------------------------------------------------------------------------
// Times

// Both directions saturate: a stream's times may lie centuries away (a frame lasting years),
// and a sentinel far before the start must stay far before it.
int64_t TFFDecoder::ToStreamTS(int64_t us) const {
  const AVStream* st = FFormatContext->streams[FVideoStreamIndex];
  constexpr int64_t kLimit = INT64_MAX / 4;
  us = std::clamp<int64_t>(us, -kLimit, kLimit);
  int64_t ts = av_rescale_q_rnd(us, AV_TIME_BASE_Q, st->time_base,
                                static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  if (ts == INT64_MIN && us > 0) ts = kLimit;  // overflow is reported as INT64_MIN
  ts = std::clamp<int64_t>(ts, -kLimit, kLimit);
  if (st->start_time != AV_NOPTS_VALUE) ts = SatAdd(ts, st->start_time);
  return ts;
}

int64_t TFFDecoder::ToMicroseconds(int64_t ts) const {
  const AVStream* st = FFormatContext->streams[FVideoStreamIndex];
  if (st->start_time != AV_NOPTS_VALUE) ts = SatSub(ts, st->start_time);
  return av_rescale_q(ts, st->time_base, AV_TIME_BASE_Q);
}

// ---------------------------------------------------------------------------------------------
// Packets and pictures

int TFFDecoder::ReadVideoPacket(AVPacket* pkt) {
  for (;;) {
    if (!FPeeked.empty()) {
      av_packet_move_ref(pkt, FPeeked.front().get());
      FPeeked.pop_front();
      return 0;
    }
    SetIOStartTime(av_gettime_relative());
    int r = av_read_frame(FFormatContext, pkt);
    if (r < 0) return r;
    if (pkt->stream_index == FVideoStreamIndex) {
      NoteFirstPacket(pkt);
      return 0;
    }
    av_packet_unref(pkt);
  }
}

void TFFDecoder::NoteFirstPacket(const AVPacket* pkt) {
  if (FFirstSeen) return;
  FFirstSeen = true;
  if (!FAtStart) return;
  FFirstPos = pkt->pos;
  FFirstDTS = pkt->dts;
}

bool TFFDecoder::IsFirstPacket(const AVPacket* pkt) const {
  if (!FFirstSeen) return false;
  if (FFirstPos >= 0) return pkt->pos == FFirstPos;
  return FFirstDTS != AV_NOPTS_VALUE && pkt->dts == FFirstDTS;
}

bool TFFDecoder::DeinterlaceFrame(TFramePtr& frame) {
  // yadif on a graph of its own: the picture alone, then the end, gives it back at once.
  TFilterGraphPtr graph(avfilter_graph_alloc());
  TFramePtr out(av_frame_alloc());
  if (!graph || !out) {
    Note(llError, "deinterlace buffer malloc error.");
    FDeinterlace = false;
    return false;
  }
  const char* pixName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
  AVRational sar = frame->sample_aspect_ratio.num ? frame->sample_aspect_ratio : AVRational{1, 1};
  char args[256];
  snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%s:time_base=1/25:pixel_aspect=%d/%d", frame->width,
           frame->height, pixName ? pixName : "none", sar.num, sar.den);
  AVFilterContext* src = nullptr;
  AVFilterContext* yadif = nullptr;
  AVFilterContext* sink = nullptr;
  bool ok = pixName &&
            avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args, nullptr, graph.get()) >= 0 &&
            avfilter_graph_create_filter(&yadif, avfilter_get_by_name("yadif"), "deint",
                                         "mode=send_frame:parity=auto:deint=all", nullptr, graph.get()) >= 0 &&
            avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         graph.get()) >= 0 &&
            avfilter_link(src, 0, yadif, 0) >= 0 && avfilter_link(yadif, 0, sink, 0) >= 0 &&
            avfilter_graph_config(graph.get(), nullptr) >= 0 &&
            av_buffersrc_add_frame_flags(src, frame.get(), AV_BUFFERSRC_FLAG_KEEP_REF) >= 0 &&
            av_buffersrc_add_frame_flags(src, nullptr, 0) >= 0 && av_buffersink_get_frame(sink, out.get()) >= 0;
  if (!ok) {
    Note(llError, "deinterlacing failed.");
    FDeinterlace = false;
    return false;
  }
  av_frame_copy_props(out.get(), frame.get());
  frame = std::move(out);
  return true;
}

void TFFDecoder::NoteRun(const TFrameItem& item) {
  if (item.PTS == AV_NOPTS_VALUE) return;
  if (item.Key) {
    if (FRunKey != AV_NOPTS_VALUE && item.PTS > FRunKey) FKeys[FRunKey].Next = item.PTS;
    FKeys.try_emplace(item.PTS);
    FRunKey = item.PTS;
  } else if (FRunKey != AV_NOPTS_VALUE && item.PTS > FRunKey) {
    TKeyInfo& k = FKeys[FRunKey];
    if (k.Reach == AV_NOPTS_VALUE || item.PTS > k.Reach) k.Reach = item.PTS;
  }
}

int TFFDecoder::NextCodecFrame(TFrameItem& out, const char* where) {
  AVCodecContext* ctx = FVideoCtx.get();
  for (;;) {
    int r = avcodec_receive_frame(ctx, FRecv.get());
    if (r >= 0) {
      if (FNeedKey && !FRecv->key_frame && FSkippedSinceSeek < kMaxSkipForKey) {
        ++FSkippedSinceSeek;
        av_frame_unref(FRecv.get());
        continue;
      }
      FNeedKey = false;
      TFrameItem it;
      it.Frame.reset(av_frame_alloc());
      if (!it.Frame) return AVERROR(ENOMEM);
      av_frame_move_ref(it.Frame.get(), FRecv.get());
      AVFrame* f = it.Frame.get();
      // The presentation time; packet times only when the codec could not tell.
      int64_t raw = f->best_effort_timestamp;
      if (raw == AV_NOPTS_VALUE) raw = f->pts;
      if (raw == AV_NOPTS_VALUE) raw = f->pkt_dts;
      if (raw != AV_NOPTS_VALUE) {
        it.PTS = ToMicroseconds(raw);
        NoteFmt(llDebug, "decode PTS: %0.3f", it.PTS / 1000000.0);
      } else {
        FNoTimestamps = true;
        if (FLastOutPTS != AV_NOPTS_VALUE)
          it.PTS = SatAdd(FLastOutPTS, FrameDuration());
        else if (FAtStart)
          it.PTS = 0;
      }
      // Pictures an edit list leaves out come flagged by the demuxer; the ones it does not
      // flag are shown, at times before the start, as the ffmpeg tool shows them.
      if (f->flags & AV_FRAME_FLAG_DISCARD) continue;
      if (!FSkippedPTS.empty() && it.PTS != AV_NOPTS_VALUE) {
        auto hole = FLastOutPTS == AV_NOPTS_VALUE ? FSkippedPTS.begin() : FSkippedPTS.upper_bound(FLastOutPTS);
        it.AfterHole = hole != FSkippedPTS.end() && *hole < it.PTS;
        FSkippedPTS.erase(FSkippedPTS.begin(), FSkippedPTS.lower_bound(it.PTS));
      }
      FLastOutPTS = it.PTS;
      it.Key = f->key_frame == 1;
      it.Type = f->pict_type;
      it.PktDTS = f->pkt_dts;
      it.PktPTS = f->pts;
      it.PktPos = f->pkt_pos;
      NoteFmt(llDebug, "pkt.st_idx=%d, dts=%" PRId64 ", pts=%" PRId64 ", flags=%d, pict_type=%d(%s)", FVideoStreamIndex,
              it.PktDTS, it.PktPTS, it.Key ? AV_PKT_FLAG_KEY : 0, it.Type, PictureTypeText(it.Type).c_str());
      if (FDeinterlace) DeinterlaceFrame(it.Frame);
      if (FUpright.Active() && !FUpright.Turn(it.Frame)) {
        Note(llWarning, "the picture could not be turned upright.");
        FUpright.SetFilters(std::string());
      }
      NoteRun(it);
      out = std::move(it);
      return 1;
    }
    if (r == AVERROR_EOF || (r == AVERROR(EAGAIN) && FDraining)) {
      FDraining = true;
      // The codec is empty; what ended the input decides the report. A failed read that is
      // not the end of the file is not the end of the stream.
      const int readError = FReadError;
      if (readError < 0 && readError != AVERROR_EOF && readError != AVERROR(EPIPE) &&
          !(FFormatContext->pb && avio_feof(FFormatContext->pb))) {
        ReportFmt(llInfo, "%s.%s: unknown error #%d.", ClassName(), where, readError);
        return readError;
      }
      FEndOfStream = true;
      ReportFmt(llInfo, "%s.%s: stream eof reached.", ClassName(), where);
      return 0;
    }
    if (r != AVERROR(EAGAIN) && FDraining) {
      FEndOfStream = true;
      ReportFmt(llInfo, "%s.%s: unknown error #%d.", ClassName(), where, r);
      return r;
    }
    // The codec wants input (or failed on a picture, which is not reported).
    r = ReadVideoPacket(FPkt.get());
    if (r < 0) {
      if (r == AVERROR(EAGAIN)) {
        ReportFmt(llInfo, "%s.%s: no data, please try again.", ClassName(), where);
        return r;
      }
      FDraining = true;
      FReadError = r;
      avcodec_send_packet(ctx, nullptr);
      continue;
    }
    bool skip = false;
    if (FSkipNonRefBefore != AV_NOPTS_VALUE && FPkt->pts != AV_NOPTS_VALUE && !(FPkt->flags & AV_PKT_FLAG_KEY)) {
      const int64_t us = ToMicroseconds(FPkt->pts);
      skip = us < FSkipNonRefBefore;
      if (skip) FSkippedPTS.insert(us);
    }
    ctx->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    int s = avcodec_send_packet(ctx, FPkt.get());
    if (s == AVERROR(EAGAIN)) {
      TPacketPtr keep(av_packet_alloc());
      if (keep) {
        av_packet_move_ref(keep.get(), FPkt.get());
        FPeeked.push_front(std::move(keep));
      }
    }
    av_packet_unref(FPkt.get());
  }
}

void TFFDecoder::SetCurrent(TFrameItem&& item) {
  if (FFramePTS != AV_NOPTS_VALUE) FPrevFramePTS = FFramePTS;
  FPicture = std::move(item.Frame);
  FPicPixFmt = FPicture ? FPicture->format : -1;
  FPicWidth = FPicture ? FPicture->width : -1;
  FPicHeight = FPicture ? FPicture->height : -1;
  FPictureKeyFrame = item.Key;
  FPictureType = item.Type;
  FFramePTS = item.PTS;
  FPacketDTS = item.PktDTS;
  FPacketPTS = item.PktPTS;
  FPacketStreamIndex = FVideoStreamIndex;
  FPacketPos = item.PktPos;
  FPictureReady = FPicture != nullptr;
}

// Moves the picture on show, with what is known of it, out into a cache item.
TFFDecoder::TFrameItem TFFDecoder::TakeCurrent() {
  TFrameItem cur;
  cur.Frame = std::move(FPicture);
  cur.PTS = FFramePTS;
  cur.Key = FPictureKeyFrame;
  cur.Type = FPictureType;
  cur.PktDTS = FPacketDTS;
  cur.PktPTS = FPacketPTS;
  cur.PktPos = FPacketPos;
  return cur;
}

void TFFDecoder::StepForwardTo(TFrameItem&& item) {
  if (item.AfterHole) {
    FBack.clear();
  } else if (FPictureReady) {
    TFrameItem cur = TakeCurrent();
    FBack.push_back(std::move(cur));
  }
  SetCurrent(std::move(item));
  TrimCaches(false);
}

size_t TFFDecoder::CachedBytes() const {
  size_t n = 0;
  for (const TFrameItem& f : FBack) n += f.Bytes();
  for (const TFrameItem& f : FAhead) n += f.Bytes();
  return n;
}

void TFFDecoder::PushBounded(std::deque<TFrameItem>& run, size_t& bytes, TFrameItem&& f,
                             size_t keep) const {
  bytes += f.Bytes();
  run.push_back(std::move(f));
  while (bytes > FCacheBytes && run.size() > keep) {
    bytes -= run.front().Bytes();
    run.pop_front();
  }
}

void TFFDecoder::TrimCaches(bool keepBack) {
  size_t total = CachedBytes();
  auto dropBack = [&] {
    while (total > FCacheBytes && !FBack.empty()) {
      total -= FBack.front().Bytes();
      FBack.pop_front();
    }
  };
  auto dropAhead = [&] {
    while (total > FCacheBytes && !FAhead.empty()) {
      total -= FAhead.back().Bytes();
      FAhead.pop_back();
      // The codec is past the dropped pictures; it has to find the next one again.
      FResync = true;
      FResyncAfter = FAhead.empty() ? FFramePTS : FAhead.back().PTS;
    }
  };
  if (keepBack) {
    dropAhead();
    dropBack();
  } else {
    dropBack();
    dropAhead();
  }
}

void TFFDecoder::LoseCodecPosition() {
  FAhead.clear();
  FResync = FPictureReady && FFramePTS != AV_NOPTS_VALUE;
  FResyncAfter = FResync ? FFramePTS : AV_NOPTS_VALUE;
}

// ---------------------------------------------------------------------------------------------
// Seeking

void TFFDecoder::AfterDemuxSeek() {
  if (FVideoCtx) avcodec_flush_buffers(FVideoCtx.get());
  ResetAudio();
  FEndOfStream = false;
  FDraining = false;
  FReadError = 0;
  FPeeked.clear();
  FNeedKey = true;
  FSkippedSinceSeek = 0;
  FLastOutPTS = AV_NOPTS_VALUE;
  FRunKey = AV_NOPTS_VALUE;
  FAtStart = false;
  FSkipNonRefBefore = AV_NOPTS_VALUE;
  FSkippedPTS.clear();
}

int64_t TFFDecoder::CacheWindow() const {
  const AVCodecParameters* par = FFormatContext->streams[FVideoStreamIndex]->codecpar;
  int bytes = av_image_get_buffer_size(static_cast<AVPixelFormat>(par->format), par->width, par->height, 1);
  if (bytes <= 0) return 0;
  // Bounded, so that a stream whose frames last for ages still steps within its file.
  const int64_t frames = static_cast<int64_t>(FCacheBytes / static_cast<size_t>(bytes));
  return std::min(SatMul(frames, FrameDuration()), kMaxCacheWindow);
}

bool TFFDecoder::SeekToStart() {
  SetIOStartTime(av_gettime_relative());
  int r = av_seek_frame(FFormatContext, FVideoStreamIndex, 0, AVSEEK_FLAG_BYTE);
  if (r < 0) r = avformat_seek_file(FFormatContext, FVideoStreamIndex, INT64_MIN, INT64_MIN, INT64_MAX, 0);
  AfterDemuxSeek();
  FAtStart = r >= 0;
  FLastSeekAtStart = true;
  return r >= 0;
}

int TFFDecoder::DemuxSeek(int64_t targetUs, bool atOrBefore) {
  int64_t ts = ToStreamTS(targetUs);
  SetIOStartTime(av_gettime_relative());
  int r = avformat_seek_file(FFormatContext, FVideoStreamIndex, INT64_MIN, ts, atOrBefore ? ts : INT64_MAX, 0);
  AfterDemuxSeek();
  return r;
}

bool TFFDecoder::SeekToKeyAtOrBefore(int64_t targetUs) {
  const int64_t step0 = std::max<int64_t>(FrameDuration(), 1);
  int64_t t = targetUs;
  int64_t step = step0;
  ProbeTimestamps();
  if (FNoTimestamps) {
    if (SeekToStart()) return true;
    ReportFmt(llError, "%s.%s: could not seek to position %0.3f seconds", ClassName(), "Seek()", targetUs / 1000000.0);
    return false;
  }
  for (int attempt = 0;; ++attempt) {
    FLastSeekAtStart = false;
    int r = t >= 0 ? DemuxSeek(t, true) : -1;
    if (r < 0) {
      // Nothing at or before t: the first key frame is the best there is. A time before every
      // packet finds it; a seek forward to just before the start may land past it, where
      // decoding times run ahead of presentation times (MPEG-TS with reordered pictures).
      FLastSeekAtStart = true;
      r = DemuxSeek(kBeforeEveryPacket, true);
      if (r < 0) r = DemuxSeek(std::min<int64_t>(t, -step0), false);
      if (r < 0) {
        SetIOStartTime(av_gettime_relative());
        r = av_seek_frame(FFormatContext, FVideoStreamIndex, ToStreamTS(std::min<int64_t>(t, 0)), AVSEEK_FLAG_BACKWARD);
        AfterDemuxSeek();
      }
      if (r < 0) {
        ReportFmt(llError, "%s.%s: could not seek to position %0.3f seconds", ClassName(), "Seek()",
                  targetUs / 1000000.0);
        return false;
      }
    }
    // Where did it land? The first key packet of the stream tells, without decoding.
    TPacketPtr kp(av_packet_alloc());
    if (!kp) return false;
    bool found = false;
    for (;;) {
      SetIOStartTime(av_gettime_relative());
      if (av_read_frame(FFormatContext, kp.get()) < 0) break;
      if (kp->stream_index == FVideoStreamIndex && (kp->flags & AV_PKT_FLAG_KEY)) {
        found = true;
        break;
      }
      av_packet_unref(kp.get());
    }
    if (!found) {
      // Input ends before any key frame: decoding will report the end.
      if (FLastSeekAtStart || attempt >= kMaxBackoff) return true;
      t = SatSub(t, step);
      step = SatMul(step, 2);
      continue;
    }
    int64_t kts = kp->pts != AV_NOPTS_VALUE ? kp->pts : kp->dts;
    int64_t kus = kts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToMicroseconds(kts);
    if (IsFirstPacket(kp.get())) {
      // Decoding from the start: every picture shown is whole, even before the key frame.
      FNeedKey = false;
      FAtStart = true;
    }
    FPeeked.push_back(std::move(kp));
    if (kus == AV_NOPTS_VALUE || kus <= targetUs || FLastSeekAtStart || attempt >= kMaxBackoff) return true;
    // Landed on a key frame after the target (index by decoding time, or a coarse index).
    t = SatSub(std::min(t, kus), step);
    step = SatMul(step, 2);
  }
}

bool TFFDecoder::ScanFrom(int64_t targetUs, const TVisitor& visit, const char* where, int64_t skipBefore) {
  if (!SeekToKeyAtOrBefore(targetUs)) return false;
  FSkipNonRefBefore = skipBefore;
  for (;;) {
    if (FCancelled && FCancelled()) return false;
    TFrameItem it;
    int r = NextCodecFrame(it, where);
    if (r == 0) return true;
    if (r < 0) return false;
    if (visit(std::move(it))) return true;
  }
}

bool TFFDecoder::Seek(int64_t Target, int Flags) {
  if (!IsSeekable(sfSeek)) return false;
  if (FSeekStreamIndex < 0 && FirstVideoStreamIndex() >= 0) SelectVideoStream(-1);
  AVFormatContext* ic = FFormatContext;
  if (ic->pb)
    NoteFmt(llDebug, "%s.%s: current position %" PRId64 " bytes", ClassName(), "Seek()", avio_seek(ic->pb, 0, SEEK_CUR));
  Flags &= AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_BYTE | AVSEEK_FLAG_ANY | AVSEEK_FLAG_FRAME;
  const bool videoSeek = FSeekStreamIndex >= 0 &&
                         ic->streams[FSeekStreamIndex]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  int64_t target = Target;
  if (target == 0 && FFrameRate.den != 0 && videoSeek) target = -(FrameDuration() / 2);

  ResetPicture();
  ResetAudio();
  FBack.clear();
  FAhead.clear();
  FResync = false;
  FJumped = true;

  bool ok;
  if (videoSeek && !(Flags & (AVSEEK_FLAG_BYTE | AVSEEK_FLAG_ANY | AVSEEK_FLAG_FRAME)) &&
      OpenVideoCodec(FSeekStreamIndex)) {
    // Decoding starts at a key frame at or before the target, so that decoding on from here
    // reaches the first picture at or after it.
    ok = SeekToKeyAtOrBefore(target);
    // Pictures before the target are only decoded to be kept for stepping back.
    if (ok) FSkipNonRefBefore = SatSub(target, CacheWindow());
  } else {
    int64_t ts = target;
    if (!(Flags & AVSEEK_FLAG_BYTE)) {
      int64_t start;
      if (FSeekStreamIndex < 0) {
        start = ic->start_time;
      } else {
        AVStream* st = ic->streams[FSeekStreamIndex];
        ts = av_rescale_q(ts, AV_TIME_BASE_Q, RepairTimeBase(st));
        start = st->start_time;
      }
      if (start != AV_NOPTS_VALUE) ts += start;
    }
    SetIOStartTime(av_gettime_relative());
    int r = avformat_seek_file(ic, FSeekStreamIndex, INT64_MIN, ts, INT64_MAX, Flags);
    if (r < 0) r = avformat_seek_file(ic, FSeekStreamIndex, INT64_MIN, ts, INT64_MAX, Flags ^ AVSEEK_FLAG_BACKWARD);
    AfterDemuxSeek();
    FNeedKey = !(Flags & AVSEEK_FLAG_ANY);
    ok = r >= 0;
    if (!ok) {
      if (Flags & AVSEEK_FLAG_BYTE)
        ReportFmt(llError, "%s.%s: could not seek to position %" PRId64 " bytes", ClassName(), "Seek()", Target);
      else
        ReportFmt(llError, "%s.%s: could not seek to position %0.3f seconds", ClassName(), "Seek()",
                  Target / 1000000.0);
    }
  }
  if (!ok) return false;
  if (ic->pb)
    NoteFmt(llDebug, "%s.%s: seek to position %" PRId64 " bytes", ClassName(), "Seek()", avio_seek(ic->pb, 0, SEEK_CUR));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Stepping

bool TFFDecoder::Decode(int StreamIndex) {
  PickUpPrepared(false);
  const bool jump = FJumped;
  FJumped = false;
  if (!DecodeStep(StreamIndex)) return false;
  AfterStep(jump);
  return true;
}

bool TFFDecoder::PrevFrame(int StreamIndex) {
  PickUpPrepared(false);
  // Nothing held before the picture: a run of the worker for it is waited for.
  if (FPictureReady && FBack.empty()) PickUpPrepared(true);
  const bool redecode = FBack.empty();
  if (!PrevFrameStep(StreamIndex)) return false;
  AfterStep(redecode);
  return true;
}

bool TFFDecoder::NextKeyFrame(int StreamIndex) {
  PickUpPrepared(false);
  if (!NextKeyFrameStep(StreamIndex)) return false;
  AfterStep(true);
  return true;
}

bool TFFDecoder::PrevKeyFrame(int StreamIndex) {
  PickUpPrepared(false);
  if (!PrevKeyFrameStep(StreamIndex)) return false;
  AfterStep(true);
  return true;
}

bool TFFDecoder::DecodeStep(int StreamIndex) {
  int idx = SelectVideoStream(StreamIndex);
  if (idx < 0) return false;
  if (FPictureReady && IsImage2()) return true;
  if (!FAhead.empty()) {
    TFrameItem next = std::move(FAhead.front());
    FAhead.pop_front();
    StepForwardTo(std::move(next));
    return true;
  }
  if (!OpenVideoCodec(idx)) return false;
  if (FResync) return ResyncNext();
  if (FEndOfStream && FDraining) {
    ReportFmt(llInfo, "%s.%s: stream eof reached.", ClassName(), kDecodeWhere);
    return false;
  }
  TFrameItem it;
  if (NextCodecFrame(it, kDecodeWhere) <= 0) return false;
  StepForwardTo(std::move(it));
  return true;
}

bool TFFDecoder::ResyncNext() {
  const int64_t after = FResyncAfter;
  TFrameItem found;
  bool got = false;
  bool ok = ScanFrom(
      after,
      [&](TFrameItem&& f) {
        if (f.PTS != AV_NOPTS_VALUE && f.PTS <= after) return false;
        found = std::move(f);
        found.AfterHole = false;  // only pictures up to the current one were skipped
        got = true;
        return true;
      },
      kDecodeWhere, after + 1);
  FResync = false;
  if (!ok || !got) return false;
  StepForwardTo(std::move(found));
  return true;
}

bool TFFDecoder::LandOn(int64_t pts, const char* where) {
  std::deque<TFrameItem> before;
  size_t beforeBytes = 0;
  TFrameItem taken;
  bool got = false;
  bool ok = ScanFrom(
      pts,
      [&](TFrameItem&& f) {
        if (f.AfterHole) {
          before.clear();
          beforeBytes = 0;
        }
        if (f.PTS != AV_NOPTS_VALUE && f.PTS < pts) {
          PushBounded(before, beforeBytes, std::move(f), 0);
          return false;
        }
        taken = std::move(f);
        got = true;
        return true;
      },
      where, SatSub(pts, CacheWindow()));
  if (!ok || !got) {
    LoseCodecPosition();
    return false;
  }
  FAhead.clear();
  FResync = false;
  FBack = std::move(before);
  SetCurrent(std::move(taken));
  TrimCaches(true);
  return true;
}

bool TFFDecoder::RedecodeBefore(int64_t ref) {
  const char* where = "PrevFrame()";
  // Start at the nearest key frame seen before it, if any: fewer seeks.
  int64_t target = ref - 1;
  auto known = FKeys.lower_bound(ref);
  if (known != FKeys.begin()) target = std::prev(known)->first;
  int64_t step = std::max<int64_t>(FrameDuration(), 1);
  bool allowSkip = true;
  for (int attempt = 0;; ++attempt) {
    std::deque<TFrameItem> got;
    size_t gotBytes = 0;
    TScanEnd end;
    bool ok = ScanFrom(
        target,
        [&](TFrameItem&& f) {
          end.See(f);
          if (f.AfterHole) {
            got.clear();
            gotBytes = 0;
          }
          if (f.PTS == AV_NOPTS_VALUE || f.PTS < ref) {
            PushBounded(got, gotBytes, std::move(f), 1);
            return false;
          }
          return end.End(std::move(f));
        },
        where, allowSkip ? SatSub(SatSub(ref, CacheWindow()), SatMul(2, FrameDuration())) : AV_NOPTS_VALUE);
    if (!ok) {
      LoseCodecPosition();
      return false;
    }
    if (allowSkip && end.Stopped && end.Stop.AfterHole) {
      // The picture right before the reference was skipped (uneven times): decode them all.
      allowSkip = false;
      continue;
    }
    if (!got.empty()) {
      TFrameItem prev = std::move(got.back());
      got.pop_back();
      FBack = std::move(got);
      FAhead.clear();
      if (end.Stopped) FAhead.push_back(std::move(end.Stop));
      FResync = false;
      SetCurrent(std::move(prev));
      TrimCaches(true);
      return true;
    }
    if (FLastSeekAtStart || end.First == AV_NOPTS_VALUE || attempt >= kMaxBackoff) {
      // Nothing before the reference: it is the first picture, so stay there.
      if (!end.Stopped) {
        LoseCodecPosition();
        return false;
      }
      FBack.clear();
      FAhead.clear();
      FResync = false;
      SetCurrent(std::move(end.Stop));
      return true;
    }
    target = SatSub(std::min(target, end.First), step);
    step = SatMul(step, 2);
  }
}

bool TFFDecoder::PrevFrameStep(int StreamIndex) {
  int idx = SelectVideoStream(StreamIndex);
  if (idx < 0) return false;
  if (!OpenVideoCodec(idx)) return false;
  if (FPictureReady && IsImage2()) return true;
  if (FPictureReady && !FBack.empty()) {
    TFrameItem cur = TakeCurrent();
    FAhead.push_front(std::move(cur));
    TFrameItem prev = std::move(FBack.back());
    FBack.pop_back();
    SetCurrent(std::move(prev));
    TrimCaches(true);
    return true;
  }
  int64_t ref = FFramePTS != AV_NOPTS_VALUE ? FFramePTS : FPrevFramePTS != AV_NOPTS_VALUE ? FPrevFramePTS : 0;
  return RedecodeBefore(ref);
}

bool TFFDecoder::KnownLastKeyBefore(int64_t ref, int64_t* pts) const {
  auto it = FKeys.lower_bound(ref);
  if (it == FKeys.begin()) return false;
  --it;
  const TKeyInfo& k = it->second;
  if ((k.Next != AV_NOPTS_VALUE && k.Next >= ref) || (k.Reach != AV_NOPTS_VALUE && k.Reach >= ref)) {
    *pts = it->first;
    return true;
  }
  return false;
}

bool TFFDecoder::KnownNextKeyAfter(int64_t ref, int64_t* pts) const {
  auto it = FKeys.upper_bound(ref);
  if (it == FKeys.begin()) return false;
  --it;
  if (it->second.Next != AV_NOPTS_VALUE && it->second.Next > ref) {
    *pts = it->second.Next;
    return true;
  }
  return false;
}

bool TFFDecoder::ScanVideoPackets(int64_t seekUs, const std::function<bool(const AVPacket*)>& stop) {
  if (!SeekToKeyAtOrBefore(seekUs)) return false;
  TPacketPtr pkt(av_packet_alloc());
  while (pkt && ReadVideoPacket(pkt.get()) >= 0) {
    bool done = stop(pkt.get());
    av_packet_unref(pkt.get());
    if (done) break;
  }
  // Reading packets moved the demuxer without the codec: the next decode must seek again.
  LoseCodecPosition();
  FPeeked.clear();
  return true;
}

int TFFDecoder::FindKeyPacketBefore(int64_t ref, int64_t* pts) {
  int64_t last = AV_NOPTS_VALUE;
  int result = 0;
  bool seeked = ScanVideoPackets(ref - 1, [&](const AVPacket* pkt) {
    if (pkt->flags & AV_PKT_FLAG_KEY) {
      if (pkt->pts == AV_NOPTS_VALUE) {
        result = -1;
        return true;
      }
      int64_t kus = ToMicroseconds(pkt->pts);
      if (kus >= ref) return true;
      last = kus;
      return false;
    }
    // Decoding order: no key frame shown before ref can follow.
    return pkt->dts != AV_NOPTS_VALUE && ToMicroseconds(pkt->dts) >= ref;
  });
  if (!seeked) return -2;
  if (result < 0) return result;
  if (last == AV_NOPTS_VALUE) return 0;
  *pts = last;
  return 1;
}

int TFFDecoder::FindKeyPacketAfter(int64_t ref, int64_t* pts) {
  int result = 0;
  bool seeked = ScanVideoPackets(ref, [&](const AVPacket* pkt) {
    if (!(pkt->flags & AV_PKT_FLAG_KEY)) return false;
    if (pkt->pts == AV_NOPTS_VALUE) {
      result = -1;
      return true;
    }
    int64_t kus = ToMicroseconds(pkt->pts);
    if (kus <= ref) return false;
    *pts = kus;
    result = 1;
    return true;
  });
  return seeked ? result : -2;
}

bool TFFDecoder::FailPrevKeyFrame() {
  SetLastErrMsg("Could not seek to the previous key-frame. " + LastErrMsg());
  return false;
}

bool TFFDecoder::PrevKeyFrameByDecoding(int64_t ref) {
  int64_t target = ref - 1;
  int64_t step = std::max<int64_t>(FrameDuration(), 1);
  for (int attempt = 0;; ++attempt) {
    TFrameItem key;
    bool haveKey = false;
    std::deque<TFrameItem> after;
    size_t afterBytes = 0;
    bool truncated = false;
    TScanEnd end;
    bool ok = ScanFrom(
        target,
        [&](TFrameItem&& f) {
          end.See(f);
          if (f.PTS == AV_NOPTS_VALUE || f.PTS < ref) {
            if (f.Key) {
              key = std::move(f);
              haveKey = true;
              after.clear();
              afterBytes = 0;
              truncated = false;
            } else if (haveKey && !truncated) {
              if (afterBytes + f.Bytes() <= FCacheBytes) {
                afterBytes += f.Bytes();
                after.push_back(std::move(f));
              } else {
                truncated = true;
              }
            }
            return false;
          }
          return end.End(std::move(f));
        },
        "PrevKeyFrame()");
    if (!ok) {
      LoseCodecPosition();
      return FailPrevKeyFrame();
    }
    if (!haveKey) {
      if (FLastSeekAtStart || end.First == AV_NOPTS_VALUE || attempt >= kMaxBackoff) {
        if (LandOn(INT64_MIN / 4, "PrevKeyFrame()")) return true;
        return FailPrevKeyFrame();
      }
      target = SatSub(std::min(target, end.First), step);
      step = SatMul(step, 2);
      continue;
    }
    FBack.clear();
    FAhead = std::move(after);
    FResync = false;
    if (truncated) {
      FResync = true;
      FResyncAfter = FAhead.empty() ? key.PTS : FAhead.back().PTS;
    } else if (end.Stopped) {
      FAhead.push_back(std::move(end.Stop));
    }
    SetCurrent(std::move(key));
    TrimCaches(true);
    return true;
  }
}

bool TFFDecoder::PrevKeyFrameStep(int StreamIndex) {
  int idx = SelectVideoStream(StreamIndex);
  if (idx < 0) return false;
  if (!OpenVideoCodec(idx)) return FailPrevKeyFrame();
  if (FPictureReady && IsImage2()) return true;
  int64_t ref;
  if (FFramePTS != AV_NOPTS_VALUE)
    ref = FFramePTS;
  else if (FPrevFramePTS != AV_NOPTS_VALUE)
    ref = FPrevFramePTS;
  else if (FFormatContext->duration != AV_NOPTS_VALUE)
    ref = FFormatContext->duration;
  else
    ref = 0;

  // A picture kept around the current one may be the key frame.
  if (FPictureReady && FFramePTS != AV_NOPTS_VALUE) {
    int64_t k;
    if (KnownLastKeyBefore(ref, &k)) {
      for (size_t i = FBack.size(); i-- > 0;) {
        if (FBack[i].PTS != k) continue;
        while (FFramePTS != k && !FBack.empty()) PrevFrameStep(idx);
        if (FFramePTS == k) return true;
        break;
      }
      if (LandOn(k, "PrevKeyFrame()") && FPictureKeyFrame && FFramePTS < ref) return true;
    }
  }
  int64_t k = 0;
  int r = FindKeyPacketBefore(ref, &k);
  if (r == -2) return FailPrevKeyFrame();
  if (r == 0) {
    // No key frame before it: the start.
    if (LandOn(INT64_MIN / 4, "PrevKeyFrame()")) return true;
    return FailPrevKeyFrame();
  }
  if (r == 1 && LandOn(k, "PrevKeyFrame()") && FPictureKeyFrame && FFramePTS < ref) return true;
  return PrevKeyFrameByDecoding(ref);
}

bool TFFDecoder::NextKeyFrameByDecoding(int64_t ref) {
  for (;;) {
    if (!DecodeStep(FVideoStreamIndex)) break;
    if (FPictureKeyFrame && (ref == AV_NOPTS_VALUE || FFramePTS > ref)) return true;
  }
  // No key frame after it: back to where it was, as when the packets tell so at once.
  const std::string msg = LastErrMsg();
  if (ref != AV_NOPTS_VALUE && FFramePTS != ref) LandOn(ref, "NextKeyFrame()");
  SetLastErrMsg(msg);
  return false;
}

bool TFFDecoder::NextKeyFrameStep(int StreamIndex) {
  int idx = SelectVideoStream(StreamIndex);
  if (idx < 0) return false;
  if (!OpenVideoCodec(idx)) return false;
  if (IsImage2() && !IsSeekable(sfSeek)) return false;
  int64_t ref = FFramePTS != AV_NOPTS_VALUE ? FFramePTS : FPrevFramePTS;
  if (ref == AV_NOPTS_VALUE) return NextKeyFrameByDecoding(ref);

  // Already decoded?
  for (size_t i = 0; i < FAhead.size(); ++i) {
    if (FAhead[i].Key && FAhead[i].PTS > ref) {
      for (size_t j = 0; j <= i; ++j) {
        TFrameItem next = std::move(FAhead.front());
        FAhead.pop_front();
        StepForwardTo(std::move(next));
      }
      return true;
    }
  }
  int64_t k = 0;
  if (KnownNextKeyAfter(ref, &k) && LandOn(k, "NextKeyFrame()") && FPictureKeyFrame && FFramePTS > ref) return true;
  int r = FindKeyPacketAfter(ref, &k);
  if (r == -2) return false;
  if (r == 0) {
    ReportFmt(llInfo, "%s.%s: stream eof reached.", ClassName(), "NextKeyFrame()");
    return false;
  }
  if (r == 1 && LandOn(k, "NextKeyFrame()") && FPictureKeyFrame && FFramePTS > ref) return true;
  // Packet times did not lead to it: decode on from the reference.
  if (FFramePTS != ref) {
    if (!LandOn(ref, "NextKeyFrame()")) return false;
  }
  return NextKeyFrameByDecoding(ref);
}

bool TFFDecoder::CopyToBitmap(TBitmap& bitmap) {
  if (!FPictureReady) {
    Report(llError, "picture not ready, please decode first");
    return false;
  }
  if (FConverter.ToRGB(FPicture.get(), true)) {
    bitmap = FConverter.Bitmap();
    return true;
  }
  bitmap.SetSize(FPicWidth, FPicHeight);
  bitmap.Fill(0);
  Report(llError, FConverter.LastErrMsg());
  return false;
}
