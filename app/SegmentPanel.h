#pragma once
// The segment list beside the picture: one row per segment (start, end, length, label), the
// label edited in place, a check box for whether it is cut, a click on a row jumps to its start. Keys while the panel has the
// focus: Delete removes the current row, Alt+Up / Alt+Down move it, Ctrl+Z undoes, Ctrl+Y and
// Ctrl+Shift+Z redo. The list itself belongs to the window; the panel only edits it and shows
// it again after every change (Refresh).
#include <QColor>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

class QPushButton;
class QTableWidget;
class TSegmentList;

class TSegmentPanel : public QWidget {
  Q_OBJECT
public:
  enum TColumn { colStart, colEnd, colLength, colLabel, colCount };

  TSegmentPanel(TSegmentList& list, QWidget* parent = nullptr);

  // Shows the list as it is now, keeping the current row where it can.
  void Refresh();
  int CurrentRow() const;
  void SetCurrentRow(int row);

  void RemoveCurrent();
  void MoveCurrent(bool up);
  void Undo();
  void Redo();
  // The list's other changes, also in the list's context menu: the current segment cut in two
  // at the picture on screen, joined with the next one, and the whole list inverted over the
  // file's length (to cut pieces away).
  void SplitCurrent();
  void MergeCurrent();
  void Invert();

  // The time of the picture on screen and the file's length, from the window (µs).
  std::function<int64_t()> PictureTime;
  std::function<int64_t()> MediaDuration;

  QTableWidget* tblSegments = nullptr;
  QPushButton* btnAddSegment = nullptr;
  QPushButton* btnOpenList = nullptr;
  QPushButton* btnSaveList = nullptr;

signals:
  // A row was clicked: show the picture at its start.
  void JumpTo(qint64 us);
  // The list refused a change; the text says why.
  void Refused(const QString& text);
  // The current row changed (-1: none).
  void CurrentChanged(int row);

private:
  void BuildShortcuts();
  void ShowMenu(const QPoint& at);
  // A label typed in or a check box clicked: handed to the list.
  void CellEdited(int row, int column);
  // Reports a refusal; true when the change was made.
  bool Done(bool ok, const std::string& err);

  TSegmentList& FList;
};

// The colour of the segment at a list position, on the track bar and in its row; washed out
// for a segment that is not cut.
QColor SegmentColour(int index, bool selected = true);
// Where the window keeps the list of a media file between runs: a file named by a hash of the
// media's path in the user's data folder, so that the media's own folder is never written.
QString SegmentAutosavePath(const QString& mediaPath);
