// "Cut" in the real window: points set by the buttons become a file of the chosen format that
// starts on the start point's picture and lasts the range; the job buttons, their states, the
// progress line and bar, the preview window, and the ends of a job (done, stopped, failed).
#include "AppTestSupport.h"

#include "PictureBox.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "engine/FFEncode.h"
#include "job/CutJob.h"
#include "job/OutputChoices.h"
#include "player/FFPlay.h"
#include "runtime/Bitmap.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <functional>


namespace {

// The pictures of a written file, read back by the numbers they show.
struct TProbe {
  int FirstFrame = -1;  // number shown in the first picture
  int LastFrame = -1;   // and in the last
  int Pictures = 0;
  double FrameRate = 0;  // of the video stream
  double Seconds() const { return FrameRate > 0 ? Pictures / FrameRate : 0; }
};

TProbe ProbeFile(const QString& path) {
  TProbe r;
  TFFDecoder d;
  if (!d.LoadAVLib(TfrmMain::LibAVPath().toStdString()) || !d.LoadFile(path.toStdString())) return r;
  const TVideoStreamInfo v = d.GetVideoStreamInfo(-1);
  if (v.FrameRateDen > 0) r.FrameRate = static_cast<double>(v.FrameRateNum) / v.FrameRateDen;
  TBitmap b(24);
  while (d.Decode(-1)) {
    if (!d.CopyToBitmap(b)) break;
    const int n = FrameOf(b);
    if (r.Pictures++ == 0) r.FirstFrame = n;
    r.LastFrame = n;
  }
  return r;
}

class CutTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    OutDir = Home + "/cuts";
    ASSERT_TRUE(QDir().mkpath(OutDir));
    Preset({{"OutPutDir", OutDir.toStdString()}});
  }

  TfrmMain& Open(FixtureKind kind) {
    if (!Window) Start();
    Info = GetFixtureInfo(kind);
    Source = QString::fromStdString(FixturePath(kind));
    Dialogs.OpenAnswer = Source;
    Window->btnOpen->click();
    return *Window;
  }
  // Steps picture by picture to frame n.
  void StepTo(int n) {
    while (FrameOf(Window->Picture()) < n) {
      const int before = FrameOf(Window->Picture());
      Window->btnNextFrame->click();
      ASSERT_GT(FrameOf(Window->Picture()), before);
    }
    ASSERT_EQ(FrameOf(Window->Picture()), n);
  }
  bool Wait(const std::function<bool()>& cond, int ms = 60000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
      if (std::chrono::steady_clock::now() > until) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 10);
      ProcessMainThreadCalls();
    }
    return true;
  }
  bool WaitIdle() { return Wait([this] { return !Window->JobRunning(); }); }
  void Press(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    Window->activateWindow();
    QApplication::setActiveWindow(Window.get());
    QApplication::processEvents();
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : Window.get();
    if (!qt_sendShortcutOverrideEvent(target, 0, key, mods, QString(), false, 1)) {
      QKeyEvent press(QEvent::KeyPress, key, mods);
      QApplication::sendEvent(target, &press);
    }
  }
  int64_t FrameUs() const { return int64_t(1000000) * Info.frameRate.den / Info.frameRate.num; }
  QString Expected(const QString& suffix) const {
    return OutDir + "/" + QFileInfo(Source).completeBaseName() + "_(new)" + suffix;
  }

  // The browsing controls of the state table, and what else the job turns off.
  std::vector<QWidget*> Browsing() const {
    TfrmMain& w = *Window;
    return {w.btnSave,      w.btnPreviousFrame, w.btnNextFrame, w.btnPreviousKF, w.btnNextKF,
            w.btnTrimStart, w.btnTrimEnd,       w.btnReset,     w.TrackBar1,     w.cboFrameSize,
            w.cboVideoFormat, w.btnPlay,        w.btnPlayStop};
  }
  enum class TState { Idle, Running, Paused, Stopping };
  void ExpectState(TState s, const char* where) {
    SCOPED_TRACE(where);
    TfrmMain& w = *Window;
    const bool idle = s == TState::Idle;
    EXPECT_EQ(w.btnOpen->isEnabled(), idle);
    EXPECT_EQ(w.btnStart->isEnabled(), idle);
    if (s != TState::Stopping) {
      EXPECT_EQ(w.btnStop->isEnabled(), s == TState::Running || s == TState::Paused);
      EXPECT_EQ(w.btnPause->isEnabled(), s == TState::Running);
      EXPECT_EQ(w.btnResume->isEnabled(), s == TState::Paused);
    } else {
      EXPECT_FALSE(w.btnStop->isEnabled());
    }
    for (QWidget* c : Browsing()) {
      // The copy format keeps its size list closed when idle.
      if (idle && c == w.cboFrameSize && w.cboVideoFormat->currentIndex() == 0) continue;
      EXPECT_EQ(c->isEnabled(), idle) << c->objectName().toStdString();
    }
    EXPECT_EQ(w.barProgress->isVisible(), !idle);
    if (idle) EXPECT_FALSE(w.PreviewForm()->isVisible());
  }

  // Counts the preview pictures and lets a test act inside the first of them.
  void HookPreview(std::function<void(const TPreviewInfo&)> act) {
    TFFEncoder& e = Window->FFEncoder();
    auto window = e.OnPreviewBitmap;
    e.OnPreviewBitmap = [this, window, act](TFFEncoder* s, const TPreviewInfo& i) {
      ++Previews;
      LastPreviewFrame = FrameOf(*i.Bitmap);
      window(s, i);
      if (act) act(i);
    };
  }
  void HookProgress(std::function<void(const TProgressInfo&)> act) {
    TFFEncoder& e = Window->FFEncoder();
    auto window = e.OnProgress;
    e.OnProgress = [this, window, act](TFFEncoder* s, PProgressInfo p) {
      ++Reports;
      window(s, p);
      if (act) act(*p);
    };
  }

  QString OutDir;
  QString Source;
  FixtureInfo Info;
  int Previews = 0;
  int LastPreviewFrame = -1;
  int Reports = 0;
};

