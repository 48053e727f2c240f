// trimora-cli play: plays a file in an SDL window of its own and prints the player's state and
// position events, looping between the points like the window's playback panel.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "player/FFPlay.h"
#include "runtime/MainThread.h"

extern "C" {
#include <libavutil/time.h>
}

namespace cli {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) { gInterrupted = 1; }

int CmdPlay(const std::vector<std::string>& args) {
  std::string file;
  int64_t start = -1, end = -1, length = -1;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    int64_t* target = a == "--start" ? &start : a == "--end" ? &end : a == "--for" ? &length : nullptr;
    if (target) {
      if (i + 1 >= args.size() || !ParseSeconds(args[i + 1], target) || *target < 0) {
        std::fprintf(stderr, "%s needs a number of seconds\n", a.c_str());
        return ecUsage;
      }
      ++i;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "Unknown option %s\n", a.c_str());
      return ecUsage;
    } else if (file.empty()) {
      file = a;
    } else {
      return Usage();
    }
  }
  if (file.empty()) return Usage();
  if (start >= 0 && end >= 0 && end <= start) {
    std::fprintf(stderr, "--end must lie after --start\n");
    return ecUsage;
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  TFFPlayer player;
  if (!player.LoadAVLib(ExeDir() + "/LibAV", true)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return ecFailed;
  }
  bool finished = false;
  player.OnState = [&](TFFPlayer*, TPlayState s) {
    std::printf("state %s\n", PlayStateName(s));
    if (s == psEnd || s == psStop) finished = true;
  };
  player.OnPosition = [&](TFFPlayer* p, int64_t pts) {
    std::printf("position %lld\n", static_cast<long long>(pts));
    if (end >= 0 && pts >= end) {
      // Both points loop; an end point alone ends playback there.
      if (start >= 0)
        p->Seek(0, false, start);
      else
        finished = true;
    }
  };
  if (!player.Open(file, 0, false)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return ecFailed;
  }
  if (start > 0) player.Seek(0, false, start);

  gInterrupted = 0;
  auto oldInt = std::signal(SIGINT, OnInterrupt);
  auto oldTerm = std::signal(SIGTERM, OnInterrupt);
  const int64_t began = av_gettime_relative();
  while (!finished && !gInterrupted) {
    WaitInMainThread([&] { return finished || gInterrupted; }, 50);
    if (length >= 0 && av_gettime_relative() - began >= length) break;
  }
  player.Stop(true);
  // The last events (the stop) still reach the terminal.
  WaitInMainThread([] { return false; }, 50);
  std::signal(SIGINT, oldInt);
  std::signal(SIGTERM, oldTerm);
  return ecOK;
}

TRIMORA_CLI_COMMAND("play", "play FILE [--start SECONDS] [--end SECONDS] [--for SECONDS]\n\n"
                    "  play    plays FILE in a window of its own with sound, printing \"state NAME\" for\n"
                    "          every state and \"position MICROSECONDS\" for every position event; with\n"
                    "          both points it loops between them; it ends at the end of the file, after\n"
                    "          --for seconds or on Ctrl+C\n",
                    CmdPlay);

}  // namespace
}  // namespace cli
