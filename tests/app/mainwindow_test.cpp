// The main window's controls, settings file, lists, closing, output folder and shell actions.
#include "AppTestSupport.h"

#include "About.h"
#include "GlobalUnit.h"
#include "PictureBox.h"
#include "TrackBar.h"
#include "directory.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QSettings>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTreeView>

#include <sys/stat.h>

namespace {

using Map = std::map<std::string, std::string>;

// The map with one key changed (or added).
Map With(Map m, const std::string& key, const std::string& value) {
  m[key] = value;
  return m;
}

QStringList Entries(const QComboBox* box) {
  QStringList out;
  for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
  return out;
}

template <class T>
T* Child(QWidget& w, const char* name) {
  return w.findChild<T*>(QLatin1String(name));
}

}  // namespace

TEST_F(AppTest, FirstRunStateAndSettingsFile) {
  TfrmMain& w = Start();
  const std::string version = " " + std::to_string(TRIMORA_VERSION_MAJOR) + "." +
                              std::to_string(TRIMORA_VERSION_MINOR) +
                              std::to_string(TRIMORA_VERSION_PATCH) +
                              std::to_string(TRIMORA_VERSION_TWEAK + 0) + " ";
  EXPECT_EQ(w.windowTitle().toStdString(), "Trimora Free" + version);
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Trimora Free");

  // The default /clipvanefree is not writable here, so the profile folder is stored and made.
  const QString out = Home + "/clipvanefree";
  EXPECT_EQ(w.edDirectory->text(), out);
  EXPECT_TRUE(w.edDirectory->isReadOnly());
  EXPECT_TRUE(QFileInfo(out).isDir());
  // Exactly what a first run writes: the folder, and the boxes whose defaults differ from the
  // form (optimize and preview set, the quality box set and then cleared by copy mode).
  EXPECT_EQ(Ini(), (Map{{"OutPutDir", out.toStdString()},
                        {"optimize", "1"},
                        {"preview", "1"},
                        {"usevideoquality", "0"}}));

  EXPECT_EQ(w.cboVideoFormat->count(), 23);
  EXPECT_EQ(w.cboVideoFormat->currentText(), "Copy - Original");
  EXPECT_EQ(w.cboVideoFormat->itemText(22), "WMA");
  EXPECT_EQ(w.cboFrameSize->count(), 29);
  EXPECT_EQ(w.cboFrameSize->currentIndex(), 0);
  EXPECT_EQ(w.cboFrameSize->itemText(28), "1920x1080 - hd1080");
  EXPECT_FALSE(w.cboFrameSize->isEnabled());
  EXPECT_EQ(w.cmbVideoQuality->count(), 11);
  EXPECT_EQ(w.cmbVideoQuality->itemText(0), "0(Higest Quality)");
  EXPECT_EQ(w.cmbVideoQuality->itemText(6), "6(Recommend)");
  EXPECT_FALSE(w.cmbVideoQuality->isEnabled());
  EXPECT_FALSE(w.chkVideoQuality->isChecked());
  EXPECT_FALSE(w.chkVideoQuality->isEnabled());
  EXPECT_EQ(w.chkVideoQuality->text(), " Output Video Quality");
  EXPECT_TRUE(w.chkPreview->isChecked());
  EXPECT_FALSE(w.chkRemovAudio->isChecked());
  EXPECT_TRUE(w.Optimize());
  EXPECT_FALSE(w.OptimizeColorMap());
  EXPECT_FALSE(w.chkOptimze->isVisible());
  EXPECT_FALSE(w.chkOptmizecolormap->isVisible());

  // No file yet: nothing to browse, cut or play.
  for (QPushButton* b : {w.btnStart, w.btnStop, w.btnPause, w.btnResume, w.btnPreviousKF,
                         w.btnPreviousFrame, w.btnNextFrame, w.btnNextKF, w.btnTrimStart,
                         w.btnTrimEnd, w.btnReset, w.btnSave, w.btnPlay, w.btnPlayStop})
    EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
  EXPECT_TRUE(w.btnOpen->isEnabled());
  EXPECT_FALSE(w.TrackBar1->isEnabled());
  EXPECT_FALSE(w.TrackBar1->SliderVisible());
  EXPECT_EQ(w.TrackBar1->maximum(), 10);
  EXPECT_EQ(w.TrackBar1->tickInterval(), 1);
  EXPECT_EQ(w.TrackBar1->pageStep(), 5);
  EXPECT_EQ(w.lblPTS->text(), "00:00:00.000");
  EXPECT_EQ(w.Image1->Canvas().pixelColor(w.Image1->Canvas().rect().center()), QColor(166, 202, 240));
  EXPECT_EQ(w.Image1->toolTip(), "Click to view current picture in actual size");
  EXPECT_FALSE(w.mmoLog->isVisible());
  EXPECT_EQ(w.mmoLog->toPlainText(), "https://www.example.com/trimora\n");
  EXPECT_FALSE(w.cboLogLevel->isVisible());
  EXPECT_EQ(w.cboLogLevel->count(), 8);
  EXPECT_EQ(w.cboLogLevel->currentText(), "Info");
  EXPECT_EQ(w.btnWebSite->toolTip(), "https://www.example.com/trimora");
  EXPECT_GE(w.minimumWidth(), 800);
  EXPECT_GE(w.minimumHeight(), 560);
  EXPECT_EQ(w.size(), QSize(800, 560));
}