struct TFormatCase {
  int Index;
  const char* Suffix;
};

class CutFormatTest : public CutTest, public ::testing::WithParamInterface<TFormatCase> {};

// Frame 26 to frame 51 of a 25 fps clip whose track bar cannot tell every picture apart.
TEST_P(CutFormatTest, PointButtonsCutTheRangeFromTheStartPicture) {
  const TFormatCase& fc = GetParam();
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, fc.Index);
  StepTo(26);
  w.btnTrimStart->click();
  const int64_t start = w.CurrentPTS();
  StepTo(51);
  w.btnTrimEnd->click();
  const int64_t end = w.CurrentPTS();
  ASSERT_EQ(w.TrimStart(), start);
  ASSERT_EQ(w.TrimEnd(), end);
  ExpectState(TState::Idle, "opened");

  w.btnStart->click();
  ASSERT_TRUE(Dialogs.Messages.empty()) << Dialogs.Messages[0].Text.toStdString();
  ASSERT_TRUE(w.JobRunning());
  ExpectState(TState::Running, "started");
  EXPECT_EQ(w.focusWidget(), w.btnStop);
  EXPECT_EQ(w.OutputFileName(), Expected(fc.Suffix));
  ASSERT_TRUE(WaitIdle());
  ExpectState(TState::Idle, "ended");
  EXPECT_TRUE(Dialogs.Messages.empty());
  ASSERT_EQ(Shell.Opened.size(), 1u);
  EXPECT_EQ(Shell.Opened[0], QUrl::fromLocalFile(OutDir));
  EXPECT_TRUE(QRegularExpression("^Frame number: -?\\d+; FPS: -?\\d+; Size: \\d+; Time: -?\\d+$")
                  .match(w.lblStatus->text())
                  .hasMatch())
      << w.lblStatus->text().toStdString();

  ASSERT_TRUE(QFileInfo::exists(Expected(fc.Suffix)));
  const TProbe probe = ProbeFile(Expected(fc.Suffix));
  ASSERT_GT(probe.FrameRate, 0);
  const int first = 26;
  EXPECT_EQ(probe.FirstFrame, first);
  if (fc.Index == 0) {
    // A copy is frame-exact by default: exactly the range's pictures.
    EXPECT_EQ(probe.LastFrame, 50);
    EXPECT_EQ(probe.Pictures, 25);
    return;
  }
  // As long as the range, within one picture of the output.
  const double frame = std::max(FrameUs() / 1e6, 1.0 / probe.FrameRate);
  const double range = (end - first * FrameUs()) / 1e6;
  EXPECT_NEAR(probe.Seconds(), range, frame) << probe.Pictures << " pictures at " << probe.FrameRate;
  // The same pictures as the ffmpeg tool writes for the same options.
  const TCutJob job = BuildCutJob(w.CutChoices());
  const QString ref = OutDir + "/reference" + fc.Suffix;
  QStringList args{"-nostdin", "-loglevel", "error", "-y", "-i", Source};
  args << QString::fromStdString(job.Options).split(' ', Qt::SkipEmptyParts) << ref;
  QProcess tool;
  tool.start("ffmpeg", args);
  ASSERT_TRUE(tool.waitForFinished(120000));
  ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
  const TProbe expected = ProbeFile(ref);
  EXPECT_EQ(probe.FirstFrame, expected.FirstFrame);
  EXPECT_NEAR(probe.Pictures, expected.Pictures, 1);
  EXPECT_NEAR(probe.LastFrame, expected.LastFrame, 1) << args.join(' ').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Formats, CutFormatTest,
                         ::testing::Values(TFormatCase{0, ".mp4"}, TFormatCase{2, ".avi"}, TFormatCase{3, ".flv"},
                                           TFormatCase{5, ".mkv"}, TFormatCase{6, ".mov"}, TFormatCase{7, ".mp4"},
                                           TFormatCase{9, "_psp.mp4"}, TFormatCase{14, ".webm"}),
                         [](const ::testing::TestParamInfo<TFormatCase>& i) {
                           std::string s = OutputChoices::Formats[i.param.Index];
                           for (char& c : s)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return s;
                         });

