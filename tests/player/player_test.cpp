// The player component's rules: its event queue, the position step, the library claim, the
// display switch, still images, read-ahead limits, pausing and seeking while paused, and
// opening while playing.
#include <SDL.h>

#include "PlayerTestSupport.h"

namespace {

TEST(PlayerEvents, QueueCollapsesARunOfOneKindAndDropsTheOldestWhenFull) {
  TPlayerEventQueue q;
  for (int i = 1; i <= 5; ++i) q.Post(TPlayerEventQueue::ekPosition, i * 100000);
  EXPECT_EQ(q.Pending(), 1);
  q.Post(TPlayerEventQueue::ekState, psPause);
  q.Post(TPlayerEventQueue::ekPosition, 7);
  int kind = 0;
  int64_t value = 0;
  ASSERT_TRUE(q.Take(&kind, &value));
  EXPECT_EQ(kind, TPlayerEventQueue::ekPosition);
  EXPECT_EQ(value, 500000);
  ASSERT_TRUE(q.Take(&kind, &value));
  EXPECT_EQ(kind, TPlayerEventQueue::ekState);
  ASSERT_TRUE(q.Take(&kind, &value));
  EXPECT_EQ(value, 7);
  EXPECT_FALSE(q.Take(&kind, &value));
  // Alternating kinds never collapse: eleven entries keep the newest ten.
  for (int i = 0; i < 11; ++i) q.Post(i % 2 ? TPlayerEventQueue::ekState : TPlayerEventQueue::ekPosition, i);
  EXPECT_EQ(q.Pending(), 10);
  ASSERT_TRUE(q.Take(&kind, &value));
  EXPECT_EQ(value, 1);
}

TEST(PlayerEvents, PositionsWithin20msOfTheLastReportedAreNotReported) {
  TFFPlayer p;
  p.OnPosition = [](TFFPlayer*, int64_t) {};
  TPlayerEventQueue& q = p.EventQueue();
  int kind = 0;
  int64_t value = 0;
  p.PositionStep(1000000);
  p.PositionStep(1015000);
  p.PositionStep(1020000);  // exactly 20 ms: not more
  ASSERT_TRUE(q.Take(&kind, &value));
  EXPECT_EQ(value, 1000000);
  EXPECT_FALSE(q.Take(&kind, &value));
  p.PositionStep(1020001);
  ASSERT_TRUE(q.Take(&kind, &value));
  EXPECT_EQ(value, 1020001);
  p.PositionStep(1000000);  // backwards after a seek: as far counts
  ASSERT_TRUE(q.Take(&kind, &value));
  EXPECT_EQ(value, 1000000);
}

TEST(PlayerEvents, BurstWhileTheMainThreadIsBusyArrivesCollapsed) {
  const std::string clip = TenSecondClip();
  TRecordedPlayer r;
  ASSERT_TRUE(r.Player.Open(clip, 0, false)) << r.Player.LastErrMsg();
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(r.Lock);
    return r.Positions.size() > 3;
  }, 5000));
  size_t before;
  {
    std::lock_guard<std::mutex> g(r.Lock);
    before = r.Positions.size();
  }
  // Busy for 600 ms: dozens of positions are reported meanwhile.
  usleep(600000);
  const double now = r.Player.MasterClock();
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(r.Lock);
    return r.Positions.size() >= before + 2;
  }, 1000));
  std::vector<int64_t> delivered;
  {
    std::lock_guard<std::mutex> g(r.Lock);
    for (size_t i = before; i < r.Positions.size(); ++i) delivered.push_back(r.Positions[i].first);
  }
  r.Player.Stop(true);
  // The one the event thread held before the wait, then straight the latest: the positions of
  // the busy time collapsed into it.
  ASSERT_GE(delivered.size(), 2u);
  EXPECT_LT(delivered[0] / 1e6, now - 0.4);
  EXPECT_NEAR(delivered[1] / 1e6, now, 0.1);
}

TEST(PlayerLoad, AClaimedSDLFolderIsRefusedToASecondPlayer) {
  TFFPlayer a, b;
  ASSERT_TRUE(a.LoadAVLib("/tmp/trimora-sdl-a", true)) << a.LastErrMsg();
  EXPECT_TRUE(a.SDLLoaded());
  EXPECT_TRUE(a.LoadAVLib("/tmp/trimora-sdl-a", true));  // its own claim again
  EXPECT_FALSE(b.LoadAVLib("/tmp/trimora-sdl-a", true));
  EXPECT_EQ(b.LastErrMsg(), "/tmp/trimora-sdl-a/libSDL2-2.0.so.0 alreay loaded in another instance.");
  EXPECT_FALSE(b.SDLLoaded());
  TFFPlayer c;
  EXPECT_FALSE(c.Open(FixturePath(FixtureKind::H264Mp4)));
  EXPECT_EQ(c.LastErrMsg(), "SDL not loaded.");
}

