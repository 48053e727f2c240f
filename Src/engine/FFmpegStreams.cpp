// What the loop does with one input packet and the frames it yields: decoding with timestamp
// prediction and draining, feeding and pulling the filter graphs, frame-rate conversion,
// encoding, stream copy and the write step.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "engine/FFmpeg.h"
#include "engine/RawMuxers.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/eval.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

namespace {

const char* const kHint =
    "Please check error log message(reported by FFLogger) to find out more detail information.";

constexpr AVRational kMicro{1, AV_TIME_BASE};
// Output grown by this much since the last hint is handed to the disk without waiting, so the
// sync at the end has little left to wait for.
constexpr int64_t kWriteBackStep = int64_t(4) << 20;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Input side

int TCustomFFmpeg::ProcessInputPacket(TInputStream* ist, const AVPacket* pkt) {
  TInputStreamRun& s = ist->Run;
  AVStream* st = ist->Stream;
  const AVMediaType type = st->codecpar->codec_type;
  if (s.FirstPacket) {
    s.Dts = st->avg_frame_rate.num && ist->DecoderContext
                ? -static_cast<int64_t>(ist->DecoderContext->has_b_frames) * AV_TIME_BASE /
                      av_q2d(st->avg_frame_rate)
                : 0;
    s.Pts = 0;
    if (pkt && pkt->pts != AV_NOPTS_VALUE && !ist->DecodingNeeded) {
      s.Dts += av_rescale_q(pkt->pts, st->time_base, kMicro);
      s.Pts = s.Dts;
    }
    s.FirstPacket = false;
  }
  if (s.NextDts == AV_NOPTS_VALUE) s.NextDts = s.Dts;
  if (s.NextPts == AV_NOPTS_VALUE) s.NextPts = s.Pts;
  if (pkt && pkt->dts != AV_NOPTS_VALUE) {
    s.NextDts = s.Dts = av_rescale_q(pkt->dts, st->time_base, kMicro);
    if (type != AVMEDIA_TYPE_VIDEO || !ist->DecodingNeeded) s.NextPts = s.Pts = s.Dts;
  }

  if (ist->DecodingNeeded) {
    if (!s.DecoderOpen || s.DecoderClosed) return 0;
    if (type == AVMEDIA_TYPE_SUBTITLE) return DecodeSubtitle(ist, pkt);
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) return 0;
    bool got = false;
    int ret = DecodeFrames(ist, pkt, &got);
    if (pkt && type == AVMEDIA_TYPE_VIDEO) {
      if (pkt->duration > 0) {
        s.NextDts += av_rescale_q(pkt->duration, st->time_base, kMicro);
      } else if (st->avg_frame_rate.num > 0) {
        s.NextDts += av_rescale_q(1, av_inv_q(st->avg_frame_rate), kMicro);
      }
    }
    return ret;
  }
  if (!pkt) return 0;

  // Stream copy: predict the next timestamps, then hand the packet to every copying output.
  if (type == AVMEDIA_TYPE_VIDEO) {
    if (pkt->duration > 0)
      s.NextDts += av_rescale_q(pkt->duration, st->time_base, kMicro);
    else if (st->avg_frame_rate.num > 0)
      s.NextDts += av_rescale_q(1, av_inv_q(st->avg_frame_rate), kMicro);
  } else if (type == AVMEDIA_TYPE_AUDIO && st->codecpar->sample_rate > 0) {
    int frameSize = st->codecpar->frame_size;
    if (pkt->duration > 0)
      s.NextDts += av_rescale_q(pkt->duration, st->time_base, kMicro);
    else if (frameSize > 0)
      s.NextDts += int64_t(AV_TIME_BASE) * frameSize / st->codecpar->sample_rate;
  }
  s.NextPts = s.NextDts;
  for (size_t i = 0; i < OutputStreams.size(); i++) {
    TOutputStream* ost = OutputStreams[i].get();
    if (!ost->StreamCopy || ost->Finished || ost->SourceIndex < 0 ||
        InputStreams[static_cast<size_t>(ost->SourceIndex)].get() != ist)
      continue;
    DoStreamCopy(ist, ost, pkt);
  }
  return 0;
}

