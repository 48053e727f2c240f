#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <semaphore>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/version.h>
}

#include "runtime/FFLog.h"
#include "runtime/MainThread.h"

namespace fs = std::filesystem;

namespace {

struct TEntry {
  const void* Sender;
  uint32_t ThreadID;
  TLogLevel Level;
  std::string Msg;
  bool OnMain;
};

// Collects what the logger delivers; safe from any thread.
struct TCollector {
  std::mutex Lock;
  std::vector<TEntry> Entries;

  TLogEvent Handler() {
    return [this](const void* sender, uint32_t tid, TLogLevel level, const std::string& msg) {
      std::lock_guard<std::mutex> guard(Lock);
      Entries.push_back({sender, tid, level, msg, IsMainThread()});
    };
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<std::string> out;
    for (auto& e : Entries)
      out.push_back(e.Msg);
    return out;
  }
  std::vector<TEntry> Snapshot() {
    std::lock_guard<std::mutex> guard(Lock);
    return Entries;
  }
};

// A logging context of FFmpeg's kind, with an optional parent context.
struct TFakeContext {
  const AVClass* Class;
  void* Parent;
};

const AVClass ChildClass = [] {
  AVClass c{};
  c.class_name = "child";
  c.item_name = av_default_item_name;
  c.version = LIBAVUTIL_VERSION_INT;
  c.parent_log_context_offset = offsetof(TFakeContext, Parent);
  return c;
}();

const AVClass ParentClass = [] {
  AVClass c{};
  c.class_name = "parent";
  c.item_name = av_default_item_name;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();

std::string Prefix(const char* name, const void* ctx) {
  char buf[128];
  std::snprintf(buf, sizeof(buf), "[%s @ %p]", name, ctx);
  return buf;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Number of descriptors of this process open on the given file.
int OpenCount(const fs::path& file) {
  int n = 0;
  for (auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(e.path(), ec);
    if (!ec && target == fs::absolute(file))
      ++n;
  }
  return n;
}

class LoggerTest : public ::testing::Test {
protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_INFO);
    Logger = std::make_unique<TFFLogger>();
    Logger->InstallAVLogCallback();
    Logger->SetTriggerEventInMainThread(false);
    Dir = fs::temp_directory_path() /
          ("trimora_logger_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    // The file settings belong to the process, not to this logger.
    Logger->SetLogToFile(false);
    Logger->SetLogFile("");
    Logger.reset();
    fs::remove_all(Dir);
  }
  std::unique_ptr<TFFLogger> Logger;
  TCollector Got;
  fs::path Dir;
};

TEST(LogLevels, BothMappings) {
  const int expected[] = {-8, 0, 8, 16, 24, 32, 40, 48};
  for (int i = llQuiet; i <= llDebug; ++i)
    EXPECT_EQ(LogLevelToAVLevel(static_cast<TLogLevel>(i)), expected[i]);
  EXPECT_EQ(AVLevelToLogLevel(-100), llQuiet);
  EXPECT_EQ(AVLevelToLogLevel(AV_LOG_QUIET), llQuiet);
  EXPECT_EQ(AVLevelToLogLevel(-7), llPanic);
  EXPECT_EQ(AVLevelToLogLevel(7), llPanic);
  EXPECT_EQ(AVLevelToLogLevel(8), llFatal);
  EXPECT_EQ(AVLevelToLogLevel(AV_LOG_ERROR), llError);
  EXPECT_EQ(AVLevelToLogLevel(23), llError);
  EXPECT_EQ(AVLevelToLogLevel(AV_LOG_WARNING), llWarning);
  EXPECT_EQ(AVLevelToLogLevel(AV_LOG_INFO), llInfo);
  EXPECT_EQ(AVLevelToLogLevel(39), llInfo);
  EXPECT_EQ(AVLevelToLogLevel(AV_LOG_VERBOSE), llVerbose);
  EXPECT_EQ(AVLevelToLogLevel(AV_LOG_DEBUG), llDebug);
  EXPECT_EQ(AVLevelToLogLevel(AV_LOG_TRACE), llDebug);
  EXPECT_STREQ(LogLevelName(llQuiet), "Quiet");
  EXPECT_STREQ(LogLevelName(llWarning), "Warning");
  EXPECT_STREQ(LogLevelName(llDebug), "Debug");
}

TEST(LoggerSingleton, AutoCreatedThenReplacedThenOnlyOne) {
  TFFLogger& automatic = FFLogger();
  EXPECT_TRUE(automatic.AutoCreated());
  EXPECT_EQ(&FFLogger(), &automatic);
  {
    TFFLogger mine;
    EXPECT_FALSE(mine.AutoCreated());
    EXPECT_EQ(&FFLogger(), &mine);
    try {
      TFFLogger second;
      FAIL() << "a second logger was created";
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
    }
    EXPECT_EQ(&FFLogger(), &mine);
  }
  EXPECT_TRUE(FFLogger().AutoCreated());
}

TEST(LoggerSingleton, DefaultsFollowFFmpegLevel) {
  av_log_set_level(AV_LOG_VERBOSE);
  TFFLogger logger;
  EXPECT_EQ(logger.LogLevel(), llVerbose);
  EXPECT_TRUE(logger.Active());
  EXPECT_TRUE(logger.TriggerEventInMainThread());
  EXPECT_TRUE(logger.Muted());
  EXPECT_EQ(logger.Version(), "5.2");
}

TEST_F(LoggerTest, LogLevelReachesFFmpeg) {
  Logger->SetLogLevel(llDebug);
  EXPECT_EQ(av_log_get_level(), 48);
  Logger->SetLogLevel(llQuiet);
  EXPECT_EQ(av_log_get_level(), -8);
  Logger->SetLogLevel(llWarning);
  EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING);
}

TEST_F(LoggerTest, NothingDeliveredWhileMuted) {
  EXPECT_TRUE(Logger->Muted());
  Logger->Log(nullptr, llError, "dropped 1");
  av_log(nullptr, AV_LOG_ERROR, "dropped 2\n");
  Logger->SetOnLog(Got.Handler());
  EXPECT_FALSE(Logger->Muted());
  Logger->SetActive(false);
  EXPECT_TRUE(Logger->Muted());
  Logger->Log(nullptr, llError, "dropped 3");
  // A muted logger does not even keep the start of a line.
  av_log(nullptr, AV_LOG_ERROR, "dropped 4 ");
  Logger->SetActive(true);
  av_log(nullptr, AV_LOG_ERROR, "kept\n");
  Logger->Log(nullptr, llError, "kept too");
  EXPECT_EQ(Got.Messages(), (std::vector<std::string>{"kept", "kept too"}));
  // A log file alone unmutes, but only with a name.
  Logger->SetOnLog(nullptr);
  Logger->SetLogToFile(true);
  EXPECT_TRUE(Logger->Muted());
  Logger->SetLogFile((Dir / "x.log").string());
  EXPECT_FALSE(Logger->Muted());
}

TEST_F(LoggerTest, LevelAboveLogLevelIsDropped) {
  Logger->SetOnLog(Got.Handler());
  Logger->SetLogLevel(llWarning);
  const int sender = 0;
  Logger->Log(&sender, llInfo, "info");
  Logger->LogFmt(&sender, llWarning, "warn %d %s %.3f", 7, "x", 0.5);
  Logger->LogFmt(&sender, AVLevelToLogLevel(AV_LOG_ERROR), "%s", "err");
  auto entries = Got.Snapshot();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Msg, "warn 7 x 0.500");
  EXPECT_EQ(entries[0].Level, llWarning);
  EXPECT_EQ(entries[0].Sender, &sender);
  EXPECT_EQ(entries[0].ThreadID, CurrentLogThreadID());
  EXPECT_EQ(entries[1].Level, llError);
}

