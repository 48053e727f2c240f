// Decoding, seeking and stepping land on exactly the right picture in every fixture with video:
// the frame number is read from the picture itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "StepSupport.h"
#include "support/Fixtures.h"

namespace {

std::vector<FixtureKind> VideoKinds() {
  std::vector<FixtureKind> kinds;
  for (FixtureKind k : AllFixtureKinds(false)) {
    FixtureInfo info = GetFixtureInfo(k);
    if (info.hasVideo && info.frameCount > 1) kinds.push_back(k);
  }
  // Its first decoding times lie two pictures ahead of its first picture's time.
  kinds.push_back(FixtureKind::H264Ts);
  // Times that wrap half way through; pictures turned upright by a display matrix.
  kinds.push_back(FixtureKind::H264WrapTs);
  kinds.push_back(FixtureKind::H264RotatedMp4);
  // Key frames that are no IDR, with B-frames before them that refer across: decoding from
  // the last one must still give every picture up to the end.
  kinds.push_back(FixtureKind::H264OpenGopMkv);
  return kinds;
}

int Shown(const TFFDecoder& dec) { return dec.Picture() ? ReadFrameNumber(dec.Picture()) : -2; }

class Stepping : public ::testing::TestWithParam<FixtureKind> {
protected:
  void SetUp() override {
    info = GetFixtureInfo(GetParam());
    path = FixturePath(GetParam());
    ASSERT_TRUE(dec.LoadFile(path)) << dec.LastErrMsg();
  }

  // Times of every frame and the key frames as the codec flags them, from a plain pass.
  std::vector<int64_t> FrameTimes() {
    TFFDecoder d;
    EXPECT_TRUE(d.LoadFile(path));
    std::vector<int64_t> times(info.frameCount, AV_NOPTS_VALUE);
    keys.clear();
    while (d.Decode()) {
      int n = Shown(d);
      if (n >= 0 && n < info.frameCount) times[n] = d.FramePTS();
      if (d.PictureKeyFrame()) keys.push_back(n);
    }
    return times;
  }

  // The picture at time t as the track bar finds it.
  bool SeekToTime(int64_t t) { return SeekToTimeLikeTrackBar(dec, t); }

  int LastKeyBefore(int n) const { return ::LastKeyBefore(keys, n); }
  int NextKeyAfter(int n) const { return ::NextKeyAfter(keys, n); }

