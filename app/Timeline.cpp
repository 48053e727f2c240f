#include "Timeline.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <climits>
#include <cmath>

#include "MainUnit.h"

namespace {

// Heights of the bands, top to bottom; the scroll bar comes last.
constexpr int kRulerH = 16;
constexpr int kSegmentH = 6;
constexpr int kStripH = 44;
constexpr int kWaveH = 26;
// The deepest zoom: one picture per this many pixels.
constexpr double kPixelsPerPicture = 4;
// Ruler steps a label may take, in µs.
constexpr int64_t kRulerSteps[] = {10000,    20000,    50000,     100000,    200000,    500000,
                                   1000000,  2000000,  5000000,   10000000,  15000000,  30000000,
                                   60000000, 120000000, 300000000, 600000000, 900000000, 1800000000,
                                   3600000000, 7200000000, 14400000000, 36000000000};

const QColor kBackground(48, 52, 58);
const QColor kRulerBack(226, 228, 232);
const QColor kWaveColor(90, 200, 120);
const QColor kKeyColor(200, 60, 40);
const QColor kStartColor(40, 170, 60);
const QColor kEndColor(220, 50, 50);
const QColor kCursorColor(255, 210, 0);
const QColor kSelectionColor(0, 120, 215, 80);

}  // namespace

TTimeline::TTimeline(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::ClickFocus);
  setMouseTracking(false);
  setAttribute(Qt::WA_OpaquePaintEvent);
  FScroll = new QScrollBar(Qt::Horizontal, this);
  FScroll->setObjectName(QStringLiteral("sbTimeline"));
  FScroll->setFocusPolicy(Qt::NoFocus);
  connect(FScroll, &QScrollBar::valueChanged, this, [this](int v) {
    if (!FSyncing) ScrollTo(v * FUsPerPixel);
  });
  setFixedHeight(kRulerH + kSegmentH + kStripH + kWaveH + FScroll->sizeHint().height());
  setMinimumWidth(100);
  setToolTip(QStringLiteral("Click to go to a picture; Ctrl+wheel, + and - zoom"));
}

QRect TTimeline::RulerRect() const { return QRect(0, 0, width(), kRulerH); }
QRect TTimeline::SegmentRect() const { return QRect(0, kRulerH, width(), kSegmentH); }
QRect TTimeline::StripRect() const { return QRect(0, kRulerH + kSegmentH, width(), kStripH); }
QRect TTimeline::WaveRect() const { return QRect(0, kRulerH + kSegmentH + kStripH, width(), kWaveH); }

void TTimeline::SetDuration(int64_t us) {
  FDuration = std::max<int64_t>(0, us);
  FThumbs.clear();
  FPeaks.clear();
  FSliceCount = 0;
  FKeyFrames.clear();
  FSegments.clear();
  FCursor = FPointStart = FPointEnd = FSelStart = FSelEnd = 0;
  FViewStart = 0;
  FUsPerPixel = MaxUsPerPixel();
  ViewChanged();
}

void TTimeline::SetFrameDuration(int64_t us) {
  FFrameDuration = us > 0 ? us : 40000;
  ClampView();
  ViewChanged();
}

double TTimeline::MaxUsPerPixel() const {
  return FDuration > 0 ? static_cast<double>(FDuration) / ViewWidth() : 1.0;
}

double TTimeline::MinUsPerPixel() const {
  return std::min(MaxUsPerPixel(), FFrameDuration / kPixelsPerPicture);
}

void TTimeline::ClampView() {
  FUsPerPixel = std::clamp(FUsPerPixel, MinUsPerPixel(), MaxUsPerPixel());
  const double last = std::max(0.0, FDuration - ViewWidth() * FUsPerPixel);
  FViewStart = std::clamp(FViewStart, 0.0, last);
}

void TTimeline::ViewChanged() {
  FColumnsValid = false;
  SyncScrollBar();
  update();
  const auto end = std::min<int64_t>(FDuration, std::llround(TimeAt(ViewWidth())));
  emit VisibleSpanChanged(std::llround(FViewStart), end);
}

