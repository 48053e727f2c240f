// The run half of a task: real transcodes and copies of the fixtures, read back frame by frame,
// stops, reports, the loop's endings and its failures.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/parseutils.h>
#include <libavutil/time.h>
}

#include "engine/FFEncode.h"
#include "engine/FFmpeg.h"
#include "engine/RunSupport.h"
#include "job/CutJob.h"
#include "job/OutputChoices.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

std::mutex gLock;
std::vector<std::pair<TLogLevel, std::string>> gLines;

// What a written file holds, read back with the libraries.
struct TReadBack {
  bool Opened = false;
  int Errors = 0;
  std::string VideoCodec, AudioCodec;
  AVCodecID VideoId = AV_CODEC_ID_NONE, AudioId = AV_CODEC_ID_NONE;
  double FormatDuration = 0;
  int Width = 0, Height = 0;
  int SampleRate = 0;
  std::vector<int> Numbers;  // frame numbers of the pictures, in display order
  double VideoDuration = 0;  // seconds, from the first to past the last picture
  double AudioDuration = 0;
};

TReadBack ReadBack(const std::string& path) {
  TReadBack r;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return r;
  if (avformat_find_stream_info(ic, nullptr) < 0) {
    avformat_close_input(&ic);
    return r;
  }
  r.Opened = true;
  if (ic->duration > 0) r.FormatDuration = ic->duration / 1e6;
  std::vector<AVCodecContext*> decs(ic->nb_streams, nullptr);
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    const AVCodec* c = avcodec_find_decoder(par->codec_id);
    if (!c) continue;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && r.VideoCodec.empty()) {
      r.VideoCodec = c->name;
      r.VideoId = par->codec_id;
      r.Width = par->width;
      r.Height = par->height;
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && r.AudioCodec.empty()) {
      r.AudioCodec = c->name;
      r.AudioId = par->codec_id;
      r.SampleRate = par->sample_rate;
    } else {
      continue;
    }
    decs[i] = avcodec_alloc_context3(c);
    avcodec_parameters_to_context(decs[i], par);
    decs[i]->pkt_timebase = ic->streams[i]->time_base;
    avcodec_open2(decs[i], c, nullptr);
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  double vFirst = 1e18, vLast = -1e18, vDur = 0, aFirst = 1e18, aLast = -1e18;
  struct TPic {
    int64_t Pts;
    int Number;
  };
  std::vector<TPic> pics;
  auto drain = [&](unsigned idx) {
    AVCodecContext* d = decs[idx];
    AVStream* st = ic->streams[idx];
    while (avcodec_receive_frame(d, fr) >= 0) {
      int64_t ts = fr->best_effort_timestamp;
      double t = ts == AV_NOPTS_VALUE ? 0 : ts * av_q2d(st->time_base);
      if (d->codec_type == AVMEDIA_TYPE_VIDEO) {
        pics.push_back({ts, ReadFrameNumber(fr)});
        vFirst = std::min(vFirst, t);
        if (t > vLast) {
          vLast = t;
          vDur = fr->pkt_duration > 0 ? fr->pkt_duration * av_q2d(st->time_base) : 0;
        }
      } else {
        aFirst = std::min(aFirst, t);
        aLast = std::max(aLast, t + double(fr->nb_samples) / fr->sample_rate);
      }
    }
  };
  while (av_read_frame(ic, pkt) >= 0) {
    unsigned idx = static_cast<unsigned>(pkt->stream_index);
    if (idx < decs.size() && decs[idx]) {
      if (avcodec_send_packet(decs[idx], pkt) < 0) r.Errors++;
      drain(idx);
    }
    av_packet_unref(pkt);
  }
  for (unsigned i = 0; i < decs.size(); i++)
    if (decs[i]) {
      avcodec_send_packet(decs[i], nullptr);
      drain(i);
    }
  // Display order by time; streams without times (elementary streams) stay in decoding order,
  // which is their display order once decoded.
  bool timed = true;
  for (const TPic& p : pics) timed = timed && p.Pts != AV_NOPTS_VALUE;
  if (timed)
    std::stable_sort(pics.begin(), pics.end(),
                     [](const TPic& a, const TPic& b) { return a.Pts < b.Pts; });
  for (const TPic& p : pics) r.Numbers.push_back(p.Number);
  if (!pics.empty()) r.VideoDuration = vLast - vFirst + vDur;
  if (aLast > aFirst) r.AudioDuration = aLast - aFirst;
  for (AVCodecContext* d : decs) avcodec_free_context(&d);
  av_frame_free(&fr);
  av_packet_free(&pkt);
  avformat_close_input(&ic);
  return r;
}

