#include "timeline/TimelineWork.h"

#include <sys/stat.h>

#include "runtime/MainThread.h"
#include "runtime/MediaTexts.h"
#include "runtime/ThreadPriority.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

int CancelRequested(void* opaque) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(opaque);
  return cancel && cancel->load() ? 1 : 0;
}

}  // namespace

std::string FileCacheKey(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return path + "|" + std::to_string(st.st_size) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

int OpenTimelineInput(const std::string& path, const std::atomic<bool>* cancel, TInputFormatPtr* ic,
                      std::string* error) {
  const AVIOInterruptCB interrupt{&CancelRequested, const_cast<std::atomic<bool>*>(cancel)};
  AVFormatContext* raw = nullptr;
  int r = OpenUserInput(&raw, path, &interrupt);
  if (r >= 0) {
    ic->reset(raw);
    r = avformat_find_stream_info(raw, nullptr);
  }
  if (r < 0) {
    ic->reset();
    *error = ErrorText(path, r);
  }
  return r;
}

int64_t TimelineOrigin(const AVFormatContext* ic, const AVStream* st) {
  const int v = av_find_best_stream(const_cast<AVFormatContext*>(ic), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVStream* video = v >= 0 ? ic->streams[v] : nullptr;
  if (video && video->start_time != AV_NOPTS_VALUE)
    return av_rescale_q(video->start_time, video->time_base, st->time_base);
  return st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
}

bool TProgressStep::Next(double share) {
  const int percent = static_cast<int>(share * 100);
  if (percent <= FLast) return false;
  FLast = percent;
  return true;
}

void TBackgroundRun::TContext::Post(std::function<void()> fn) const {
  PostToMainThread([current = FCurrent, generation = FGeneration, fn = std::move(fn)] {
    if (current->load() == generation) fn();
  });
}

TBackgroundRun::~TBackgroundRun() { Cancel(); }

void TBackgroundRun::Cancel() {
  FCancel = true;
  if (FThread.joinable()) FThread.join();
  // Whatever the old run queued is stale from now on.
  ++*FCurrent;
  FCancel = false;
  FRunning = false;
}

void TBackgroundRun::Start(std::function<void(const TContext&)> work) {
  Cancel();
  TContext context;
  context.FCancel = &FCancel;
  context.FCurrent = FCurrent;
  context.FGeneration = FCurrent->load();
  FRunning = true;
  FThread = std::thread([this, context, work = std::move(work)] {
    // Background work: on a busy machine the window's thread comes first (the codec's threads
    // inherit it). Five steps, so a cancel is still served at once.
    SetCurrentThreadPriority(tpLower);
    work(context);
    FRunning = false;
  });
}
