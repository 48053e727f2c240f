// Opening files in the real window and moving through their pictures: log lines, the frame on
// screen (read back from the picture), the track bar, the points, saving, drops and keys.
#include "AppTestSupport.h"

#include "support/Fixtures.h"
#include "PictureBox.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "decoder/FileInfoLines.h"
#include "engine/RawMuxers.h"
#include "runtime/Bitmap.h"

#include <QCheckBox>
#include <QDropEvent>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include <cmath>
#include <memory>
#include <stdexcept>


namespace {

QStringList ExpectedOpenLines(const std::string& path) {
  TFFDecoder d;
  EXPECT_TRUE(d.LoadAVLib(TfrmMain::LibAVPath().toStdString()));
  EXPECT_TRUE(d.LoadFile(path));
  QStringList lines;
  lines << "***FFDecoder.FileInfoText";
  lines << QString::fromStdString(d.FileInfoText()).trimmed().replace("\r\n", "\n").split('\n');
  lines << "";
  for (const std::string& l : FileInfoLines(d)) lines << QString::fromStdString(l);
  return lines;
}

}  // namespace

class BrowseTest : public AppTest {
protected:
  TfrmMain& Open(FixtureKind kind) {
    if (!Window) Start();
    Path = FixturePath(kind);
    Info = GetFixtureInfo(kind);
    Dialogs.OpenAnswer = QString::fromStdString(Path);
    Window->btnOpen->click();
    return *Window;
  }
  int Shown() const { return FrameOf(Window->Picture()); }
  int64_t FrameUs() const { return int64_t(1000000) * Info.frameRate.den / Info.frameRate.num; }
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

  std::string Path;
  FixtureInfo Info;
};

TEST_F(BrowseTest, OpenLogsFileInformationAndShowsFirstPicture) {
  TfrmMain& w = Start();
  const QStringList before = w.LogLines();
  Open(FixtureKind::H264Mp4);
  EXPECT_EQ(Dialogs.LastOpenFilter, QLatin1String(OpenDialogFilter));

  const QStringList log = w.LogLines();
  ASSERT_GT(log.size(), before.size());
  EXPECT_EQ(log.mid(0, before.size()), before);
  const QStringList added = log.mid(before.size());
  EXPECT_EQ(added, ExpectedOpenLines(Path));
  // The lines themselves, against what the fixture is.
  EXPECT_TRUE(added.contains(QString("File Size: %1").arg(QFileInfo(QString::fromStdString(Path)).size())));
  EXPECT_TRUE(added.contains("Stream #0: Video"));
  EXPECT_TRUE(added.contains("  Video Frame Rate: 25.00"));
  EXPECT_TRUE(added.contains("  Frame size (width X height): 320x240"));
  EXPECT_TRUE(added.contains("Stream #1: Audio"));
  EXPECT_TRUE(added.contains("  Audio Sample Rate: 48000 hz"));
  EXPECT_TRUE(added.contains("  Video Length: 00:00:03.000")) << added.join('|').toStdString();

  EXPECT_EQ(Shown(), 0);
  EXPECT_EQ(w.CurrentPTS(), 0);
  EXPECT_EQ(w.lblPTS->text(), "00:00:00.000");
  EXPECT_EQ(w.windowTitle(), "Trimora Free" + TGlobalObject::GetVersionText() + " " +
                                 QString::fromStdString(Path));
  EXPECT_EQ(w.FrameCount(), Info.frameCount);
  EXPECT_TRUE(w.TrackBar1->isEnabled());
  EXPECT_TRUE(w.TrackBar1->SliderVisible());
  EXPECT_EQ(w.TrackBar1->maximum(), 75);
  EXPECT_EQ(w.TrackBar1->tickInterval(), 7);
  EXPECT_EQ(w.TrackBar1->pageStep(), 5);
  EXPECT_GT(w.Duration(), 2900000);
  for (QPushButton* b : {w.btnStart, w.btnSave, w.btnPreviousFrame, w.btnNextFrame, w.btnPreviousKF,
                         w.btnNextKF, w.btnTrimStart, w.btnTrimEnd, w.btnReset, w.btnPlay, w.btnPlayStop})
    EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
  for (QPushButton* b : {w.btnStop, w.btnPause, w.btnResume}) EXPECT_FALSE(b->isEnabled());

  // The picture is fitted into the area: sky blue beside a 4:3 picture in a wider area.
  const QImage& canvas = w.Image1->Canvas();
  ASSERT_GT(canvas.width(), canvas.height() * 4 / 3 + 4);
  EXPECT_EQ(canvas.pixelColor(1, canvas.height() / 2), QColor(166, 202, 240));
  EXPECT_EQ(canvas.pixelColor(canvas.width() - 2, canvas.height() / 2), QColor(166, 202, 240));
  const QRect fitted = FitRect(QSize(320, 240), canvas.rect());
  EXPECT_EQ(FrameOf(canvas.copy(fitted)), 0);
}