// The window hands the builder what trimora-cli hands it: the stored points (not the track bar
// positions rounded back to times) and the input's own bit rates and video start.
TEST_F(CutTest, TheStoredPointsAreCutNotTheTrackBarPositions) {
  // A clip with a picture whose track-bar position, read back as a time, lies after it.
  int n = -1;
  for (FixtureKind kind : {FixtureKind::H264Mp4, FixtureKind::H264Mkv, FixtureKind::Mpeg4Avi, FixtureKind::MjpegAvi,
                           FixtureKind::Vp8Webm}) {
    Open(kind);
    const int max = Window->TrackBar1->maximum();
    for (int k = 10; k < 50 && n < 0; ++k) {
      const double pts = k * FrameUs();
      const int pos = static_cast<int>(std::nearbyint(max * pts / Window->Duration()));
      if (std::llround(static_cast<double>(pos) / max * Window->Duration()) > pts) n = k;
    }
    if (n >= 0) break;
  }
  ASSERT_GE(n, 0) << "no clip shows the rounding";
  TfrmMain& w = *Window;
  ChooseEntry(w.cboVideoFormat, 7);
  StepTo(n);
  w.btnTrimStart->click();
  StepTo(n + 20);
  w.btnTrimEnd->click();

  TCutChoices c = w.CutChoices();
  EXPECT_TRUE(c.SelectionFromPoints);
  EXPECT_EQ(c.TrimStart, n * FrameUs());
  TFFDecoder d;
  ASSERT_TRUE(d.LoadAVLib(TfrmMain::LibAVPath().toStdString()));
  ASSERT_TRUE(d.LoadFile(Source.toStdString()));
  TCutChoices cli = c;
  FillInputChoices(d, cli);
  EXPECT_EQ(c.AudioBitRate, cli.AudioBitRate);
  EXPECT_EQ(c.VideoBitRate, cli.VideoBitRate);
  EXPECT_EQ(c.VideoStartOffset, cli.VideoStartOffset);
  EXPECT_EQ(c.Duration, d.GetFileStreamInfo().Duration);
  const std::string options = BuildCutJob(c).Options;
  EXPECT_EQ(options.rfind("  -ss " + SecondsText(n * FrameUs()) + "  -t " + SecondsText(20 * FrameUs()), 0), 0u)
      << options;

  w.btnStart->click();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(w.TrimStart(), n * FrameUs());
  EXPECT_EQ(ProbeFile(Expected(".mp4")).FirstFrame, n);
}