void TTimeline::SyncScrollBar() {
  // The bar counts pixels of the whole file at this zoom.
  const double total = FDuration / FUsPerPixel;
  const int max = static_cast<int>(std::clamp(std::ceil(total - ViewWidth()), 0.0, double(INT_MAX)));
  FSyncing = true;
  FScroll->setRange(0, max);
  FScroll->setPageStep(ViewWidth());
  FScroll->setSingleStep(std::max(1, ViewWidth() / 20));
  FScroll->setValue(static_cast<int>(std::min(double(INT_MAX), std::round(FViewStart / FUsPerPixel))));
  FSyncing = false;
  FScroll->setVisible(max > 0);
}

void TTimeline::ZoomAt(double x, double factor) {
  if (FDuration <= 0 || factor <= 0) return;
  const double t = TimeAt(x);
  FUsPerPixel = std::clamp(FUsPerPixel / factor, MinUsPerPixel(), MaxUsPerPixel());
  FViewStart = t - x * FUsPerPixel;
  ClampView();
  ViewChanged();
}

void TTimeline::ScrollTo(double viewStart) {
  FViewStart = viewStart;
  ClampView();
  ViewChanged();
}

int TTimeline::ThumbnailHeight() { return kStripH - 2; }

void TTimeline::AddThumbnail(int64_t us, const QImage& picture) {
  if (picture.isNull()) return;
  const int h = ThumbnailHeight();
  FThumbs[us] = QPixmap::fromImage(picture.height() == h ? picture
                                                         : picture.scaledToHeight(h, Qt::SmoothTransformation));
  update(StripRect());
}

void TTimeline::ClearThumbnails() {
  FThumbs.clear();
  update(StripRect());
}

void TTimeline::SetPeaks(std::vector<float> peaks, size_t sliceCount) {
  FPeaks = std::move(peaks);
  FSliceCount = std::max(sliceCount, FPeaks.size());
  FColumnsValid = false;
  update(WaveRect());
}

void TTimeline::AppendPeaks(const std::vector<float>& peaks) {
  FPeaks.insert(FPeaks.end(), peaks.begin(), peaks.end());
  FSliceCount = std::max(FSliceCount, FPeaks.size());
  FColumnsValid = false;
  update(WaveRect());
}

void TTimeline::SetKeyFrames(std::vector<int64_t> times) {
  std::sort(times.begin(), times.end());
  if (times == FKeyFrames) return;
  FKeyFrames = std::move(times);
  update();
}

void TTimeline::SetPoints(int64_t start, int64_t end) {
  if (start == FPointStart && end == FPointEnd) return;
  FPointStart = start;
  FPointEnd = end;
  update();
}

void TTimeline::SetSelection(int64_t start, int64_t end) {
  if (start == FSelStart && end == FSelEnd) return;
  FSelStart = start;
  FSelEnd = end;
  update();
}

void TTimeline::SetSegments(std::vector<TTimelineSegment> segments) {
  FSegments = std::move(segments);
  update();
}

void TTimeline::SetCursorTime(int64_t us) {
  if (us == FCursor) return;
  FCursor = us;
  // A cursor that leaves the view brings the view along, unless the user is dragging it.
  const double x = XAt(static_cast<double>(us));
  if (!FDragging && (x < 0 || x >= width())) {
    ScrollTo(us - width() / 4.0 * FUsPerPixel);
    return;
  }
  update();
}

const std::vector<float>& TTimeline::ColumnPeaks() {
  if (FColumnsValid) return FColumns;
  FColumns.assign(static_cast<size_t>(ViewWidth()), -1.0f);
  if (FSliceCount > 0 && FDuration > 0) {
    const double sliceUs = static_cast<double>(FDuration) / FSliceCount;
    for (size_t c = 0; c < FColumns.size(); ++c) {
      const double t0 = TimeAt(static_cast<double>(c));
      if (t0 >= FDuration) break;
      const auto s0 = static_cast<size_t>(std::max(0.0, std::floor(t0 / sliceUs)));
      const auto s1 = std::max(s0 + 1, static_cast<size_t>(std::ceil(TimeAt(c + 1.0) / sliceUs)));
      if (s0 >= FPeaks.size()) break;  // not made yet
      float peak = 0;
      for (size_t s = s0; s < std::min(s1, FPeaks.size()); ++s) peak = std::max(peak, FPeaks[s]);
      FColumns[c] = std::clamp(peak, 0.0f, 1.0f);
    }
  }
  FColumnsValid = true;
  return FColumns;
}

