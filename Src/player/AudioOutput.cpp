// Sound: the SDL audio device, the callback that refills it from the audio decoder through the
// resampler, and the audio clock it keeps.
#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "player/PlayCore.h"

namespace playcore {

int TPlayCore::OpenAudio(AVChannelLayout* layout, int rate) {
  static const int nextChannels[] = {0, 0, 1, 6, 2, 6, 4, 6};
  if (const char* env = SDL_getenv("SDL_AUDIO_CHANNELS")) {
    av_channel_layout_uninit(layout);
    av_channel_layout_default(layout, std::atoi(env));
  }
  if (layout->order != AV_CHANNEL_ORDER_NATIVE) {
    const int n = layout->nb_channels;
    av_channel_layout_uninit(layout);
    av_channel_layout_default(layout, n);
  }
  int channels = layout->nb_channels;
  if (rate <= 0 || channels <= 0) {
    FHost.CoreError("Invalid sample rate or channel count!");
    return -1;
  }
  SDL_AudioSpec wanted{}, got{};
  wanted.freq = rate;
  wanted.format = AUDIO_S16SYS;
  wanted.samples = AudioBufferSamples;
  wanted.callback = AudioCallback;
  wanted.userdata = this;
  for (;;) {
    wanted.channels = static_cast<Uint8>(channels);
    FAudioDev = SDL_OpenAudioDevice(nullptr, 0, &wanted, &got,
                                    SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
    if (FAudioDev) break;
    char msg[256];
    std::snprintf(msg, sizeof msg, "SDL_OpenAudio (%d channels): %s", channels, SDL_GetError());
    FHost.CoreLog(llWarning, msg);
    channels = nextChannels[std::min(7, channels)];
    if (!channels) {
      FHost.CoreError("No more channel combinations to try, audio open failed");
      return -1;
    }
  }
  if (got.format != AUDIO_S16SYS) {
    char msg[128];
    std::snprintf(msg, sizeof msg, "SDL advised audio format %d is not supported!", got.format);
    FHost.CoreError(msg);
    SDL_CloseAudioDevice(FAudioDev);
    FAudioDev = 0;
    return -1;
  }
  av_channel_layout_uninit(&FAudioTgt.Layout);
  av_channel_layout_default(&FAudioTgt.Layout, got.channels);
  if (!av_channel_layout_check(&FAudioTgt.Layout) || got.channels <= 0) {
    char msg[128];
    std::snprintf(msg, sizeof msg, "SDL advised channel count %d is not supported!", got.channels);
    FHost.CoreError(msg);
    SDL_CloseAudioDevice(FAudioDev);
    FAudioDev = 0;
    return -1;
  }
  FAudioTgt.Fmt = AV_SAMPLE_FMT_S16;
  FAudioTgt.Freq = got.freq;
  FAudioTgt.FrameSize = av_samples_get_buffer_size(nullptr, got.channels, 1, AV_SAMPLE_FMT_S16, 1);
  FAudioTgt.BytesPerSec = av_samples_get_buffer_size(nullptr, got.channels, got.freq, AV_SAMPLE_FMT_S16, 1);
  return static_cast<int>(got.size);
}

void TPlayCore::AudioCallback(void* opaque, uint8_t* stream, int len) {
  static_cast<TPlayCore*>(opaque)->FillAudio(stream, len);
}

void TPlayCore::FillAudio(uint8_t* stream, int len) {
  // The stream's state is complete only once the reading thread says so.
  if (!FAudioReady.load(std::memory_order_acquire)) {
    std::memset(stream, 0, static_cast<size_t>(len));
    return;
  }
  FAudioCallbackTime = Now();
  const bool mute = FSettings.Mute && FSettings.Mute->load();
  const int volume = FSettings.Volume ? FSettings.Volume->load() : SDL_MIX_MAXVOLUME;
  while (len > 0) {
    if (FAudioBufIndex >= FAudioBuf.size()) {
      if (DecodeAudioBlock() < 0) {
        // Nothing to play now: a little silence, whole frames of it.
        const int frame = std::max(FAudioTgt.FrameSize, 1);
        FAudioBuf.assign(static_cast<size_t>(SilenceBytes / frame * frame), 0);
      }
      FAudioBufIndex = 0;
    }
    const int n = std::min<int>(len, static_cast<int>(FAudioBuf.size() - FAudioBufIndex));
    const uint8_t* src = FAudioBuf.data() + FAudioBufIndex;
    if (mute || volume <= 0) {
      std::memset(stream, 0, static_cast<size_t>(n));
    } else if (volume >= SDL_MIX_MAXVOLUME) {
      std::memcpy(stream, src, static_cast<size_t>(n));
    } else {
      std::memset(stream, 0, static_cast<size_t>(n));
      SDL_MixAudioFormat(stream, src, AUDIO_S16SYS, static_cast<Uint32>(n), volume);
    }
    len -= n;
    stream += n;
    FAudioBufIndex += static_cast<size_t>(n);
  }
  const double unplayed = static_cast<double>(FAudioBuf.size() - FAudioBufIndex);
  if (!std::isnan(FAudioClockPts) && FAudioTgt.BytesPerSec > 0) {
    FAudClk.SetAt(FAudioClockPts - (2.0 * FAudioHwBufSize + unplayed) / FAudioTgt.BytesPerSec, FAudioClockSerial,
                  FAudioCallbackTime);
    FExtClk.SyncTo(FAudClk);
  }
}

int TPlayCore::SynchronizeAudio(int samples) {
  int wanted = samples;
  if (MasterSyncType() == stAudioMaster) return wanted;
  const double diff = FAudClk.Get() - MasterClock();
  if (std::isnan(diff) || std::fabs(diff) >= NoSyncThreshold) {
    FAudioDiffAvgCount = 0;
    FAudioDiffCum = 0;
    return wanted;
  }
  FAudioDiffCum = diff + FAudioDiffAvgCoef * FAudioDiffCum;
  if (FAudioDiffAvgCount < AudioDiffAvgCount) {
    ++FAudioDiffAvgCount;
    return wanted;
  }
  const double avg = FAudioDiffCum * (1.0 - FAudioDiffAvgCoef);
  if (std::fabs(avg) >= FAudioDiffThreshold) {
    wanted = samples + static_cast<int>(diff * FAudioSrc.Freq);
    const int lo = samples * (100 - SampleCorrectionPercent) / 100;
    const int hi = samples * (100 + SampleCorrectionPercent) / 100;
    wanted = std::clamp(wanted, lo, hi);
  }
  return wanted;
}

int TPlayCore::DecodeAudioBlock() {
  if (FPaused.load() || FAudioQ.Aborted()) return -1;
  // After a seek the sound waits for the first picture at the new place (a second at most),
  // so that picture and sound start together instead of the picture chasing the sound.
  if (FHoldAudio.load()) {
    if (FVideoStream >= 0 && !FShownSinceSeek.load() && Now() < FHoldAudioUntil.load()) return -1;
    FHoldAudio = false;
  }
  AVCodecContext* ctx = FAudioCtx.get();
  AVFrame* frame = FAudioFrame.get();
  for (;;) {
    int r = avcodec_receive_frame(ctx, frame);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) {
      if (r == AVERROR_EOF) FAudioDraining = true;
      bool flush = false;
      int serial = 0;
      const int got = FAudioQ.Get(FAudioPkt, &flush, &serial, false);
      if (got <= 0) return -1;
      if (flush) {
        avcodec_flush_buffers(ctx);
        FAudioClockPts = NAN;
        FAudioDraining = false;
        FAudioPktSerial = serial;
        continue;
      }
      FAudioPktSerial = serial;
      if (FAudioDraining) continue;
      const bool last = !FAudioPkt->data;
      r = avcodec_send_packet(ctx, last ? nullptr : FAudioPkt.get());
      if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF) FHost.CoreLog(llInfo, "avcodec_decode_audio3() failed");
      continue;
    }
    if (r < 0) {
      FHost.CoreLog(llInfo, "avcodec_decode_audio3() failed");
      return -1;
    }

    // One decoded frame: its layout, the sample count synchronisation wants, the conversion.
    AVChannelLayout layout{};
    if (frame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && frame->ch_layout.nb_channels > 0)
      av_channel_layout_copy(&layout, &frame->ch_layout);
    else
      av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(frame->format);
    const int wanted = SynchronizeAudio(frame->nb_samples);
    if (fmt != FAudioSrc.Fmt || av_channel_layout_compare(&layout, &FAudioSrc.Layout) ||
        frame->sample_rate != FAudioSrc.Freq || (wanted != frame->nb_samples && !FSwr)) {
      FSwr.reset();
      SwrContext* s = nullptr;
      if (swr_alloc_set_opts2(&s, &FAudioTgt.Layout, FAudioTgt.Fmt, FAudioTgt.Freq, &layout, fmt, frame->sample_rate,
                              0, nullptr) < 0 ||
          swr_init(s) < 0) {
        swr_free(&s);
        char msg[256];
        std::snprintf(msg, sizeof msg,
                      "Cannot create sample rate converter for conversion of %d Hz %s %d channels to %d Hz %s %d "
                      "channels!",
                      frame->sample_rate, av_get_sample_fmt_name(fmt), layout.nb_channels, FAudioTgt.Freq,
                      av_get_sample_fmt_name(FAudioTgt.Fmt), FAudioTgt.Layout.nb_channels);
        FHost.CoreError(msg);
        av_channel_layout_uninit(&layout);
        av_frame_unref(frame);
        return -1;
      }
      FSwr.reset(s);
      FAudioSrc.Fmt = fmt;
      FAudioSrc.Freq = frame->sample_rate;
      av_channel_layout_uninit(&FAudioSrc.Layout);
      av_channel_layout_copy(&FAudioSrc.Layout, &layout);
    }
    av_channel_layout_uninit(&layout);

    const uint8_t* data = nullptr;
    int size = 0;
    if (FSwr) {
      const int outCount = static_cast<int>(static_cast<int64_t>(wanted) * FAudioTgt.Freq / frame->sample_rate + 256);
      const int outSize = av_samples_get_buffer_size(nullptr, FAudioTgt.Layout.nb_channels, outCount, FAudioTgt.Fmt, 0);
      if (outSize < 0) {
        av_frame_unref(frame);
        return -1;
      }
      if (wanted != frame->nb_samples &&
          swr_set_compensation(FSwr.get(),
                               static_cast<int>(static_cast<int64_t>(wanted - frame->nb_samples) * FAudioTgt.Freq /
                                                frame->sample_rate),
                               static_cast<int>(static_cast<int64_t>(wanted) * FAudioTgt.Freq / frame->sample_rate)) < 0) {
        FHost.CoreError("swr_set_compensation() failed");
        av_frame_unref(frame);
        return -1;
      }
      uint8_t* buf = FResampleBuf.release();
      av_fast_malloc(&buf, &FResampleBufSize, static_cast<size_t>(outSize));
      FResampleBuf.reset(buf);
      if (!buf) {
        FHost.CoreError("av_fast_malloc() failed");
        av_frame_unref(frame);
        return -1;
      }
      uint8_t* out = buf;
      const int n = swr_convert(FSwr.get(), &out, outCount, const_cast<const uint8_t**>(frame->extended_data),
                                frame->nb_samples);
      if (n < 0) {
        FHost.CoreError("swr_convert() failed");
        av_frame_unref(frame);
        return -1;
      }
      if (n == outCount) {
        FHost.CoreLog(llWarning, "warning: audio buffer is probably too small");
        if (swr_init(FSwr.get()) < 0) FSwr.reset();
      }
      data = buf;
      size = n * FAudioTgt.FrameSize;
    } else {
      data = frame->data[0];
      size = av_samples_get_buffer_size(nullptr, frame->ch_layout.nb_channels, frame->nb_samples, fmt, 1);
    }

    // The block's time is the clock before it; the clock then moves to its end.
    const double blockDuration = static_cast<double>(frame->nb_samples) / frame->sample_rate;
    if (frame->pts != AV_NOPTS_VALUE)
      FAudioClockPts = frame->pts * av_q2d(FAudioCtx->pkt_timebase) + blockDuration;
    else if (!std::isnan(FAudioClockPts))
      FAudioClockPts += blockDuration;
    FAudioClockSerial = FAudioPktSerial;
    const double blockStart = FAudioClockPts - blockDuration;
    av_frame_unref(frame);

    // After a seek, sound before the target is not played.
    const double skip = FSkipAudio.load();
    if (!std::isnan(skip) && !std::isnan(blockStart) && FAudioClockSerial == FAudioQ.Serial()) {
      if (FAudioClockPts <= skip) continue;
      if (blockStart < skip) {
        const int cut = static_cast<int>((skip - blockStart) * FAudioTgt.Freq) * FAudioTgt.FrameSize;
        if (cut > 0 && cut < size) {
          data += cut;
          size -= cut;
        }
      }
      FSkipAudio = NAN;
    }
    if (!std::isnan(blockStart))
      FHost.AudioHook(std::llround(blockStart * 1000000.0) - FStartTime, const_cast<uint8_t*>(data), size,
                      FAudioTgt.Freq, FAudioTgt.Layout.nb_channels);
    FAudioBuf.assign(data, data + size);
    return size;
  }
}

}  // namespace playcore
