#pragma once
// Shared by the window tests: a QApplication main, answering fakes for the dialog and shell
// interfaces, a private HOME per test, and a reader for the settings file itself.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include <QImage>

#include "AppServices.h"
#include "MainUnit.h"
#include "QtMainThread.h"
#include "runtime/Bitmap.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

// Exported by QtGui for key simulation: offers a key press to the shortcut map first.
bool qt_sendShortcutOverrideEvent(QObject* o, ulong timestamp, int k, Qt::KeyboardModifiers mods,
                                  const QString& text, bool autorep, ushort count);

// The frame number a fixture picture shows, -1 when unreadable.
inline int FrameOf(const TBitmap& b) {
  if (b.Empty()) return -1;
  return ReadFrameNumberBGR(b.Bits(), b.Stride(), b.Width(), b.Height(), b.BytesPerPixel());
}

inline int FrameOf(const QImage& image) {
  QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  return ReadFrameNumberBGR(rgb.constBits(), static_cast<int>(rgb.bytesPerLine()), rgb.width(),
                            rgb.height(), 4);
}

// Runs the event loop and the calls queued for the main thread until cond holds; false when
// ms passed first.
inline bool WaitForEvents(const std::function<bool()>& cond, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    ProcessMainThreadCalls();
  }
  return true;
}

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

struct TMsgCall {
  QString Caption;
  QString Text;
  TMsgIcon Icon;
  TMsgButtons Buttons;
};

class TFakeDialogs : public IDialogs {
public:
  std::vector<TMsgCall> Messages;
  std::deque<TMsgResult> Answers;  // for Yes/No questions; No when empty
  std::vector<QString> Modals;     // object names of the modal forms shown
  std::function<void(QDialog&)> OnModal;
  QString OpenAnswer;
  QString SaveAnswer;
  QString LastOpenFilter, LastSaveFilter, LastSaveName, LastSaveExt;
  int OpenCalls = 0, SaveCalls = 0;

  TMsgResult MessageBox(QWidget*, const QString& caption, const QString& text, TMsgIcon icon,
                        TMsgButtons buttons) override {
    Messages.push_back({caption, text, icon, buttons});
    if (buttons == TMsgButtons::Ok) return TMsgResult::Ok;
    if (Answers.empty()) return TMsgResult::No;
    TMsgResult r = Answers.front();
    Answers.pop_front();
    return r;
  }
  QString OpenFileName(QWidget*, const QString& filter) override {
    ++OpenCalls;
    LastOpenFilter = filter;
    return OpenAnswer;
  }
  QString SaveFileName(QWidget*, const QString& filter, const QString& name,
                       const QString& ext) override {
    ++SaveCalls;
    LastSaveFilter = filter;
    LastSaveName = name;
    LastSaveExt = ext;
    return SaveAnswer;
  }
  // Shows the form without blocking, lets the test act on it like a person, then closes it.
  int ExecModal(QDialog& dialog) override {
    Modals.push_back(dialog.objectName());
    dialog.setResult(0);
    dialog.show();
    QApplication::processEvents();
    if (OnModal) OnModal(dialog);
    const int r = dialog.result();
    dialog.hide();
    return r;
  }
};

class TFakeShell : public IShell {
public:
  std::vector<QUrl> Opened;
  bool Open(const QUrl& url) override {
    Opened.push_back(url);
    return true;
  }
};

// Keys and values of section [settings], read from the file's text.
inline std::map<std::string, std::string> ReadIniFile(const QString& path) {
  std::map<std::string, std::string> out;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return out;
  bool inSection = false;
  for (const QByteArray& raw : f.readAll().split('\n')) {
    QByteArray line = raw.trimmed();
    if (line.startsWith('[')) {
      inSection = line == "[settings]";
      continue;
    }
    int eq = line.indexOf('=');
    if (!inSection || eq <= 0) continue;
    out[line.left(eq).trimmed().toStdString()] = line.mid(eq + 1).trimmed().toStdString();
  }
  return out;
}

inline QByteArray ReadFileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A user-chosen list entry: the list's own change signal, as a click on the entry gives.
inline void ChooseEntry(QComboBox* box, int index) {
  box->setCurrentIndex(index);
  emit box->activated(index);
}

// Each test gets its own HOME and XDG_CONFIG_HOME, so every start is a first run.
class AppTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(FHome.isValid());
    Home = FHome.path();
    setenv("HOME", Home.toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", (Home + "/.config").toLocal8Bit().constData(), 1);
    IniPath = Home + "/.config/trimorafree/trimfree.ini";
  }
  void TearDown() override { Window.reset(); }

  // Writes settings before the window exists, as a previous run would have left them.
  void Preset(const std::map<std::string, std::string>& values) {
    QDir().mkpath(Home + "/.config/trimorafree");
    QFile f(IniPath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[settings]\n");
    for (const auto& [k, v] : values) f.write((k + "=" + v + "\n").c_str());
  }

  TfrmMain& Start() {
    Window = std::make_unique<TfrmMain>(Dialogs, Shell);
    Window->show();
    QApplication::processEvents();
    return *Window;
  }

  std::map<std::string, std::string> Ini() const { return ReadIniFile(IniPath); }

  QTemporaryDir FHome;
  QString Home;
  QString IniPath;
  TFakeDialogs Dialogs;
  TFakeShell Shell;
  std::unique_ptr<TfrmMain> Window;
};

#define TRIMORA_APP_TEST_MAIN()                                                  \
  int main(int argc, char** argv) {                                             \
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                         \
      qputenv("QT_QPA_PLATFORM", "offscreen");                                  \
    QApplication app(argc, argv);                                               \
    QApplication::setQuitOnLastWindowClosed(false);                             \
    BindMainThreadToQt();                                                       \
    ::testing::InitGoogleTest(&argc, argv);                                     \
    return RUN_ALL_TESTS();                                                     \
  }
