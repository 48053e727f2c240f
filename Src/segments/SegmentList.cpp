#include "segments/SegmentList.h"

#include <algorithm>
#include <utility>

#include "segments/SegmentTimes.h"

namespace {

// Snapshots kept for undo; older changes are forgotten.
constexpr size_t kUndoDepth = 200;

bool Fail(std::string* err, const std::string& message) {
  if (err) *err = message;
  return false;
}

std::string RangeText(const TSegment& s) { return SegmentTimeText(s.Start) + " - " + SegmentTimeText(s.End); }

std::string Number(size_t index) { return std::to_string(index + 1); }

bool Overlap(const TSegment& a, const TSegment& b) { return a.Start < b.End && b.Start < a.End; }

// A segment on its own: from 0 on and not empty.
bool CheckOne(const TSegment& s, std::string* err) {
  if (s.Start < 0) return Fail(err, "The segment starts before the beginning: " + RangeText(s));
  if (s.End <= s.Start) return Fail(err, "The segment is empty: it must end after its start (" + RangeText(s) + ")");
  return true;
}

}  // namespace

std::vector<TSegment> TSegmentList::SelectedItems() const {
  std::vector<TSegment> out;
  std::copy_if(FItems.begin(), FItems.end(), std::back_inserter(out), [](const TSegment& s) { return s.Selected; });
  return out;
}

bool TSegmentList::Check(const std::vector<TSegment>& items, std::string* err, size_t* badIndex) {
  for (size_t i = 0; i < items.size(); ++i) {
    bool ok = CheckOne(items[i], err);
    for (size_t j = 0; ok && j < i; ++j)
      if (Overlap(items[i], items[j]))
        ok = Fail(err, "Segment " + Number(i) + " (" + RangeText(items[i]) + ") overlaps segment " + Number(j) + " (" +
                           RangeText(items[j]) + ")");
    if (!ok) {
      if (badIndex) *badIndex = i;
      return false;
    }
  }
  return true;
}

std::vector<TSegment> TSegmentList::Inverse(const std::vector<TSegment>& items, int64_t duration) {
  std::vector<TSegment> sorted = items;
  std::sort(sorted.begin(), sorted.end(), [](const TSegment& a, const TSegment& b) { return a.Start < b.Start; });
  std::vector<TSegment> gaps;
  int64_t from = 0;
  for (const TSegment& s : sorted) {
    if (s.Start > from && from < duration) gaps.push_back({from, std::min(s.Start, duration), {}, true});
    from = std::max(from, s.End);
  }
  if (from < duration) gaps.push_back({from, duration, {}, true});
  return gaps;
}

bool TSegmentList::ValidIndex(size_t index, std::string* err) const {
  if (index < FItems.size()) return true;
  return Fail(err, "There is no segment " + Number(index) + " (the list has " + std::to_string(FItems.size()) + ")");
}

bool TSegmentList::Fits(const TSegment& seg, size_t ignore, std::string* err) const {
  if (!CheckOne(seg, err)) return false;
  for (size_t i = 0; i < FItems.size(); ++i)
    if (i != ignore && Overlap(seg, FItems[i]))
      return Fail(err, "The segment " + RangeText(seg) + " overlaps segment " + Number(i) + " (" +
                           RangeText(FItems[i]) + ")");
  return true;
}

void TSegmentList::Commit(std::vector<TSegment> items) {
  FUndo.push_back(std::move(FItems));
  if (FUndo.size() > kUndoDepth) FUndo.erase(FUndo.begin());
  FRedo.clear();
  FItems = std::move(items);
  Changed();
}

void TSegmentList::Changed() {
  ++FRevision;
  if (OnChange) OnChange();
}

bool TSegmentList::Add(int64_t start, int64_t end, const std::string& label, std::string* err, size_t* index) {
  const TSegment seg{Snapped(start), Snapped(end), label, true};
  if (!Fits(seg, FItems.size(), err)) return false;
  auto at = std::find_if(FItems.begin(), FItems.end(), [&](const TSegment& s) { return s.Start > seg.Start; });
  const size_t pos = static_cast<size_t>(at - FItems.begin());
  std::vector<TSegment> items = FItems;
  items.insert(items.begin() + static_cast<ptrdiff_t>(pos), seg);
  Commit(std::move(items));
  if (index) *index = pos;
  return true;
}

bool TSegmentList::Remove(size_t index, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  std::vector<TSegment> items = FItems;
  items.erase(items.begin() + static_cast<ptrdiff_t>(index));
  Commit(std::move(items));
  return true;
}