// The ffmpeg tool as an oracle: what it says when decoding the whole file.
using runsupport::FFmpegDecodeErrors;

class TranscodeTest : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gLock);
      gLines.clear();
    }
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([](const void*, uint32_t, TLogLevel level, const std::string& msg) {
      std::lock_guard<std::mutex> lock(gLock);
      gLines.emplace_back(level, msg);
    });
    FFLogger().SetLogLevel(llVerbose);
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("trimora-run-" + std::to_string(getpid()) + "-" + t->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Out(const std::string& name) const { return (Dir / name).string(); }

  // A task with one input and one output; false when the set-up failed.
  static bool Prepare(TCustomFFmpeg& e, const std::string& in, const std::string& out,
                      const std::string& options, const std::string& inOptions = "") {
    e.BuildOptionTable();
    TFileOptionsContext ctx;
    e.InitOptionsContext(ctx);
    int r = e.OpenInputFile(ctx, inOptions, in, "");
    e.ReleaseOptionsContext(ctx);
    if (r < 0) return false;
    TFileOptionsContext octx;
    e.InitOptionsContext(octx);
    r = e.OpenOutputFile(octx, options, false, out, "");
    e.ReleaseOptionsContext(octx);
    return r >= 0;
  }
  static bool Logged(const std::string& part, TLogLevel level = llQuiet, bool anyLevel = true) {
    std::lock_guard<std::mutex> lock(gLock);
    for (auto& l : gLines)
      if ((anyLevel || l.first == level) && l.second.find(part) != std::string::npos) return true;
    return false;
  }
  static int CountLogged(const std::string& exact) {
    std::lock_guard<std::mutex> lock(gLock);
    int n = 0;
    for (auto& l : gLines) n += l.second == exact;
    return n;
  }

  fs::path Dir;
};

}  // namespace

TEST_F(TranscodeTest, TranscodeCutHasTheRightFramesCodecsAndLength) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  const std::string out = Out("cut.mkv");
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mp4), out,
                      "-ss 1 -t 1.2 -c:v mpeg4 -qscale 3 -s 160x120 -c:a aac -ar 44100"))
      << e.LastErrMsg();
  int reports = 0, finals = 0;
  e.OnProgress = [&](TCustomFFmpeg*, const TEngineProgress& p) {
    reports++;
    finals += p.FileIndex == -1;
  };
  bool terminated = false;
  e.OnTerminate = [&](TCustomFFmpeg*) { terminated = true; };
  EXPECT_FALSE(e.Start(false));
  EXPECT_TRUE(terminated);
  EXPECT_TRUE(e.Finished());
  EXPECT_FALSE(e.Exception()) << e.ExceptionMsg();
  EXPECT_EQ(finals, 1);
  EXPECT_GE(reports, 1);
  TReadBack r = ReadBack(out);
  ASSERT_TRUE(r.Opened);
  EXPECT_EQ(r.Errors, 0);
  EXPECT_EQ(r.VideoCodec, "mpeg4");
  EXPECT_EQ(r.AudioCodec, "aac");
  EXPECT_EQ(r.Width, 160);
  EXPECT_EQ(r.Height, 120);
  EXPECT_EQ(r.SampleRate, 44100);
  ASSERT_EQ(r.Numbers.size(), 30u);  // 1.2 s at 25 fps
  for (size_t i = 0; i < r.Numbers.size(); i++) EXPECT_EQ(r.Numbers[i], 25 + int(i)) << i;
  EXPECT_NEAR(r.VideoDuration, 1.2, 1.0 / 25);
  EXPECT_NEAR(r.AudioDuration, 1.2, 0.05);
  EXPECT_EQ(FFmpegDecodeErrors(out), "");
  EXPECT_TRUE(Logged("Stream mapping:"));
  EXPECT_TRUE(Logged("  Stream #0:0 -> #0:0 (h264 -> mpeg4)"));
  EXPECT_TRUE(Logged("video:"));
  (void)info;
}

