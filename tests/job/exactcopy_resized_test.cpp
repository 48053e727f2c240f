// Frame-exact copy of a transport stream whose pictures change size part-way (a capture spliced
// or damaged mid-stream): the pictures encoded again after the change are scaled to the
// stream's size, said once in the log, and the copy is complete and decodes cleanly.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "job/ExactCopy.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ExactCopyResized : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-resized-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }

  // The fixture's 3 s at 320x240, then the same pictures at 160x120 from 3 s on, in one stream.
  std::string Spliced() {
    const std::string source = FixturePath(FixtureKind::H264Ts), small = Dir + "/small.ts";
    const TCliRun r = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(source) +
                               " -vf scale=160:120 -c:v libx264 -g 12 -bf 0 -c:a copy -output_ts_offset 3 " +
                               ShellQuote(small));
    EXPECT_EQ(r.Code, 0) << r.Err;
    const std::string out = Dir + "/spliced.ts";
    std::ofstream(out, std::ios::binary) << ReadAll(source) << ReadAll(small);
    return out;
  }

  std::string Dir;
};

}  // namespace

TEST_F(ExactCopyResized, PicturesOfAnotherSizeAreScaledToTheStreamsSize) {
  const std::string input = Spliced(), output = Dir + "/cut.ts";
  TExactCopyOptions o;
  o.Start = 2500000;  // before the change, so the tail's pictures come after it
  o.End = 4500000;
  std::vector<std::string> lines;
  TExactCopyHost host;
  host.Log = [&](int, const std::string& line) { lines.push_back(line); };
  TExactCopyPlan plan;
  std::string error;
  ASSERT_TRUE(RunExactCopy(input, output, o, host, &plan, &error)) << error;
  ASSERT_TRUE(plan.Exact) << plan.Reason;
  ASSERT_GT(plan.TailPictures, 0);

  int scaled = 0;
  for (const std::string& l : lines) scaled += l == "Pictures of 160x120 in a stream of 320x240: scaled to be encoded.";
  EXPECT_EQ(scaled, 1);

  EXPECT_EQ(RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(output) + " -f null -").Err, "");
  const TCliRun sizes = RunShell("ffprobe -v error -select_streams v -show_entries frame=width,height -of csv=p=0 " +
                                 ShellQuote(output));
  const int pictures = plan.HeadPictures + plan.CopiedPictures + plan.TailPictures;
  int full = 0;
  for (size_t at = sizes.Out.find("320,240"); at != std::string::npos; at = sizes.Out.find("320,240", at + 1)) ++full;
  EXPECT_EQ(full, pictures) << sizes.Out;
  EXPECT_EQ(sizes.Out.find("160,120"), std::string::npos) << sizes.Out;
  const std::vector<int> numbers = FrameNumbers(output);
  ASSERT_EQ(static_cast<int>(numbers.size()), pictures);
  for (int n : numbers) EXPECT_GE(n, 0);
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