TEST_F(BrowseTest, LoadFailuresLogTheDecoderTextAndResetTheView) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  w.btnNextFrame->click();
  ASSERT_EQ(Shown(), 1);

  const QString bad = Home + "/broken.mp4";
  QFile f(bad);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QByteArray(4096, '\x5a'));
  f.close();
  for (const QString& path : {Home + "/missing.mp4", bad}) {
    const int before = w.LogLines().size();
    Dialogs.OpenAnswer = path;
    w.btnOpen->click();
    const QStringList added = w.LogLines().mid(before);
    ASSERT_EQ(added.size(), 3) << added.join('|').toStdString();
    EXPECT_EQ(added[0], "");
    EXPECT_TRUE(added[1].startsWith("***File load error: ")) << added[1].toStdString();
    EXPECT_GT(added[1].size(), QString("***File load error: ").size());
    EXPECT_EQ(added[1], "***File load error: " + QString::fromStdString(w.FFDecoder().LastErrMsg()));
    EXPECT_EQ(added[2], "");
    // The view is reset; the buttons keep the state of the file before.
    EXPECT_EQ(w.Picture().Width(), 0);
    EXPECT_FALSE(w.TrackBar1->isEnabled());
    EXPECT_EQ(w.lblPTS->text(), "00:00:00.000");
    EXPECT_EQ(w.Duration(), 0);
    EXPECT_TRUE(w.btnNextFrame->isEnabled());
    EXPECT_EQ(w.Image1->Canvas().pixelColor(w.Image1->Canvas().rect().center()), QColor(166, 202, 240));
  }
  // Cancelling the dialog changes nothing.
  const QStringList log = w.LogLines();
  Dialogs.OpenAnswer.clear();
  w.btnOpen->click();
  EXPECT_EQ(w.LogLines(), log);
}

TEST_F(BrowseTest, FrameAndKeyFrameButtons) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ASSERT_EQ(Info.keyFrames.size() > 1u, true);
  for (int i = 0; i < 3; ++i) w.btnNextFrame->click();
  EXPECT_EQ(Shown(), 3);
  EXPECT_EQ(w.CurrentPTS(), 3 * FrameUs());
  EXPECT_EQ(w.lblPTS->text(), PTSText(3 * FrameUs()));
  EXPECT_EQ(w.TrackBar1->value(), std::lround(75.0 * w.CurrentPTS() / w.Duration()));

  w.btnPreviousFrame->click();
  EXPECT_EQ(Shown(), 2);
  EXPECT_EQ(w.lblPTS->text(), "00:00:00.080");

  const int key1 = Info.keyFrames[1];
  w.btnNextKF->click();
  EXPECT_EQ(Shown(), key1);
  EXPECT_TRUE(IsFixtureKeyFrame(Info, Shown()));
  w.btnNextFrame->click();
  w.btnNextFrame->click();
  w.btnPreviousKF->click();
  EXPECT_EQ(Shown(), key1);
  w.btnPreviousKF->click();
  EXPECT_EQ(Shown(), 0);
  w.btnNextKF->click();
  w.btnNextKF->click();
  EXPECT_EQ(Shown(), Info.keyFrames[2]);
  EXPECT_EQ(w.CurrentPTS(), Info.keyFrames[2] * FrameUs());
}

