// Several ranges of a file as one job, on generated files whose pictures carry their numbers:
// merged outputs hold exactly the ranges' pictures in order with times that go on across each
// join and the sound kept to the pictures; separate outputs one file per range under free names.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "cli/CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "engine/FFEncode.h"
#include "job/SegmentExport.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "runtime/MediaTexts.h"
#include "support/Fixtures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;

namespace {

int64_t FrameTime(int n) { return int64_t(n) * 40000; }  // the fixtures run at 25 fps

struct TAudioPacket {
  int64_t time = 0, duration = 0;  // µs from the first picture's time
  std::string data;
};

struct TMedia {
  std::vector<int> numbers;          // pictures in presentation order
  std::vector<int64_t> times;        // their times, µs from the first
  std::vector<int64_t> videoDts;     // in file order
  std::vector<TAudioPacket> audio;   // in file order
};

TMedia ReadMedia(const std::string& path) {
  TMedia m;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return m;
  avformat_find_stream_info(ic, nullptr);
  const int v = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int a = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (v < 0) {
    avformat_close_input(&ic);
    return m;
  }
  const AVStream* st = ic->streams[v];
  AVCodecContext* dec = avcodec_alloc_context3(avcodec_find_decoder(st->codecpar->codec_id));
  avcodec_parameters_to_context(dec, st->codecpar);
  dec->pkt_timebase = st->time_base;
  avcodec_open2(dec, dec->codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<int64_t> times;
  auto drain = [&] {
    while (avcodec_receive_frame(dec, frame) >= 0) {
      m.numbers.push_back(ReadFrameNumber(frame));
      times.push_back(av_rescale_q(frame->best_effort_timestamp, st->time_base, AV_TIME_BASE_Q));
      av_frame_unref(frame);
    }
  };
  std::vector<std::pair<int64_t, TAudioPacket>> audio;
  while (av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == a) {
      const AVRational tb = ic->streams[a]->time_base;
      TAudioPacket p;
      p.time = av_rescale_q(pkt->pts, tb, AV_TIME_BASE_Q);
      p.duration = av_rescale_q(pkt->duration, tb, AV_TIME_BASE_Q);
      p.data.assign(reinterpret_cast<const char*>(pkt->data), static_cast<size_t>(pkt->size));
      m.audio.push_back(p);
    } else if (pkt->stream_index == v) {
      m.videoDts.push_back(pkt->dts);
      avcodec_send_packet(dec, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&ic);
  const int64_t origin = times.empty() ? 0 : times.front();
  for (int64_t t : times) m.times.push_back(t - origin);
  for (TAudioPacket& p : m.audio) p.time -= origin;
  return m;
}

std::string DecodeErrors(const std::string& file) {
  const TCliRun r = RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(file) + " -f null -");
  return r.Out + r.Err + (r.Code ? " exit " + std::to_string(r.Code) : "");
}

// A range of pictures [first, end).
struct TFrames {
  int first, end;
};

class SegmentExportTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("trimora-segments-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetLogLevel(llError);
  }
  void TearDown() override {
    if (!getenv("TRIMORA_KEEP_TEST_OUTPUT")) fs::remove_all(dir_);
  }
  std::string Out(const std::string& name) { return (dir_ / name).string(); }

  static TCutChoices Choices(const std::string& src, int format) {
    TCutChoices c;
    c.FileName = src;
    TFFDecoder dec;
    EXPECT_TRUE(dec.LoadFile(src)) << dec.LastErrMsg();
    FillInputChoices(dec, c);
    c.Duration = dec.GetFileStreamInfo().Duration;
    c.FormatIndex = format;
    return c;
  }

  static TSegmentChoices Ranges(const std::vector<TFrames>& frames, bool separate = false) {
    TSegmentChoices s;
    s.Separate = separate;
    for (const TFrames& f : frames) s.Ranges.push_back({FrameTime(f.first), FrameTime(f.end), ""});
    return s;
  }

  // Runs the job as one task of the encoder in this thread; the task's termination.
  TTerminateInfo Run(const std::string& src, const std::vector<std::string>& outputs, const TSegmentSetup& setup) {
    TFFEncoder enc;
    TTerminateInfo end;
    end.ExceptionMsg = "never ended";
    enc.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& t) {
      if (t.TaskIndex >= 0) end = t;
    };
    const int task = enc.AddTask(src);
    EXPECT_GE(task, 0) << enc.LastErrMsg();
    std::string error;
    EXPECT_EQ(SetSegmentOutput(enc, task, outputs, setup, &error), 0) << error;
    enc.StartTask(0);
    return end;
  }

