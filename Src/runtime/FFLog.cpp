#include "FFLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

#include "MainThread.h"
#include "MediaTexts.h"

namespace {

const char* const LogLevelNames[] = {"Quiet", "Panic", "Fatal", "Error",
                                     "Warning", "Info", "Verbose", "Debug"};

// Process-wide state of the log collector. Never destroyed: FFmpeg threads may still log while
// static objects go away at exit.
struct TLogGlobals {
  std::mutex SingletonLock;
  TFFLogger* Instance = nullptr;
  std::unique_ptr<TFFLogger> AutoLogger;
  // Automatically created loggers replaced by a user-created one; kept so that references
  // handed out earlier stay valid.
  std::vector<std::unique_ptr<TFFLogger>> Retired;

  // FFmpeg callback state; taken before any logger lock.
  std::mutex CallbackLock;
  std::unordered_map<uint32_t, std::string> Pending; // unfinished line per thread
  std::string LastText;
  int RepeatCount = 0;

  // The log file, shared by every logger.
  std::mutex FileLock;
  std::string LogFile;
  bool LogToFile = false;
  int Fd = -1;

  void CloseFile() {
    if (Fd >= 0)
      ::close(Fd);
    Fd = -1;
  }
};

TLogGlobals& Globals() {
  static TLogGlobals* globals = new TLogGlobals;
  return *globals;
}

std::string FormatV(const char* fmt, va_list args) {
  char buf[2048];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(buf, sizeof(buf), fmt, copy);
  va_end(copy);
  if (n < 0)
    return std::string();
  if (static_cast<size_t>(n) < sizeof(buf))
    return std::string(buf, static_cast<size_t>(n));
  // Longer than the buffer: format again into a block of the exact size.
  std::string out(static_cast<size_t>(n) + 1, '\0');
  va_copy(copy, args);
  std::vsnprintf(out.data(), out.size(), fmt, copy);
  va_end(copy);
  out.resize(static_cast<size_t>(n));
  return out;
}

// "[name @ address]" of a logging context, with its parent first when the class names one.
std::string ContextPrefix(void* avcl) {
  const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
  if (!cls)
    return std::string();
  std::string prefix;
  if (cls->parent_log_context_offset) {
    void* parent =
        *reinterpret_cast<void**>(static_cast<uint8_t*>(avcl) + cls->parent_log_context_offset);
    if (parent && *static_cast<const AVClass* const*>(parent)) {
      const AVClass* parentCls = *static_cast<const AVClass* const*>(parent);
      const char* name = parentCls->item_name ? parentCls->item_name(parent) : "";
      prefix += FormatText("[%s @ %p] ", name ? name : "", parent);
    }
  }
  const char* name = cls->item_name ? cls->item_name(avcl) : "";
  prefix += FormatText("[%s @ %p]", name ? name : "", avcl);
  return prefix;
}

std::string TimeText() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return FormatText("%.2d:%.2d:%.2d %.3d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ts.tv_nsec / 1000000));
}

} // namespace

int LogLevelToAVLevel(TLogLevel level) { return 8 * static_cast<int>(level) - 8; }

TLogLevel AVLevelToLogLevel(int avLevel) {
  int ordinal = avLevel / 8 + 1;
  if (ordinal < llQuiet)
    ordinal = llQuiet;
  if (ordinal > llDebug)
    ordinal = llDebug;
  return static_cast<TLogLevel>(ordinal);
}

const char* LogLevelName(TLogLevel level) {
  const int i = static_cast<int>(level);
  return i >= llQuiet && i <= llDebug ? LogLevelNames[i] : "";
}

uint32_t CurrentLogThreadID() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

TFFLogger::TFFLogger() {
  TLogGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.SingletonLock);
  if (g.Instance && g.Instance->FAutoCreated) {
    g.Retired.push_back(std::move(g.AutoLogger));
    g.Instance = nullptr;
  }
  if (g.Instance)
    throw std::logic_error("Allow creating only one instance of TFFLogger.");
  Init();
  g.Instance = this;
}

TFFLogger::TFFLogger(TAutoCreate) : FAutoCreated(true) { Init(); }

void TFFLogger::Init() {
  FActive = true;
  FTriggerEventInMainThread = true;
  FLogLevel = AVLevelToLogLevel(av_log_get_level());
  std::lock_guard<std::mutex> guard(FLock);
  UpdateMuted();
}