TEST_F(AppTest, EveryControlByItsName) {
  TfrmMain& w = Start();
  const std::map<const char*, const char*> buttons = {
      {"btnOpen", "Open"},          {"btnStart", "Cut"},
      {"btnStop", "Stop"},          {"btnPause", "Pause"},
      {"btnResume", "Resume"},      {"btnPreviousFrame", "Previous Frame"},
      {"btnNextFrame", "Next Frame"}, {"btnPreviousKF", "Previous K-F"},
      {"btnNextKF", "Next K-F"},    {"btnTrimStart", "Set  Start Point"},
      {"btnTrimEnd", "Set  End Point"}, {"btnReset", "Reset"},
      {"btnSave", "Save Image"},    {"btnPlay", "Play"},
      {"btnPlayStop", "Stop"},      {"btnAbout", "About"},
      {"btnWebSite", "Web Site"},   {"btnExit", "Exit"},
      {"btn_output", "..."},        {"btn_open", "Open"}};
  for (const auto& [name, text] : buttons) {
    auto* b = Child<QPushButton>(w, name);
    ASSERT_NE(b, nullptr) << name;
    EXPECT_EQ(b->text(), text) << name;
    EXPECT_TRUE(b->isVisible()) << name;
  }
  EXPECT_TRUE(Child<QPushButton>(w, "btnNextKF")->toolTip().startsWith("Next Key-frame"));
  EXPECT_TRUE(Child<QPushButton>(w, "btnPreviousKF")->toolTip().startsWith("Previous Key-frame"));
  for (const char* name : {"cboVideoFormat", "cboFrameSize", "cmbVideoQuality", "cboLogLevel"})
    EXPECT_NE(Child<QComboBox>(w, name), nullptr) << name;
  for (const char* name : {"chkVideoQuality", "chkPreview", "chkRemovAudio", "chkOptimze",
                           "chkOptmizecolormap"})
    EXPECT_NE(Child<QCheckBox>(w, name), nullptr) << name;
  EXPECT_EQ(Child<QCheckBox>(w, "chkRemovAudio")->text(), "Remove Audio Track");
  EXPECT_EQ(Child<QCheckBox>(w, "chkOptimze")->text(), "Optimize");
  EXPECT_EQ(Child<QCheckBox>(w, "chkOptmizecolormap")->text(), "Optimize Color Map");
  EXPECT_NE(Child<TTrackBar>(w, "TrackBar1"), nullptr);
  EXPECT_NE(Child<TPictureBox>(w, "Image1"), nullptr);
  EXPECT_NE(Child<QLabel>(w, "lblPTS"), nullptr);
  EXPECT_NE(Child<QLabel>(w, "lblStatus"), nullptr);
  EXPECT_NE(Child<QLineEdit>(w, "edDirectory"), nullptr);
  EXPECT_NE(Child<QPlainTextEdit>(w, "mmoLog"), nullptr);
  EXPECT_NE(Child<QWidget>(w, "pnlPlayer"), nullptr);

  const QStringList hints = {"Facebook", "Google", "Twitter", "Reddit", "Stumbleupon", "Digg",
                             "Delicious"};
  for (int i = 0; i < 7; ++i) {
    ASSERT_NE(w.btnShare[i], nullptr);
    EXPECT_EQ(w.btnShare[i]->toolTip(), hints[i]);
    EXPECT_TRUE(w.btnShare[i]->isVisible());
  }
  // Every visible control lies inside the 800 x 560 client area.
  for (QWidget* c : w.findChildren<QWidget*>()) {
    if (!c->isVisible() || c->parentWidget() != &w) continue;
    EXPECT_TRUE(w.rect().contains(c->geometry())) << c->objectName().toStdString();
  }
}

