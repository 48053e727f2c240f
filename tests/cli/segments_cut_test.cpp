// trimora-cli cut --segments: several ranges in one job, merged or separate, with one
// "output:" line per file; refused arguments are usage errors before the file is opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

class CliSegments : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = (fs::temp_directory_path() / ("trimora-cli-segments-" + std::to_string(getpid()))).string();
    fs::create_directories(Dir);
    File = FixturePath(FixtureKind::H264Mp4);
  }
  void TearDown() override { fs::remove_all(Dir); }

  TCliRun Cut(const std::string& file, const std::string& args) {
    return RunShell("timeout 120 " + std::string(TRIMORA_CLI) + " cut " + ShellQuote(file) + " " + args +
                    " --out-dir " + ShellQuote(Dir));
  }

  std::string Named(const std::string& mark) {
    return Dir + "/" + fs::path(File).stem().string() + "_(new)" + mark + ".mp4";
  }

  std::string Dir, File;
};

// Frames 13-30, 40-46 and 53-61 of the 25 fps fixture: each range off its key frames.
const char* kSegments = "--segments 0.52-1.24,1.6-1.88,2.12-2.48";

std::vector<int> Frames(std::initializer_list<std::pair<int, int>> ranges) {
  std::vector<int> n;
  for (const auto& r : ranges)
    for (int i = r.first; i < r.second; i++) n.push_back(i);
  return n;
}

TEST_F(CliSegments, BadSegmentsAndMixedPointsAreUsageErrors) {
  const std::string missing = Dir + "/missing.mp4";  // checked before it would be opened
  for (const std::string& args :
       {std::string("--segments 1-2 --start 1"), std::string("--end 3 --segments 1-2"), std::string("--segments 2-1"),
        std::string("--segments 1-2,"), std::string("--segments 1-2,,3-4"), std::string("--segments soon-2"),
        std::string("--segments 1"), std::string("--segments 1-1"), std::string("--separate"),
        std::string("--chapters"), std::string("--segments 1-2 --segments 3-4")}) {
    SCOPED_TRACE(args);
    const TCliRun r = Cut(missing, "--format 0 " + args + " --dry-run");
    EXPECT_EQ(r.Code, 2);
    EXPECT_EQ(r.Out, "");
  }
  const TCliRun bad = Cut(missing, "--format 0 --segments 1-2,5-4 --dry-run");
  EXPECT_EQ(bad.Err.substr(0, bad.Err.find('\n')), "Bad segment: \"5-4\" (seconds as START-END, the end after the start)");
  EXPECT_EQ(Cut(missing, "--format 0 --segments 1-2,3-4 --dry-run").Code, 1);
}

TEST_F(CliSegments, DryRunPrintsEachSegmentAndEachOutput) {
  TCliRun r = Cut(File, "--format 0 " + std::string(kSegments) + " --dry-run");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out,
            "options:   -ss 0.52  -t 0.72  -vcodec copy -acodec copy \n"
            "segment 1: 0.52-1.24 s \"Segment 1\": encode 11, copy 0, encode 7\n"
            "segment 2: 1.6-1.88 s \"Segment 2\": encode 7, copy 0, encode 0\n"
            "segment 3: 2.12-2.48 s \"Segment 3\": encode 7, copy 0, encode 2\n"
            "output: " + Named("") + "\n");
  r = Cut(File, "--format 0 --no-exact --separate " + std::string(kSegments) + " --dry-run");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out,
            "options:   -ss 0.48  -t 0.76  -vcodec copy -acodec copy \n"
            "segment 1: 0.52-1.24 s \"Segment 1\": options:   -ss 0.48  -t 0.76  -vcodec copy -acodec copy \n"
            "segment 2: 1.6-1.88 s \"Segment 2\": options:   -ss 1.44  -t 0.44  -vcodec copy -acodec copy \n"
            "segment 3: 2.12-2.48 s \"Segment 3\": options:   -ss 1.92  -t 0.56  -vcodec copy -acodec copy \n"
            "output: " + Named("_1") + "\noutput: " + Named("_2") + "\noutput: " + Named("_3") + "\n");
  EXPECT_NE(r.Err.find("Segment 2: The copy starts at the key frame 0.160 s before the start point."), std::string::npos)
      << r.Err;
  EXPECT_TRUE(fs::is_empty(Dir));
}

TEST_F(CliSegments, MergedAndSeparateCutsWriteTheRanges) {
  TCliRun r = Cut(File, "--format 0 --merge --chapters " + std::string(kSegments));
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("output: " + Named("") + "\n"), std::string::npos) << r.Out;
  EXPECT_EQ(FrameNumbers(Named("")), Frames({{13, 31}, {40, 47}, {53, 62}}));
  r = Cut(File, "--format 0 --separate " + std::string(kSegments));
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("output: " + Named("_1") + "\noutput: " + Named("_2") + "\noutput: " + Named("_3") + "\n"),
            std::string::npos)
      << r.Out;
  EXPECT_EQ(FrameNumbers(Named("_2")), Frames({{40, 47}}));
  EXPECT_EQ(FrameNumbers(Named("_3")), Frames({{53, 62}}));
}

// The segments of a project file: its selected ones, with their labels; a faulty project is
// refused with its line before anything is cut.
TEST_F(CliSegments, AProjectFileGivesTheSegments) {
  const std::string llc = Dir + "/takes-proj.llc";
  std::ofstream(llc) << "// two takes\n{version: 2, mediaFileName: 'h264.mp4', cutSegments: [\n"
                        "  {start: 0.52, end: 1.24, name: 'first'},\n"
                        "  {start: 1.6, end: 1.88, name: 'skipped', selected: false},\n"
                        "  {start: 2.12, end: 2.48, name: 'last',},\n]}\n";
  TCliRun r = Cut(File, "--format 0 --project " + ShellQuote(llc) + " --chapters");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("segment 2: 2.12-2.48 s \"last\""), std::string::npos) << r.Out;
  EXPECT_EQ(FrameNumbers(Named("")), Frames({{13, 31}, {53, 62}}));
  const TCliRun chapters = RunShell("ffprobe -v error -show_entries chapter_tags=title -of csv=p=0 " + ShellQuote(Named("")));
  EXPECT_EQ(chapters.Out, "first\nlast\n");

  const std::string csv = Dir + "/bad.csv";
  std::ofstream(csv) << "Start,End,Name\n1,2,fine\n3,x,broken\n";
  r = Cut(File, "--format 0 --project " + ShellQuote(csv) + " --dry-run");
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find(csv + ": line 3: "), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out, "");
  for (const std::string& args : {std::string("--project " + llc + " --segments 1-2"), std::string("--project x.mp4")}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Cut(Dir + "/missing.mp4", "--format 0 " + args + " --dry-run").Code, 2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
