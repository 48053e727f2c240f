#include "player/PlayCore.h"

#include <SDL.h>

#include <cmath>

#include "runtime/MainThread.h"

namespace playcore {

bool TPictureQueue::WaitRoom(int maxWaiting, const std::atomic<bool>& abort) {
  std::unique_lock<std::mutex> g(FLock);
  while (static_cast<int>(FItems.size()) > maxWaiting && !abort.load())
    FCond.wait_for(g, std::chrono::milliseconds(10));
  return !abort.load();
}

void TPictureQueue::Push(TPicture&& pic) {
  std::lock_guard<std::mutex> g(FLock);
  FItems.push_back(std::move(pic));
}

int TPictureQueue::Count() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(FItems.size());
}

TPicture* TPictureQueue::Peek(int i) {
  std::lock_guard<std::mutex> g(FLock);
  return i < static_cast<int>(FItems.size()) ? &FItems[static_cast<size_t>(i)] : nullptr;
}

void TPictureQueue::Pop() {
  std::lock_guard<std::mutex> g(FLock);
  if (!FItems.empty()) FItems.pop_front();
  FCond.notify_all();
}

void TPictureQueue::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  FItems.clear();
  FCond.notify_all();
}

void TPictureQueue::Wake() {
  std::lock_guard<std::mutex> g(FLock);
  FCond.notify_all();
}

TPlayCore::TPlayCore(IPlayHost& host, const TCoreSettings& settings) : FHost(host), FSettings(settings) {
  FExtClk.SetSpeed(1.0);
}

TPlayCore::~TPlayCore() { Close(); }

bool TPlayCore::Open(const std::string& fileName, bool paused) {
  FFileName = fileName;
  FOpenPaused = paused;
  FPaused = paused;
  FLastPaused = false;
  FAudClk.SetPaused(paused);
  FVidClk.SetPaused(paused);
  FExtClk.SetPaused(paused);
  try {
    FReader = std::thread([this] { ReadThread(); });
  } catch (const std::exception&) {
    FHost.CoreError("SDL_CreateThread() failed.");
    return false;
  }
  // The verdict comes from the reading thread; the main thread keeps serving its calls.
  WaitInMainThread([this] { return FVerdict.load() != 0; });
  if (FVerdict.load() < 0) {
    Close();
    return false;
  }
  return true;
}

void TPlayCore::SetVerdict(int v) {
  FVerdict.store(v);
  WakeMainThread();
}

void TPlayCore::Close() {
  FAbort = true;
  FQuit = true;
  FContinueRead.notify_all();
  FVideoQ.Abort();
  FAudioQ.Abort();
  FSubQ.Abort();
  FPictures.Wake();
  if (FReader.joinable()) FReader.join();
  CloseStream(FAudioStream);
  CloseStream(FVideoStream);
  CloseStream(FSubStream);
  FPictures.Clear();
  FOutput.Close();
  FInput.reset();
}

void TPlayCore::CloseStream(int index) {
  if (index < 0) return;
  if (index == FAudioStream) {
    FAudioQ.Abort();
    if (FAudioDev) SDL_CloseAudioDevice(FAudioDev);
    FAudioReady = false;
    FAudioDev = 0;
    FAudioCtx.reset();
    FSwr.reset();
    FResampleBuf.reset();
    FResampleBufSize = 0;
    FAudioQ.Flush();
    FAudioStream = -1;
  } else if (index == FVideoStream) {
    FVideoQ.Abort();
    FPictures.Wake();
    if (FVideoThread.joinable()) FVideoThread.join();
    FVideoCtx.reset();
    FVideoQ.Flush();
    FVideoStream = -1;
  } else if (index == FSubStream) {
    FSubQ.Abort();
    if (FSubThread.joinable()) FSubThread.join();
    FSubCtx.reset();
    FSubQ.Flush();
    FSubStream = -1;
  }
}

void TPlayCore::RequestQuit() {
  FQuit = true;
  std::lock_guard<std::mutex> g(FEventLock);
  FEventCond.notify_all();
}

void TPlayCore::RequestRedraw() {
  FRedraw = true;
  std::lock_guard<std::mutex> g(FEventLock);
  FEventCond.notify_all();
}

void TPlayCore::TogglePause() {
  // A seek in progress finishes first, so that the pause takes the new place.
  for (int i = 0; i < 25 && FSeekReq.load(); ++i) SDL_Delay(10);
  if (FPaused.load()) {
    FFrameTimer += Now() - FVidClk.LastUpdated();
    FVidClk.SetPaused(false);
    FVidClk.Set(FVidClk.Pts(), FVidClk.Serial());
  } else if (HasVideo()) {
    for (int i = 0; i < 25 && !FShownSinceSeek.load() && !FAbort.load(); ++i) SDL_Delay(10);
  }
  const bool paused = !FPaused.load();
  FPaused = paused;
  FAudClk.SetPaused(paused);
  FVidClk.SetPaused(paused);
  FExtClk.SetPaused(paused);
  FExtClk.Set(FExtClk.Get(), FExtClk.Serial());
  FContinueRead.notify_all();
}

void TPlayCore::RequestSeek(int64_t target, int64_t rel, int flags) {
  if (FSeekReq.load()) return;
  {
    std::lock_guard<std::mutex> g(FSeekLock);
    FSeekPos = target;
    FSeekRel = rel;
    FSeekFlags = flags;
  }
  FSeekDone = false;
  FShownSinceSeek = false;
  FSeekReq = true;
  FContinueRead.notify_all();
}

int TPlayCore::FrameWidth() const {
  return FVideoStream >= 0 ? FInput->streams[FVideoStream]->codecpar->width : -1;
}
int TPlayCore::FrameHeight() const {
  return FVideoStream >= 0 ? FInput->streams[FVideoStream]->codecpar->height : -1;
}

TSyncType TPlayCore::MasterSyncType() const {
  if (FSettings.SyncType == stVideoMaster) return FVideoStream >= 0 ? stVideoMaster : stAudioMaster;
  if (FSettings.SyncType == stAudioMaster) return FAudioStream >= 0 ? stAudioMaster : stVideoMaster;
  return stExternalClock;
}

double TPlayCore::MasterClock() const {
  switch (MasterSyncType()) {
    case stVideoMaster: return FVidClk.Get();
    case stAudioMaster: return FAudClk.Get();
    default: return FExtClk.Get();
  }
}

int TPlayCore::QueuedPackets(int kind) const {
  return kind == 0 ? FVideoQ.Packets() : kind == 1 ? FAudioQ.Packets() : FSubQ.Packets();
}

int64_t TPlayCore::QueuedBytes() const { return FVideoQ.Bytes() + FAudioQ.Bytes() + FSubQ.Bytes(); }

}  // namespace playcore