void TTimeline::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  p.fillRect(QRect(0, 0, width(), WaveRect().bottom() + 1), kBackground);
  DrawRuler(p);
  DrawStrip(p);
  DrawWave(p);
  DrawMarks(p);
}

void TTimeline::DrawRuler(QPainter& p) {
  const QRect r = RulerRect();
  p.fillRect(r, kRulerBack);
  if (FDuration <= 0) return;
  QFont f = font();
  f.setPixelSize(kRulerH - 5);
  p.setFont(f);
  const int labelW = QFontMetrics(f).horizontalAdvance(PTSText(0)) + 12;
  int64_t step = kRulerSteps[std::size(kRulerSteps) - 1];
  for (int64_t s : kRulerSteps)
    if (s / FUsPerPixel >= labelW) {
      step = s;
      break;
    }
  const int64_t minor = step / (step / FUsPerPixel >= 5 * 8 ? 5 : 2);
  const int64_t end = std::min<int64_t>(FDuration, static_cast<int64_t>(TimeAt(width())) + 1);
  p.setPen(QColor(90, 90, 90));
  for (int64_t t = static_cast<int64_t>(FViewStart) / minor * minor; t <= end; t += minor) {
    const int x = static_cast<int>(std::lround(XAt(static_cast<double>(t))));
    const bool major = t % step == 0;
    p.drawLine(x, r.bottom() - (major ? 7 : 3), x, r.bottom());
    // A label that would be cut at the right edge is left out.
    if (major && x + labelW - 10 <= r.right()) p.drawText(QRect(x + 2, r.top(), labelW, r.height() - 3), Qt::AlignLeft | Qt::AlignVCenter, PTSText(t));
  }
}

void TTimeline::DrawStrip(QPainter& p) {
  const QRect r = StripRect();
  if (FThumbs.empty()) return;
  // The thumbnail covering the left edge first, then each one that has room, tiled up to the
  // next one drawn: a picture stands at its own time and fills the span until the next.
  auto it = FThumbs.upper_bound(static_cast<int64_t>(FViewStart));
  if (it != FThumbs.begin()) --it;
  std::vector<std::pair<int, const QPixmap*>> chosen;
  for (int right = INT_MIN; it != FThumbs.end(); ++it) {
    const double x = XAt(static_cast<double>(it->first));
    if (x >= width()) break;
    const int xi = static_cast<int>(std::lround(std::max(-1e6, x)));
    if (xi < right) continue;
    chosen.emplace_back(xi, &it->second);
    right = xi + it->second.width();
  }
  const int fileEnd = static_cast<int>(std::min<double>(width(), std::ceil(XAt(static_cast<double>(FDuration)))));
  p.save();
  for (size_t i = 0; i < chosen.size(); ++i) {
    const auto [x, pm] = chosen[i];
    const int spanEnd = i + 1 < chosen.size() ? chosen[i + 1].first : fileEnd;
    if (pm->width() <= 0) continue;
    p.setClipRect(QRect(x, r.top(), spanEnd - x, r.height()));
    for (int tx = x; tx < spanEnd; tx += pm->width() + 1)
      if (tx + pm->width() >= 0) p.drawPixmap(tx, r.top() + 1, *pm);
  }
  p.restore();
}

void TTimeline::DrawWave(QPainter& p) {
  const QRect r = WaveRect();
  p.fillRect(r, QColor(30, 34, 38));
  const std::vector<float>& columns = ColumnPeaks();
  const double mid = r.top() + r.height() / 2.0;
  const double half = (r.height() - 2) / 2.0;
  p.setPen(kWaveColor);
  for (size_t c = 0; c < columns.size(); ++c) {
    if (columns[c] < 0) continue;
    const int dy = static_cast<int>(std::lround(columns[c] * half));
    const int x = static_cast<int>(c);
    p.drawLine(x, static_cast<int>(mid) - dy, x, static_cast<int>(mid) + dy);
  }
}

