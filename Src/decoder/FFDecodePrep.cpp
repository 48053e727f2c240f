// Decoder component: preparing the pictures before the current one on a worker thread.
//
// Stepping back from a picture reached by a jump needs the group of pictures before it decoded
// again, which on a long group takes far longer than a person waits. After each step the
// decoder tells the worker which picture is the earliest it holds; the worker, with a decoder
// of its own on the same file, decodes the pictures before that one and hands them over. The
// main decoder takes them at its next call, only when they still end right before its earliest
// picture, so a run for an older position is never shown. A newer request cancels the run.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "decoder/FFDecode.h"

namespace {
// Fewer pictures than this before the current one are worth preparing more.
constexpr size_t kPrepareBelow = 16;
// A request waits this long for a newer one before the worker starts on it: the steps of a
// decode to a time, or the positions of a drag, do not each start a run.
constexpr auto kSettle = std::chrono::milliseconds(25);

bool IsRegularFile(const std::string& path) {
  struct stat sb {};
  return !path.empty() && stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
}

int DecodeThreadCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(n, 1u, 4u));
}
}  // namespace

class TFFDecoder::TBackPrep {
public:
  // What the worker is asked for: the pictures before Before, in Stream, at most Budget bytes
  // (which does not tell requests apart: it changes with every step forward).
  struct TJob {
    int Stream = -1;
    int64_t Before = AV_NOPTS_VALUE;
    bool Deinterlace = false;
    size_t Budget = 0;
    bool operator==(const TJob& o) const {
      return Stream == o.Stream && Before == o.Before && Deinterlace == o.Deinterlace;
    }
  };

  TBackPrep(std::string path, std::string format) : FPath(std::move(path)), FFormat(std::move(format)) {
    FThread = std::thread([this] { Run(); });
  }
  ~TBackPrep() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
      ++FGeneration;
    }
    FWake.notify_all();
    FThread.join();
  }

  // A new request; the same one as before keeps its run (or its result), or waits on.
  void Want(const TJob& job) {
    std::unique_lock<std::mutex> lock(FLock);
    if (FHave && FJob == job) {
      if (!FStarted) FPosted = std::chrono::steady_clock::now();
      return;
    }
    if (FHave && FStarted && !FDone) ++FStats.Cancelled;
    ++FGeneration;
    FHave = true;
    FJob = job;
    FStarted = FDone = FUrgent = false;
    FPosted = std::chrono::steady_clock::now();
    FResult.clear();
    lock.unlock();
    FWake.notify_all();
  }

  void Drop() {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FHave) return;
    if (FStarted && !FDone) ++FStats.Cancelled;
    ++FGeneration;
    FHave = false;
    FResult.clear();
  }

  // The pictures before job.Before when they are ready (after waiting for a run of that
  // request when wait is set); false when there are none for it.
  bool Take(const TJob& job, bool wait, std::deque<TFrameItem>& out) {
    std::unique_lock<std::mutex> lock(FLock);
    if (!FHave || !(FJob == job)) return false;
    if (wait && !FDone) {
      FUrgent = true;
      FWake.notify_all();
      const uint64_t gen = FGeneration;
      FWake.wait(lock, [&] { return FDone || FGeneration != gen; });
      if (FGeneration != gen) return false;
    }
    if (!FDone) return false;
    out = std::move(FResult);
    FResult.clear();
    FHave = false;
    return FOk;
  }

  TPrepareStats Stats() const {
    std::lock_guard<std::mutex> lock(FLock);
    TPrepareStats s = FStats;
    s.Busy = FHave && FStarted && !FDone;
    return s;
  }

private:
  void Run() {
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
      if (FStop) return;
      if (!FHave || FStarted) {
        FWake.wait(lock);
        continue;
      }
      if (!FUrgent) {
        const auto at = FPosted + kSettle;
        if (std::chrono::steady_clock::now() < at) {
          FWake.wait_until(lock, at);
          continue;
        }
      }
      FStarted = true;
      ++FStats.Started;
      const TJob job = FJob;
      const uint64_t gen = FGeneration;
      lock.unlock();
      std::deque<TFrameItem> got;
      const bool ok = Prepare(job, gen, got);
      lock.lock();
      if (gen == FGeneration) {
        FDone = true;
        FOk = ok;
        FResult = std::move(got);
        ++FStats.Finished;
      } else {
        // Freed outside the lock: the main thread may be waiting for it.
        lock.unlock();
        got.clear();
        lock.lock();
      }
      FWake.notify_all();
    }
  }

  bool Prepare(const TJob& job, uint64_t gen, std::deque<TFrameItem>& out) {
    if (!FDecoder && !FOpenFailed) {
      FDecoder = std::make_unique<TFFDecoder>();
      FDecoder->SetQuiet(true);
      FDecoder->SetPrepareBack(false);
      // It decodes whole runs, where frame threads pay.
      FDecoder->SetDecodeThreads(dtFrame);
      FOpenFailed = !FDecoder->LoadFile(FPath, FFormat);
      if (FOpenFailed) FDecoder.reset();
    }
    if (!FDecoder) return false;
    FDecoder->FCancelled = [this, gen] { return FGeneration.load() != gen; };
    if (FDecoder->FCancelled()) return false;
    FDecoder->SetDeinterlace(job.Deinterlace);
    FDecoder->SetFrameCacheBytes(job.Budget);
    return FDecoder->CollectBefore(job.Stream, job.Before, out);
  }

  const std::string FPath;
  const std::string FFormat;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::atomic<uint64_t> FGeneration{0};
  bool FStop = false;
  bool FHave = false;  // a request stands
  TJob FJob;
  std::chrono::steady_clock::time_point FPosted;
  bool FUrgent = false;
  bool FStarted = false;
  bool FDone = false;
  bool FOk = false;
  std::deque<TFrameItem> FResult;
  TPrepareStats FStats;
  // Used by the worker thread alone.
  std::unique_ptr<TFFDecoder> FDecoder;
  bool FOpenFailed = false;
  std::thread FThread;
};

