#include "AppServices.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

QStringList FilterPatterns(const QString& patterns) {
  QStringList out;
  for (const QString& raw : patterns.split(';')) {
    QString p = raw.trimmed();
    if (p.isEmpty()) continue;
    for (const QString& v : {p, p.toUpper(), p.toLower()})
      if (!out.contains(v)) out << v;
  }
  return out;
}

QString ToQtFilter(const QString& productFilter) {
  const QStringList parts = productFilter.split('|');
  QStringList entries;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString text = parts[i].trimmed();
    entries << QStringLiteral("%1 (%2)").arg(text, FilterPatterns(parts[i + 1]).join(' '));
  }
  return entries.join(QStringLiteral(";;"));
}

TMsgResult TQtDialogs::MessageBox(QWidget* parent, const QString& caption, const QString& text,
                                  TMsgIcon icon, TMsgButtons buttons) {
  QMessageBox box(parent);
  box.setWindowTitle(caption);
  box.setText(text);
  switch (icon) {
    case TMsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case TMsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case TMsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case TMsgIcon::None: break;
  }
  if (buttons == TMsgButtons::YesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes ? TMsgResult::Yes : TMsgResult::No;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
  return TMsgResult::Ok;
}

QString TQtDialogs::OpenFileName(QWidget* parent, const QString& filter) {
  QFileDialog dlg(parent);
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(QFileDialog::ExistingFile);
  dlg.setNameFilter(ToQtFilter(filter));
  dlg.setSizeGripEnabled(true);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
  return dlg.selectedFiles().first();
}

QString TQtDialogs::SaveFileName(QWidget* parent, const QString& filter, const QString& fileName,
                                 const QString& defaultExt) {
  QFileDialog dlg(parent);
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  dlg.setNameFilter(ToQtFilter(filter));
  dlg.setDefaultSuffix(defaultExt);
  dlg.setSizeGripEnabled(true);
  dlg.selectFile(fileName);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
  return dlg.selectedFiles().first();
}

int TQtDialogs::ExecModal(QDialog& dialog) { return dialog.exec(); }

bool TQtShell::Open(const QUrl& url) { return QDesktopServices::openUrl(url); }

IDialogs& DefaultDialogs() {
  static TQtDialogs dialogs;
  return dialogs;
}

IShell& DefaultShell() {
  static TQtShell shell;
  return shell;
}