  // The ranges of src merged by the format's job; exact: as the frame-exact copy.
  TMedia Merge(const std::string& src, int format, const std::vector<TFrames>& frames, const std::string& out,
               bool exact, bool chapters = false) {
    TSegmentChoices s = Ranges(frames);
    s.Chapters = chapters;
    const TSegmentSetup setup = PrepareSegments(Choices(src, format), s, true);
    EXPECT_EQ(setup.Exact, exact);
    const TTerminateInfo end = Run(src, {out}, setup);
    EXPECT_TRUE(end.Finished) << end.ExceptionMsg;
    EXPECT_EQ(DecodeErrors(out), "");
    TMedia m = ReadMedia(out);
    std::vector<int> expected;
    for (const TFrames& f : frames)
      for (int n = f.first; n < f.end; n++) expected.push_back(n);
    EXPECT_EQ(m.numbers, expected);
    // Decoding times, where the container keeps them, rise.
    for (size_t i = 1; i < m.videoDts.size(); i++)
      if (m.videoDts[i - 1] != AV_NOPTS_VALUE) EXPECT_GT(m.videoDts[i], m.videoDts[i - 1]) << i;
    return m;
  }

  // Every sound packet copied from the source keeps within one audio frame of its pictures:
  // found in the source by its bytes, its place against its range's start in both files.
  static void CheckCopiedSound(const TMedia& src, const TMedia& out, const std::vector<TFrames>& frames,
                               int64_t audioFrame) {
    std::map<std::string, int64_t> sourceTime;
    for (const TAudioPacket& p : src.audio) sourceTime.emplace(p.data, p.time);
    ASSERT_FALSE(out.audio.empty());
    int64_t offset = 0;
    std::vector<int64_t> starts;
    for (const TFrames& f : frames) {
      starts.push_back(offset);
      offset += FrameTime(f.end - f.first);
    }
    starts.push_back(offset);
    for (size_t i = 0; i < out.audio.size(); i++) {
      const TAudioPacket& p = out.audio[i];
      // Matroska may leave a packet's duration out: then it lasts one audio frame.
      const int64_t last = out.audio[i - 1 + (i == 0)].duration > 0 ? out.audio[i - 1 + (i == 0)].duration : audioFrame;
      if (i > 0) EXPECT_NEAR(p.time, out.audio[i - 1].time + last, 1000) << "packet " << i;
      ASSERT_TRUE(sourceTime.count(p.data)) << "packet " << i;
      const int64_t t = sourceTime[p.data];
      bool placed = false;
      for (size_t k = 0; k < frames.size() && !placed; k++) {
        const int64_t S = FrameTime(frames[k].first), E = FrameTime(frames[k].end);
        if (t < S - audioFrame || t >= E + audioFrame || p.time < starts[k] - audioFrame ||
            p.time >= starts[k + 1] + audioFrame)
          continue;
        placed = true;
        EXPECT_LT(std::llabs((p.time - starts[k]) - (t - S)), audioFrame) << "packet " << i << " range " << k;
      }
      EXPECT_TRUE(placed) << "packet " << i << " at " << p.time << " from " << t;
    }
    // The sound lasts as long as the pictures, within an audio frame.
    EXPECT_NEAR(out.audio.back().time + audioFrame, offset, audioFrame);
  }

  // Three ranges off the key frames: each outer one holds a copied group of pictures between
  // encoded pictures, the middle one lies inside a group.
  static std::vector<TFrames> OffKeyRanges(FixtureKind kind) {
    const FixtureInfo info = GetFixtureInfo(kind);
    const std::vector<int>& k = info.keyFrames;
    EXPECT_GE(info.frameCount, k[6] + 2);
    return {{k[1] + 2, k[3] + 3}, {k[3] + 5, k[3] + 10}, {k[4] + 5, k[6] + 2}};
  }