TEST_F(AppTest, SecondStartWritesNothing) {
  Start();
  Window.reset();
  const QByteArray before = ReadFileBytes(IniPath);
  ASSERT_FALSE(before.isEmpty());
  TfrmMain& w = Start();
  EXPECT_EQ(ReadFileBytes(IniPath), before);
  EXPECT_EQ(w.edDirectory->text(), Home + "/clipvanefree");
  EXPECT_TRUE(w.chkPreview->isChecked());
}

TEST_F(AppTest, StoredStateIsRestored) {
  const QString out = Home + "/cuts";
  QDir().mkpath(out);
  Preset({{"OutPutDir", out.toStdString()},
          {"outputformatindex", "7"},
          {"framesizeindex", "5"},
          {"videoqualityindex", "6"},
          {"usevideoquality", "1"},
          {"preview", "0"},
          {"removeaudiotrack", "1"},
          {"optimize", "0"},
          {"optimizecolormap", "1"}});
  const QByteArray before = ReadFileBytes(IniPath);
  TfrmMain& w = Start();
  EXPECT_EQ(w.edDirectory->text(), out);
  EXPECT_EQ(w.cboVideoFormat->currentText(), "MP4");
  EXPECT_EQ(w.cboFrameSize->currentText(), "160x120 - qqvga");
  EXPECT_TRUE(w.cboFrameSize->isEnabled());
  EXPECT_EQ(w.cmbVideoQuality->currentText(), "6(Recommend)");
  EXPECT_TRUE(w.cmbVideoQuality->isEnabled());
  EXPECT_TRUE(w.chkVideoQuality->isChecked());
  EXPECT_TRUE(w.chkVideoQuality->isEnabled());
  EXPECT_FALSE(w.chkPreview->isChecked());
  EXPECT_TRUE(w.chkRemovAudio->isChecked());
  EXPECT_TRUE(w.RemoveAudio());
  EXPECT_FALSE(w.Optimize());
  EXPECT_TRUE(w.OptimizeColorMap());
  // Stored values equal to what the window shows are not written back.
  EXPECT_EQ(ReadFileBytes(IniPath), before);
}

TEST_F(AppTest, OutOfRangeIndexesLeaveNoSelection) {
  Preset({{"outputformatindex", "40"}, {"videoqualityindex", "-3"}});
  TfrmMain& w = Start();
  EXPECT_EQ(w.cboVideoFormat->currentIndex(), -1);
  EXPECT_EQ(w.cmbVideoQuality->currentIndex(), -1);
  // Not copy mode: the size list and the quality box stay usable.
  EXPECT_TRUE(w.cboFrameSize->isEnabled());
  EXPECT_TRUE(w.chkVideoQuality->isChecked());
}

