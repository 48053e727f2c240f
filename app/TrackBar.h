#pragma once
// A horizontal slider that also shows a selection range, like a track bar with a selection.
#include <QSlider>
#include <vector>

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
  // Positions of the video's key frames, marked above the groove (empty: no marks).
  void SetKeyMarks(std::vector<int> positions);
  const std::vector<int>& KeyMarks() const { return FKeyMarks; }
  // Pixel span of a position on the groove, for drawing the selection.
  int PositionToPixel(int value) const;
  QRect GrooveRect() const;

protected:
  void paintEvent(QPaintEvent* e) override;

private:
  int FSelStart = 0;
  int FSelEnd = 0;
  bool FSliderVisible = true;
  std::vector<int> FKeyMarks;
};
