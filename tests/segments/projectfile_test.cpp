// Project files: round trips of every format, the JSON5 of LosslessCut, CSV with and without a
// header, an MPlayer EDL read as the inverted list, and faulty files refused with their line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "segments/ProjectFile.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t S = 1000000;
const TProjectMedia kMedia{"/videos/match.mp4", 120 * S};

std::vector<TSegment> Sample() {
  return {{10 * S, 20500000, "Kick-off", true},
          {30000001, 45 * S, "Goal, \"header\"", false},
          {2 * S, 5 * S, "", true}};
}

std::vector<TSegment> Parse(const std::string& text, TProjectFormat format, std::string* err = nullptr,
                            const TProjectMedia& media = kMedia) {
  std::vector<TSegment> out;
  std::string e;
  EXPECT_TRUE(ParseProjectText(text, format, media, &out, &e)) << e << "\n" << text;
  if (err) *err = e;
  return out;
}

std::string Refusal(const std::string& text, TProjectFormat format, const TProjectMedia& media = kMedia) {
  std::vector<TSegment> out{{1, 2, "untouched", true}};
  std::string err;
  EXPECT_FALSE(ParseProjectText(text, format, media, &out, &err)) << text;
  EXPECT_EQ(out.size(), 1u);
  return err;
}

std::string Made(const std::vector<TSegment>& segments, TProjectFormat format) {
  std::string text, err;
  EXPECT_TRUE(MakeProjectText(segments, format, kMedia, &text, &err)) << err;
  return text;
}

TEST(ProjectFile, RoundTripsOfEveryReadableFormat) {
  const std::vector<TSegment> sample = Sample();
  EXPECT_EQ(Parse(Made(sample, TProjectFormat::Trimora), TProjectFormat::Trimora), sample);
  EXPECT_EQ(Parse(Made(sample, TProjectFormat::Llc), TProjectFormat::Llc), sample);
  // CSV holds no selection.
  std::vector<TSegment> allSelected = sample;
  for (TSegment& s : allSelected) s.Selected = true;
  EXPECT_EQ(Parse(Made(sample, TProjectFormat::Csv), TProjectFormat::Csv), allSelected);
  // An EDL holds what is removed: the selected segments come back in time order, unlabelled.
  const std::vector<TSegment> kept{{2 * S, 5 * S, "", true}, {10 * S, 20500000, "", true}};
  EXPECT_EQ(Made(sample, TProjectFormat::Edl), "0 2 0\n5 10 0\n20.5 120 0\n");
  EXPECT_EQ(Parse(Made(sample, TProjectFormat::Edl), TProjectFormat::Edl), kept);

  EXPECT_EQ(Made(sample, TProjectFormat::Trimora),
            "{\n  \"version\": 1,\n  \"media\": \"match.mp4\",\n  \"segments\": [\n"
            "    {\"start\": 10, \"end\": 20.5, \"name\": \"Kick-off\", \"selected\": true},\n"
            "    {\"start\": 30.000001, \"end\": 45, \"name\": \"Goal, \\\"header\\\"\", \"selected\": false},\n"
            "    {\"start\": 2, \"end\": 5, \"name\": \"\", \"selected\": true}\n  ]\n}\n");
  EXPECT_NE(Made(sample, TProjectFormat::Llc).find("\"version\": 2,\n  \"mediaFileName\": \"match.mp4\",\n  \"cutSegments\": ["),
            std::string::npos);
  EXPECT_EQ(Made(sample, TProjectFormat::Csv), "10,20.5,Kick-off\n30.000001,45,\"Goal, \"\"header\"\"\"\n2,5,\n");
  EXPECT_EQ(Parse(Made({}, TProjectFormat::Trimora), TProjectFormat::Trimora), std::vector<TSegment>{});
}

