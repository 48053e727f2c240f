// trimora-cli thumbs and waveform: PNG pictures of the asked size showing the right key frames
// and peaks, arguments checked before the file is opened, and no file replaced.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliTestSupport.h"
#include "support/Fixtures.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

std::string Cli() { return TRIMORA_CLI; }

class CliTimeline : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = (std::filesystem::temp_directory_path() / ("trimora-timeline-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(FDir);
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }
  std::string FDir;
};

// Runs the command, which writes `out`: its one line, the PNG's size from ffprobe, and its
// pixels (RGB24) as the ffmpeg tool decodes them; empty when anything is amiss.
std::string Written(const std::string& command, const std::string& out, int width, int height) {
  const TCliRun r = RunShell(Cli() + " " + command);
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "output: " + out + "\n");
  const TCliRun probe = RunShell("ffprobe -v error -show_entries stream=width,height,codec_name -of csv=p=0:s=x " +
                                 ShellQuote(out));
  EXPECT_EQ(probe.Out, "pngx" + std::to_string(width) + "x" + std::to_string(height) + "\n");
  std::string rgb = RunShell("ffmpeg -v error -i " + ShellQuote(out) + " -f rawvideo -pix_fmt rgb24 -").Out;
  EXPECT_EQ(rgb.size(), static_cast<size_t>(width) * height * 3);
  return rgb.size() == static_cast<size_t>(width) * height * 3 ? rgb : std::string();
}

int TileNumber(const std::string& rgb, int stride, int x0, int w, int h) {
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> f(av_frame_alloc(), [](AVFrame* p) { av_frame_free(&p); });
  f->format = AV_PIX_FMT_RGB24;
  f->width = w;
  f->height = h;
  f->data[0] = reinterpret_cast<uint8_t*>(const_cast<char*>(rgb.data())) + x0 * 3;
  f->linesize[0] = stride * 3;
  return ReadFrameNumber(f.get());
}

TEST_F(CliTimeline, ThumbsWritesTheKeyFramesSideBySide) {
  const std::string out = FDir + "/strip.png";
  const std::string rgb = Written(
      "thumbs " + ShellQuote(FixturePath(FixtureKind::H264Mp4)) + " " + ShellQuote(out) + " --count 5 --height 60",
      out, 400, 60);
  ASSERT_FALSE(rgb.empty());
  // Frames 0, 15, 30, 45 and 60 of GOPs of 12: the key frames at or before them.
  const int expected[] = {0, 12, 24, 36, 60};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(TileNumber(rgb, 400, 80 * i, 80, 60), expected[i]) << "picture " << i;
}

TEST_F(CliTimeline, WaveformDrawsThePeaksMirroredAroundTheMiddle) {
  const std::string out = FDir + "/wave.png";
  const std::string rgb = Written(
      "waveform " + ShellQuote(FixturePath(FixtureKind::ToneStepsMkv)) + " " + ShellQuote(out) + " --width 300",
      out, 300, 100);
  ASSERT_FALSE(rgb.empty());
  // Lit rows of a column: from its top to its bottom, about the peak times the half height.
  auto lit = [&](int x, int* top, int* bottom) {
    *top = -1;
    for (int y = 0; y < 100; ++y)
      if (static_cast<uint8_t>(rgb[(y * 300 + x) * 3 + 1]) > 0x80) {
        if (*top < 0) *top = y;
        *bottom = y;
      }
  };
  int top = 0, bottom = 0;
  lit(50, &top, &bottom);  // silence: the middle line alone
  EXPECT_EQ(top, 50);
  EXPECT_EQ(bottom, 50);
  lit(150, &top, &bottom);  // 0.8
  EXPECT_NEAR(50 - top, 39, 1);
  EXPECT_NEAR(bottom - 50, 39, 1);
  lit(250, &top, &bottom);  // 0.2
  EXPECT_NEAR(50 - top, 10, 1);
  EXPECT_NEAR(bottom - 50, 10, 1);
}

TEST_F(CliTimeline, BadArgumentsExitTwoBeforeTheFileIsOpenedAndNoFileIsReplaced) {
  const std::string missing = ShellQuote(FDir + "/missing.mp4");
  const std::string out = ShellQuote(FDir + "/out.png");
  for (const std::string& args :
       {"thumbs " + missing + " " + out + " --count 0", "thumbs " + missing + " " + out + " --height 12x",
        "thumbs " + missing + " " + out + " --count", "thumbs " + missing + " " + out + " --width 300",
        "thumbs " + missing, "waveform " + missing + " " + out + " --width 15",
        "waveform " + missing + " " + out + " --count 3", "waveform " + missing + " " + out + " extra"}) {
    const TCliRun r = RunShell(Cli() + " " + args);
    EXPECT_EQ(r.Code, 2) << args;
    EXPECT_EQ(r.Err.find("No such file"), std::string::npos) << args << ": " << r.Err;
  }
  EXPECT_FALSE(std::filesystem::exists(FDir + "/out.png"));

  // An existing picture and the input itself are refused and left as they were.
  const std::string existing = FDir + "/old.png";
  std::ofstream(existing) << "old";
  const std::string input = FixturePath(FixtureKind::ToneStepsMkv);
  const auto size = std::filesystem::file_size(input);
  for (const std::string& target : {existing, input}) {
    const TCliRun r = RunShell(Cli() + " waveform " + ShellQuote(input) + " " + ShellQuote(target));
    EXPECT_EQ(r.Code, 1) << target;
    EXPECT_EQ(r.Out, "") << target;
  }
  std::ifstream in(existing);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "old");
  EXPECT_EQ(std::filesystem::file_size(input), size);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
