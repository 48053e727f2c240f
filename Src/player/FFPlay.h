#pragma once
// The player component: plays one media file with picture and sound into a host window (or an
// SDL window of its own) through the playback core, and reports its state and position as
// events. SDL2 is linked in; TSDLLoader checks and claims it for one player at a time.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "decoder/FFDecode.h"
#include "player/PlayHost.h"
#include "player/PlayTypes.h"
#include "runtime/Bitmap.h"
#include "runtime/FFBaseComponent.h"
#include "runtime/FFOptions.h"
#include "runtime/FFUtils.h"

namespace playcore {
class TPlayCore;
}

// Claims the SDL library of a folder for one player. SDL2 is linked at build time: loading
// checks that the library is mapped under its file name, that it is SDL 2 and that the entry
// points the player uses resolve.
class TSDLLoader {
public:
  static constexpr const char* DefaultFileName = "libSDL2-2.0.so.0";
  TSDLLoader() = default;
  ~TSDLLoader();  // Unload
  TSDLLoader(const TSDLLoader&) = delete;
  TSDLLoader& operator=(const TSDLLoader&) = delete;

  bool Load(const std::string& folder, const std::string& fileName = DefaultFileName);
  void Unload();
  bool Loaded() const { return FLoaded; }
  const std::string& FullPath() const { return FPath; }
  const std::string& ErrorText() const { return FError; }
  // Major, minor, patch of the linked SDL.
  int Major() const { return FVersion[0]; }
  int Minor() const { return FVersion[1]; }
  int Patch() const { return FVersion[2]; }

private:
  void* FHandle = nullptr;
  bool FLoaded = false;
  std::string FPath;
  std::string FError;
  int FVersion[3] = {0, 0, 0};
};

// The ten-entry event queue between the play thread and the event thread: a new entry of the
// kind of the newest pending one replaces it; a full ring drops its oldest entry.
class TPlayerEventQueue {
public:
  enum TKind { ekPosition = 1, ekState = 2, ekQuit = 3 };
  static constexpr int Capacity = 10;
  void Post(int kind, int64_t value);
  bool Take(int* kind, int64_t* value);
  void Clear();
  int Pending() const;
  // Waits up to ms for an entry (true when one is pending).
  bool Wait(int ms);

private:
  mutable std::mutex FLock;
  std::condition_variable FCond;
  int FKind[Capacity] = {};
  int64_t FValue[Capacity] = {};
  int FHead = 0;
  int FCount = 0;
};

