#include "player/FFPlay.h"
#include "runtime/MediaTexts.h"

#include <SDL.h>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <set>

#include "player/PlayCore.h"
#include "runtime/FFLoad.h"
#include "runtime/MainThread.h"

extern "C" {
#include <libavutil/opt.h>
}

const char* PlayStateName(TPlayState state) {
  static const char* const names[] = {"psPlay", "psPause", "psResume", "psStep", "psStop", "psEnd"};
  return state >= psPlay && state <= psEnd ? names[state] : "?";
}

namespace {

// SDL set-up changes process environment variables and SDL's global state: one at a time, and
// one player per SDL library path.
std::mutex& SDLLock() {
  static std::mutex m;
  return m;
}
std::set<std::string>& LoadedSDLPaths() {
  static std::set<std::string> paths;
  return paths;
}

// The SDL2 successors of the entry points the player uses.
const char* const SDLEntryPoints[] = {
    "SDL_GetVersion",        "SDL_Init",           "SDL_InitSubSystem",    "SDL_QuitSubSystem",
    "SDL_Quit",              "SDL_getenv",         "SDL_setenv",           "SDL_GetError",
    "SDL_OpenAudioDevice",   "SDL_PauseAudioDevice", "SDL_CloseAudioDevice", "SDL_MixAudioFormat",
    "SDL_PumpEvents",        "SDL_PeepEvents",     "SDL_PollEvent",        "SDL_PushEvent",
    "SDL_EventState",        "SDL_GetCurrentDisplayMode", "SDL_CreateWindow", "SDL_CreateWindowFrom",
    "SDL_SetWindowTitle",    "SDL_DestroyWindow",  "SDL_CreateRenderer",   "SDL_SetRenderDrawColor",
    "SDL_RenderClear",       "SDL_RenderCopy",     "SDL_RenderPresent",    "SDL_CreateTexture",
    "SDL_UpdateYUVTexture",  "SDL_DestroyTexture", "SDL_CreateMutex",      "SDL_LockMutex",
    "SDL_UnlockMutex",       "SDL_DestroyMutex",   "SDL_CreateCond",       "SDL_DestroyCond",
    "SDL_CondSignal",        "SDL_CondWaitTimeout", "SDL_CondWait",        "SDL_CreateThread",
    "SDL_WaitThread",        "SDL_GetCurrentAudioDriver", "SDL_GetCurrentVideoDriver"};

// Sets an environment variable for the duration of SDL's start-up.
class TEnvOverride {
public:
  TEnvOverride(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) {
      FHad = true;
      FOld = old;
    }
    if (value) setenv(name, value, 1);
  }
  ~TEnvOverride() {
    if (FHad) setenv(FName, FOld.c_str(), 1);
    else unsetenv(FName);
  }

private:
  const char* FName;
  bool FHad = false;
  std::string FOld;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

TSDLLoader::~TSDLLoader() { Unload(); }

bool TSDLLoader::Load(const std::string& folder, const std::string& fileName) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += fileName;
  if (FLoaded && FPath == path) return true;
  std::lock_guard<std::mutex> guard(SDLLock());
  if (LoadedSDLPaths().count(path)) {
    FError = FormatText("%s alreay loaded in another instance.", path.c_str());
    return false;
  }
  if (FLoaded) {
    LoadedSDLPaths().erase(FPath);
    if (FHandle) dlclose(FHandle);
    FHandle = nullptr;
    FLoaded = false;
  }
  // Linked in: the library the program runs with is the one mapped under this name.
  dlerror();
  void* handle = dlopen(fileName.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) {
    const char* err = dlerror();
    FError = FormatText("Load library %s error: %s", path.c_str(), err ? err : "not the library this program runs with");
    return false;
  }
  for (const char* name : SDLEntryPoints) {
    if (!dlsym(handle, name)) {
      FError = FormatText("Load library %s error: %s", path.c_str(), (std::string("entry point ") + name + " not found").c_str());
      dlclose(handle);
      return false;
    }
  }
  SDL_version v;
  SDL_GetVersion(&v);
  if (v.major != SDL_MAJOR_VERSION) {
    FError = FormatText("Load library %s error: SDL %d found, %d required", path.c_str(), v.major, SDL_MAJOR_VERSION);
    dlclose(handle);
    return false;
  }
  FVersion[0] = v.major;
  FVersion[1] = v.minor;
  FVersion[2] = v.patch;
  FHandle = handle;
  FPath = path;
  FLoaded = true;
  FError.clear();
  LoadedSDLPaths().insert(path);
  return true;
}