// The video of this file starts after its audio: -ss counts from the file's start.
TEST_F(CutTest, AVideoStartingAfterTheFileMovesTheStart) {
  TfrmMain& w = Open(FixtureKind::Mpeg2Ts);
  ChooseEntry(w.cboVideoFormat, 7);
  StepTo(20);
  w.btnTrimStart->click();
  StepTo(40);
  w.btnTrimEnd->click();
  const TCutChoices c = w.CutChoices();
  ASSERT_GT(c.VideoStartOffset, 0);
  EXPECT_EQ(BuildCutJob(c).Options.rfind("  -ss " + SecondsText(w.TrimStart() + c.VideoStartOffset) + "  -t ", 0), 0u);
  w.btnStart->click();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(ProbeFile(Expected(".mp4")).FirstFrame, 20);
}

// Pause inside the first preview picture holds the job where it is; the table's states follow.
TEST_F(CutTest, PauseTwiceResumeAndTheStatesOfTheTable) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 14);
  ASSERT_TRUE(w.chkPreview->isChecked());
  HookPreview([&](const TPreviewInfo&) {
    if (Previews == 1) w.btnPause->click();
  });
  w.btnStart->click();
  ExpectState(TState::Running, "started");
  EXPECT_TRUE(w.PreviewForm()->isVisible());
  EXPECT_EQ(w.PreviewForm()->windowTitle(), "");
  ASSERT_TRUE(Wait([&] { return Previews >= 1; }));
  ExpectState(TState::Paused, "paused");
  EXPECT_TRUE(w.FFEncoder().Paused());
  // A second press: the button is off, and the handler itself changes nothing more.
  w.btnPause->click();
  w.btnPauseClick();
  ExpectState(TState::Paused, "paused twice");
  EXPECT_TRUE(w.FFEncoder().Paused());
  // The preview window shows the picture, sized by it, with its frame number as caption.
  EXPECT_TRUE(w.PreviewForm()->isVisible());
  EXPECT_EQ(w.PreviewForm()->size(), QSize(320, 240));
  EXPECT_TRUE(w.PreviewForm()->windowTitle().startsWith('#'));
  auto* image = w.PreviewForm()->findChild<TPictureBox*>("Image");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(FrameOf(image->Canvas()), LastPreviewFrame);
  EXPECT_EQ(LastPreviewFrame, 0);

  w.btnResume->click();
  EXPECT_FALSE(w.FFEncoder().Paused());
  if (w.JobRunning()) ExpectState(TState::Running, "resumed");
  ASSERT_TRUE(WaitIdle());
  ExpectState(TState::Idle, "ended");
  EXPECT_EQ(Shell.Opened.size(), 1u);
  EXPECT_TRUE(Dialogs.Messages.empty());
  EXPECT_EQ(ProbeFile(Expected(".webm")).FirstFrame, 0);
}

