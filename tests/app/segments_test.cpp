// The segment list in the real window: ranges added with the key from the points, their rows,
// a click jumping to the start picture, the editing keys with undo, refusals in the status
// line, the colours on the track bar, the merged / separate choices and the autosave that is
// offered again when the file is opened.
#include "AppTestSupport.h"

#include "SegmentPanel.h"
#include "Timeline.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "segments/ProjectFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>

#include <chrono>
#include <cstdlib>
#include <functional>

namespace {

class SegmentsTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    setenv("XDG_DATA_HOME", (Home + "/.local/share").toLocal8Bit().constData(), 1);
  }

  // Opened as a file named at program start is.
  TfrmMain& Open(FixtureKind kind) {
    Source = QString::fromStdString(FixturePath(kind));
    Info = GetFixtureInfo(kind);
    TfrmMain& w = Window ? *Window : Start();
    w.OpenFromCommandLine(Source);
    return w;
  }
  int64_t FrameUs() const { return int64_t(1000000) * Info.frameRate.den / Info.frameRate.num; }
  // Shows picture n and checks it is the one on screen.
  void Show(int n) {
    Window->JumpToTime(n * FrameUs());
    ASSERT_EQ(FrameOf(Window->Picture()), n);
  }
  // Points on pictures `from` and `to`, then the add key.
  void AddByKey(int from, int to) {
    Show(from);
    Window->btnTrimStart->click();
    Show(to);
    Window->btnTrimEnd->click();
    Press(Window.get(), Qt::Key_S);
  }
  // A key as a person types it into the widget with the focus.
  void Press(QWidget* focus, int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QApplication::setActiveWindow(Window.get());
    focus->setFocus();
    QApplication::processEvents();
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : focus;
    if (qt_sendShortcutOverrideEvent(target, 0, key, mods, QString(), false, 1)) return;
    QKeyEvent press(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(target, &press);
  }
  QTableWidget* Table() const { return Window->SegmentPanel->tblSegments; }
  QStringList Row(int row) const {
    QStringList texts;
    for (int c = 0; c < Table()->columnCount(); ++c)
      texts << (Table()->item(row, c) ? Table()->item(row, c)->text() : QStringLiteral("<none>"));
    return texts;
  }
  void ClickRow(int row) {
    QWidget* view = Table()->viewport();
    const QPoint at = Table()->visualItemRect(Table()->item(row, 0)).center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QMouseEvent e(type, at, view->mapToGlobal(at), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
      QApplication::sendEvent(view, &e);
    }
  }
  static bool WaitFor(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 10);
      ProcessMainThreadCalls();
    }
    return true;
  }
  static void WriteText(const QString& path, const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(text), text.size());
  }
  std::vector<TSegment> Saved() const {
    std::vector<TSegment> items;
    std::string err;
    const std::string text = ReadFileBytes(SegmentAutosavePath(Source)).toStdString();
    EXPECT_TRUE(ParseProjectText(text, TProjectFormat::Trimora, {Source.toStdString(), 0}, &items, &err)) << err;
    return items;
  }

  QString Source;
  FixtureInfo Info;
};

TEST_F(SegmentsTest, TheKeyAddsThePointsAsRowsAndAClickShowsTheStart) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  ASSERT_EQ(Info.frameRate.num / Info.frameRate.den, 25);
  // Added out of time order, listed in time order.
  AddByKey(40, 55);
  AddByKey(10, 20);
  ASSERT_EQ(Table()->rowCount(), 2);
  EXPECT_EQ(Row(0), QStringList({"00:00:00.400", "00:00:00.800", "00:00:00.400", ""}));
  EXPECT_EQ(Row(1), QStringList({"00:00:01.600", "00:00:02.200", "00:00:00.600", ""}));
  EXPECT_EQ(w.SegmentPanel->CurrentRow(), 0);
  EXPECT_TRUE(Dialogs.Messages.empty());

  Show(70);
  ClickRow(1);
  EXPECT_EQ(FrameOf(w.Picture()), 40);
  EXPECT_EQ(w.CurrentPTS(), 40 * FrameUs());
  EXPECT_EQ(w.SegmentPanel->CurrentRow(), 1);
  ClickRow(0);
  EXPECT_EQ(FrameOf(w.Picture()), 10);

  // The label as the editor leaves it; the other cells cannot be edited.
  Table()->item(1, TSegmentPanel::colLabel)->setText("Second half");
  EXPECT_EQ(w.Segments()[1].Label, "Second half");
  EXPECT_FALSE(Table()->item(1, TSegmentPanel::colStart)->flags() & Qt::ItemIsEditable);
  EXPECT_TRUE(Table()->item(1, TSegmentPanel::colLabel)->flags() & Qt::ItemIsEditable);
}