void TSDLLoader::Unload() {
  if (!FLoaded) return;
  std::lock_guard<std::mutex> guard(SDLLock());
  SDL_Quit();
  if (FHandle) dlclose(FHandle);
  FHandle = nullptr;
  FLoaded = false;
  LoadedSDLPaths().erase(FPath);
  FPath.clear();
}

// ---------------------------------------------------------------------------------------------

void TPlayerEventQueue::Post(int kind, int64_t value) {
  std::lock_guard<std::mutex> g(FLock);
  if (FCount > 0) {
    const int newest = (FHead + FCount - 1) % Capacity;
    if (FKind[newest] == kind) {
      FValue[newest] = value;
      FCond.notify_all();
      return;
    }
  }
  if (FCount == Capacity) {
    FHead = (FHead + 1) % Capacity;
    --FCount;
  }
  const int at = (FHead + FCount) % Capacity;
  FKind[at] = kind;
  FValue[at] = value;
  ++FCount;
  FCond.notify_all();
}

bool TPlayerEventQueue::Take(int* kind, int64_t* value) {
  std::lock_guard<std::mutex> g(FLock);
  if (FCount == 0) return false;
  *kind = FKind[FHead];
  *value = FValue[FHead];
  FHead = (FHead + 1) % Capacity;
  --FCount;
  return true;
}

void TPlayerEventQueue::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  FHead = FCount = 0;
}

int TPlayerEventQueue::Pending() const {
  std::lock_guard<std::mutex> g(FLock);
  return FCount;
}

bool TPlayerEventQueue::Wait(int ms) {
  std::unique_lock<std::mutex> g(FLock);
  return FCond.wait_for(g, std::chrono::milliseconds(ms), [this] { return FCount > 0; });
}

// ---------------------------------------------------------------------------------------------

TFFPlayer::TFFPlayer() = default;

TFFPlayer::~TFFPlayer() {
  Stop(true);
  FEvents.Clear();
  EndEventThread();
  QuitSDL();
  FSDL.Unload();
}

bool TFFPlayer::AVLibLoaded() const { return FFLoader().AllLoaded(AllLibraries) && FSDL.Loaded(); }

bool TFFPlayer::LoadAVLib(const std::string& folder, bool loadSDL) {
  FFLoader().SetLibraryPath(folder);
  if (!FFLoader().LoadLibs(AllLibraries)) {
    Error(FFLoader().LastErrMsg());
    return false;
  }
  if (loadSDL && !FSDL.Load(folder)) {
    Error(FSDL.ErrorText());
    return false;
  }
  return true;
}

std::string TFFPlayer::LastErrMsg() const {
  std::lock_guard<std::mutex> g(FErrLock);
  return FLastErrMsg;
}

std::shared_ptr<playcore::TPlayCore> TFFPlayer::CoreRef() const {
  std::lock_guard<std::mutex> g(FCoreLock);
  return FCore;
}

void TFFPlayer::Error(const std::string& msg) {
  {
    std::lock_guard<std::mutex> g(FErrLock);
    FLastErrMsg = msg;
  }
  FFLogger().Log(this, llError, msg);
}

void TFFPlayer::CoreLog(TLogLevel level, const std::string& msg) { FFLogger().Log(this, level, msg); }
void TFFPlayer::CoreError(const std::string& msg) { Error(msg); }

void TFFPlayer::SetState(TPlayState s) {
  FState = s;
  if (OnState)
    FEvents.Post(TPlayerEventQueue::ekState, s);
  else if (s == psStop)
    FEvents.Post(TPlayerEventQueue::ekQuit, 0);
}

bool TFFPlayer::Playing() const {
  const TPlayState s = FState.load();
  return s == psPlay || s == psPause;
}

int TFFPlayer::VideoStreamIndex() const {
  auto core = CoreRef();
  return core ? core->VideoStreamIndex() : -1;
}

int TFFPlayer::DroppedPictures() const {
  auto core = CoreRef();
  return core ? core->DroppedPictures() : 0;
}

int TFFPlayer::ShownPictures() const {
  auto core = CoreRef();
  return core ? core->ShownPictures() : 0;
}

double TFFPlayer::MasterClock() const {
  auto core = CoreRef();
  return core ? core->MasterClock() : NAN;
}

void TFFPlayer::SetBackgroundColor(uint8_t r, uint8_t g, uint8_t b) {
  FBackground = (uint32_t(r) << 16) | (uint32_t(g) << 8) | b;
  Redraw();
}

