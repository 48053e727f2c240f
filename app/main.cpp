// Trimora: the desktop video cutter.
#include <QApplication>

#include "runtime/MainThread.h"

#include "About.h"
#include "AppServices.h"
#include "MainUnit.h"
#include "QtMainThread.h"
#include "directory.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Trimora"));
  QGuiApplication::setApplicationDisplayName(QLatin1String(AppConfig::ApplicationTitle));
  BindMainThreadToQt();

  TfrmMain frmMain(DefaultDialogs(), DefaultShell());
  auto* fmDirectory = new TfmDirectory(DefaultDialogs(), &frmMain);
  auto* frmAbout1 = new TfrmAbout1(&frmMain);
  frmMain.SetDirectoryForm(fmDirectory);
  frmMain.SetAboutForm(frmAbout1);
  frmMain.show();
  // A file named on the command line is opened as "Open" opens it, without the dialog.
  const QStringList args = QCoreApplication::arguments();
  if (args.size() > 1) frmMain.OpenFromCommandLine(args.at(1));
  const int rc = app.exec();
  SetMainThreadWakeUp(nullptr);
  SetMainThreadIdle(nullptr);
  return rc;
}