TEST_F(BrowseTest, TrackBarStepsByOneAndSeeksOnJumps) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  w.TrackBar1->setValue(1);
  EXPECT_EQ(Shown(), 1);
  EXPECT_EQ(w.LastTrackPos(), 1);
  w.TrackBar1->setValue(2);
  EXPECT_EQ(Shown(), 2);
  w.TrackBar1->setValue(1);
  EXPECT_EQ(Shown(), 1);

  // A far jump shows the first picture at or after the position's time.
  for (int pos : {40, 17, 70, 3}) {
    w.TrackBar1->setValue(pos);
    const int64_t target = std::llround(static_cast<double>(pos) / 75 * w.Duration());
    const int expected = static_cast<int>((target + FrameUs() - 1) / FrameUs());
    EXPECT_EQ(Shown(), expected) << "position " << pos;
    EXPECT_EQ(w.CurrentPTS(), expected * FrameUs());
    EXPECT_EQ(w.TrackBar1->value(), pos);
    EXPECT_EQ(w.LastTrackPos(), pos);
    EXPECT_FALSE(w.Seeking());
  }
  // After a button step the thumb follows, and one position on is one frame on.
  w.btnNextFrame->click();
  const int shown = Shown();
  w.TrackBar1->setValue(w.TrackBar1->value() + 1);
  EXPECT_EQ(Shown(), shown + 1);
}

TEST_F(BrowseTest, StartAndEndPointsWithTheirSelection) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  for (int i = 0; i < 20; ++i) w.btnNextFrame->click();
  ASSERT_EQ(Shown(), 20);
  const int pos20 = w.TrackBar1->value();
  w.btnTrimStart->click();
  EXPECT_EQ(w.TrimStart(), 20 * FrameUs());
  EXPECT_EQ(w.TrimEnd(), w.Duration());  // the end was before the start: moved to the end
  EXPECT_EQ(w.TrackBar1->SelStart(), pos20);
  EXPECT_EQ(w.TrackBar1->SelEnd(), 75);

  w.btnPreviousKF->click();
  ASSERT_EQ(Shown(), 12);
  w.btnTrimEnd->click();  // before the start: the start is cleared
  EXPECT_EQ(w.TrimEnd(), 12 * FrameUs());
  EXPECT_EQ(w.TrimStart(), 0);
  EXPECT_EQ(w.TrackBar1->SelStart(), 0);
  EXPECT_EQ(w.TrackBar1->SelEnd(), w.TrackBar1->value());

  for (int i = 0; i < 3; ++i) w.btnNextFrame->click();
  w.btnTrimStart->click();  // after the end: the end moves to the file's end
  EXPECT_EQ(w.TrimStart(), 15 * FrameUs());
  EXPECT_EQ(w.TrimEnd(), w.Duration());
  EXPECT_EQ(w.TrackBar1->SelEnd(), 75);

  // The selection is drawn between its ends, and nowhere else.
  w.TrackBar1->SetSelStart(20);
  w.TrackBar1->SetSelEnd(50);
  const QImage shot = w.TrackBar1->grab().toImage();
  auto selected = [&](int pos) {
    const int x = w.TrackBar1->PositionToPixel(pos);
    for (int y = 0; y < shot.height(); ++y)
      if (shot.pixelColor(x, y) == QColor(0, 120, 215)) return true;
    return false;
  };
  EXPECT_TRUE(selected(35));
  EXPECT_FALSE(selected(5));
  EXPECT_FALSE(selected(65));

  w.btnReset->click();
  EXPECT_EQ(w.TrimStart(), 0);
  EXPECT_EQ(w.TrimEnd(), 0);
  EXPECT_EQ(w.TrackBar1->SelStart(), 0);
  EXPECT_EQ(w.TrackBar1->SelEnd(), 0);
  // Without points nothing on the groove is coloured, not even the part before the thumb.
  w.TrackBar1->setValue(60);
  const QImage plain = w.TrackBar1->grab().toImage();
  const int x = w.TrackBar1->PositionToPixel(30);
  for (int y = 0; y < plain.height(); ++y) {
    const QColor c = plain.pixelColor(x, y);
    EXPECT_LT(c.blue() - c.red(), 40) << "y " << y;
  }
}