// "Preview" off in the middle of a job hides the window and stops the pictures; on again,
// the next picture brings the window back.
TEST_F(CutTest, PreviewOffAndOnDuringAJob) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 14);
  ChooseEntry(w.cboFrameSize, 7);  // 640x480: a slower job
  HookPreview([&](const TPreviewInfo&) {
    if (Previews == 1) w.btnPause->click();
  });
  bool pauseAtReport = false;
  int reportsWhileOff = 0;
  HookProgress([&](const TProgressInfo& p) {
    if (!w.chkPreview->isChecked()) ++reportsWhileOff;
    if (pauseAtReport && p.FileIndex >= 0) {
      pauseAtReport = false;
      w.btnPause->click();
    }
  });
  w.FFEncoder().SetProgressInterval(100);
  w.btnStart->click();
  ASSERT_TRUE(Wait([&] { return Previews >= 1 && w.FFEncoder().Paused(); }));
  ASSERT_TRUE(w.PreviewForm()->isVisible());
  EXPECT_EQ(w.PreviewForm()->size(), QSize(640, 480));

  w.chkPreview->click();
  EXPECT_FALSE(w.chkPreview->isChecked());
  EXPECT_FALSE(w.PreviewForm()->isVisible());
  EXPECT_FALSE(w.FFEncoder().PreviewBitmap());
  const int before = Previews;
  pauseAtReport = true;
  w.btnResume->click();
  // The job goes on without pictures until a report pauses it again.
  ASSERT_TRUE(Wait([&] { return !pauseAtReport || !w.JobRunning(); }));
  ASSERT_TRUE(w.JobRunning()) << "the job ended before a report came";
  EXPECT_GT(reportsWhileOff, 0);
  EXPECT_EQ(Previews, before);
  EXPECT_FALSE(w.PreviewForm()->isVisible());

  w.chkPreview->click();
  EXPECT_TRUE(w.FFEncoder().PreviewBitmap());
  EXPECT_FALSE(w.PreviewForm()->isVisible());  // until the next picture
  w.btnResume->click();
  ASSERT_TRUE(Wait([&] { return Previews > before || !w.JobRunning(); }));
  ASSERT_GT(Previews, before);
  EXPECT_TRUE(w.PreviewForm()->isVisible() || !w.JobRunning());
  EXPECT_GT(LastPreviewFrame, 0);
  ASSERT_TRUE(WaitIdle());
  ExpectState(TState::Idle, "ended");
}

// Stop while paused: the job ends at once with a valid, shorter file, and the window is idle
// with the folder opened and nothing to warn about.
TEST_F(CutTest, AStoppedJobEndsIdleWithItsFileAndTheFolderOpened) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 14);
  HookPreview([&](const TPreviewInfo&) {
    if (Previews == 1) w.btnPause->click();
  });
  EXPECT_TRUE(w.btnStop->toolTip().endsWith("(Esc)")) << w.btnStop->toolTip().toStdString();
  EXPECT_TRUE(w.btnStart->toolTip().endsWith("(Ctrl+Return)")) << w.btnStart->toolTip().toStdString();
  Press(Qt::Key_Return, Qt::ControlModifier);
  ASSERT_TRUE(w.JobRunning());
  ASSERT_TRUE(Wait([&] { return w.FFEncoder().Paused(); }));
  Press(Qt::Key_Escape);
  ASSERT_TRUE(WaitIdle());
  ExpectState(TState::Idle, "stopped");
  EXPECT_TRUE(Dialogs.Messages.empty());
  ASSERT_EQ(Shell.Opened.size(), 1u);
  EXPECT_EQ(Shell.Opened[0], QUrl::fromLocalFile(OutDir));
  const TProbe probe = ProbeFile(Expected(".webm"));
  EXPECT_EQ(probe.FirstFrame, 0);
  EXPECT_GT(probe.Pictures, 0);
  EXPECT_LT(probe.Seconds(), Info.duration - 0.5);
  // Escape does nothing once idle.
  Press(Qt::Key_Escape);
  EXPECT_EQ(Shell.Opened.size(), 1u);
}