TEST_F(AppTest, UnwritableStoredFolderFallsBackAtStart) {
  Preset({{"OutPutDir", "/proc/sys"}});
  TfrmMain& w = Start();
  EXPECT_EQ(w.edDirectory->text(), Home + "/clipvanefree");
  EXPECT_EQ(Ini()["OutPutDir"], (Home + "/clipvanefree").toStdString());
  EXPECT_TRUE(QFileInfo(Home + "/clipvanefree").isDir());
  EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(AppTest, ThreeGpSizeListAndBack) {
  Preset({{"framesizeindex", "10"}, {"usevideoquality", "1"}});
  TfrmMain& w = Start();
  ChooseEntry(w.cboVideoFormat, 1);  // 3GP
  EXPECT_EQ(Entries(w.cboFrameSize),
            QStringList({"128x96 - sqcif", "176x144 - qcif", "352x288 - cif", "704x576 - 4cif"}));
  EXPECT_EQ(w.cboFrameSize->currentText(), "128x96 - sqcif");
  EXPECT_TRUE(w.cboFrameSize->isEnabled());
  EXPECT_TRUE(w.chkVideoQuality->isEnabled());
  EXPECT_EQ(Ini()["outputformatindex"], "1");
  EXPECT_EQ(Ini()["framesizeindex"], "10");

  ChooseEntry(w.cboVideoFormat, 7);  // MP4
  EXPECT_EQ(w.cboFrameSize->count(), 29);
  EXPECT_EQ(w.cboFrameSize->currentText(), "1600x1200 - uxga");
  EXPECT_EQ(Ini()["outputformatindex"], "7");

  // A stored 3GP-sized index is kept in the 3GP list.
  ChooseEntry(w.cboFrameSize, 2);
  EXPECT_EQ(Ini()["framesizeindex"], "2");
  ChooseEntry(w.cboVideoFormat, 1);
  EXPECT_EQ(w.cboFrameSize->currentText(), "352x288 - cif");
}

TEST_F(AppTest, FormatChangeResetsPreviewFromStoredValue) {
  TfrmMain& w = Start();
  ASSERT_TRUE(w.chkPreview->isChecked());
  // Stored true: stays checked.
  ChooseEntry(w.cboVideoFormat, 2);
  EXPECT_TRUE(w.chkPreview->isChecked());
  // No stored value: the default is false, and the box's own handler stores it.
  QSettings ini(IniPath, QSettings::IniFormat);
  ini.remove("settings/preview");
  ini.sync();
  ChooseEntry(w.cboVideoFormat, 3);
  EXPECT_FALSE(w.chkPreview->isChecked());
  EXPECT_EQ(Ini()["preview"], "0");
  // A click stores the box, and the next format change takes it back from the file.
  w.chkPreview->click();
  EXPECT_EQ(Ini()["preview"], "1");
  ChooseEntry(w.cboVideoFormat, 4);
  EXPECT_TRUE(w.chkPreview->isChecked());
}

TEST_F(AppTest, CopyModeClearsQualityAndSize) {
  Preset({{"outputformatindex", "7"}, {"framesizeindex", "5"}, {"usevideoquality", "1"},
          {"preview", "1"}});
  TfrmMain& w = Start();
  ASSERT_TRUE(w.cmbVideoQuality->isEnabled());
  const Map before = Ini();
  ChooseEntry(w.cboVideoFormat, 0);
  EXPECT_FALSE(w.chkVideoQuality->isChecked());
  EXPECT_FALSE(w.chkVideoQuality->isEnabled());
  EXPECT_FALSE(w.cmbVideoQuality->isEnabled());
  EXPECT_EQ(w.cboFrameSize->currentIndex(), 0);
  EXPECT_FALSE(w.cboFrameSize->isEnabled());
  EXPECT_FALSE(w.chkPreview->isChecked());
  // The chosen size stays stored; the boxes store their cleared state.
  EXPECT_EQ(Ini(), With(With(With(before, "outputformatindex", "0"), "usevideoquality", "0"),
                        "preview", "0"));
  // Leaving copy mode enables the box again, unchecked.
  ChooseEntry(w.cboVideoFormat, 2);
  EXPECT_TRUE(w.chkVideoQuality->isEnabled());
  EXPECT_FALSE(w.chkVideoQuality->isChecked());
  EXPECT_FALSE(w.cmbVideoQuality->isEnabled());
  EXPECT_EQ(w.cboFrameSize->currentText(), "160x120 - qqvga");
}

TEST_F(AppTest, EachChoiceWritesOnlyItsKey) {
  Preset({{"outputformatindex", "2"}});
  TfrmMain& w = Start();
  Map expected = Ini();

  ChooseEntry(w.cmbVideoQuality, 6);
  expected["videoqualityindex"] = "6";
  EXPECT_EQ(Ini(), expected);

  ChooseEntry(w.cboFrameSize, 27);
  expected["framesizeindex"] = "27";
  EXPECT_EQ(Ini(), expected);

  w.chkVideoQuality->click();
  expected["usevideoquality"] = "0";
  EXPECT_EQ(Ini(), expected);
  EXPECT_FALSE(w.cmbVideoQuality->isEnabled());

  w.chkRemovAudio->click();
  expected["removeaudiotrack"] = "1";
  EXPECT_EQ(Ini(), expected);
  EXPECT_TRUE(w.RemoveAudio());

  w.chkOptimze->setChecked(false);
  expected["optimize"] = "0";
  EXPECT_EQ(Ini(), expected);

  w.chkOptmizecolormap->setChecked(true);
  expected["optimizecolormap"] = "1";
  EXPECT_EQ(Ini(), expected);

  w.chkPreview->click();
  expected["preview"] = "0";
  EXPECT_EQ(Ini(), expected);

  // Actions that store nothing.
  const QByteArray bytes = ReadFileBytes(IniPath);
  w.btnReset->click();
  w.btnWebSite->click();
  w.btn_open->click();
  w.btnAbout->click();
  Dialogs.Answers = {TMsgResult::No};
  w.btnExit->click();
  EXPECT_EQ(ReadFileBytes(IniPath), bytes);
}

TEST_F(AppTest, ExitAsksAndOnlyYesCloses) {
  TfrmMain& w = Start();
  Dialogs.Answers = {TMsgResult::No};
  w.btnExit->click();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Caption, "Warning");
  EXPECT_EQ(Dialogs.Messages[0].Text, "Do you really want to exit?");
  EXPECT_EQ(Dialogs.Messages[0].Icon, TMsgIcon::Question);
  EXPECT_EQ(Dialogs.Messages[0].Buttons, TMsgButtons::YesNo);
  EXPECT_TRUE(w.isVisible());

  Dialogs.Answers = {TMsgResult::Yes};
  w.close();  // the window's own close box asks the same question
  EXPECT_EQ(Dialogs.Messages.size(), 2u);
  EXPECT_FALSE(w.isVisible());
}

