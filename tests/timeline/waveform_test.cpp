// The waveform: the loudest sample of any channel in each column, at the right times.
#include <gtest/gtest.h>

#include "runtime/MainThread.h"
#include "support/Fixtures.h"
#include "timeline/Waveform.h"

namespace {

constexpr int64_t kSecond = 1000000;

// ToneStepsMkv: silence for 10 s, then 0.8 (left) / 0.4 (right), then 0.05 / 0.2.
float Expected(int second) { return second < 10 ? 0.0f : second < 20 ? 0.8f : 0.2f; }

TEST(Waveform, SilenceALoudAndAQuietToneInTheirColumns) {
  ClearWaveformCache();
  TPeakEnvelope e;
  std::string error;
  ASSERT_TRUE(ComputePeakEnvelope(FixturePath(FixtureKind::ToneStepsMkv), &e, &error)) << error;
  EXPECT_NEAR(e.Duration, 30 * kSecond, 150000);
  const std::vector<float> peaks = PeaksForSpan(e, 0, 30 * kSecond, 30);
  ASSERT_EQ(peaks.size(), 30u);
  for (int c = 0; c < 30; ++c) EXPECT_NEAR(peaks[c], Expected(c), 0.01) << "column " << c;

  // Zoomed in on the step from silence to the loud tone, and across both steps at once.
  const std::vector<float> step = PeaksForSpan(e, 9 * kSecond, 11 * kSecond, 8);
  for (int c = 0; c < 8; ++c) EXPECT_NEAR(step[c], c < 4 ? 0.0f : 0.8f, 0.01) << "column " << c;
  const std::vector<float> wide = PeaksForSpan(e, 5 * kSecond, 25 * kSecond, 2);
  EXPECT_NEAR(wide[0], 0.8f, 0.01);
  EXPECT_NEAR(wide[1], 0.8f, 0.01);
}

TEST(Waveform, FilesWithoutSoundFailWithAReason) {
  TPeakEnvelope e;
  std::string error;
  EXPECT_FALSE(ComputePeakEnvelope(FixturePath(FixtureKind::StillPng), &e, &error));
  EXPECT_NE(error.find("no audio stream"), std::string::npos) << error;
  EXPECT_FALSE(ComputePeakEnvelope(FixtureDir() + "/no-such-file.wav", &e, &error));
  EXPECT_NE(error.find("no-such-file.wav"), std::string::npos) << error;
}

TEST(WaveformProducer, DeliversOnTheMainThreadAndCancels) {
  ClearWaveformCache();
  const std::string path = FixturePath(FixtureKind::ToneStepsMkv);
  TWaveformProducer producer;
  int done = 0;
  std::vector<float> peaks;
  std::vector<double> progress;
  producer.OnProgress = [&](double share) { progress.push_back(share); };
  producer.OnDone = [&](bool ok, const std::vector<float>& p, const std::shared_ptr<const TPeakEnvelope>& e,
                        const std::string& error) {
    EXPECT_TRUE(IsMainThread());
    EXPECT_TRUE(ok) << error;
    EXPECT_TRUE(e);
    peaks = p;
    ++done;
  };
  // A cancelled run delivers nothing, even what it had queued.
  producer.Start(path, 300);
  producer.Cancel();
  EXPECT_FALSE(producer.Running());
  ProcessMainThreadCalls();
  EXPECT_EQ(done, 0);

  producer.Start(path, 300);
  ASSERT_TRUE(WaitInMainThread([&] { return done > 0; }, 20000));
  ASSERT_EQ(peaks.size(), 300u);
  EXPECT_NEAR(peaks[50], 0.0f, 0.01);
  EXPECT_NEAR(peaks[150], 0.8f, 0.01);
  EXPECT_NEAR(peaks[250], 0.2f, 0.01);
  ASSERT_FALSE(progress.empty());
  EXPECT_DOUBLE_EQ(progress.back(), 1.0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
