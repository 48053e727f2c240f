// The cut job of the main window: "Cut" hands the choices to the encoder through the shared
// job builder, the job buttons control it, and its events show progress and preview pictures
// and bring the window back when it ends.
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <chrono>

#include "AppServices.h"
#include "MainUnit.h"
#include "PictureBox.h"
#include "TrackBar.h"
#include "engine/FFEncode.h"
#include "job/CutSetup.h"
#include "runtime/Bitmap.h"

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "1:05" or "1:02:05".
QString ClockText(int64_t seconds) {
  const int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) return QString::asprintf("%lld:%02lld:%02lld", (long long)h, (long long)m, (long long)s);
  return QString::asprintf("%lld:%02lld", (long long)m, (long long)s);
}

TPictureBox* PreviewImage(QWidget* form) {
  return form ? form->findChild<TPictureBox*>(QStringLiteral("Image")) : nullptr;
}

}  // namespace

void TfrmMain::CreateEncoder() {
  FEncoder = std::make_unique<TFFEncoder>();
  FEncoder->OnProgress = [this](TFFEncoder* s, PProgressInfo p) { FFEncoderProgress(s, p); };
  FEncoder->OnPreviewBitmap = [this](TFFEncoder* s, const TPreviewInfo& p) { FFEncoderPreviewBitmap(s, p); };
  FEncoder->OnTerminate = [this](TFFEncoder* s, const TTerminateInfo& t) { FFEncoderTerminate(s, t); };
  if (TPictureBox* image = PreviewImage(FPreviewForm))
    connect(image, &TPictureBox::Resized, this, [this] { DrawPreview(); });
}

void TfrmMain::BuildJobShortcuts() {
  struct TKey {
    QKeySequence Key;
    QPushButton* Button;
    void (TfrmMain::*Handler)();
  };
  const TKey keys[] = {
      {QKeySequence(Qt::CTRL | Qt::Key_Return), btnStart, &TfrmMain::btnStartClick},
      {QKeySequence(Qt::CTRL | Qt::Key_Enter), btnStart, &TfrmMain::btnStartClick},
      {QKeySequence(Qt::Key_Escape), btnStop, &TfrmMain::btnStopClick},
  };
  for (const TKey& k : keys) BindButtonKey(k.Key, k.Button, k.Handler);
  btnStart->setToolTip(QStringLiteral("Cut the range between the points into a new file (%1)")
                           .arg(QKeySequence(Qt::CTRL | Qt::Key_Return).toString(QKeySequence::NativeText)));
  btnStop->setToolTip(QStringLiteral("Stop the cut job (%1)")
                          .arg(QKeySequence(Qt::Key_Escape).toString(QKeySequence::NativeText)));
  btnPause->setToolTip(QStringLiteral("Pause the cut job"));
  btnResume->setToolTip(QStringLiteral("Resume the paused cut job"));
}

void TfrmMain::NotePointSelection() {
  FPointSelStart = TrackBar1->SelStart();
  FPointSelEnd = TrackBar1->SelEnd();
}

TCutChoices TfrmMain::CutChoices() {
  TCutChoices c;
  c.FileName = FFileName.toStdString();
  c.TrimStart = FTrimStart;
  c.TrimEnd = FTrimEnd;
  c.Duration = FDuration;
  c.SelStart = TrackBar1->SelStart();
  c.SelEnd = TrackBar1->SelEnd();
  c.TrackMax = TrackBar1->maximum();
  // Rounding a picture time to a track-bar position and back can land after that picture;
  // the selection the point buttons made stands for the stored points themselves.
  c.SelectionFromPoints = c.SelStart == FPointSelStart && c.SelEnd == FPointSelEnd;
  c.FormatIndex = cboVideoFormat->currentIndex();
  c.FrameSizeIndex = cboFrameSize->currentIndex();
  c.QualityChecked = chkVideoQuality->isChecked();
  c.QualityIndex = cmbVideoQuality->currentIndex();
  c.RemoveAudio = FRemoveAudio;
  // Bit rates, the video's start offset, processors and the AAC encoder, as trimora-cli has them.
  FillInputChoices(*FDecoder, c);
  return c;
}