TEST(ProjectFile, YouTubeChaptersFollowTheMergedOutput) {
  // The first chapter is at 0:00 although its segment starts later; unselected ones are left
  // out, an empty label gets the segment's number, past an hour the hours show.
  const std::vector<TSegment> segments{{10 * S, 75 * S, "Intro", true},
                                       {80 * S, 90 * S, "skipped", false},
                                       {100 * S, 3700 * S, "", true},
                                       {3800 * S, 3810 * S, "Credits", true}};
  EXPECT_EQ(Made(segments, TProjectFormat::YouTube), "0:00 Intro\n1:05 Segment 2\n1:01:05 Credits\n");
  std::vector<TSegment> out;
  std::string err;
  EXPECT_FALSE(ParseProjectText("0:00 Intro\n", TProjectFormat::YouTube, kMedia, &out, &err));
  EXPECT_FALSE(CanReadProjectFormat(TProjectFormat::YouTube));
}

TEST(ProjectFile, LosslessCutJson5) {
  const std::string text =
      "// written by hand\n"
      "{\n"
      "  version: 2,\n"
      "  mediaFileName: 'match.mp4',\n"
      "  /* the good plays,\n"
      "     two of them */\n"
      "  cutSegments: [\n"
      "    { start: 1.5, end: 3, name: 'It\\'s in', tags: { team: \"home\", }, },\n"
      "    { start: +.25, end: 1., selected: false, name: \"\\u00e9t\\u00e9\" },\n"
      "    { start: 100, name: 'to the end' },  // no end: the end of the file\n"
      "  ],\n"
      "}\n";
  std::string mediaName;
  std::vector<TSegment> out;
  std::string err;
  ASSERT_TRUE(ParseProjectText(text, TProjectFormat::Llc, kMedia, &out, &err, &mediaName)) << err;
  EXPECT_EQ(mediaName, "match.mp4");
  const std::vector<TSegment> expected{{1500000, 3 * S, "It's in", true},
                                       {250000, 1 * S, "\xC3\xA9t\xC3\xA9", false},
                                       {100 * S, 120 * S, "to the end", true}};
  EXPECT_EQ(out, expected);
  // Without a known length an open end cannot be read.
  EXPECT_EQ(Refusal(text, TProjectFormat::Llc, {"match.mp4", 0}),
            "line 10: a segment without 'end' needs the length of the media, which is not known");
}

TEST(ProjectFile, CsvWithAndWithoutHeader) {
  const std::vector<TSegment> expected{{10 * S, 20 * S, "First", true},
                                       {62500000, 3723 * S, "Second, long", true},
                                       {3800 * S, 120 * S * 40, "", true}};
  const std::string rows = "10,20,First\r\n1:02.5,1:02:03,\"Second, long\"\r\n\r\n3800,4800\r\n";
  const TProjectMedia longMedia{"long.mp4", 5000 * S};
  EXPECT_EQ(Parse("Start,End,Name\r\n" + rows, TProjectFormat::Csv, nullptr, longMedia), expected);
  EXPECT_EQ(Parse(rows, TProjectFormat::Csv, nullptr, longMedia), expected);
  // A quoted name may hold a line break; an empty end runs to the end of the file.
  EXPECT_EQ(Parse("\xEF\xBB\xBF" "start,end,name\n1,2,\"two\nlines\"\n100,,\n", TProjectFormat::Csv),
            (std::vector<TSegment>{{S, 2 * S, "two\nlines", true}, {100 * S, 120 * S, "", true}}));
}

TEST(ProjectFile, EdlReadsAsTheInvertedList) {
  const std::string edl =
      "# adverts\n"
      "60 90 0\n"
      "0 5.5 0\n"
      "30 31 1\n"  // muted only: stays
      "110 130 0\n";
  EXPECT_EQ(Parse(edl, TProjectFormat::Edl),
            (std::vector<TSegment>{{5500000, 60 * S, "", true}, {90 * S, 110 * S, "", true}}));
  std::vector<TSegment> out;
  std::string err;
  EXPECT_FALSE(ParseProjectText(edl, TProjectFormat::Edl, {"match.mp4", 0}, &out, &err));
  EXPECT_EQ(err, "The length of the media is not known, and an EDL file names only what to remove");
}