TEST_F(AppTest, AboutWebSiteAndShareButtons) {
  TfrmMain& w = Start();
  w.btnAbout->click();
  ASSERT_EQ(Dialogs.Modals, std::vector<QString>{"frmAbout1"});
  auto* about = w.findChild<TfrmAbout1*>();
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->lblTitle->text(), "Trimora Free");

  w.btnWebSite->click();
  ASSERT_EQ(Shell.Opened.size(), 1u);
  EXPECT_EQ(Shell.Opened[0], QUrl("https://www.example.com/trimora"));
  for (int i = 0; i < 7; ++i) w.btnShare[i]->click();
  ASSERT_EQ(Shell.Opened.size(), 8u);
  for (size_t i = 1; i < 8; ++i) {
    const QUrl& u = Shell.Opened[i];
    EXPECT_EQ(u.host(), "www.example.com");
    EXPECT_TRUE(u.toString(QUrl::FullyEncoded).contains("https%3A%2F%2Fwww.example.com%2Ftrimora"))
        << u.toString().toStdString();
  }
  EXPECT_NE(Shell.Opened[1], Shell.Opened[2]);
}

// Folder choice, answered in the real folder dialog.
class FolderTest : public AppTest {
protected:
  void ChooseInTree(const QString& dir) {
    Dialogs.OnModal = [dir](QDialog& d) {
      auto& fm = static_cast<TfmDirectory&>(d);
      ASSERT_TRUE(fm.SelectPath(dir)) << dir.toStdString();
      fm.btnOk->click();
    };
    Window->btn_output->click();
  }
  void Confirm(const QString& dir) {
    Dialogs.OnModal = [dir](QDialog& d) { static_cast<TfmDirectory&>(d).ConfirmPath(dir); };
    Window->btn_output->click();
  }
};

