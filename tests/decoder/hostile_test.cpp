// Inputs a hostile or unlucky user hands the decoder: frames lasting for decades, FIFOs and
// sockets that would block the open call, and file names that FFmpeg would read as a protocol
// or a picture-sequence pattern.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

int Shown(const TFFDecoder& dec) { return dec.Picture() ? ReadFrameNumber(dec.Picture()) : -2; }

// The picture at time t as the track bar finds it.
bool SeekToTime(TFFDecoder& dec, int64_t t) {
  if (!dec.Seek(t, 0)) return false;
  while (dec.Decode())
    if (dec.FramePTS() >= t || t <= 0) return true;
  return false;
}

class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/trimora-hostile-XXXXXX";
    if (mkdtemp(tmpl)) Path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(Path, ec);
  }
  std::string operator/(const std::string& name) const { return Path + "/" + name; }
  std::string Path;
};

// Every step lands on the right picture although one frame lasts 2^31-1 seconds: the cache
// window and the back-off arithmetic would overflow and skip the wrong pictures otherwise.
TEST(HostileInput, AbsurdlySlowFrameRateStepsExactly) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::SlowRateMp4);
  const std::string path = FixturePath(FixtureKind::SlowRateMp4);
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(path)) << dec.LastErrMsg();
  std::vector<int64_t> times;
  while (dec.Decode()) {
    if (times.empty()) {
      ASSERT_GT(dec.FrameDuration(), int64_t(2) * 1000000 * 1000000000) << "the patch did not take";
    }
    ASSERT_EQ(Shown(dec), static_cast<int>(times.size()));
    times.push_back(dec.FramePTS());
  }
  ASSERT_EQ(static_cast<int>(times.size()), info.frameCount);
  ASSERT_TRUE(dec.EndOfStream());
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]);

  // Back one by one from the last picture, with and without the cache of pictures.
  for (size_t cache : {size_t(128) << 20, size_t(0)}) {
    SCOPED_TRACE(cache);
    dec.SetFrameCacheBytes(cache);
    ASSERT_TRUE(SeekToTime(dec, times.back())) << dec.LastErrMsg();
    ASSERT_EQ(Shown(dec), info.frameCount - 1);
    for (int n = info.frameCount - 2; n >= 0; --n) {
      ASSERT_TRUE(dec.PrevFrame()) << "to " << n << ": " << dec.LastErrMsg();
      ASSERT_EQ(Shown(dec), n);
    }
  }
  dec.SetFrameCacheBytes(size_t(128) << 20);

  // A seek starts decoding at the key frame before its target, not at the start of the file.
  for (int n : {5, 13, 35}) {
    ASSERT_TRUE(dec.Seek(times[n], 0)) << dec.LastErrMsg();
    ASSERT_TRUE(dec.Decode()) << dec.LastErrMsg();
    EXPECT_EQ(Shown(dec), n / 12 * 12) << "seek to " << n;
  }

  // Key frames every 12 pictures, both ways.
  ASSERT_TRUE(SeekToTime(dec, times[5])) << dec.LastErrMsg();
  ASSERT_EQ(Shown(dec), 5);
  ASSERT_TRUE(dec.NextKeyFrame()) << dec.LastErrMsg();
  EXPECT_EQ(Shown(dec), 12);
  ASSERT_TRUE(dec.NextKeyFrame()) << dec.LastErrMsg();
  EXPECT_EQ(Shown(dec), 24);
  ASSERT_TRUE(dec.PrevKeyFrame()) << dec.LastErrMsg();
  EXPECT_EQ(Shown(dec), 12);
  ASSERT_TRUE(dec.PrevKeyFrame()) << dec.LastErrMsg();
  EXPECT_EQ(Shown(dec), 0);

  // Seeking to any picture's time (and just before it) lands on that picture.
  for (int n : {0, 1, 11, 12, 13, 23, 30, 35}) {
    SCOPED_TRACE(n);
    for (int64_t t : {times[n], times[n] - 1}) {
      ASSERT_TRUE(SeekToTime(dec, t)) << dec.LastErrMsg();
      EXPECT_EQ(Shown(dec), n);
    }
  }
}

// Opening a FIFO without a writer, a socket or a terminal would block inside open(2), out of
// reach of the read time-out: they are refused at once with what they are.
TEST(HostileInput, SpecialFilesRefusedWithoutBlocking) {
  TempDir dir;
  ASSERT_FALSE(dir.Path.empty());
  const std::string fifo = dir / "clip.mp4";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string sock = dir / "sock.mp4";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  struct TCase {
    std::string Name, Kind;
  };
  const std::vector<TCase> cases = {{fifo, "a FIFO"}, {"file:" + fifo, "a FIFO"}, {sock, "a socket"},
                                    {"/dev/tty", "a character device"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto opened = std::async(std::launch::async, [&] {
      TFFDecoder dec;
      const bool ok = dec.LoadFile(c.Name);
      return std::make_pair(ok, dec.LastErrMsg());
    });
    if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      // Let the blocked open go before failing, so the test does not hang.
      const int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      opened.wait();
      if (w >= 0) close(w);
      FAIL() << "LoadFile blocked";
    }
    auto [ok, msg] = opened.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(msg, c.Name + ": cannot open " + c.Kind + " as a media file");
  }
  close(fd);

  TFFDecoder dec;
  EXPECT_FALSE(dec.LoadFile(dir.Path));
  EXPECT_FALSE(dec.LastErrMsg().empty());
}

// An existing file is opened as itself whatever ':' or '%' its name holds; a pattern that
// names no existing file still reads the sequence, and an explicit protocol stays one.
TEST(HostileInput, ExistingNamesWithColonOrPercentOpenAsThemselves) {
  TempDir dir;
  ASSERT_FALSE(dir.Path.empty());
  const std::string still = FixturePath(FixtureKind::StillPng);
  const std::string mp4 = FixturePath(FixtureKind::H264Mp4);
  fs::copy_file(still, dir / "percent%d.png");
  fs::copy_file(mp4, dir / "a:b.mp4");
  for (int i = 0; i < 3; ++i) fs::copy_file(still, dir / ("img0" + std::to_string(i) + ".png"));

  {
    TFFDecoder dec;
    ASSERT_TRUE(dec.LoadFile(dir / "percent%d.png")) << dec.LastErrMsg();
    ASSERT_TRUE(dec.Decode()) << dec.LastErrMsg();
    EXPECT_EQ(Shown(dec), 0);
  }
  {
    // Relative, where FFmpeg would take "a" for a protocol.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.Path);
    TFFDecoder dec;
    const bool ok = dec.LoadFile("a:b.mp4");
    const std::string msg = dec.LastErrMsg();
    fs::current_path(cwd);
    ASSERT_TRUE(ok) << msg;
    ASSERT_TRUE(dec.Decode());
    EXPECT_EQ(Shown(dec), 0);
  }
  {
    TFFDecoder dec;
    ASSERT_TRUE(dec.LoadFile(dir / "img%02d.png")) << dec.LastErrMsg();
    ASSERT_TRUE(dec.Decode()) << dec.LastErrMsg();
    EXPECT_EQ(Shown(dec), 0);
  }
  {
    TFFDecoder dec;
    ASSERT_TRUE(dec.LoadFile("file:" + mp4)) << dec.LastErrMsg();
    TFFDecoder missing;
    EXPECT_FALSE(missing.LoadFile(dir / "nothing%d.png"));
  }
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