void TfrmMain::btnStartClick() {
  FEncoder->ClearTasks();
  TInputOptions input;
  const int task = FEncoder->AddTask(FFileName.toStdString(), &input);
  // A job that cannot be set up is told, not dropped without a word; the window stays as it is.
  auto refuse = [this] {
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(),
                        QString::fromStdString(FEncoder->LastErrMsg()), TMsgIcon::Warning, TMsgButtons::Ok);
  };
  if (task < 0) return refuse();

  const bool exact = cboVideoFormat->currentIndex() == 0 && chkExactCut->isChecked();
  TOutputNameHost host;
  host.ReadString = [this](const std::string& key, const std::string& def) {
    return Settings().ReadString(QString::fromStdString(key), QString::fromStdString(def)).toStdString();
  };
  host.WriteString = [this](const std::string& key, const std::string& value) {
    Settings().WriteString(QString::fromStdString(key), QString::fromStdString(value));
  };
  host.Warning = [this](const std::string& caption, const std::string& text) {
    FDialogs.MessageBox(this, QString::fromStdString(caption), QString::fromStdString(text), TMsgIcon::None,
                        TMsgButtons::Ok);
  };
  std::string outputName;
  bool streamCopy = false;
  if (!FSegments.SelectedItems().empty()) {
    // A list with segments is cut instead of the two points.
    if (!SetSegmentsOutput(task, exact, host, &outputName, &FJobLength, &streamCopy)) return;
  } else {
    const TCutSetup setup = PrepareCut(CutChoices(), exact);
    const TCutJob& job = setup.Job;
    outputName = MakeOutputFileName(FFileName.toStdString(), job.Suffix, host);
    if (!SetCutOutput(task, outputName, setup)) return;
    streamCopy = job.StreamCopy;
    FTrimStart = job.TrimStart;
    FTrimEnd = job.TrimEnd;
    // The length asked for, for the share done where the engine gives no total.
    if (job.TrimEnd > job.TrimStart)
      FJobLength = job.TrimEnd - job.TrimStart;
    else
      FJobLength = FDuration - std::max<int64_t>(job.TrimStart, 0);
  }

  // A copied stream has no pictures to preview.
  if (streamCopy) {
    chkPreview->setChecked(false);
    FEncoder->SetPreviewBitmap(false);
  }
  FOutputFileName = QString::fromStdString(outputName);

  FJobRunning = true;
  SetJobControls(true);
  FEncoder->SetPreviewBitmap(chkPreview->isChecked());
  FJobStartMs = NowMs();
  FPausedMs = 0;
  FPauseStartMs = -1;
  FEncoder->StartTask(1);
}

void TfrmMain::SetJobControls(bool running) {
  const bool idle = !running;
  btnOpen->setEnabled(idle);
  btnStart->setEnabled(idle);
  btnStop->setEnabled(running);
  btnPause->setEnabled(running);
  btnResume->setEnabled(false);
  for (QPushButton* b : {btnSave, btnPreviousFrame, btnNextFrame, btnPreviousKF, btnNextKF, btnTrimStart,
                         btnTrimEnd, btnReset, btnPlay, btnPlayStop})
    b->setEnabled(idle);
  cboFrameSize->setEnabled(idle);
  cboVideoFormat->setEnabled(idle);
  SetSegmentControls(idle);
  if (running) {
    FTrackBarWasEnabled = TrackBar1->isEnabled();
    TrackBar1->setEnabled(false);
    btnStop->setFocus();
    btnPlayStopClick();
    FPreviewPicture = QImage();
    FPreviewForm->setWindowTitle(QString());
    DrawPreview();
    FPreviewForm->setVisible(chkPreview->isChecked());
    barProgress->setRange(0, 1000);
    barProgress->setValue(0);
    barProgress->setFormat(QStringLiteral("%p%"));
    barProgress->show();
  } else {
    // A file without a known length never had a track bar to move.
    TrackBar1->setEnabled(FTrackBarWasEnabled);
    // The copy format keeps its size list closed.
    ApplyCopyMode(false);
    FPreviewForm->hide();
    barProgress->hide();
    barProgress->reset();
  }
}

void TfrmMain::btnStopClick() {
  if (!FEncoder->Working()) return;
  btnStop->setEnabled(false);
  FEncoder->Stop(true);
}

