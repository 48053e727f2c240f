// trimora-cli on damaged inputs: every job ends, finished or failed with a message, however its
// input ends (cut short, or packets with flipped bits near the end). Each run has a deadline:
// a job that hangs fails the test instead of holding it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDeadlineSeconds = 60;
constexpr int kTimedOut = 124;  // the exit code of timeout(1) when the deadline passed

// The one file a cut wrote into its folder ("" when none or several).
std::string OnlyFile(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().string());
  return files.size() == 1 ? files[0] : std::string();
}

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The first `percent` % of the file, as a download cut short leaves it.
void Truncated(const std::string& from, const std::string& to, int percent) {
  std::vector<char> b = ReadAll(from);
  b.resize(b.size() * static_cast<size_t>(percent) / 100);
  WriteAll(to, b);
}

// `count` bits flipped at pseudo-random places in the last tenth of a transport stream, never in
// a packet's 4-byte header, so the damage lands in the payloads of the last pictures and sounds.
void FlippedTsTail(const std::string& from, const std::string& to, uint64_t seed, int count) {
  std::vector<char> b = ReadAll(from);
  const uint64_t start = b.size() * 9 / 10, span = b.size() - start;
  uint64_t x = seed;
  for (int i = 0; i < count; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    const uint64_t pos = start + (x >> 33) % span;
    if (pos % 188 < 4) continue;
    b[pos] = static_cast<char>(b[pos] ^ (1 << ((x >> 20) & 7)));
  }
  WriteAll(to, b);
}

class DamagedInput : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-damaged-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }

  // A fixture put into another container (streams copied) by the ffmpeg tool.
  std::string Remuxed(FixtureKind kind, const std::string& name, const std::string& muxing) {
    const std::string out = Dir + "/" + name;
    TCliRun r = RunShell("ffmpeg -nostdin -v error -y -i " + ShellQuote(FixturePath(kind)) +
                         " -c copy " + muxing + " " + ShellQuote(out));
    EXPECT_EQ(r.Code, 0) << r.Err;
    return out;
  }

  TCliRun Cli(const std::string& args) {
    return RunShell("timeout " + std::to_string(kDeadlineSeconds) + " " +
                    ShellQuote(TRIMORA_CLI) + " " + args);
  }

  // The job ended by itself: with a written file that decodes, or failed with a message.
  static void ExpectEnded(const TCliRun& r, const std::string& out) {
    ASSERT_NE(r.Code, kTimedOut) << "still running after " << kDeadlineSeconds << " s";
    ASSERT_TRUE(r.Code == 0 || r.Code == 1) << r.Code << "\n" << r.Err;
    if (r.Code == 1) {
      EXPECT_FALSE(r.Err.empty());
      return;
    }
    EXPECT_TRUE(fs::exists(out)) << r.Out;
    TCliRun check = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -f null -");
    EXPECT_EQ(check.Code, 0) << check.Err;
  }

  void EncodeEachTruncation(const std::string& source) {
    for (int percent : {10, 50, 90}) {
      SCOPED_TRACE(source + " cut at " + std::to_string(percent) + " %");
      const std::string in = source + "." + std::to_string(percent) + fs::path(source).extension().string();
      Truncated(source, in, percent);
      const std::string out = in + ".out.mp4";
      ExpectEnded(Cli("encode " + ShellQuote(in) + " " + ShellQuote(out) +
                      " '-ss 0.5 -t 1 -c:v mpeg4'"),
                  out);
    }
  }

  std::string Dir;
};

}  // namespace

TEST_F(DamagedInput, ReEncodeOfATruncatedFileEnds) {
  EncodeEachTruncation(Remuxed(FixtureKind::H264Mp4, "flv.flv", "-f flv"));
  EncodeEachTruncation(
      Remuxed(FixtureKind::H264Mp4, "frag.mp4", "-movflags frag_keyframe+empty_moov"));
  EncodeEachTruncation(
      Remuxed(FixtureKind::Av1Mp4, "av1.mp4", "-movflags frag_keyframe+empty_moov"));
  const std::string vp9 = Dir + "/vp9.webm";
  fs::copy_file(FixturePath(FixtureKind::Vp9Webm), vp9);
  EncodeEachTruncation(vp9);
}

TEST_F(DamagedInput, ReEncodeAndCutOfATransportStreamWithFlippedBitsEnd) {
  const std::string source = FixturePath(FixtureKind::H264Ts);
  for (uint64_t seed : {23, 25, 37}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string in = Dir + "/flipped" + std::to_string(seed) + ".ts";
    FlippedTsTail(source, in, seed, 30);
    const std::string out = Dir + "/flipped" + std::to_string(seed) + ".mp4";
    ExpectEnded(Cli("encode " + ShellQuote(in) + " " + ShellQuote(out) + " '-t 3 -c:v mpeg4'"),
                out);
    const std::string folder = Dir + "/cut" + std::to_string(seed);
    fs::create_directories(folder);
    TCliRun cut = Cli("cut " + ShellQuote(in) + " --format MP4 --start 0.5 --end 2.9 --out-dir " +
                      ShellQuote(folder));
    ExpectEnded(cut, cut.Code == 0 ? OnlyFile(folder) : std::string());
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