// Here, where the worker's type is complete.
TFFDecoder::TFFDecoder() : FPkt(av_packet_alloc()), FRecv(av_frame_alloc()) {
  if (!FPkt || !FRecv) throw std::bad_alloc();
}

TFFDecoder::~TFFDecoder() { TFFDecoder::CloseFile(); }

void TFFDecoder::StopPreparing() {
  FPrep.reset();
  FPreparedUsed = 0;
  FPrepUnavailable = false;
}

void TFFDecoder::ApplyThreads(AVCodecContext* ctx) const {
  TDecodeThreads mode = FDecodeThreads;
  // On an idle machine frame threads step H.264 and HEVC fastest (bench/frame_step: a step
  // 1.6 against 2.9 ms, a step back across a group 330 against 550 ms, 1080p); MPEG-2 and the
  // rest gain nothing from either kind.
  if (mode == dtAuto)
    mode = ctx->codec_id == AV_CODEC_ID_H264 || ctx->codec_id == AV_CODEC_ID_HEVC ? dtFrame : dtNone;
  ctx->thread_count = mode == dtNone ? 1 : DecodeThreadCount();
  ctx->thread_type = mode == dtFrame ? FF_THREAD_FRAME : mode == dtSlice ? FF_THREAD_SLICE : 0;
}

void TFFDecoder::SetPrepareBack(bool v) {
  FPrepareBack = v;
  if (!v) FPrep.reset();
}

size_t TFFDecoder::HeldBackBytes() const {
  size_t n = FPictureReady ? PictureBytes(FPicture.get()) : 0;
  for (const TFrameItem& f : FBack) n += f.Bytes();
  return n;
}

TFFDecoder::TPrepareStats TFFDecoder::PrepareStats() const {
  TPrepareStats s = FPrep ? FPrep->Stats() : TPrepareStats{};
  s.Used = FPreparedUsed;
  return s;
}

int64_t TFFDecoder::EarliestHeld() const {
  if (!FPictureReady) return AV_NOPTS_VALUE;
  return FBack.empty() ? FFramePTS : FBack.front().PTS;
}

void TFFDecoder::AfterStep(bool jump) {
  if (!FPrepareBack || FPrepUnavailable || FVideoStreamIndex < 0) return;
  const int64_t first = EarliestHeld();
  const size_t one = FPictureReady ? PictureBytes(FPicture.get()) : 0;
  const size_t held = HeldBackBytes();
  const bool worth = first != AV_NOPTS_VALUE && !FNoTimestamps && FBack.size() < kPrepareBelow &&
                     one > 0 && held + one <= FCacheBytes;
  if (!worth) {
    if (FPrep) FPrep->Drop();
    return;
  }
  if (!FPrep) {
    // Plain steps forward from the start never need it.
    if (!jump) return;
    // A stream or a context opened elsewhere cannot be opened a second time.
    const std::string path = FOwnsContext ? FileName() : std::string();
    if (!IsRegularFile(path)) {
      FPrepUnavailable = true;
      return;
    }
    FPrep = std::make_unique<TBackPrep>(path, ForcedFormatName());
  }
  FPrep->Want(TBackPrep::TJob{FVideoStreamIndex, first, FDeinterlace, FCacheBytes - held});
}

bool TFFDecoder::PickUpPrepared(bool wait) {
  if (!FPrep) return false;
  const int64_t first = EarliestHeld();
  if (first == AV_NOPTS_VALUE) return false;
  std::deque<TFrameItem> got;
  if (!FPrep->Take(TBackPrep::TJob{FVideoStreamIndex, first, FDeinterlace}, wait, got)) return false;
  if (got.empty()) return false;
  // They end right before the earliest picture held.
  while (!FBack.empty()) {
    got.push_back(std::move(FBack.front()));
    FBack.pop_front();
  }
  FBack = std::move(got);
  ++FPreparedUsed;
  TrimCaches(true);
  return true;
}

bool TFFDecoder::CollectBefore(int idx, int64_t ref, std::deque<TFrameItem>& out) {
  if (SelectVideoStream(idx) < 0 || !OpenVideoCodec(idx)) return false;
  ResetPicture();
  FBack.clear();
  FAhead.clear();
  if (!RedecodeBefore(ref)) return false;
  if (FFramePTS == AV_NOPTS_VALUE || FFramePTS >= ref) return true;  // nothing before it
  out = std::move(FBack);
  FBack.clear();
  out.push_back(TakeCurrent());
  ResetPicture();
  return true;
}