int TCustomFFmpeg::DecodeFrames(TInputStream* ist, const AVPacket* pkt, bool* gotAny) {
  TInputStreamRun& s = ist->Run;
  AVCodecContext* dec = ist->DecoderContext.get();
  AVStream* st = ist->Stream;
  const bool draining = pkt == nullptr;
  if (draining && s.EofSent) return CloseFilterInputs(ist);
  int ret = avcodec_send_packet(dec, pkt);
  if (draining) s.EofSent = true;
  if (ret == AVERROR(EAGAIN)) ret = 0;  // output first; the packet is lost only on error
  if (ret < 0 && ret != AVERROR_EOF) return ret;
  int frames = 0;
  AVFrame* frame = FFrame.get();
  for (;;) {
    ret = avcodec_receive_frame(dec, frame);
    if (ret == AVERROR(EAGAIN)) break;
    if (ret == AVERROR_EOF) {
      CloseFilterInputs(ist);
      break;
    }
    if (ret < 0) return ret;
    if (++frames == 2 && pkt) {
      FFLogger().LogFmt(this, s.MultiWarned ? llVerbose : llWarning,
                        "Multiple frames in a packet from stream %d", pkt->stream_index);
      s.MultiWarned = true;
    }
    *gotAny = true;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (frame->sample_rate < 1) {
        FFLogger().LogFmt(this, llError, "Sample rate %d invalid\n", frame->sample_rate);
        av_frame_unref(frame);
        return AVERROR_INVALIDDATA;
      }
      if (frame->nb_samples < 1)
        throw FFmpegException(
            FormatText("the decoder \"%s\" return bad result.", ist->Decoder->name));
      const int64_t dur = int64_t(AV_TIME_BASE) * frame->nb_samples / frame->sample_rate;
      int64_t pts = frame->pts;
      if (pts == AV_NOPTS_VALUE) pts = frame->best_effort_timestamp;
      const AVRational srTb{1, frame->sample_rate};
      if (pts != AV_NOPTS_VALUE) {
        s.Dts = s.NextDts = s.Pts = s.NextPts = av_rescale_q(pts, st->time_base, kMicro);
        frame->pts = av_rescale_delta(st->time_base, pts, srTb, frame->nb_samples,
                                      &s.AudioRescaleDelta, srTb);
      } else {
        frame->pts = av_rescale_delta(kMicro, s.Dts, srTb, frame->nb_samples,
                                      &s.AudioRescaleDelta, srTb);
      }
      s.NextPts += dur;
      s.NextDts += dur;
      s.Pts = s.NextPts - dur;
      RunAudioHook(false, frame, frame->ch_layout.nb_channels, frame->sample_rate, s.Pts);
      if (frame->sample_rate != s.SampleRate || frame->format != s.SampleFmt ||
          frame->ch_layout.nb_channels != s.Channels) {
        const bool first = s.SampleRate == 0;
        if (!first || frame->sample_rate != ist->InitialSampleRate ||
            frame->format != ist->InitialSampleFmt ||
            frame->ch_layout.nb_channels != ist->InitialChannels) {
          FFLogger().LogFmt(this, llInfo,
                            "Input stream #%d:%d frame changed from rate:%d fmt:%s ch:%d to "
                            "rate:%d fmt:%s ch:%d",
                            ist->FileIndex, st->index, ist->InitialSampleRate,
                            av_get_sample_fmt_name(ist->InitialSampleFmt), ist->InitialChannels,
                            frame->sample_rate,
                            av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format)),
                            frame->ch_layout.nb_channels);
          ist->InitialSampleRate = frame->sample_rate;
          ist->InitialSampleFmt = static_cast<AVSampleFormat>(frame->format);
          ist->InitialChannels = frame->ch_layout.nb_channels;
          ist->InitialChannelLayout = TChannelLayout(frame->ch_layout);
          for (TInputFilter* f : ist->Filters) {
            if (ConfigureFilterGraph(f->Graph) < 0)
              throw FFmpegException("Error reinitializing filters!");
            for (auto& o : f->Graph->Outputs) {
              TOutputStream* ost = o->OutputStream;
              if (ost && ost->Codec()->frame_size > 0 &&
                  !(ost->Encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE))
                av_buffersink_set_frame_size(o->Filter,
                                             static_cast<unsigned>(ost->Codec()->frame_size));
            }
          }
        }
        s.SampleRate = frame->sample_rate;
        s.SampleFmt = frame->format;
        s.Channels = frame->ch_layout.nb_channels;
      }
    } else {
      if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        frame->pts = frame->best_effort_timestamp;
        s.Pts = s.NextPts = av_rescale_q(frame->pts, st->time_base, kMicro);
      }
      s.DecodedPictures++;
      PreProcessVideo(ist, frame);
      if (frame->width != s.Width || frame->height != s.Height || frame->format != s.PixFmt) {
        const bool changed = frame->width != ist->InitialWidth ||
                             frame->height != ist->InitialHeight ||
                             frame->format != ist->InitialPixFmt;
        if (changed) {
          FFLogger().LogFmt(
              this, llInfo,
              "Input stream #%d:%d frame changed from size:%dx%d fmt:%s to size:%dx%d fmt:%s",
              ist->FileIndex, st->index, ist->InitialWidth, ist->InitialHeight,
              av_get_pix_fmt_name(ist->InitialPixFmt), frame->width, frame->height,
              av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format)));
          ist->InitialWidth = frame->width;
          ist->InitialHeight = frame->height;
          ist->InitialPixFmt = static_cast<AVPixelFormat>(frame->format);
          for (TInputFilter* f : ist->Filters)
            if (ConfigureFilterGraph(f->Graph) < 0)
              throw FFmpegException("Error reinitializing filters!");
        }
        s.Width = frame->width;
        s.Height = frame->height;
        s.PixFmt = frame->format;
      }
    }
    ret = FeedFilters(ist, frame);
    av_frame_unref(frame);
    if (ret < 0) return ret;
  }
  return 0;
}

