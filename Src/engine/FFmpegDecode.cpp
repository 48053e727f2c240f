// Decoding. Owns the input streams' decoders (opening them), the timestamp prediction of each
// input packet, the decoding of sound, pictures and subtitles with the detection of changed
// frame parameters (which rebuilds the graphs). Decoded frames go to the filter stage; packets
// of copied streams go to the output stage's DoStreamCopy, subtitles to the encode stage.
#include <algorithm>
#include <cstring>

#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavutil/pixdesc.h>
}

namespace {
// Errors a draining decoder may give before it counts as done: each frame it still holds can
// give one, and a decoder that never ends its draining must not hold the run.
constexpr int kMaxDrainErrors = 64;
}  // namespace

int TCustomFFmpeg::OpenDecoders() {
  for (size_t i = 0; i < InputStreams.size(); i++)
    if (int ret = OpenDecoder(i); ret < 0) return ret;
  return 0;
}

int TCustomFFmpeg::OpenDecoder(size_t i) {
  {
    TInputStream* ist = InputStreams[i].get();
    if (!ist->DecodingNeeded || ist->Run.DecoderOpen) return 0;
    if (!ist->Decoder) {
      FLastErrMsg = FormatText("Decoder (codec %s) not found for input stream #%d:%d",
                        avcodec_get_name(ist->Stream->codecpar->codec_id), ist->FileIndex,
                        ist->Stream->index);
      return AVERROR(EINVAL);
    }
    if (!ist->DecoderOptions.Value("threads")) ist->DecoderOptions.Set("threads", "auto");
    TAVDictionary opts;
    opts.CopyFrom(ist->DecoderOptions.Get());
    int ret = avcodec_open2(ist->DecoderContext.get(), ist->Decoder, opts.Ref());
    if (ret < 0) {
      if (ret == AVERROR_EXPERIMENTAL) AbortCodecExperimental(ist->DecoderContext.get());
      FLastErrMsg =
          FormatText("Error while opening decoder for input stream #%d:%d", ist->FileIndex,
              ist->Stream->index);
      return ret;
    }
    ist->Run.DecoderOpen = true;
    CheckUnconsumedOptions(opts.Get());
  }
  return 0;
}

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
  int drainErrors = 0;
  AVFrame* frame = FFrame.get();
  for (;;) {
    ret = avcodec_receive_frame(dec, frame);
    if (ret == AVERROR(EAGAIN)) break;
    if (ret == AVERROR_EOF) {
      CloseFilterInputs(ist);
      break;
    }
    if (ret < 0 && draining) {
      // A damaged frame the decoder held back: the frames after it still come out, and the
      // graphs get their end however the draining ends.
      FFLogger().LogFmt(this, llWarning, "Error while draining stream #%d:%d: %s",
                        ist->FileIndex, st->index, ErrorText(ret).c_str());
      if (++drainErrors < kMaxDrainErrors) continue;
      CloseFilterInputs(ist);
      return ret;
    }
    if (ret < 0) return ret;
    if (++frames == 2 && pkt) {
      FFLogger().LogFmt(this, s.MultiWarned ? llVerbose : llWarning,
                        "Multiple frames in a packet from stream %d", pkt->stream_index);
      s.MultiWarned = true;
    }
    *gotAny = true;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      if ((ret = DecodedAudio(ist, frame)) < 0) return ret;
    } else {
      DecodedPicture(ist, frame);
    }
    ret = FeedFilters(ist, frame);
    av_frame_unref(frame);
    if (ret < 0) return ret;
  }
  return 0;
}

// A decoded sound frame: its times, the audio input hook, and a graph rebuilt when the
// frame's parameters change.
int TCustomFFmpeg::DecodedAudio(TInputStream* ist, AVFrame* frame) {
  TInputStreamRun& s = ist->Run;
  AVStream* st = ist->Stream;
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
  GuessFrameChannelLayout(ist, frame);
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
  return 0;
}

