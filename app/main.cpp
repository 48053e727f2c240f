// Trimora: the desktop video cutter.
#include <QApplication>

#include "About.h"
#include "AppServices.h"
#include "MainUnit.h"
#include "directory.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Trimora"));
  QGuiApplication::setApplicationDisplayName(QLatin1String(AppConfig::ApplicationTitle));

  TfrmMain frmMain(DefaultDialogs(), DefaultShell());
  auto* fmDirectory = new TfmDirectory(DefaultDialogs(), &frmMain);
  auto* frmAbout1 = new TfrmAbout1(&frmMain);
  frmMain.SetDirectoryForm(fmDirectory);
  frmMain.SetAboutForm(frmAbout1);
  frmMain.show();
  return app.exec();
}
