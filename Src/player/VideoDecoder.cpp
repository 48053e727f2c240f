// The video and subtitle threads: decode, drop what is late or lies before a seek target, run
// the filter chain, and queue the pictures for the play thread.
#include <cmath>
#include <cstdio>

#include "decoder/Upright.h"
#include "player/PlayCore.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace playcore {

int TPlayCore::ConfigureVideoFilters(const AVFrame* frame) {
  AVStream* st = FInput->streams[FVideoStream];
  TVideoChainSource src;
  src.Width = frame->width;
  src.Height = frame->height;
  src.PixFmt = static_cast<AVPixelFormat>(frame->format);
  src.TimeBase = st->time_base;
  src.SampleAspect = frame->sample_aspect_ratio;
  src.FrameRate = av_guess_frame_rate(FInput.get(), st, nullptr);
  if (!FSettings.VideoFilters.empty()) FHost.CoreLog(llInfo, "Parse filters: " + FSettings.VideoFilters);
  // Upright first (as the decoder shows the picture), then even sizes for the overlay.
  std::vector<TVideoChainTail> tail;
  for (const TUprightStep& step : UprightSteps(st))
    tail.push_back({step.Filter, "ffplay_" + step.Filter + std::to_string(tail.size()), step.Args});
  tail.push_back({"crop", "ffplay_crop", "floor(in_w/2)*2:floor(in_h/2)*2"});
  TVideoChainNames names;
  names.Source = "ffplay_buffer";
  names.Sink = "ffplay_buffersink";
  return FFilters.Configure(src, FSettings.VideoFilters, tail, {AV_PIX_FMT_YUV420P}, names, FSettings.SwsFlags);
}

bool TPlayCore::QueuePicture(TFramePtr frame, double pts, double duration, int64_t pos, int serial) {
  // At most two pictures wait, however long the queue.
  if (!FPictures.WaitRoom(1, FAbort)) return false;
  if (av_frame_make_writable(frame.get()) < 0) return false;
  // The hooks see, and may change, exactly what will be shown.
  const int64_t hookPts = std::isnan(pts) ? AV_NOPTS_VALUE : std::llround(pts * 1000000.0) - FStartTime;
  FHost.VideoHooks(frame.get(), hookPts);
  TPicture pic;
  pic.Pts = pts;
  pic.Duration = duration;
  pic.Pos = pos;
  pic.Serial = serial;
  pic.Width = frame->width;
  pic.Height = frame->height;
  pic.Sar = frame->sample_aspect_ratio;
  pic.Frame = std::move(frame);
  FPictures.Push(std::move(pic));
  const bool first = !FFirstQueued.exchange(true);
  FHost.PictureQueued(first && FOpenPaused);
  return true;
}