int TCustomFFmpeg::DecodeSubtitle(TInputStream* ist, const AVPacket* pkt) {
  TInputStreamRun& s = ist->Run;
  AVCodecContext* dec = ist->DecoderContext.get();
  if (!pkt && (s.EofSent || !(dec->codec->capabilities & AV_CODEC_CAP_DELAY))) return 0;
  TPacketPtr empty;
  if (!pkt) {
    s.EofSent = true;
    empty.reset(av_packet_alloc());
  }
  for (;;) {
    AVSubtitle sub{};
    int got = 0;
    int ret = avcodec_decode_subtitle2(dec, &sub, &got, pkt ? const_cast<AVPacket*>(pkt) : empty.get());
    if (ret < 0) return ret;
    if (!got) return 0;
    try {
      for (size_t i = 0; i < OutputStreams.size(); i++) {
        TOutputStream* ost = OutputStreams[i].get();
        if (!ost->EncodingNeeded || ost->Finished || ost->SourceIndex < 0 || !ost->Run.EncoderOpen ||
            InputStreams[static_cast<size_t>(ost->SourceIndex)].get() != ist)
          continue;
        DoSubtitleOut(ost, sub);
      }
    } catch (...) {
      avsubtitle_free(&sub);
      throw;
    }
    avsubtitle_free(&sub);
    if (pkt) return 0;  // a delaying decoder gives what it holds only when drained
  }
}

