// The decoder across threads: the probing event on the main thread, and blocking reads ended by
// the time-out or by a cancel from another thread.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decoder/FFDecode.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace {

// A local server that accepts connections and never sends a byte.
class TSilentServer {
public:
  TSilentServer() {
    FSock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(FSock, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(FSock, 4);
    socklen_t len = sizeof a;
    getsockname(FSock, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
  }
  ~TSilentServer() { close(FSock); }
  std::string URL() const { return "tcp://127.0.0.1:" + std::to_string(FPort); }

private:
  int FSock = -1;
  int FPort = 0;
};

struct TLogCapture {
  TLogCapture() {
    FFLogger().SetOnLog([this](const void*, uint32_t, TLogLevel level, const std::string& msg) {
      std::lock_guard<std::mutex> lock(Lock);
      Lines.push_back(std::to_string(level) + " " + msg);
    });
  }
  ~TLogCapture() { FFLogger().SetOnLog(nullptr); }
  bool Has(const std::string& line) {
    std::lock_guard<std::mutex> lock(Lock);
    for (const std::string& l : Lines)
      if (l == line) return true;
    return false;
  }
  std::mutex Lock;
  std::vector<std::string> Lines;
};

TEST(DecoderThreads, BeforeFindStreamInfoRunsOnTheMainThread) {
  const std::string path = FixturePath(FixtureKind::H264Mp4);
  TFFDecoder dec;
  std::atomic<bool> onMain{false};
  std::atomic<int> calls{0};
  AVFormatContext* seen = nullptr;
  dec.OnBeforeFindStreamInfo = [&](TCustomDecoder* sender, AVFormatContext* ctx) {
    onMain = IsMainThread();
    seen = ctx;
    ++calls;
    EXPECT_EQ(sender, &dec);
  };
  std::atomic<bool> done{false};
  bool ok = false;
  std::thread worker([&] {
    ok = dec.LoadFile(path);
    done = true;
    WakeMainThread();
  });
  EXPECT_TRUE(WaitInMainThread([&] { return done.load(); }, 10000));
  worker.join();
  ASSERT_TRUE(ok) << dec.LastErrMsg();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(seen, dec.FormatContext());

  // Without the main-thread hand-over it runs on the caller's thread.
  dec.SetTriggerEventInMainThread(false);
  done = false;
  std::thread direct([&] {
    ok = dec.LoadFile(path);
    done = true;
  });
  direct.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(onMain);
}

TEST(DecoderThreads, BlockingReadEndsAtTheTimeout) {
  TSilentServer server;
  TLogCapture log;
  TFFDecoder dec;
  dec.SetReadTimeout(300);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(dec.LoadFile(server.URL()));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 10000);
  EXPECT_EQ(dec.LastErrMsg(), server.URL() + ": Immediate exit requested");
  EXPECT_TRUE(log.Has(std::to_string(llInfo) + " connecting/reading timeout"));
}

TEST(DecoderThreads, BlockingReadCanBeCancelledFromAnotherThread) {
  TSilentServer server;
  TLogCapture log;
  TFFDecoder dec;
  std::atomic<bool> stop{false};
  std::thread canceller([&] {
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      dec.SetIOStartTime(0);
    }
  });
  dec.SetReadTimeout(60000);  // far away: only the cancel ends it
  EXPECT_FALSE(dec.LoadFile(server.URL()));
  stop = true;
  canceller.join();
  EXPECT_EQ(dec.LastErrMsg(), server.URL() + ": Immediate exit requested");
  EXPECT_TRUE(log.Has(std::to_string(llInfo) + " connecting/reading canceled"));
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
