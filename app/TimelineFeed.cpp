#include "TimelineFeed.h"

#include <QImage>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>

#include "Timeline.h"

namespace {

// A zoom or scroll asks for its span once it has rested this long.
constexpr int kSettleMs = 100;
constexpr int64_t kEnd = INT64_MAX;

}  // namespace

void TCoveredSpans::Add(int64_t from, int64_t to) {
  if (to <= from) return;
  auto it = FSpans.upper_bound(from);
  if (it != FSpans.begin() && std::prev(it)->second >= from) {
    --it;
    from = it->first;
    to = std::max(to, it->second);
  }
  while (it != FSpans.end() && it->first <= to) {
    to = std::max(to, it->second);
    it = FSpans.erase(it);
  }
  FSpans[from] = to;
}

bool TCoveredSpans::FirstGap(int64_t from, int64_t to, int64_t* gapFrom, int64_t* gapTo) const {
  auto next = FSpans.upper_bound(from);
  if (next != FSpans.begin() && std::prev(next)->second > from) from = std::prev(next)->second;
  if (from >= to) return false;
  *gapFrom = from;
  *gapTo = next != FSpans.end() ? std::min(to, next->first) : to;
  return true;
}

TTimelineFeed::TTimelineFeed(TTimeline* timeline) : QObject(timeline), FTimeline(timeline) {
  FSettle = new QTimer(this);
  FSettle->setSingleShot(true);
  FSettle->setInterval(kSettleMs);
  connect(FSettle, &QTimer::timeout, this, &TTimelineFeed::Schedule);
  connect(timeline, &TTimeline::VisibleSpanChanged, this, [this] {
    if (!FPath.empty()) FSettle->start();
  });
  FThumbs.OnThumbnail = [this](const TThumbnail& t) { ThumbnailArrived(t); };
  FThumbs.OnDone = [this](bool complete, const std::string& error) { RunDone(complete, error); };
  FWave.OnDone = [this](bool ok, const std::vector<float>&, const std::shared_ptr<const TPeakEnvelope>& envelope,
                        const std::string&) {
    if (ok && envelope) PeaksArrived(*envelope);
    FWaveDone = true;
  };
}

TTimelineFeed::~TTimelineFeed() { Close(); }

void TTimelineFeed::Open(const QString& path) {
  Close();
  if (FTimeline->Duration() <= 0) return;
  FPath = path.toStdString();
  Schedule();
  FWave.Start(FPath, std::max(1, FTimeline->width()));
}

void TTimelineFeed::Close() {
  FSettle->stop();
  StopRun();
  FThumbs.Cancel();
  FWave.Cancel();
  FPath.clear();
  FCovered.Clear();
  FScreenful = TRequest{-1, -1, -1};
  FWaveDone = false;
}

bool TTimelineFeed::StripComplete() const {
  int64_t a, b;
  return !FPath.empty() && !FRunning && !FCovered.FirstGap(0, kEnd, &a, &b);
}

void TTimelineFeed::VisibleSpan(int64_t* from, int64_t* to) const {
  const double width = std::max(1, FTimeline->width());
  *from = std::max<int64_t>(0, std::llround(FTimeline->ViewStart()));
  const double end = FTimeline->TimeAt(width);
  *to = end >= static_cast<double>(FTimeline->Duration()) ? kEnd : std::llround(end);
}

bool TTimelineFeed::NextRequest(TRequest* next) const {
  int64_t from, to, a, b;
  VisibleSpan(&from, &to);
  if (FCovered.FirstGap(from, to, &a, &b)) {
    // A screenful of pictures spread over the span shows something everywhere at once.
    const double slot = TTimeline::ThumbnailHeight() * 4.0 / 3.0;
    const TRequest screen{from, to, static_cast<int>(std::ceil(std::max(1, FTimeline->width()) / slot))};
    *next = screen == FScreenful ? TRequest{a, b, 0} : screen;
    return true;
  }
  if (FCovered.FirstGap(to, kEnd, &a, &b) || FCovered.FirstGap(0, from, &a, &b)) {
    *next = TRequest{a, b, 0};
    return true;
  }
  return false;
}

void TTimelineFeed::Schedule() {
  TRequest next;
  if (FPath.empty() || !NextRequest(&next) || (FRunning && next == FRun)) return;
  StopRun();
  FRun = next;
  FRunning = true;
  FLastTime = INT64_MIN;
  if (next.Count > 0) FScreenful = next;
  TThumbnailRequest q;
  q.From = next.From;
  q.To = next.To == kEnd ? 0 : next.To;  // 0: up to the end, however long the file really is
  q.Count = next.Count;
  q.Height = TTimeline::ThumbnailHeight();
  FThumbs.Start(FPath, q);
}

void TTimelineFeed::StopRun() {
  if (!FRunning) return;
  FThumbs.Cancel();
  FRunning = false;
  // Every key frame comes in time order: those up to the last that arrived are all there.
  if (FRun.Count == 0 && FLastTime >= FRun.From) FCovered.Add(FRun.From, FLastTime + 1);
}

void TTimelineFeed::ThumbnailArrived(const TThumbnail& t) {
  if (t.Width <= 0 || t.Height <= 0 || t.Rgb.size() < static_cast<size_t>(t.Width) * t.Height * 3) return;
  const QImage view(t.Rgb.data(), t.Width, t.Height, t.Width * 3, QImage::Format_RGB888);
  FTimeline->AddThumbnail(t.Time, view.copy());
  if (FRun.Count == 0) FLastTime = std::max(FLastTime, t.Time);
}

void TTimelineFeed::RunDone(bool complete, const std::string& error) {
  FRunning = false;
  // A span that fails is not tried again for this file.
  if (FRun.Count == 0 && (complete || !error.empty())) FCovered.Add(FRun.From, FRun.To);
  Schedule();
}

void TTimelineFeed::PeaksArrived(const TPeakEnvelope& envelope) {
  // The widget takes slices of the whole file and finds each column's peak itself, at any zoom:
  // the envelope's buckets are such slices.
  const int64_t duration = FTimeline->Duration();
  if (duration <= 0 || envelope.BucketUs <= 0) return;
  const auto slices = static_cast<size_t>((duration + envelope.BucketUs - 1) / envelope.BucketUs);
  std::vector<float> peaks(envelope.Peaks.begin(),
                           envelope.Peaks.begin() + static_cast<ptrdiff_t>(std::min(slices, envelope.Peaks.size())));
  FTimeline->SetPeaks(std::move(peaks), slices);
}
