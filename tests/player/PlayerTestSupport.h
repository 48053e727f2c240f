#pragma once
// Shared by the player tests: media made with the ffmpeg tool when the fixture set has none of
// the kind, a player with recorders for its events, and waits that serve the main thread.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "player/FFPlay.h"
#include "player/PlayCore.h"
#include "runtime/FFLoad.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

inline double WallNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A clip made by the ffmpeg tool into the fixture folder (kept for later runs).
inline std::string ToolClip(const std::string& name, const std::string& args) {
  const std::string dir = FixtureDir();
  ::mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  if (::access(path.c_str(), R_OK) == 0) return path;
  const std::string tmp = path + ".tmp" + std::to_string(::getpid()) + "." + name.substr(name.rfind('.') + 1);
  const std::string cmd = "ffmpeg -nostdin -loglevel error -y " + args + " '" + tmp + "'";
  if (std::system(cmd.c_str()) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return std::string();
  }
  return path;
}

// Ten seconds of 25 fps H.264 with AAC sound at 48 kHz. SDL's dummy audio driver paces its
// buffers in whole milliseconds, so its clock runs about 1 % off the wall clock: the pictures
// then keep up through the threshold corrections, which is what the sync test measures.
inline std::string TenSecondClip() {
  return ToolClip("player-10s.mp4",
                  "-f lavfi -i testsrc2=size=320x240:rate=25:duration=10 -f lavfi -i "
                  "sine=frequency=440:sample_rate=48000:duration=10 -c:v libx264 -preset veryfast -g 25 "
                  "-pix_fmt yuv420p -c:a aac -b:a 96k -shortest");
}

inline bool WaitFor(const std::function<bool()>& cond, int ms) { return WaitInMainThread(cond, ms); }
inline void Pump(int ms) { WaitInMainThread([] { return false; }, ms); }

// A player with every event recorded. SDL is claimed from a folder of the test's own, so
// players of one process do not collide.
struct TRecordedPlayer {
  struct TShown {
    double Pts, Audio, Master, Wall;
  };
  std::mutex Lock;
  std::vector<TPlayState> States;
  std::vector<std::pair<int64_t, double>> Positions;  // pts, wall
  std::vector<TShown> Shown;
  std::map<int64_t, int> FrameAt;  // hook pts -> number shown
  TFFPlayer Player;

  explicit TRecordedPlayer(const std::string& sdlFolder = "LibAV") {
    EXPECT_TRUE(Player.LoadAVLib(sdlFolder, true)) << Player.LastErrMsg();
    Player.OnState = [this](TFFPlayer*, TPlayState s) {
      std::lock_guard<std::mutex> g(Lock);
      States.push_back(s);
    };
    Player.OnPosition = [this](TFFPlayer*, int64_t pts) {
      std::lock_guard<std::mutex> g(Lock);
      Positions.emplace_back(pts, WallNow());
    };
    Player.OnPictureShown = [this](TFFPlayer*, double pts, double audio, double master) {
      std::lock_guard<std::mutex> g(Lock);
      Shown.push_back({pts, audio, master, WallNow()});
    };
  }
  void ReadNumbers() {
    Player.SetVideoHook(true);
    Player.OnVideoHook = [this](TFFPlayer*, TBitmap& bmp, int64_t pts, bool&) {
      const int n = ReadFrameNumberBGR(bmp.Bits(), bmp.Stride(), bmp.Width(), bmp.Height(), bmp.BytesPerPixel());
      std::lock_guard<std::mutex> g(Lock);
      FrameAt[pts] = n;
    };
  }
  bool HasState(TPlayState s) {
    std::lock_guard<std::mutex> g(Lock);
    for (TPlayState x : States)
      if (x == s) return true;
    return false;
  }
  size_t ShownCount() {
    std::lock_guard<std::mutex> g(Lock);
    return Shown.size();
  }
  // The number of the picture last put on the screen (-1 when unknown).
  int LastShownNumber(const TFFPlayer& p) {
    std::lock_guard<std::mutex> g(Lock);
    if (Shown.empty()) return -1;
    const playcore::TPlayCore* core = Player.Core();
    const int64_t start = core ? core->StartTime() : 0;
    const int64_t pts = std::llround(Shown.back().Pts * 1000000.0) - start;
    (void)p;
    const auto it = FrameAt.find(pts);
    return it == FrameAt.end() ? -1 : it->second;
  }
};

#define TRIMORA_PLAYER_TEST_MAIN                                        \
  int main(int argc, char** argv) {                                     \
    ::testing::InitGoogleTest(&argc, argv);                             \
    MarkMainThread();                                                   \
    if (std::getenv("TRIMORA_TEST_LOG")) {                              \
      FFLogger().SetTriggerEventInMainThread(false);                    \
      FFLogger().SetLogLevel(llDebug);                                  \
      FFLogger().SetOnLog([](const void*, uint32_t, TLogLevel, const std::string& m) { \
        std::fprintf(stderr, "LOG %s\n", m.c_str());                    \
      });                                                               \
    }                                                                   \
    if (!FFLoader().LoadLibs(AllLibraries)) {                           \
      std::fprintf(stderr, "%s\n", FFLoader().LastErrMsg().c_str());    \
      return 1;                                                         \
    }                                                                   \
    return RUN_ALL_TESTS();                                             \
  }