// A task that fails while running: one warning box with its text, then idle with the folder
// opened. MPEG-1 video takes no picture wider than 4095, and no smaller size of the same
// shape is tried for a size the user chose.
TEST_F(CutTest, AFailedJobShowsItsMessageOnceAndEndsIdle) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 15);
  ChooseEntry(w.cboFrameSize, 14);
  ASSERT_EQ(w.cboFrameSize->currentText(), "5120x4096 - hsxga");
  w.btnStart->click();
  ASSERT_TRUE(w.JobRunning());
  ASSERT_TRUE(WaitIdle());
  ExpectState(TState::Idle, "failed");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Caption, QGuiApplication::applicationDisplayName());
  EXPECT_EQ(Dialogs.Messages[0].Icon, TMsgIcon::Warning);
  EXPECT_EQ(Dialogs.Messages[0].Buttons, TMsgButtons::Ok);
  EXPECT_FALSE(Dialogs.Messages[0].Text.isEmpty());
  ASSERT_EQ(Shell.Opened.size(), 1u);
  EXPECT_FALSE(QFileInfo::exists(Expected(".m1v")));
}

// An output folder nobody may write to: the encoder refuses the output, its message is shown,
// and the window stays as it was, with no task left.
TEST_F(CutTest, AnUnwritableOutputIsToldAndChangesNothing) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 7);
  // Even root cannot create files in sysfs.
  w.Settings().WriteString("OutPutDir", "/sys");
  w.btnStart->click();
  EXPECT_FALSE(w.JobRunning());
  ExpectState(TState::Idle, "refused");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Caption, QGuiApplication::applicationDisplayName());
  EXPECT_EQ(Dialogs.Messages[0].Text, QString::fromStdString(w.FFEncoder().LastErrMsg()));
  EXPECT_FALSE(Dialogs.Messages[0].Text.isEmpty());
  EXPECT_EQ(w.FFEncoder().TaskCount(), 0);
  EXPECT_TRUE(Shell.Opened.empty());
}

// A chosen folder under a read-only parent cannot be made: the warning names the fallback in
// the home folder, which is made and stored, so the next job writes there without a word.
TEST_F(CutTest, AnUncreatableFolderFallsBackToTheHomeFolderOnce) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 0);
  QString parent = Home + "/locked";
  ASSERT_TRUE(QDir().mkpath(parent));
  ASSERT_EQ(chmod(parent.toLocal8Bit().constData(), 0555), 0);
  if (QDir().mkdir(parent + "/probe")) {
    // Privileged (root in CI) ignores the modes; a plain file cannot be a parent for anyone.
    parent = Home + "/plain";
    QFile file(parent);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  const QString wanted = parent + "/cuts";
  const QString fallback = Home + "/clipvanefree";
  w.Settings().WriteString("OutPutDir", wanted);
  w.btnStart->click();
  ASSERT_TRUE(WaitIdle());
  // This job's name stays in the folder read, where nothing can be written.
  ASSERT_FALSE(Dialogs.Messages.empty());
  EXPECT_EQ(Dialogs.Messages[0].Caption, "Warning");
  EXPECT_EQ(Dialogs.Messages[0].Text,
            "Cannot create output directory:" + wanted + ".It will create default directory " + fallback + "!");
  EXPECT_EQ(w.Settings().ReadString("OutPutDir", QString()), fallback);
  EXPECT_TRUE(QFileInfo(fallback).isDir());

  Dialogs.Messages.clear();
  w.btnStart->click();
  ASSERT_TRUE(w.JobRunning());
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Dialogs.Messages.empty());
  const TProbe probe = ProbeFile(fallback + "/" + QFileInfo(Source).completeBaseName() + "_(new).mp4");
  EXPECT_EQ(probe.Pictures, Info.frameCount);
  chmod((Home + "/locked").toLocal8Bit().constData(), 0755);
}