  void CheckMergedCopy(FixtureKind kind, const std::string& src, const std::string& out) {
    const std::vector<TFrames> frames = OffKeyRanges(kind);
    const TSegmentSetup setup = PrepareSegments(Choices(src, 0), Ranges(frames), true);
    ASSERT_EQ(setup.Parts.size(), 3u);
    EXPECT_GT(setup.Parts[0].Plan.CopiedPictures, 0);
    EXPECT_EQ(setup.Parts[1].Plan.CopiedPictures, 0);
    EXPECT_GT(setup.Parts[2].Plan.CopiedPictures, 0);
    const TMedia m = Merge(src, 0, frames, out, true, true);
    for (size_t i = 0; i < m.times.size(); i++) EXPECT_NEAR(m.times[i], FrameTime(int(i)), 1500) << i;
    const FixtureInfo info = GetFixtureInfo(kind);
    CheckCopiedSound(ReadMedia(src), m, frames, 1024 * 1000000LL / info.sampleRate);
    // One chapter per range, named "Segment N" without labels.
    const TCliRun chapters = RunShell("ffprobe -v error -show_entries chapter=start_time:chapter_tags=title -of csv=p=0 " +
                                      ShellQuote(out));
    std::string expected;
    int64_t at = 0;
    for (size_t k = 0; k < frames.size(); k++) {
      expected += FormatText("%.6f,Segment %d\n", static_cast<double>(at) / 1e6, static_cast<int>(k + 1));
      at += FrameTime(frames[k].end - frames[k].first);
    }
    EXPECT_EQ(chapters.Out, expected);
  }

  fs::path dir_;
};

TEST_F(SegmentExportTest, MergedFrameExactCopyOfH264InMp4IsSeamless) {
  CheckMergedCopy(FixtureKind::H264Mp4, FixturePath(FixtureKind::H264Mp4), Out("merged.mp4"));
}

TEST_F(SegmentExportTest, MergedFrameExactCopyOfHevcInMatroskaIsSeamless) {
  const std::string mkv = Out("hevc.mkv");
  ASSERT_EQ(RunShell("ffmpeg -nostdin -v error -i " + ShellQuote(FixturePath(FixtureKind::HevcMp4)) +
                     " -c copy " + ShellQuote(mkv)).Code, 0);
  CheckMergedCopy(FixtureKind::HevcMp4, mkv, Out("merged.mkv"));
}