void TCustomFFmpeg::DoSubtitleOut(TOutputStream* ost, const AVSubtitle& in) {
  if (in.pts == AV_NOPTS_VALUE) {
    FFLogger().Log(this, llError, "Subtitle packets must have a pts");
    if (ExitOnError) throw FFmpegException("Subtitle packets must have a pts");
    return;
  }
  AVCodecContext* enc = ost->Codec();
  const TOutputFile* of = FileOf(ost);
  const int64_t start = of->StartTime == AV_NOPTS_VALUE ? 0 : of->StartTime;
  // Output time of what is shown, in microseconds.
  AVSubtitle sub = in;
  int64_t from = in.pts - start + int64_t(in.start_display_time) * 1000;
  int64_t to = in.pts - start + int64_t(in.end_display_time) * 1000;
  if (in.end_display_time == 0 || in.end_display_time == UINT32_MAX) to = INT64_MAX;
  if (to <= 0) return;  // over before the output starts
  if (from < 0) from = 0;
  if (of->Duration != INT64_MAX) {
    if (from >= of->Duration) {
      CloseOutputStream(ost);
      return;
    }
    to = std::min(to, of->Duration);
  }
  TOutputStreamRun& os = ost->Run;
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int parts = dvb ? 2 : 1;  // DVB: one packet draws, a second one clears
  const uint32_t shown =
      to == INT64_MAX ? UINT32_MAX : static_cast<uint32_t>((to - from + 999) / 1000);
  if (FSubtitleBuffer.empty()) FSubtitleBuffer.resize(1024 * 1024);
  for (int part = 0; part < parts; part++) {
    sub.pts = from;
    sub.start_display_time = 0;
    sub.end_display_time = shown;
    if (part == 1) sub.num_rects = 0;
    os.Sync = av_rescale_q(from, kMicro, enc->time_base);
    const int size = avcodec_encode_subtitle(enc, FSubtitleBuffer.data(),
                                             static_cast<int>(FSubtitleBuffer.size()), &sub);
    if (size < 0) throw FFmpegException("Subtitle encoding failed");
    AVPacket* pkt = FOutPacket.get();
    if (av_new_packet(pkt, size) < 0) throw FFmpegException("av_malloc failed");
    std::memcpy(pkt->data, FSubtitleBuffer.data(), static_cast<size_t>(size));
    const AVRational tb = ost->Stream->time_base;
    pkt->pts = av_rescale_q(from, kMicro, tb);
    if (shown != UINT32_MAX) pkt->duration = av_rescale_q(shown, AVRational{1, 1000}, tb);
    if (dvb && part == 1 && shown != UINT32_MAX)
      pkt->pts += av_rescale_q(shown, AVRational{1, 1000}, tb);
    pkt->dts = pkt->pts;
    SubtitleSize += size;
    WritePacket(ost, pkt);
  }
}

int TCustomFFmpeg::FeedFilters(TInputStream* ist, AVFrame* frame) {
  for (TInputFilter* f : ist->Filters) {
    if (!f->Filter) continue;
    int ret = av_buffersrc_add_frame_flags(f->Filter, frame,
                                           AV_BUFFERSRC_FLAG_PUSH | AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret == AVERROR_EOF) continue;  // that graph is done
    if (ret < 0) throw FFmpegException("Failed to inject frame into filter network");
  }
  return 0;
}