void TFFPlayer::SetAspectRatio(float v) {
  FAspectRatio = v;
  Redraw();
}

void TFFPlayer::Redraw() {
  if (auto core = CoreRef()) core->RequestRedraw();
}

bool TFFPlayer::PrepareSDL(uintptr_t window) {
  std::lock_guard<std::mutex> guard(SDLLock());
  // The default drivers are the environment's own choice (SDL_AUDIODRIVER, SDL_VIDEODRIVER).
  static const char* const audioNames[] = {nullptr, "pulseaudio", "alsa"};
  static const char* const videoNames[] = {nullptr, "x11", "wayland"};
  TEnvOverride audio("SDL_AUDIODRIVER", audioNames[FAudioDriver]);
  TEnvOverride video("SDL_VIDEODRIVER", FDisableDisplay ? "dummy" : videoNames[FVideoDriver]);
  QuitSDL();
  const uint32_t flags = SDL_INIT_TIMER | SDL_INIT_VIDEO | (FDisableAudio ? 0 : SDL_INIT_AUDIO);
  if (SDL_InitSubSystem(flags) != 0) {
    Error(FormatText("Could not initialize SDL with ScreenHandle(%u): %s", static_cast<unsigned>(window), SDL_GetError()));
    SDL_QuitSubSystem(flags);
    return false;
  }
  FSDLFlags = flags;
  if (const char* d = SDL_GetCurrentAudioDriver()) CoreLog(llDebug, FormatText("using audio driver: %s", d));
  if (const char* d = SDL_GetCurrentVideoDriver()) CoreLog(llDebug, FormatText("using video driver: %s", d));
  SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);
  SDL_EventState(SDL_SYSWMEVENT, SDL_IGNORE);
  return true;
}

void TFFPlayer::QuitSDL() {
  if (FSDLFlags) SDL_QuitSubSystem(FSDLFlags);
  FSDLFlags = 0;
}

bool TFFPlayer::Open(const std::string& fileName, uintptr_t window, bool paused) {
  if (!FFLoader().AllLoaded(AllLibraries)) {
    Error("LibAV not loaded.");
    return false;
  }
  if (!FSDL.Loaded()) {
    Error("SDL not loaded.");
    return false;
  }
  int64_t swsFlags = FOptions.SwsFlags();
  if (FOptions.SwsOpts) {
    int64_t v = 0;
    if (av_opt_get_int(FOptions.SwsOpts.get(), "sws_flags", 0, &v) >= 0) swsFlags = v;
  }
  FHookConverter.SetSwsFlags(static_cast<int>(swsFlags));

  Stop(true);
  EndEventThread();
  FEvents.Clear();
  FLastPosition = AV_NOPTS_VALUE;
  FAbortOpen = false;
  FEndSet = false;
  FPlayStarted = false;
  FPauseAfterStart = false;
  if (IsMainThread()) {
    SDL_Delay(10);
    ProcessMainThreadCalls();
    SDL_Delay(10);
  }
  if (!PrepareSDL(FDisableDisplay ? 0 : window)) return false;
  const bool disableVideo = FDisableVideo || FDisableDisplay;

  playcore::TCoreSettings settings;
  settings.DisableAudio = FDisableAudio;
  settings.DisableVideo = disableVideo;
  settings.DisableDisplay = FDisableDisplay;
  settings.VideoFilters = FVideoFilters;
  settings.SwsFlags = swsFlags;
  settings.Window = FDisableDisplay ? 0 : window;
  settings.ScreenWidth = FScreenWidth;
  settings.ScreenHeight = FScreenHeight;
  settings.FormatOpts = FOptions.FormatOpts.Get();
  settings.CodecOpts = FOptions.CodecOpts.Get();
  settings.Mute = &FMute;
  settings.Volume = &FVolume;
  settings.AspectRatio = &FAspectRatio;
  settings.Background = &FBackground;

  auto core = std::make_shared<playcore::TPlayCore>(static_cast<playcore::IPlayHost&>(*this), settings);
  if (!core->Open(fileName, paused) || FAbortOpen.load()) {
    core.reset();
    QuitSDL();
    FFileName.clear();
    FWindow = 0;
    return false;
  }
  {
    std::lock_guard<std::recursive_mutex> g(FPlayerLock);
    std::lock_guard<std::mutex> c(FCoreLock);
    FCore = core;
    FCoreRef = FCore.get();
  }
  FFileName = fileName;
  FWindow = settings.Window;
  try {
    FDecoder.SetFormatContext(core->FormatContext());
  } catch (const std::exception& e) {
    CoreLog(llWarning, e.what());
  }

  playcore::TPlayCore* c = core.get();
  const int64_t duration = c->ImageInput() ? 0 : c->Duration();
  int sw = FScreenWidth, sh = FScreenHeight;
  if (OnFileOpen) {
    const int fw = c->FrameWidth(), fh = c->FrameHeight();
    Deliver([&] { OnFileOpen(this, duration, fw, fh, sw, sh); });
  }
  FScreenWidth = sw;
  FScreenHeight = sh;
  c->SetScreenSize(sw, sh);

  StartEventThread();
  FPlayDone = false;
  FPlayThread = std::thread([this] { PlayThread(); });
  WaitInMainThread([this] { return FPlayStarted.load(); });
  return true;
}

