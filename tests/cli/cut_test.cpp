// trimora-cli cut --dry-run: the same option text and output name as the builder gives for the
// window's choices, with the points snapped to pictures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "job/CutJob.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

TCliRun Shell(const std::string& cmd) { return RunShell(cmd); }

// The picture time the window's point button stores after the track bar reached `us`.
int64_t Snapped(const std::string& file, int64_t us) {
  TFFDecoder dec;
  EXPECT_TRUE(dec.LoadFile(file));
  EXPECT_TRUE(dec.Seek(us, 0));
  while (dec.Decode())
    if (dec.FramePTS() >= us) break;
  return dec.FramePTS();
}

class CliCut : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-clicut-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    File = FixturePath(FixtureKind::H264Mp4);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // What the builder makes of the same choices.
  std::string Expected(int format, int size, int quality, bool removeAudio, int64_t start, int64_t end) {
    TFFDecoder dec;
    EXPECT_TRUE(dec.LoadFile(File));
    TCutChoices c;
    c.FileName = File;
    FillInputChoices(dec, c);
    c.Duration = dec.GetFileStreamInfo().Duration;
    c.FormatIndex = format;
    c.FrameSizeIndex = size;
    c.QualityChecked = quality >= 0;
    c.QualityIndex = quality < 0 ? 0 : quality;
    c.RemoveAudio = removeAudio;
    c.TrimStart = start > 0 ? Snapped(File, start) : 0;
    c.TrimEnd = end > 0 ? Snapped(File, end) : 0;
    const TCutJob job = BuildCutJob(c);
    TOutputNameHost host;
    host.ReadString = [this](const std::string&, const std::string&) { return Dir; };
    return "options: " + job.Options + "\noutput: " + MakeOutputFileName(File, job.Suffix, host) + "\n";
  }

  TCliRun Cut(const std::string& args) {
    return Shell(std::string(TRIMORA_CLI) + " cut '" + File + "' " + args + " --out-dir '" + Dir + "' --dry-run");
  }

  std::string Dir, File;
};

TEST_F(CliCut, DryRunMatchesTheBuilder) {
  struct TCase {
    std::string Args;
    int Format, Size, Quality;
    bool RemoveAudio;
    int64_t Start, End;
  };
  const std::vector<TCase> cases = {
      {"--format psp --start 1 --end 2.5 --quality 6", 9, 0, 6, false, 1000000, 2500000},
      {"--format 'copy - original' --start 0.5", 0, 0, -1, false, 500000, 0},
      {"--format 3gp --size 176x144", 1, 1, -1, false, 0, 0},
      {"--format MKV --size 7 --end 1.99 --remove-audio", 5, 7, -1, true, 0, 1990000},
      {"--format 14 --size '640x480 - vga' --quality 0 --start 0.97 --end 2.01", 14, 7, 0, false, 970000, 2010000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args);
    TCliRun r = Cut(c.Args);
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, Expected(c.Format, c.Size, c.Quality, c.RemoveAudio, c.Start, c.End));
  }
  // Points between pictures snap to the picture the decoder lands on: 0.97 s is frame 25.
  TCliRun r = Cut("--format mp4 --start 0.97 --end 2.01");
  EXPECT_EQ(r.Out.rfind("options:   -ss 1  -t 1.04", 0), 0u) << r.Out;
  EXPECT_NE(r.Out.find("output: " + Dir + "/g3-h264_(new).mp4\n"), std::string::npos) << r.Out;
}

// Real cuts: the named file holds the range, starting on the chosen picture (a copy starts on
// the first key frame at or after it).
TEST_F(CliCut, PspAndCopyCutsWriteTheNamedFile) {
  struct TCase {
    std::string Format, Output;
    int FirstFrame, Pictures;
  };
  for (const TCase& c :
       {TCase{"psp", "g3-h264_(new)_psp.mp4", 25, 15}, TCase{"copy - original", "g3-h264_(new).mp4", 36, 16}}) {
    SCOPED_TRACE(c.Format);
    TCliRun r = Shell(std::string(TRIMORA_CLI) + " cut '" + File + "' --format '" + c.Format +
                      "' --start 1 --end 2 --out-dir '" + Dir + "'");
    ASSERT_EQ(r.Code, 0) << r.Err;
    const std::string out = Dir + "/" + c.Output;
    ASSERT_NE(r.Out.find("output: " + out + "\n"), std::string::npos) << r.Out;
    TFFDecoder dec;
    ASSERT_TRUE(dec.LoadFile(out)) << dec.LastErrMsg();
    ASSERT_TRUE(dec.Decode()) << dec.LastErrMsg();
    EXPECT_EQ(ReadFrameNumber(dec.Picture()), c.FirstFrame);
    // As many pictures as the ffmpeg tool gives for the same range: 15 at PSP's 15000/1001
    // rate, and for the copy 36 to 51 (B-frames shown after 2 s are sent before it).
    int pictures = 1;
    while (dec.Decode()) ++pictures;
    EXPECT_EQ(pictures, c.Pictures);
    if (c.FirstFrame == 25) {
      EXPECT_NEAR(dec.GetFileStreamInfo().Duration / 1e6, 1.0, 0.1);
    }
  }
}

TEST_F(CliCut, BadArgumentsAreUsageErrors) {
  for (const std::string& args :
       {std::string("--format nosuch"), std::string("--format 23"), std::string("--format psp --size 999x1"),
        std::string("--format 3gp --size 4"), std::string("--format psp --quality 11"),
        std::string("--format psp --start soon"), std::string("--start 1")}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Cut(args).Code, 2);
  }
  EXPECT_EQ(Shell(std::string(TRIMORA_CLI) + " cut '" + Dir + "/missing.mp4' --format psp --dry-run").Code, 1);
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