bool TSegmentList::MoveUp(size_t index, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  if (index == 0) return Fail(err, "Segment 1 is already the first");
  std::vector<TSegment> items = FItems;
  std::swap(items[index - 1], items[index]);
  Commit(std::move(items));
  return true;
}

bool TSegmentList::MoveDown(size_t index, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  if (index + 1 == FItems.size()) return Fail(err, "Segment " + Number(index) + " is already the last");
  return MoveUp(index + 1, err);
}

bool TSegmentList::SetPoints(size_t index, int64_t start, int64_t end, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  TSegment seg = FItems[index];
  seg.Start = Snapped(start);
  seg.End = Snapped(end);
  if (!Fits(seg, index, err)) return false;
  std::vector<TSegment> items = FItems;
  items[index] = seg;
  Commit(std::move(items));
  return true;
}

bool TSegmentList::SetLabel(size_t index, const std::string& label, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  if (FItems[index].Label == label) return true;
  std::vector<TSegment> items = FItems;
  items[index].Label = label;
  Commit(std::move(items));
  return true;
}

bool TSegmentList::SetSelected(size_t index, bool selected, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  if (FItems[index].Selected == selected) return true;
  std::vector<TSegment> items = FItems;
  items[index].Selected = selected;
  Commit(std::move(items));
  return true;
}

void TSegmentList::SelectAll(bool selected) {
  std::vector<TSegment> items = FItems;
  for (TSegment& s : items) s.Selected = selected;
  if (items != FItems) Commit(std::move(items));
}

bool TSegmentList::Split(size_t index, int64_t at, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  const int64_t point = Snapped(at);
  const TSegment& seg = FItems[index];
  if (point <= seg.Start || point >= seg.End)
    return Fail(err, "The time " + SegmentTimeText(point) + " is not inside segment " + Number(index) + " (" +
                         RangeText(seg) + ")");
  std::vector<TSegment> items = FItems;
  TSegment second = seg;
  second.Start = point;
  items[index].End = point;
  items.insert(items.begin() + static_cast<ptrdiff_t>(index) + 1, second);
  Commit(std::move(items));
  return true;
}

bool TSegmentList::MergeWithNext(size_t index, std::string* err) {
  if (!ValidIndex(index, err)) return false;
  if (index + 1 >= FItems.size()) return Fail(err, "Segment " + Number(index) + " has no next segment to merge with");
  const TSegment& a = FItems[index];
  const TSegment& b = FItems[index + 1];
  TSegment merged{std::min(a.Start, b.Start), std::max(a.End, b.End), a.Label.empty() ? b.Label : a.Label,
                  a.Selected || b.Selected};
  for (size_t i = 0; i < FItems.size(); ++i)
    if (i != index && i != index + 1 && Overlap(merged, FItems[i]))
      return Fail(err, "Segments " + Number(index) + " and " + Number(index + 1) + " cannot be merged: segment " +
                           Number(i) + " (" + RangeText(FItems[i]) + ") lies between them");
  std::vector<TSegment> items = FItems;
  items[index] = merged;
  items.erase(items.begin() + static_cast<ptrdiff_t>(index) + 1);
  Commit(std::move(items));
  return true;
}

bool TSegmentList::Invert(int64_t duration, std::string* err) {
  if (duration <= 0) return Fail(err, "The length of the file is not known, so the segments cannot be inverted");
  std::vector<TSegment> gaps = Inverse(FItems, duration);
  if (gaps.empty()) return Fail(err, "The segments cover the whole file: nothing lies between them");
  Commit(std::move(gaps));
  return true;
}

bool TSegmentList::Replace(std::vector<TSegment> items, std::string* err) {
  for (TSegment& s : items) {
    s.Start = Snapped(s.Start);
    s.End = Snapped(s.End);
  }
  if (!Check(items, err)) return false;
  Commit(std::move(items));
  return true;
}

void TSegmentList::Clear() {
  if (!FItems.empty()) Commit({});
}

bool TSegmentList::Undo() { return Travel(FUndo, FRedo); }

bool TSegmentList::Redo() { return Travel(FRedo, FUndo); }

bool TSegmentList::Travel(std::vector<std::vector<TSegment>>& from, std::vector<std::vector<TSegment>>& to) {
  if (from.empty()) return false;
  to.push_back(std::move(FItems));
  FItems = std::move(from.back());
  from.pop_back();
  Changed();
  return true;
}