  FixtureInfo info;
  std::string path;
  std::vector<int> keys;
  TFFDecoder dec;
};

TEST_P(Stepping, DecodeVisitsEveryFrameOnceThenReportsTheEnd) {
  std::vector<int> seen;
  int64_t lastPts = AV_NOPTS_VALUE;
  while (dec.Decode()) {
    seen.push_back(Shown(dec));
    EXPECT_NE(dec.FramePTS(), AV_NOPTS_VALUE);
    if (lastPts != AV_NOPTS_VALUE) {
      EXPECT_GT(dec.FramePTS(), lastPts) << "frame " << seen.back();
    }
    lastPts = dec.FramePTS();
  }
  ASSERT_EQ(static_cast<int>(seen.size()), info.frameCount);
  for (int n = 0; n < info.frameCount; ++n) ASSERT_EQ(seen[n], n);
  EXPECT_TRUE(dec.EndOfStream());
  EXPECT_EQ(dec.LastErrMsg(), "TFFDecoder.Decode() for video: stream eof reached.");
  EXPECT_FALSE(dec.Decode());
  EXPECT_EQ(dec.LastErrMsg(), "TFFDecoder.Decode() for video: stream eof reached.");
}

TEST_P(Stepping, PrevFrameFromEveryFrameLandsOnThePreviousOne) {
  // Without kept pictures every step back decodes again from a key frame.
  for (size_t cache : {size_t(0), size_t(128) << 20}) {
    SCOPED_TRACE(cache);
    ASSERT_TRUE(dec.LoadFile(path));
    dec.SetFrameCacheBytes(cache);
    for (int n = 0; n < info.frameCount; ++n) ASSERT_TRUE(dec.Decode());
    ASSERT_EQ(Shown(dec), info.frameCount - 1);
    for (int n = info.frameCount - 1; n > 0; --n) {
      ASSERT_TRUE(dec.PrevFrame()) << dec.LastErrMsg();
      ASSERT_EQ(Shown(dec), n - 1);
    }
    // At the start it stays on the first picture.
    EXPECT_TRUE(dec.PrevFrame());
    EXPECT_EQ(Shown(dec), 0);
    // Going forward again continues with the following pictures.
    for (int n = 1; n < std::min(info.frameCount, 30); ++n) {
      ASSERT_TRUE(dec.Decode());
      ASSERT_EQ(Shown(dec), n);
    }
  }
}

TEST_P(Stepping, BackAndForthAcrossKeyFrames) {
  dec.SetFrameCacheBytes(4 * size_t(info.width) * info.height);  // about 2 pictures
  int n = 0;
  ASSERT_TRUE(dec.Decode());
  const int moves[] = {5, -3, 12, -7, 20, -15, 30, -2, 9};
  for (int m : moves) {
    for (int i = 0; i < (m > 0 ? m : -m); ++i) {
      int want = m > 0 ? n + 1 : n - 1;
      if (want < 0 || want >= info.frameCount) break;
      ASSERT_TRUE(m > 0 ? dec.Decode() : dec.PrevFrame()) << dec.LastErrMsg();
      ASSERT_EQ(Shown(dec), want);
      n = want;
    }
  }
}

TEST_P(Stepping, SeekThenDecodeLandsOnTheFirstFrameAtOrAfterTheTarget) {
  std::vector<int64_t> t = FrameTimes();
  // Without kept pictures, the pictures before the target that nothing refers to are skipped.
  for (size_t cache : {size_t(0), size_t(128) << 20})
  for (int n = 0; n < info.frameCount; ++n) {
    dec.SetFrameCacheBytes(cache);
    ASSERT_NE(t[n], AV_NOPTS_VALUE);
    ASSERT_TRUE(SeekToTime(t[n])) << n << ": " << dec.LastErrMsg();
    ASSERT_EQ(Shown(dec), n) << "target " << t[n];
    if (n > 0) {
      int64_t between = t[n] - 1;
      ASSERT_TRUE(SeekToTime(between));
      ASSERT_EQ(Shown(dec), n) << "target " << between;
    }
  }
}

TEST_P(Stepping, SeeksBackwardsFromTheEndLandOnTheRightPicture) {
  // Reading on builds the demuxer's index; a seek back must still find the first group of
  // pictures (in MPEG-TS the decoding times of the first pictures run ahead of their times).
  std::vector<int64_t> t = FrameTimes();
  while (dec.Decode()) {
  }
  for (int n = info.frameCount - 1; n >= 0; --n) {
    ASSERT_TRUE(SeekToTime(t[n])) << n << ": " << dec.LastErrMsg();
    ASSERT_EQ(Shown(dec), n) << "target " << t[n];
  }
  ASSERT_TRUE(dec.Seek(0, 0));
  ASSERT_TRUE(dec.Decode());
  EXPECT_EQ(Shown(dec), 0);
}

TEST_P(Stepping, KeyFrameStepsLandOnTheNeighbouringKeyFrames) {
  std::vector<int64_t> t = FrameTimes();
  dec.SetFrameCacheBytes(0);
  for (int n = 0; n < info.frameCount; ++n) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(SeekToTime(t[n]));
    ASSERT_EQ(Shown(dec), n);
    ASSERT_TRUE(dec.PrevKeyFrame()) << dec.LastErrMsg();
    EXPECT_EQ(Shown(dec), LastKeyBefore(n));
    EXPECT_TRUE(dec.PictureKeyFrame());

    ASSERT_TRUE(SeekToTime(t[n]));
    int next = NextKeyAfter(n);
    if (next < 0) {
      EXPECT_FALSE(dec.NextKeyFrame());
    } else {
      ASSERT_TRUE(dec.NextKeyFrame()) << dec.LastErrMsg();
      EXPECT_EQ(Shown(dec), next);
      EXPECT_TRUE(dec.PictureKeyFrame());
      // Decoding on continues after the key frame.
      if (next + 1 < info.frameCount) {
        ASSERT_TRUE(dec.Decode());
        EXPECT_EQ(Shown(dec), next + 1);
      }
    }
  }
}

TEST_P(Stepping, KeyFrameWalksInBothDirections) {
  FrameTimes();
  ASSERT_TRUE(dec.Decode());
  std::vector<int> forward{0};
  while (dec.NextKeyFrame()) forward.push_back(Shown(dec));
  EXPECT_EQ(forward, keys);
  std::vector<int> backward{Shown(dec)};
  while (Shown(dec) > 0) {
    ASSERT_TRUE(dec.PrevKeyFrame()) << dec.LastErrMsg();
    backward.push_back(Shown(dec));
    ASSERT_LE(backward.size(), keys.size() + 1);
  }
  std::vector<int> expected(keys.rbegin(), keys.rend());
  EXPECT_EQ(backward, expected);
  // At the start it succeeds and stays.
  EXPECT_TRUE(dec.PrevKeyFrame());
  EXPECT_EQ(Shown(dec), 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Stepping, ::testing::ValuesIn(VideoKinds()),
                         [](const ::testing::TestParamInfo<FixtureKind>& p) { return FixtureKindName(p.param); });

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