TEST_F(LoggerTest, PartialLineHeldAndCarriesFirstPrefixOnly) {
  Logger->SetOnLog(Got.Handler());
  TFakeContext parent{&ParentClass, nullptr};
  TFakeContext child{&ChildClass, &parent};
  TFakeContext orphan{&ChildClass, nullptr};
  av_log(&child, AV_LOG_WARNING, "first part, ");
  EXPECT_TRUE(Got.Messages().empty());
  av_log(&orphan, AV_LOG_WARNING, "second part\nthird ");
  av_log(&orphan, AV_LOG_WARNING, "fourth\n");
  const std::string first =
      Prefix("parent", &parent) + " " + Prefix("child", &child) + "first part, second part";
  auto entries = Got.Snapshot();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Msg, first);
  // The rest of a completed line starts a new one without a prefix of its own.
  EXPECT_EQ(entries[1].Msg, "third fourth");
  EXPECT_EQ(entries[0].Level, llWarning);
  EXPECT_EQ(entries[0].Sender, Logger.get());
  EXPECT_EQ(entries[0].ThreadID, CurrentLogThreadID());
  av_log(&orphan, AV_LOG_WARNING, "alone\n");
  EXPECT_EQ(Got.Messages().back(), Prefix("child", &orphan) + "alone");
}