TEST_F(TranscodeTest, CopyCutStartsAtTheFirstKeyFrameAtOrAfterTheStart) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  for (bool preSeek : {true, false}) {
    const std::string out = Out(preSeek ? "copy1.mp4" : "copy2.mp4");
    TCustomFFmpeg e;
    e.InputPreSeek = preSeek;
    ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mp4), out, "-ss 1.1 -t 1 -c copy"))
        << e.LastErrMsg();
    e.Start(false);
    EXPECT_TRUE(e.Finished());
    EXPECT_FALSE(e.Exception()) << e.ExceptionMsg();
    TReadBack r = ReadBack(out);
    ASSERT_TRUE(r.Opened);
    EXPECT_EQ(r.VideoCodec, "h264");
    EXPECT_EQ(r.AudioCodec, "aac");
    ASSERT_FALSE(r.Numbers.empty());
    int first = 28;  // 1.1 s
    while (!IsFixtureKeyFrame(info, first)) first++;
    EXPECT_EQ(r.Numbers.front(), first);
    EXPECT_EQ(FFmpegDecodeErrors(out), "");
  }
}

TEST_F(TranscodeTest, PreSeekGivesTheSameFramesAsReadingFromTheStart) {
  for (FixtureKind kind : {FixtureKind::H264Mp4, FixtureKind::H264Mkv, FixtureKind::Mpeg2Ts}) {
    std::vector<int> numbers[2];
    for (int k = 0; k < 2; k++) {
      const std::string out = Out(std::string("p") + std::to_string(k) + ".mkv");
      TCustomFFmpeg e;
      e.InputPreSeek = k == 0;
      ASSERT_TRUE(Prepare(e, FixturePath(kind), out, "-ss 1.5 -t 0.8 -c:v mpeg4 -qscale 2"))
          << e.LastErrMsg();
      e.Start(false);
      EXPECT_TRUE(e.Finished()) << FixtureKindName(kind);
      numbers[k] = ReadBack(out).Numbers;
    }
    EXPECT_EQ(numbers[0], numbers[1]) << FixtureKindName(kind);
    EXPECT_EQ(numbers[0].size(), 20u) << FixtureKindName(kind);
  }
}

TEST_F(TranscodeTest, UnusableTextsFailWithTheirReasonInsteadOfCrashing) {
  // A labelled graph output that nothing maps once crashed inside the filter library, and a
  // frame size beyond any picture buffer leaked the scaler the library gave up on.
  const std::string in = FixturePath(FixtureKind::H264Mp4);
  {
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, in, Out("hstack.mp4"), "-filter_complex [0:v]split[a][b];[a][b]hstack[o]"))
        << e.LastErrMsg();
    e.Start(false);
    EXPECT_FALSE(e.Finished());
    EXPECT_TRUE(e.Exception());
    EXPECT_EQ(e.ExceptionMsg(), "Filter hstack has an unconnected output");
    EXPECT_FALSE(fs::exists(Out("hstack.mp4")));
  }
  TCustomFFmpeg e;
  std::string error;
  try {
    Prepare(e, in, Out("huge.3gp"), "-t 0.2 -c:v h263 -s 176x14200000");
  } catch (const std::exception& x) {
    error = x.what();
  }
  EXPECT_EQ(error, "Invalid frame size: 176x14200000.");
  EXPECT_FALSE(fs::exists(Out("huge.3gp")));
}

