#include "About.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TfrmAbout1::TfrmAbout1(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmAbout1"));
  setWindowTitle(QStringLiteral("About"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  lblTitle = new QLabel(this);
  lblTitle->setObjectName(QStringLiteral("lblTitle"));
  QFont big = lblTitle->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setBold(true);
  lblTitle->setFont(big);
  lblVersion = new QLabel(this);
  lblVersion->setObjectName(QStringLiteral("lblVersion"));
  auto* blurb = new QLabel(QStringLiteral("A frame-accurate video cutter."), this);
  lblWebPage = new QLabel(this);
  lblWebPage->setObjectName(QStringLiteral("lblWebPage"));
  lblWebPage->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("btnOk"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 16);
  layout->setSpacing(8);
  layout->addWidget(lblTitle);
  layout->addWidget(lblVersion);
  layout->addWidget(blurb);
  layout->addWidget(lblWebPage);
  layout->addSpacing(8);
  layout->addWidget(buttons);
  setFixedSize(sizeHint().expandedTo(QSize(340, 0)));
}

void TfrmAbout1::SetProduct(const QString& title, const QString& version, const QString& webPage) {
  lblTitle->setText(title);
  lblVersion->setText(QStringLiteral("Version") + version.trimmed().prepend(' '));
  lblWebPage->setText(webPage);
  setFixedSize(sizeHint().expandedTo(QSize(340, 0)));
}