TEST(ProjectFile, FaultyFilesAreRefusedWithTheirLine) {
  const struct {
    TProjectFormat Format;
    const char* Text;
    const char* Error;
  } cases[] = {
      {TProjectFormat::Llc, "{\n  cutSegments: [\n    {start: 1, end: 2}\n    {start: 3, end: 4}\n  ]\n}\n",
       "line 4: expected ',' or ']' in a list, found '{'"},
      {TProjectFormat::Llc, "{\n  cutSegments: [\n    {start: 'a', end: 2},\n  ]\n}\n",
       "line 3: 'start' must be a number of seconds from 0 on"},
      {TProjectFormat::Llc, "{\n cutSegments: [\n  {start: 1, end: 5},\n  {start: 4, end: 8},\n ]\n}",
       "line 4: Segment 2 (0:00:04.000 - 0:00:08.000) overlaps segment 1 (0:00:01.000 - 0:00:05.000)"},
      {TProjectFormat::Llc, "{\n  /* not closed\n  cutSegments: []\n}\n", "line 2: a comment that is never closed"},
      {TProjectFormat::Llc, "{\n  \"version\": 2,\n  \"media\": 'x'\n}\n",
       "line 1: not a LosslessCut project: no 'cutSegments' list"},
      {TProjectFormat::Llc, "[1, 2]", "line 1: not a LosslessCut project: expected an object"},
      {TProjectFormat::Llc, "{\n cutSegments: [\n  {start: 0x10, end: 20}]}", "line 3: hexadecimal numbers are not read: 0x10"},
      {TProjectFormat::Trimora, "{\n  \"version\": 1,\n  \"segments\": [\n    {\"start\": 3, \"end\": 2}\n  ]\n}",
       "line 4: The segment is empty: it must end after its start (0:00:03.000 - 0:00:02.000)"},
      {TProjectFormat::Trimora, "{\"version\": 2, \"segments\": []}",
       "line 1: version 2 of the project file is newer than this program reads"},
      {TProjectFormat::Trimora, "{\n\"version\": 1,\n\"segments\": [{\"start\": 1}]}", "line 3: a segment without 'end'"},
      {TProjectFormat::Trimora, "{\"version\": 1,\n \"segments\": [{\"start\": 1, \"end\": 2, \"name\": \"open]}\n",
       "line 2: a line break inside a string"},
      {TProjectFormat::Trimora, "{\"version\": 1,\n \"segments\": [{\"start\": 1, \"end\": 2, \"name\": \"open",
       "line 2: a string that is never closed"},
      {TProjectFormat::Csv, "Start,End,Name\n1,2,a\n3,four,b\n", "line 3: the end 'four' is not a time (seconds or [[H:]M:]S[.fff])"},
      {TProjectFormat::Csv, "1,2,a\n5,6,\"never closed\n7,8,c\n", "line 2: a quoted field that is never closed"},
      {TProjectFormat::Csv, "1,2,a\n3,4,b,extra\n", "line 2: expected Start,End,Name, found 4 fields"},
      {TProjectFormat::Csv, "just some text\n", "line 1: the start 'just some text' is not a time (seconds or [[H:]M:]S[.fff])"},
      {TProjectFormat::Csv, "1,2,a\n\n120,130,b\n",
       "line 3: segment 2 starts at 0:02:00.000, after the end of the media (0:02:00.000)"},
      {TProjectFormat::Edl, "0 5 0\n\n8 7 0\n", "line 3: the range ends before it starts"},
      {TProjectFormat::Edl, "0 5 0\n4 9 0\n", "line 2: the range overlaps the one on line 1"},
      {TProjectFormat::Edl, "0 5 0\n6 9 3\n", "line 2: the action '3' is neither 0 (skip) nor 1 (mute)"},
      {TProjectFormat::Edl, "0 5\n", "line 1: expected 'START END ACTION', found '0 5'"},
  };
  for (const auto& c : cases) EXPECT_EQ(Refusal(c.Text, c.Format), c.Error) << c.Text;
}

