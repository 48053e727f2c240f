// The frame-exact copy in the main window: the key frames of the open file marked on the track
// bar (found in the background, never by decoding), and "Cut" handing a copy to the frame-exact
// job when "Frame-exact copy" is checked.
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QTimer>

#include <cmath>

#include "AppServices.h"
#include "MainUnit.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "decoder/KeyFrames.h"
#include "engine/FFEncode.h"
#include "job/ExactCopyJob.h"

void TfrmMain::StartKeyFrameScan(const QString& path) {
  if (!FKeyFrames) FKeyFrames = std::make_unique<TKeyFrameScanner>();
  if (!FKeyFrameTimer) {
    FKeyFrameTimer = new QTimer(this);
    FKeyFrameTimer->setInterval(200);
    connect(FKeyFrameTimer, &QTimer::timeout, this, [this] { UpdateKeyFrameMarks(); });
  }
  FKeyFrameGeneration = 0;
  FKeyFrames->Start(path.toStdString(), FDecoder->VideoStreamIndex());
  FKeyFrameTimer->start();
}

void TfrmMain::UpdateKeyFrameMarks() {
  if (!FKeyFrames) return;
  const bool running = FKeyFrames->Running();
  const uint64_t generation = FKeyFrames->Generation();
  if (generation != FKeyFrameGeneration) {
    FKeyFrameGeneration = generation;
    std::vector<int> marks;
    const int max = TrackBar1->maximum();
    if (FDuration > 0 && max > 0)
      for (int64_t t : FKeyFrames->Times())
        marks.push_back(static_cast<int>(std::nearbyint(static_cast<double>(max) * t / FDuration)));
    TrackBar1->SetKeyMarks(std::move(marks));
  }
  if (!running && FKeyFrameTimer) FKeyFrameTimer->stop();
}

int TfrmMain::SetExactOutput(int task, const std::string& outputName, int64_t trimStart, int64_t trimEnd) {
  if (cboVideoFormat->currentIndex() != 0 || !chkExactCut->isChecked()) return 0;
  TExactCopyOptions o;
  o.Start = trimStart;
  o.End = trimEnd;
  o.RemoveAudio = FRemoveAudio;
  TExactCopyPlan plan;
  std::string error;
  if (PlanExactCopy(FFileName.toStdString(), o, &plan, &error) && !plan.Exact) {
    // The plain copy, and the user told why.
    const QString why = QString::fromStdString(ExactCopyFallbackText(plan));
    Log(why);
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), why, TMsgIcon::Information,
                        TMsgButtons::Ok);
    return 0;
  }
  if (error.empty() && SetExactCopyOutput(*FEncoder, task, outputName, o, &error) == 0) {
    Log(QStringLiteral("Frame-exact copy: %1 pictures encoded before the copied part, %2 copied, %3 "
                       "encoded after it.")
            .arg(plan.HeadPictures)
            .arg(plan.CopiedPictures)
            .arg(plan.TailPictures));
    return 1;
  }
  FEncoder->RemoveTask(task);
  FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), QString::fromStdString(error),
                      TMsgIcon::Warning, TMsgButtons::Ok);
  return -1;
}
