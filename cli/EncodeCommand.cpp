// trimora-cli encode: one task through the encoder component, as the window runs it (worker
// thread, events served on the main thread), with the engine's progress line and statistics.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "engine/FFEncode.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"

namespace cli {
namespace {

constexpr int kInterrupted = 130;

std::atomic<bool> gStopRequested{false};

void OnSignal(int) {
  gStopRequested = true;
  WakeMainThread();
}

const char* const kUsage =
    "encode [--input-options TEXT] INPUT OUTPUT [OPTION_TEXT]\n\n"
    "  encode  runs one task through the transcoding engine: INPUT with --input-options,\n"
    "          OUTPUT with OPTION_TEXT (\"-ss 10 -t 5 -c:v mpeg4\"); prints the progress line\n"
    "          and the final statistics; 0 when finished, 1 with the task's error, 130\n"
    "          after Ctrl+C (the output is then ended validly)\n";

int CmdEncode(const std::vector<std::string>& args) {
  std::string inputOptions;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--input-options") {
      if (i + 1 >= args.size()) return Usage();
      inputOptions = args[++i];
    } else if (args[i].size() > 2 && args[i].compare(0, 2, "--") == 0) {
      fprintf(stderr, "Bad argument: %s\n", args[i].c_str());
      return Usage();
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.size() < 2 || rest.size() > 3) return Usage();
  return RunEncodeJob(rest[0], inputOptions, rest[1], rest.size() > 2 ? rest[2] : std::string());
}

TRIMORA_CLI_COMMAND("encode", kUsage, CmdEncode);

// "4:05", or "1:02:03" from an hour on.
std::string ClockText(int64_t seconds) {
  char buf[32];
  if (seconds >= 3600)
    snprintf(buf, sizeof buf, "%d:%02d:%02d", static_cast<int>(seconds / 3600),
             static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  else
    snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  return buf;
}

// "[###########                   ]  37%  0:12 left"; secondsLeft < 0 while it cannot be told.
std::string ProgressBarText(double share, double secondsLeft) {
  constexpr int kWidth = 30;
  share = std::clamp(share, 0.0, 1.0);
  const int filled = static_cast<int>(share * kWidth);
  // Rounded down, so 100 % only shows when all of it is done.
  const int percent = static_cast<int>(std::floor(share * 100));
  char pct[16];
  snprintf(pct, sizeof pct, "%3d%%", percent);
  return "[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] " + pct + "  " +
         (secondsLeft < 0 ? std::string("-:--") : ClockText(std::llround(secondsLeft))) + " left";
}

}  // namespace

int RunEncodeJob(const std::string& input, const std::string& inputOptions, const std::string& output,
                 const std::string& optionText, bool progressBar,
                 const std::function<int(TFFEncoder& encoder, int task)>& setOutput) {
  MarkMainThread();
  std::mutex statsLock;
  std::string stats;
  FFLogger().SetTriggerEventInMainThread(false);
  FFLogger().SetOnLog([&](const void*, uint32_t, TLogLevel level, const std::string& msg) {
    if (level == llInfo && msg.compare(0, 6, "video:") == 0) {
      std::lock_guard<std::mutex> lock(statsLock);
      stats = msg;
    }
  });

  TFFEncoder enc;
  TInputOptions in;
  in.FileOptions = inputOptions;
  int task = enc.AddTask(input, &in);
  if (task < 0) {
    fprintf(stderr, "%s\n", enc.LastErrMsg().c_str());
    FFLogger().SetOnLog(nullptr);
    return ecFailed;
  }
  if (setOutput) {
    if (setOutput(enc, task) < 0) {
      FFLogger().SetOnLog(nullptr);
      return ecFailed;
    }
  } else {
    TOutputOptions out;
    out.FileOptions = optionText;
    if (enc.SetOutput(task, output, &out) < 0) {
      fprintf(stderr, "%s\n", enc.LastErrMsg().c_str());
      FFLogger().SetOnLog(nullptr);
      return ecFailed;
    }
  }
  const bool tty = isatty(fileno(stdout));
  bool pendingLine = false;
  size_t shownWidth = 0;  // of the text now on the line, so a shorter one blanks the rest
  const auto startTime = std::chrono::steady_clock::now();
  auto showInPlace = [&](const std::string& text) {
    const size_t pad = progressBar && shownWidth > text.size() ? shownWidth - text.size() : 0;
    printf("\r%s%s", text.c_str(), std::string(pad, ' ').c_str());
    shownWidth = text.size();
    pendingLine = true;
  };
  bool barShown = false;
  enc.OnProgress = [&](TFFEncoder* e, PProgressInfo p) {
    const std::string& text = e->Task(p->TaskIndex)->LastReportText;
    if (tty && progressBar && p->TotalDuration > 0) {
      const double share = static_cast<double>(p->CurrentDuration) / static_cast<double>(p->TotalDuration);
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
      // The speed so far tells the rest once a little of the range is done.
      const double left = share >= 0.01 && share < 1 ? elapsed * (1 - share) / share : share >= 1 ? 0 : -1;
      showInPlace(ProgressBarText(share, left));
      barShown = true;
    } else if (tty) {
      showInPlace(text);
    } else {
      printf("%s\n", text.c_str());
    }
    fflush(stdout);
  };
  std::atomic<bool> allDone{false};
  TTerminateInfo result;
  enc.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& t) {
    if (t.TaskIndex >= 0) result = t;
    else allDone = true;
  };

  gStopRequested = false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  struct sigaction oldInt {}, oldTerm {};
  sigaction(SIGINT, &sa, &oldInt);
  sigaction(SIGTERM, &sa, &oldTerm);

  enc.StartTask(1);
  bool stopped = false;
  while (!allDone) {
    WaitInMainThread([&] { return allDone.load() || (gStopRequested && !stopped); }, 200);
    if (gStopRequested && !stopped) {
      stopped = true;
      enc.Stop(true);
    }
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  // The last report may stop short of the range's end by a picture's length.
  if (barShown && result.Finished && !result.Exception && !stopped) showInPlace(ProgressBarText(1, 0));
  if (pendingLine) printf("\n");
  {
    std::lock_guard<std::mutex> lock(statsLock);
    if (!stats.empty()) {
      while (!stats.empty() && (stats.back() == '\n' || stats.back() == '\r')) stats.pop_back();
      printf("%s\n", stats.c_str());
    }
  }
  fflush(stdout);
  FFLogger().SetOnLog(nullptr);
  for (const std::string& note : enc.Task(task)->StoppedOutputNotes)
    fprintf(stderr, "%s\n", note.c_str());
  if (result.Exception) {
    fprintf(stderr, "%s\n", result.ExceptionMsg.c_str());
    return ecFailed;
  }
  if (stopped) return kInterrupted;
  return result.Finished ? ecOK : ecFailed;
}

}  // namespace cli
