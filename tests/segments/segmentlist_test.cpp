// The segment list: adding in time order, the refusals with their messages, reordering,
// splitting, merging, inverting, and undo/redo of each change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "segments/SegmentList.h"
#include "segments/SegmentTimes.h"

namespace {

constexpr int64_t S = 1000000;

// "start-end label*" per segment (times in whole seconds, * when not selected), for comparing.
std::string Text(const TSegmentList& list) {
  std::string t;
  for (const TSegment& s : list.Items()) {
    t += (t.empty() ? "" : " ") + std::to_string(s.Start / S) + "-" + std::to_string(s.End / S);
    if (!s.Label.empty()) t += ":" + s.Label;
    if (!s.Selected) t += "*";
  }
  return t;
}

TSegmentList ThreeSegments() {
  TSegmentList list;
  EXPECT_TRUE(list.Add(30 * S, 40 * S, "c"));
  EXPECT_TRUE(list.Add(10 * S, 20 * S, "a"));
  EXPECT_TRUE(list.Add(20 * S, 25 * S, "b"));
  return list;
}

TEST(SegmentList, AddKeepsTimeOrderAndRefusesEmptyAndOverlappingSegments) {
  TSegmentList list = ThreeSegments();
  EXPECT_EQ(Text(list), "10-20:a 20-25:b 30-40:c");
  const TSegmentList before = list;
  std::string err;
  EXPECT_FALSE(list.Add(15 * S, 35 * S, "", &err));
  EXPECT_EQ(err, "The segment 0:00:15.000 - 0:00:35.000 overlaps segment 1 (0:00:10.000 - 0:00:20.000)");
  EXPECT_FALSE(list.Add(50 * S, 50 * S, "", &err));
  EXPECT_EQ(err, "The segment is empty: it must end after its start (0:00:50.000 - 0:00:50.000)");
  EXPECT_FALSE(list.Add(-S, 5 * S, "", &err));
  EXPECT_EQ(err, "The segment starts before the beginning: -0:00:01.000 - 0:00:05.000");
  EXPECT_FALSE(list.SetPoints(0, 5 * S, 21 * S, &err));
  EXPECT_EQ(err, "The segment 0:00:05.000 - 0:00:21.000 overlaps segment 2 (0:00:20.000 - 0:00:25.000)");
  EXPECT_FALSE(list.Remove(3, &err));
  EXPECT_EQ(err, "There is no segment 4 (the list has 3)");
  EXPECT_EQ(list.Items(), before.Items());
  EXPECT_EQ(list.Revision(), before.Revision());

  // After a reorder, a new segment goes before the first one that starts later.
  ASSERT_TRUE(list.MoveDown(0));
  EXPECT_EQ(Text(list), "20-25:b 10-20:a 30-40:c");
  size_t at = 99;
  ASSERT_TRUE(list.Add(26 * S, 28 * S, "new", nullptr, &at));
  EXPECT_EQ(at, 2u);
  EXPECT_EQ(Text(list), "20-25:b 10-20:a 26-28:new 30-40:c");
  EXPECT_FALSE(list.MoveUp(0, &err));
  EXPECT_EQ(err, "Segment 1 is already the first");
  EXPECT_FALSE(list.MoveDown(3, &err));
  EXPECT_EQ(err, "Segment 4 is already the last");
}

TEST(SegmentList, SplitMergeAndSelect) {
  TSegmentList list = ThreeSegments();
  std::string err;
  ASSERT_TRUE(list.Split(2, 33 * S));
  EXPECT_EQ(Text(list), "10-20:a 20-25:b 30-33:c 33-40:c");
  EXPECT_FALSE(list.Split(0, 20 * S, &err));
  EXPECT_EQ(err, "The time 0:00:20.000 is not inside segment 1 (0:00:10.000 - 0:00:20.000)");

  ASSERT_TRUE(list.SetLabel(0, ""));
  ASSERT_TRUE(list.MergeWithNext(0));  // the first label that is there
  EXPECT_EQ(Text(list), "10-25:b 30-33:c 33-40:c");
  // Merging across another segment is refused.
  ASSERT_TRUE(list.MoveDown(0));
  ASSERT_TRUE(list.MoveDown(1));
  EXPECT_EQ(Text(list), "30-33:c 33-40:c 10-25:b");
  EXPECT_FALSE(list.MergeWithNext(1, &err));
  EXPECT_EQ(err, "Segments 2 and 3 cannot be merged: segment 1 (0:00:30.000 - 0:00:33.000) lies between them");
  EXPECT_FALSE(list.MergeWithNext(2, &err));
  EXPECT_EQ(err, "Segment 3 has no next segment to merge with");

  ASSERT_TRUE(list.SetSelected(1, false));
  EXPECT_EQ(Text(list), "30-33:c 33-40:c* 10-25:b");
  ASSERT_EQ(list.SelectedItems().size(), 2u);
  EXPECT_EQ(list.SelectedItems()[1].Start, 10 * S);
  list.SelectAll(false);
  EXPECT_TRUE(list.SelectedItems().empty());
}

TEST(SegmentList, SnapsEveryPointThatEntersTheList) {
  TSegmentList list;
  // Pictures every 40 ms: a point moves onto the picture at or after it.
  list.SetSnap([](int64_t us) { return (us + 39999) / 40000 * 40000; });
  ASSERT_TRUE(list.Add(1000001, 2000001));
  EXPECT_EQ(list[0].Start, 1040000);
  EXPECT_EQ(list[0].End, 2040000);
  std::string err;
  EXPECT_FALSE(list.Split(0, 2030000, &err));  // lands on the end
  ASSERT_TRUE(list.Split(0, 1500000));
  EXPECT_EQ(list[1].Start, 1520000);
  EXPECT_FALSE(list.Add(3000001, 3000002, "", &err));  // one picture apart before, none after
  EXPECT_EQ(err, "The segment is empty: it must end after its start (0:00:03.040 - 0:00:03.040)");
  ASSERT_TRUE(list.Replace({{5000001, 6000000, "x", false}}));
  EXPECT_EQ(list[0], (TSegment{5040000, 6000000, "x", false}));
}

TEST(SegmentList, InvertOverTheWholeLength) {
  TSegmentList list = ThreeSegments();
  ASSERT_TRUE(list.MoveDown(0));  // the gaps come in time order whatever the list order
  ASSERT_TRUE(list.Invert(60 * S));
  EXPECT_EQ(Text(list), "0-10 25-30 40-60");
  ASSERT_TRUE(list.Invert(60 * S));
  EXPECT_EQ(Text(list), "10-25 30-40");

  TSegmentList edges;
  ASSERT_TRUE(edges.Add(0, 5 * S));
  ASSERT_TRUE(edges.Add(50 * S, 60 * S));
  ASSERT_TRUE(edges.Invert(60 * S));
  EXPECT_EQ(Text(edges), "5-50");
  std::string err;
  ASSERT_TRUE(edges.Invert(60 * S));
  EXPECT_EQ(Text(edges), "0-5 50-60");
  ASSERT_TRUE(edges.Add(5 * S, 50 * S));
  EXPECT_FALSE(edges.Invert(60 * S, &err));
  EXPECT_EQ(err, "The segments cover the whole file: nothing lies between them");
  EXPECT_FALSE(edges.Invert(0, &err));
  EXPECT_EQ(err, "The length of the file is not known, so the segments cannot be inverted");

  TSegmentList empty;
  ASSERT_TRUE(empty.Invert(60 * S));
  EXPECT_EQ(Text(empty), "0-60");
}

TEST(SegmentList, UndoAndRedoEveryChange) {
  TSegmentList list;
  int calls = 0;
  list.OnChange = [&] { ++calls; };
  std::vector<std::string> states{Text(list)};
  auto step = [&](bool ok) {
    ASSERT_TRUE(ok);
    states.push_back(Text(list));
  };
  step(list.Add(10 * S, 20 * S, "a"));
  step(list.Add(30 * S, 40 * S, "b"));
  step(list.Split(0, 15 * S));
  step(list.MoveDown(0));
  step(list.SetLabel(2, "B"));
  step(list.SetSelected(0, false));
  step(list.MergeWithNext(0));
  step(list.SetPoints(1, 41 * S, 45 * S));
  step(list.Invert(60 * S));
  step(list.Remove(0));
  list.Clear();
  states.push_back(Text(list));
  EXPECT_EQ(calls, 11);
  EXPECT_EQ(list.Revision(), 11u);

  for (size_t i = states.size() - 1; i-- > 0;) {
    ASSERT_TRUE(list.Undo());
    EXPECT_EQ(Text(list), states[i]) << "undo to state " << i;
  }
  EXPECT_FALSE(list.Undo());
  for (size_t i = 1; i < states.size(); ++i) {
    ASSERT_TRUE(list.Redo());
    EXPECT_EQ(Text(list), states[i]) << "redo to state " << i;
  }
  EXPECT_FALSE(list.Redo());
  EXPECT_EQ(calls, 11 + 2 * 11);

  // A new change after an undo drops what could be redone; refusals change nothing.
  ASSERT_TRUE(list.Undo());
  ASSERT_TRUE(list.Add(70 * S, 80 * S));
  EXPECT_FALSE(list.CanRedo());
  const uint64_t revision = list.Revision();
  EXPECT_FALSE(list.Add(75 * S, 76 * S));
  EXPECT_FALSE(list.SetLabel(9, "x"));
  EXPECT_EQ(list.Revision(), revision);
}

TEST(SegmentTimes, TextsAndParsing) {
  EXPECT_EQ(SegmentTimeText(3723456789), "1:02:03.457");
  EXPECT_EQ(SecondsValueText(12500000), "12.5");
  EXPECT_EQ(SecondsValueText(3000001), "3.000001");
  EXPECT_EQ(SecondsValueText(0), "0");
  EXPECT_EQ(ChapterTimeText(65999999), "1:05");
  EXPECT_EQ(ChapterTimeText(3723 * S), "1:02:03");
  const std::pair<const char*, int64_t> good[] = {{"12.5", 12500000},      {"1:02", 62000000},
                                                  {"1:02:03.25", 3723250000}, {"0:00:00.0000015", 2},
                                                  {".5", 500000},          {"90", 90000000}};
  for (const auto& [text, us] : good) {
    int64_t v = -1;
    EXPECT_TRUE(ParseTimeText(text, &v)) << text;
    EXPECT_EQ(v, us) << text;
  }
  for (const char* bad : {"", "-1", "1:60", "1:2:3:4", "1.5:00", "abc", "1e3", "1,5", "12:"}) {
    int64_t v = 0;
    EXPECT_FALSE(ParseTimeText(bad, &v)) << bad;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
