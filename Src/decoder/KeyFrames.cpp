#include "decoder/KeyFrames.h"

#include <algorithm>

#include "runtime/FFOwners.h"
#include "runtime/MediaTexts.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

int CancelRequested(void* opaque) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(opaque);
  return cancel && cancel->load() ? 1 : 0;
}

void SortUnique(std::vector<int64_t>* v) {
  std::sort(v->begin(), v->end());
  v->erase(std::unique(v->begin(), v->end()), v->end());
}

}  // namespace

bool ScanKeyFrames(const std::string& fileName, int streamIndex, std::vector<int64_t>* times,
                   std::string* error, const std::atomic<bool>* cancel,
                   const std::function<void(int64_t)>& onFound) {
  std::string err;
  if (!error) error = &err;
  const AVIOInterruptCB interrupt{&CancelRequested, const_cast<std::atomic<bool>*>(cancel)};
  AVFormatContext* raw = nullptr;
  int r = OpenUserInput(&raw, fileName, &interrupt);
  if (r < 0) {
    *error = ErrorText(fileName, r);
    return false;
  }
  TInputFormatPtr ic(raw);
  r = avformat_find_stream_info(ic.get(), nullptr);
  if (r < 0) {
    *error = ErrorText(fileName, r);
    return false;
  }
  if (streamIndex < 0)
    streamIndex = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (streamIndex < 0 || streamIndex >= static_cast<int>(ic->nb_streams) ||
      ic->streams[streamIndex]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    *error = fileName + ": no video stream";
    return false;
  }
  // Only the one stream's packets are wanted; demuxers skip the others' payload.
  for (unsigned i = 0; i < ic->nb_streams; i++)
    if (static_cast<int>(i) != streamIndex) ic->streams[i]->discard = AVDISCARD_ALL;
  const AVStream* st = ic->streams[streamIndex];

  std::vector<int64_t> found;
  TPacketPtr pkt(av_packet_alloc());
  if (!pkt) {
    *error = ErrorText(fileName, AVERROR(ENOMEM));
    return false;
  }
  bool ok = true;
  for (;;) {
    r = av_read_frame(ic.get(), pkt.get());
    if (r == AVERROR_EOF) break;
    if (cancel && cancel->load()) {
      ok = false;
      break;
    }
    if (r == AVERROR(EAGAIN)) continue;
    if (r < 0) {
      // A damaged tail ends the list; what was read stays valid.
      if (found.empty()) {
        *error = ErrorText(fileName, r);
        ok = false;
      }
      break;
    }
    if (pkt->stream_index == streamIndex && (pkt->flags & AV_PKT_FLAG_KEY)) {
      int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      if (ts != AV_NOPTS_VALUE) {
        if (st->start_time != AV_NOPTS_VALUE) ts -= st->start_time;
        const int64_t us = av_rescale_q(ts, st->time_base, AV_TIME_BASE_Q);
        found.push_back(us);
        if (onFound) onFound(us);
      }
    }
    av_packet_unref(pkt.get());
  }
  if (!ok) return false;
  SortUnique(&found);
  if (times) *times = std::move(found);
  return true;
}

TKeyFrameScanner::~TKeyFrameScanner() { Cancel(); }

void TKeyFrameScanner::Cancel() {
  FCancel = true;
  if (FThread.joinable()) FThread.join();
  FCancel = false;
  FRunning = false;
  FComplete = false;
  std::lock_guard<std::mutex> lock(FLock);
  FFound.clear();
  FError.clear();
  FGeneration++;
}

void TKeyFrameScanner::Start(const std::string& fileName, int streamIndex) {
  Cancel();
  FRunning = true;
  FThread = std::thread([this, fileName, streamIndex] {
    std::string error;
    std::vector<int64_t> times;
    const bool ok = ScanKeyFrames(fileName, streamIndex, &times, &error, &FCancel, [this](int64_t t) {
      std::lock_guard<std::mutex> lock(FLock);
      FFound.push_back(t);
      FGeneration++;
    });
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (ok) FFound = std::move(times);
      FError = error;
    }
    FComplete = ok;
    FGeneration++;
    FRunning = false;
  });
}

std::vector<int64_t> TKeyFrameScanner::Times() const {
  std::vector<int64_t> v;
  {
    std::lock_guard<std::mutex> lock(FLock);
    v = FFound;
  }
  SortUnique(&v);
  return v;
}