TEST_F(LoggerTest, RepeatedLinesAreCounted) {
  Logger->SetOnLog(Got.Handler());
  for (int i = 0; i < 3; ++i)
    av_log(nullptr, AV_LOG_INFO, "three times\n");
  av_log(nullptr, AV_LOG_INFO, "different\n");
  for (int i = 0; i < 2; ++i)
    av_log(nullptr, AV_LOG_INFO, "two times\n");
  av_log(nullptr, AV_LOG_INFO, "end\n");
  EXPECT_EQ(Got.Messages(),
            (std::vector<std::string>{"three times", "    Last message repeated 2 times",
                                      "different", "two times", "end"}));
}

TEST_F(LoggerTest, EqualPiecesEndingLinesOfTwoThreadsAreNotRepeats) {
  Logger->SetOnLog(Got.Handler());
  // Two threads take turns: each starts a line, then each ends it with the same piece.
  std::binary_semaphore go1{1}, go2{0};
  std::thread t1([&] {
    go1.acquire();
    av_log(nullptr, AV_LOG_INFO, "one");
    go2.release();
    go1.acquire();
    av_log(nullptr, AV_LOG_INFO, " end\n");
    go2.release();
  });
  std::thread t2([&] {
    go2.acquire();
    av_log(nullptr, AV_LOG_INFO, "two");
    go1.release();
    go2.acquire();
    av_log(nullptr, AV_LOG_INFO, " end\n");
  });
  t1.join();
  t2.join();
  EXPECT_EQ(Got.Messages(), (std::vector<std::string>{"one end", "two end"}));
}

TEST_F(LoggerTest, FFmpegLevelFilters) {
  Logger->SetOnLog(Got.Handler());
  Logger->SetLogLevel(llWarning);
  av_log(nullptr, AV_LOG_INFO, "too chatty\n");
  av_log(nullptr, AV_LOG_ERROR, "error\n");
  auto entries = Got.Snapshot();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Msg, "error");
  EXPECT_EQ(entries[0].Level, llError);
}

TEST_F(LoggerTest, LongMessagesArriveWhole) {
  Logger->SetOnLog(Got.Handler());
  std::string big;
  for (int i = 0; big.size() < 10240; ++i)
    big += std::to_string(i % 10);
  TFakeContext ctx{&ChildClass, nullptr};
  av_log(&ctx, AV_LOG_INFO, "%s\n", big.c_str());
  Logger->LogFmt(nullptr, llInfo, "<%s>", big.c_str());
  auto msgs = Got.Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0], Prefix("child", &ctx) + big);
  EXPECT_EQ(msgs[1], "<" + big + ">");
}

TEST_F(LoggerTest, LogFileLinesAndSwitchingFiles) {
  const fs::path a = Dir / "a.log", b = Dir / "b.log";
  {
    std::ofstream out(b, std::ios::binary);
    out << "kept\r\n";
  }
  Logger->SetLogFile(a.string());
  Logger->SetLogToFile(true);
  EXPECT_FALSE(Logger->Muted());
  Logger->Log(nullptr, llWarning, "first");
  av_log(nullptr, AV_LOG_ERROR, "from ffmpeg %d\n", 5);
  EXPECT_EQ(OpenCount(a), 1);

  char tid[16];
  std::snprintf(tid, sizeof(tid), "%.8X", CurrentLogThreadID());
  const std::regex lines(std::string("\\d\\d:\\d\\d:\\d\\d \\d\\d\\d \\[") + tid +
                         "\\] Warning: first\r\n"
                         "\\d\\d:\\d\\d:\\d\\d \\d\\d\\d \\[" + tid +
                         "\\] Error: from ffmpeg 5\r\n");
  EXPECT_TRUE(std::regex_match(ReadFile(a), lines)) << ReadFile(a);

  // The old file is closed at once; the new one is appended to.
  Logger->SetLogFile(b.string());
  EXPECT_EQ(OpenCount(a), 0);
  Logger->Log(nullptr, llInfo, "second");
  const std::regex appended(std::string("kept\r\n\\d\\d:\\d\\d:\\d\\d \\d\\d\\d \\[") + tid +
                            "\\] Info: second\r\n");
  EXPECT_TRUE(std::regex_match(ReadFile(b), appended)) << ReadFile(b);
  const std::string oldFile = ReadFile(a);
  EXPECT_EQ(std::count(oldFile.begin(), oldFile.end(), '\n'), 2);

  // Turning the file off closes it too.
  Logger->SetLogToFile(false);
  EXPECT_EQ(OpenCount(b), 0);
}

TEST_F(LoggerTest, NewLoggerWritesToTheFileAlreadyConfigured) {
  // The file settings outlive the logger that made them: a logger created afterwards must not
  // drop its lines as if nothing were configured.
  const fs::path file = Dir / "kept.log";
  Logger->SetLogFile(file.string());
  Logger->SetLogToFile(true);
  Logger.reset();
  Logger = std::make_unique<TFFLogger>();
  EXPECT_EQ(Logger->LogFile(), file.string());
  EXPECT_FALSE(Logger->Muted());
  Logger->Log(nullptr, llError, "after the switch");
  const std::string text = ReadFile(file);
  EXPECT_NE(text.find("] Error: after the switch\r\n"), std::string::npos) << text;
}