TEST_F(SegmentExportTest, MergedTranscodeKeepsOrderAndSound) {
  const std::vector<TFrames> frames = OffKeyRanges(FixtureKind::H264Mp4);
  const TMedia m = Merge(FixturePath(FixtureKind::H264Mp4), 7, frames, Out("merged.mp4"), false, true);
  ASSERT_FALSE(m.times.empty());
  // A chapter where each range begins, within a frame.
  const TCliRun chapters = RunShell("ffprobe -v error -show_entries chapter=start_time:chapter_tags=title -of csv=p=0 " +
                                    ShellQuote(Out("merged.mp4")));
  int64_t at = 0;
  std::istringstream lines(chapters.Out);
  for (size_t k = 0; k < frames.size(); k++) {
    std::string line;
    ASSERT_TRUE(std::getline(lines, line)) << chapters.Out;
    EXPECT_NEAR(std::stod(line) * 1e6, static_cast<double>(at), FrameTime(1)) << line;
    EXPECT_EQ(line.substr(line.find(',') + 1), "Segment " + std::to_string(k + 1));
    at += FrameTime(frames[k].end - frames[k].first);
  }
  // Across the joins too the pictures follow each other by about one frame.
  for (size_t i = 1; i < m.times.size(); i++) {
    EXPECT_GT(m.times[i] - m.times[i - 1], FrameTime(1) / 2) << i;
    EXPECT_LT(m.times[i] - m.times[i - 1], FrameTime(1) * 3 / 2) << i;
  }
  const int64_t audioFrame = 1024 * 1000000LL / GetFixtureInfo(FixtureKind::H264Mp4).sampleRate;
  ASSERT_FALSE(m.audio.empty());
  for (size_t i = 1; i < m.audio.size(); i++) {
    EXPECT_GT(m.audio[i].time, m.audio[i - 1].time) << i;
    EXPECT_LT(m.audio[i].time - m.audio[i - 1].time, 2 * audioFrame) << i;
  }
  EXPECT_NEAR(m.audio.back().time + m.audio.back().duration, m.times.back() + FrameTime(1), 2 * audioFrame);
  // No part is left beside the output.
  for (const fs::directory_entry& e : fs::directory_iterator(dir_))
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

TEST_F(SegmentExportTest, SeparateRangesGetOneFileEachUnderFreeNames) {
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  const std::vector<TFrames> frames = OffKeyRanges(FixtureKind::H264Mp4);
  TSegmentChoices s = Ranges(frames, true);
  s.Ranges[1].Label = "..Goal/2\t";
  for (bool exact : {true, false}) {
    SCOPED_TRACE(exact ? "frame-exact" : "MKV");
    const TSegmentSetup setup = PrepareSegments(Choices(src, exact ? 0 : 5), s, true);
    EXPECT_EQ(setup.Exact, exact);
    const std::string ext = exact ? ".mp4" : ".mkv";
    fs::create_directories(Out(ext.substr(1)));
    const std::string stem = Out(ext.substr(1) + "/" + fs::path(src).stem().string());
    std::ofstream(stem + "_(new)_3" + ext) << "taken";
    TOutputNameHost host;
    host.ReadString = [&](const std::string&, const std::string&) { return Out(ext.substr(1)); };
    const std::vector<std::string> names = SegmentOutputNames(src, setup, host);
    ASSERT_EQ(names, (std::vector<std::string>{stem + "_(new)_1" + ext, stem + "_(new)_2_Goal_2_" + ext,
                                               stem + "_(new_1)_3" + ext}));
    const TTerminateInfo end = Run(src, names, setup);
    EXPECT_TRUE(end.Finished) << end.ExceptionMsg;
    for (size_t k = 0; k < names.size(); k++) {
      EXPECT_EQ(DecodeErrors(names[k]), "");
      std::vector<int> expected;
      for (int n = frames[k].first; n < frames[k].end; n++) expected.push_back(n);
      EXPECT_EQ(ReadMedia(names[k]).numbers, expected) << names[k];
    }
  }
}

// A stop while the job runs leaves a valid file of what was done.
TEST_F(SegmentExportTest, AStopLeavesAValidFile) {
  const std::string src = FixturePath(FixtureKind::LongGopH264Mp4);
  const std::vector<TFrames> frames = {{5, 120}, {130, 240}};
  for (int format : {0, 7}) {
    SCOPED_TRACE(format);
    const TSegmentSetup setup = PrepareSegments(Choices(src, format), Ranges(frames), true);
    const std::string out = Out("stopped" + std::to_string(format) + ".mp4");
    TFFEncoder enc;
    enc.SetProgressInterval(100);
    std::atomic<bool> started{false};
    bool done = false;
    TTerminateInfo end;
    enc.OnProgress = [&](TFFEncoder*, PProgressInfo p) {
      if (p->FrameNumber > 10) started = true;
    };
    enc.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& t) {
      if (t.TaskIndex >= 0) end = t;
      done = t.TaskIndex < 0;
    };
    const int task = enc.AddTask(src);
    std::string error;
    ASSERT_EQ(SetSegmentOutput(enc, task, {out}, setup, &error), 0) << error;
    enc.StartTask(1);
    ASSERT_TRUE(WaitInMainThread([&] { return started || done; }, 120000));
    enc.Stop(true);
    ASSERT_TRUE(WaitInMainThread([&] { return done; }, 120000));
    EXPECT_FALSE(end.Exception) << end.ExceptionMsg;
    EXPECT_EQ(DecodeErrors(out), "");
    const TMedia m = ReadMedia(out);
    EXPECT_GT(m.numbers.size(), 0u);
    // A loaded machine may end the job before the stop reaches it: then the file is whole.
    if (end.Finished) {
      EXPECT_EQ(m.numbers.size(), 225u);
    } else {  // the copy holds the encoded pictures of a range until its copied part: maybe all
      EXPECT_LE(m.numbers.size(), format ? 224u : 225u);
    }
    for (size_t i = 0; i < m.numbers.size() && i < size_t(frames[0].end - frames[0].first); i++)
      EXPECT_EQ(m.numbers[i], frames[0].first + int(i));
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