void TPlayCore::VideoThread() {
  TPacketPtr pkt;
  TFramePtr frame(av_frame_alloc());
  TFramePtr filtered(av_frame_alloc());
  AVStream* st = FInput->streams[FVideoStream];
  const AVRational tb = st->time_base;
  int serial = 0;
  double skipBefore = NAN;
  bool draining = false;
  while (!FAbort.load()) {
    bool flush = false;
    const int got = FVideoQ.Get(pkt, &flush, &serial, true);
    if (got < 0) break;
    if (flush) {
      avcodec_flush_buffers(FVideoCtx.get());
      skipBefore = FSkipBefore.load();
      draining = false;
      FVideoDrained = false;
      continue;
    }
    if (draining) continue;  // until the next flush packet
    const bool last = !pkt->data && pkt->side_data_elems == 0;
    int r = avcodec_send_packet(FVideoCtx.get(), last ? nullptr : pkt.get());
    if (last) draining = true;
    if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF) {
      char msg[64];
      std::snprintf(msg, sizeof msg, "Error: get_video_frame() return %d", r);
      FHost.CoreLog(llError, msg);
      continue;
    }
    for (;;) {
      r = avcodec_receive_frame(FVideoCtx.get(), frame.get());
      if (r == AVERROR(EAGAIN)) break;
      if (r == AVERROR_EOF) {
        FFilters.Send(nullptr);
        break;
      }
      if (r < 0) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "Error: get_video_frame() return %d", r);
        FHost.CoreLog(llError, msg);
        break;
      }
      const int64_t ts = frame->best_effort_timestamp;
      const double pts = ts == AV_NOPTS_VALUE ? NAN : ts * av_q2d(tb);
      // Pictures before a seek target are not shown: playback starts at the wanted one.
      if (!std::isnan(skipBefore) && !std::isnan(pts)) {
        if (pts < skipBefore - FFrameDuration / 2) {
          av_frame_unref(frame.get());
          continue;
        }
        skipBefore = NAN;
      }
      // Late pictures go before they cost a conversion, while the master runs ahead.
      const bool mayDrop = FSettings.FrameDrop > 0 || (FSettings.FrameDrop != 0 && MasterSyncType() != stVideoMaster);
      if (mayDrop && !std::isnan(pts) && !FImageInput) {
        const double diff = pts - MasterClock();
        if (!std::isnan(diff) && std::fabs(diff) < NoSyncThreshold && diff < 0 && serial == FVidClk.Serial() &&
            FVideoQ.Packets() > 0 && !FPaused.load()) {
          ++FDropped;
          av_frame_unref(frame.get());
          continue;
        }
      }
      if (!FFiltersReady || frame->width != FFilterW || frame->height != FFilterH || frame->format != FFilterFmt ||
          serial != FFilterSerial) {
        if (FFiltersReady) {
          const char* oldName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(FFilterFmt));
          const char* newName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
          char msg[256];
          std::snprintf(msg, sizeof msg,
                        "Video frame changed from size:%dx%d format:%s serial:%d to size:%dx%d format:%s serial:%d",
                        FFilterW, FFilterH, oldName ? oldName : "none", FFilterSerial, frame->width, frame->height,
                        newName ? newName : "none", serial);
          FHost.CoreLog(llDebug, msg);
        }
        if (ConfigureVideoFilters(frame.get()) < 0) {
          FHost.CoreError("configure_video_filters() failed");
          FFiltersReady = false;
          return;
        }
        FFiltersReady = true;
        FFilterW = frame->width;
        FFilterH = frame->height;
        FFilterFmt = frame->format;
        FFilterSerial = serial;
      }
      const int64_t pos = frame->pkt_pos;
      r = FFilters.Send(frame.get());
      av_frame_unref(frame.get());
      if (r < 0) {
        FHost.CoreError("configure_video_filters() failed");
        return;
      }
      while (FFilters.Receive(filtered.get()) == 0) {
        const AVRational otb = FFilters.OutputTimeBase();
        const double fpts = filtered->pts == AV_NOPTS_VALUE ? NAN : filtered->pts * av_q2d(otb);
        TFramePtr out(av_frame_alloc());
        av_frame_move_ref(out.get(), filtered.get());
        if (!QueuePicture(std::move(out), fpts, FFrameDuration, pos, serial)) return;
      }
    }
    if (draining) {
      // What the chain still holds after the end.
      while (FFilters.Receive(filtered.get()) == 0) {
        const AVRational otb = FFilters.OutputTimeBase();
        const double fpts = filtered->pts == AV_NOPTS_VALUE ? NAN : filtered->pts * av_q2d(otb);
        TFramePtr out(av_frame_alloc());
        av_frame_move_ref(out.get(), filtered.get());
        if (!QueuePicture(std::move(out), fpts, FFrameDuration, -1, serial)) return;
      }
      // A seek rebuilds the chain (new serial).
      FFiltersReady = false;
      FVideoDrained = true;
    }
  }
}

void TPlayCore::SubtitleThread() {
  TPacketPtr pkt;
  int serial = 0;
  while (!FAbort.load()) {
    bool flush = false;
    if (FSubQ.Get(pkt, &flush, &serial, true) < 0) break;
    if (flush) {
      avcodec_flush_buffers(FSubCtx.get());
      std::lock_guard<std::mutex> g(FSubLock);
      FSubtitles.clear();
      continue;
    }
    if (!pkt || !pkt->data) continue;
    AVSubtitle sub{};
    int got = 0;
    if (avcodec_decode_subtitle2(FSubCtx.get(), &sub, &got, pkt.get()) >= 0 && got) {
      const double start = sub.pts == AV_NOPTS_VALUE ? 0 : static_cast<double>(sub.pts) / AV_TIME_BASE;
      std::lock_guard<std::mutex> g(FSubLock);
      if (static_cast<int>(FSubtitles.size()) >= SubtitleQueueSize) FSubtitles.pop_front();
      FSubtitles.emplace_back(start + sub.start_display_time / 1000.0, start + sub.end_display_time / 1000.0);
    }
    if (got) avsubtitle_free(&sub);
  }
}

}  // namespace playcore
