// Arbitrary option text for an output through the encoder component's SetOutput, on a tiny clip
// with B-frames and sound that the ffmpeg tool writes once at start-up. An output that is
// accepted is run synchronously, so the set-up the text asked for (encoders, filters, muxer)
// really starts; a run that outgrows the clip (generated or looped pictures) is stopped.
// Input: option text, optionally a line break and the output name's suffix (".mp4",
// "_psp.mp4") after the last one.
// Every file is made inside a private folder, which is also the working folder, and emptied
// after each input.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "engine/FFEncode.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

void SilentLog(void*, int, const char*, va_list) {}

struct TWorkPlace {
  fs::path Dir;    // private folder, also the working folder
  fs::path Input;  // the clip
  fs::path Out;    // emptied after each input
};

bool RunTool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// 0.4 s of 96x64 H.264 (B-frames, a key frame every 5 pictures) and AAC in MP4.
TWorkPlace MakeWorkPlace() {
  char tmpl[] = "/tmp/trimora-fuzz-setoutput-XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    std::abort();
  }
  TWorkPlace w;
  w.Dir = tmpl;
  w.Input = w.Dir / "in.mp4";
  w.Out = w.Dir / "out";
  fs::create_directory(w.Out);
  if (!RunTool({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                "testsrc=size=96x64:rate=25:duration=0.4", "-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=48000:duration=0.4", "-c:v", "libx264", "-g", "5",
                "-bf", "2", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-shortest",
                w.Input.string()})) {
    fprintf(stderr, "fuzz_setoutput: the ffmpeg tool could not write the clip\n");
    std::abort();
  }
  // Relative names in the option text (pass logs, statistics files) land in the folder too.
  fs::current_path(w.Out);
  return w;
}

// The suffix is kept to name characters, so the output always stays in the folder.
std::string CleanSuffix(const std::string& s) {
  std::string out;
  for (char c : s)
    if (out.size() < 16 && (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_'))
      out += c;
  return out.empty() ? std::string(".mkv") : out;
}

void EmptyFolder(const fs::path& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

}  // namespace

// The working folder changes at the first input, so relative paths on the command line (the
// corpus folders, the artifact prefix and files) are made absolute first, and crash files go to
// the folder the fuzzer was started in unless a prefix was given. Inputs may grow to 1 KiB.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<std::string> args;
  static std::vector<char*> argp;
  const fs::path cwd = fs::current_path();
  auto absolute = [&](const std::string& p) {
    return p.empty() || p[0] == '/' ? p : (cwd / p).string();
  };
  bool prefixGiven = false, maxLenGiven = false;
  for (int i = 0; i < *argc; ++i) {
    std::string a = (*argv)[i];
    if (i > 0 && !a.empty() && a[0] != '-') {
      a = absolute(a);
    } else {
      for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path=", "-dict=",
                               "-features_dir=", "-merge_control_file="}) {
        const size_t n = strlen(flag);
        if (a.compare(0, n, flag) == 0) {
          a = flag + absolute(a.substr(n));
          if (std::strcmp(flag, "-artifact_prefix=") == 0) prefixGiven = true;
        }
      }
    }
    if (a.compare(0, 9, "-max_len=") == 0) maxLenGiven = true;
    args.push_back(a);
  }
  if (!prefixGiven) args.push_back("-artifact_prefix=" + cwd.string() + "/");
  // The seeds are short; long option texts (filter graphs, many streams) must still be reachable.
  if (!maxLenGiven) args.push_back("-max_len=1024");
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  *argc = static_cast<int>(args.size());
  *argv = argp.data();
  return 0;
}

// libx264 loses a parameter block when it opens with a bit rate under 1 kbit/s ("-vb 2"); the
// ffmpeg tool loses the same 136 bytes, so it is the library's and not reported. libx265 loses
// one block of its own allocator (1168 bytes, x265_malloc) after a seek with a tiny rate
// ("-ss 04 -vb 2002 -c:v libx265"); nothing of ours is in that leak.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libx264.so\nleak:libx265.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TWorkPlace work = [] {
    MarkMainThread();
    FFLogger();  // created muted: no handler, no log file
    av_log_set_callback(SilentLog);
    TWorkPlace w = MakeWorkPlace();
    return w;
  }();
  static const struct TCleanUp {
    ~TCleanUp() {
      std::error_code ec;
      fs::current_path("/", ec);
      fs::remove_all(work.Dir, ec);
    }
  } cleanUp;
  (void)cleanUp;

  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nl = input.rfind('\n');
  const std::string options = input.substr(0, nl);
  const std::string suffix =
      CleanSuffix(nl == std::string::npos ? std::string() : input.substr(nl + 1));

  {
    TFFEncoder enc;
    const int task = enc.AddTask(work.Input.string());
    if (task < 0) {
      fprintf(stderr, "fuzz_setoutput: the clip does not open: %s\n", enc.LastErrMsg().c_str());
      std::abort();
    }
    TOutputOptions out;
    out.FileOptions = options;
    if (enc.SetOutput(task, (work.Out / ("o" + suffix)).string(), &out) >= 0) {
      const auto start = std::chrono::steady_clock::now();
      enc.SetProgressInterval(100);
      enc.OnProgress = [&](TFFEncoder* e, PProgressInfo p) {
        // The clip lasts 0.4 s: more output than that comes from a generator or a loop.
        if (p->CurrentDuration > 2 * 1000000 ||
            std::chrono::steady_clock::now() - start > std::chrono::seconds(3))
          e->Stop(false);
      };
      enc.StartTask(0);
    }
  }
  EmptyFolder(work.Out);
  // Options with process-wide effect must not leak into the next input.
  av_max_alloc(INT_MAX);
  av_force_cpu_flags(-1);
  av_log_set_callback(SilentLog);
  return 0;
}
