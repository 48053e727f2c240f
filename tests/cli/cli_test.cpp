// trimora-cli end to end: info lines, frames lines with hashes checked against the ffmpeg
// tool's framemd5, saved pictures, failures with the decoder's message and exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace {

struct TRun {
  int Code = -1;
  std::string Out;
};

// Runs a command line; stderr goes with stdout when asked.
TRun Shell(const std::string& cmd, bool withStderr = true) {
  TRun r;
  FILE* p = popen((cmd + (withStderr ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  int st = pclose(p);
  r.Code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Cli() { return TRIMORA_CLI; }

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  std::string l;
  while (std::getline(in, l)) v.push_back(l);
  return v;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  std::string w;
  while (in >> w) v.push_back(w);
  return v;
}

// Frame index (display order) -> MD5 of the decoded picture, from the ffmpeg tool.
std::vector<std::string> FfmpegHashes(const std::string& path) {
  TRun r = Shell("ffmpeg -hide_banner -loglevel error -i '" + path + "' -map 0:v:0 -fps_mode passthrough -f framemd5 -", false);
  std::vector<std::string> hashes;
  for (const std::string& l : Lines(r.Out)) {
    if (l.empty() || l[0] == '#') continue;
    size_t comma = l.rfind(',');
    if (comma == std::string::npos) continue;
    std::string h = l.substr(comma + 1);
    h.erase(0, h.find_first_not_of(' '));
    hashes.push_back(h);
  }
  return hashes;
}

// Display-order indexes of the key frames, from ffprobe.
std::vector<int> FfprobeKeyFrames(const std::string& path) {
  TRun r = Shell("ffprobe -v error -select_streams v:0 -show_entries frame=key_frame -of csv=p=0 '" + path + "'", false);
  std::vector<int> keys;
  int n = 0;
  for (const std::string& l : Lines(r.Out)) {
    if (l.empty() || (l[0] != '0' && l[0] != '1')) continue;
    if (l[0] == '1') keys.push_back(n);
    ++n;
  }
  return keys;
}

TEST(Cli, InfoPrintsTheDescriptionAndTheOpeningLines) {
  const std::string path = FixturePath(FixtureKind::H264Mp4);
  TRun r = Shell(Cli() + " info '" + path + "'");
  ASSERT_EQ(r.Code, 0) << r.Out;
  std::vector<std::string> l = Lines(r.Out);
  ASSERT_GE(l.size(), 10u);
  EXPECT_EQ(l[0], "***FFDecoder.FileInfoText");
  EXPECT_EQ(l[1], "File Name: " + path);
  EXPECT_EQ(l[2], "Format Name: mov,mp4,m4a,3gp,3g2,mj2");
  const std::vector<std::string> tail = {"", "File Size: " + std::to_string(std::filesystem::file_size(path)),
                                         "File Duration: 00:00:03.000", "Stream #0: Video",
                                         "  Video Length: 00:00:03.000", "  Video Frame Rate: 25.00",
                                         "  Video Bit Rate: 121 kb", "  Frame size (width X height): 320x240",
                                         "Stream #1: Audio", "  Audio Length: 00:00:03.000",
                                         "  Audio Sample Rate: 48000 hz", "  Audio Bit Rate: 127 kb"};
  ASSERT_GE(l.size(), tail.size());
  std::vector<std::string> got(l.end() - tail.size(), l.end());
  EXPECT_EQ(got, tail);
}

TEST(Cli, FramesStepsMatchTheFfmpegToolsHashes) {
  for (FixtureKind kind : {FixtureKind::H264Mp4, FixtureKind::Mpeg2Ts, FixtureKind::Vp8Webm}) {
    const FixtureInfo info = GetFixtureInfo(kind);
    SCOPED_TRACE(info.fileName);
    const std::string path = FixturePath(kind);
    std::vector<std::string> hashes = FfmpegHashes(path);
    ASSERT_EQ(static_cast<int>(hashes.size()), info.frameCount);
    const std::vector<int> keys = FfprobeKeyFrames(path);
    ASSERT_GE(keys.size(), 3u);
    auto lastKeyBefore = [&](int n) {
      int k = 0;
      for (int f : keys)
        if (f < n) k = f;
      return k;
    };
    const int k1 = keys[1];
    TRun r = Shell(Cli() + " frames '" + path + "' next next prev nextkey next prevkey prev seek:1.0 next:3 prevkey seek:0");
    ASSERT_EQ(r.Code, 0) << r.Out;
    // step, frame expected
    const std::vector<std::pair<std::string, int>> want = {
        {"first", 0},    {"next", 1},        {"next", 2},      {"prev", 1},      {"nextkey", k1},
        {"next", k1 + 1}, {"prevkey", k1},   {"prev", k1 - 1}, {"seek:1.0", 25}, {"next:3", 26},
        {"next:3", 27},  {"next:3", 28},     {"prevkey", lastKeyBefore(28)},     {"seek:0", 0}};
    auto isKey = [&](int n) { return std::find(keys.begin(), keys.end(), n) != keys.end(); };
    std::vector<std::string> l = Lines(r.Out);
    ASSERT_EQ(l.size(), want.size()) << r.Out;
    for (size_t i = 0; i < want.size(); ++i) {
      std::vector<std::string> w = Words(l[i]);
      ASSERT_EQ(w.size(), 6u) << l[i];
      EXPECT_EQ(w[0], want[i].first);
      EXPECT_EQ(w[5], hashes[want[i].second]) << l[i] << " should be frame " << want[i].second;
      EXPECT_EQ(w[3], isKey(want[i].second) ? "1" : "0") << l[i];
    }
    std::vector<std::string> first = Words(l[0]);
    EXPECT_EQ(first[1], "0");
    EXPECT_EQ(first[2], "00:00:00.000");
    EXPECT_EQ(first[4], "I");
    std::vector<std::string> seek = Words(l[8]);
    EXPECT_EQ(seek[1], "1000000");
    EXPECT_EQ(seek[2], "00:00:01.000");
  }
}

TEST(Cli, FramesWithoutStepsWalksToTheEnd) {
  const std::string path = FixturePath(FixtureKind::MjpegAvi);
  const FixtureInfo info = GetFixtureInfo(FixtureKind::MjpegAvi);
  TRun r = Shell(Cli() + " frames '" + path + "'");
  ASSERT_EQ(r.Code, 0) << r.Out;
  std::vector<std::string> l = Lines(r.Out);
  ASSERT_EQ(static_cast<int>(l.size()), info.frameCount);
  std::vector<std::string> hashes = FfmpegHashes(path);
  ASSERT_EQ(hashes.size(), l.size());
  for (size_t i = 0; i < l.size(); ++i) EXPECT_EQ(Words(l[i]).back(), hashes[i]) << i;
}

TEST(Cli, FailuresPrintTheDecodersMessage) {
  TRun r = Shell(Cli() + " frames /nonexistent/x.mp4 next");
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Out, "/nonexistent/x.mp4: No such file or directory\n");

  r = Shell(Cli() + " frames '" + FixturePath(FixtureKind::Wav) + "'");
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Out, "no video stream.\n");

  const std::string raw = FixturePath(FixtureKind::MjpegAvi);
  const int frames = GetFixtureInfo(FixtureKind::MjpegAvi).frameCount;
  r = Shell(Cli() + " frames '" + raw + "' next:" + std::to_string(frames));
  EXPECT_EQ(r.Code, 1);
  std::vector<std::string> l = Lines(r.Out);
  ASSERT_FALSE(l.empty());
  EXPECT_EQ(l.back(), "next:" + std::to_string(frames) + ": TFFDecoder.Decode() for video: stream eof reached.");

  r = Shell(Cli() + " info /dev/null");
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Out.find("/dev/null: "), std::string::npos) << r.Out;

  EXPECT_EQ(Shell(Cli()).Code, 2);
  EXPECT_EQ(Shell(Cli() + " frames '" + raw + "' sideways").Code, 2);
  EXPECT_EQ(Shell(Cli() + " frame '" + raw + "' soon out.bmp").Code, 2);
  TRun help = Shell(Cli() + " --help");
  EXPECT_EQ(help.Code, 0);
  EXPECT_NE(help.Out.find("Usage: trimora-cli info FILE"), std::string::npos);
}