TEST_F(FolderTest, DialogShowsTreeFromRoot) {
  TfrmMain& w = Start();
  Dialogs.OnModal = [](QDialog& d) {
    auto& fm = static_cast<TfmDirectory&>(d);
    EXPECT_EQ(fm.windowTitle(), "Browse");
    EXPECT_EQ(fm.CurrentPath(), "/");
    EXPECT_TRUE(fm.btnOk->isEnabled());
    EXPECT_EQ(fm.btnOk->text(), "Ok");
    EXPECT_EQ(fm.btnCancel->text(), "Cancel");
    EXPECT_LE(fm.width(), 322);
    EXPECT_LE(fm.height(), 351);
    fm.btnCancel->click();
    EXPECT_TRUE(fm.SelectedDir().isEmpty());
  };
  const QByteArray before = ReadFileBytes(IniPath);
  w.btn_output->click();
  EXPECT_EQ(Dialogs.Modals, std::vector<QString>{"fmDirectory"});
  EXPECT_EQ(ReadFileBytes(IniPath), before);
  EXPECT_EQ(w.edDirectory->text(), Home + "/clipvanefree");
}

TEST_F(FolderTest, SameFolderWritesNothing) {
  TfrmMain& w = Start();
  const QByteArray before = ReadFileBytes(IniPath);
  ChooseInTree(w.edDirectory->text());
  EXPECT_EQ(ReadFileBytes(IniPath), before);
  EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(FolderTest, WritableFolderIsStored) {
  TfrmMain& w = Start();
  const QString dir = Home + "/my cuts";
  QDir().mkpath(dir);
  ChooseInTree(dir);
  EXPECT_EQ(Ini()["OutPutDir"], dir.toStdString());
  EXPECT_EQ(w.edDirectory->text(), dir);
  EXPECT_TRUE(Dialogs.Messages.empty());

  // "Open" opens the stored folder in the shell.
  w.btn_open->click();
  ASSERT_EQ(Shell.Opened.size(), 1u);
  EXPECT_EQ(Shell.Opened[0], QUrl::fromLocalFile(dir));
}

TEST_F(FolderTest, ShortPathsAreRefused) {
  TfrmMain& w = Start();
  const QByteArray before = ReadFileBytes(IniPath);
  Confirm("/ab");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Caption, "Warning");
  EXPECT_EQ(Dialogs.Messages[0].Text, "The path /ab is not a valid directory.");
  EXPECT_EQ(Dialogs.Messages[0].Buttons, TMsgButtons::Ok);
  ChooseInTree("/");
  ASSERT_EQ(Dialogs.Messages.size(), 2u);
  EXPECT_EQ(Dialogs.Messages[1].Text, "The path / is not a valid directory.");
  EXPECT_EQ(ReadFileBytes(IniPath), before);
  EXPECT_EQ(w.edDirectory->text(), Home + "/clipvanefree");
}

