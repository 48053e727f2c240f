#include "TrackBar.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>

TTrackBar::TTrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  setTickPosition(QSlider::TicksBelow);
  setMinimumHeight(34);
}

void TTrackBar::SetSelStart(int v) {
  if (v == FSelStart) return;
  FSelStart = v;
  update();
}

void TTrackBar::SetSelEnd(int v) {
  if (v == FSelEnd) return;
  FSelEnd = v;
  update();
}

void TTrackBar::SetSliderVisible(bool v) {
  if (v == FSliderVisible) return;
  FSliderVisible = v;
  update();
}

void TTrackBar::SetKeyMarks(std::vector<int> positions) {
  if (positions == FKeyMarks) return;
  FKeyMarks = std::move(positions);
  update();
}

QRect TTrackBar::GrooveRect() const {
  QStyleOptionSlider opt;
  initStyleOption(&opt);
  return style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
}

void TTrackBar::SetSegments(std::vector<TTrackSegment> segments) {
  if (segments == FSegments) return;
  FSegments = std::move(segments);
  update();
}

void TTrackBar::DrawSegments(QPainter& p, const QRect& groove) {
  // A band a little taller than the selection, so a segment under it still shows.
  const int h = std::max(6, groove.height()) + 6;
  for (const TTrackSegment& s : FSegments) {
    const int x1 = PositionToPixel(std::min(s.StartPos, s.EndPos));
    const int x2 = PositionToPixel(std::max(s.StartPos, s.EndPos));
    const int grow = s.Highlighted ? 2 : 0;
    const QRect band(x1, groove.center().y() - h / 2 - grow, std::max(2, x2 - x1), h + 2 * grow);
    p.fillRect(band, s.Colour);
    if (s.Highlighted) {
      const QColor edge = s.Colour.darker(200);
      p.fillRect(QRect(band.left(), band.top(), band.width(), 2), edge);
      p.fillRect(QRect(band.left(), band.bottom() - 1, band.width(), 2), edge);
    }
  }
}

int TTrackBar::PositionToPixel(int value) const {
  QStyleOptionSlider opt;
  initStyleOption(&opt);
  const QRect groove = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
  const QRect handle = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
  const int span = std::max(0, groove.width() - handle.width());
  const int v = std::clamp(value, minimum(), maximum());
  return groove.left() + handle.width() / 2 +
         QStyle::sliderPositionFromValue(minimum(), maximum(), v, span, opt.upsideDown);
}

void TTrackBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QStyleOptionSlider opt;
  initStyleOption(&opt);

  // Groove and ticks first, then the selection on top of the groove, then the thumb.
  QStyleOptionSlider back = opt;
  back.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderTickmarks;
  // Some styles fill the groove up to the thumb, which would read as a selection from 0.
  back.sliderPosition = back.sliderValue = back.minimum;
  style()->drawComplexControl(QStyle::CC_Slider, &back, &p, this);

  if (!FKeyMarks.empty()) {
    // Short strokes above the groove: where a copy cut can start.
    const QRect groove = GrooveRect();
    const int bottom = groove.top() - 1;
    const int top = std::max(0, bottom - 5);
    p.setPen(isEnabled() ? QColor(200, 60, 40) : QColor(150, 130, 130));
    int last = -1;
    for (int pos : FKeyMarks) {
      const int x = PositionToPixel(pos);
      if (x == last) continue;  // a dense file would draw the same pixel thousands of times
      p.drawLine(x, top, x, bottom);
      last = x;
    }
  }

  if (!FSegments.empty())
    DrawSegments(p, GrooveRect());

  if (FSelStart != 0 || FSelEnd != 0) {
    const QRect groove = GrooveRect();
    int x1 = PositionToPixel(FSelStart);
    int x2 = PositionToPixel(FSelEnd);
    if (x2 < x1) std::swap(x1, x2);
    const int h = std::max(6, groove.height());
    QRect sel(x1, groove.center().y() - h / 2, std::max(2, x2 - x1), h);
    QColor fill = isEnabled() ? QColor(0, 120, 215) : QColor(140, 150, 165);
    p.fillRect(sel, fill);
    // End marks make a point visible even when the range is empty.
    p.fillRect(QRect(x1 - 1, sel.top() - 4, 2, sel.height() + 8), fill.darker(130));
    p.fillRect(QRect(x2 - 1, sel.top() - 4, 2, sel.height() + 8), fill.darker(130));
  }

  if (FSliderVisible) {
    QStyleOptionSlider thumb = opt;
    thumb.subControls = QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &thumb, &p, this);
  }
}
