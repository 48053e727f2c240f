#include "PictureBox.h"

#include <QMouseEvent>
#include <QPainter>

TPictureBox::TPictureBox(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setMinimumSize(160, 120);
  ResetCanvas();
}

void TPictureBox::ResetCanvas() {
  QSize s = size().expandedTo(QSize(1, 1));
  if (FCanvas.size() != s) FCanvas = QImage(s, QImage::Format_RGB32);
  FillCanvas(SkyBlue);
}

void TPictureBox::FillCanvas(const QColor& c) {
  FCanvas.fill(c);
  update();
}

void TPictureBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), SkyBlue);
  p.drawImage(0, 0, FCanvas);
}

void TPictureBox::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  emit Resized();
}

void TPictureBox::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit Clicked();
  QWidget::mouseReleaseEvent(e);
}
