// The main window's time line: the track bar's moves and the timeline widget under the picture.
// A move by a click, a key or a button shows the exact picture and moves a playing player
// there at once; a drag of the thumb shows the key frame before the thumb's time straight
// away and the exact picture once the drag rests or ends, so that dragging stays fluid on a
// file with long groups of pictures.
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "MainUnit.h"
#include "Timeline.h"
#include "TimelineFeed.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "player/FFPlay.h"

namespace {
// A drag that rests this long gets the exact picture.
constexpr int kDragPauseMs = 150;
}  // namespace

void TfrmMain::BuildTimeline(QVBoxLayout* root) {
  Timeline1 = new TTimeline(this);
  Timeline1->setObjectName(QStringLiteral("Timeline1"));
  root->addWidget(Timeline1);
  FTimelineFeed = new TTimelineFeed(Timeline1);
  FDragPauseTimer = new QTimer(this);
  FDragPauseTimer->setSingleShot(true);
  FDragPauseTimer->setInterval(kDragPauseMs);
  connect(FDragPauseTimer, &QTimer::timeout, this, [this] { Guarded(&TfrmMain::RefineRoughPicture); });
  // The track bar's change handler does the work, guarded there.
  connect(Timeline1, &TTimeline::TimeClicked, this, &TfrmMain::TimelineClicked);
  // A drag on the timeline is a drag of the thumb.
  connect(Timeline1, &TTimeline::DragStarted, this, [this] { TrackBar1->setSliderDown(true); });
  connect(Timeline1, &TTimeline::DragEnded, this, [this] { TrackBar1->setSliderDown(false); });
}

void TfrmMain::ActOnTrackPosition(const std::function<void()>& show) {
  FSeeking = true;
  // Whatever happens, the position acted upon is the one now shown.
  struct TRestore {
    TfrmMain* W;
    ~TRestore() {
      W->FLastTrackPos = W->TrackBar1->value();
      W->FSeeking = false;
    }
  } restore{this};
  show();
}

int64_t TfrmMain::TrackTarget(int pos) const {
  const int max = TrackBar1->maximum();
  return max < 1 ? int64_t(0) : static_cast<int64_t>(std::nearbyint(static_cast<double>(pos) / max * FDuration));
}

bool TfrmMain::ShowExactly(int64_t to) {
  FRoughPicture = false;
  const bool sought = FDecoder->Seek(to, 0) || FDecoder->Seek(to, AVSEEK_FLAG_BACKWARD) ||
                      FDecoder->Seek(to, AVSEEK_FLAG_ANY);
  if (!sought) return false;
  while (FDecoder->Decode(-1)) {
    if (FDecoder->FramePTS() >= to || to <= 0) {
      ShowCurrentFrame();
      return true;
    }
  }
  return false;
}

void TfrmMain::ShowKeyFrameNear(int64_t to) {
  // A seek lands on the key frame at or before the time; its picture is the first decoded.
  const bool sought = FDecoder->Seek(to, 0) || FDecoder->Seek(to, AVSEEK_FLAG_BACKWARD);
  if (!sought || !FDecoder->Decode(-1)) {
    ShowExactly(to);
    return;
  }
  ShowCurrentFrame();
  FRoughPicture = FCurrentPTS < to;
  if (FRoughPicture) FDragPauseTimer->start();
}

void TfrmMain::RefineRoughPicture() {
  FDragPauseTimer->stop();
  if (!FRoughPicture || FSeeking || !TrackBar1->isEnabled()) return;
  if (FFollowing) {
    // The player is still busy with the last picture: a seek now would be swallowed.
    FDragPauseTimer->start();
    return;
  }
  ActOnTrackPosition([this] { ShowExactly(TrackTarget(TrackBar1->value())); });
  if (TrackBar1->isSliderDown()) FollowDrag();
}

void TfrmMain::TrackBar1MouseUp() {
  RefineRoughPicture();
  FFollowedPTS = INT64_MIN;
  FollowPlayback();
}

void TfrmMain::FollowPlayback() {
  if (!FPlayer || FPlayer->State() != psPlay) return;
  // Waiting keeps the next seek from being swallowed by one still pending.
  FFollowing = true;
  struct TDone {
    bool& F;
    ~TDone() { F = false; }
  } done{FFollowing};
  FPlayer->Seek(AVSEEK_FLAG_ANY, true, FCurrentPTS);
}

void TfrmMain::FollowDrag() {
  if (FCurrentPTS == FFollowedPTS) return;
  FFollowedPTS = FCurrentPTS;
  FollowPlayback();
}

void TfrmMain::TimelineClicked(int64_t us) {
  if (!TrackBar1->isEnabled() || FDuration <= 0) return;
  const int max = TrackBar1->maximum();
  const double pos = std::nearbyint(static_cast<double>(us) / FDuration * max);
  TrackBar1->setValue(static_cast<int>(std::clamp(pos, 0.0, static_cast<double>(max))));
}

void TfrmMain::ShowPointsOnTimeline() {
  Timeline1->SetPoints(FTrimStart, FTrimEnd);
  if (FTrimStart == 0 && FTrimEnd == 0)
    Timeline1->SetSelection(0, 0);
  else
    Timeline1->SetSelection(FTrimStart, FTrimEnd);
}
