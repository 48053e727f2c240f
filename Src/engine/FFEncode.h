#pragma once
// The encoder component: an ordered list of transcoding tasks, run in worker threads (at most
// a given number at once) or one after the other in the caller's thread, with progress and
// termination events delivered on the main thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFmpeg.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}
#include "runtime/FFBaseComponent.h"
#include "runtime/ThreadPriority.h"

struct TInputOptions {
  std::string FileName;
  std::string FileOptions;
  std::string FilePresets;
};

struct TOutputOptions {
  std::string FileName;
  std::string FileOptions;
  std::string FilePresets;
  bool AudioInputHook = false;
  bool AudioOutputHook = false;
  bool VideoInputHook = false;
  bool VideoOutputHook = false;
  int VideoHookBitsPixel = 32;
  bool FrameInputHook = false;
  bool FrameOutputHook = false;
  bool Join = false;
};

struct TProgressInfo {
  int TaskIndex = 0;
  int FileIndex = 0;
  int FrameNumber = -1;
  int FPS = -1;
  float Quality = -1;
  float BitRate = -1;
  int64_t CurrentSize = 0;
  int64_t CurrentDuration = 0;
  int64_t TotalDuration = -1;
};
using PProgressInfo = TProgressInfo*;

class TBitmap;

struct TPreviewInfo {
  int TaskIndex = 0;
  const TBitmap* Bitmap = nullptr;  // owned by the task, valid only during the call
  int FrameNumber = 0;
  int64_t PTS = 0;
};

struct THookInfo {
  int TaskIndex = 0;
  TBitmap* Bitmap = nullptr;  // the handler may draw on it
  int FrameNumber = 0;
  int64_t PTS = 0;
  bool Update = true;
  bool StopHook = false;
};
using PHookInfo = THookInfo*;

struct TFrameHookInfo {
  int TaskIndex = 0;
  int FrameNumber = 0;
  uint8_t* Data[4] = {};  // a private copy of the planes; changes replace the picture
  int Linesize[4] = {};
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
  int Width = 0, Height = 0;
  int64_t PTS = 0;
};
using PFrameHookInfo = TFrameHookInfo*;

struct TTerminateInfo {
  int TaskIndex = 0;
  bool Finished = false;
  bool Exception = false;
  std::string ExceptionMsg;
};

class TFFEncoder;

// Hands notices on in the order given, without a thread each: to the main thread through its
// queue, or to the one thread this object owns and joins. After Close() returns no call runs and
// none will; what was still queued is dropped.
class TNoticeDeliverer {
public:
  TNoticeDeliverer();
  ~TNoticeDeliverer();
  TNoticeDeliverer(const TNoticeDeliverer&) = delete;
  TNoticeDeliverer& operator=(const TNoticeDeliverer&) = delete;

  // Queues call to run in the main thread (onMain) or in the deliverer's thread. An exception
  // thrown by the call is dropped.
  void Deliver(std::function<void()> call, bool onMain);
  // Returns when every call queued so far ran, serving the main thread when called there.
  void WaitDelivered();
  void Close();

private:
  struct TShared;  // outlives this object in the calls posted to the main thread
  void ThreadLoop();

  std::shared_ptr<TShared> FShared;
  std::thread FThread;  // started with the first notice that does not go to the main thread
};

// One task: the engine plus what the component keeps with it.
class TFFmpeg : public TCustomFFmpeg {
public:
  explicit TFFmpeg(TFFEncoder* owner) : Owner(owner) {}
  TFFEncoder* Owner;
  std::vector<TInputOptions> InputOptions;
  std::vector<TOutputOptions> OutputOptions;

protected:
  // The component's OnPreviewBitmap decides: without a handler the window is used.
  bool PreviewCallbackAssigned() const override;
};

class TFFEncoder : public TFFBaseComponent {
public:
  TFFEncoder();
  ~TFFEncoder() override;

  void ClearTasks();
  int AddTask(const std::string& fileName, TInputOptions* options = nullptr);
  int SetOutput(int taskIndex, const std::string& fileName, TOutputOptions* options = nullptr);
  void RemoveTask(int taskIndex);
  void StartTask(int threadCount);
  void Stop(bool wait);
  void Pause();
  void Resume();

  bool Working() const { return FWorking; }
  bool Paused() const { return FPaused; }
  int TaskCount() const { return static_cast<int>(FTasks.size()); }
  TFFmpeg* Task(int i) const { return FTasks.at(static_cast<size_t>(i)).get(); }

