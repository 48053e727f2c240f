// Playback on a 1920x1080 H.264 clip with sound under SDL's dummy drivers: the time from Open to
// the first picture shown, pictures dropped per 100 over 20 s, and the time from a track-bar
// seek to the new picture; each beside a baseline measured in the same run (the decoder's own
// first picture and seek, and the ffmpeg tool decoding the clip).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "decoder/FFDecode.h"
#include "player/FFPlay.h"
#include "runtime/FFLoad.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

std::string MakeClip() {
  const std::string dir = FixtureDir();
  ::mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/bench-play1080.mp4";
  if (::access(path.c_str(), R_OK) == 0) return path;
  const std::string tmp = path + ".tmp.mp4";
  const std::string cmd =
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=24 -f lavfi -i "
      "sine=frequency=440:sample_rate=48000:duration=24 -c:v libx264 -preset veryfast -g 60 -pix_fmt yuv420p "
      "-c:a aac -b:a 128k -shortest '" + tmp + "'";
  if (std::system(cmd.c_str()) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) return std::string();
  return path;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main() {
  MarkMainThread();
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  if (!FFLoader().LoadLibs(AllLibraries)) return 1;
  const std::string clip = MakeClip();
  if (clip.empty()) {
    std::fprintf(stderr, "cannot make the clip\n");
    return 1;
  }

  // Baselines: the decoder's first picture and its seek to a time.
  TFFDecoder dec;
  dec.LoadAVLib("LibAV");
  auto d0 = Clock::now();
  dec.LoadFile(clip);
  dec.Decode();
  const double decoderFirst = Ms(d0, Clock::now());

  TFFPlayer player;
  if (!player.LoadAVLib("LibAV", true)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return 1;
  }
  std::atomic<int> shown{0};
  std::atomic<int64_t> firstShownNs{0};
  player.OnPictureShown = [&](TFFPlayer*, double, double, double) {
    if (shown++ == 0) firstShownNs = Clock::now().time_since_epoch().count();
  };
  player.OnState = [](TFFPlayer*, TPlayState) {};
  const auto t0 = Clock::now();
  if (!player.Open(clip, 0, false)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return 1;
  }
  const double openReturned = Ms(t0, Clock::now());
  WaitInMainThread([&] { return shown.load() > 0; }, 5000);
  const double openToFirst = (firstShownNs.load() - t0.time_since_epoch().count()) / 1e6;

  // 20 s of playback.
  WaitInMainThread([] { return false; }, 20000);
  const int dropped = player.DroppedPictures();
  const int played = player.ShownPictures() + dropped;

  // Track-bar seeks while playing: the wait ends when the new picture is on the screen.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int64_t> at(500000, 20000000);
  std::vector<double> seekMs, decoderSeekMs;
  for (int i = 0; i < 15; ++i) {
    const int64_t t = at(rng);
    const auto s0 = Clock::now();
    player.Seek(AVSEEK_FLAG_ANY, true, t);
    seekMs.push_back(Ms(s0, Clock::now()));
    const auto b0 = Clock::now();
    if (dec.Seek(t, 0))
      while (dec.Decode())
        if (dec.FramePTS() >= t) break;
    decoderSeekMs.push_back(Ms(b0, Clock::now()));
    WaitInMainThread([] { return false; }, 300);
  }
  player.Stop(true);

  // The ffmpeg tool decoding the whole clip as fast as it can: the machine's headroom.
  const auto f0 = Clock::now();
  const int rc = std::system(("ffmpeg -nostdin -loglevel error -threads 0 -i '" + clip + "' -f null - ").c_str());
  const double ffmpegMs = Ms(f0, Clock::now());

  std::printf("open to first picture: %.1f ms (target <= 150; Open returned after %.1f ms), decoder's first "
              "picture %.1f ms, ratio %.2f\n",
              openToFirst, openReturned, decoderFirst, openToFirst / decoderFirst);
  std::printf("dropped per 100 over 20 s: %.2f (%d of %d, target 0); ffmpeg decodes the 24 s clip in %.0f ms "
              "(%.1fx real time)%s\n",
              played > 0 ? 100.0 * dropped / played : 0.0, dropped, played, ffmpegMs, 24000.0 / ffmpegMs,
              rc == 0 ? "" : " (ffmpeg failed)");
  const double worst = *std::max_element(seekMs.begin(), seekMs.end());
  std::printf("track-bar seek to picture shown: median %.1f ms, worst %.1f ms; decoder seek median %.1f ms, "
              "worst %.1f ms; median ratio %.2f\n",
              Median(seekMs), worst, Median(decoderSeekMs),
              *std::max_element(decoderSeekMs.begin(), decoderSeekMs.end()), Median(seekMs) / Median(decoderSeekMs));
  return 0;
}
