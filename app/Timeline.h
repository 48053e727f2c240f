#pragma once
// The time line under the picture: a strip of thumbnails, the sound's waveform, the key frames,
// the two points, the selection and the segments along a zoomable, scrollable span of the file,
// with a time ruler. It only draws what it is given; producers hand it their results as they
// arrive. Times are microseconds from the start of the file.
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

class QScrollBar;

struct TTimelineSegment {
  int64_t Start = 0;
  int64_t End = 0;
  QColor Color;
  bool Selected = false;
};

class TTimeline : public QWidget {
  Q_OBJECT
public:
  explicit TTimeline(QWidget* parent = nullptr);

  // A new file: everything it was given is dropped and the whole file is in view.
  void SetDuration(int64_t us);
  int64_t Duration() const { return FDuration; }
  // Length of one picture: the deepest zoom shows one picture per few pixels.
  void SetFrameDuration(int64_t us);

  // Pictures are scaled to this height when added; a producer can make them so small itself.
  static int ThumbnailHeight();
  void AddThumbnail(int64_t us, const QImage& picture);
  void ClearThumbnails();
  int ThumbnailCount() const { return static_cast<int>(FThumbs.size()); }
  std::vector<int64_t> ThumbnailTimes() const {
    std::vector<int64_t> times;
    for (const auto& kv : FThumbs) times.push_back(kv.first);
    return times;
  }
  // Peaks 0..1, one per equal slice of the file's length; sliceCount is how many slices the
  // whole file has (0: as many as given), so a waveform can grow as it is made.
  void SetPeaks(std::vector<float> peaks, size_t sliceCount = 0);
  void AppendPeaks(const std::vector<float>& peaks);
  void SetKeyFrames(std::vector<int64_t> times);
  // The cut's points; 0 is "not set", as the window keeps them.
  void SetPoints(int64_t start, int64_t end);
  void SetSelection(int64_t start, int64_t end);
  void SetSegments(std::vector<TTimelineSegment> segments);
  const std::vector<TTimelineSegment>& Segments() const { return FSegments; }
  // The picture on screen.
  void SetCursorTime(int64_t us);
  int64_t CursorTime() const { return FCursor; }

  // The view: time at the left edge and microseconds per pixel.
  double ViewStart() const { return FViewStart; }
  double UsPerPixel() const { return FUsPerPixel; }
  double TimeAt(double x) const { return FViewStart + x * FUsPerPixel; }
  double XAt(double us) const { return (us - FViewStart) / FUsPerPixel; }
  // Zooms by factor (>1 in) keeping the time at x where it is.
  void ZoomAt(double x, double factor);
  void ScrollTo(double viewStart);

  // Bands of the drawing, for the tests.
  QRect RulerRect() const;
  QRect SegmentRect() const;
  QRect StripRect() const;
  QRect WaveRect() const;

signals:
  // The span in view changed (a producer can make its pictures there first).
  void VisibleSpanChanged(int64_t start, int64_t end);
  // A click (or a drag) on the line: the picture at that time is wanted.
  void TimeClicked(int64_t us);
  void DragStarted();
  void DragEnded();

protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

private:
  double MaxUsPerPixel() const;
  double MinUsPerPixel() const;
  int ViewWidth() const { return std::max(1, width()); }
  void ClampView();
  void SyncScrollBar();
  void ViewChanged();
  void EmitTimeAt(double x);
  // Column peaks of the view, made again only when the view or the peaks changed.
  const std::vector<float>& ColumnPeaks();
  void DrawRuler(class QPainter& p);
  void DrawStrip(class QPainter& p);
  void DrawWave(class QPainter& p);
  void DrawMarks(class QPainter& p);

  int64_t FDuration = 0;
  int64_t FFrameDuration = 40000;
  double FViewStart = 0;
  double FUsPerPixel = 1;
  int64_t FCursor = 0;
  int64_t FPointStart = 0;
  int64_t FPointEnd = 0;
  int64_t FSelStart = 0;
  int64_t FSelEnd = 0;
  std::map<int64_t, QPixmap> FThumbs;  // scaled to the strip's height
  std::vector<float> FPeaks;
  size_t FSliceCount = 0;
  std::vector<int64_t> FKeyFrames;
  std::vector<TTimelineSegment> FSegments;
  std::vector<float> FColumns;
  bool FColumnsValid = false;
  QScrollBar* FScroll = nullptr;
  bool FSyncing = false;
  bool FDragging = false;
};