// Progress: the label's exact text, the bar's share and time left, and the bar gone when idle.
TEST_F(CutTest, ProgressLabelAndBar) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 14);
  std::vector<TProgressInfo> seen;
  std::vector<QString> labels, formats;
  std::vector<int> values;
  HookProgress([&](const TProgressInfo& p) {
    seen.push_back(p);
    labels.push_back(w.lblStatus->text());
    formats.push_back(w.barProgress->text());
    values.push_back(w.barProgress->value());
  });
  w.FFEncoder().SetProgressInterval(100);
  w.btnStart->click();
  EXPECT_TRUE(w.barProgress->isVisible());
  EXPECT_EQ(w.barProgress->value(), 0);
  ASSERT_TRUE(WaitIdle());
  ASSERT_FALSE(seen.empty());
  int moved = 0;
  for (size_t i = 0; i < seen.size(); ++i) {
    const TProgressInfo& p = seen[i];
    EXPECT_EQ(labels[i], QString("Frame number: %1; FPS: %2; Size: %3; Time: %4")
                             .arg(p.FrameNumber)
                             .arg(p.FPS)
                             .arg(p.CurrentSize)
                             .arg(p.CurrentDuration));
    // The whole file is cut: its length is the total where the engine gives none.
    const int64_t total = p.TotalDuration > 0 ? p.TotalDuration : w.Duration();
    const int64_t done = std::clamp<int64_t>(p.CurrentDuration, 0, total);
    EXPECT_EQ(values[i], static_cast<int>(done * 1000 / total));
    if (done > 0) {
      ++moved;
      EXPECT_TRUE(formats[i].endsWith(" left")) << formats[i].toStdString();
    }
  }
  EXPECT_GT(moved, 0);
  EXPECT_GT(seen.back().CurrentSize, 0);
  EXPECT_FALSE(w.barProgress->isVisible());
  EXPECT_EQ(w.barProgress->value(), w.barProgress->minimum() - 1);  // reset
}

// A 64-bit size and time are shown whole.
TEST_F(CutTest, ProgressTextCarriesSixtyFourBitFigures) {
  TfrmMain& w = Start();
  TProgressInfo p;
  p.FrameNumber = 12;
  p.FPS = 25;
  p.CurrentSize = int64_t(5) << 32;
  p.CurrentDuration = int64_t(3) << 33;
  w.FFEncoderProgress(&w.FFEncoder(), &p);
  EXPECT_EQ(w.lblStatus->text(), "Frame number: 12; FPS: 25; Size: 21474836480; Time: 25769803776");
}

// "Cut" while the file plays: playback stops as by its own "Stop", and both playback buttons
// stay off until the job has ended.
TEST_F(CutTest, CuttingWhilePlayingStopsPlayback) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 7);
  w.btnPlay->click();
  ASSERT_TRUE(Wait([&] { return w.FFPlayer().State() == psPlay; }, 10000));
  ASSERT_TRUE(w.pnlPlayer->isVisible());
  w.btnStart->click();
  EXPECT_EQ(w.FFPlayer().State(), psStop);
  EXPECT_FALSE(w.pnlPlayer->isVisible());
  EXPECT_FALSE(w.btnPlay->isEnabled());
  EXPECT_FALSE(w.btnPlayStop->isEnabled());
  Press(Qt::Key_Space);
  EXPECT_EQ(w.FFPlayer().State(), psStop);
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(w.btnPlay->isEnabled());
  EXPECT_TRUE(w.btnPlayStop->isEnabled());
}

// The copy format clears "Preview" for the job and keeps its size list closed afterwards.
TEST_F(CutTest, StreamCopyClearsPreview) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ChooseEntry(w.cboVideoFormat, 7);
  ASSERT_TRUE(w.chkPreview->isChecked());
  w.cboVideoFormat->setCurrentIndex(0);  // without the list's own change handler
  ASSERT_TRUE(w.chkPreview->isChecked());
  w.btnStart->click();
  EXPECT_FALSE(w.chkPreview->isChecked());
  EXPECT_FALSE(w.FFEncoder().PreviewBitmap());
  EXPECT_FALSE(w.PreviewForm()->isVisible());
  EXPECT_EQ(Ini()["preview"], "0");
  ASSERT_TRUE(WaitIdle());
  EXPECT_FALSE(w.cboFrameSize->isEnabled());
  EXPECT_TRUE(QFileInfo::exists(Expected(".mp4")));
}