TEST_F(TranscodeTest, TwoFrameGapUnderConstantRateDuplicatesOneFrame) {
  const std::string out = Out("gap.avi");
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mp4), out,
                      "-an -c:v mpeg4 -vsync 1 -vf select='not(eq(n\\,10))'"))
      << e.LastErrMsg();
  e.Start(false);
  EXPECT_TRUE(e.Finished()) << e.ExceptionMsg();
  EXPECT_EQ(e.DupFrames, 1);
  EXPECT_EQ(CountLogged("*** 1 dup!"), 1);
  EXPECT_NE(e.LastReportText.find(" dup=1 drop=0"), std::string::npos) << e.LastReportText;
  TReadBack r = ReadBack(out);
  ASSERT_EQ(r.Numbers.size(), 75u);
  EXPECT_EQ(r.Numbers[9], 9);
  EXPECT_EQ(r.Numbers[10], 11);  // the gap is filled with the next picture
  EXPECT_EQ(r.Numbers[11], 11);
}

TEST_F(TranscodeTest, StopInTheLoopLeavesAValidFileAndAFinalReport) {
  const std::string out = Out("stopped.mkv");
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mp4), out, "-c:v mpeg4 -c:a aac"));
  std::atomic<int> finals{0};
  std::atomic<bool> terminated{false};
  std::atomic<int> frames{0};
  e.ProgressIntervalUs = 1;
  e.OnProgress = [&](TCustomFFmpeg*, const TEngineProgress& p) {
    if (p.FileIndex == -1) finals++;
    frames = p.FrameNumber;
  };
  e.OnTerminate = [&](TCustomFFmpeg*) { terminated = true; };
  ASSERT_TRUE(e.Start(true));
  while (frames < 5 && !terminated) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  e.Break(true);
  EXPECT_TRUE(terminated);
  EXPECT_EQ(finals, 1);
  EXPECT_FALSE(e.Finished());
  EXPECT_FALSE(e.Exception()) << e.ExceptionMsg();
  TReadBack r = ReadBack(out);
  ASSERT_TRUE(r.Opened);
  EXPECT_FALSE(r.Numbers.empty());
  EXPECT_LT(r.Numbers.size(), 75u);
  EXPECT_EQ(FFmpegDecodeErrors(out), "");
}

TEST_F(TranscodeTest, StopsAtRandomMomentsAlwaysLeaveDecodableFiles) {
  std::mt19937 rng(12345);
  for (int job = 0; job < 50; job++) {
    const std::string out = Out("r" + std::to_string(job) + (job % 2 ? ".mp4" : ".mkv"));
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mkv), out,
                        job % 3 == 0 ? "-c copy" : "-c:v mpeg4 -c:a aac -s 160x120"));
    ASSERT_TRUE(e.Start(true));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (job < 25 ? 30000 : 150000)));
    e.Break(true);
    EXPECT_FALSE(e.Exception()) << e.ExceptionMsg();
    // Stopped before its first packet: nothing is left, which is valid too.
    if (!fs::exists(out)) continue;
    TReadBack r = ReadBack(out);
    ASSERT_TRUE(r.Opened) << job;
    EXPECT_EQ(r.Errors, 0) << job;
    // A stream stopped before its first packet leaves the tool unable to guess its format,
    // which it reports; everything else must decode silently.
    if (!r.Numbers.empty() && r.AudioDuration > 0) EXPECT_EQ(FFmpegDecodeErrors(out), "") << job;
  }
}

TEST_F(TranscodeTest, FirstReportNotBeforeOneIntervalTheFinalAlways) {
  TCustomFFmpeg e;
  ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mp4), Out("a.mkv"), "-c copy"));
  e.ProgressIntervalUs = 60 * 1000000LL;  // longer than the job
  std::vector<int> files;
  int64_t total = 0;
  e.OnProgress = [&](TCustomFFmpeg*, const TEngineProgress& p) {
    files.push_back(p.FileIndex);
    total = p.TotalDuration;
  };
  e.Start(false);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], -1);
  // A whole-file job expects the input's length.
  EXPECT_NEAR(total / 1e6, GetFixtureInfo(FixtureKind::H264Mp4).duration, 0.1);
}