void TTimeline::DrawMarks(QPainter& p) {
  if (FDuration <= 0) return;
  const int top = SegmentRect().top();
  const int bottom = WaveRect().bottom();
  // Far outside the view only the side matters (and an int must hold it).
  auto column = [this](int64_t t) {
    return static_cast<int>(std::clamp(std::floor(XAt(static_cast<double>(t))), -16.0, width() + 16.0));
  };
  for (const TTimelineSegment& s : FSegments) {
    const int x1 = column(s.Start), x2 = std::max(x1 + 1, column(s.End));
    if (x2 < 0 || x1 >= width()) continue;
    const QRect band(x1, SegmentRect().top(), x2 - x1, SegmentRect().height());
    p.fillRect(band, s.Color);
    if (s.Selected) p.fillRect(QRect(x1, StripRect().top(), x2 - x1, 2), s.Color);
  }
  if (FSelEnd > FSelStart) {
    const int x1 = column(FSelStart), x2 = column(FSelEnd);
    p.fillRect(QRect(x1, StripRect().top(), std::max(1, x2 - x1), bottom - StripRect().top() + 1), kSelectionColor);
  }
  // Key frames: short strokes on the ruler's lower edge, one per column.
  p.setPen(kKeyColor);
  int last = INT_MIN;
  for (auto it = std::lower_bound(FKeyFrames.begin(), FKeyFrames.end(), static_cast<int64_t>(FViewStart));
       it != FKeyFrames.end(); ++it) {
    const int x = column(*it);
    if (x >= width()) break;
    if (x == last) continue;
    p.drawLine(x, RulerRect().bottom() - 4, x, StripRect().top() + 4);
    last = x;
  }
  if (FPointStart > 0) p.fillRect(QRect(column(FPointStart), top, 2, bottom - top + 1), kStartColor);
  if (FPointEnd > 0) p.fillRect(QRect(column(FPointEnd) - 1, top, 2, bottom - top + 1), kEndColor);
  const int cx = column(FCursor);
  p.fillRect(QRect(cx, 0, 1, bottom + 1), kCursorColor);
}

void TTimeline::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  const int h = FScroll->sizeHint().height();
  FScroll->setGeometry(0, height() - h, width(), h);
  // Keeps the time at the left edge and the scale, unless the file no longer fills the width.
  ClampView();
  ViewChanged();
}

void TTimeline::wheelEvent(QWheelEvent* e) {
  const QPoint d = e->angleDelta();
  const int steps = d.y() != 0 ? d.y() : d.x();
  if (e->modifiers() & Qt::ControlModifier) {
    ZoomAt(e->position().x(), std::pow(1.25, steps / 120.0));
  } else {
    ScrollTo(FViewStart - steps / 120.0 * (width() / 8.0) * FUsPerPixel);
  }
  e->accept();
}

void TTimeline::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  if (key != Qt::Key_Plus && key != Qt::Key_Equal && key != Qt::Key_Minus) {
    QWidget::keyPressEvent(e);
    return;
  }
  // Around the mouse when it is over the line, else around the picture on screen.
  double x = mapFromGlobal(QCursor::pos()).x();
  if (!rect().contains(mapFromGlobal(QCursor::pos()))) {
    x = XAt(static_cast<double>(FCursor));
    if (x < 0 || x >= width()) x = width() / 2.0;
  }
  ZoomAt(x, key == Qt::Key_Minus ? 1 / 1.5 : 1.5);
  e->accept();
}

void TTimeline::EmitTimeAt(double x) {
  if (FDuration <= 0) return;
  const double t = std::clamp(TimeAt(x), 0.0, static_cast<double>(FDuration));
  emit TimeClicked(static_cast<int64_t>(std::llround(t)));
}

void TTimeline::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || e->position().y() >= height() - FScroll->height()) {
    QWidget::mousePressEvent(e);
    return;
  }
  setFocus(Qt::MouseFocusReason);
  FDragging = false;
  EmitTimeAt(e->position().x());
}

void TTimeline::mouseMoveEvent(QMouseEvent* e) {
  if (!(e->buttons() & Qt::LeftButton)) return;
  if (!FDragging) {
    FDragging = true;
    emit DragStarted();
  }
  EmitTimeAt(e->position().x());
}

void TTimeline::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && FDragging) {
    FDragging = false;
    emit DragEnded();
  }
}
