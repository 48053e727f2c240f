// Bad input: the decoder fails with a message or decodes what it can, and never crashes or
// hangs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace {

std::string TempDir() {
  static std::string dir = [] {
    std::string d = (std::filesystem::temp_directory_path() / ("trimora-bad-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

std::string WriteFile(const std::string& name, const std::string& bytes) {
  std::string path = TempDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TOutcome {
  bool Opened = false;
  int Pictures = 0;
  std::string OpenMsg;
  std::string EndMsg;
};

// Opens, decodes to the end, steps back and seeks; all of it within 10 s.
TOutcome Exercise(const std::string& path) {
  auto job = std::async(std::launch::async, [path] {
    TOutcome o;
    TFFDecoder dec;
    o.Opened = dec.LoadFile(path);
    o.OpenMsg = dec.LastErrMsg();
    if (!o.Opened) return o;
    while (o.Pictures < 10000 && dec.Decode()) ++o.Pictures;
    o.EndMsg = dec.LastErrMsg();
    for (int i = 0; i < 5; ++i) dec.PrevFrame();
    dec.PrevKeyFrame();
    dec.NextKeyFrame();
    if (dec.Seek(1000000)) dec.Decode();
    TBitmap bmp;
    dec.CopyToBitmap(bmp);
    return o;
  });
  if (job.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << path << ": not done within 10 s";
    fflush(stdout);
    std::_Exit(1);
  }
  return job.get();
}

TEST(BadInput, EmptyFileFailsWithAMessage) {
  TOutcome o = Exercise(WriteFile("empty.mp4", ""));
  EXPECT_FALSE(o.Opened);
  EXPECT_NE(o.OpenMsg.find("empty.mp4: "), std::string::npos) << o.OpenMsg;
}

TEST(BadInput, RandomBytesFail) {
  std::mt19937 rng(7);
  std::string bytes(200000, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  TOutcome o = Exercise(WriteFile("random.bin", bytes));
  if (o.Opened) {
    EXPECT_FALSE(o.EndMsg.empty());
  } else {
    EXPECT_NE(o.OpenMsg.find("random.bin"), std::string::npos) << o.OpenMsg;
  }
}

TEST(BadInput, TextFileNamedMp4Fails) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "This is not a video, only some words in a text file.\n";
  TOutcome o = Exercise(WriteFile("notes.mp4", text));
  EXPECT_FALSE(o.Opened);
  EXPECT_EQ(o.OpenMsg, TempDir() + "/notes.mp4: Invalid data found when processing input");
}

class Truncated : public ::testing::TestWithParam<std::tuple<FixtureKind, int>> {};

TEST_P(Truncated, DecodesWhatItCanThenReportsTheEnd) {
  auto [kind, percent] = GetParam();
  const FixtureInfo info = GetFixtureInfo(kind);
  std::string bytes = ReadFile(FixturePath(kind));
  ASSERT_FALSE(bytes.empty());
  bytes.resize(bytes.size() * percent / 100);
  TOutcome o = Exercise(WriteFile("cut" + std::to_string(percent) + "-" + info.fileName, bytes));
  if (!o.Opened) {
    EXPECT_FALSE(o.OpenMsg.empty());
    return;
  }
  EXPECT_LE(o.Pictures, info.frameCount);
  EXPECT_FALSE(o.EndMsg.empty());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Truncated,
                         ::testing::Combine(::testing::Values(FixtureKind::H264Mp4, FixtureKind::H264Mkv,
                                                              FixtureKind::Mpeg2Ts, FixtureKind::Mpeg4Avi,
                                                              FixtureKind::RawH264),
                                            ::testing::Values(10, 50, 90)),
                         [](const auto& p) {
                           return std::string(FixtureKindName(std::get<0>(p.param))) + "_" +
                                  std::to_string(std::get<1>(p.param));
                         });

TEST(BadInput, TruncatedStreamStillGivesItsFirstPictures) {
  // Cut in the middle of a stream without an index at the end: the first half decodes.
  std::string bytes = ReadFile(FixturePath(FixtureKind::Mpeg2Ts));
  bytes.resize(bytes.size() / 2);
  TOutcome o = Exercise(WriteFile("half.ts", bytes));
  ASSERT_TRUE(o.Opened) << o.OpenMsg;
  EXPECT_GT(o.Pictures, 10);
  EXPECT_EQ(o.EndMsg, "TFFDecoder.Decode() for video: stream eof reached.");
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  int r = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(TempDir(), ec);
  return r;
}
