#pragma once
// A horizontal slider that also shows a selection range, like a track bar with a selection.
#include <QSlider>

class TTrackBar : public QSlider {
  Q_OBJECT
public:
  explicit TTrackBar(QWidget* parent = nullptr);

  int SelStart() const { return FSelStart; }
  int SelEnd() const { return FSelEnd; }
  void SetSelStart(int v);
  void SetSelEnd(int v);
  bool SliderVisible() const { return FSliderVisible; }
  void SetSliderVisible(bool v);
  // Pixel span of a position on the groove, for drawing the selection.
  int PositionToPixel(int value) const;

protected:
  void paintEvent(QPaintEvent* e) override;

private:
  int FSelStart = 0;
  int FSelEnd = 0;
  bool FSliderVisible = true;
};