TFFLogger::~TFFLogger() {
  TLogGlobals& g = Globals();
  {
    // The callback uses the singleton under its lock: take it before clearing the reference.
    std::lock_guard<std::mutex> callbackGuard(g.CallbackLock);
    std::lock_guard<std::mutex> guard(g.SingletonLock);
    if (g.Instance == this)
      g.Instance = nullptr;
  }
  std::lock_guard<std::mutex> fileGuard(g.FileLock);
  g.CloseFile();
}

TFFLogger& FFLogger() {
  TLogGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.SingletonLock);
  if (!g.Instance) {
    g.AutoLogger = std::make_unique<TFFLogger>(TFFLogger::TAutoCreate{});
    g.Instance = g.AutoLogger.get();
  }
  return *g.Instance;
}

// Called with FLock held.
void TFFLogger::UpdateMuted() {
  bool toFile;
  {
    TLogGlobals& g = Globals();
    std::lock_guard<std::mutex> guard(g.FileLock);
    toFile = g.LogToFile && !g.LogFile.empty();
  }
  FMuted = !(FActive && (FOnLog || toFile));
}

bool TFFLogger::Muted() const { return FMuted; }

bool TFFLogger::Active() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FActive;
}

void TFFLogger::SetActive(bool v) {
  std::lock_guard<std::mutex> guard(FLock);
  FActive = v;
  UpdateMuted();
}

TLogLevel TFFLogger::LogLevel() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLogLevel;
}

void TFFLogger::SetLogLevel(TLogLevel v) {
  std::lock_guard<std::mutex> guard(FLock);
  if (v == FLogLevel)
    return;
  FLogLevel = v;
  av_log_set_level(LogLevelToAVLevel(v));
}

std::string TFFLogger::LogFile() const {
  TLogGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.FileLock);
  return g.LogFile;
}

void TFFLogger::SetLogFile(const std::string& v) {
  std::lock_guard<std::mutex> guard(FLock);
  {
    TLogGlobals& g = Globals();
    std::lock_guard<std::mutex> fileGuard(g.FileLock);
    if (v == g.LogFile)
      return;
    g.LogFile = v;
    g.CloseFile();
  }
  UpdateMuted();
}

bool TFFLogger::LogToFile() const {
  TLogGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.FileLock);
  return g.LogToFile;
}

void TFFLogger::SetLogToFile(bool v) {
  std::lock_guard<std::mutex> guard(FLock);
  {
    TLogGlobals& g = Globals();
    std::lock_guard<std::mutex> fileGuard(g.FileLock);
    if (v == g.LogToFile)
      return;
    g.LogToFile = v;
    g.CloseFile();
  }
  UpdateMuted();
}

bool TFFLogger::TriggerEventInMainThread() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTriggerEventInMainThread;
}

void TFFLogger::SetTriggerEventInMainThread(bool v) {
  std::lock_guard<std::mutex> guard(FLock);
  FTriggerEventInMainThread = v;
}

TLogEvent TFFLogger::OnLog() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FOnLog;
}

void TFFLogger::SetOnLog(TLogEvent v) {
  std::lock_guard<std::mutex> guard(FLock);
  FOnLog = std::move(v);
  UpdateMuted();
}

void TFFLogger::Log(const void* Sender, TLogLevel level, const std::string& msg) {
  if (FMuted)
    return;
  TLogInfo info;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (level > FLogLevel)
      return;
    FLogInfo.Sender = Sender;
    FLogInfo.ThreadID = CurrentLogThreadID();
    FLogInfo.LogLevel = level;
    FLogInfo.LogMsg = msg;
    info = FLogInfo;
  }
  Deliver(std::move(info));
}

void TFFLogger::LogFmtV(const void* Sender, TLogLevel level, const char* fmt, va_list args) {
  if (FMuted || level > LogLevel())
    return;
  Log(Sender, level, FormatV(fmt, args));
}

void TFFLogger::LogFmt(const void* Sender, TLogLevel level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogFmtV(Sender, level, fmt, args);
  va_end(args);
}

