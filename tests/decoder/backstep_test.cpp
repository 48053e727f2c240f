// Stepping with the pictures before the current one prepared on a worker thread: a long walk of
// mixed steps shows exactly the pictures a plain pass of a fresh decoder shows, and a newer
// request stops the worker's run for an older position, whose pictures are never shown.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "StepSupport.h"
#include "support/Fixtures.h"

namespace {

int Shown(const TFFDecoder& dec) { return dec.Picture() ? ReadFrameNumber(dec.Picture()) : -2; }

// A digest of the picture's planes, to tell a picture decoded from wrong references.
uint64_t Digest(const AVFrame* f) {
  uint64_t h = 1469598103934665603ull;
  for (int p = 0; p < 3 && f->data[p]; ++p) {
    const int w = p ? AV_CEIL_RSHIFT(f->width, 1) : f->width;
    const int rows = p ? AV_CEIL_RSHIFT(f->height, 1) : f->height;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < w; ++x) h = (h ^ f->data[p][y * f->linesize[p] + x]) * 1099511628211ull;
  }
  return h;
}

// Polls until the worker has no run going on.
bool WaitIdle(const TFFDecoder& dec) {
  for (int i = 0; i < 30000; ++i) {
    if (!dec.PrepareStats().Busy) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class BackStep : public ::testing::TestWithParam<FixtureKind> {
protected:
  void SetUp() override {
    info = GetFixtureInfo(GetParam());
    path = FixturePath(GetParam());
    // What a fresh decoder shows in one plain pass, without any worker.
    TFFDecoder fresh;
    fresh.SetPrepareBack(false);
    ASSERT_TRUE(fresh.LoadFile(path)) << fresh.LastErrMsg();
    while (fresh.Decode()) {
      ASSERT_EQ(Shown(fresh), static_cast<int>(times.size()));
      times.push_back(fresh.FramePTS());
      digests.push_back(Digest(fresh.Picture()));
      if (fresh.PictureKeyFrame()) keys.push_back(Shown(fresh));
    }
    ASSERT_EQ(static_cast<int>(times.size()), info.frameCount);
    ASSERT_GE(keys.size(), 2u);
    dec.SetPrepareBack(true);
    ASSERT_TRUE(dec.LoadFile(path)) << dec.LastErrMsg();
  }

  bool SeekToTime(int64_t t) { return SeekToTimeLikeTrackBar(dec, t); }

  // The picture shown is frame n, exactly as the plain pass gave it.
  void ExpectShown(int n) {
    ASSERT_EQ(Shown(dec), n);
    ASSERT_EQ(dec.FramePTS(), times[n]);
    ASSERT_EQ(Digest(dec.Picture()), digests[n]) << "frame " << n;
  }

  int LastKeyBefore(int n) const { return ::LastKeyBefore(keys, n); }
  int NextKeyAfter(int n) const { return ::NextKeyAfter(keys, n); }

  // One random step from frame n; returns the frame it must land on.
  int RandomStep(std::mt19937& rng, int n);

  FixtureInfo info;
  std::string path;
  std::vector<int64_t> times;
  std::vector<uint64_t> digests;
  std::vector<int> keys;
  TFFDecoder dec;
};

int BackStep::RandomStep(std::mt19937& rng, int n) {
  const int last = info.frameCount - 1;
  switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
    case 0:
      if (n == last) return n;
      EXPECT_TRUE(dec.Decode()) << dec.LastErrMsg();
      return n + 1;
    case 1:
      EXPECT_TRUE(dec.PrevFrame()) << dec.LastErrMsg();
      return std::max(n - 1, 0);
    case 2: {
      const int k = NextKeyAfter(n);
      EXPECT_EQ(dec.NextKeyFrame(), k >= 0) << dec.LastErrMsg();
      return k >= 0 ? k : n;
    }
    case 3:
      EXPECT_TRUE(dec.PrevKeyFrame()) << dec.LastErrMsg();
      return LastKeyBefore(n);
    case 4: {
      // A time between two pictures lands on the later one.
      const int to = std::uniform_int_distribution<int>(1, last)(rng);
      EXPECT_TRUE(SeekToTime(times[to] - 1)) << dec.LastErrMsg();
      return to;
    }
    default: {
      const int to = std::uniform_int_distribution<int>(0, last)(rng);
      EXPECT_TRUE(SeekToTime(times[to])) << dec.LastErrMsg();
      return to;
    }
  }
}

TEST_P(BackStep, RandomWalkOfMixedStepsShowsThePlainPassPictures) {
  // With the usual cache, and with one of a few pictures where prepared runs are cut short.
  for (size_t pictures : {size_t(0), size_t(6)}) {
    SCOPED_TRACE(pictures);
    ASSERT_TRUE(dec.LoadFile(path));
    if (pictures) dec.SetFrameCacheBytes(pictures * info.width * info.height * 3 / 2);
    std::mt19937 rng(20251211);
    ASSERT_TRUE(dec.Decode());
    int n = 0;
    for (int step = 0; step < 500; ++step) {
      SCOPED_TRACE(step);
      n = RandomStep(rng, n);
      ExpectShown(n);
      // Now and then a person's pause, in which the worker may finish.
      if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
        ASSERT_TRUE(WaitIdle(dec));
      }
    }
    ASSERT_TRUE(WaitIdle(dec));
    const TFFDecoder::TPrepareStats s = dec.PrepareStats();
    EXPECT_GT(s.Used, 0);
    EXPECT_EQ(s.Started, s.Finished + s.Cancelled);
  }
}

