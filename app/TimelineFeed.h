#pragma once
// Feeds the timeline widget of an open file: thumbnails of the span in view first (a screenful
// spread over it, then every key frame there), then of the rest of the file, and the sound's
// peaks. Both are made in background threads; a zoom or scroll that settles asks for the new
// span, and opening another file or closing drops the old file's work at once.
#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "timeline/Thumbnails.h"
#include "timeline/Waveform.h"

class QTimer;
class TTimeline;

// Spans of the file whose every key frame the widget has; times in µs, the end may be
// INT64_MAX (the end of the file, whatever its length).
class TCoveredSpans {
public:
  void Add(int64_t from, int64_t to);
  // The first part of [from, to) not covered; false when all of it is.
  bool FirstGap(int64_t from, int64_t to, int64_t* gapFrom, int64_t* gapTo) const;
  void Clear() { FSpans.clear(); }

private:
  std::map<int64_t, int64_t> FSpans;  // start -> end, disjoint, not touching
};

class TTimelineFeed : public QObject {
  Q_OBJECT
public:
  // Lives as long as the widget, as its child.
  explicit TTimelineFeed(TTimeline* timeline);
  ~TTimelineFeed() override;

  // The widget has been given the file's duration already.
  void Open(const QString& path);
  void Close();

  // Every key frame of the file has its thumbnail on the widget.
  bool StripComplete() const;
  // The waveform is drawn, or there is none to draw (no sound, or it could not be read).
  bool WaveformDone() const { return FWaveDone; }

private:
  struct TRequest {
    int64_t From = 0;
    int64_t To = 0;     // INT64_MAX: the end of the file
    int Count = 0;      // 0: every key frame, else a screenful spread over the span
    bool operator==(const TRequest&) const = default;
  };
  // The span in view, its end INT64_MAX when it reaches the end of the file.
  void VisibleSpan(int64_t* from, int64_t* to) const;
  // What to make next, false when the whole strip is made.
  bool NextRequest(TRequest* next) const;
  // Starts what is most wanted now, unless it runs already.
  void Schedule();
  // Stops the run, keeping what it made in time order as covered.
  void StopRun();
  void ThumbnailArrived(const TThumbnail& t);
  void RunDone(bool complete, const std::string& error);
  void PeaksArrived(const TPeakEnvelope& envelope);

  TTimeline* FTimeline;
  QTimer* FSettle;
  TThumbnailProducer FThumbs;
  TWaveformProducer FWave;
  std::string FPath;
  TCoveredSpans FCovered;
  TRequest FRun;
  bool FRunning = false;
  int64_t FLastTime = INT64_MIN;  // of the current run's pictures
  TRequest FScreenful{-1, -1, -1};  // the last screenful asked for
  bool FWaveDone = false;
};
