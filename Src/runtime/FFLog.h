#pragma once
// The log collector: the single sink for what the media components and the FFmpeg libraries
// report. Accepted messages go to OnLog (on the main thread by default) and, when enabled, to a
// log file. One logger per process, reached through FFLogger().
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "FFBaseComponent.h"

enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// FFmpeg level = 8 * ordinal - 8.
int LogLevelToAVLevel(TLogLevel level);
// Ordinal = avLevel / 8 + 1 (truncating), clamped to llQuiet..llDebug.
TLogLevel AVLevelToLogLevel(int avLevel);
// "Quiet", "Panic", "Fatal", "Error", "Warning", "Info", "Verbose", "Debug".
const char* LogLevelName(TLogLevel level);

using TLogEvent = std::function<void(const void* Sender, uint32_t ThreadID, TLogLevel Level,
                                     const std::string& Msg)>;

// One message on its way to the handler and the log file.
struct TLogInfo {
  const void* Sender = nullptr;
  uint32_t ThreadID = 0;
  TLogLevel LogLevel = llInfo;
  std::string LogMsg;
};

// The operating-system id of the calling thread, as it appears in log lines.
uint32_t CurrentLogThreadID();

class TFFLogger : public TFFBaseComponent {
public:
  // Replaces an automatically created logger; a second logger created while this one lives
  // throws std::logic_error "Allow creating only one instance of TFFLogger.".
  TFFLogger();
  ~TFFLogger() override;

  // Ignored when muted or when level is above LogLevel(). May throw when the log file cannot be
  // opened or created.
  void Log(const void* Sender, TLogLevel level, const std::string& msg);
  void LogFmt(const void* Sender, TLogLevel level, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));
  void LogFmtV(const void* Sender, TLogLevel level, const char* fmt, va_list args);

  // Routes FFmpeg's messages here and applies LogLevel() to FFmpeg. The loader calls it once
  // avutil is loaded.
  void InstallAVLogCallback();

  bool Active() const;
  void SetActive(bool v);
  // Highest level accepted; also FFmpeg's level.
  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel v);
  // Log file settings are shared by every logger of the process.
  std::string LogFile() const;
  void SetLogFile(const std::string& v);
  bool LogToFile() const;
  void SetLogToFile(bool v);
  bool TriggerEventInMainThread() const;
  void SetTriggerEventInMainThread(bool v);
  TLogEvent OnLog() const;
  void SetOnLog(TLogEvent v);

  // True unless Active() and (a handler is set, or LogToFile() with a LogFile()).
  bool Muted() const;
  bool AutoCreated() const { return FAutoCreated; }

private:
  struct TAutoCreate {};

public:
  // Only FFLogger() can name the tag.
  explicit TFFLogger(TAutoCreate);

private:
  void Init();
  void UpdateMuted();
  void Deliver(TLogInfo info);
  void WriteToFile(const TLogInfo& info);
  // A line that came from FFmpeg; no LogLevel test, FFmpeg filtered it already.
  void EmitAVLine(uint32_t threadID, int avLevel, const std::string& line);

  static void AVLogCallback(void* avcl, int level, const char* fmt, va_list vl);

  friend TFFLogger& FFLogger();

  mutable std::mutex FLock;
  bool FActive = true;
  TLogLevel FLogLevel = llInfo;
  bool FTriggerEventInMainThread = true;
  TLogEvent FOnLog;
  std::atomic<bool> FMuted{true};
  bool FAutoCreated = false;
  TLogInfo FLogInfo;  // the pending event
};

// The process's logger, created on first use when nobody created one.
TFFLogger& FFLogger();