TEST_P(BackStep, FirstStepBackAfterAJumpTakesThePreparedPictures) {
  const int key = keys[1];
  ASSERT_TRUE(dec.Decode());
  ASSERT_TRUE(dec.NextKeyFrame());
  ExpectShown(key);
  ASSERT_TRUE(WaitIdle(dec));
  for (int n = key - 1; n >= key - 30; --n) {
    ASSERT_TRUE(dec.PrevFrame()) << dec.LastErrMsg();
    ExpectShown(n);
  }
  EXPECT_GE(dec.PrepareStats().Used, 1);
  // Forward again over the key frame.
  for (int n = key - 29; n <= key + 5; ++n) {
    ASSERT_TRUE(dec.Decode());
    ExpectShown(n);
  }
}

TEST_P(BackStep, ANewRequestCancelsThePreparationForTheOldPosition) {
  const int key = keys[1];
  ASSERT_TRUE(dec.Decode());
  ASSERT_TRUE(dec.NextKeyFrame());
  ExpectShown(key);
  // The run for the pictures before the key frame has started; a seek elsewhere stops it.
  for (int i = 0; i < 30000 && dec.PrepareStats().Started == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(dec.PrepareStats().Busy);
  const int to = key / 2;
  ASSERT_TRUE(SeekToTime(times[to]));
  ExpectShown(to);
  ASSERT_TRUE(WaitIdle(dec));
  TFFDecoder::TPrepareStats s = dec.PrepareStats();
  EXPECT_GE(s.Cancelled, 1);
  EXPECT_EQ(s.Started, s.Finished + s.Cancelled);
  for (int n = to - 1; n >= to - 20; --n) {
    ASSERT_TRUE(dec.PrevFrame());
    ExpectShown(n);
  }
}

TEST_P(BackStep, PicturesPreparedForAnOldPositionAreNeverShown) {
  const int key = keys[1];
  ASSERT_TRUE(dec.Decode());
  ASSERT_TRUE(dec.NextKeyFrame());
  ASSERT_TRUE(WaitIdle(dec));  // its run finished: the pictures before the key frame wait
  const int to = key / 2;
  ASSERT_TRUE(SeekToTime(times[to]));
  for (int n = to - 1; n >= to - 20; --n) {
    ASSERT_TRUE(dec.PrevFrame()) << dec.LastErrMsg();
    ExpectShown(n);
  }
  EXPECT_EQ(dec.PrepareStats().Used, 0);
}

TEST_P(BackStep, WithoutPreparationNoWorkerRuns) {
  dec.SetPrepareBack(false);
  ASSERT_TRUE(dec.Decode());
  ASSERT_TRUE(dec.NextKeyFrame());
  ASSERT_TRUE(dec.PrevFrame());
  ExpectShown(keys[1] - 1);
  EXPECT_EQ(dec.PrepareStats().Started, 0);
  EXPECT_EQ(dec.PrepareStats().Used, 0);
}

INSTANTIATE_TEST_SUITE_P(LongGop, BackStep,
                         ::testing::Values(FixtureKind::LongGopH264Mp4, FixtureKind::LongGopHevcMp4),
                         [](const ::testing::TestParamInfo<FixtureKind>& p) { return FixtureKindName(p.param); });

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
