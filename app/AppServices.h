#pragma once
// Everything that waits for a person or leaves the program (message boxes, file dialogs,
// modal forms, the shell) goes through these interfaces, so tests can answer them.
#include <QString>
#include <QStringList>
#include <QUrl>

class QDialog;
class QWidget;

enum class TMsgIcon { None, Information, Warning, Question };
enum class TMsgButtons { Ok, YesNo };
enum class TMsgResult { Ok, Yes, No };

class IDialogs {
public:
  virtual ~IDialogs() = default;
  virtual TMsgResult MessageBox(QWidget* parent, const QString& caption, const QString& text,
                                TMsgIcon icon, TMsgButtons buttons) = 0;
  // Product filter text ("Text|patterns|Text|patterns..."); empty result when cancelled.
  virtual QString OpenFileName(QWidget* parent, const QString& filter) = 0;
  virtual QString SaveFileName(QWidget* parent, const QString& filter, const QString& fileName,
                               const QString& defaultExt) = 0;
  // Shows a modal form and returns its result code.
  virtual int ExecModal(QDialog& dialog) = 0;
};

class IShell {
public:
  virtual ~IShell() = default;
  // Opens a folder or a web page with the desktop's default program.
  virtual bool Open(const QUrl& url) = 0;
};

// The real implementations: Qt message boxes and file dialogs, QDesktopServices.
class TQtDialogs : public IDialogs {
public:
  TMsgResult MessageBox(QWidget* parent, const QString& caption, const QString& text,
                        TMsgIcon icon, TMsgButtons buttons) override;
  QString OpenFileName(QWidget* parent, const QString& filter) override;
  QString SaveFileName(QWidget* parent, const QString& filter, const QString& fileName,
                       const QString& defaultExt) override;
  int ExecModal(QDialog& dialog) override;
};

class TQtShell : public IShell {
public:
  bool Open(const QUrl& url) override;
};

IDialogs& DefaultDialogs();
IShell& DefaultShell();

// "Text|*.A;*.B|..." -> "Text (*.A *.a *.B *.b);;...". File names on Linux are case-sensitive,
// so every pattern is offered in upper and lower case as well.
QString ToQtFilter(const QString& productFilter);
// The name patterns of one product filter entry, in the Qt form above.
QStringList FilterPatterns(const QString& patterns);