TEST(PlayerOpen, DisableDisplayUsesTheDummyDriverAndNoPicture) {
  TRecordedPlayer r;
  unsetenv("SDL_VIDEODRIVER");
  r.Player.SetDisableDisplay(true);
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::H264Mp4), 0, false)) << r.Player.LastErrMsg();
  EXPECT_STREQ(SDL_GetCurrentVideoDriver(), "dummy");
  EXPECT_EQ(r.Player.VideoStreamIndex(), -1);
  EXPECT_EQ(r.Player.Core()->AudioStreamIndex(), 1);
  // The environment is left as it was.
  EXPECT_EQ(std::getenv("SDL_VIDEODRIVER"), nullptr);
  Pump(400);
  EXPECT_EQ(r.ShownCount(), 0u);
  EXPECT_EQ(SDL_GetWindowFromID(1), nullptr);
  r.Player.Stop(true);
  setenv("SDL_VIDEODRIVER", "dummy", 1);
}

TEST(PlayerOpen, AStillImagePlaysWithoutPositionsOrEnd) {
  TRecordedPlayer r;
  int64_t duration = -5;
  r.Player.OnFileOpen = [&](TFFPlayer*, int64_t d, int, int, int&, int&) { duration = d; };
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::StillPng), 0, false)) << r.Player.LastErrMsg();
  EXPECT_EQ(duration, 0);
  EXPECT_TRUE(WaitFor([&] { return r.ShownCount() > 0; }, 3000));
  Pump(800);
  EXPECT_FALSE(r.HasState(psEnd));
  EXPECT_EQ(r.Player.State(), psPlay);
  {
    std::lock_guard<std::mutex> g(r.Lock);
    EXPECT_TRUE(r.Positions.empty());
  }
  r.Player.Stop(true);
  EXPECT_EQ(r.Player.State(), psStop);
}

TEST(PlayerOpen, OpenWhilePlayingEndsTheFirstPlaybackFirst) {
  TRecordedPlayer r;
  ASSERT_TRUE(r.Player.Open(TenSecondClip(), 0, false));
  ASSERT_TRUE(WaitFor([&] { return r.ShownCount() > 5; }, 3000));
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::H264Mp4), 0, false)) << r.Player.LastErrMsg();
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(r.Lock);
    return r.States.size() >= 3;
  }, 3000));
  {
    std::lock_guard<std::mutex> g(r.Lock);
    EXPECT_EQ(r.States[0], psPlay);
    EXPECT_EQ(r.States[1], psStop);
    EXPECT_EQ(r.States[2], psPlay);
  }
  EXPECT_EQ(r.Player.FileName(), FixturePath(FixtureKind::H264Mp4));
  EXPECT_LT(r.Player.Core()->Duration(), 3500000);
  r.Player.Stop(true);
  EXPECT_EQ(r.Player.Core(), nullptr);
}

// Without a host window the player makes its own; the size its host answers in OnFileOpen is
// the size of that window, and without an answer the picture's size is.
TEST(PlayerOpen, WithoutAHostWindowTheScreenSizeFromOnFileOpenSizesTheWindow) {
  const auto ownWindowSize = [] {
    for (uint32_t id = 1; id < 1000; ++id)
      if (SDL_Window* w = SDL_GetWindowFromID(id); w && std::string(SDL_GetWindowTitle(w)) == "FFPlayer") {
        int width = 0, height = 0;
        SDL_GetWindowSize(w, &width, &height);
        return std::make_pair(width, height);
      }
    return std::make_pair(0, 0);
  };
  for (const auto& [asked, expected] : {std::make_pair(std::make_pair(200, 150), std::make_pair(200, 150)),
                                        std::make_pair(std::make_pair(0, 0), std::make_pair(320, 240))}) {
    TRecordedPlayer r;
    int frameWidth = 0;
    r.Player.OnFileOpen = [&](TFFPlayer*, int64_t, int fw, int, int& sw, int& sh) {
      frameWidth = fw;
      sw = asked.first;
      sh = asked.second;
    };
    ASSERT_TRUE(r.Player.Open(TenSecondClip(), 0, false)) << r.Player.LastErrMsg();
    ASSERT_TRUE(WaitFor([&] { return r.ShownCount() > 0; }, 3000));
    EXPECT_EQ(frameWidth, 320);
    EXPECT_EQ(ownWindowSize(), expected) << asked.first << "x" << asked.second;
    EXPECT_EQ(r.Player.ScreenWidth(), asked.first);
    r.Player.Stop(true);
  }
}

TEST(PlayerOpen, AFileThatCannotBePlayedFailsWithTheCoreMessage) {
  TRecordedPlayer r;
  EXPECT_FALSE(r.Player.Open("/nonexistent/file.mp4", 0, false));
  EXPECT_EQ(r.Player.LastErrMsg(), "/nonexistent/file.mp4: No such file or directory");
  EXPECT_EQ(r.Player.State(), psStop);
}