TEST_F(BrowseTest, StillImageAndStreamWithoutDuration) {
  TfrmMain& w = Open(FixtureKind::StillPng);
  EXPECT_EQ(w.Picture().Width(), 320);
  EXPECT_EQ(Shown(), 0);
  EXPECT_FALSE(w.TrackBar1->isEnabled());
  EXPECT_TRUE(w.btnSave->isEnabled());

  Open(FixtureKind::RawH264);
  EXPECT_TRUE(w.LogLines().contains("File Duration is not preseted"));
  EXPECT_FALSE(w.TrackBar1->isEnabled());
  EXPECT_EQ(w.Duration(), 0);
  EXPECT_EQ(Shown(), 0);
  w.btnNextFrame->click();
  EXPECT_EQ(Shown(), 1);
}

TEST_F(BrowseTest, AudioOnlyFileIsListedWithoutPicture) {
  TfrmMain& w = Start();
  const QString title = w.windowTitle();
  Open(FixtureKind::Mp3);
  EXPECT_TRUE(w.LogLines().contains("Stream #0: Audio"));
  EXPECT_EQ(w.Picture().Width(), 0);
  EXPECT_EQ(w.windowTitle(), title);
  EXPECT_FALSE(w.btnStart->isEnabled());
  EXPECT_FALSE(w.btnNextFrame->isEnabled());
  EXPECT_FALSE(w.TrackBar1->isEnabled());
}

TEST_F(BrowseTest, SaveImageAsBmpOrJpegByName) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  for (int i = 0; i < 5; ++i) w.btnNextFrame->click();
  ASSERT_EQ(Shown(), 5);

  Dialogs.SaveAnswer = Home + "/shot.BMP";
  w.btnSave->click();
  EXPECT_EQ(Dialogs.LastSaveName, QFileInfo(QString::fromStdString(Path)).completeBaseName());
  EXPECT_FALSE(Dialogs.LastSaveName.contains('.'));
  EXPECT_EQ(Dialogs.LastSaveExt, "bmp");
  EXPECT_EQ(Dialogs.LastSaveFilter, QLatin1String(SaveDialogFilter));
  const QByteArray bmp = ReadFileBytes(Dialogs.SaveAnswer);
  ASSERT_TRUE(bmp.startsWith("BM"));
  QImage fromBmp;
  ASSERT_TRUE(fromBmp.loadFromData(bmp, "BMP"));
  EXPECT_EQ(fromBmp.size(), QSize(320, 240));
  EXPECT_EQ(FrameOf(fromBmp), 5);
  const QImage onScreen = BitmapImage(w.Picture()).convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(fromBmp.convertToFormat(QImage::Format_RGB32), onScreen);

  Dialogs.SaveAnswer = Home + "/shot.png";
  w.btnSave->click();
  const QByteArray jpeg = ReadFileBytes(Dialogs.SaveAnswer);
  ASSERT_TRUE(jpeg.startsWith("\xFF\xD8\xFF"));
  QImage fromJpeg;
  ASSERT_TRUE(fromJpeg.loadFromData(jpeg, "JPEG"));
  EXPECT_EQ(FrameOf(fromJpeg), 5);
  EXPECT_TRUE(Dialogs.Messages.empty());

  // A folder that does not exist: the failure is reported, nothing is left behind.
  Dialogs.SaveAnswer = Home + "/no/such/shot.bmp";
  w.btnSave->click();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_FALSE(QFileInfo::exists(Dialogs.SaveAnswer));
}