  bool Preview() const { return FPreview; }
  void SetPreview(bool v);
  bool PreviewBitmap() const { return FPreviewBitmap; }
  void SetPreviewBitmap(bool v);
  int ProgressInterval() const { return FProgressInterval; }
  void SetProgressInterval(int v) { FProgressInterval = v <= 100 ? 100 : v; }
  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool v) { FTriggerEventInMainThread = v; }
  bool AbortOnOptionError() const { return FAbortOnOptionError; }
  void SetAbortOnOptionError(bool v) { FAbortOnOptionError = v; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  // Given to every worker thread started after the change (best effort).
  TThreadPriority ThreadPriority() const { return FThreadPriority; }
  void SetThreadPriority(TThreadPriority v) { FThreadPriority = v; }

  // The media libraries the engine needs, all of them, through the loader from that folder.
  bool AVLibLoaded() const;
  bool LoadAVLib(const std::string& folder);

  std::function<void(TFFEncoder* Sender, PProgressInfo AProgressInfo)> OnProgress;
  std::function<void(TFFEncoder* Sender, const TTerminateInfo& ATerminateInfo)> OnTerminate;
  std::function<void(TFFEncoder* Sender, const TPreviewInfo& APreviewInfo)> OnPreviewBitmap;
  std::function<void(TFFEncoder* Sender, PHookInfo AHookInfo)> OnVideoInputHook, OnVideoOutputHook;
  std::function<void(TFFEncoder* Sender, PFrameHookInfo AHookInfo)> OnFrameInputHook,
      OnFrameOutputHook;
  std::function<void(TFFEncoder* Sender, int ATaskIndex, int64_t APTS, uint8_t* ASample, int ASize,
                     int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>
      OnAudioInputHook, OnAudioOutputHook;
  // While AddTask opens an input, before its streams are probed; Sender is the task.
  std::function<void(TFFmpeg* Sender, AVFormatContext* AFormatContext)> OnBeforeFindStreamInfo;

private:
  void CheckWorking(const char* op);
  // Starts the next task unless none is left to start (false).
  bool StartNext();
  // Runs an event handler in the main thread or in the caller's, as TriggerEventInMainThread says.
  void Fire(const std::function<void()>& call);
  void TaskProgress(TCustomFFmpeg* task, const TEngineProgress& p);
  void TaskTerminate(TCustomFFmpeg* task);
  void TaskPreview(TCustomFFmpeg* task, const TBitmap& bitmap, int64_t pts, int frameNumber);
  void TaskVideoHook(bool output, TCustomFFmpeg* task, TBitmap& bitmap, int frameNumber,
                     int64_t pts, bool& update, bool& stop);
  void TaskFrameHook(bool output, TCustomFFmpeg* task, uint8_t* const data[4],
                     const int linesize[4], AVPixelFormat pixFmt, int width, int height,
                     int frameNumber, int64_t pts);
  void TaskAudioHook(bool output, TCustomFFmpeg* task, int64_t pts, uint8_t* samples, int size,
                     int sampleRate, int channels, AVSampleFormat sampleFormat);
  void TaskBeforeFindStreamInfo(TFFmpeg* task, AVFormatContext* context);
  void FinalNotice();
  // Hands a termination notice to the deliverer (threaded mode, or a stop before the start).
  void Deliver(const TTerminateInfo& info);
  int IndexOf(const TCustomFFmpeg* task) const;

  std::vector<std::unique_ptr<TFFmpeg>> FTasks;
  bool FPreview = false;
  bool FPreviewBitmap = false;
  int FProgressInterval = 500;
  bool FTriggerEventInMainThread = true;
  bool FAbortOnOptionError = true;
  TThreadPriority FThreadPriority = tpNormal;
  std::string FLastErrMsg;
  std::atomic<bool> FWorking{false}, FPaused{false}, FAllDone{false};
  std::atomic<bool> FDestroying{false};  // set first in the destructor: no event goes out
  bool FThreaded = false;
  int FToStart = 0;
  int FNextIndex = -1;
  int FFinishedCount = 0;
  // Guards FToStart, FNextIndex, FFinishedCount and FTerminateInfo, and hands the notices to
  // FNotices in the order the tasks ended. Recursive because it is re-entered in one thread:
  // TaskTerminate starts the next task (StartNext); a task that fails its checks in Start
  // terminates at once (TaskTerminate again); and in the synchronous mode OnTerminate runs under
  // it and may call Stop, which terminates the tasks not started yet (TaskTerminate again).
  std::recursive_mutex FTerminateLock;
  // Guards FProgressInfo while the handler reads it (one report at a time across the tasks).
  std::mutex FProgressLock;
  // Guards FPreviewInfo while the handler reads it.
  std::mutex FPreviewLock;
  // Guards FHookInfo while a video hook handler uses it.
  std::mutex FVideoHookLock;
  // Guards FFrameHookInfo while a frame hook handler uses it.
  std::mutex FFrameHookLock;
  // No record of its own: keeps the audio hook handlers one at a time across the tasks.
  std::mutex FAudioHookLock;
  // Keeps the before-find-stream-info handlers one at a time.
  std::mutex FFindStreamInfoLock;
  TProgressInfo FProgressInfo;
  TTerminateInfo FTerminateInfo;
  TPreviewInfo FPreviewInfo;
  THookInfo FHookInfo;
  TFrameHookInfo FFrameHookInfo;
  // Termination notices leave the ending worker here, in the order the tasks ended.
  TNoticeDeliverer FNotices;
};
