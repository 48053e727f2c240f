#pragma once
// Shared by the engine's run tests: a task built from option texts, the pictures of a written
// file read back with the libraries, and the ffmpeg tool as an oracle.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace runsupport {

namespace fs = std::filesystem;

// One decoded picture of a written file.
struct TPicture {
  int64_t Pts = AV_NOPTS_VALUE;  // stream time base
  double Time = 0;               // seconds
  int Number = -1;               // frame number drawn in the picture
  bool Key = false;
};

struct TPictures {
  bool Opened = false;
  int Errors = 0;
  std::string Codec;
  std::vector<TPicture> Pictures;  // display order
  std::vector<int64_t> PacketDts;  // video packets in file order (stream time base)
  std::vector<int64_t> AudioDts;   // audio packets in file order
};

inline TPictures ReadPictures(const std::string& path) {
  TPictures r;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return r;
  if (avformat_find_stream_info(ic, nullptr) < 0) {
    avformat_close_input(&ic);
    return r;
  }
  r.Opened = true;
  const int vi = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int ai = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  AVCodecContext* dec = nullptr;
  if (vi >= 0) {
    const AVCodecParameters* par = ic->streams[vi]->codecpar;
    const AVCodec* c = avcodec_find_decoder(par->codec_id);
    if (c) {
      r.Codec = c->name;
      dec = avcodec_alloc_context3(c);
      avcodec_parameters_to_context(dec, par);
      dec->pkt_timebase = ic->streams[vi]->time_base;
      if (avcodec_open2(dec, c, nullptr) < 0) avcodec_free_context(&dec);
    }
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(dec, fr) >= 0) {
      TPicture p;
      p.Pts = fr->best_effort_timestamp;
      p.Time = p.Pts == AV_NOPTS_VALUE ? 0 : p.Pts * av_q2d(ic->streams[vi]->time_base);
      p.Number = ReadFrameNumber(fr);
      p.Key = fr->key_frame != 0;
      r.Pictures.push_back(p);
    }
  };
  while (av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == vi && dec) {
      r.PacketDts.push_back(pkt->dts);
      if (avcodec_send_packet(dec, pkt) < 0) r.Errors++;
      drain();
    } else if (pkt->stream_index == ai) {
      r.AudioDts.push_back(pkt->dts);
    }
    av_packet_unref(pkt);
  }
  if (dec) {
    avcodec_send_packet(dec, nullptr);
    drain();
  }
  std::stable_sort(r.Pictures.begin(), r.Pictures.end(),
                   [](const TPicture& a, const TPicture& b) { return a.Pts < b.Pts; });
  avcodec_free_context(&dec);
  av_frame_free(&fr);
  av_packet_free(&pkt);
  avformat_close_input(&ic);
  return r;
}

// Output of a shell command (stdout and stderr).
inline std::string Shell(const std::string& cmd) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return "popen failed";
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

// What the ffmpeg tool reports while decoding the whole file (nothing for a sound file).
inline std::string FFmpegDecodeErrors(const std::string& path) {
  return Shell("ffmpeg -nostdin -v error -i '" + path + "' -f null -");
}

// A test with its own temp folder and the engine's log lines collected.
class TRunTest : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(Lock());
      Lines().clear();
    }
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([](const void*, uint32_t, TLogLevel level, const std::string& msg) {
      std::lock_guard<std::mutex> lock(Lock());
      Lines().emplace_back(level, msg);
    });
    FFLogger().SetLogLevel(llVerbose);
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("trimora-" + std::string(t->test_suite_name()) + "-" + std::to_string(getpid()) +
           "-" + t->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetLogLevel(llInfo);
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Out(const std::string& name) const { return (Dir / name).string(); }

  // Inputs opened in order, then one output; false (with LastErrMsg) when set-up failed.
  static bool Prepare(TCustomFFmpeg& e, const std::vector<std::string>& inputs,
                      const std::string& out, const std::string& options, bool join = false,
                      const std::string& inOptions = "") {
    e.BuildOptionTable();
    for (const std::string& in : inputs) {
      TFileOptionsContext ctx;
      e.InitOptionsContext(ctx);
      int r = e.OpenInputFile(ctx, inOptions, in, "");
      e.ReleaseOptionsContext(ctx);
      if (r < 0) return false;
    }
    TFileOptionsContext octx;
    e.InitOptionsContext(octx);
    int r = e.OpenOutputFile(octx, options, join, out, "");
    e.ReleaseOptionsContext(octx);
    return r >= 0;
  }

  static std::vector<std::string> LinesWith(const std::string& part) {
    std::lock_guard<std::mutex> lock(Lock());
    std::vector<std::string> found;
    for (auto& l : Lines())
      if (l.second.find(part) != std::string::npos) found.push_back(l.second);
    return found;
  }

  fs::path Dir;

private:
  static std::mutex& Lock() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::pair<TLogLevel, std::string>>& Lines() {
    static std::vector<std::pair<TLogLevel, std::string>> l;
    return l;
  }
};

}  // namespace runsupport