int TCustomFFmpeg::CloseFilterInputs(TInputStream* ist) {
  TInputStreamRun& s = ist->Run;
  if (s.FiltersClosed) return 0;
  s.FiltersClosed = true;
  for (TInputFilter* f : ist->Filters)
    if (f->Filter && av_buffersrc_add_frame_flags(f->Filter, nullptr, AV_BUFFERSRC_FLAG_PUSH) < 0)
      FFLogger().Log(this, llVerbose, "Filter input already ended");
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Filter output and encoding

int TCustomFFmpeg::ReapFilters(bool flush) {
  AVFrame* frame = FFiltered.get();
  for (size_t i = FActiveFirst; i < FActiveEnd && i < OutputStreams.size(); i++) {
    TOutputStream* ost = OutputStreams[i].get();
    if (!ost->Filter || !ost->Filter->Filter) continue;
    AVFilterContext* sink = ost->Filter->Filter;
    const TOutputFile* of = FileOf(ost);
    AVCodecContext* enc = ost->Codec();
    for (;;) {
      int ret = av_buffersink_get_frame_flags(sink, frame, flush ? 0 : AV_BUFFERSINK_FLAG_NO_REQUEST);
      if (ret < 0) {
        if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
          FFLogger().Log(this, llWarning, ErrorText("Error in av_buffersink_get_buffer_ref()", ret));
        break;
      }
      if (ost->Finished || !ost->Run.EncoderOpen) {
        av_frame_unref(frame);
        continue;
      }
      const AVRational tb = av_buffersink_get_time_base(sink);
      double floatPts = AV_NOPTS_VALUE;
      if (frame->pts != AV_NOPTS_VALUE) {
        // Nothing before the output's start time is encoded.
        if (of->StartTime && av_compare_ts(frame->pts, tb, of->StartTime, kMicro) < 0) {
          av_frame_unref(frame);
          continue;
        }
        const int64_t start = of->StartTime == AV_NOPTS_VALUE ? 0 : of->StartTime;
        floatPts = frame->pts * av_q2d(tb) / av_q2d(enc->time_base) -
                   static_cast<double>(av_rescale_q(start, kMicro, enc->time_base));
        frame->pts = av_rescale_q(frame->pts, tb, enc->time_base) -
                     av_rescale_q(start, kMicro, enc->time_base);
      }
      if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
        frame->opaque = nullptr;
        // The exact picture time rides along for the frame-rate conversion.
        if (frame->pts != AV_NOPTS_VALUE) frame->pts = std::llround(floatPts);
        DoVideoOut(ost, frame);
      } else {
        DoAudioOut(ost, frame);
      }
      av_frame_unref(frame);
    }
  }
  return 0;
}

bool TCustomFFmpeg::CheckRecordingTime(TOutputStream* ost) {
  const TOutputFile* of = FileOf(ost);
  if (of->Duration != INT64_MAX &&
      av_compare_ts(ost->Run.Sync, ost->Codec()->time_base, of->Duration, kMicro) >= 0) {
    CloseOutputStream(ost);
    return false;
  }
  return true;
}

void TCustomFFmpeg::CloseOutputStream(TOutputStream* ost) {
  ost->Finished = 1;
}

void TCustomFFmpeg::DoVideoOut(TOutputStream* ost, AVFrame* frame) {
  TOutputStreamRun& os = ost->Run;
  AVCodecContext* enc = ost->Codec();
  int64_t nb = 1;
  if (frame->pts != AV_NOPTS_VALUE) {
    const double pts = static_cast<double>(frame->pts);
    const double duration = 1.0;  // one tick: the encoder time base is the frame period
    const double delta = pts - static_cast<double>(os.Sync) + duration;
    switch (os.VSync) {
      case vsCfr:
        if (delta < -1.1)
          nb = 0;
        else if (delta > 1.1)
          nb = std::llround(delta);
        break;
      case vsVfr:
        if (delta <= -0.6)
          nb = 0;
        else if (delta > 0.6)
          os.Sync = std::llround(pts);
        break;
      case vsPassThrough:
      case vsDrop:
        os.Sync = std::llround(pts);
        break;
      default:
        throw FFmpegException("Never occur");
    }
  }
  nb = std::min(nb, ost->MaxFrames - os.FrameCount);
  if (nb <= 0) {
    DropFrames++;
    FDupDropNew = true;
    FFLogger().Log(this, llVerbose, "*** drop!");
    return;
  }
  if (nb > 1) {
    if (nb > 30 * static_cast<int64_t>(DtsErrorThreshold)) {
      FFLogger().LogFmt(this, llError, "%" PRId64 " frame duplication too large, skipping",
                        nb - 1);
      DropFrames++;
      return;
    }
    DupFrames += static_cast<int>(nb - 1);
    FDupDropNew = true;
    FFLogger().LogFmt(this, llVerbose, "*** %d dup!", static_cast<int>(nb - 1));
  }
  for (int64_t k = 0; k < nb && !Broken; k++) {
    frame->pts = os.Sync;
    if (!CheckRecordingTime(ost)) return;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->key_frame = 0;
    // A fixed quantizer reaches the encoder with each picture.
    frame->quality = enc->global_quality;
    bool forced = false;
    const double ptsTime = frame->pts * av_q2d(enc->time_base);
    if (os.ForcedIndex < os.ForcedKeyFrames.size() &&
        frame->pts >= os.ForcedKeyFrames[os.ForcedIndex]) {
      while (os.ForcedIndex < os.ForcedKeyFrames.size() &&
             os.ForcedKeyFrames[os.ForcedIndex] <= frame->pts)
        os.ForcedIndex++;
      forced = true;
    } else if (os.ForcedExpr) {
      double* v = os.ForcedVars;  // n, n_forced, prev_forced_n, prev_forced_t, t
      v[4] = ptsTime;
      const double res = av_expr_eval(os.ForcedExpr.get(), v, nullptr);
      FFLogger().LogFmt(this, llDebug,
                        "force_key_frame: n:%f n_forced:%f prev_forced_n:%f t:%f "
                        "prev_forced_t:%f -> res:%f",
                        v[0], v[1], v[2], v[4], v[3], res);
      if (res) {
        forced = true;
        v[2] = v[0];
        v[3] = v[4];
        v[1] += 1;
      }
      v[0] += 1;
    }
    if (forced) {
      frame->pict_type = AV_PICTURE_TYPE_I;
      FFLogger().LogFmt(this, llDebug, "Forced keyframe at time %f", ptsTime);
    }
    const int number = static_cast<int>(os.FrameCount + 1);
    const int64_t ptsUs = av_rescale_q(os.Sync, enc->time_base, kMicro);
    AVFrame* pic = OutputHooks(frame, number, ptsUs);
    if (FPreviewFlags) DoPreview(pic, number, ptsUs);
    EncodeAndWrite(ost, pic);
    if (pic != frame) av_frame_unref(pic);
    os.Sync++;
    os.FrameCount++;
  }
}

