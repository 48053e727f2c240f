#include "PreviewerForm.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "MainUnit.h"
#include "PictureBox.h"
#include "runtime/Bitmap.h"

TPreviewerForm::TPreviewerForm(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("frmPreviewer"));
  // Drawn on directly: nothing of Qt's own background under the picture.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
}

void TPreviewerForm::SetClientSize(int width, int height) {
  // The first picture's size stays, whatever comes later.
  if (FSized || width <= 0 || height <= 0) return;
  FSized = true;
  setFixedSize(width, height);
  FCanvas = QImage(width, height, QImage::Format_RGB32);
  FCanvas.fill(SkyBlue);
  Centre();
}

void TPreviewerForm::Centre() {
  // The frame is what is centred; its borders are known once the window exists.
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    const QSize frame = frameGeometry().size();
    move(s->availableGeometry().center() - QPoint((frame.width() - 1) / 2, (frame.height() - 1) / 2));
  }
}

void TPreviewerForm::SetCaption(const std::string& caption) { setWindowTitle(QString::fromStdString(caption)); }

void TPreviewerForm::Draw(const TBitmap& bitmap) {
  if (FCanvas.isNull() || bitmap.Empty()) return;
  const QImage picture = BitmapImage(bitmap);
  if (picture.isNull()) return;
  QPainter p(&FCanvas);
  p.drawImage(0, 0, picture);
  p.end();
  update();
}

void TPreviewerForm::Show() {
  const bool first = !testAttribute(Qt::WA_WState_ExplicitShowHide);
  show();
  if (first) Centre();
  raise();
}

void TPreviewerForm::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (FCanvas.isNull())
    p.fillRect(rect(), SkyBlue);
  else
    p.drawImage(0, 0, FCanvas);
}

void TPreviewerForm::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
  // The picture is the caption: the window system moves the window where it can.
  if (QWindow* w = windowHandle(); w && w->startSystemMove()) return;
  FDragging = true;
  FDragOffset = e->globalPosition().toPoint() - pos();
}

void TPreviewerForm::mouseMoveEvent(QMouseEvent* e) {
  if (FDragging && (e->buttons() & Qt::LeftButton)) move(e->globalPosition().toPoint() - FDragOffset);
  QWidget::mouseMoveEvent(e);
}

void TPreviewerForm::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) FDragging = false;
  QWidget::mouseReleaseEvent(e);
}

void TPreviewerForm::closeEvent(QCloseEvent* e) {
  e->accept();
  // The previewer owns the window and frees it later; the task goes on without pictures.
  if (auto closed = OnClose) closed();
}

std::unique_ptr<IPreviewWindow> MakePreviewerForm() { return std::make_unique<TPreviewerForm>(); }
