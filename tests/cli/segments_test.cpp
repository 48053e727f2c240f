// trimora-cli segments: a project converted between the formats for a generated fixture file,
// its arguments checked before anything is opened, faulty or unreadable files refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "segments/SegmentTimes.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

class CliSegments : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-clisegments-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    File = FixturePath(FixtureKind::H264Mp4);
    TFFDecoder dec;
    ASSERT_TRUE(dec.LoadFile(File));
    Duration = dec.GetFileStreamInfo().Duration;
    ASSERT_GT(Duration, 2000000);
  }
  void TearDown() override { fs::remove_all(Dir); }

  TCliRun Segments(const std::string& args, const std::string& file = "") {
    return RunShell(std::string(TRIMORA_CLI) + " segments " + ShellQuote(file.empty() ? File : file) + " " + args);
  }
  std::string Put(const std::string& name, const std::string& text) {
    std::ofstream(Dir + "/" + name) << text;
    return Dir + "/" + name;
  }
  std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string Dir, File;
  int64_t Duration = 0;
};

TEST_F(CliSegments, ConvertsBetweenTheFormats) {
  const std::string llc = Put("clip-proj.llc",
                              "{ // hand-made\n  version: 2, mediaFileName: 'clip.mp4',\n"
                              "  cutSegments: [{start: 0.4, end: 1.2, name: 'first'}, {start: 1.6, name: \"rest\",},],\n}\n");
  const std::string end = SecondsValueText(Duration);
  TCliRun r = Segments("--from " + ShellQuote(llc) + " --to trimora");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "Note: " + llc + " was made for \"clip.mp4\", not \"" + fs::path(File).filename().string() + "\"\n");
  EXPECT_EQ(r.Out, "{\n  \"version\": 1,\n  \"media\": \"" + fs::path(File).filename().string() +
                       "\",\n  \"segments\": [\n"
                       "    {\"start\": 0.4, \"end\": 1.2, \"name\": \"first\", \"selected\": true},\n"
                       "    {\"start\": 1.6, \"end\": " + end + ", \"name\": \"rest\", \"selected\": true}\n  ]\n}\n");

  const std::string csv = Dir + "/cut.csv";
  r = Segments("--from " + ShellQuote(llc) + " --to csv --output " + ShellQuote(csv));
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "output: " + csv + "\n");
  EXPECT_EQ(Slurp(csv), "0.4,1.2,first\n1.6," + end + ",rest\n");

  r = Segments("--from " + ShellQuote(csv) + " --to edl");
  EXPECT_EQ(r.Out, "0 0.4 0\n1.2 1.6 0\n");
  EXPECT_EQ(r.Err, "");
  const std::string edl = Put("cut.edl", r.Out);
  r = Segments("--from " + ShellQuote(edl) + " --to youtube");
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "0:00 Segment 1\n0:00 Segment 2\n");
  r = Segments("--from " + ShellQuote(edl) + " --to csv");
  EXPECT_EQ(r.Out, "0.4,1.2,\n1.6," + end + ",\n");
}

TEST_F(CliSegments, BadArgumentsBeforeOpeningFaultyFilesAfter) {
  const std::string csv = Put("cut.csv", "Start,End,Name\n1,2,a\n1.5,3,b\n");
  // Exit 2 without touching the (missing) media file.
  const std::string missing = Dir + "/missing.mp4";
  for (const std::string& args : {std::string("--to csv"), "--from " + csv, "--from " + csv + " --to xml",
                                  "--from " + Dir + "/cut.mp4 --to csv", "--from " + Dir + "/ch.txt --to csv",
                                  "--from " + csv + " --to csv --frobnicate"}) {
    const TCliRun r = Segments(args, missing);
    EXPECT_EQ(r.Code, 2) << args;
    EXPECT_EQ(r.Err.find("No such file"), std::string::npos) << r.Err;
  }
  TCliRun r = Segments("--from " + csv + " --to csv", missing);
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("missing.mp4"), std::string::npos) << r.Err;

  r = Segments("--from " + csv + " --to llc");
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, csv + ": line 3: Segment 2 (0:00:01.500 - 0:00:03.000) overlaps segment 1 (0:00:01.000 - 0:00:02.000)\n");
  EXPECT_EQ(r.Out, "");
  r = Segments("--from " + Dir + "/none.csv --to llc");
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Cannot read " + Dir + "/none.csv: No such file or directory\n");

  // An existing output is never replaced, the project read included.
  const std::string good = Put("good.csv", "1,2,a\n");
  const std::string old = Put("old.llc", "keep me");
  for (const std::string& out : {old, good}) {
    r = Segments("--from " + good + " --to llc --output " + out);
    EXPECT_EQ(r.Code, 1) << out;
    EXPECT_EQ(r.Out, "");
  }
  EXPECT_EQ(Slurp(old), "keep me");
  EXPECT_EQ(Slurp(good), "1,2,a\n");
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
