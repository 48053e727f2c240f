// The play thread's side of the core: the refresh loop that shows each picture at its time
// against the master clock, drops what is late, reports positions and the end, and serves the
// window's events.
#include <SDL.h>

#include <cmath>

#include "player/PlayCore.h"

namespace playcore {

void TPlayCore::RunEventLoop() {
  // The window is made before the first picture is due, so that making it does not hold the
  // picture back while the sound already runs.
  if (FVideoStream >= 0 && !FSettings.DisableDisplay && !FOutput.Opened())
    AllocDisplay(FrameWidth(), FrameHeight());
  double remaining = 0;
  while (!FQuit.load()) {
    SDL_Event ev;
    while (SDL_PollEvent(&ev)) {
      if (ev.type == SDL_QUIT) {
        // Only SDL's own window can be closed this way; a host window's close is the host's.
        if (FOutput.Opened() && FSettings.Window == 0) FQuit = true;
      } else if (ev.type == SDL_WINDOWEVENT && ev.window.windowID == FOutput.WindowID()) {
        if (ev.window.event == SDL_WINDOWEVENT_SIZE_CHANGED || ev.window.event == SDL_WINDOWEVENT_RESIZED) {
          FOutput.Resized(ev.window.data1, ev.window.data2);
          FForceRefresh = true;
        } else if (ev.window.event == SDL_WINDOWEVENT_EXPOSED) {
          FForceRefresh = true;
        }
      }
    }
    if (FQuit.load()) break;
    if (FRedraw.exchange(false)) FForceRefresh = true;
    if (remaining > 0) {
      std::unique_lock<std::mutex> g(FEventLock);
      FEventCond.wait_for(g, std::chrono::duration<double>(remaining),
                          [this] { return FQuit.load() || FRedraw.load(); });
    }
    remaining = RefreshInterval;
    Refresh(&remaining);
  }
}

double TPlayCore::PictureDuration(const TPicture& a, const TPicture& b) const {
  if (a.Serial != b.Serial) return 0;
  const double d = b.Pts - a.Pts;
  if (std::isnan(d) || d <= 0 || d > FMaxFrameDuration) return a.Duration;
  return d;
}

double TPlayCore::ComputeTargetDelay(double delay) {
  if (MasterSyncType() != stVideoMaster) {
    const double diff = FVidClk.Get() - MasterClock();
    const double threshold = std::max(SyncThreshold, delay);
    if (!std::isnan(diff) && std::fabs(diff) < NoSyncThreshold) {
      if (diff <= -threshold)
        delay = 0;
      else if (diff >= threshold)
        delay = delay * 2;
    }
  }
  return delay;
}

void TPlayCore::UpdateExternalClockSpeed() {
  const int v = FVideoStream >= 0 ? FVideoQ.Packets() : -1;
  const int a = FAudioStream >= 0 ? FAudioQ.Packets() : -1;
  const double speed = FExtClk.Speed();
  if ((v >= 0 && v <= ExternalClockLowPackets) || (a >= 0 && a <= ExternalClockLowPackets)) {
    FExtClk.SetSpeed(std::max(ExternalClockMin, speed - ExternalClockStep));
  } else if ((v < 0 || v > ExternalClockHighPackets) && (a < 0 || a > ExternalClockHighPackets)) {
    FExtClk.SetSpeed(std::min(ExternalClockMax, speed + ExternalClockStep));
  } else if (speed != 1.0) {
    FExtClk.SetSpeed(speed + ExternalClockStep * (1.0 - speed) / std::fabs(1.0 - speed));
  }
}

void TPlayCore::AllocDisplay(int picW, int picH) {
  int w = FSettings.ScreenWidth, h = FSettings.ScreenHeight;
  if (w <= 0 || h <= 0) {
    w = picW & ~1;
    h = picH & ~1;
  }
  if (w <= 0 || h <= 0) {
    w = 640;
    h = 480;
  }
  std::string err;
  if (!FOutput.Open(FSettings.Window, w, h, &err)) {
    FHost.CoreError(err);
    FDisplayFailed = true;
  }
}

void TPlayCore::DisplayPicture(TPicture* pic) {
  if (!FSettings.DisableDisplay && !FOutput.Opened() && !FDisplayFailed) AllocDisplay(pic->Width, pic->Height);
  if (FOutput.Opened()) {
    std::string err;
    const float aspect = FSettings.AspectRatio ? FSettings.AspectRatio->load() : 0.0f;
    const uint32_t bg = FSettings.Background ? FSettings.Background->load() : 0;
    if (!FOutput.Show(pic->Frame.get(), aspect, bg, &err)) {
      FHost.CoreLog(llFatal, err);
      FHost.CoreError(err);
      FQuit = true;
    }
  }
  FLastShown.Pts = pic->Pts;
  FLastShown.Duration = pic->Duration;
  FLastShown.Serial = pic->Serial;
  FLastShown.Width = pic->Width;
  FLastShown.Height = pic->Height;
  FHaveLast = true;
  FLastShownSerial = pic->Serial;
  ++FShown;
  FShownSinceSeek = true;
  FHost.PictureShown(pic->Pts, FAudClk.Get(), MasterClock());
}

void TPlayCore::ReportPosition() {
  if (FImageInput) return;
  const double master = MasterClock();
  if (std::isnan(master)) return;
  int64_t pos = std::llround(master * 1000000.0) - FStartTime;
  if (FDuration > 0 && pos > FDuration) pos = FDuration;
  // A late sound callback sets the clock a little back; within one stretch of playback (no seek
  // between) the position only rises.
  const int serial = FVideoStream >= 0 ? FVideoQ.Serial() : FAudioQ.Serial();
  if (serial == FReportedSerial && pos < FReportedPos && FReportedPos - pos < kClockStepBack) return;
  FReportedSerial = serial;
  FReportedPos = pos;
  FHost.Position(pos);
}

void TPlayCore::Refresh(double* remaining) {
  if (MasterSyncType() == stExternalClock && FRealTime) UpdateExternalClockSpeed();
  bool dropped = false;
  if (FVideoStream >= 0) {
    for (;;) {
      TPicture* vp = FPictures.Peek(0);
      if (!vp) break;
      if (vp->Serial != FVideoQ.Serial()) {
        FPictures.Pop();
        continue;
      }
      if (FTimerSerial != vp->Serial) {
        // A new run of pictures (opening, a seek): its first is due now.
        FTimerSerial = vp->Serial;
        FHaveLast = false;
        FFrameTimer = Now();
      }
      if (FPaused.load()) {
        // Paused: only the first picture after a seek (or after opening) is put on the screen.
        if (!FShownSinceSeek.load() || FLastShownSerial != vp->Serial) {
          FVidClk.Set(vp->Pts, vp->Serial);
          FVidClk.SetPaused(true);
          const double pts = vp->Pts;
          DisplayPicture(vp);
          FPictures.Pop();
          FForceRefresh = false;
          if (!std::isnan(pts) && !FImageInput) {
            int64_t pos = std::llround(pts * 1000000.0) - FStartTime;
            if (FDuration > 0 && pos > FDuration) pos = FDuration;
            FHost.Position(pos);
          }
        }
        break;
      }
      const double lastDuration = FHaveLast ? PictureDuration(FLastShown, *vp) : vp->Duration;
      const double delay = ComputeTargetDelay(lastDuration);
      const double time = Now();
      if (time < FFrameTimer.load() + delay) {
        *remaining = std::min(FFrameTimer.load() + delay - time, *remaining);
        break;
      }
      double timer = FFrameTimer.load() + delay;
      if (delay > 0 && time - timer > delay) timer += std::floor((time - timer) / delay) * delay;
      FFrameTimer = timer;
      if (!std::isnan(vp->Pts)) {
        FVidClk.Set(vp->Pts, vp->Serial);
        FExtClk.SyncTo(FVidClk);
      }
      if (FPictures.Count() > 1) {
        TPicture* next = FPictures.Peek(1);
        const double duration = PictureDuration(*vp, *next);
        const bool mayDrop = FSettings.FrameDrop > 0 || (FSettings.FrameDrop != 0 && MasterSyncType() != stVideoMaster);
        // A refresh that wakes a hair after the next picture was due still shows this one:
        // timer jitter is no reason to lose a picture.
        constexpr double kLateTolerance = 0.005;
        if (mayDrop && time > FFrameTimer.load() + duration + kLateTolerance) {
          ++FDropped;
          dropped = true;
          FPictures.Pop();
          continue;
        }
      }
      DisplayPicture(vp);
      FPictures.Pop();
      FForceRefresh = false;
      break;
    }
    if (FForceRefresh.exchange(false) && FOutput.Opened()) {
      FOutput.Redraw(FSettings.AspectRatio ? FSettings.AspectRatio->load() : 0.0f,
                     FSettings.Background ? FSettings.Background->load() : 0);
    }
  }
  {
    // Subtitles whose time has passed.
    const double now = MasterClock();
    std::lock_guard<std::mutex> g(FSubLock);
    while (!FSubtitles.empty() && !std::isnan(now) && FSubtitles.front().second < now) FSubtitles.pop_front();
  }
  if (!dropped && (FVideoStream < 0 || FHaveLast) && !FPaused.load()) ReportPosition();
  if (FPlayedToEnd.load() && !FEndReported.load() && !FImageInput && FPictures.Count() == 0 &&
      (FVideoStream < 0 || FVideoDrained.load())) {
    FEndReported = true;
    FHost.PlayedToEnd();
  }
}

}  // namespace playcore