TEST(PlayerReading, EachStreamReadsAheadMoreThanFivePackets) {
  TRecordedPlayer r;
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::H264Mp4), 0, true));
  Pump(600);
  playcore::TPlayCore* core = r.Player.Core();
  const int video = core->QueuedPackets(0), audio = core->QueuedPackets(1);
  EXPECT_GT(video, 5);
  EXPECT_GT(audio, 5);
  // Reading stopped at the packet that gave the second stream its sixth.
  EXPECT_EQ(std::min(video, audio), 6);
  r.Player.Stop(true);
}

TEST(PlayerReading, QueuesStopAt15MiB) {
  // Big raw pictures: three packets pass 15 MiB long before a stream has six.
  const std::string clip = ToolClip("player-raw.avi",
                                    "-f lavfi -i testsrc2=size=2560x1600:rate=5:duration=2 -c:v rawvideo "
                                    "-pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  TRecordedPlayer r;
  r.Player.SetDisableAudio(true);
  ASSERT_TRUE(r.Player.Open(clip, 0, true)) << r.Player.LastErrMsg();
  Pump(800);
  playcore::TPlayCore* core = r.Player.Core();
  EXPECT_GT(core->QueuedBytes(), playcore::QueueLimitBytes);
  EXPECT_LT(core->QueuedBytes(), playcore::QueueLimitBytes + 2 * 6144000 + 1000);
  EXPECT_LT(core->QueuedPackets(0), 6);
  r.Player.Stop(true);
}

TEST(PlayerPause, SeekWhilePausedShowsTheNewPictureAndStaysPaused) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  TRecordedPlayer r;
  r.ReadNumbers();
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::H264Mp4), 0, true));
  ASSERT_TRUE(WaitFor([&] { return r.HasState(psPause); }, 3000));
  ASSERT_TRUE(WaitFor([&] { return r.ShownCount() > 0; }, 3000));
  EXPECT_EQ(r.LastShownNumber(r.Player), 0);
  const int wanted = 50;
  r.Player.Seek(0, true, std::llround((FixtureFrameTime(info, wanted) - info.videoStartTime) * 1e6));
  EXPECT_EQ(r.LastShownNumber(r.Player), wanted);
  const size_t shown = r.ShownCount();
  Pump(500);
  EXPECT_EQ(r.ShownCount(), shown) << "pictures went on while paused";
  EXPECT_EQ(r.Player.State(), psPause);
  EXPECT_TRUE(r.Player.Core()->Paused());
  // Playing on starts from there.
  r.Player.Resume();
  ASSERT_TRUE(WaitFor([&] { return r.ShownCount() > shown + 3; }, 3000));
  EXPECT_GT(r.LastShownNumber(r.Player), wanted);
  r.Player.Stop(true);
}

TEST(PlayerFilters, OwnFiltersRunInThePlayersChain) {
  TRecordedPlayer r;
  r.ReadNumbers();
  // Written by the video thread, read here.
  std::atomic<int64_t> shownChroma{-1};
  r.Player.SetFrameHook(true);
  r.Player.OnFrameHook = [&](TFFPlayer*, AVFrame* f, AVPixelFormat, int, int, int64_t) {
    shownChroma = f->data[1][0];
  };
  r.Player.SetVideoFilters("nativehue=0:-100");
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::H264Mp4), 0, true)) << r.Player.LastErrMsg();
  ASSERT_TRUE(WaitFor([&] { return r.ShownCount() > 0; }, 3000));
  EXPECT_EQ(shownChroma.load(), 128);
  EXPECT_EQ(r.LastShownNumber(r.Player), 0);
  r.Player.Stop(true);

  r.Player.SetVideoFilters("nativeeq=abc");
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::H264Mp4), 0, true));
  EXPECT_TRUE(WaitFor([&] { return r.Player.LastErrMsg() == "configure_video_filters() failed"; }, 3000));
  r.Player.Stop(true);
}

TEST(PlayerUpright, ARecordingWithADisplayMatrixPlaysUpright) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264RotatedMp4);
  TRecordedPlayer r;
  r.ReadNumbers();
  // Written by the video thread, read here.
  std::atomic<int> width{-1}, height{-1};
  r.Player.SetFrameHook(true);
  r.Player.OnFrameHook = [&](TFFPlayer*, AVFrame* f, AVPixelFormat, int, int, int64_t) {
    width = f->width;
    height = f->height;
  };
  ASSERT_TRUE(r.Player.Open(FixturePath(FixtureKind::H264RotatedMp4), 0, true)) << r.Player.LastErrMsg();
  ASSERT_TRUE(WaitFor([&] { return r.ShownCount() > 0; }, 3000));
  EXPECT_EQ(r.LastShownNumber(r.Player), 0);
  EXPECT_EQ(width.load(), 240);
  EXPECT_EQ(height.load(), 320);
  r.Player.Seek(0, true, std::llround((FixtureFrameTime(info, 30) - info.videoStartTime) * 1e6));
  EXPECT_EQ(r.LastShownNumber(r.Player), 30);
  r.Player.Stop(true);
}

}  // namespace

TRIMORA_PLAYER_TEST_MAIN