TEST_F(FolderTest, UnwritableFolderFallsBackToProfile) {
  TfrmMain& w = Start();
  const Map before = Ini();
  ChooseInTree("/proc/sys");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Caption, "Warning");
  EXPECT_EQ(Dialogs.Messages[0].Text,
            "You login as " + TGlobalObject::UserName() +
                " .You don't have permission to write to directory:/proc/sys");
  const QString fallback = Home + "/gifvanefree";
  EXPECT_EQ(Ini(), With(before, "OutPutDir", fallback.toStdString()));
  EXPECT_EQ(w.edDirectory->text(), fallback);
  // Made by the next cut job, not here.
  EXPECT_FALSE(QFileInfo::exists(fallback));

  // Closing the dialog without a choice is a cancel, not the refused folder once more.
  const QByteArray bytes = ReadFileBytes(IniPath);
  Dialogs.OnModal = [](QDialog& d) { d.reject(); };
  w.btn_output->click();
  EXPECT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(ReadFileBytes(IniPath), bytes);
  EXPECT_EQ(w.edDirectory->text(), fallback);
}

TEST_F(FolderTest, CdRomFolderKeepsDialogOpen) {
  TfrmMain& w = Start();
  const QByteArray before = ReadFileBytes(IniPath);
  bool stillOpen = false;
  Dialogs.OnModal = [&](QDialog& d) {
    auto& fm = static_cast<TfmDirectory&>(d);
    fm.IsCdRom = [](const QString&) { return true; };
    ASSERT_TRUE(fm.SelectPath(Home));
    fm.btnOk->click();
    stillOpen = fm.isVisible() && fm.result() == 0;
    EXPECT_TRUE(fm.SelectedDir().isEmpty());
  };
  w.btn_output->click();
  EXPECT_TRUE(stillOpen);
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Caption, "Trimora Free");
  EXPECT_EQ(Dialogs.Messages[0].Text,
            "Output folder cannot be located in CD-ROM.Please select another folder.");
  EXPECT_EQ(Dialogs.Messages[0].Icon, TMsgIcon::Information);
  EXPECT_EQ(ReadFileBytes(IniPath), before);
}

TEST(GlobalObject, SettersAndHelpers) {
  TGlobalObject g;
  g.SetSettingsFile("/a/b.ini");
  g.SetSettingsFile("abc");  // too short: ignored
  EXPECT_EQ(g.SettingsFile(), "/a/b.ini");
  g.SetProductTitle("X");
  g.SetProductTitle("");
  EXPECT_EQ(g.ProductTitle(), "X");
  g.SetWebPage("");
  EXPECT_TRUE(g.WebPage().isEmpty());
  EXPECT_EQ(TGlobalObject::RightStr("clipvanefree", 4), "free");
  EXPECT_EQ(TGlobalObject::RightStr("ab", 5), "ab");
  EXPECT_TRUE(TGlobalObject::FolderWriteTest(QDir::tempPath()));
  EXPECT_FALSE(TGlobalObject::FolderWriteTest("/proc/sys"));
  EXPECT_FALSE(TGlobalObject::FolderWriteTest("/no/such/folder"));
  // The write test leaves nothing behind.
  QTemporaryDir dir;
  ASSERT_TRUE(TGlobalObject::FolderWriteTest(dir.path()));
  EXPECT_TRUE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
  EXPECT_FALSE(IsOnCdRom(dir.path()));
}

TEST(DialogFilters, ProductFilterToQt) {
  EXPECT_EQ(ToQtFilter("Bitmaps (*.bmp)|*.bmp|JPEG Image File |*.jpg;*.jpeg"),
            "Bitmaps (*.bmp) (*.bmp *.BMP);;JPEG Image File (*.jpg *.JPG *.jpeg *.JPEG)");
  const QString open = ToQtFilter(OpenDialogFilter);
  EXPECT_TRUE(open.startsWith("All Supported Video Formats (*.AVI *.avi *.AVM *.avm"));
  EXPECT_TRUE(open.endsWith(";;All files (*.*) (*.*)"));
  EXPECT_EQ(open.count(";;"), 35);
}

TRIMORA_APP_TEST_MAIN()