TEST_F(TranscodeTest, LoopEndingsOutputsWithoutStreamsAndLowBitRate) {
  {
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mp4), Out("b.mkv"),
                        "-c:v mpeg4 -b:v 64 -an -t 0.4"));
    e.Start(false);
    EXPECT_TRUE(e.Finished()) << e.ExceptionMsg();
    EXPECT_TRUE(Logged("The bitrate parameter is set too low. It takes bits/s as argument, not "
                       "kbits/s"));
    EXPECT_TRUE(Logged("No more output streams to write to, finishing."));
    EXPECT_EQ(ReadBack(Out("b.mkv")).Numbers.size(), 10u);
  }
  {
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::Wav), Out("c.mkv"), "-c copy"));
    e.Start(false);
    EXPECT_TRUE(e.Finished());
    EXPECT_TRUE(Logged("No more output streams to write to, finishing.") ||
                Logged("No more inputs to read from, finishing."));
  }
  {
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::Wav), Out("d.mkv"), "-vn -an"));
    e.Start(false);
    EXPECT_FALSE(e.Finished());
    EXPECT_TRUE(e.Exception());
    EXPECT_EQ(e.ExceptionMsg(), "Output file #0 does not contain any stream");
    EXPECT_FALSE(fs::exists(Out("d.mkv")));
  }
  {
    // A start past the end: nothing to write is a failure, and no empty file is left.
    TCustomFFmpeg e;
    ASSERT_TRUE(Prepare(e, FixturePath(FixtureKind::H264Mp4), Out("e.mkv"), "-ss 10 -c:v mpeg4"));
    e.Start(false);
    EXPECT_FALSE(e.Finished());
    EXPECT_TRUE(e.Exception());
    EXPECT_EQ(e.ExceptionMsg(), "Output file is empty, nothing was encoded (check -ss / -t / "
                                "-frames parameters if used)");
    EXPECT_FALSE(fs::exists(Out("e.mkv")));
  }
}

TEST_F(TranscodeTest, WriteFailingPartWayEndsTheTaskWithTheWriteError) {
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  const auto before = fs::file_size(src);
  const std::string out = Out("full.avi");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{20000, 20000};
    setrlimit(RLIMIT_FSIZE, &lim);
    TCustomFFmpeg e;
    if (!Prepare(e, src, out, "-c:v mpeg4 -qscale 1 -c:a aac")) _exit(3);
    e.Start(false);
    bool ok = e.Exception() && !e.Finished() &&
              e.ExceptionMsg().find(": File too large") != std::string::npos;
    _exit(ok ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(out));  // an unfinished file replaces nothing and stays nowhere
  EXPECT_EQ(fs::file_size(src), before);
}

namespace {

// The value after an option word in an option text ("" when absent).
std::string OptionValue(const std::string& text, const std::vector<std::string>& names) {
  std::vector<std::string> words = SplitOptionText(text);
  std::string v;
  for (size_t i = 0; i + 1 < words.size(); i++)
    for (const std::string& n : names)
      if (words[i] == n) v = words[i + 1];
  return v;
}

bool timedOutput(const TReadBack& r) { return r.VideoDuration > 0; }

}  // namespace

