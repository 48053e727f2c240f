#pragma once
// The About dialog: product title, version and web page.
#include <QDialog>

class QLabel;

class TfrmAbout1 : public QDialog {
  Q_OBJECT
public:
  explicit TfrmAbout1(QWidget* parent = nullptr);
  // Fills the texts from the window's global object.
  void SetProduct(const QString& title, const QString& version, const QString& webPage);

  QLabel* lblTitle = nullptr;
  QLabel* lblVersion = nullptr;
  QLabel* lblWebPage = nullptr;
};