TEST_F(LoggerTest, UnwritableLogFileRaises) {
  Logger->SetLogFile((Dir / "missing" / "x.log").string());
  Logger->SetLogToFile(true);
  try {
    Logger->Log(nullptr, llError, "x");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + (Dir / "missing" / "x.log").string() + "\".", 0), 0u)
        << e.what();
  }
  // FFmpeg's messages must not unwind into FFmpeg.
  av_log(nullptr, AV_LOG_ERROR, "lost\n");
}

TEST_F(LoggerTest, ManyThreadsKeepTheirLinesApart) {
  Logger->SetOnLog(Got.Handler());
  Logger->SetLogFile((Dir / "m.log").string());
  Logger->SetLogToFile(true);
  constexpr int Threads = 4, Lines = 200;
  std::vector<std::thread> threads;
  std::vector<uint32_t> ids(Threads);
  for (int t = 0; t < Threads; ++t)
    threads.emplace_back([&, t] {
      ids[t] = CurrentLogThreadID();
      for (int i = 0; i < Lines; ++i) {
        // Pieces of one line, interleaved with the other threads' pieces.
        av_log(nullptr, AV_LOG_INFO, "t%d ", t);
        std::this_thread::yield();
        av_log(nullptr, AV_LOG_INFO, "line %d", i);
        std::this_thread::yield();
        av_log(nullptr, AV_LOG_INFO, " end\n");
        FFLogger().LogFmt(nullptr, llInfo, "direct t%d %d", t, i);
      }
    });
  for (auto& th : threads)
    th.join();
  auto entries = Got.Snapshot();
  ASSERT_EQ(entries.size(), static_cast<size_t>(Threads * Lines * 2));
  std::vector<int> nextLine(Threads, 0), nextDirect(Threads, 0);
  for (auto& e : entries) {
    int t = -1;
    for (int k = 0; k < Threads; ++k)
      if (ids[k] == e.ThreadID)
        t = k;
    ASSERT_GE(t, 0) << e.Msg;
    if (e.Msg.rfind("direct", 0) == 0) {
      EXPECT_EQ(e.Msg, "direct t" + std::to_string(t) + " " + std::to_string(nextDirect[t]++));
    } else {
      EXPECT_EQ(e.Msg, "t" + std::to_string(t) + " line " + std::to_string(nextLine[t]++) + " end");
    }
  }
  // Every file line is whole.
  std::istringstream file(ReadFile(Dir / "m.log"));
  const std::regex line(
      "\\d\\d:\\d\\d:\\d\\d \\d\\d\\d \\[[0-9A-F]{8}\\] Info: (t\\d line \\d+ end|direct t\\d \\d+)\r");
  std::string l;
  int count = 0;
  while (std::getline(file, l)) {
    EXPECT_TRUE(std::regex_match(l, line)) << l;
    ++count;
  }
  EXPECT_EQ(count, Threads * Lines * 2);
}

TEST_F(LoggerTest, EventsReachTheMainThreadWhileItLogsItself) {
  Logger->SetTriggerEventInMainThread(true);
  Logger->SetOnLog(Got.Handler());
  std::atomic<bool> queued{false};
  SetMainThreadWakeUp([&] { queued = true; });
  std::atomic<int> finished{0};
  constexpr int Workers = 3;
  std::vector<std::thread> workers;
  for (int w = 0; w < Workers; ++w)
    workers.emplace_back([&, w] {
      av_log(nullptr, AV_LOG_INFO, "worker %d ffmpeg\n", w);
      Logger->LogFmt(nullptr, llInfo, "worker %d direct", w);
      ++finished;
    });
  // While workers wait for the main thread, the main thread logs itself: nothing it needs is
  // held by a waiting worker.
  while (!queued)
    std::this_thread::yield();
  av_log(nullptr, AV_LOG_INFO, "main ffmpeg\n");
  Logger->Log(nullptr, llInfo, "main direct");
  EXPECT_TRUE(WaitInMainThread([&] { return finished.load() == Workers; }));
  for (auto& t : workers)
    t.join();
  SetMainThreadWakeUp(nullptr);
  auto entries = Got.Snapshot();
  ASSERT_EQ(entries.size(), static_cast<size_t>(2 * Workers + 2));
  for (auto& e : entries)
    EXPECT_TRUE(e.OnMain) << e.Msg;
}

} // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
