// Playback measured against the clocks: pictures in step with the sound, positions with the wall
// clock, the end, and where playback starts after a seek.
#include "PlayerTestSupport.h"

namespace {

TEST(Playback, PicturesFollowTheSoundAndPositionsTheWallClock) {
  const std::string clip = TenSecondClip();
  ASSERT_FALSE(clip.empty());
  TRecordedPlayer r;
  const double t0 = WallNow();
  ASSERT_TRUE(r.Player.Open(clip, 0, false)) << r.Player.LastErrMsg();
  ASSERT_GE(r.Player.Core()->AudioStreamIndex(), 0);
  EXPECT_TRUE(WaitFor([&] { return r.HasState(psEnd); }, 16000)) << "no end state";
  const double t1 = WallNow();
  r.Player.Stop(true);
  // The stop reaches the handler through the main thread.
  WaitFor([&] {
    std::lock_guard<std::mutex> g(r.Lock);
    return r.States.back() == psStop;
  }, 2000);

  std::lock_guard<std::mutex> g(r.Lock);
  if (std::getenv("DBG_SYNC"))
    for (const auto& s : r.Shown) std::printf("%.3f %.1f\n", s.Pts, (s.Pts - s.Audio) * 1000);
  ASSERT_GT(r.Shown.size(), 200u);
  // Once the sound runs, every picture is shown within 45 ms of the audio clock.
  double worst = 0;
  int compared = 0;
  const double started = r.Shown.front().Wall + 0.5;
  for (const auto& s : r.Shown) {
    if (s.Wall < started || std::isnan(s.Audio)) continue;
    worst = std::max(worst, std::fabs(s.Pts - s.Audio));
    ++compared;
  }
  EXPECT_GT(compared, 200);
  EXPECT_LE(worst, 0.045) << "worst distance between a picture and the sound";
  // Positions rise with the wall clock, within 5 %.
  ASSERT_GT(r.Positions.size(), 50u);
  const auto& a = r.Positions[r.Positions.size() / 10];
  const auto& b = r.Positions[r.Positions.size() * 9 / 10];
  const double rate = (b.first - a.first) / 1e6 / (b.second - a.second);
  EXPECT_NEAR(rate, 1.0, 0.05);
  std::printf("pictures %d compared, worst picture-to-sound %.1f ms, position rate %.4f, dropped %zu\n", compared,
              worst * 1000, rate, static_cast<size_t>(0));
  for (size_t i = 1; i < r.Positions.size(); ++i) EXPECT_GE(r.Positions[i].first, r.Positions[i - 1].first);
  EXPECT_GE(r.Positions.back().first, 9500000);
  // The whole clip takes its own length, give or take the start.
  EXPECT_NEAR(t1 - t0, 10.0, 1.5);
  EXPECT_EQ(r.States.front(), psPlay);
  EXPECT_EQ(r.States.back(), psStop);
}

TEST(Playback, StartsAtTheSteppedToPicture) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  const std::string file = FixturePath(FixtureKind::H264Mp4);
  // The picture a user stepped to: frame 37, not a key frame.
  const int wanted = 37;
  const int64_t pts = std::llround((FixtureFrameTime(info, wanted) - info.videoStartTime) * 1e6);
  TRecordedPlayer r;
  r.ReadNumbers();
  ASSERT_TRUE(r.Player.Open(file, 0, false)) << r.Player.LastErrMsg();
  r.Player.Seek(0, false, pts);
  const size_t before = r.ShownCount();
  ASSERT_TRUE(WaitFor([&] { return r.Player.Core() && r.Player.Core()->ShownSinceSeek(); }, 5000));
  (void)before;
  Pump(100);
  int first = -1;
  double firstPts = 0;
  {
    std::lock_guard<std::mutex> g(r.Lock);
    // The first picture shown after the seek landed.
    for (auto it = r.Shown.rbegin(); it != r.Shown.rend(); ++it) {
      const int64_t key = std::llround(it->Pts * 1e6) - r.Player.Core()->StartTime();
      auto f = r.FrameAt.find(key);
      if (f != r.FrameAt.end() && f->second >= wanted - 1 && f->second <= wanted + 3) {
        first = f->second;
        firstPts = it->Pts;
      }
    }
  }
  EXPECT_EQ(first, wanted);
  EXPECT_NEAR(firstPts, FixtureFrameTime(info, wanted), 0.002);
  // Positions after the seek start at the picture's time.
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(r.Lock);
    return !r.Positions.empty() && r.Positions.back().first >= pts;
  }, 3000));
  r.Player.Stop(true);
}

TEST(Playback, LoopBetweenPointsNeverPassesTheEndByMoreThanOneReport) {
  const std::string clip = TenSecondClip();
  ASSERT_FALSE(clip.empty());
  TRecordedPlayer r;
  const int64_t start = 2000000, end = 3000000;
  std::vector<int64_t> seen;
  int jumps = 0;
  r.Player.OnPosition = [&](TFFPlayer* p, int64_t pts) {
    seen.push_back(pts);
    if (pts >= end) {
      ++jumps;
      p->Seek(0, false, start);
    }
  };
  ASSERT_TRUE(r.Player.Open(clip, 0, false)) << r.Player.LastErrMsg();
  r.Player.Seek(0, false, start);
  WaitFor([&] { return jumps >= 3; }, 8000);
  r.Player.Stop(true);
  EXPECT_GE(jumps, 3);
  // One report interval: the largest step between two reports while playing on.
  int64_t interval = 0;
  for (size_t i = 1; i < seen.size(); ++i)
    if (seen[i] > seen[i - 1] && seen[i] < end) interval = std::max(interval, seen[i] - seen[i - 1]);
  ASSERT_GT(interval, 0);
  for (int64_t pts : seen) EXPECT_LE(pts, end + interval);
}

TEST(Playback, WithoutSoundTheVideoClockTimesIt) {
  const std::string file = FixturePath(FixtureKind::H264Mp4);
  TRecordedPlayer r;
  r.Player.SetDisableAudio(true);
  const double t0 = WallNow();
  ASSERT_TRUE(r.Player.Open(file, 0, false)) << r.Player.LastErrMsg();
  EXPECT_EQ(r.Player.Core()->AudioStreamIndex(), -1);
  EXPECT_EQ(r.Player.Core()->MasterSyncType(), stVideoMaster);
  EXPECT_TRUE(WaitFor([&] { return r.HasState(psEnd); }, 8000));
  const double t1 = WallNow();
  r.Player.Stop(true);
  EXPECT_NEAR(t1 - t0, 3.0, 0.6);
  std::lock_guard<std::mutex> g(r.Lock);
  ASSERT_GT(r.Positions.size(), 20u);
  const auto& a = r.Positions[r.Positions.size() / 10];
  const auto& b = r.Positions[r.Positions.size() * 9 / 10];
  EXPECT_NEAR((b.first - a.first) / 1e6 / (b.second - a.second), 1.0, 0.05);
  EXPECT_GE(r.Shown.size(), 70u);
}

}  // namespace

TRIMORA_PLAYER_TEST_MAIN
