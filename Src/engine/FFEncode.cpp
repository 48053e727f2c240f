// The encoder component: task list, starting (threaded with a limit, or synchronous), stop,
// pause and resume, and the events with their main-thread delivery. Termination notices go
// through the component's one notice deliverer, which owns the only thread it starts.
#include "engine/FFEncode.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <stdexcept>

#include "runtime/FFLoad.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"

namespace {

// Runs open with a fresh file option context, released however open ends.
template <class TOpen>
int WithFileContext(TCustomFFmpeg& task, TOpen open) {
  TFileOptionsContext ctx;
  task.InitOptionsContext(ctx);
  int ret;
  try {
    ret = open(ctx);
  } catch (...) {
    task.ReleaseOptionsContext(ctx);
    throw;
  }
  task.ReleaseOptionsContext(ctx);
  return ret;
}

// " -word " replaced by " -Word " in any letter case.
std::string ReplaceWordIgnoringCase(const std::string& text, const std::string& word) {
  std::string lower = text, lw = word;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (char& c : lw) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string out = text;
  size_t pos = 0;
  while ((pos = lower.find(lw, pos)) != std::string::npos) {
    out.replace(pos, word.size(), word);
    pos += word.size() - 1;  // the closing blank may open the next word
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Notice delivery

struct TNoticeDeliverer::TShared {
  std::mutex Lock;
  std::condition_variable Changed;
  std::deque<std::function<void()>> Queue;  // for the deliverer's thread
  int Posted = 0;          // posted to the main thread and not run yet
  int Pending = 0;         // queued or posted and not run yet
  int RunningPosts = 0;    // posted calls running now (in the main thread)
  bool ThreadBusy = false; // the deliverer's thread runs a call
  bool ThreadEnded = false;
  bool Closed = false;
};

namespace {

void RunDroppingErrors(const std::function<void()>& call) {
  try {
    call();
  } catch (...) {
  }
}

}  // namespace

TNoticeDeliverer::TNoticeDeliverer() : FShared(std::make_shared<TShared>()) {}

TNoticeDeliverer::~TNoticeDeliverer() { Close(); }

void TNoticeDeliverer::Deliver(std::function<void()> call, bool onMain) {
  TShared& s = *FShared;
  std::lock_guard<std::mutex> lock(s.Lock);
  if (s.Closed) return;
  s.Pending++;
  if (onMain && s.Queue.empty() && !s.ThreadBusy) {
    // Posted under the lock, so that posts keep the order of the calls here.
    s.Posted++;
    PostToMainThread([shared = FShared, call = std::move(call)] {
      TShared& st = *shared;
      bool run;
      {
        std::lock_guard<std::mutex> l(st.Lock);
        run = !st.Closed;
        if (run) st.RunningPosts++;
      }
      if (run) RunDroppingErrors(call);
      {
        std::lock_guard<std::mutex> l(st.Lock);
        if (run) st.RunningPosts--;
        st.Posted--;
        st.Pending--;
      }
      st.Changed.notify_all();
    });
    return;
  }
  // The thread has notices before this one: a main-thread notice waits its turn there.
  if (onMain)
    s.Queue.push_back([call = std::move(call)] { RunInMainThread(call); });
  else
    s.Queue.push_back(std::move(call));
  if (!FThread.joinable()) FThread = std::thread([this] { ThreadLoop(); });
  s.Changed.notify_all();
}

void TNoticeDeliverer::ThreadLoop() {
  TShared& s = *FShared;
  std::unique_lock<std::mutex> lock(s.Lock);
  for (;;) {
    // Notices posted to the main thread before these go first.
    s.Changed.wait(lock, [&] { return s.Closed || (!s.Queue.empty() && s.Posted == 0); });
    if (s.Closed) break;
    std::function<void()> call = std::move(s.Queue.front());
    s.Queue.pop_front();
    s.ThreadBusy = true;
    lock.unlock();
    RunDroppingErrors(call);
    call = nullptr;
    lock.lock();
    s.ThreadBusy = false;
    s.Pending--;
    s.Changed.notify_all();
    WakeMainThread();
  }
  s.ThreadEnded = true;
  lock.unlock();
  WakeMainThread();
}

void TNoticeDeliverer::WaitDelivered() {
  TShared& s = *FShared;
  WaitInMainThread([&] {
    std::lock_guard<std::mutex> lock(s.Lock);
    return s.Pending == 0;
  }, -1);
}

void TNoticeDeliverer::Close() {
  TShared& s = *FShared;
  {
    std::lock_guard<std::mutex> lock(s.Lock);
    if (s.Closed && !FThread.joinable()) return;
    s.Closed = true;
    s.Queue.clear();
  }
  s.Changed.notify_all();
  // A call running now ends first. Posted calls run only in the main thread, so there one
  // running now is the caller itself; the thread may wait for the main thread.
  const bool onMain = IsMainThread();
  const bool threadStarted = FThread.joinable();
  WaitInMainThread([&] {
    std::lock_guard<std::mutex> lock(s.Lock);
    return (onMain || s.RunningPosts == 0) && (!threadStarted || s.ThreadEnded);
  }, -1);
  if (threadStarted) FThread.join();
}

TFFEncoder::TFFEncoder() = default;

TFFEncoder::~TFFEncoder() {
  // Workers read the handlers until they end: silence the events first through the flag, stop
  // and wait for every task, close the notices (a notice running now ends first), and only then
  // let the handlers go.
  FDestroying = true;
  {
    std::lock_guard<std::recursive_mutex> lock(FTerminateLock);
    FToStart = 0;
  }
  for (auto& t : FTasks) {
    if (t->Suspended()) t->ResumeWorker();
    t->Stop(true);
  }
  FNotices.Close();
  FTasks.clear();
  OnProgress = nullptr;
  OnTerminate = nullptr;
  OnPreviewBitmap = nullptr;
  OnVideoInputHook = OnVideoOutputHook = nullptr;
  OnFrameInputHook = OnFrameOutputHook = nullptr;
  OnAudioInputHook = OnAudioOutputHook = nullptr;
}

void TFFEncoder::CheckWorking(const char* op) {
  if (FWorking) throw std::runtime_error(std::string("Cannot ") + op + " while working.");
}

int TFFEncoder::IndexOf(const TCustomFFmpeg* task) const {
  for (size_t i = 0; i < FTasks.size(); i++)
    if (FTasks[i].get() == task) return static_cast<int>(i);
  return -1;
}

bool TFFmpeg::PreviewCallbackAssigned() const {
  return OnPreviewBitmap && Owner && Owner->OnPreviewBitmap;
}

void TFFEncoder::SetPreview(bool v) {
  FPreview = v;
  for (auto& t : FTasks) t->ChangePreviewFlags(1, v);
}

void TFFEncoder::SetPreviewBitmap(bool v) {
  FPreviewBitmap = v;
  for (auto& t : FTasks) t->ChangePreviewFlags(2, v);
}

void TFFEncoder::ClearTasks() {
  if (FWorking && !FAllDone) throw std::runtime_error("Cannot ClearTasks while working.");
  FNotices.WaitDelivered();
  FTasks.clear();
  FLastErrMsg.clear();
  FFinishedCount = 0;
  FNextIndex = -1;
  FToStart = 0;
  FAllDone = false;
  FThreaded = false;
  FWorking = false;
  FPaused = false;
}

int TFFEncoder::AddTask(const std::string& fileName, TInputOptions* options) {
  CheckWorking("AddTask");
  std::unique_ptr<TFFmpeg> task;
  try {
    task = std::make_unique<TFFmpeg>(this);
    task->BuildOptionTable();
    task->OnPreviewBitmap = [this](TCustomFFmpeg* t, const TBitmap& b, int64_t pts, int n) {
      TaskPreview(t, b, pts, n);
    };
    task->SetPreviewFlags((FPreview ? 1 : 0) | (FPreviewBitmap ? 2 : 0));
    task->SetLastErrMsg("");
    task->SetAbortOnOptionError(FAbortOnOptionError);
    task->ReadTimeoutMs = ReadTimeout();
    task->WriteTimeoutMs = WriteTimeout();
    if (OnBeforeFindStreamInfo) {
      TFFmpeg* t = task.get();
      task->OnBeforeFindStreamInfo = [this, t](TCustomFFmpegOpt*, AVFormatContext* s) {
        TaskBeforeFindStreamInfo(t, s);
      };
    }
    std::string opts, presets;
    if (options) {
      if (options->FileName.empty()) options->FileName = fileName;
      task->InputOptions.push_back(*options);
      opts = options->FileOptions;
      presets = options->FilePresets;
    } else {
      task->InputOptions.emplace_back();
    }
    const int ret = WithFileContext(*task, [&](TFileOptionsContext& ctx) {
      return task->OpenInputFile(ctx, opts, fileName, presets);
    });
    if (ret < 0) {
      FLastErrMsg = task->LastErrMsg();
      return ret;
    }
    task->OnProgress = [this](TCustomFFmpeg* t, const TEngineProgress& p) { TaskProgress(t, p); };
    task->OnTerminate = [this](TCustomFFmpeg* t) { TaskTerminate(t); };
    FTasks.push_back(std::move(task));
    return static_cast<int>(FTasks.size()) - 1;
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    return -1;
  }
}

int TFFEncoder::SetOutput(int taskIndex, const std::string& fileName, TOutputOptions* options) {
  CheckWorking("SetOutput");
  TFFmpeg* task = FTasks.at(static_cast<size_t>(taskIndex)).get();
  try {
    task->SetLastErrMsg("");
    task->SetAbortOnOptionError(FAbortOnOptionError);
    task->ReadTimeoutMs = ReadTimeout();
    task->WriteTimeoutMs = WriteTimeout();
    std::string opts, presets;
    bool join = false;
    if (options) {
      if (options->FileName.empty()) options->FileName = fileName;
      task->OutputOptions.push_back(*options);
      task->AudioInputHook = options->AudioInputHook;
      task->AudioOutputHook = options->AudioOutputHook;
      task->VideoInputHook = options->VideoInputHook;
      task->VideoOutputHook = options->VideoOutputHook;
      task->FrameInputHook = options->FrameInputHook;
      task->FrameOutputHook = options->FrameOutputHook;
      using namespace std::placeholders;
      if (options->VideoInputHook)
        task->OnVideoInputHook = std::bind(&TFFEncoder::TaskVideoHook, this, false, _1, _2, _3,
                                           _4, _5, _6);
      if (options->VideoOutputHook)
        task->OnVideoOutputHook = std::bind(&TFFEncoder::TaskVideoHook, this, true, _1, _2, _3,
                                            _4, _5, _6);
      if (options->FrameInputHook)
        task->OnFrameInputHook = std::bind(&TFFEncoder::TaskFrameHook, this, false, _1, _2, _3,
                                           _4, _5, _6, _7, _8);
      if (options->FrameOutputHook)
        task->OnFrameOutputHook = std::bind(&TFFEncoder::TaskFrameHook, this, true, _1, _2, _3,
                                            _4, _5, _6, _7, _8);
      if (options->AudioInputHook)
        task->OnAudioInputHook = std::bind(&TFFEncoder::TaskAudioHook, this, false, _1, _2, _3,
                                           _4, _5, _6, _7);
      if (options->AudioOutputHook)
        task->OnAudioOutputHook = std::bind(&TFFEncoder::TaskAudioHook, this, true, _1, _2, _3,
                                            _4, _5, _6, _7);
      const int bpp = options->VideoHookBitsPixel;
      if (!TBitmap::ValidBits(bpp))
        throw std::runtime_error("Invalid BitsPixel " + std::to_string(bpp));
      task->SetVideoHookBitsPixel(bpp);
      opts = options->FileOptions;
      presets = options->FilePresets;
      join = options->Join;
    } else {
      task->OutputOptions.emplace_back();
    }
    opts = " " + opts + " ";
    for (const char* name : kApplicationOptionNames)
      opts = ReplaceWordIgnoringCase(opts, std::string(" -") + name + " ");
    size_t b = opts.find_first_not_of(' '), e = opts.find_last_not_of(' ');
    opts = b == std::string::npos ? std::string() : opts.substr(b, e - b + 1);
    const int ret = WithFileContext(*task, [&](TFileOptionsContext& ctx) {
      return task->OpenOutputFile(ctx, opts, join, fileName, presets);
    });
    if (ret < 0) {
      FLastErrMsg = task->LastErrMsg();
      task->OutputOptions.back() = TOutputOptions();
    }
    return ret;
  } catch (const std::exception& e) {
    const std::string& t = task->LastErrMsg();
    FLastErrMsg = t.empty() || t == e.what() ? e.what() : t + "\r\n" + e.what();
    return -1;
  }
}

void TFFEncoder::RemoveTask(int taskIndex) {
  CheckWorking("RemoveTask");
  if (taskIndex < 0 || taskIndex >= static_cast<int>(FTasks.size())) return;
  FTasks.erase(FTasks.begin() + taskIndex);
}

void TFFEncoder::StartTask(int threadCount) {
  CheckWorking("StartTask");
  FFinishedCount = 0;
  FNextIndex = 0;
  FToStart = static_cast<int>(FTasks.size());
  FAllDone = false;
  FThreaded = threadCount > 0;
  FWorking = true;
  FPaused = false;
  // A task that ends at once starts the next one itself, so what is left is only read under
  // the lock, in StartNext.
  int started = 0;
  while (StartNext()) {
    if (FThreaded && ++started >= threadCount) break;
  }
}

bool TFFEncoder::StartNext() {
  std::unique_lock<std::recursive_mutex> lock(FTerminateLock);
  if (FToStart <= 0) return false;
  FToStart--;
  TFFmpeg* task = FTasks[static_cast<size_t>(FNextIndex)].get();
  FNextIndex++;
  task->ProgressIntervalUs = int64_t(FProgressInterval) * 1000;
  task->WorkerPriority = FThreadPriority;
  if (FThreaded) {
    task->Start(true);
  } else {
    // The whole task runs here; its termination handler runs here too. Let go meanwhile, so
    // that Stop from another thread gets through.
    lock.unlock();
    task->Start(false);
    lock.lock();
  }
  return true;
}

void TFFEncoder::Stop(bool wait) {
  {
    std::lock_guard<std::recursive_mutex> lock(FTerminateLock);
    FToStart = 0;
  }
  if (!FWorking) return;
  for (auto& t : FTasks) {
    if (t->Suspended()) t->ResumeWorker();
    t->Stop(wait);
  }
}

void TFFEncoder::Pause() {
  if (!FWorking || FPaused) return;
  for (auto& t : FTasks)
    if (t->Running() && !t->Suspended()) t->Suspend();
  FPaused = true;
}

void TFFEncoder::Resume() {
  if (!FWorking || !FPaused) return;
  for (auto& t : FTasks)
    if (t->Suspended()) t->ResumeWorker();
  FPaused = false;
}

void TFFEncoder::Fire(const std::function<void()>& call) {
  if (FTriggerEventInMainThread)
    RunInMainThread(call);
  else
    call();
}

bool TFFEncoder::AVLibLoaded() const { return FFLoader().AllLoaded(AllLibraries); }

bool TFFEncoder::LoadAVLib(const std::string& folder) {
  FFLoader().SetLibraryPath(folder);
  if (FFLoader().LoadLibs(AllLibraries)) return true;
  FLastErrMsg = FFLoader().LastErrMsg();
  return false;
}

void TFFEncoder::TaskBeforeFindStreamInfo(TFFmpeg* task, AVFormatContext* context) {
  if (FDestroying || !OnBeforeFindStreamInfo) return;
  std::lock_guard<std::mutex> lock(FFindStreamInfoLock);
  Fire([this, task, context] {
    if (!FDestroying && OnBeforeFindStreamInfo) OnBeforeFindStreamInfo(task, context);
  });
}

void TFFEncoder::TaskProgress(TCustomFFmpeg* task, const TEngineProgress& p) {
  if (FDestroying || !OnProgress) return;
  std::lock_guard<std::mutex> lock(FProgressLock);
  TProgressInfo& i = FProgressInfo;
  i.TaskIndex = IndexOf(task);
  i.FileIndex = p.FileIndex;
  i.FrameNumber = p.FrameNumber;
  i.FPS = p.FPS;
  i.Quality = p.Quality;
  i.BitRate = p.BitRate;
  i.CurrentSize = p.CurrentSize;
  i.CurrentDuration = p.CurrentDuration;
  i.TotalDuration = p.TotalDuration;
  auto call = [this] {
    if (!FDestroying && OnProgress) OnProgress(this, &FProgressInfo);
  };
  Fire(call);
}

void TFFEncoder::TaskPreview(TCustomFFmpeg* task, const TBitmap& bitmap, int64_t pts,
                             int frameNumber) {
  if (FDestroying || !OnPreviewBitmap) return;
  std::lock_guard<std::mutex> lock(FPreviewLock);
  TPreviewInfo& i = FPreviewInfo;
  i.TaskIndex = IndexOf(task);
  i.Bitmap = &bitmap;
  i.FrameNumber = frameNumber;
  i.PTS = pts;
  auto call = [this] {
    if (!FDestroying && OnPreviewBitmap) OnPreviewBitmap(this, FPreviewInfo);
  };
  Fire(call);
}

void TFFEncoder::TaskVideoHook(bool output, TCustomFFmpeg* task, TBitmap& bitmap,
                               int frameNumber, int64_t pts, bool& update, bool& stop) {
  if (FDestroying) return;
  auto& handler = output ? OnVideoOutputHook : OnVideoInputHook;
  if (!handler) return;
  std::lock_guard<std::mutex> lock(FVideoHookLock);
  THookInfo& i = FHookInfo;
  i.TaskIndex = IndexOf(task);
  i.Bitmap = &bitmap;
  i.FrameNumber = frameNumber;
  i.PTS = pts;
  i.Update = update;
  i.StopHook = stop;
  handler(this, &i);
  update = i.Update;
  stop = i.StopHook;
}

void TFFEncoder::TaskFrameHook(bool output, TCustomFFmpeg* task, uint8_t* const data[4],
                               const int linesize[4], AVPixelFormat pixFmt, int width, int height,
                               int frameNumber, int64_t pts) {
  if (FDestroying) return;
  auto& handler = output ? OnFrameOutputHook : OnFrameInputHook;
  if (!handler) return;
  std::lock_guard<std::mutex> lock(FFrameHookLock);
  TFrameHookInfo& i = FFrameHookInfo;
  i.TaskIndex = IndexOf(task);
  i.FrameNumber = frameNumber;
  for (int k = 0; k < 4; k++) {
    i.Data[k] = data[k];
    i.Linesize[k] = linesize[k];
  }
  i.PixFmt = pixFmt;
  i.Width = width;
  i.Height = height;
  i.PTS = pts;
  handler(this, &i);
}

void TFFEncoder::TaskAudioHook(bool output, TCustomFFmpeg* task, int64_t pts, uint8_t* samples,
                               int size, int sampleRate, int channels,
                               AVSampleFormat sampleFormat) {
  if (FDestroying) return;
  auto& handler = output ? OnAudioOutputHook : OnAudioInputHook;
  if (!handler) return;
  std::lock_guard<std::mutex> lock(FAudioHookLock);
  handler(this, IndexOf(task), pts, samples, size, sampleRate, channels, sampleFormat);
}

void TFFEncoder::Deliver(const TTerminateInfo& info) {
  auto handler = OnTerminate;
  FNotices.Deliver(
      [this, handler, info] {
        if (handler && !FDestroying) handler(this, info);
      },
      FTriggerEventInMainThread);
}

void TFFEncoder::TaskTerminate(TCustomFFmpeg* task) {
  std::lock_guard<std::recursive_mutex> lock(FTerminateLock);
  if (!FDestroying && OnTerminate) {
    TTerminateInfo& i = FTerminateInfo;
    i.TaskIndex = IndexOf(task);
    i.Finished = task->Finished();
    i.Exception = task->Exception();
    i.ExceptionMsg = task->ExceptionMsg();
    if (FThreaded || !FWorking) {
      Deliver(i);
    } else {
      OnTerminate(this, i);
    }
  }
  FFinishedCount++;
  if (FToStart < 1) {
    if (FFinishedCount >= static_cast<int>(FTasks.size())) FinalNotice();
  } else if (FThreaded) {
    StartNext();
  }
}

void TFFEncoder::FinalNotice() {
  FAllDone = true;
  if (FDestroying || !OnTerminate) return;
  TTerminateInfo& i = FTerminateInfo;
  i.TaskIndex = -1;
  i.Finished = true;
  i.Exception = false;
  i.ExceptionMsg.clear();
  if (FThreaded || !FWorking)
    Deliver(i);
  else
    OnTerminate(this, i);
}