void TCustomFFmpeg::DoAudioOut(TOutputStream* ost, AVFrame* frame) {
  TOutputStreamRun& os = ost->Run;
  if (!CheckRecordingTime(ost)) return;
  if (frame->pts == AV_NOPTS_VALUE || AudioSyncMethod < 0) frame->pts = os.Sync;
  os.Sync = frame->pts + frame->nb_samples;
  const AVCodecContext* enc = ost->Codec();
  RunAudioHook(true, frame, enc->ch_layout.nb_channels, enc->sample_rate,
               av_rescale_q(frame->pts, enc->time_base, kMicro));
  EncodeAndWrite(ost, frame);
}

void TCustomFFmpeg::EncodeAndWrite(TOutputStream* ost, AVFrame* frame) {
  AVCodecContext* enc = ost->Codec();
  TOutputStreamRun& os = ost->Run;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  int ret = avcodec_send_frame(enc, frame);
  if (ret < 0 && ret != AVERROR_EOF)
    throw FFmpegException(video ? "Video encoding failed"
                                : "Audio encoding failed (avcodec_encode_audio2)");
  for (;;) {
    AVPacket* pkt = FOutPacket.get();
    ret = avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0)
      throw FFmpegException(video ? "Video encoding failed"
                                  : "Audio encoding failed (avcodec_encode_audio2)");
    if (video) {
      if (pkt->pts == AV_NOPTS_VALUE && !(ost->Encoder->capabilities & AV_CODEC_CAP_DELAY))
        pkt->pts = os.Sync;
      size_t size = 0;
      if (const uint8_t* q = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &size);
          q && size >= 4)
        os.Quality = static_cast<float>(AV_RL32(q)) / FF_QP2LAMBDA;
    }
    av_packet_rescale_ts(pkt, enc->time_base, ost->Stream->time_base);
    (video ? VideoSize : AudioSize) += pkt->size;
    WritePassStats(ost);
    if (video) WriteVideoStats(ost, pkt);
    WritePacket(ost, pkt);
  }
}

// ---------------------------------------------------------------------------------------------
// Stream copy and the write step