class ProjectFiles : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-projects-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    Media = {Dir + "/match.mp4", 120 * S};
    std::ofstream(Media.FileName) << "not really a video";
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Dir;
  TProjectMedia Media;
};

TEST_F(ProjectFiles, WrittenSafelyAndReadIntoTheListAsOneChange) {
  const std::string path = ProjectPathFor(Media.FileName, TProjectFormat::Trimora);
  EXPECT_EQ(path, Dir + "/match.trimora");
  EXPECT_EQ(ProjectPathFor(Media.FileName, TProjectFormat::Llc, "/out"), "/out/match-proj.llc");
  std::string err;
  ASSERT_TRUE(WriteProjectFile(path, TProjectFormat::Trimora, Media, Sample(), false, &err)) << err;
  // Never over an existing file unless it is the project's own, and never over the media.
  EXPECT_FALSE(WriteProjectFile(path, TProjectFormat::Trimora, Media, {}, false, &err));
  EXPECT_NE(err.find("File exists"), std::string::npos) << err;
  EXPECT_FALSE(WriteProjectFile(Media.FileName, TProjectFormat::Csv, Media, {}, true, &err));
  EXPECT_EQ(Slurp(Media.FileName), "not really a video");
  EXPECT_FALSE(WriteProjectFile(Dir + "/x.edl", TProjectFormat::Edl, {Media.FileName, 0}, Sample(), false, &err));
  EXPECT_FALSE(fs::exists(Dir + "/x.edl"));

  TSegmentList list;
  ASSERT_TRUE(list.Add(S, 2 * S, "before"));
  ASSERT_TRUE(ReadProjectFile(path, TProjectFormat::Trimora, Media, list, &err)) << err;
  EXPECT_EQ(list.Items(), Sample());
  ASSERT_TRUE(list.Undo());
  EXPECT_EQ(list[0].Label, "before");

  // The autosave replaces its own file.
  ASSERT_TRUE(WriteProjectFile(path, TProjectFormat::Trimora, Media, list.Items(), true, &err)) << err;
  std::ofstream(Dir + "/bad.csv") << "1,2,a\n2,3\n2.5,4,c\n";
  EXPECT_FALSE(ReadProjectFile(Dir + "/bad.csv", TProjectFormat::Csv, Media, list, &err));
  EXPECT_EQ(err, "line 3: Segment 3 (0:00:02.500 - 0:00:04.000) overlaps segment 2 (0:00:02.000 - 0:00:03.000)");
  EXPECT_FALSE(ReadProjectFile(Dir + "/none.csv", TProjectFormat::Csv, Media, list, &err));
  EXPECT_EQ(err, "Cannot read " + Dir + "/none.csv: No such file or directory");
  ASSERT_TRUE(ReadProjectFile(path, TProjectFormat::Trimora, Media, list, &err)) << err;
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list[0].Label, "before");
}

TEST(ProjectFormats, ByNameAndByFileName) {
  const std::pair<const char*, TProjectFormat> byPath[] = {
      {"a/b-proj.llc", TProjectFormat::Llc}, {"x.CSV", TProjectFormat::Csv},       {"x.edl", TProjectFormat::Edl},
      {"x.trimora", TProjectFormat::Trimora}, {"x.json", TProjectFormat::Trimora}, {"ch.txt", TProjectFormat::YouTube}};
  for (const auto& [path, format] : byPath) {
    TProjectFormat f{};
    EXPECT_TRUE(ProjectFormatOfPath(path, &f)) << path;
    EXPECT_EQ(f, format) << path;
    TProjectFormat named{};
    EXPECT_TRUE(ProjectFormatByName(ProjectFormatName(format), &named));
    EXPECT_EQ(named, format);
  }
  TProjectFormat f{};
  EXPECT_FALSE(ProjectFormatOfPath("movie.mp4", &f));
  EXPECT_FALSE(ProjectFormatOfPath(".csv", &f));
  EXPECT_FALSE(ProjectFormatByName("xml", &f));
  EXPECT_TRUE(ProjectFormatByName("YouTube", &f));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