void TCustomFFmpeg::GuessFrameChannelLayout(TInputStream* ist, AVFrame* frame) {
  if (frame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) return;
  const int channels = frame->ch_layout.nb_channels;
  AVChannelLayout guess{};
  if (channels > 0 && channels <= ist->GuessLayoutMax) av_channel_layout_default(&guess, channels);
  if (guess.order != AV_CHANNEL_ORDER_NATIVE) {
    av_channel_layout_uninit(&guess);
    throw FFmpegException(FormatText("Unable to find default channel layout for Input Stream #%d.%d",
                                     ist->FileIndex, ist->Stream->index));
  }
  av_channel_layout_uninit(&frame->ch_layout);
  frame->ch_layout = guess;
}

// A decoded picture: its time, the input-side pre-processing, and the graphs rebuilt when its
// size or format changes.
void TCustomFFmpeg::DecodedPicture(TInputStream* ist, AVFrame* frame) {
  TInputStreamRun& s = ist->Run;
  AVStream* st = ist->Stream;
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

int TCustomFFmpeg::DecodeSubtitle(TInputStream* ist, const AVPacket* pkt) {
  TInputStreamRun& s = ist->Run;
  AVCodecContext* dec = ist->DecoderContext.get();
  if (!pkt && (s.EofSent || !(dec->codec->capabilities & AV_CODEC_CAP_DELAY))) {
    PassHeldSubtitle(ist, nullptr);
    return 0;
  }
  TPacketPtr empty;
  if (!pkt) {
    s.EofSent = true;
    empty.reset(av_packet_alloc());
  }
  for (;;) {
    auto sub = std::make_shared<THeldSubtitle>();
    int got = 0;
    int ret = avcodec_decode_subtitle2(dec, &sub->Sub, &got, pkt ? const_cast<AVPacket*>(pkt) : empty.get());
    if (ret < 0) return ret;
    if (!got) {
      if (!pkt) PassHeldSubtitle(ist, nullptr);
      return 0;
    }
    if (ist->FixSubDuration)
      PassHeldSubtitle(ist, std::move(sub));
    else
      SubtitleToOutputs(ist, sub->Sub);
    if (pkt) return 0;  // a delaying decoder gives what it holds only when drained
  }
}

void TCustomFFmpeg::SubtitleToOutputs(TInputStream* ist, const AVSubtitle& sub) {
  for (size_t i = 0; i < OutputStreams.size(); i++) {
    TOutputStream* ost = OutputStreams[i].get();
    if (!ost->EncodingNeeded || ost->Finished || ost->SourceIndex < 0 || !ost->Run.EncoderOpen ||
        InputStreams[static_cast<size_t>(ost->SourceIndex)].get() != ist)
      continue;
    DoSubtitleOut(ost, sub);
  }
}

// A subtitle lasts at most until the next one starts.
void TCustomFFmpeg::PassHeldSubtitle(TInputStream* ist, std::shared_ptr<THeldSubtitle> sub) {
  std::shared_ptr<THeldSubtitle> held = std::move(ist->Run.HeldSubtitle);
  ist->Run.HeldSubtitle = std::move(sub);
  if (!held) return;
  const AVSubtitle* next = ist->Run.HeldSubtitle ? &ist->Run.HeldSubtitle->Sub : nullptr;
  if (next && next->pts != AV_NOPTS_VALUE && held->Sub.pts != AV_NOPTS_VALUE) {
    const int64_t end = av_rescale(next->pts - held->Sub.pts, 1000, AV_TIME_BASE);
    if (end < held->Sub.end_display_time) {
      FFLogger().LogFmt(this, llDebug, "Subtitle duration reduced from %d to %d",
                        static_cast<int>(held->Sub.end_display_time), static_cast<int>(end));
      held->Sub.end_display_time = static_cast<uint32_t>(std::max<int64_t>(end, 0));
    }
  }
  SubtitleToOutputs(ist, held->Sub);
}