// The event travels as a copy and no lock is held while the handler runs: the main thread may log
// itself while a worker waits here for it.
void TFFLogger::Deliver(TLogInfo info) {
  TLogEvent handler;
  bool inMainThread;
  {
    std::lock_guard<std::mutex> guard(FLock);
    handler = FOnLog;
    inMainThread = FTriggerEventInMainThread;
  }
  if (handler) {
    if (inMainThread && !IsMainThread())
      RunInMainThread([&] { handler(info.Sender, info.ThreadID, info.LogLevel, info.LogMsg); });
    else
      handler(info.Sender, info.ThreadID, info.LogLevel, info.LogMsg);
  }
  WriteToFile(info);
}

void TFFLogger::WriteToFile(const TLogInfo& info) {
  TLogGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.FileLock);
  if (!g.LogToFile || g.LogFile.empty())
    return;
  if (g.Fd < 0) {
    struct stat st{};
    const bool exists = ::stat(g.LogFile.c_str(), &st) == 0;
    // An existing file is appended to, a missing one created.
    g.Fd = ::open(g.LogFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g.Fd < 0) {
      const int err = errno;
      throw std::runtime_error(FormatText(exists ? "Cannot open file \"%s\". %s"
                                             : "Cannot create file \"%s\". %s",
                                      g.LogFile.c_str(), std::strerror(err)));
    }
  }
  std::string line = TimeText();
  line += FormatText(" [%.8X] ", info.ThreadID);
  line += LogLevelName(info.LogLevel);
  line += ": ";
  line += info.LogMsg;
  line += "\r\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(g.Fd, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      const int err = errno;
      throw std::runtime_error(FormatText("Write error on file \"%s\". %s", g.LogFile.c_str(),
                                      std::strerror(err)));
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void TFFLogger::EmitAVLine(uint32_t threadID, int avLevel, const std::string& line) {
  if (FMuted)
    return;
  TLogInfo info;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FLogInfo.Sender = this;
    FLogInfo.ThreadID = threadID;
    FLogInfo.LogLevel = AVLevelToLogLevel(avLevel);
    FLogInfo.LogMsg = line;
    info = FLogInfo;
  }
  Deliver(std::move(info));
}

void TFFLogger::InstallAVLogCallback() {
  av_log_set_callback(&TFFLogger::AVLogCallback);
  av_log_set_level(LogLevelToAVLevel(LogLevel()));
}

// Runs on any thread, codec threads included. Lines are collected under the callback lock and
// delivered after it is released, so a handler may log again and a thread waiting for the main
// thread never holds the lock the main thread needs to log.
void TFFLogger::AVLogCallback(void* avcl, int level, const char* fmt, va_list vl) {
  // The tool's colour bits ride above the level.
  if (level >= 0)
    level &= 0xff;
  if (level > av_log_get_level() || !fmt)
    return;
  try {
    TLogGlobals& g = Globals();
    const uint32_t threadID = CurrentLogThreadID();
    std::vector<std::string> lines;
    TFFLogger* logger;
    {
      std::lock_guard<std::mutex> guard(g.CallbackLock);
      logger = &FFLogger();
      if (logger->Muted())
        return;
      auto item = g.Pending.find(threadID);
      const bool lineStarts = item == g.Pending.end() || item->second.empty();
      std::string text;
      if (avcl && lineStarts)
        text = ContextPrefix(avcl);
      text += FormatV(fmt, vl);
      // Only a whole line repeats; a piece that completes another line must not be swallowed.
      if (lineStarts && !text.empty() && text.back() == '\n' && text == g.LastText) {
        ++g.RepeatCount;
        return;
      }
      if (g.RepeatCount > 1)
        lines.push_back(FormatText("    Last message repeated %d times", g.RepeatCount));
      g.RepeatCount = 0;
      g.LastText = text;
      if (item == g.Pending.end())
        item = g.Pending.emplace(threadID, std::string()).first;
      std::string& pending = item->second;
      pending += text;
      size_t pos;
      while ((pos = pending.find('\n')) != std::string::npos) {
        lines.push_back(pending.substr(0, pos));
        pending.erase(0, pos + 1);
      }
      if (pending.empty())
        g.Pending.erase(item);
    }
    for (const std::string& line : lines)
      logger->EmitAVLine(threadID, level, line);
  } catch (...) {
    // Nothing may unwind into FFmpeg; a failing handler or log file loses this message only.
  }
}