// Every entry of the window's format list, as the window builds its text for a cut from 1 s
// to 2 s of a clip with sound, run through the encoder component.
TEST_F(TranscodeTest, EveryCutTextOfTheFormatList) {
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  for (size_t f = 0; f < OutputChoices::Formats.size(); f++) {
    TCutChoices c;
    c.FileName = src;
    c.TrimStart = 1000000;
    c.TrimEnd = 2000000;
    c.Duration = 3000000;
    c.FormatIndex = static_cast<int>(f);
    c.FrameSizeIndex = 0;
    c.AudioBitRate = 128000;
    c.VideoBitRate = 120000;
    c.ProcessorCount = 1;
    const TCutJob job = BuildCutJob(c);
    SCOPED_TRACE(std::string(OutputChoices::Formats[f]) + ": " + job.Options);
    const std::string out = Out("f" + std::to_string(f) + job.Suffix);
    TFFEncoder e;
    ASSERT_GE(e.AddTask(src), 0) << e.LastErrMsg();
    TOutputOptions o;
    o.FileOptions = job.Options;
    ASSERT_GE(e.SetOutput(0, out, &o), 0) << e.LastErrMsg();
    TTerminateInfo result;
    e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& t) {
      if (t.TaskIndex == 0) result = t;
    };
    e.StartTask(0);
    EXPECT_TRUE(result.Finished) << result.ExceptionMsg;
    EXPECT_FALSE(result.Exception) << result.ExceptionMsg;
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(FFmpegDecodeErrors(out), "");
    TReadBack r = ReadBack(out);
    ASSERT_TRUE(r.Opened);
    const std::string vcodec = OptionValue(job.Options, {"-c:v", "-vcodec"});
    const std::string acodec = OptionValue(job.Options, {"-c:a", "-acodec"});
    const std::string size = OptionValue(job.Options, {"-s"});
    if (!vcodec.empty() && vcodec != "copy") {
      const AVCodec* enc = avcodec_find_encoder_by_name(vcodec.c_str());
      ASSERT_NE(enc, nullptr);
      EXPECT_EQ(r.VideoId, enc->id);
    }
    if (!acodec.empty() && acodec != "copy") {
      const AVCodec* enc = avcodec_find_encoder_by_name(acodec.c_str());
      ASSERT_NE(enc, nullptr);
      EXPECT_EQ(r.AudioId, enc->id);
    }
    if (!size.empty()) EXPECT_EQ(std::to_string(r.Width) + "x" + std::to_string(r.Height), size);
    if (!r.VideoCodec.empty()) {
      ASSERT_FALSE(r.Numbers.empty());
      if (job.StreamCopy) {
        int first = 25;
        while (!IsFixtureKeyFrame(info, first)) first++;
        EXPECT_EQ(r.Numbers.front(), first);
      } else {
        EXPECT_EQ(r.Numbers.front(), 25);
        if (timedOutput(r)) EXPECT_NEAR(r.VideoDuration, 1.0, 1.0 / 15 + 1e-6);
        // One second of pictures at the output rate.
        AVRational rate{25, 1};
        const std::string rt = OptionValue(job.Options, {"-r"});
        if (!rt.empty()) ASSERT_GE(av_parse_video_rate(&rate, rt.c_str()), 0);
        EXPECT_NEAR(static_cast<double>(r.Numbers.size()), av_q2d(rate), 1.0);
      }
    } else {
      EXPECT_NEAR(r.AudioDuration, 1.0, 0.05);
    }
  }
}