TEST_F(BrowseTest, RecordingWithADisplayMatrixIsShownAndSavedUpright) {
  TfrmMain& w = Open(FixtureKind::H264RotatedMp4);
  EXPECT_TRUE(w.LogLines().contains("  Video Rotation: 90 degrees"));
  EXPECT_EQ(w.Picture().Width(), 240);
  EXPECT_EQ(w.Picture().Height(), 320);
  EXPECT_EQ(Shown(), 0);
  for (int i = 0; i < 3; ++i) w.btnNextFrame->click();
  w.btnPreviousFrame->click();
  ASSERT_EQ(Shown(), 2);
  // Fitted upright: a tall picture in the wide area.
  const QImage& canvas = w.Image1->Canvas();
  EXPECT_EQ(FrameOf(canvas.copy(FitRect(QSize(240, 320), canvas.rect()))), 2);

  Dialogs.SaveAnswer = Home + "/upright.bmp";
  w.btnSave->click();
  QImage saved;
  ASSERT_TRUE(saved.loadFromData(ReadFileBytes(Dialogs.SaveAnswer), "BMP"));
  EXPECT_EQ(saved.size(), QSize(240, 320));
  EXPECT_EQ(FrameOf(saved), 2);
}

TEST_F(BrowseTest, NoSaveDialogWithoutPicture) {
  TfrmMain& w = Start();
  w.btnSave->setEnabled(true);
  w.btnSave->click();
  EXPECT_EQ(Dialogs.SaveCalls, 0);
}

TEST_F(BrowseTest, DropOpensOnlyTheFirstFileWithoutLogLines) {
  UnregisterPacketMuxers();
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  EXPECT_EQ(FindRawMuxer("rawh264"), nullptr) << "only a drop registers them";
  for (int i = 0; i < 4; ++i) w.btnNextFrame->click();
  w.btnTrimStart->click();
  const QStringList log = w.LogLines();
  const std::string first = FixturePath(FixtureKind::Mpeg4Avi);
  const std::string second = FixturePath(FixtureKind::H264Mkv);

  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(first)),
                QUrl::fromLocalFile(QString::fromStdString(second))});
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &drop);

  EXPECT_EQ(w.FileName(), QString::fromStdString(first));
  for (const char* name : {"rawh263", "rawh264", "rawmjpeg", "rawyuv", "rawrgb"})
    EXPECT_NE(FindRawMuxer(name), nullptr) << name;
  EXPECT_EQ(w.LogLines(), log);
  EXPECT_EQ(Shown(), 0);
  EXPECT_EQ(w.TrimStart(), 0);
  EXPECT_EQ(w.TrimEnd(), 0);
  EXPECT_TRUE(w.windowTitle().endsWith(QString::fromStdString(first)));
  for (QPushButton* b : {w.btnStart, w.btnStop, w.btnPause, w.btnResume, w.btnNextFrame, w.btnPlay})
    EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
  EXPECT_TRUE(w.TrackBar1->isEnabled());
}

TEST_F(BrowseTest, KeysCallTheButtonsHandlers) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  EXPECT_EQ(w.btnNextFrame->toolTip(), "Next frame (Right)");
  EXPECT_EQ(w.btnPreviousFrame->toolTip(), "Previous frame (Left)");
  EXPECT_EQ(w.btnNextKF->toolTip(), "Next Key-frame (Ctrl+Right)");
  EXPECT_EQ(w.btnPreviousKF->toolTip(), "Previous Key-frame (Ctrl+Left)");
  EXPECT_TRUE(w.btnTrimStart->toolTip().endsWith("(I)"));
  EXPECT_TRUE(w.btnTrimEnd->toolTip().endsWith("(O)"));
  EXPECT_TRUE(w.btnOpen->toolTip().endsWith("(Ctrl+O)"));

  Press(Qt::Key_Right);
  Press(Qt::Key_Right);
  EXPECT_EQ(Shown(), 2);
  Press(Qt::Key_Left);
  EXPECT_EQ(Shown(), 1);
  Press(Qt::Key_Right, Qt::ControlModifier);
  EXPECT_EQ(Shown(), Info.keyFrames[1]);
  Press(Qt::Key_I);
  EXPECT_EQ(w.TrimStart(), Info.keyFrames[1] * FrameUs());
  Press(Qt::Key_Right, Qt::ControlModifier);
  Press(Qt::Key_O);
  EXPECT_EQ(w.TrimEnd(), Info.keyFrames[2] * FrameUs());
  Press(Qt::Key_Left, Qt::ControlModifier);
  EXPECT_EQ(Shown(), Info.keyFrames[1]);
  const int opens = Dialogs.OpenCalls;
  Dialogs.OpenAnswer.clear();
  Press(Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(Dialogs.OpenCalls, opens + 1);
  EXPECT_EQ(w.TrimEnd(), Info.keyFrames[2] * FrameUs());  // Ctrl+O is not O
}

