// The program's own picture filters in a job's filter text: trimora-cli encode gives the
// pictures the player's chain gives from the same text, and their messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "runtime/VideoFilterChain.h"

namespace fs = std::filesystem;

namespace {

using TPlanes = std::vector<std::vector<uint8_t>>;

// The three planes of a yuv420p picture, without the padding of its rows.
TPlanes PlanesOf(const AVFrame* f) {
  TPlanes planes(3);
  for (int p = 0; p < 3; ++p) {
    const int w = p ? (f->width + 1) / 2 : f->width, h = p ? (f->height + 1) / 2 : f->height;
    for (int y = 0; y < h; ++y)
      planes[p].insert(planes[p].end(), f->data[p] + y * f->linesize[p], f->data[p] + y * f->linesize[p] + w);
  }
  return planes;
}

std::vector<TPlanes> DecodedPictures(const std::string& file) {
  std::vector<TPlanes> pictures;
  TFFDecoder dec;
  if (!dec.LoadFile(file)) return pictures;
  while (dec.Decode()) pictures.push_back(PlanesOf(dec.Picture()));
  return pictures;
}

// The first count pictures of the file through the player's chain with that filter text.
std::vector<TPlanes> ThroughPlayerChain(const std::string& file, const std::string& filters, size_t count) {
  std::vector<TPlanes> pictures;
  TFFDecoder dec;
  TVideoFilterChain chain;
  TOwnFramePtr out(av_frame_alloc());
  if (!dec.LoadFile(file)) return pictures;
  while (pictures.size() < count && dec.Decode()) {
    const AVFrame* in = dec.Picture();
    if (!chain.FirstGraph()) {
      TVideoChainSource src;
      src.Width = in->width;
      src.Height = in->height;
      src.PixFmt = static_cast<AVPixelFormat>(in->format);
      if (chain.Configure(src, filters, {}, {AV_PIX_FMT_YUV420P}, {}, 4) < 0) return pictures;
    }
    if (chain.Send(in) < 0) return pictures;
    while (chain.Receive(out.get()) == 0) pictures.push_back(PlanesOf(out.get()));
  }
  return pictures;
}

class EncodeFiltersTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = (fs::temp_directory_path() / ("trimora-encf-" + std::to_string(getpid()))).string();
    fs::create_directories(Dir);
    Src = FixturePath(FixtureKind::H264Mp4);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  TCliRun Encode(const std::string& out, const std::string& options) const {
    return RunShell(std::string(TRIMORA_CLI) + " encode " + ShellQuote(Src) + " " + ShellQuote(out) + " " +
                    ShellQuote("-t 0.4 -an -c:v ffv1 " + options));
  }
  std::string Dir, Src;
};

}  // namespace

// The equalizers between library filters, lossless out: every picture is the player's.
TEST_F(EncodeFiltersTest, PicturesMatchThePlayersChain) {
  const std::string chain = "nativeeq=30:40,hflip,nativehue=25:-20";
  const std::vector<TPlanes> expected = ThroughPlayerChain(Src, chain, 10);
  ASSERT_EQ(expected.size(), 10u);
  for (const std::string& options : {"-vf " + chain, "-filter_complex [0:v]" + chain + "[v] -map [v]"}) {
    const std::string out = Dir + "/eq.mkv";
    const TCliRun r = Encode(out, options);
    ASSERT_EQ(r.Code, 0) << options << "\n" << r.Out << r.Err;
    const std::vector<TPlanes> got = DecodedPictures(out);
    ASSERT_EQ(got.size(), expected.size()) << options;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i] == expected[i]) << options << ": picture " << i;
    // The filters did change the pictures.
    EXPECT_FALSE(got[0] == DecodedPictures(Src).front());
    fs::remove(out);
  }
}

// An own filter among library filters that hold pictures back or drop them leaves the same
// pictures to come out as the library filters alone give.
TEST_F(EncodeFiltersTest, OwnFiltersKeepThePicturesLibraryFiltersChoose) {
  for (const std::string& filters : {"fps=10", "reverse", "tpad=stop=3"}) {
    ASSERT_EQ(Encode(Dir + "/plain.mkv", "-vf " + filters).Code, 0) << filters;
    ASSERT_EQ(Encode(Dir + "/own.mkv", "-vf nativeeq," + filters + ",nativehue=0:0").Code, 0) << filters;
    const std::vector<int> plain = FrameNumbers(Dir + "/plain.mkv");
    EXPECT_FALSE(plain.empty()) << filters;
    EXPECT_EQ(FrameNumbers(Dir + "/own.mkv"), plain) << filters;
  }
}

// Out-of-range values are clamped with their message; a text that is no number fails the job
// with the parsing message and writes nothing.
TEST_F(EncodeFiltersTest, ParameterMessagesAndFailures) {
  TCliRun r = Encode(Dir + "/clamp.mkv", "-vf nativeeq=150:0,nativehue=0:-300");
  EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
  const std::string all = r.Out + r.Err;
  EXPECT_NE(all.find("Invalid brightness value 150, force to 100"), std::string::npos) << all;
  EXPECT_NE(all.find("Invalid saturation value -300, force to -100"), std::string::npos) << all;
  // Saturation -100 leaves no colour.
  const std::vector<TPlanes> grey = DecodedPictures(Dir + "/clamp.mkv");
  ASSERT_FALSE(grey.empty());
  EXPECT_EQ(grey[0][1], std::vector<uint8_t>(grey[0][1].size(), 128));

  r = Encode(Dir + "/bad.mkv", "-vf scale=64:48,nativehue=1x");
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE((r.Out + r.Err).find("failed to parsing parameters: "), std::string::npos) << r.Out << r.Err;
  EXPECT_FALSE(fs::exists(Dir + "/bad.mkv"));
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
