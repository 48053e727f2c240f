#pragma once
// The picture area: a canvas the window draws into, shown as it is, and a click.
#include <QColor>
#include <QImage>
#include <QWidget>

// Background of every empty picture area, RGB (166, 202, 240).
inline const QColor SkyBlue(166, 202, 240);

class TPictureBox : public QWidget {
  Q_OBJECT
public:
  explicit TPictureBox(QWidget* parent = nullptr);

  QImage& Canvas() { return FCanvas; }
  const QImage& Canvas() const { return FCanvas; }
  // Gives the canvas the control's size, filled with the background colour.
  void ResetCanvas();
  void FillCanvas(const QColor& c);

signals:
  void Clicked();
  void Resized();

protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

private:
  QImage FCanvas;
};