void TCustomFFmpeg::DoStreamCopy(TInputStream* ist, TOutputStream* ost, const AVPacket* in) {
  TOutputStreamRun& os = ost->Run;
  const TInputStreamRun& s = ist->Run;
  const TOutputFile* of = FileOf(ost);
  const AVRational itb = ist->Stream->time_base;
  const AVRational otb = ost->Stream->time_base;
  const int64_t start = of->StartTime == AV_NOPTS_VALUE ? 0 : of->StartTime;
  const int64_t startOffset = av_rescale_q(start, kMicro, otb);
  if (!os.FirstWritten) {
    if (!(in->flags & AV_PKT_FLAG_KEY) && !ost->CopyInitialNonKeyframes) return;
    if (start && s.Pts < start && ost->CopyPriorStart <= 0) return;
  }
  if (of->Duration != INT64_MAX && s.Pts >= start + of->Duration) {
    CloseOutputStream(ost);
    return;
  }
  const AVMediaType type = ost->Stream->codecpar->codec_type;
  AVPacket* pkt = FOutPacket.get();
  if (av_packet_ref(pkt, in) < 0) throw FFmpegException("av_mallocz() failed");
  if (type == AVMEDIA_TYPE_AUDIO)
    AudioSize += pkt->size;
  else if (type == AVMEDIA_TYPE_VIDEO) {
    VideoSize += pkt->size;
    os.Sync++;
  } else if (type == AVMEDIA_TYPE_SUBTITLE)
    SubtitleSize += pkt->size;
  pkt->pts = in->pts != AV_NOPTS_VALUE ? av_rescale_q(in->pts, itb, otb) - startOffset
                                       : AV_NOPTS_VALUE;
  pkt->dts = (in->dts != AV_NOPTS_VALUE ? av_rescale_q(in->dts, itb, otb)
                                        : av_rescale_q(s.Dts, kMicro, otb)) -
             startOffset;
  if (type == AVMEDIA_TYPE_AUDIO && in->dts != AV_NOPTS_VALUE) {
    const AVCodecParameters* par = ist->Stream->codecpar;
    int duration = av_get_audio_frame_duration2(ist->Stream->codecpar, in->size);
    if (duration <= 0) duration = par->frame_size;
    if (par->sample_rate > 0 && duration > 0) {
      pkt->dts = pkt->pts = av_rescale_delta(itb, in->dts, AVRational{1, par->sample_rate},
                                             duration, &os.CopyRescaleDelta, otb) -
                            startOffset;
    }
  }
  pkt->duration = av_rescale_q(in->duration, itb, otb);
  if (os.LastCopyDts != AV_NOPTS_VALUE && pkt->dts <= os.LastCopyDts)
    pkt->dts = os.LastCopyDts + 1;
  if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
  os.LastCopyDts = pkt->dts;
  os.FirstWritten = true;
  WritePacket(ost, pkt);
}