TEST_F(BrowseTest, KeysDoNothingWithoutAFile) {
  TfrmMain& w = Start();
  Press(Qt::Key_Right);
  Press(Qt::Key_I);
  EXPECT_EQ(w.TrimStart(), 0);
  EXPECT_EQ(w.LogLines().size(), 2);
}

TEST_F(BrowseTest, ActualSizeView) {
  TfrmMain& w = Start();
  w.Image1Click();  // no picture: nothing
  EXPECT_TRUE(Dialogs.Modals.empty());
  Open(FixtureKind::H264Mp4);
  for (int i = 0; i < 3; ++i) w.btnNextFrame->click();
  QString caption;
  QSize size;
  int frame = -1;
  Dialogs.OnModal = [&](QDialog& d) {
    caption = d.windowTitle();
    size = d.size();
    auto* image = d.findChild<TPictureBox*>("Image");
    ASSERT_NE(image, nullptr);
    frame = FrameOf(image->Canvas());
    // Esc closes it.
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&d, &esc);
    EXPECT_FALSE(d.isVisible());
  };
  QMouseEvent click(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                    Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(w.Image1, &click);
  EXPECT_EQ(Dialogs.Modals, std::vector<QString>{"frmActualSize"});
  EXPECT_EQ(caption, "320x240 @ 00:00:00.120");
  EXPECT_EQ(size, QSize(320, 240));
  EXPECT_EQ(frame, 3);

  // Enter closes it as well, and so does a click on the picture.
  for (int way = 0; way < 2; ++way) {
    bool closed = false;
    Dialogs.OnModal = [&](QDialog& d) {
      if (way == 0) {
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(&d, &enter);
      } else {
        QMouseEvent up(QEvent::MouseButtonRelease, QPointF(100, 100), QPointF(100, 100),
                       Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(d.findChild<TPictureBox*>("Image"), &up);
      }
      closed = !d.isVisible();
    };
    w.Image1Click();
    EXPECT_TRUE(closed) << way;
  }
}

TEST_F(BrowseTest, ResizeKeepsThePictureFitted) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  w.TrackBar1->setValue(30);
  const int frame = Shown();
  w.btnTrimStart->click();
  const int selStart = w.TrackBar1->SelStart();
  w.resize(1000, 900);
  QApplication::processEvents();
  const QImage& canvas = w.Image1->Canvas();
  ASSERT_EQ(canvas.size(), w.Image1->size());
  const QRect fitted = FitRect(QSize(320, 240), canvas.rect());
  EXPECT_EQ(FrameOf(canvas.copy(fitted)), frame);
  EXPECT_EQ(w.TrackBar1->value(), 30);
  // The points are still set, and the selection still shows them.
  EXPECT_EQ(w.TrackBar1->SelStart(), selStart);
  EXPECT_EQ(w.TrackBar1->SelEnd(), 75);
}

namespace {
// A decoder whose seeks fail by throwing, as a broken input can make them.
class TThrowingSeekDecoder : public TFFDecoder {
public:
  bool Seek(int64_t, int) override { throw std::runtime_error("seek broke"); }
};
}  // namespace