// A stopped job never destroys the file it would replace: the old bytes stay and the partial
// output goes beside it under the name its message gives, decodable; a stop before the first
// packet leaves nothing more; a job stopped on a new name and a finished job write the name.
TEST_F(TranscodeTest, StoppedJobKeepsTheFileItWouldReplace) {
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  const std::string old = "an older film";
  struct TRun {
    TTerminateInfo Result;
    std::vector<std::string> Notes;
  };
  // Read at the native rate, the job is stopped once `frames` pictures were reported
  // (negative: after 600 ms).
  const auto run = [&](const std::string& out, const std::string& options, int frames) {
    TRun r;
    TFFEncoder e;
    TInputOptions in;
    in.FileOptions = "-re";
    EXPECT_GE(e.AddTask(src, &in), 0) << e.LastErrMsg();
    TOutputOptions o;
    o.FileOptions = options;
    EXPECT_GE(e.SetOutput(0, out, &o), 0) << e.LastErrMsg();
    std::atomic<int> shown{0};
    bool done = false;
    e.OnProgress = [&](TFFEncoder*, PProgressInfo p) { shown = p->FrameNumber; };
    e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& t) {
      if (t.TaskIndex == 0) r.Result = t;
      done = done || t.TaskIndex == -1;
    };
    e.StartTask(1);
    if (frames >= 0)
      WaitInMainThread([&] { return done || shown >= frames; }, 60000);
    else
      WaitInMainThread([&] { return done; }, 600);
    if (frames != 0) e.Stop(true);
    EXPECT_TRUE(WaitInMainThread([&] { return done; }, 120000));
    r.Notes = e.Task(0)->StoppedOutputNotes;
    return r;
  };
  const auto bytes = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  const std::string target = Out("old.mp4"), aside = Out("old_(stopped).mp4");
  std::ofstream(target, std::ios::binary) << old;

  // Stopped mid-way.
  TRun r = run(target, "-c:v mpeg4 -c:a aac", 10);
  EXPECT_FALSE(r.Result.Finished);
  EXPECT_FALSE(r.Result.Exception) << r.Result.ExceptionMsg;
  EXPECT_EQ(bytes(target), old);
  ASSERT_EQ(r.Notes, std::vector<std::string>{target + ": the task was stopped, so the existing "
                                              "file is kept; the partial output is " + aside});
  EXPECT_TRUE(Logged(r.Notes[0], llWarning, false));
  TReadBack b = ReadBack(aside);
  ASSERT_TRUE(b.Opened);
  EXPECT_EQ(b.Errors, 0);
  EXPECT_GE(b.Numbers.size(), 10u);
  EXPECT_LT(b.Numbers.size(), 75u);
  EXPECT_EQ(FFmpegDecodeErrors(aside), "");

  // Stopped again: the next free name, the first partial file untouched.
  const std::string first = bytes(aside);
  r = run(target, "-c:v mpeg4 -c:a aac", 5);
  EXPECT_EQ(bytes(target), old);
  EXPECT_EQ(bytes(aside), first);
  ASSERT_EQ(r.Notes.size(), 1u);
  EXPECT_NE(r.Notes[0].find("the partial output is " + Out("old_(stopped_2).mp4")),
            std::string::npos) << r.Notes[0];
  EXPECT_TRUE(ReadBack(Out("old_(stopped_2).mp4")).Opened);

  // Stopped while still skipping to the start: nothing was written, nothing is added.
  fs::remove(aside);
  fs::remove(Out("old_(stopped_2).mp4"));
  r = run(target, "-ss 2.5 -c:v mpeg4 -c:a aac", -1);
  EXPECT_FALSE(r.Result.Finished);
  EXPECT_FALSE(r.Result.Exception) << r.Result.ExceptionMsg;
  EXPECT_TRUE(r.Notes.empty());
  EXPECT_EQ(bytes(target), old);
  std::vector<std::string> names;
  for (const auto& f : fs::directory_iterator(Dir)) names.push_back(f.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"old.mp4"});

  // Stopped on a new name: the partial file takes it.
  r = run(Out("new.mkv"), "-c:v mpeg4 -c:a aac", 5);
  EXPECT_TRUE(r.Notes.empty());
  EXPECT_TRUE(ReadBack(Out("new.mkv")).Opened);
  EXPECT_FALSE(fs::exists(Out("new_(stopped).mkv")));

  // Finished: the old file is replaced.
  r = run(target, "-t 0.4 -c:v mpeg4 -c:a aac", 0);
  EXPECT_TRUE(r.Result.Finished) << r.Result.ExceptionMsg;
  EXPECT_TRUE(r.Notes.empty());
  b = ReadBack(target);
  ASSERT_TRUE(b.Opened);
  EXPECT_EQ(b.Numbers.size(), 10u);
  EXPECT_FALSE(fs::exists(aside));
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