void TfrmMain::btnPauseClick() {
  if (!FEncoder->Working()) return;
  btnPause->setEnabled(false);
  btnResume->setEnabled(true);
  if (!FEncoder->Paused() && FPauseStartMs < 0) FPauseStartMs = NowMs();
  FEncoder->Pause();
}

void TfrmMain::btnResumeClick() {
  if (!FEncoder->Paused()) return;
  btnPause->setEnabled(true);
  btnResume->setEnabled(false);
  if (FPauseStartMs >= 0) FPausedMs += NowMs() - FPauseStartMs;
  FPauseStartMs = -1;
  FEncoder->Resume();
}

void TfrmMain::chkPreviewClick() {
  if (!chkPreview->isChecked()) FPreviewForm->hide();
  if (FEncoder) FEncoder->SetPreviewBitmap(chkPreview->isChecked());
  Settings().WriteBool(QStringLiteral("preview"), chkPreview->isChecked());
}

void TfrmMain::FFEncoderProgress(TFFEncoder*, TProgressInfo* p) {
  if (!FEncoder || !p) return;
  lblStatus->setText(QString::asprintf("Frame number: %d; FPS: %d; Size: %lld; Time: %lld", p->FrameNumber,
                                       p->FPS, static_cast<long long>(p->CurrentSize),
                                       static_cast<long long>(p->CurrentDuration)));
  const int64_t total = p->TotalDuration > 0 ? p->TotalDuration : FJobLength;
  if (!FJobRunning || total <= 0) return;
  const int64_t done = std::clamp<int64_t>(p->CurrentDuration, 0, total);
  barProgress->setValue(static_cast<int>(done * 1000 / total));
  // Time left from the pace so far, pauses left out.
  const int64_t now = NowMs();
  const int64_t ran = now - FJobStartMs - FPausedMs - (FPauseStartMs >= 0 ? now - FPauseStartMs : 0);
  if (done > 0 && ran > 0) {
    const double left = static_cast<double>(ran) * (total - done) / done / 1000.0;
    barProgress->setFormat(QStringLiteral("%p% \u2013 %1 left").arg(ClockText(static_cast<int64_t>(left + 0.5))));
  }
}

void TfrmMain::DrawPreview() {
  TPictureBox* image = PreviewImage(FPreviewForm);
  if (!image) return;
  // The form's client area is the picture's area (the form holds nothing else).
  QImage canvas(FPreviewForm->size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
  canvas.fill(SkyBlue);
  if (!FPreviewPicture.isNull()) {
    QPainter p(&canvas);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(FitRect(FPreviewPicture.size(), canvas.rect()), FPreviewPicture);
  }
  image->Canvas() = canvas;
  image->update();
}

void TfrmMain::FFEncoderPreviewBitmap(TFFEncoder*, const TPreviewInfo& info) {
  if (!FEncoder || !info.Bitmap || info.Bitmap->Empty()) return;
  const TBitmap& b = *info.Bitmap;
  QSize client = FPreviewForm->size();
  if (b.Width() != client.width()) client.setWidth(b.Width());
  if (b.Height() != client.height()) client.setHeight(b.Height());
  if (client != FPreviewForm->size()) {
    // The window grows or shrinks about its centre, so that it stays where it was put.
    const QPoint centre = FPreviewForm->frameGeometry().center();
    FPreviewForm->resize(client);
    const QSize frame = FPreviewForm->frameGeometry().size();
    FPreviewForm->move(centre - QPoint((frame.width() - 1) / 2, (frame.height() - 1) / 2));
  }
  FPreviewForm->setWindowTitle(QString::asprintf("#%d", info.FrameNumber));
  // The encoder reuses its bitmap.
  FPreviewPicture = BitmapImage(b).convertToFormat(QImage::Format_RGB32);
  DrawPreview();
  FPreviewForm->setVisible(chkPreview->isChecked());
}

void TfrmMain::FFEncoderTerminate(TFFEncoder*, const TTerminateInfo& info) {
  // Events that come while the window is being destroyed find no encoder.
  if (!FEncoder) return;
  if (info.TaskIndex < 0) {
    FJobRunning = false;
    SetJobControls(false);
    btn_openClick();
  }
  if (info.Exception)
    FDialogs.MessageBox(this, QGuiApplication::applicationDisplayName(), QString::fromStdString(info.ExceptionMsg),
                        TMsgIcon::Warning, TMsgButtons::Ok);
}