TEST_F(BrowseTest, ThrowingJumpRestoresTheTrackBarState) {
  Start();
  Window->SetDecoder(std::make_unique<TThrowingSeekDecoder>());
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ASSERT_EQ(Shown(), 0);
  {
    QSignalBlocker block(w.TrackBar1);
    w.TrackBar1->setValue(40);
  }
  EXPECT_THROW(w.TrackBar1Change(), std::runtime_error);
  EXPECT_FALSE(w.Seeking());
  EXPECT_EQ(w.LastTrackPos(), 40);
  EXPECT_EQ(Shown(), 0);
  // Not stuck: one position on from there is one frame on.
  w.TrackBar1->setValue(41);
  EXPECT_EQ(Shown(), 1);
  EXPECT_EQ(w.LastTrackPos(), 41);

  // Moved by the user, the failure is shown and the window goes on.
  w.TrackBar1->setValue(10);
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "seek broke");
  EXPECT_EQ(Dialogs.Messages[0].Buttons, TMsgButtons::Ok);
  EXPECT_FALSE(w.Seeking());
  EXPECT_EQ(w.LastTrackPos(), 10);
  w.btnNextFrame->click();
  EXPECT_EQ(Shown(), 2);
}

TEST_F(BrowseTest, ResizeLeavesTheSelectionWhereTheButtonsPutIt) {
  // Its audio runs past the last picture, so times and positions do not map one to one.
  TfrmMain& w = Open(FixtureKind::Mpeg4Avi);
  const int max = w.TrackBar1->maximum();
  // A jump shows the first picture at or after the position's time; find one whose own
  // position is not the thumb's.
  int pos = -1;
  for (int p = 2; p < max / 2 && pos < 0; p += 3) {
    w.TrackBar1->setValue(p);
    if (std::llround(static_cast<double>(max) * w.CurrentPTS() / w.Duration()) != p) pos = p;
  }
  ASSERT_GT(pos, 0) << "every jump landed on its own position";
  w.btnTrimStart->click();
  const int64_t start = w.TrimStart();
  w.TrackBar1->setValue(max - 5);
  w.btnTrimEnd->click();
  const int64_t end = w.TrimEnd();
  ASSERT_EQ(w.TrackBar1->SelStart(), pos);
  ASSERT_EQ(w.TrackBar1->SelEnd(), max - 5);

  w.resize(1000, 900);
  QApplication::processEvents();
  EXPECT_EQ(w.TrackBar1->SelStart(), pos);
  EXPECT_EQ(w.TrackBar1->SelEnd(), max - 5);
  EXPECT_EQ(w.TrimStart(), start);
  EXPECT_EQ(w.TrimEnd(), end);
}

TEST(FitRect, LargestOfThePicturesAspectCentred) {
  // Wider target: full height, narrowed on both sides.
  EXPECT_EQ(FitRect(QSize(320, 240), QRect(0, 0, 800, 300)), QRect(200, 0, 400, 300));
  // Taller target: full width, shortened at top and bottom.
  EXPECT_EQ(FitRect(QSize(640, 360), QRect(0, 0, 640, 640)), QRect(0, 140, 640, 360));
  // Scaled up, and an offset target.
  EXPECT_EQ(FitRect(QSize(16, 9), QRect(10, 20, 320, 320)), QRect(10, 90, 320, 180));
  // Same aspect: the whole target.
  EXPECT_EQ(FitRect(QSize(4, 3), QRect(0, 0, 400, 300)), QRect(0, 0, 400, 300));
  // A margin of exactly half a pixel rounds to even, as the window's arithmetic always has.
  EXPECT_EQ(FitRect(QSize(10, 5), QRect(0, 0, 10, 10)), QRect(0, 2, 10, 6));
  EXPECT_EQ(FitRect(QSize(10, 3), QRect(0, 0, 10, 10)), QRect(0, 4, 10, 2));
  EXPECT_EQ(FitRect(QSize(5, 10), QRect(0, 0, 10, 10)), QRect(2, 0, 6, 10));
}

TRIMORA_APP_TEST_MAIN()