TEST_F(SegmentsTest, DeleteMoveUndoAndRedoWhileTheListHasTheFocus) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  AddByKey(10, 20);
  AddByKey(40, 55);
  w.SegmentPanel->SetCurrentRow(0);
  Press(Table(), Qt::Key_Delete);
  ASSERT_EQ(Table()->rowCount(), 1);
  EXPECT_EQ(Row(0)[0], "00:00:01.600");
  Press(Table(), Qt::Key_Z, Qt::ControlModifier);
  ASSERT_EQ(Table()->rowCount(), 2);
  EXPECT_EQ(Row(0)[0], "00:00:00.400");
  Press(Table(), Qt::Key_Y, Qt::ControlModifier);
  EXPECT_EQ(Table()->rowCount(), 1);
  Press(Table(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(w.lblStatus->text(), "Nothing to redo");
  Press(Table(), Qt::Key_Z, Qt::ControlModifier);
  ASSERT_EQ(Table()->rowCount(), 2);

  // Moving changes the order of the merged output, not the times.
  w.SegmentPanel->SetCurrentRow(0);
  Press(Table(), Qt::Key_Down, Qt::AltModifier);
  EXPECT_EQ(Row(0)[0], "00:00:01.600");
  EXPECT_EQ(Row(1)[0], "00:00:00.400");
  EXPECT_EQ(w.SegmentPanel->CurrentRow(), 1);
  Press(Table(), Qt::Key_Down, Qt::AltModifier);
  EXPECT_EQ(w.lblStatus->text(), "Segment 2 is already the last");
  Press(Table(), Qt::Key_Up, Qt::AltModifier);
  EXPECT_EQ(Row(0)[0], "00:00:00.400");

  // Outside the list the keys leave it alone.
  Press(w.btnOpen, Qt::Key_Delete);
  EXPECT_EQ(Table()->rowCount(), 2);
  EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(SegmentsTest, SplitAtThePictureMergeAndInvert) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  AddByKey(10, 20);
  Show(15);
  w.SegmentPanel->SplitCurrent();
  ASSERT_EQ(Table()->rowCount(), 2);
  EXPECT_EQ(Row(0).mid(0, 2), QStringList({"00:00:00.400", "00:00:00.600"}));
  EXPECT_EQ(Row(1).mid(0, 2), QStringList({"00:00:00.600", "00:00:00.800"}));
  w.SegmentPanel->SetCurrentRow(0);
  w.SegmentPanel->MergeCurrent();
  ASSERT_EQ(Table()->rowCount(), 1);
  EXPECT_EQ(Row(0).mid(0, 2), QStringList({"00:00:00.400", "00:00:00.800"}));
  Show(30);
  w.SegmentPanel->SplitCurrent();
  EXPECT_EQ(Table()->rowCount(), 1);
  EXPECT_TRUE(w.lblStatus->text().startsWith("The time 0:00:01.200 is not inside segment 1"))
      << w.lblStatus->text().toStdString();

  // What lies around the segment, up to the end of the file.
  w.SegmentPanel->Invert();
  ASSERT_EQ(Table()->rowCount(), 2);
  EXPECT_EQ(Row(0).mid(0, 2), QStringList({"00:00:00.000", "00:00:00.400"}));
  EXPECT_EQ(Row(1).mid(0, 2), QStringList({"00:00:00.800", PTSText(w.Duration())}));
  Press(Table(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Table()->rowCount(), 1);
}

TEST_F(SegmentsTest, OverlappingAndEmptyRangesAreRefusedInTheStatusLine) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  AddByKey(10, 20);
  AddByKey(15, 30);
  EXPECT_EQ(Table()->rowCount(), 1);
  const QString overlap = "The segment 0:00:00.600 - 0:00:01.200 overlaps segment 1 (0:00:00.400 - 0:00:00.800)";
  EXPECT_EQ(w.lblStatus->text(), overlap);
  EXPECT_TRUE(w.LogLines().contains(overlap));

  w.btnReset->click();
  Press(&w, Qt::Key_S);
  EXPECT_EQ(Table()->rowCount(), 1);
  EXPECT_TRUE(w.lblStatus->text().startsWith("The segment is empty")) << w.lblStatus->text().toStdString();
  EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(SegmentsTest, EverySegmentHasItsColourOnTheTrackBarAndTheCurrentOneIsFramed) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  w.btnReset->click();
  // The key frames are marked once their scan ends; the pictures compared must both hold them.
  ASSERT_TRUE(WaitFor([&] { return !w.TrackBar1->KeyMarks().empty(); }));
  const QImage bare = w.TrackBar1->grab().toImage();
  AddByKey(10, 20);
  AddByKey(40, 55);
  w.btnReset->click();
  w.SegmentPanel->SetCurrentRow(1);
  const QColor c0 = SegmentColour(0), c1 = SegmentColour(1);
  ASSERT_NE(c0, c1);
  // The timeline draws the same segments, in the same colours, at their times.
  const std::vector<TTimelineSegment>& spans = w.Timeline1->Segments();
  ASSERT_EQ(spans.size(), 2u);
  EXPECT_EQ(spans[0].Start, 10 * FrameUs());
  EXPECT_EQ(spans[1].End, 55 * FrameUs());
  EXPECT_EQ(spans[0].Color.rgb(), c0.rgb());
  EXPECT_EQ(spans[1].Color.rgb(), c1.rgb());
  EXPECT_FALSE(spans[0].Selected);
  EXPECT_TRUE(spans[1].Selected);

  auto column = [&](int frame) {
    const QImage img = w.TrackBar1->grab().toImage();
    const int max = w.TrackBar1->maximum();
    const int pos = static_cast<int>(std::lround(double(max) * frame * FrameUs() / w.Duration()));
    const int x = w.TrackBar1->PositionToPixel(pos);
    std::vector<QColor> colours;
    for (int y = 0; y < img.height(); ++y) colours.push_back(img.pixelColor(x, y));
    return colours;
  };
  auto has = [](const std::vector<QColor>& colours, const QColor& c) {
    // By value: a computed colour keeps more precision than a pixel.
    return std::any_of(colours.begin(), colours.end(), [&](const QColor& p) { return p.rgb() == c.rgb(); });
  };
  const auto inFirst = column(15), inSecond = column(47), between = column(30), before = column(3);
  EXPECT_TRUE(has(inFirst, c0));
  EXPECT_FALSE(has(inFirst, c1));
  EXPECT_TRUE(has(inSecond, c1));
  EXPECT_FALSE(has(inSecond, c0));
  for (const auto& outside : {between, before}) {
    EXPECT_FALSE(has(outside, c0));
    EXPECT_FALSE(has(outside, c1));
  }
  EXPECT_TRUE(has(inSecond, c1.darker(200)));
  EXPECT_FALSE(has(inFirst, c0.darker(200)));
  w.SegmentPanel->SetCurrentRow(0);
  EXPECT_TRUE(has(column(15), c0.darker(200)));
  EXPECT_FALSE(has(column(47), c1.darker(200)));

  // A segment that is not cut keeps its place in a washed-out colour; undo brings it back.
  Table()->item(1, TSegmentPanel::colStart)->setCheckState(Qt::Unchecked);
  EXPECT_FALSE(w.Segments()[1].Selected);
  EXPECT_TRUE(w.Segments()[0].Selected);
  EXPECT_NE(SegmentColour(1, false).rgb(), c1.rgb());
  EXPECT_TRUE(has(column(47), SegmentColour(1, false)));
  EXPECT_FALSE(has(column(47), c1));
  Press(Table(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Table()->item(1, TSegmentPanel::colStart)->checkState(), Qt::Checked);
  EXPECT_TRUE(has(column(47), c1));

  // Without segments the track bar is drawn as before.
  w.Segments().Clear();
  Show(0);
  EXPECT_EQ(w.TrackBar1->grab().toImage(), bare);
}

TEST_F(SegmentsTest, TheListIsSavedOutsideTheMediaFolderAndOfferedOnReopening) {
  Open(FixtureKind::H264Mp4);
  AddByKey(10, 20);
  Table()->item(0, TSegmentPanel::colLabel)->setText("Kick-off");
  const QString saved = SegmentAutosavePath(Source);
  EXPECT_TRUE(saved.startsWith(Home + "/.local/share/")) << saved.toStdString();
  EXPECT_TRUE(saved.endsWith(".trimora"));
  ASSERT_TRUE(QFileInfo::exists(saved));
  EXPECT_EQ(Saved(), std::vector<TSegment>({{10 * FrameUs(), 20 * FrameUs(), "Kick-off", true}}));
  EXPECT_TRUE(ReadFileBytes(saved).contains("\"media\": \"" + QFileInfo(Source).fileName().toUtf8() + "\""));

  // Another file starts with an empty list and asks nothing.
  Open(FixtureKind::H264Mkv);
  EXPECT_EQ(Table()->rowCount(), 0);
  EXPECT_TRUE(Dialogs.Messages.empty());

  // The same file in a new window: the list is offered; "No" leaves it saved and the list empty.
  Window.reset();
  Open(FixtureKind::H264Mp4);
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "This file has a saved list of 1 segment(s). Open it?");
  EXPECT_EQ(Dialogs.Messages[0].Buttons, TMsgButtons::YesNo);
  EXPECT_EQ(Table()->rowCount(), 0);
  EXPECT_EQ(Saved().size(), 1u);

  Dialogs.Answers.push_back(TMsgResult::Yes);
  Open(FixtureKind::H264Mp4);
  ASSERT_EQ(Dialogs.Messages.size(), 2u);
  ASSERT_EQ(Table()->rowCount(), 1);
  EXPECT_EQ(Row(0), QStringList({"00:00:00.400", "00:00:00.800", "00:00:00.400", "Kick-off"}));
  EXPECT_FALSE(Window->TrackBar1->Segments().empty());

  // A change is saved again; an emptied list is offered no more.
  Window->SegmentPanel->SetCurrentRow(0);
  Press(Table(), Qt::Key_Delete);
  EXPECT_TRUE(Saved().empty());
  Open(FixtureKind::H264Mp4);
  EXPECT_EQ(Dialogs.Messages.size(), 2u);
}

TEST_F(SegmentsTest, ListsAreSavedAndOpenedInTheProjectFormats) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  AddByKey(10, 20);
  Table()->item(0, TSegmentPanel::colLabel)->setText("A, \"b\"");
  const QString csv = Home + "/list.csv";
  Dialogs.SaveAnswer = csv;
  w.SegmentPanel->btnSaveList->click();
  EXPECT_EQ(ReadFileBytes(csv), "0.4,0.8,\"A, \"\"b\"\"\"\n");
  EXPECT_EQ(w.lblStatus->text(), "Segment list saved: " + csv);
  // Its own file is replaced; any other existing file is not.
  AddByKey(40, 55);
  w.SegmentPanel->btnSaveList->click();
  EXPECT_EQ(ReadFileBytes(csv).count('\n'), 2);
  const QString other = Home + "/other.csv";
  WriteText(other, "1,2,keep\n");
  Dialogs.SaveAnswer = other;
  w.SegmentPanel->btnSaveList->click();
  EXPECT_EQ(ReadFileBytes(other), "1,2,keep\n");
  EXPECT_NE(w.lblStatus->text(), "Segment list saved: " + other);

  // A LosslessCut project replaces the list as one change.
  const QString llc = Home + "/clip-proj.llc";
  WriteText(llc, "// from another cutter\n{version: 2, mediaFileName: 'clip.mp4',\n"
                " cutSegments: [{start: 2.4, end: 3, name: 'Three',},],}\n");
  Dialogs.OpenAnswer = llc;
  w.SegmentPanel->btnOpenList->click();
  ASSERT_EQ(Table()->rowCount(), 1);
  EXPECT_EQ(Row(0), QStringList({"00:00:02.400", "00:00:03.000", "00:00:00.600", "Three"}));
  Press(Table(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Table()->rowCount(), 2);

  // A faulty file changes nothing and names its line.
  const QString bad = Home + "/bad.csv";
  WriteText(bad, "1,2,fine\nsoon,later,broken\n");
  Dialogs.OpenAnswer = bad;
  w.SegmentPanel->btnOpenList->click();
  EXPECT_EQ(Table()->rowCount(), 2);
  EXPECT_TRUE(w.lblStatus->text().startsWith("line 2: ")) << w.lblStatus->text().toStdString();
  EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(SegmentsTest, TheListIsLockedWhileACutRuns) {
  const QString out = Home + "/cuts";
  Preset({{"OutPutDir", out.toStdString()}});
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  AddByKey(10, 20);
  Show(30);
  w.btnTrimStart->click();
  Show(60);
  w.btnTrimEnd->click();
  w.btnStart->click();
  ASSERT_TRUE(w.JobRunning());
  for (QWidget* c : {static_cast<QWidget*>(w.SegmentPanel), static_cast<QWidget*>(w.cboSegmentMode),
                     static_cast<QWidget*>(w.chkChapters)})
    EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
  Press(&w, Qt::Key_S);
  EXPECT_EQ(Table()->rowCount(), 1);
  ASSERT_TRUE(WaitFor([&] { return !w.JobRunning(); }));
  EXPECT_TRUE(w.SegmentPanel->isEnabled());
  EXPECT_TRUE(w.chkChapters->isEnabled());
  Press(&w, Qt::Key_S);
  EXPECT_EQ(Table()->rowCount(), 2);
}

// "Cut" with segments in the list cuts them, not the points: merged into one file with a
// chapter each, or one file per segment.
TEST_F(SegmentsTest, CutExportsTheListMergedOrSeparate) {
  const QString out = Home + "/cuts";
  ASSERT_TRUE(QDir().mkpath(out));
  Preset({{"OutPutDir", out.toStdString()}});
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  AddByKey(13, 21);
  AddByKey(40, 47);
  w.chkChapters->setChecked(true);
  w.btnStart->click();
  ASSERT_TRUE(WaitFor([&] { return !w.JobRunning(); }));
  auto numbers = [](const QString& file) {
    std::vector<int> n;
    TFFDecoder dec;
    EXPECT_TRUE(dec.LoadFile(file.toStdString())) << file.toStdString();
    while (dec.Decode()) n.push_back(ReadFrameNumber(dec.Picture()));
    return n;
  };
  auto counting = [](std::initializer_list<std::pair<int, int>> ranges) {
    std::vector<int> n;
    for (const auto& r : ranges)
      for (int i = r.first; i < r.second; i++) n.push_back(i);
    return n;
  };
  const QString stem = out + "/" + QFileInfo(Source).completeBaseName() + "_(new)";
  EXPECT_EQ(numbers(stem + ".mp4"), counting({{13, 21}, {40, 47}}));
  const std::string chapters =
      std::string("ffprobe -v error -show_entries chapter_tags=title -of csv=p=0 '") + (stem + ".mp4").toStdString() + "'";
  FILE* p = popen(chapters.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[256] = {};
  std::string titles;
  while (fgets(line, sizeof line, p)) titles += line;
  pclose(p);
  EXPECT_EQ(titles, "Segment 1\nSegment 2\n");

  ChooseEntry(w.cboSegmentMode, 1);
  w.btnStart->click();
  ASSERT_TRUE(WaitFor([&] { return !w.JobRunning(); }));
  EXPECT_EQ(numbers(stem + "_1.mp4"), counting({{13, 21}}));
  EXPECT_EQ(numbers(stem + "_2.mp4"), counting({{40, 47}}));
}

TEST_F(SegmentsTest, MergedOrSeparateAndChaptersAreKeptInTheSettings) {
  TfrmMain& w = Start();
  // Without a file there is nothing to add, open or save.
  for (QPushButton* b : {w.SegmentPanel->btnAddSegment, w.SegmentPanel->btnOpenList, w.SegmentPanel->btnSaveList})
    EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
  EXPECT_EQ(w.cboSegmentMode->currentText(), "Merged");
  EXPECT_FALSE(w.chkChapters->isChecked());
  EXPECT_TRUE(w.chkChapters->isEnabled());
  EXPECT_FALSE(w.SegmentsSeparate());
  ChooseEntry(w.cboSegmentMode, 1);
  EXPECT_FALSE(w.chkChapters->isEnabled());
  EXPECT_EQ(Ini()["segmentmode"], "1");
  EXPECT_EQ(Ini().count("segmentchapters"), 0u);

  Window.reset();
  TfrmMain& again = Start();
  EXPECT_TRUE(again.SegmentsSeparate());
  EXPECT_FALSE(again.chkChapters->isEnabled());
  ChooseEntry(again.cboSegmentMode, 0);
  again.chkChapters->setChecked(true);
  EXPECT_EQ(Ini()["segmentchapters"], "1");
  EXPECT_TRUE(again.SegmentChapters());

  Window.reset();
  TfrmMain& third = Start();
  EXPECT_EQ(third.cboSegmentMode->currentText(), "Merged");
  EXPECT_TRUE(third.chkChapters->isChecked());
  EXPECT_TRUE(third.SegmentChapters());
}

}  // namespace

TRIMORA_APP_TEST_MAIN()