void TFFPlayer::PlayThread() {
  {
    std::lock_guard<std::mutex> g(FStateLock);
    SetState(psPlay);
    FPlayStarted = true;
    // Opened paused and the first picture came before this thread: the pause shows now.
    if (FPauseAfterStart) SetState(psPause);
    FPauseAfterStart = false;
  }
  WakeMainThread();
  std::shared_ptr<playcore::TPlayCore> core = CoreRef();
  try {
    if (core) core->RunEventLoop();
  } catch (const std::exception& e) {
    CoreLog(llError, std::string("PlayThread Exception: ") + e.what());
  }
  core.reset();
  CloseCore();
  SetState(psStop);
  FPlayDone = true;
  WakeMainThread();
}

void TFFPlayer::CloseCore() {
  std::shared_ptr<playcore::TPlayCore> core;
  {
    std::lock_guard<std::recursive_mutex> g(FPlayerLock);
    std::lock_guard<std::mutex> c(FCoreLock);
    FCoreRef = nullptr;
    core = std::move(FCore);
  }
  if (core) {
    // The decoder only looked at the core's file.
    FDecoder.CloseFile();
    core->Close();
  }
}

void TFFPlayer::Stop(bool wait) {
  std::shared_ptr<playcore::TPlayCore> core = CoreRef();
  if (core || FPlayThread.joinable()) {
    if (core) {
      if (core->Paused()) core->TogglePause();
      core->RequestQuit();
    }
    if (wait) {
      int tries = 0;
      while (!FPlayDone.load()) {
        if (WaitInMainThread([this] { return FPlayDone.load(); }, 100)) break;
        std::unique_lock<std::recursive_mutex> g(FPlayerLock, std::defer_lock);
        if (g.try_lock()) {
          if (auto c = CoreRef()) {
            c->RequestQuit();
            if (++tries >= (c->QuitRequested() ? 20 : 10)) c->Close();
          }
        }
      }
      core.reset();
      if (FPlayThread.joinable()) FPlayThread.join();
    } else if (FPlayDone.load() && FPlayThread.joinable()) {
      FPlayThread.join();
    }
  } else {
    // Nothing plays yet: an open in progress elsewhere gives up.
    FIOStamp = 0;
    FAbortOpen = true;
  }
}

void TFFPlayer::Pause() {
  std::lock_guard<std::recursive_mutex> g(FPlayerLock);
  if (FCore && FState.load() == psPlay && !FCore->Paused()) {
    FCore->TogglePause();
    SetState(psPause);
  }
}

void TFFPlayer::Resume() {
  std::lock_guard<std::recursive_mutex> g(FPlayerLock);
  if (FCore && FCore->Paused()) {
    FCore->TogglePause();
    SetState(psPlay);
  }
}

void TFFPlayer::Seek(int flags, bool wait, int64_t time) {
  std::shared_ptr<playcore::TPlayCore> core = CoreRef();
  if (!core || time == AV_NOPTS_VALUE) return;
  int64_t target = time;
  if (!(flags & AVSEEK_FLAG_BYTE)) {
    const int64_t duration = core->Duration();
    if (duration > 0) target = std::min(target, duration);
    const int64_t start = core->StartTime();
    if (target == 0 && start != 0 && core->HasVideo()) {
      // Half a frame before the start, so that the first picture is not skipped.
      target = start - std::llround(core->FrameDuration() * 1000000.0 / 2);
    } else if (start != 0) {
      target += start;
    } else if (target == 0 && core->HasVideo()) {
      target = -std::llround(core->FrameDuration() * 1000000.0 / 2);
    }
  }
  FSeeking = true;
  core->RequestSeek(target, 0, flags);
  if (wait) {
    WaitInMainThread([this, core] {
      if (FCoreRef.load() != core.get()) return true;
      return core->SeekExecuted() && (!core->HasVideo() || core->ShownSinceSeek());
    });
  }
}

