// trimora-cli encode and the per-stream work the options ask for: PSNR in the report line and
// the progress lines, subtitles shortened to the next one's start, and sound without a channel
// layout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class EncodeStreamsTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = (fs::temp_directory_path() / ("trimora-encs-" + std::to_string(getpid()))).string();
    fs::create_directories(Dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  static TCliRun Encode(const std::string& inputOptions, const std::string& in, const std::string& out,
                        const std::string& options) {
    return RunShell(std::string(TRIMORA_CLI) + " encode " +
                    (inputOptions.empty() ? "" : "--input-options " + ShellQuote(inputOptions) + " ") +
                    ShellQuote(in) + " " + ShellQuote(out) + " " + ShellQuote(options));
  }
  std::string Dir;
};

}  // namespace

// The final line carries each plane's PSNR and the whole picture's, as the ffmpeg tool's psnr
// filter measures them between the source and the result; the progress file has them too.
TEST_F(EncodeStreamsTest, PsnrInTheFinalReportWhenAsked) {
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  const std::string out = Dir + "/p.mkv", progress = Dir + "/progress.txt";
  TCliRun r = Encode("", src, out, "-t 1 -an -c:v mpeg4 -q:v 8 -psnr -progress " + progress);
  ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
  std::smatch m;
  const std::string all = r.Out + r.Err;
  ASSERT_TRUE(std::regex_search(all, m, std::regex(R"(LPSNR=Y:(\d+\.\d\d) U:(\d+\.\d\d) V:(\d+\.\d\d) \*:(\d+\.\d\d) size=)")))
      << all;
  const TCliRun oracle = RunShell("ffmpeg -nostdin -i " + ShellQuote(out) + " -i " + ShellQuote(src) +
                                  " -lavfi '[0:v][1:v]psnr=shortest=1' -f null -");
  std::smatch o;
  ASSERT_TRUE(std::regex_search(oracle.Err, o, std::regex(R"(PSNR y:([\d.]+) u:([\d.]+) v:([\d.]+) average:([\d.]+))")))
      << oracle.Err;
  for (int i = 1; i <= 4; ++i) EXPECT_NEAR(std::stod(m[i]), std::stod(o[i]), 0.006) << i;
  const std::string lines = ReadText(progress);
  EXPECT_NE(lines.find("stream_0_0_psnr_y=" + m[1].str() + "\nstream_0_0_psnr_u=" + m[2].str() +
                       "\nstream_0_0_psnr_v=" + m[3].str() + "\nstream_0_0_psnr_all=" + m[4].str() + "\n"),
            std::string::npos)
      << lines;

  r = Encode("", src, Dir + "/n.mkv", "-t 1 -an -c:v mpeg4 -q:v 8");
  ASSERT_EQ(r.Code, 0);
  EXPECT_EQ((r.Out + r.Err).find("PSNR"), std::string::npos);
}

// With fix_sub_duration a subtitle ends where the next one starts; without, it keeps its end.
TEST_F(EncodeStreamsTest, FixSubDurationShortensOverlappingSubtitles) {
  const std::string in = Dir + "/in.srt";
  std::ofstream(in) << "1\n00:00:00,000 --> 00:00:02,000\nfirst\n\n2\n00:00:01,000 --> 00:00:03,000\nsecond\n\n"
                       "3\n00:00:05,000 --> 00:00:06,000\nthird\n";
  ASSERT_EQ(Encode("-fix_sub_duration", in, Dir + "/fixed.srt", "").Code, 0);
  EXPECT_EQ(ReadText(Dir + "/fixed.srt"),
            "1\n00:00:00,000 --> 00:00:01,000\nfirst\n\n2\n00:00:01,000 --> 00:00:03,000\nsecond\n\n"
            "3\n00:00:05,000 --> 00:00:06,000\nthird\n\n");
  ASSERT_EQ(Encode("", in, Dir + "/kept.srt", "").Code, 0);
  EXPECT_NE(ReadText(Dir + "/kept.srt").find("00:00:00,000 --> 00:00:02,000\nfirst"), std::string::npos);
}

// Six channels without a layout get the default one (5.1); where guess_layout_max forbids the
// guess the job fails with the message and writes nothing.
TEST_F(EncodeStreamsTest, SoundWithoutAChannelLayout) {
  const std::string six = Dir + "/six.mka";
  ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -f lavfi -i anullsrc=r=8000:cl=6c -t 0.5 -c:a pcm_s16le " +
                         ShellQuote(six)).c_str()),
            0);
  TCliRun r = Encode("-guess_layout_max 5", six, Dir + "/a.mka", "-c:a pcm_s16le");
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE((r.Out + r.Err).find("Unable to find default channel layout for Input Stream #0.0"), std::string::npos)
      << r.Out << r.Err;
  EXPECT_FALSE(fs::exists(Dir + "/a.mka"));

  r = Encode("", six, Dir + "/b.wav", "-c:a pcm_s16le");
  ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
  EXPECT_EQ(RunShell("ffprobe -v error -show_entries stream=channels,channel_layout -of csv=p=0 " +
                     ShellQuote(Dir + "/b.wav")).Out,
            "6,5.1\n");
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
