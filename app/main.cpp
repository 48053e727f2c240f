// Trimora: the desktop video cutter.
#include <QApplication>

#include <cstdio>
#include <string>
#include <string_view>

#include "runtime/MainThread.h"

#include "About.h"
#include "AppServices.h"
#include "MainUnit.h"
#include "PreviewerForm.h"
#include "QtMainThread.h"
#include "directory.h"

namespace {

const char kUsage[] =
    "Usage: trimora [QT-OPTION]... [--] [FILE]\n"
    "Opens FILE, a video or audio file, in the Trimora video cutter.\n"
    "\n"
    "  -h, --help     print this text and exit\n"
    "      --version  print the version and exit\n"
    "  --             every later argument is a file name\n"
    "\n"
    "The options of Qt (-platform NAME, -style NAME, ...) are taken as Qt defines them.\n"
    "Only the first FILE is opened.\n"
    "Settings: $XDG_CONFIG_HOME/trimorafree/trimfree.ini (else ~/.config/trimorafree/trimfree.ini).\n"
    "Exit codes: 0 the window was closed, 2 wrong arguments.\n";

std::string VersionNumber() {
  // An empty definition (a version without that part) counts as 0.
  return std::to_string(TRIMORA_VERSION_MAJOR + 0) + "." + std::to_string(TRIMORA_VERSION_MINOR + 0) + "." +
         std::to_string(TRIMORA_VERSION_PATCH + 0) + "." + std::to_string(TRIMORA_VERSION_TWEAK + 0);
}

// --help and --version must work without a display, so they are answered before Qt starts.
// Returns the exit code, or -1 when the window is to be made.
int AnswerBeforeQt(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      printf("trimora %s\n", VersionNumber().c_str());
      return 0;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int rc = AnswerBeforeQt(argc, argv); rc >= 0) return rc;

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Trimora"));
  QApplication::setApplicationVersion(QString::fromStdString(VersionNumber()));
  QGuiApplication::setApplicationDisplayName(QLatin1String(AppConfig::ApplicationTitle));
  // Lets the desktop match the window to trimora.desktop and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("trimora"));

  // Qt has taken its own options out by now; whatever else starts with "-" is a mistake.
  QString file;
  bool optionsEnded = false;
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& arg = args.at(i);
    if (!optionsEnded && arg == QLatin1String("--")) {
      optionsEnded = true;
    } else if (!optionsEnded && arg.size() > 1 && arg.startsWith('-')) {
      fprintf(stderr, "trimora: unknown option: %s\nTry 'trimora --help'.\n", arg.toLocal8Bit().constData());
      return 2;
    } else if (file.isEmpty()) {
      file = arg;
    }
  }

  BindMainThreadToQt();
  // Tasks with their window preview on show it in the application's own window.
  SetPreviewWindowFactory(MakePreviewerForm);
  TfrmMain frmMain(DefaultDialogs(), DefaultShell());
  auto* fmDirectory = new TfmDirectory(DefaultDialogs(), &frmMain);
  auto* frmAbout1 = new TfrmAbout1(&frmMain);
  frmMain.SetDirectoryForm(fmDirectory);
  frmMain.SetAboutForm(frmAbout1);
  frmMain.show();
  // A file named on the command line is opened as "Open" opens it, without the dialog.
  if (!file.isEmpty()) frmMain.OpenFromCommandLine(file);
  const int rc = app.exec();
  SetPreviewWindowFactory(nullptr);
  SetMainThreadWakeUp(nullptr);
  SetMainThreadIdle(nullptr);
  return rc;
}
