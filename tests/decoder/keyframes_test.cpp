// Key frames found by reading packets: the fixtures' own key frames, at their picture times.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "decoder/KeyFrames.h"
#include "support/Fixtures.h"

namespace {

class KeyFramesTest : public ::testing::TestWithParam<FixtureKind> {};

// Frame n of a fixture lies n / rate after the stream's first picture.
std::vector<int64_t> ExpectedTimes(const FixtureInfo& info) {
  std::vector<int64_t> v;
  for (int k : info.keyFrames)
    v.push_back(std::llround(1e6 * k * info.frameRate.den / info.frameRate.num));
  return v;
}

TEST_P(KeyFramesTest, TheFixturesKeyFramesAtTheirPictureTimes) {
  const FixtureInfo info = GetFixtureInfo(GetParam());
  std::vector<int64_t> times;
  std::string error;
  ASSERT_TRUE(ScanKeyFrames(FixturePath(GetParam()), -1, &times, &error)) << error;
  const std::vector<int64_t> expected = ExpectedTimes(info);
  ASSERT_EQ(times.size(), expected.size());
  for (size_t i = 0; i < times.size(); i++)
    EXPECT_NEAR(times[i], expected[i], 1000) << "key frame " << info.keyFrames[i];
}

INSTANTIATE_TEST_SUITE_P(Containers, KeyFramesTest,
                         ::testing::Values(FixtureKind::H264Mp4, FixtureKind::H264Mkv,
                                           FixtureKind::Mpeg2Ts, FixtureKind::Mpeg4Avi,
                                           FixtureKind::Vp8Webm, FixtureKind::MjpegAvi),
                         [](const auto& p) { return std::string(FixtureKindName(p.param)); });

TEST(KeyFrameScan, FilesWithoutPicturesAndMissingFilesFailWithAReason) {
  std::vector<int64_t> times{1, 2};
  std::string error;
  EXPECT_FALSE(ScanKeyFrames(FixturePath(FixtureKind::Wav), -1, &times, &error));
  EXPECT_NE(error.find("no video stream"), std::string::npos) << error;
  EXPECT_EQ(times.size(), 2u) << "a failed scan leaves the caller's list alone";
  error.clear();
  EXPECT_FALSE(ScanKeyFrames(FixtureDir() + "/no-such-file.mp4", -1, &times, &error));
  EXPECT_NE(error.find("no-such-file.mp4"), std::string::npos) << error;
}

TEST(KeyFrameScan, TheScannerRunsInTheBackgroundAndCanBeCancelled) {
  const std::string path = FixturePath(FixtureKind::H264Mkv);
  TKeyFrameScanner scanner;
  scanner.Start(path, -1);
  for (int i = 0; i < 2000 && scanner.Running(); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(scanner.Running());
  EXPECT_TRUE(scanner.Complete()) << scanner.Error();
  std::vector<int64_t> direct;
  ASSERT_TRUE(ScanKeyFrames(path, -1, &direct, nullptr));
  EXPECT_EQ(scanner.Times(), direct);

  // A restart replaces the old list; a cancel forgets it and never leaves a thread behind.
  const uint64_t before = scanner.Generation();
  scanner.Start(FixturePath(FixtureKind::Mpeg2Ts), -1);
  scanner.Cancel();
  EXPECT_FALSE(scanner.Running());
  EXPECT_FALSE(scanner.Complete());
  EXPECT_TRUE(scanner.Times().empty());
  EXPECT_NE(scanner.Generation(), before);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