// "Frame-exact copy": a box beside "Remove Audio Track", checked on a fresh profile, open only
// with the copy format and kept in the settings; with it the copy starts and ends on the chosen
// pictures.
TEST_F(CutTest, FrameExactCopyStartsAndEndsOnTheChosenPictures) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  EXPECT_EQ(w.chkExactCut->text(), "Frame-exact copy");
  EXPECT_TRUE(w.chkExactCut->toolTip().contains(
      "re-encodes only the pictures before the first and after the last key frame of the range"));
  EXPECT_TRUE(w.chkExactCut->isChecked()) << "on for a fresh profile";
  ChooseEntry(w.cboVideoFormat, 7);
  EXPECT_FALSE(w.chkExactCut->isEnabled());
  ChooseEntry(w.cboVideoFormat, 0);
  ASSERT_TRUE(w.chkExactCut->isEnabled());
  EXPECT_EQ(Ini().count("ExactCut"), 0u) << "the default is not stored";

  StepTo(13);
  w.btnTrimStart->click();
  StepTo(37);
  w.btnTrimEnd->click();
  w.btnStart->click();
  ASSERT_TRUE(Dialogs.Messages.empty()) << Dialogs.Messages[0].Text.toStdString();
  ASSERT_TRUE(w.JobRunning());
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Dialogs.Messages.empty());
  ASSERT_EQ(Shell.Opened.size(), 1u);
  const TProbe probe = ProbeFile(Expected(".mp4"));
  EXPECT_EQ(probe.FirstFrame, 13);
  EXPECT_EQ(probe.LastFrame, 36);  // the end point's picture is the first one left out
  EXPECT_EQ(probe.Pictures, 24);
  w.chkExactCut->setChecked(false);
  EXPECT_EQ(Ini()["ExactCut"], "0");
  w.chkExactCut->setChecked(true);
  EXPECT_EQ(Ini()["ExactCut"], "1");
}

TEST_F(CutTest, FrameExactCopyOfAnotherCodecIsThePlainCopyAndSaysWhy) {
  Preset({{"OutPutDir", OutDir.toStdString()}, {"ExactCut", "1"}});
  TfrmMain& w = Open(FixtureKind::Vp8Webm);
  ASSERT_TRUE(w.chkExactCut->isChecked());
  ChooseEntry(w.cboVideoFormat, 0);
  StepTo(13);
  w.btnTrimStart->click();
  StepTo(37);
  w.btnTrimEnd->click();
  w.btnStart->click();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_TRUE(Dialogs.Messages[0].Text.contains("vp8 video cannot be cut to the frame"))
      << Dialogs.Messages[0].Text.toStdString();
  ASSERT_TRUE(WaitIdle());
  const TProbe probe = ProbeFile(Expected(".webm"));
  EXPECT_EQ(probe.FirstFrame, 12);  // the plain copy: the key frame at or before the start
  EXPECT_GE(probe.LastFrame, 36);
}

// The track bar marks the key frames, found by reading packets while the window stays usable.
TEST_F(CutTest, TheTrackBarMarksTheKeyFrames) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  std::vector<int> expected;
  for (int k : Info.keyFrames)
    expected.push_back(static_cast<int>(std::nearbyint(double(w.TrackBar1->maximum()) * k * FrameUs() / w.Duration())));
  ASSERT_TRUE(Wait([&] { return w.TrackBar1->KeyMarks() == expected; }, 30000));
  // Another file replaces them.
  Open(FixtureKind::MjpegAvi);
  ASSERT_TRUE(Wait([&] { return static_cast<int>(w.TrackBar1->KeyMarks().size()) == Info.frameCount; }, 30000));
}

}  // namespace

TRIMORA_APP_TEST_MAIN()