class TFFPlayer;
using TPlayerFileOpenEvent = std::function<void(TFFPlayer* Sender, int64_t ADuration, int AFrameWidth,
                                                int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
using TPlayerPositionEvent = std::function<void(TFFPlayer* Sender, int64_t APTS)>;
using TPlayerStateEvent = std::function<void(TFFPlayer* Sender, TPlayState APlayState)>;
using TPlayerVideoHookEvent = std::function<void(TFFPlayer* Sender, TBitmap& ABitmap, int64_t APTS, bool& AUpdate)>;
using TPlayerFrameHookEvent = std::function<void(TFFPlayer* Sender, AVFrame* APicture, AVPixelFormat APixFmt,
                                                 int AWidth, int AHeight, int64_t APTS)>;
using TPlayerAudioHookEvent = std::function<void(TFFPlayer* Sender, int64_t APTS, uint8_t* ASample, int ASize,
                                                 int ASampleRate, int AChannels)>;
using TPlayerBeforeFindStreamInfoEvent = std::function<void(TFFPlayer* Sender, AVFormatContext* AFormatContext)>;
// A picture was put on the screen: its time, the audio and the master clock at that moment
// (seconds; NaN when not known). Play thread; for measurements.
using TPlayerPictureShownEvent =
    std::function<void(TFFPlayer* Sender, double APTS, double AAudioClock, double AMasterClock)>;

class TFFPlayer : public TFFBaseComponent, private playcore::IPlayHost {
public:
  TFFPlayer();
  ~TFFPlayer() override;

  bool AVLibLoaded() const;
  // Media libraries from the folder and, when loadSDL, SDL (see TSDLLoader).
  bool LoadAVLib(const std::string& folder, bool loadSDL = true);
  bool SDLLoaded() const { return FSDL.Loaded(); }
  TSDLLoader& SDLLoader() { return FSDL; }

  // window: native window id to draw into (0: SDL's own window).
  bool Open(const std::string& fileName, uintptr_t window = 0, bool paused = false);
  void Stop(bool wait = true);
  void Pause();
  void Resume();
  // time: µs from the file's start (or a byte position with AVSEEK_FLAG_BYTE).
  void Seek(int flags, bool wait, int64_t time);
  // Shows the picture again (the host window was painted over or resized).
  void Redraw();

  int VideoStreamIndex() const;
  TFFDecoder& Decoder() { return FDecoder; }
  TFFOptions& Options() { return FOptions; }
  std::string LastErrMsg() const;
  const std::string& FileName() const { return FFileName; }
  TPlayState State() const { return FState.load(); }
  int64_t LastPosition() const { return FLastPosition.load(); }
  bool Playing() const;
  void SetBackgroundColor(uint8_t r, uint8_t g, uint8_t b);
  uint32_t BackgroundColor() const { return FBackground.load(); }
  // Pictures dropped and shown by the current playback.
  int DroppedPictures() const;
  int ShownPictures() const;
  // The master clock of the current playback in seconds (NaN when nothing plays).
  double MasterClock() const;
  const std::string& VideoFilters() const { return FVideoFilters; }
  void SetVideoFilters(const std::string& v) { FVideoFilters = v; }

  float AspectRatio() const { return FAspectRatio.load(); }
  void SetAspectRatio(float v);
  TAudioDriver AudioDriver() const { return FAudioDriver; }
  void SetAudioDriver(TAudioDriver v) { FAudioDriver = v; }
  bool AudioHook() const { return FAudioHook; }
  void SetAudioHook(bool v) { FAudioHook = v; }
  int AudioVolume() const { return FVolume.load(); }
  void SetAudioVolume(int v) { FVolume = v < 0 ? 0 : v > 128 ? 128 : v; }
  bool DisableAudio() const { return FDisableAudio; }
  void SetDisableAudio(bool v) { FDisableAudio = v; }
  bool DisableVideo() const { return FDisableVideo; }
  void SetDisableVideo(bool v) { FDisableVideo = v; }
  bool DisableDisplay() const { return FDisableDisplay; }
  void SetDisableDisplay(bool v) { FDisableDisplay = v; }
  bool Mute() const { return FMute.load(); }
  void SetMute(bool v) { FMute = v; }
  bool FrameHook() const { return FFrameHook; }
  void SetFrameHook(bool v) { FFrameHook = v; }
  int ScreenWidth() const { return FScreenWidth; }
  void SetScreenWidth(int v) { FScreenWidth = v; }
  int ScreenHeight() const { return FScreenHeight; }
  void SetScreenHeight(int v) { FScreenHeight = v; }
  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool v) { FTriggerEventInMainThread = v; }
  TVideoDriver VideoDriver() const { return FVideoDriver; }
  void SetVideoDriver(TVideoDriver v) { FVideoDriver = v; }
  bool VideoHook() const { return FVideoHook; }
  void SetVideoHook(bool v) { FVideoHook = v; }

  TPlayerFileOpenEvent OnFileOpen;
  TPlayerPositionEvent OnPosition;
  TPlayerStateEvent OnState;
  TPlayerVideoHookEvent OnVideoHook;
  TPlayerFrameHookEvent OnFrameHook;
  TPlayerAudioHookEvent OnAudioHook;
  TPlayerBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
  TPlayerPictureShownEvent OnPictureShown;

  // The core now playing (null when none); for tests and diagnostics, valid while it plays.
  playcore::TPlayCore* Core() const { return FCoreRef.load(); }
  // The queue between the play thread and the event thread (for tests).
  TPlayerEventQueue& EventQueue() { return FEvents; }
  // The position step of the refresh: posts when it moved more than 20 ms (tests).
  void PositionStep(int64_t pts) { Position(pts); }

private:
  // IPlayHost
  void CoreLog(TLogLevel level, const std::string& msg) override;
  void CoreError(const std::string& msg) override;
  void SetIOStamp(int64_t us) override { FIOStamp = us; }
  int64_t IOStamp() const override { return FIOStamp.load(); }
  bool OpenAborted() const override { return FAbortOpen.load(); }
  int ReadTimeoutMs() const override { return ReadTimeout(); }
  void BeforeFindStreamInfo(AVFormatContext* ctx) override;
  void VideoHooks(AVFrame* picture, int64_t pts) override;
  void AudioHook(int64_t pts, uint8_t* data, int size, int rate, int channels) override;
  void PictureQueued(bool firstAfterOpen) override;
  void SeekDone() override;
  void PictureShown(double pts, double audioClock, double masterClock) override;
  void Position(int64_t pts) override;
  void PlayedToEnd() override;

  void SetState(TPlayState s);
  void Error(const std::string& msg);
  bool PrepareSDL(uintptr_t window);
  void QuitSDL();
  void StartEventThread();
  void EndEventThread();
  void EventThread();
  void PlayThread();
  void Deliver(const std::function<void()>& fn);
  void CloseCore();

  TSDLLoader FSDL;
  TFFOptions FOptions;
  TFFDecoder FDecoder;
  TFormatConverter FHookConverter;
  std::string FLastErrMsg;
  mutable std::mutex FErrLock;
  std::string FFileName;
  uintptr_t FWindow = 0;
  std::string FVideoFilters;

  std::recursive_mutex FPlayerLock;  // around the core
  // Shared, so that a caller holding it cannot see the core freed under it by the play thread.
  std::shared_ptr<playcore::TPlayCore> CoreRef() const;
  mutable std::mutex FCoreLock;
  std::shared_ptr<playcore::TPlayCore> FCore;
  std::atomic<playcore::TPlayCore*> FCoreRef{nullptr};
  // Started by Open; joined by Stop(true), which Open and the destructor call.
  std::thread FPlayThread;
  std::atomic<bool> FPlayStarted{false}, FPlayDone{true};
  std::mutex FStateLock;
  bool FPauseAfterStart = false;
  std::thread FEventThread;  // started by Open; joined by EndEventThread (Open, the destructor)
  std::atomic<bool> FEventTerminated{false}, FEventThreadDone{true};
  TPlayerEventQueue FEvents;
  std::atomic<TPlayState> FState{psStop};
  std::atomic<int64_t> FLastPosition{AV_NOPTS_VALUE};
  std::atomic<int64_t> FIOStamp{INT64_MAX};
  std::atomic<bool> FAbortOpen{false};
  std::atomic<bool> FSeeking{false};
  std::atomic<bool> FEndSet{false};
  uint32_t FSDLFlags = 0;
  std::mutex FOpenLock;

  std::atomic<float> FAspectRatio{0.0f};
  TAudioDriver FAudioDriver = adDefault;
  bool FAudioHook = false;
  std::atomic<int> FVolume{128};
  bool FDisableAudio = false;
  bool FDisableVideo = false;
  bool FDisableDisplay = false;
  std::atomic<bool> FMute{false};
  bool FFrameHook = false;
  int FScreenWidth = 0;
  int FScreenHeight = 0;
  bool FTriggerEventInMainThread = true;
  TVideoDriver FVideoDriver = vdDefault;
  bool FVideoHook = false;
  std::atomic<uint32_t> FBackground{0};
};
