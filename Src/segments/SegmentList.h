#pragma once
// The segments of one source file: ranges kept for a cut, each merged into one output or written
// as a file of its own. Times are microseconds on the video stream's clock, like the window's
// points; a segment holds the pictures from Start up to, not including, End.
//
// Order: the list order is the order of a merged output. Add puts a new segment before the
// first segment that starts later, so a list built by adding reads like the track bar; MoveUp
// and MoveDown change the order on purpose, and later additions keep that order.
//
// User errors (an empty or overlapping segment, an index out of range) return false with a
// message and leave the list as it was. Every change can be undone and redone; each change,
// undo and redo counts in Revision() and calls OnChange (for an autosave).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TSegment {
  int64_t Start = 0;
  int64_t End = 0;
  std::string Label;
  bool Selected = true;
  bool operator==(const TSegment&) const = default;
};

class TSegmentList {
public:
  // Moves a point onto a picture (the decoder's snapping); applied to every point that enters
  // the list (Add, SetPoints, Split, Replace). No snapping when empty.
  using TSnapFn = std::function<int64_t(int64_t)>;

  std::function<void()> OnChange;

  void SetSnap(TSnapFn snap) { FSnap = std::move(snap); }

  const std::vector<TSegment>& Items() const { return FItems; }
  size_t Count() const { return FItems.size(); }
  bool Empty() const { return FItems.empty(); }
  const TSegment& operator[](size_t index) const { return FItems[index]; }
  // Grows by one with every change, undo and redo.
  uint64_t Revision() const { return FRevision; }
  // The selected segments in list order.
  std::vector<TSegment> SelectedItems() const;

  // *index (optional) gets the new segment's position.
  bool Add(int64_t start, int64_t end, const std::string& label = std::string(), std::string* err = nullptr,
           size_t* index = nullptr);
  bool Remove(size_t index, std::string* err = nullptr);
  bool MoveUp(size_t index, std::string* err = nullptr);
  bool MoveDown(size_t index, std::string* err = nullptr);
  bool SetPoints(size_t index, int64_t start, int64_t end, std::string* err = nullptr);
  bool SetLabel(size_t index, const std::string& label, std::string* err = nullptr);
  bool SetSelected(size_t index, bool selected, std::string* err = nullptr);
  // Selects or deselects every segment in one change.
  void SelectAll(bool selected);
  // Cuts a segment in two at a time strictly inside it; both halves keep label and selection.
  bool Split(size_t index, int64_t at, std::string* err = nullptr);
  // Joins a segment and the one after it in the list into one from the earlier start to the
  // later end, refused when that would swallow another segment. The label is the first
  // non-empty one of the two.
  bool MergeWithNext(size_t index, std::string* err = nullptr);
  // Replaces the list by the ranges between its segments (in time order) over [0, duration):
  // what remains when the segments are cut away. New segments have no label and are selected.
  bool Invert(int64_t duration, std::string* err = nullptr);
  // Replaces the whole list (a project that was opened); checked as a whole first.
  bool Replace(std::vector<TSegment> items, std::string* err = nullptr);
  void Clear();

  bool CanUndo() const { return !FUndo.empty(); }
  bool CanRedo() const { return !FRedo.empty(); }
  bool Undo();
  bool Redo();

  // Checks a whole list: every segment non-empty and from 0 on, none overlapping another.
  // On a fault gives the message and the position of the segment at fault.
  static bool Check(const std::vector<TSegment>& items, std::string* err, size_t* badIndex = nullptr);
  // The ranges of [0, duration) that no segment covers, in time order.
  static std::vector<TSegment> Inverse(const std::vector<TSegment>& items, int64_t duration);

private:
  bool ValidIndex(size_t index, std::string* err) const;
  int64_t Snapped(int64_t us) const { return FSnap ? FSnap(us) : us; }
  // A segment that may stand beside the others (skipping `ignore`, the one it replaces).
  bool Fits(const TSegment& seg, size_t ignore, std::string* err) const;
  // Takes the new items as one change that can be undone.
  void Commit(std::vector<TSegment> items);
  void Changed();
  // Undo or redo: the last snapshot of `from` becomes the list, the list goes onto `to`.
  bool Travel(std::vector<std::vector<TSegment>>& from, std::vector<std::vector<TSegment>>& to);

  std::vector<TSegment> FItems;
  std::vector<std::vector<TSegment>> FUndo, FRedo;
  TSnapFn FSnap;
  uint64_t FRevision = 0;
};
