// The frame-exact copy in the main window: the key frames of the open file marked on the track
// bar (found in the background, never by decoding), and the task's output as the prepared cut
// says: the frame-exact copy when "Frame-exact copy" is checked and the file allows it.
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QTimer>

#include <cmath>

#include "AppServices.h"
#include "MainUnit.h"
#include "Timeline.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "decoder/KeyFrames.h"
#include "engine/FFEncode.h"
#include "job/CutSetup.h"

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
    Timeline1->SetKeyFrames(FKeyFrames->Times());
  }
  if (!running && FKeyFrameTimer) FKeyFrameTimer->stop();
}

bool TfrmMain::SetCutOutput(int task, const std::string& outputName, const TCutSetup& setup) {
  for (const std::string& note : setup.Notes) Log(QString::fromStdString(note));
  // The user asked for the frame-exact copy and gets the plain one: told why.
  if (!setup.FallbackReason.empty())
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(),
                        QString::fromStdString(setup.FallbackReason), TMsgIcon::Information, TMsgButtons::Ok);
  std::string error;
  if (::SetCutOutput(*FEncoder, task, outputName, setup, &error) == 0) return true;
  FEncoder->RemoveTask(task);
  FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), QString::fromStdString(error),
                      TMsgIcon::Warning, TMsgButtons::Ok);
  return false;
}