TEST(Cli, FrameSavesBmpAndJpeg) {
  const std::string dir = (std::filesystem::temp_directory_path() / ("trimora-cli-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(dir);
  const std::string path = FixturePath(FixtureKind::H264Mkv);
  TRun r = Shell(Cli() + " frame '" + path + "' 1.2 '" + dir + "/p.BMP'");
  ASSERT_EQ(r.Code, 0) << r.Out;
  std::ifstream bmp(dir + "/p.BMP", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(bmp)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 54u);
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(bytes.size(), 54u + 320u * 240u * 4u);

  r = Shell(Cli() + " frame '" + path + "' 1.2 '" + dir + "/p.png'");
  ASSERT_EQ(r.Code, 0) << r.Out;
  std::ifstream jpg(dir + "/p.png", std::ios::binary);
  char head[2] = {0, 0};
  jpg.read(head, 2);
  EXPECT_EQ(static_cast<unsigned char>(head[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(head[1]), 0xD8);
  // Both decode as the picture of frame 30 (1.2 s at 25 fps).
  for (const char* name : {"p.BMP", "p.png"}) {
    TRun probe = Shell("ffmpeg -hide_banner -loglevel error -i '" + dir + "/" + name +
                         "' -f rawvideo -pix_fmt bgra - | wc -c",
                     false);
    EXPECT_EQ(Words(probe.Out).at(0), std::to_string(320 * 240 * 4)) << name;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
