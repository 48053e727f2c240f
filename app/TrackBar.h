#pragma once
// A horizontal slider that also shows a selection range, like a track bar with a selection.
#include <QColor>
#include <QSlider>
#include <vector>

// A range drawn on the groove in its own colour (positions as the slider counts them).
struct TTrackSegment {
  int StartPos = 0;
  int EndPos = 0;
  QColor Colour;
  bool Highlighted = false;
  bool operator==(const TTrackSegment&) const = default;
};

class QPainter;

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
  // Ranges drawn under the selection (empty: none).
  void SetSegments(std::vector<TTrackSegment> segments);
  const std::vector<TTrackSegment>& Segments() const { return FSegments; }
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
  std::vector<TTrackSegment> FSegments;
  void DrawSegments(QPainter& p, const QRect& groove);
};