void TCustomFFmpeg::WritePacket(TOutputStream* ost, AVPacket* pkt) {
  TOutputStreamRun& os = ost->Run;
  AVFormatContext* oc = FileOf(ost)->FormatContext();
  TOutputContainer* c = FileOf(ost)->Container.get();
  const AVMediaType type = ost->Stream->codecpar->codec_type;
  if ((type == AVMEDIA_TYPE_VIDEO && os.VSync == vsDrop && !ost->StreamCopy) ||
      (type == AVMEDIA_TYPE_AUDIO && AudioSyncMethod < 0))
    pkt->pts = pkt->dts = AV_NOPTS_VALUE;
  if ((type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO) && pkt->dts != AV_NOPTS_VALUE &&
      os.LastMuxDts != AV_NOPTS_VALUE) {
    const int64_t max = os.LastMuxDts + !(oc->oformat->flags & AVFMT_TS_NONSTRICT);
    if (pkt->dts < max) {
      const int level =
          type == AVMEDIA_TYPE_AUDIO && max - pkt->dts <= 2 ? AV_LOG_DEBUG : AV_LOG_WARNING;
      av_log(oc, level, "st:%d PTS: %" PRId64 " DTS: %" PRId64 " < %" PRId64 " invalid, clipping\n",
             ost->Stream->index, pkt->pts, pkt->dts, max);
      if (pkt->pts >= pkt->dts) pkt->pts = std::max(pkt->pts, max);
      pkt->dts = max;
    }
  }
  if (!(type == AVMEDIA_TYPE_VIDEO && ost->EncodingNeeded)) {
    if (os.FrameCount >= ost->MaxFrames) {
      av_packet_unref(pkt);
      return;
    }
    os.FrameCount++;
  }
  if (pkt->dts != AV_NOPTS_VALUE) os.LastMuxDts = pkt->dts;
  else if (pkt->pts != AV_NOPTS_VALUE) os.LastMuxDts = pkt->pts;
  // Where the stream ends so far: a joined input's times go on from the latest end.
  if (pkt->pts != AV_NOPTS_VALUE || pkt->dts != AV_NOPTS_VALUE) {
    int64_t end = std::max(pkt->pts == AV_NOPTS_VALUE ? INT64_MIN : pkt->pts,
                           pkt->dts == AV_NOPTS_VALUE ? INT64_MIN : pkt->dts);
    int64_t endUs = av_rescale_q(end, ost->Stream->time_base, kMicro);
    if (pkt->duration > 0)
      endUs += av_rescale_q(pkt->duration, ost->Stream->time_base, kMicro);
    else if (type == AVMEDIA_TYPE_VIDEO && ost->FrameRate.num > 0 && ost->FrameRate.den > 0)
      endUs += av_rescale_q(1, av_inv_q(ost->FrameRate), kMicro);
    if (os.MuxEndUs == AV_NOPTS_VALUE || endUs > os.MuxEndUs) os.MuxEndUs = endUs;
  }

  auto write = [&](AVPacket* p) {
    p->stream_index = ost->Stream->index;
    // Joined entries share the first entry's container.
    OutputFiles[Joined ? 0 : static_cast<size_t>(ost->FileIndex)]->PacketsWritten++;
    WriteStart = av_gettime_relative();
    int ret;
    if (c->RawMuxer) {
      ret = c->RawContext ? RawMuxerWritePacket(*c->RawContext, p) : AVERROR(EINVAL);
      av_packet_unref(p);
    } else {
      ret = av_interleaved_write_frame(oc, p);
      // Buffered writes fail later than the packet that filled the buffer.
      if (ret >= 0 && oc->pb && oc->pb->error < 0) ret = oc->pb->error;
      if (ret >= 0 && oc->pb && c->SafeFile.Replaces() &&
          avio_tell(oc->pb) - c->WriteBackAt >= kWriteBackStep) {
        c->WriteBackAt = avio_tell(oc->pb);
        c->SafeFile.StartWriteBack();
      }
    }
    WriteStart = kNotTiming;
    if (ret < 0)
      throw FFmpegException(ErrorText("av_interleaved_write_frame()", ret) + ". " + kHint);
  };
  if (!ost->BitstreamFilters || ost->BitstreamFilters->empty()) {
    write(pkt);
    return;
  }
  // Through the bitstream filters in order; each may give zero or more packets.
  std::vector<TPacketPtr> queue;
  queue.emplace_back(av_packet_alloc());
  av_packet_move_ref(queue.back().get(), pkt);
  for (auto& b : *ost->BitstreamFilters) {
    std::vector<TPacketPtr> next;
    for (auto& p : queue) {
      int ret = av_bsf_send_packet(b.get(), p.get());
      for (;;) {
        if (ret < 0) break;
        TPacketPtr out(av_packet_alloc());
        ret = av_bsf_receive_packet(b.get(), out.get());
        if (ret < 0) break;
        next.push_back(std::move(out));
      }
      if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
        std::string msg = FormatText("Failed to open bitstream filter %s for stream %d with codec %s",
                              b->filter->name, ost->Stream->index,
                              ost->Encoder ? ost->Encoder->name : "copy");
        FFLogger().Log(this, llError, ErrorText(msg, ret));
        if (ExitOnError) throw FFmpegException(msg);
      }
    }
    queue = std::move(next);
  }
  for (auto& p : queue) write(p.get());
}