void TFFPlayer::StartEventThread() {
  FEventTerminated = false;
  FEventThreadDone = false;
  FEventThread = std::thread([this] { EventThread(); });
}

void TFFPlayer::EndEventThread() {
  if (!FEventThread.joinable()) return;
  FEventTerminated = true;
  // The thread may be handing an event to the main thread: keep serving it meanwhile.
  WaitInMainThread([this] { return FEventThreadDone.load(); });
  FEventThread.join();
}

void TFFPlayer::Deliver(const std::function<void()>& fn) {
  auto guarded = [&fn, this] {
    try {
      fn();
    } catch (const std::exception& e) {
      CoreLog(llError, e.what());
    }
  };
  if (FTriggerEventInMainThread)
    RunInMainThread(guarded);
  else
    guarded();
}

void TFFPlayer::EventThread() {
  bool deliveredState = false;
  bool ended = false;
  while (!FEventTerminated.load() && !ended) {
    int kind = 0;
    int64_t value = 0;
    while (!ended && FEvents.Take(&kind, &value)) {
      if (kind == TPlayerEventQueue::ekPosition) {
        if (OnPosition) Deliver([&] { OnPosition(this, value); });
      } else if (kind == TPlayerEventQueue::ekState) {
        deliveredState = true;
        const TPlayState s = static_cast<TPlayState>(value);
        if (OnState) Deliver([&] { OnState(this, s); });
        if (s == psStop) ended = true;
      } else if (kind == TPlayerEventQueue::ekQuit) {
        ended = true;
      }
    }
    if (!ended) FEvents.Wait(100);
  }
  if (!deliveredState && OnState && !FEventTerminated.load()) Deliver([&] { OnState(this, psStop); });
  FEventThreadDone = true;
  WakeMainThread();
}

void TFFPlayer::BeforeFindStreamInfo(AVFormatContext* ctx) {
  if (OnBeforeFindStreamInfo) OnBeforeFindStreamInfo(this, ctx);
}

void TFFPlayer::VideoHooks(AVFrame* picture, int64_t pts) {
  if (FVideoHook && OnVideoHook) {
    try {
      if (FHookConverter.ToRGB(picture, true)) {
        bool update = false;
        OnVideoHook(this, FHookConverter.Bitmap(), pts, update);
        if (update && FHookConverter.BitmapToPicture()) FHookConverter.FromRGB(picture);
      }
    } catch (const std::exception& e) {
      CoreLog(llError, std::string("Error occurs OnVideoHook: ") + e.what());
    }
  }
  if (FFrameHook && OnFrameHook) {
    try {
      OnFrameHook(this, picture, static_cast<AVPixelFormat>(picture->format), picture->width, picture->height, pts);
    } catch (const std::exception& e) {
      CoreLog(llError, std::string("Error occurs OnFrameHook: ") + e.what());
    }
  }
}

void TFFPlayer::AudioHook(int64_t pts, uint8_t* data, int size, int rate, int channels) {
  if (FAudioHook && OnAudioHook) OnAudioHook(this, pts, data, size, rate, channels);
}

void TFFPlayer::PictureQueued(bool firstAfterOpen) {
  playcore::TPlayCore* core = FCoreRef.load();
  if (!core || !core->SeekPending()) FSeeking = false;
  if (firstAfterOpen) {
    std::lock_guard<std::mutex> g(FStateLock);
    if (FPlayStarted.load())
      SetState(psPause);
    else
      FPauseAfterStart = true;
  }
}

void TFFPlayer::SeekDone() { WakeMainThread(); }

void TFFPlayer::PictureShown(double pts, double audioClock, double masterClock) {
  if (OnPictureShown) OnPictureShown(this, pts, audioClock, masterClock);
  WakeMainThread();
}

void TFFPlayer::Position(int64_t pts) {
  if (!OnPosition) return;
  const int64_t last = FLastPosition.load();
  if (last == AV_NOPTS_VALUE || std::llabs(pts - last) > playcore::PositionReportStep) {
    FEvents.Post(TPlayerEventQueue::ekPosition, pts);
    FLastPosition = pts;
  }
}

void TFFPlayer::PlayedToEnd() {
  if (!FEndSet.exchange(true)) SetState(psEnd);
}
