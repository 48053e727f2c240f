#pragma once
// The window in which a running task shows the pictures it is about to encode: on top of the
// others, a tool window with only a close box, as large as its first picture, dragged by the
// picture. The engine's previewer makes it through the factory the application installs.
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <string>

#include "engine/Previewer.h"

class TPreviewerForm : public QWidget, public IPreviewWindow {
  Q_OBJECT
public:
  explicit TPreviewerForm(QWidget* parent = nullptr);

  void SetClientSize(int width, int height) override;
  void SetCaption(const std::string& caption) override;
  void Draw(const TBitmap& bitmap) override;
  void Show() override;

  // What the window shows, for the tests.
  const QImage& Canvas() const { return FCanvas; }

protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

private:
  void Centre();

  QImage FCanvas;
  bool FSized = false;
  // Dragging by hand where the window system cannot move the window itself.
  bool FDragging = false;
  QPoint FDragOffset;
};

// Makes the engine's preview windows TPreviewerForm windows (program start, main thread).
std::unique_ptr<IPreviewWindow> MakePreviewerForm();
