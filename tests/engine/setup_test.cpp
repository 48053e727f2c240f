// The set-up half of a task: inputs, outputs and their streams, filter graphs, metadata,
// chapters, targets, joining and the packet muxers, checked on the records and contexts.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/buffersink.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/time.h>
}

#include "engine/FFmpegOpt.h"
#include "engine/RawMuxers.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

struct TLine {
  TLogLevel Level;
  std::string Msg;
};
std::mutex gLock;
std::vector<TLine> gLines;
std::vector<std::string> gAVLines;

void CaptureAV(void*, int level, const char* fmt, va_list vl) {
  if (level > AV_LOG_INFO) return;
  char buf[2048];
  vsnprintf(buf, sizeof buf, fmt, vl);
  std::lock_guard<std::mutex> lock(gLock);
  gAVLines.emplace_back(buf);
}

class TEngine : public TCustomFFmpegOpt {};

// A synthetic Matroska file: raw pictures and PCM sound, chapters and tags, so that the
// stream layout can be whatever a test needs.
struct TSynthStream {
  AVMediaType Type = AVMEDIA_TYPE_VIDEO;
  int Width = 64, Height = 48;
  int Channels = 2;
  bool Language = false;
};
struct TSynthChapter {
  int64_t StartSec, EndSec;
  const char* Title;
};

void WriteSynthetic(const std::string& path, const std::vector<TSynthStream>& streams,
                    const std::vector<TSynthChapter>& chapters = {},
                    const char* title = nullptr) {
  AVFormatContext* oc = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, "matroska", path.c_str()), 0);
  for (const TSynthStream& s : streams) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    st->codecpar->codec_type = s.Type;
    if (s.Type == AVMEDIA_TYPE_VIDEO) {
      st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
      st->codecpar->format = AV_PIX_FMT_YUV420P;
      st->codecpar->codec_tag = MKTAG('I', '4', '2', '0');
      st->codecpar->width = s.Width;
      st->codecpar->height = s.Height;
      st->time_base = {1, 25};
      st->avg_frame_rate = {25, 1};
    } else {
      st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
      st->codecpar->format = AV_SAMPLE_FMT_S16;
      st->codecpar->sample_rate = 48000;
      st->codecpar->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
      st->codecpar->ch_layout.nb_channels = s.Channels;
      st->time_base = {1, 48000};
    }
    if (s.Language) av_dict_set(&st->metadata, "language", "ger", 0);
  }
  if (title) av_dict_set(&oc->metadata, "title", title, 0);
  for (size_t i = 0; i < chapters.size(); i++) {
    auto* ch = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    ch->id = static_cast<int64_t>(i + 1);
    ch->time_base = {1, 1000};
    ch->start = chapters[i].StartSec * 1000;
    ch->end = chapters[i].EndSec * 1000;
    av_dict_set(&ch->metadata, "title", chapters[i].Title, 0);
    oc->chapters = static_cast<AVChapter**>(
        av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
    oc->chapters[oc->nb_chapters++] = ch;
  }
  ASSERT_GE(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  int hr = avformat_write_header(oc, nullptr);
  if (hr < 0) {
    std::lock_guard<std::mutex> lock(gLock);
    for (const std::string& l : gAVLines) ADD_FAILURE() << l;
  }
  ASSERT_GE(hr, 0);
  AVPacket* pkt = av_packet_alloc();
  for (int n = 0; n < 2; n++)
    for (unsigned i = 0; i < oc->nb_streams; i++) {
      const AVCodecParameters* par = oc->streams[i]->codecpar;
      int size = par->codec_type == AVMEDIA_TYPE_VIDEO ? par->width * par->height * 3 / 2
                                                         : par->ch_layout.nb_channels * 2 * 1920;
      av_new_packet(pkt, size);
      std::memset(pkt->data, 0, static_cast<size_t>(size));
      pkt->stream_index = static_cast<int>(i);
      AVRational tb = par->codec_type == AVMEDIA_TYPE_VIDEO ? AVRational{1, 25}
                                                              : AVRational{1, 25};
      pkt->pts = pkt->dts = av_rescale_q(n, tb, oc->streams[i]->time_base);
      pkt->duration = av_rescale_q(1, tb, oc->streams[i]->time_base);
      pkt->flags |= AV_PKT_FLAG_KEY;
      ASSERT_GE(av_interleaved_write_frame(oc, pkt), 0);
    }
  av_packet_free(&pkt);
  av_write_trailer(oc);
  avio_closep(&oc->pb);
  avformat_free_context(oc);
}

class EngineSetupTest : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gLock);
      gLines.clear();
      gAVLines.clear();
    }
    av_log_set_callback(CaptureAV);
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([](const void*, uint32_t, TLogLevel level, const std::string& msg) {
      std::lock_guard<std::mutex> lock(gLock);
      gLines.push_back({level, msg});
    });
    FFLogger().SetLogLevel(llDebug);
    Engine.BuildOptionTable();
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() / ("trimora-setup-" + std::to_string(getpid()) + "-" +
                                       t->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }

  int OpenInput(const std::string& file, const std::string& options = "") {
    TFileOptionsContext ctx;
    Engine.InitOptionsContext(ctx);
    int r = Engine.OpenInputFile(ctx, options, file, "");
    Engine.ReleaseOptionsContext(ctx);
    return r;
  }
  int OpenOutput(const std::string& file, const std::string& options, bool join = false) {
    TFileOptionsContext ctx;
    Engine.InitOptionsContext(ctx);
    int r = Engine.OpenOutputFile(ctx, options, join, file, "");
    Engine.ReleaseOptionsContext(ctx);
    return r;
  }
  std::string Out(const std::string& name) const { return (Dir / name).string(); }
  bool Logged(TLogLevel level, const std::string& msg) {
    std::lock_guard<std::mutex> lock(gLock);
    for (const TLine& l : gLines)
      if (l.Level == level && l.Msg == msg) return true;
    return false;
  }
  bool LoggedContaining(const std::string& part) {
    std::lock_guard<std::mutex> lock(gLock);
    for (const TLine& l : gLines)
      if (l.Msg.find(part) != std::string::npos) return true;
    return false;
  }
  int CountLogged(TLogLevel level, const std::string& part) {
    std::lock_guard<std::mutex> lock(gLock);
    int n = 0;
    for (const TLine& l : gLines) n += l.Level == level && l.Msg.find(part) != std::string::npos;
    return n;
  }
  // Files in the test folder other than the given ones (left-over new files, for instance).
  std::vector<std::string> OtherFiles(const std::vector<std::string>& known) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(Dir)) {
      bool k = false;
      for (const std::string& n : known) k = k || e.path().filename() == n;
      if (!k) out.push_back(e.path().filename().string());
    }
    return out;
  }
  TOutputStream* Ost(size_t i) { return Engine.OutputStreams.at(i).get(); }
  const TInsertedFilter* Inserted(const TFilterGraph* fg, const std::string& filterName) {
    for (const TInsertedFilter& f : fg->Inserted)
      if (f.FilterName == filterName) return &f;
    return nullptr;
  }

  TEngine Engine;
  fs::path Dir;
};

// Copies up to n packets of input 0 into the output's copied streams.
void CopyPackets(TCustomFFmpegOpt& engine, size_t output, int n) {
  const TOutputFile* of = engine.OutputFiles[output].get();
  AVFormatContext* oc = of->FormatContext();
  AVFormatContext* ic = engine.InputFiles[0]->FormatContext.get();
  AVPacket* pkt = av_packet_alloc();
  for (int k = 0; k < n && av_read_frame(ic, pkt) >= 0; k++) {
    for (unsigned i = 0; i < oc->nb_streams; i++) {
      TOutputStream* ost =
          engine.OutputStreams[static_cast<size_t>(of->FirstStreamIndex) + i].get();
      if (!ost->SyncInput || ost->SyncInput->Stream->index != pkt->stream_index) continue;
      av_packet_rescale_ts(pkt, ic->streams[pkt->stream_index]->time_base, ost->Stream->time_base);
      pkt->stream_index = static_cast<int>(i);
      EXPECT_GE(av_interleaved_write_frame(oc, pkt), 0);
      break;
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
}

// Gives copied streams their source's parameters, as the transcode loop does before the header.
void CopyStreamParameters(TCustomFFmpegOpt& engine, size_t output) {
  const TOutputFile* of = engine.OutputFiles[output].get();
  AVFormatContext* oc = of->FormatContext();
  for (unsigned i = 0; i < oc->nb_streams; i++) {
    TOutputStream* ost = engine.OutputStreams[static_cast<size_t>(of->FirstStreamIndex) + i].get();
    if (!ost->StreamCopy || !ost->SyncInput) continue;
    ASSERT_GE(avcodec_parameters_copy(ost->Stream->codecpar, ost->SyncInput->Stream->codecpar), 0);
    // The source's tag stays where the muxer can keep it.
    AVCodecParameters* par = ost->Stream->codecpar;
    unsigned int tag = 0;
    const AVCodecTag* const* tags = oc->oformat->codec_tag;
    if (tags && av_codec_get_id(tags, par->codec_tag) != par->codec_id &&
        av_codec_get_tag2(tags, par->codec_id, &tag))
      par->codec_tag = 0;
    ost->Stream->time_base = ost->SyncInput->Stream->time_base;
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Inputs

TEST_F(EngineSetupTest, InputRecordsAndSeekOffset) {
  const std::string mp4 = FixturePath(FixtureKind::H264Mp4);
  int before = 0;
  Engine.OnBeforeFindStreamInfo = [&](TCustomFFmpegOpt* sender, AVFormatContext* s) {
    EXPECT_EQ(sender, &Engine);
    EXPECT_EQ(s->nb_streams, 2u);
    before++;
  };
  ASSERT_EQ(OpenInput(mp4, "-ss 1 -itsoffset 2"), 0) << Engine.LastErrMsg();
  EXPECT_EQ(before, 1);
  Engine.OnBeforeFindStreamInfo = nullptr;
  ASSERT_EQ(Engine.InputFiles.size(), 1u);
  TInputFile* f = Engine.InputFiles[0].get();
  AVFormatContext* s = f->FormatContext.get();
  const int64_t start = s->start_time == AV_NOPTS_VALUE ? 0 : s->start_time;
  EXPECT_EQ(f->TsOffset, 2000000 - (1000000 + start));
  EXPECT_EQ(f->StreamCount, 2);
  EXPECT_EQ(f->FirstStreamIndex, 0);
  ASSERT_EQ(Engine.InputStreams.size(), 2u);
  TInputStream* v = Engine.InputStreams[0].get();
  TInputStream* a = Engine.InputStreams[1].get();
  EXPECT_EQ(v->Discard, 1);
  EXPECT_EQ(v->Stream->discard, AVDISCARD_ALL);
  ASSERT_NE(v->Decoder, nullptr);
  EXPECT_STREQ(v->Decoder->name, "h264");
  EXPECT_EQ(v->InitialWidth, 320);
  EXPECT_EQ(v->InitialHeight, 240);
  EXPECT_EQ(v->TopFieldFirst, -1);
  EXPECT_EQ(v->ReinitFilters, -1);
  EXPECT_EQ(a->InitialSampleRate, 48000);
  EXPECT_EQ(a->InitialChannels, 2);
  EXPECT_EQ(a->InitialChannelLayout.Mask(), uint64_t(AV_CH_LAYOUT_STEREO));
  EXPECT_GT(Engine.LongestInputDuration, 1900000);  // 3 s less the 1 s start

  // A second input numbers its streams after the first one's; copied timestamps keep the
  // offset alone.
  ASSERT_EQ(OpenInput(mp4, "-copyts -itsoffset 0.5"), 1);
  EXPECT_EQ(Engine.InputFiles[1]->FirstStreamIndex, 2);
  EXPECT_EQ(Engine.InputFiles[1]->TsOffset, 500000);
  EXPECT_EQ(Engine.InputStreams[2]->FileIndex, 1);
}

TEST_F(EngineSetupTest, InputForcedDecoderRateAndBadInputs) {
  const std::string mp4 = FixturePath(FixtureKind::H264Mp4);
  ASSERT_EQ(OpenInput(mp4, "-c:v:0 h264 -r 30000/1001 -top 1"), 0) << Engine.LastErrMsg();
  EXPECT_EQ(Engine.InputFiles[0]->FormatContext->video_codec_id, AV_CODEC_ID_NONE);
  EXPECT_STREQ(Engine.InputStreams[0]->Decoder->name, "h264");
  EXPECT_EQ(Engine.InputStreams[0]->FrameRate.num, 30000);
  EXPECT_EQ(Engine.InputStreams[0]->FrameRate.den, 1001);
  EXPECT_EQ(Engine.InputStreams[0]->TopFieldFirst, 1);

  EXPECT_EQ(OpenInput(mp4, "-f nosuchformat"), AVERROR(EINVAL));
  EXPECT_EQ(Engine.LastErrMsg(), "Unknown input format: \"nosuchformat\"");
  EXPECT_THROW(OpenInput(mp4, "-c:v nosuchcodec"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Unknown decoder \"nosuchcodec\"");
  EXPECT_THROW(OpenInput(mp4, "-c:a h264"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid decoder type \"h264\"");
  EXPECT_THROW(OpenInput(mp4, "-r:v nonsense"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Error parsing framerate nonsense.");

  const std::string missing = Out("missing.mp4");
  EXPECT_LT(OpenInput(missing), 0);
  EXPECT_EQ(Engine.LastErrMsg().rfind(missing + ": ", 0), 0u) << Engine.LastErrMsg();
  const std::string junk = Out("junk.mp4");
  std::ofstream(junk) << "this is no media file at all";
  EXPECT_LT(OpenInput(junk), 0);
  EXPECT_EQ(Engine.LastErrMsg().rfind(junk + ": ", 0), 0u) << Engine.LastErrMsg();
  EXPECT_EQ(ReadAll(junk), "this is no media file at all");
  EXPECT_EQ(Engine.InputFiles.size(), 1u);
}

TEST_F(EngineSetupTest, GuessedChannelLayouts) {
  const std::string mkv = Out("pcm.mkv");
  WriteSynthetic(mkv, {{AVMEDIA_TYPE_AUDIO, 0, 0, 2}, {AVMEDIA_TYPE_AUDIO, 0, 0, 1},
                       {AVMEDIA_TYPE_AUDIO, 0, 0, 6}});
  ASSERT_EQ(OpenInput(mkv, "-guess_layout_max:a:2 5"), 0) << Engine.LastErrMsg();
  EXPECT_EQ(Engine.InputStreams[0]->InitialChannelLayout.Mask(), uint64_t(AV_CH_LAYOUT_STEREO));
  EXPECT_EQ(Engine.InputStreams[1]->InitialChannelLayout.Mask(), uint64_t(AV_CH_LAYOUT_MONO));
  EXPECT_FALSE(Engine.InputStreams[2]->InitialChannelLayout.Known());
  EXPECT_EQ(Engine.InputStreams[2]->InitialChannels, 6);
  EXPECT_TRUE(Logged(llWarning, "Guessed Channel Layout for  Input Stream #0.0 : stereo"));
  EXPECT_TRUE(Logged(llWarning, "Guessed Channel Layout for  Input Stream #0.1 : mono"));
  EXPECT_EQ(CountLogged(llWarning, "Guessed Channel Layout"), 2);
}

TEST_F(EngineSetupTest, InterruptCallbacks) {
  Engine.ReadTimeoutMs = 30000;
  Engine.ReadStart = TCustomFFmpegOpt::kNotTiming;
  EXPECT_EQ(TCustomFFmpegOpt::ReadInterruptCallback(&Engine), 0);
  Engine.ReadStart = av_gettime_relative();
  EXPECT_EQ(TCustomFFmpegOpt::ReadInterruptCallback(&Engine), 0);
  Engine.ReadStart = av_gettime_relative() - 31000000;
  EXPECT_EQ(TCustomFFmpegOpt::ReadInterruptCallback(&Engine), 1);
  EXPECT_TRUE(Logged(llInfo, "connecting/reading timeout"));
  Engine.ReadTimeoutMs = 0;
  EXPECT_EQ(TCustomFFmpegOpt::ReadInterruptCallback(&Engine), 0);
  Engine.WriteStart = 0;
  EXPECT_EQ(TCustomFFmpegOpt::WriteInterruptCallback(&Engine), 1);
  EXPECT_TRUE(Logged(llInfo, "connecting/writing canceled"));
  Engine.Broken = true;
  EXPECT_EQ(TCustomFFmpegOpt::ReadInterruptCallback(&Engine), 1);
  EXPECT_TRUE(Logged(llInfo, "reading/writing broken"));
  // A task being stopped gives up opening at once.
  EXPECT_LT(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
}

// ---------------------------------------------------------------------------------------------
// Outputs: the cut job's option texts

TEST_F(EngineSetupTest, PspCutText) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  const std::string out = Out("clip_(new)_psp.mp4");
  ASSERT_EQ(OpenOutput(out, "-ss 10  -t 15.5 -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict "
                            "experimental -c:v mpeg4  -s 320x240  -qscale 6 -threads 4  -ab "
                            "128000  -vb 1200000"),
            0)
      << Engine.LastErrMsg();
  TOutputFile* of = Engine.OutputFiles[0].get();
  EXPECT_STREQ(of->FormatContext()->oformat->name, "psp");
  EXPECT_EQ(of->StartTime, 10000000);
  EXPECT_EQ(of->Duration, 15500000);
  EXPECT_EQ(of->FormatContext()->max_delay, 699999);
  ASSERT_EQ(Engine.OutputStreams.size(), 2u);
  TOutputStream* v = Ost(0);
  TOutputStream* a = Ost(1);
  EXPECT_STREQ(v->Encoder->name, "mpeg4");
  EXPECT_EQ(v->Codec()->width, 320);
  EXPECT_EQ(v->Codec()->height, 240);
  EXPECT_EQ(v->FrameRate.num, 15000);
  EXPECT_EQ(v->FrameRate.den, 1001);
  EXPECT_TRUE(v->Codec()->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(v->Codec()->global_quality, 708);
  EXPECT_EQ(v->FilterGraphText, "null");
  EXPECT_STREQ(v->EncoderOptions.Value("threads"), "4");
  EXPECT_EQ(v->SourceIndex, 0);
  EXPECT_EQ(Engine.InputStreams[0]->Discard, 0);
  EXPECT_EQ(Engine.InputStreams[0]->Stream->discard, AVDISCARD_NONE);
  EXPECT_STREQ(a->Encoder->name, "aac");
  EXPECT_EQ(a->Codec()->sample_rate, 24000);
  EXPECT_EQ(a->FilterGraphText, "anull");
  EXPECT_EQ(a->SourceIndex, 1);
  EXPECT_EQ(Engine.LongestOutputDuration, 15500000);
  // Nothing reaches the target before the job has finished.
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(EngineSetupTest, ThreeGpTakesAnEncodableAudioCodec) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  ASSERT_EQ(OpenOutput(Out("clip_(new).3gp"),
                       "-ss 0 -t 2 -b:a 12.2k -ac 1 -ar 8000 -c:v h263  -s 128x96"),
            0)
      << Engine.LastErrMsg();
  ASSERT_EQ(Engine.OutputStreams.size(), 2u);
  EXPECT_STREQ(Ost(0)->Encoder->name, "h263");
  EXPECT_EQ(Ost(0)->Codec()->width, 128);
  EXPECT_EQ(Ost(0)->Codec()->height, 96);
  ASSERT_NE(Ost(1)->Encoder, nullptr);
  EXPECT_STREQ(Ost(1)->Encoder->name, "aac");
  EXPECT_EQ(Ost(1)->Stream->codecpar->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(Ost(1)->Codec()->sample_rate, 8000);
  EXPECT_EQ(Ost(1)->Codec()->ch_layout.nb_channels, 1);
  EXPECT_STREQ(Ost(1)->EncoderOptions.Value("b"), "12.2k");
  EXPECT_EQ(CountLogged(llWarning, "\"amr_nb\""), 1);
  EXPECT_TRUE(LoggedContaining("\"amr_nb\" of format \"3gp\"; using \"aac\" instead."));

  // A codec the text names is used as named: without an encoder the output fails.
  TEngine other;
  TFileOptionsContext ctx;
  other.InitOptionsContext(ctx);
  ASSERT_EQ(other.OpenInputFile(ctx, "", FixturePath(FixtureKind::H264Mp4), ""), 0);
  other.ReleaseOptionsContext(ctx);
  other.InitOptionsContext(ctx);
  EXPECT_THROW(other.OpenOutputFile(ctx, "-c:v h263 -s 128x96 -c:a amr_nb", false,
                                    Out("named.3gp"), ""),
               FFmpegException);
  other.ReleaseOptionsContext(ctx);
  EXPECT_EQ(other.LastErrMsg(), "Unknown encoder \"amr_nb\"");
  EXPECT_FALSE(fs::exists(Out("named.3gp")));
}

TEST_F(EngineSetupTest, WebmAndCopyTexts) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  ASSERT_EQ(OpenOutput(Out("a.webm"), "-ss 1 -t 1 -f webm -c:a libvorbis -c:v libvpx"), 0)
      << Engine.LastErrMsg();
  ASSERT_EQ(Engine.OutputStreams.size(), 2u);
  EXPECT_STREQ(Ost(0)->Encoder->name, "libvpx");
  EXPECT_STREQ(Ost(1)->Encoder->name, "libvorbis");
  EXPECT_EQ(Ost(0)->Codec()->width, 0);  // no size given: the source's is kept

  TEngine copy;
  TFileOptionsContext ctx;
  copy.InitOptionsContext(ctx);
  ASSERT_EQ(copy.OpenInputFile(ctx, "", FixturePath(FixtureKind::H264Mp4), ""), 0);
  copy.ReleaseOptionsContext(ctx);
  copy.InitOptionsContext(ctx);
  ASSERT_EQ(copy.OpenOutputFile(ctx, "-ss 1 -t 1  -an   -vcodec copy -acodec copy  -flags +global_header -s 100x100 -pix_fmt gray -r 5",
                                false, Out("c.mp4"), ""),
            0)
      << copy.LastErrMsg();
  copy.ReleaseOptionsContext(ctx);
  ASSERT_EQ(copy.OutputStreams.size(), 1u);
  TOutputStream* v = copy.OutputStreams[0].get();
  EXPECT_EQ(v->Stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(v->StreamCopy, 1);
  EXPECT_EQ(v->Codec()->width, 0);
  EXPECT_EQ(v->Codec()->pix_fmt, AV_PIX_FMT_NONE);
  EXPECT_EQ(v->FilterGraphText, "");
  EXPECT_TRUE(v->Codec()->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // "flags" reaches copies
  EXPECT_EQ(copy.InputStreams[1]->Discard, 1);
}

// ---------------------------------------------------------------------------------------------
// Stream choice

TEST_F(EngineSetupTest, AutomaticChoiceTakesLargestPictureAndMostChannels) {
  const std::string mkv = Out("many.mkv");
  WriteSynthetic(mkv, {{AVMEDIA_TYPE_VIDEO, 640, 480},
                       {AVMEDIA_TYPE_VIDEO, 1280, 720},
                       {AVMEDIA_TYPE_VIDEO, 1280, 720},
                       {AVMEDIA_TYPE_AUDIO, 0, 0, 2},
                       {AVMEDIA_TYPE_AUDIO, 0, 0, 6},
                       {AVMEDIA_TYPE_AUDIO, 0, 0, 6}});
  ASSERT_EQ(OpenInput(mkv), 0) << Engine.LastErrMsg();
  ASSERT_EQ(OpenOutput(Out("o.mkv"), "-c copy"), 0) << Engine.LastErrMsg();
  ASSERT_EQ(Engine.OutputStreams.size(), 2u);
  EXPECT_EQ(Ost(0)->SourceIndex, 1);  // 1280x720, the first of the two
  EXPECT_EQ(Ost(1)->SourceIndex, 4);  // six channels, the first of the two
  EXPECT_EQ(Engine.InputStreams[0]->Discard, 1);
  EXPECT_EQ(Engine.InputStreams[2]->Discard, 1);

  // A container without video takes no picture, without a message.
  ASSERT_EQ(OpenOutput(Out("o.wav"), ""), 1) << Engine.LastErrMsg();
  ASSERT_EQ(Engine.OutputStreams.size(), 3u);
  EXPECT_EQ(Ost(2)->Stream->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(Ost(2)->SourceIndex, 4);
  EXPECT_EQ(Engine.OutputFiles[1]->FirstStreamIndex, 2);
}

TEST_F(EngineSetupTest, ExplicitMaps) {
  const std::string mkv = Out("maps.mkv");
  WriteSynthetic(mkv, {{AVMEDIA_TYPE_VIDEO, 64, 48},
                       {AVMEDIA_TYPE_AUDIO, 0, 0, 2},
                       {AVMEDIA_TYPE_AUDIO, 0, 0, 1},
                       {AVMEDIA_TYPE_AUDIO, 0, 0, 2}});
  ASSERT_EQ(OpenInput(mkv), 0) << Engine.LastErrMsg();
  ASSERT_EQ(OpenOutput(Out("a.mkv"), "-map 0:a -map -0:a:1 -c copy"), 0) << Engine.LastErrMsg();
  ASSERT_EQ(Engine.OutputStreams.size(), 2u);
  EXPECT_EQ(Ost(0)->SourceIndex, 1);
  EXPECT_EQ(Ost(1)->SourceIndex, 3);

  EXPECT_THROW(OpenOutput(Out("b.mkv"), "-map 1"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid input file index: 1.");
  EXPECT_THROW(OpenOutput(Out("b.mkv"), "-map 0:s"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Stream map \"0:s\" matches no streams.");
  EXPECT_THROW(OpenOutput(Out("b.mkv"), "-map 0:a,2:0"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid sync file index: 2.");
  EXPECT_THROW(OpenOutput(Out("b.mkv"), "-map 0:a -map_channel 0.0.0"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "mapchan: stream #0.0 is not an audio stream.");
  EXPECT_THROW(OpenOutput(Out("b.mkv"), "-map_channel 0.2.1"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "mapchan: invalid audio channel #0.2.1");
  EXPECT_THROW(OpenOutput(Out("b.mkv"), "-map_channel 0.9.0"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "mapchan: invalid input file stream index #0.9");
  // The failed outputs left nothing behind.
  EXPECT_EQ(Engine.OutputFiles.size(), 1u);
  EXPECT_EQ(Engine.OutputStreams.size(), 2u);
  EXPECT_FALSE(fs::exists(Out("b.mkv")));

  // Mapped streams of a disabled kind are skipped.
  ASSERT_EQ(OpenOutput(Out("c.mkv"), "-map 0 -an -c copy"), 1) << Engine.LastErrMsg();
  EXPECT_EQ(Engine.OutputStreams.size(), 3u);
  EXPECT_EQ(Ost(2)->SourceIndex, 0);
}

TEST_F(EngineSetupTest, DisabledKindsAndLimits) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  ASSERT_EQ(OpenOutput(Out("v.mp4"), "-an -c copy"), 0);
  ASSERT_EQ(OpenOutput(Out("a.mp4"), "-vn -c copy"), 1);
  ASSERT_EQ(Engine.OutputStreams.size(), 2u);
  EXPECT_EQ(Ost(0)->Stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Ost(1)->Stream->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);

  ASSERT_EQ(OpenOutput(Out("1.mp4"), "-c copy -ss 5 -to 20"), 2);
  EXPECT_EQ(Engine.OutputFiles[2]->Duration, 15000000);
  EXPECT_EQ(Engine.OutputFiles[2]->FormatContext()->duration, 15000000);
  ASSERT_EQ(OpenOutput(Out("2.mp4"), "-c copy -to 20"), 3);
  EXPECT_EQ(Engine.OutputFiles[3]->Duration, 20000000);
  ASSERT_EQ(OpenOutput(Out("3.mp4"), "-c copy -ss 20 -to 5"), 4);
  EXPECT_EQ(Engine.OutputFiles[4]->Duration, INT64_MAX);
  EXPECT_TRUE(Logged(llWarning, "-to value smaller than -ss; ignoring -to."));
  ASSERT_EQ(OpenOutput(Out("4.mp4"), "-c copy -t 10 -to 20 -fs 1000 -shortest -muxpreload 0.5 "
                                     "-frames:v 7"),
            5);
  EXPECT_TRUE(Logged(llWarning, "-t and -to cannot be used together; using -t."));
  EXPECT_EQ(Engine.OutputFiles[5]->Duration, 10000000);
  EXPECT_EQ(Engine.OutputFiles[5]->FileSizeLimit, 1000);
  EXPECT_EQ(Engine.OutputFiles[5]->Shortest, 1);
  EXPECT_STREQ(Engine.OutputFiles[5]->Options.Value("preload"), "500000");
  EXPECT_EQ(Engine.OutputStreams[Engine.OutputFiles[5]->FirstStreamIndex]->MaxFrames, 7);
  // -to was not a duration given: the longest output keeps the largest -t.
  EXPECT_EQ(Engine.LongestOutputDuration, 10000000);
}

TEST_F(EngineSetupTest, VideoSettingsAndTheirFaults) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  ASSERT_EQ(OpenOutput(Out("v.avi"), "-an -c:v mpeg4 -aspect 16:9 -pix_fmt +yuv420p -tag:v XVID "
                                     "-pass 1 -passlogfile pl -g 12 -intra -rc_override "
                                     "0,10,2/20,30,-50 -bsf:v dump_extra,null"),
            0)
      << Engine.LastErrMsg();
  TOutputStream* v = Ost(0);
  EXPECT_DOUBLE_EQ(v->FrameAspectRatio, 16.0 / 9.0);
  EXPECT_EQ(v->KeepPixFmt, 1);
  EXPECT_EQ(v->Codec()->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(v->Codec()->codec_tag, MKTAG('X', 'V', 'I', 'D'));
  EXPECT_TRUE(v->Codec()->flags & AV_CODEC_FLAG_PASS1);
  EXPECT_STREQ(v->EncoderOptions.Value("flags"), "+pass1");
  EXPECT_EQ(v->PassLogPrefix, "pl");
  EXPECT_EQ(v->Codec()->gop_size, 0);
  ASSERT_EQ(v->Codec()->rc_override_count, 2);
  EXPECT_EQ(v->Codec()->rc_override[0].qscale, 2);
  EXPECT_EQ(v->Codec()->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(v->Codec()->rc_override[1].quality_factor, 0.5f);
  EXPECT_EQ(v->BitstreamFilters->size(), 2u);

  struct {
    const char* Options;
    const char* Message;
  } faults[] = {
      {"-c:v mpeg4 -s 12xq", "Invalid frame size: 12xq."},
      {"-c:v mpeg4 -aspect 0:1", "Invalid aspect ratio: 0:1"},
      {"-c:v mpeg4 -pix_fmt nosuch", "Unknown pixel format requested: nosuch."},
      {"-c:v mpeg4 -r:v zz", "Invalid framerate value: zz"},
      {"-c:v mpeg4 -bsf:v nosuchbsf", "Unknown bitstream filter \"nosuchbsf\""},
      {"-c:v libvorbis", "Invalid encoder type \"libvorbis\""},
      {"-c:v mpeg4 -rc_override 1,2", "error parsing rc_override"},
      {"-c:a aac -sample_fmt nosuch", "Invalid sample format \"nosuch\""},
      {"-c:v mpeg4 -map 0:v -map 0:zz", "check_stream_specifier: "},
  };
  for (const auto& f : faults) {
    EXPECT_THROW(OpenOutput(Out("f.avi"), f.Options), FFmpegException) << f.Options;
    EXPECT_EQ(Engine.LastErrMsg().rfind(f.Message, 0), 0u) << f.Options << ": " << Engine.LastErrMsg();
  }
  EXPECT_EQ(Engine.OutputFiles.size(), 1u);
  EXPECT_EQ(Engine.OutputStreams.size(), 1u);
  for (const std::string& f : OtherFiles({}))
    EXPECT_EQ(f.find("f.avi"), std::string::npos) << f;
}

// ---------------------------------------------------------------------------------------------
// The file: safe writing

TEST_F(EngineSetupTest, ExistingOutputIsReplacedOnlyByACompleteFile) {
  const std::string src = FixturePath(FixtureKind::H264Mp4);
  ASSERT_EQ(OpenInput(src), 0);
  const std::string out = Out("cut.mp4");
  std::ofstream(out) << "old contents";
  ASSERT_EQ(OpenOutput(out, "-vcodec copy -acodec copy"), 0) << Engine.LastErrMsg();
  EXPECT_EQ(ReadAll(out), "old contents");
  AVFormatContext* oc = Engine.OutputFiles[0]->FormatContext();
  CopyStreamParameters(Engine, 0);
  AVDictionary* opts = nullptr;
  av_dict_copy(&opts, Engine.OutputFiles[0]->Options.Get(), 0);
  ASSERT_GE(avformat_write_header(oc, &opts), 0);
  av_dict_free(&opts);
  AVFormatContext* ic = Engine.InputFiles[0]->FormatContext.get();
  AVPacket* pkt = av_packet_alloc();
  for (int n = 0; n < 40 && av_read_frame(ic, pkt) >= 0; n++) {
    TOutputStream* ost = Ost(static_cast<size_t>(pkt->stream_index));
    av_packet_rescale_ts(pkt, ic->streams[pkt->stream_index]->time_base, ost->Stream->time_base);
    ASSERT_GE(av_interleaved_write_frame(oc, pkt), 0);
  }
  av_packet_free(&pkt);
  ASSERT_GE(av_write_trailer(oc), 0);
  EXPECT_EQ(ReadAll(out), "old contents");
  ASSERT_TRUE(Engine.CommitOutputFile(0)) << Engine.LastErrMsg();
  AVFormatContext* check = nullptr;
  ASSERT_EQ(avformat_open_input(&check, out.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(check->nb_streams, 2u);
  avformat_close_input(&check);
  EXPECT_EQ(OtherFiles({"cut.mp4"}), std::vector<std::string>());
}

TEST_F(EngineSetupTest, NoOverwriteKeepsAnExistingOutput) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  const std::string out = Out("kept.mp4");
  std::ofstream(out) << "keep me";
  EXPECT_EQ(OpenOutput(out, "-n -c copy"), -1);
  EXPECT_EQ(Engine.LastErrMsg(), "File \"" + out + "\" already exists. Ignore.");
  EXPECT_EQ(ReadAll(out), "keep me");
  EXPECT_TRUE(Engine.OutputFiles.empty());
  EXPECT_TRUE(Engine.OutputStreams.empty());
  EXPECT_EQ(OtherFiles({"kept.mp4"}), std::vector<std::string>());
  // A name that does not exist yet is still written with "n".
  EXPECT_EQ(OpenOutput(Out("new.mp4"), "-n -c copy"), 0) << Engine.LastErrMsg();
}

TEST_F(EngineSetupTest, OutputOntoAnInputIsRefused) {
  const std::string src = Out("source.mkv");
  WriteSynthetic(src, {{AVMEDIA_TYPE_VIDEO, 64, 48}, {AVMEDIA_TYPE_AUDIO, 0, 0, 2}});
  const std::string before = ReadAll(src);
  ASSERT_EQ(OpenInput(src), 0);
  fs::create_directories(Dir / "sub");
  const std::string spelt = (Dir / "sub" / ".." / "." / "source.mkv").string();
  EXPECT_EQ(OpenOutput(spelt, "-y -c copy"), -1);
  EXPECT_NE(Engine.LastErrMsg().find("input"), std::string::npos) << Engine.LastErrMsg();
  EXPECT_EQ(ReadAll(src), before);
  EXPECT_TRUE(Engine.OutputFiles.empty());
  // A hard link is the same file too.
  const std::string link = Out("link.mkv");
  ASSERT_EQ(::link(src.c_str(), link.c_str()), 0);
  EXPECT_EQ(OpenOutput(link, "-c copy"), -1);
  EXPECT_EQ(ReadAll(src), before);
}

TEST_F(EngineSetupTest, PictureSequenceFilesAreWrittenSafely) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  std::ofstream(Out("img001.png")) << "old";
  std::ofstream(Out("seq001.png")) << "keep";
  auto writeOne = [&](size_t output) {
    AVFormatContext* oc = Engine.OutputFiles[output]->FormatContext();
    AVCodecParameters* par = oc->streams[0]->codecpar;
    par->codec_id = AV_CODEC_ID_PNG;
    par->width = 320;
    par->height = 240;
    par->format = AV_PIX_FMT_RGB24;
    oc->streams[0]->time_base = {1, 25};
    EXPECT_GE(avformat_write_header(oc, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    av_new_packet(pkt, 4);
    std::memcpy(pkt->data, "NEW!", 4);
    pkt->pts = pkt->dts = 0;
    pkt->flags |= AV_PKT_FLAG_KEY;
    int r = av_write_frame(oc, pkt);
    av_packet_free(&pkt);
    av_write_trailer(oc);
    return r;
  };
  ASSERT_EQ(OpenOutput(Out("img%03d.png"), "-an -c:v png"), 0) << Engine.LastErrMsg();
  EXPECT_GE(writeOne(0), 0);
  EXPECT_EQ(ReadAll(Out("img001.png")), "NEW!");
  ASSERT_EQ(OpenOutput(Out("seq%03d.png"), "-n -an -c:v png"), 1) << Engine.LastErrMsg();
  EXPECT_LT(writeOne(1), 0);
  EXPECT_EQ(ReadAll(Out("seq001.png")), "keep");
  EXPECT_EQ(OtherFiles({"img001.png", "seq001.png"}), std::vector<std::string>());
}

TEST_F(EngineSetupTest, NamesWithColonsAreLocalFiles) {
  const std::string in = Out("take 1: start.mp4");
  fs::copy_file(FixturePath(FixtureKind::H264Mp4), in);
  ASSERT_EQ(OpenInput(in), 0) << Engine.LastErrMsg();
  const std::string out = Out("take 2: end.mp4");
  ASSERT_EQ(OpenOutput(out, "-c copy"), 0) << Engine.LastErrMsg();
  EXPECT_TRUE(Engine.OutputFiles[0]->Container->SafeFile.IsOpen());
  // Onto the input under its own name: refused.
  EXPECT_EQ(OpenOutput(in, "-c copy"), -1);
  EXPECT_EQ(fs::file_size(in), fs::file_size(FixturePath(FixtureKind::H264Mp4)));
}

TEST_F(EngineSetupTest, FailedOutputLeavesNoFile) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  EXPECT_EQ(OpenOutput(Out("nofolder/x.mp4"), "-c copy"), -1);
  EXPECT_FALSE(Engine.LastErrMsg().empty());
  EXPECT_FALSE(fs::exists(Out("nofolder")));
  // A failure after the file was opened: no file at the target and no new file beside it.
  EXPECT_EQ(OpenOutput(Out("late.mkv"), "-c copy -metadata:c:5 x=y"), -1);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid chapter index 5 in metadata specifier.");
  EXPECT_EQ(OtherFiles({}), std::vector<std::string>());
  EXPECT_TRUE(Engine.OutputFiles.empty());
  EXPECT_TRUE(Engine.OutputStreams.empty());
  EXPECT_EQ(OpenOutput(Out("x.nosuchext"), ""), -1);
  EXPECT_EQ(Engine.LastErrMsg().rfind(Out("x.nosuchext") + ": ", 0), 0u);
  EXPECT_EQ(OpenOutput(Out("y.mp4"), "-Join -bogus 1"), AVERROR_OPTION_NOT_FOUND);
  EXPECT_EQ(OtherFiles({}), std::vector<std::string>());
}

// ---------------------------------------------------------------------------------------------
// Filter graphs

TEST_F(EngineSetupTest, ScaleAndFormatForAFrameSize) {
  const std::string mkv = Out("vga.mkv");
  WriteSynthetic(mkv, {{AVMEDIA_TYPE_VIDEO, 640, 480}});
  ASSERT_EQ(OpenInput(mkv), 0) << Engine.LastErrMsg();
  ASSERT_EQ(OpenOutput(Out("s.avi"), "-c:v mpeg4 -s 320x240 -sws_flags bilinear"), 0)
      << Engine.LastErrMsg();
  TOutputStream* ost = Ost(0);
  EXPECT_EQ(ost->ScalerFlags, 2);
  TFilterGraph* fg = Engine.InitSimpleFilterGraph(Engine.InputStreams[0].get(), ost);
  ASSERT_EQ(Engine.ConfigureFilterGraph(fg), 0);
  ASSERT_EQ(fg->Inserted.size(), 4u);
  EXPECT_EQ(fg->Inserted[0].FilterName, "buffer");
  EXPECT_EQ(fg->Inserted[0].Name, "graph 0 input from stream 0:0");
  EXPECT_EQ(fg->Inserted[0].Args,
            "video_size=640x480:pix_fmt=yuv420p:time_base=1/1000:pixel_aspect=0/1:frame_rate=25/1");
  EXPECT_EQ(fg->Inserted[1].FilterName, "buffersink");
  EXPECT_EQ(fg->Inserted[1].Name, "output stream 0:0");
  EXPECT_EQ(fg->Inserted[2].FilterName, "scale");
  EXPECT_EQ(fg->Inserted[2].Name, "scaler for output stream 0:0");
  EXPECT_EQ(fg->Inserted[2].Args, "320:240:flags=0x2");
  EXPECT_EQ(fg->Inserted[3].FilterName, "format");
  EXPECT_EQ(fg->Inserted[3].Args, "yuv420p");
  EXPECT_EQ(av_buffersink_get_w(fg->Outputs[0]->Filter), 320);
  EXPECT_EQ(av_buffersink_get_h(fg->Outputs[0]->Filter), 240);
  EXPECT_EQ(av_buffersink_get_format(fg->Outputs[0]->Filter), AV_PIX_FMT_YUV420P);
  EXPECT_TRUE(fg->Reconfigured);
  EXPECT_TRUE(Engine.InputStreamInFilterGraph(Engine.InputStreams[0].get(), fg));

  // The scaler's default flags (bicubic) unless the text names others.
  ASSERT_EQ(OpenOutput(Out("s2.avi"), "-c:v mpeg4 -s 160x120"), 1);
  EXPECT_EQ(Ost(1)->ScalerFlags, 4);
  TFilterGraph* g1 = Engine.InitSimpleFilterGraph(Engine.InputStreams[0].get(), Ost(1));
  ASSERT_EQ(Engine.ConfigureFilterGraph(g1), 0);
  EXPECT_EQ(Inserted(g1, "scale")->Args, "160:120:flags=0x4");

  // Without a size no scaler; an encoder listing several formats gets them all.
  ASSERT_EQ(OpenOutput(Out("t.mkv"), "-c:v ffv1"), 2);
  TFilterGraph* g2 = Engine.InitSimpleFilterGraph(Engine.InputStreams[0].get(), Ost(2));
  ASSERT_EQ(Engine.ConfigureFilterGraph(g2), 0);
  EXPECT_EQ(Inserted(g2, "scale"), nullptr);
  ASSERT_NE(Inserted(g2, "format"), nullptr);
  EXPECT_NE(Inserted(g2, "format")->Args.find("yuv420p|"), std::string::npos);
  EXPECT_NE(Inserted(g2, "format")->Args.find("|gray"), std::string::npos);
  EXPECT_EQ(av_buffersink_get_format(g2->Outputs[0]->Filter), AV_PIX_FMT_YUV420P);

  // A wanted format the encoder lacks is replaced by its best match, with the warning.
  ASSERT_EQ(OpenOutput(Out("u.avi"), "-c:v mpeg4 -pix_fmt yuv444p"), 3);
  TFilterGraph* g3 = Engine.InitSimpleFilterGraph(Engine.InputStreams[0].get(), Ost(3));
  ASSERT_EQ(Engine.ConfigureFilterGraph(g3), 0);
  EXPECT_EQ(Inserted(g3, "format")->Args, "yuv420p");

  // A simple graph needs exactly one input and one output.
  ASSERT_EQ(OpenOutput(Out("w.avi"), "-c:v mpeg4 -vf split"), 4);
  TFilterGraph* g4 = Engine.InitSimpleFilterGraph(Engine.InputStreams[0].get(), Ost(4));
  EXPECT_EQ(Engine.ConfigureFilterGraph(g4), AVERROR(EINVAL));
}

TEST_F(EngineSetupTest, AudioGraphArguments) {
  const std::string mp4 = FixturePath(FixtureKind::H264Mp4);
  ASSERT_EQ(OpenInput(mp4), 0);
  // An encoder with one sample rate gets it in aformat whatever the input's rate.
  const AVCodec* single = nullptr;
  void* it = nullptr;
  while (const AVCodec* c = av_codec_iterate(&it)) {
    if (!av_codec_is_encoder(c) || c->type != AVMEDIA_TYPE_AUDIO || !c->supported_samplerates)
      continue;
    if (c->supported_samplerates[0] && !c->supported_samplerates[1] &&
        c->supported_samplerates[0] != 48000) {
      single = c;
      break;
    }
  }
  ASSERT_NE(single, nullptr);
  ASSERT_EQ(OpenOutput(Out("a.nut"), std::string("-vn -async 1 -c:a ") + single->name), 0)
      << Engine.LastErrMsg();
  TFilterGraph* fg = Engine.InitSimpleFilterGraph(Engine.InputStreams[1].get(), Ost(0));
  Engine.ConfigureFilterGraph(fg);
  const TInsertedFilter* af = Inserted(fg, "aformat");
  ASSERT_NE(af, nullptr);
  EXPECT_EQ(af->Name, "audio format for output stream 0:0");
  EXPECT_NE(af->Args.find("sample_rates=" + std::to_string(single->supported_samplerates[0]) + ":"),
            std::string::npos)
      << af->Args;
  const TInsertedFilter* src = Inserted(fg, "abuffer");
  ASSERT_NE(src, nullptr);
  EXPECT_EQ(src->Args, "time_base=1/48000:sample_rate=48000:sample_fmt=fltp:channel_layout=0x3");
  const TInsertedFilter* ar = Inserted(fg, "aresample");
  ASSERT_NE(ar, nullptr);
  EXPECT_EQ(ar->Name, "graph 0 aresample for input stream 0:1");
  EXPECT_EQ(ar->Args, "async=1:first_pts=0");
  EXPECT_TRUE(Logged(llInfo, "-async is forwarded to lavfi similarly to -af aresample=async=1:first_pts=0."));
  Engine.ConfigureFilterGraph(fg);  // a rebuild
  EXPECT_EQ(Inserted(fg, "aresample")->Args, "async=1");

  // One channel taken from a stereo input.
  ASSERT_EQ(OpenOutput(Out("b.mkv"), "-vn -c:a aac -map_channel 0.1.1 -vol 512"), 1)
      << Engine.LastErrMsg();
  EXPECT_EQ(Ost(1)->AudioChannelsMapped, 1);
  TFilterGraph* g2 = Engine.InitSimpleFilterGraph(Engine.InputStreams[1].get(), Ost(1));
  ASSERT_EQ(Engine.ConfigureFilterGraph(g2), 0);
  const TInsertedFilter* pan = Inserted(g2, "pan");
  ASSERT_NE(pan, nullptr);
  EXPECT_EQ(pan->Args, "0x4|c0=c1");
  EXPECT_TRUE(Logged(llInfo, "-map_channel is forwarded to lavfi similarly to -af pan=0x4|c0=c1."));
  ASSERT_NE(Inserted(g2, "volume"), nullptr);
  EXPECT_EQ(Inserted(g2, "volume")->Args, "2.000000");
  // The chain runs source -> volume -> aresample.
  EXPECT_EQ(g2->Inserted[1].FilterName, "volume");
  EXPECT_EQ(g2->Inserted[2].FilterName, "aresample");
  AVChannelLayout outLayout{};
  ASSERT_GE(av_buffersink_get_ch_layout(g2->Outputs[0]->Filter, &outLayout), 0);
  EXPECT_EQ(outLayout.nb_channels, 1);
  av_channel_layout_uninit(&outLayout);
}

TEST_F(EngineSetupTest, ForcedInputRateAddsSetpts) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4), "-r 25"), 0);
  ASSERT_EQ(OpenOutput(Out("r.avi"), "-an -c:v mpeg4"), 0);
  TFilterGraph* fg = Engine.InitSimpleFilterGraph(Engine.InputStreams[0].get(), Ost(0));
  ASSERT_EQ(Engine.ConfigureFilterGraph(fg), 0);
  const TInsertedFilter* buf = Inserted(fg, "buffer");
  ASSERT_NE(buf, nullptr);
  EXPECT_NE(buf->Args.find(":time_base=1/25:"), std::string::npos) << buf->Args;
  EXPECT_NE(buf->Args.find(":frame_rate=25/1"), std::string::npos) << buf->Args;
  const TInsertedFilter* setpts = Inserted(fg, "setpts");
  ASSERT_NE(setpts, nullptr);
  EXPECT_EQ(setpts->Name, "force CFR for input from stream 0:0");
  EXPECT_EQ(setpts->Args, "N");
}

TEST_F(EngineSetupTest, ComplexGraphs) {
  const std::string mp4 = FixturePath(FixtureKind::H264Mp4);
  ASSERT_EQ(OpenInput(mp4), 0);
  ASSERT_EQ(OpenOutput(Out("c.mkv"),
                       "-filter_complex [0:v]split[a][b] -map [a] -c:v ffv1 -an"),
            0)
      << Engine.LastErrMsg();
  ASSERT_EQ(Engine.FilterGraphs.size(), 1u);
  TFilterGraph* fg = Engine.FilterGraphs[0].get();
  ASSERT_EQ(fg->Inputs.size(), 1u);
  EXPECT_EQ(fg->Inputs[0]->InputStream, Engine.InputStreams[0].get());
  EXPECT_EQ(Engine.InputStreams[0]->DecodingNeeded, 1);
  ASSERT_EQ(fg->Outputs.size(), 2u);
  EXPECT_EQ(Ost(0)->SourceIndex, -1);
  ASSERT_NE(Ost(0)->Filter, nullptr);
  EXPECT_EQ(Ost(0)->Filter->Graph, fg);
  EXPECT_EQ(Ost(0)->Filter->OutputStream, Ost(0));
  EXPECT_FALSE(Ost(0)->Filter->PendingLink);
  TOutputFilter* other = fg->Outputs[0].get() == Ost(0)->Filter ? fg->Outputs[1].get()
                                                                 : fg->Outputs[0].get();
  ASSERT_TRUE(other->PendingLink);
  EXPECT_STREQ(other->PendingLink->name, "b");
  // [b] goes to the next output, which takes it without a map... as a labelled output only
  // through a map; an unknown label is refused.
  EXPECT_EQ(OpenOutput(Out("d.mkv"), "-map [zz] -c:v ffv1"), -1);
  EXPECT_EQ(Engine.LastErrMsg(), "Output with label \"zz\" does not exist in any defined filter "
                                 "graph, or was already used elsewhere.");
  EXPECT_THROW(OpenOutput(Out("e.mkv"), "-map [b] -c:v copy"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Streamcopy requested for output stream 1:0, which is fed from "
                                 "a complex filtergraph. Filtering and streamcopy cannot be used "
                                 "together.");
  // A rebuild connects both outputs and configures the graph.
  ASSERT_EQ(OpenOutput(Out("f.mkv"), "-map [b] -c:v ffv1"), 1) << Engine.LastErrMsg();
  ASSERT_EQ(Engine.ConfigureFilterGraph(fg), 0);
  EXPECT_NE(fg->Outputs[1]->Filter, nullptr);

  // An unlabelled graph output goes to the next output file and takes the place of the
  // automatic video choice.
  TEngine auto1;
  TFileOptionsContext actx;
  auto1.InitOptionsContext(actx);
  ASSERT_EQ(auto1.OpenInputFile(actx, "", mp4, ""), 0);
  auto1.ReleaseOptionsContext(actx);
  auto1.InitOptionsContext(actx);
  ASSERT_EQ(auto1.OpenOutputFile(actx, "-filter_complex [0:v]scale=160:120 -c:v ffv1 -c:a copy",
                                 false, Out("u.mkv"), ""),
            0)
      << auto1.LastErrMsg();
  auto1.ReleaseOptionsContext(actx);
  ASSERT_EQ(auto1.OutputStreams.size(), 2u);
  EXPECT_EQ(auto1.OutputStreams[0]->SourceIndex, -1);
  EXPECT_NE(auto1.OutputStreams[0]->Filter, nullptr);
  EXPECT_EQ(auto1.OutputStreams[1]->SourceIndex, 1);
  ASSERT_EQ(auto1.ConfigureFilterGraph(auto1.FilterGraphs[0].get()), 0);
  EXPECT_EQ(av_buffersink_get_w(auto1.OutputStreams[0]->Filter->Filter), 160);

  TEngine bad;
  TFileOptionsContext ctx;
  bad.InitOptionsContext(ctx);
  ASSERT_EQ(bad.OpenInputFile(ctx, "", mp4, ""), 0);
  bad.ReleaseOptionsContext(ctx);
  bad.InitOptionsContext(ctx);
  EXPECT_THROW(bad.OpenOutputFile(ctx, "-filter_complex [3:v]null", false, Out("g.mkv"), ""),
               FFmpegException);
  bad.ReleaseOptionsContext(ctx);
  EXPECT_EQ(bad.LastErrMsg(), "Invalid file index 3 in filtergraph description [3:v]null.");
}

// ---------------------------------------------------------------------------------------------
// Metadata, chapters, attachments, targets

class MetadataTest : public EngineSetupTest {
protected:
  void SetUp() override {
    EngineSetupTest::SetUp();
    Source = Out("chapters.mkv");
    WriteSynthetic(Source, {{AVMEDIA_TYPE_VIDEO, 64, 48, 0, true}, {AVMEDIA_TYPE_AUDIO, 0, 0, 2, true}},
                   {{0, 30, "one"}, {50, 70, "two"}, {80, 120, "three"}, {100, 130, "four"}},
                   "My title");
    ASSERT_EQ(OpenInput(Source), 0) << Engine.LastErrMsg();
    AVFormatContext* ic = Engine.InputFiles[0]->FormatContext.get();
    ASSERT_EQ(ic->nb_chapters, 4u);
    av_dict_set(&ic->metadata, "duration", "00:02:10", 0);
    av_dict_set(&ic->metadata, "creation_time", "2020-01-01T00:00:00Z", 0);
  }
  AVFormatContext* OutCtx(size_t i = 0) { return Engine.OutputFiles.at(i)->FormatContext(); }
  std::string Source;
};

TEST_F(MetadataTest, AutomaticCopiesAndChaptersCutToTheRange) {
  ASSERT_EQ(OpenOutput(Out("cut.mkv"), "-ss 60 -t 30 -c copy"), 0) << Engine.LastErrMsg();
  AVFormatContext* oc = OutCtx();
  EXPECT_STREQ(av_dict_get(oc->metadata, "title", nullptr, 0)->value, "My title");
  EXPECT_EQ(av_dict_get(oc->metadata, "duration", nullptr, 0), nullptr);
  EXPECT_EQ(av_dict_get(oc->metadata, "creation_time", nullptr, 0), nullptr);
  EXPECT_STREQ(av_dict_get(oc->streams[1]->metadata, "language", nullptr, 0)->value, "ger");
  ASSERT_EQ(oc->nb_chapters, 2u);
  AVChapter* c0 = oc->chapters[0];
  AVChapter* c1 = oc->chapters[1];
  auto secs = [](const AVChapter* c, int64_t t) { return double(t) * av_q2d(c->time_base); };
  EXPECT_DOUBLE_EQ(secs(c0, c0->start), 0.0);
  EXPECT_DOUBLE_EQ(secs(c0, c0->end), 10.0);
  EXPECT_DOUBLE_EQ(secs(c1, c1->start), 20.0);
  EXPECT_DOUBLE_EQ(secs(c1, c1->end), 30.0);
  EXPECT_STREQ(av_dict_get(c0->metadata, "title", nullptr, 0)->value, "two");
  EXPECT_STREQ(av_dict_get(c1->metadata, "title", nullptr, 0)->value, "three");

  // Without a range the duration tag stays and every chapter is copied.
  ASSERT_EQ(OpenOutput(Out("whole.mkv"), "-c copy"), 1);
  EXPECT_NE(av_dict_get(OutCtx(1)->metadata, "duration", nullptr, 0), nullptr);
  EXPECT_EQ(OutCtx(1)->nb_chapters, 4u);
}

TEST_F(MetadataTest, MappingsAndEntries) {
  ASSERT_EQ(OpenOutput(Out("none.mkv"), "-map_metadata -1 -c copy"), 0) << Engine.LastErrMsg();
  EXPECT_EQ(av_dict_get(OutCtx(0)->metadata, "title", nullptr, 0), nullptr);
  EXPECT_EQ(av_dict_get(OutCtx(0)->streams[1]->metadata, "language", nullptr, 0), nullptr);
  ASSERT_EQ(OutCtx(0)->nb_chapters, 4u);
  EXPECT_EQ(av_dict_get(OutCtx(0)->chapters[0]->metadata, "title", nullptr, 0), nullptr);

  ASSERT_EQ(OpenOutput(Out("tags.mkv"),
                       "-c copy -metadata:s:a language=eng -metadata title= -metadata artist=me "
                       "-metadata:c:1 title=Second -map_metadata:s:v 0:g"),
            1)
      << Engine.LastErrMsg();
  AVFormatContext* oc = OutCtx(1);
  EXPECT_STREQ(av_dict_get(oc->streams[1]->metadata, "language", nullptr, 0)->value, "eng");
  EXPECT_EQ(av_dict_get(oc->metadata, "title", nullptr, 0), nullptr);
  EXPECT_STREQ(av_dict_get(oc->metadata, "artist", nullptr, 0)->value, "me");
  EXPECT_STREQ(av_dict_get(oc->chapters[1]->metadata, "title", nullptr, 0)->value, "Second");
  EXPECT_STREQ(av_dict_get(oc->streams[0]->metadata, "title", nullptr, 0)->value, "My title");

  struct {
    const char* Options;
    const char* Message;
  } faults[] = {
      {"-c copy -metadata:c:5 x=y", "Invalid chapter index 5 in metadata specifier."},
      {"-c copy -metadata novalue", "No \"=\" character in metadata string novalue."},
      {"-c copy -metadata:p:0 x=y", "Invalid metadata specifier p:0."},
      {"-c copy -metadata:x x=y", "Invalid metadata type x."},
      {"-c copy -metadata:sx x=y", "Invalid metadata specifier sx."},
      {"-c copy -map_metadata 3", "Invalid input file index 3 while processing metadata maps"},
      {"-c copy -map_metadata:c:9 0", "Invalid chapter index 9 while processing metadata maps."},
      {"-c copy -map_metadata 0:s:a:4", "Stream specifier a:4 does not match  any streams."},
      {"-c copy -map_chapters 4", "Invalid input file index 4 in chapter mapping."},
  };
  for (const auto& f : faults) {
    EXPECT_EQ(OpenOutput(Out("f.mkv"), f.Options), -1) << f.Options;
    EXPECT_EQ(Engine.LastErrMsg(), f.Message) << f.Options;
  }
  EXPECT_EQ(Engine.OutputFiles.size(), 2u);
  EXPECT_FALSE(fs::exists(Out("f.mkv")));
}

TEST_F(MetadataTest, AttachmentNamedFromABackslashPath) {
  const fs::path old = fs::current_path();
  fs::current_path(Dir);
  std::ofstream("fonts\\a.ttf", std::ios::binary) << "FONTDATA";
  int r = OpenOutput(Out("att.mkv"), "-c copy -attach fonts\\a.ttf");
  fs::current_path(old);
  ASSERT_EQ(r, 0) << Engine.LastErrMsg();
  ASSERT_EQ(Engine.OutputStreams.size(), 3u);
  TOutputStream* att = Ost(2);
  EXPECT_EQ(att->Stream->codecpar->codec_type, AVMEDIA_TYPE_ATTACHMENT);
  EXPECT_EQ(att->Finished, 1);
  EXPECT_EQ(att->StreamCopy, 0);
  EXPECT_EQ(att->AttachmentFileName, "fonts\\a.ttf");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(att->Stream->codecpar->extradata),
                        static_cast<size_t>(att->Stream->codecpar->extradata_size)),
            "FONTDATA");
  EXPECT_STREQ(av_dict_get(att->Stream->metadata, "filename", nullptr, 0)->value, "a.ttf");

  // Written out and read back, the attachment can be dumped into a file of its own.
  ASSERT_EQ(OpenOutput(Out("att3.mkv"),
                       "-c copy -attach " + (Dir / "fonts\\a.ttf").string() +
                           " -metadata:s:t mimetype=font/ttf"),
            1)
      << Engine.LastErrMsg();
  CopyStreamParameters(Engine, 1);
  AVFormatContext* oc = OutCtx(1);
  ASSERT_GE(avformat_write_header(oc, nullptr), 0);
  CopyPackets(Engine, 1, 4);
  ASSERT_GE(av_write_trailer(oc), 0);
  ASSERT_TRUE(Engine.CommitOutputFile(1)) << Engine.LastErrMsg();
  const std::string dumped = Out("dumped.ttf");
  ASSERT_EQ(OpenInput(Out("att3.mkv"), "-dump_attachment:t " + dumped), 1) << Engine.LastErrMsg();
  EXPECT_EQ(ReadAll(dumped), "FONTDATA");
  // An existing file is not overwritten with "n".
  std::ofstream(dumped, std::ios::trunc) << "mine";
  ASSERT_EQ(OpenInput(Out("att3.mkv"), "-n -dump_attachment:t " + dumped), 2);
  EXPECT_EQ(ReadAll(dumped), "mine");
  EXPECT_TRUE(Logged(llWarning, "File \"" + dumped + "\" already exists. Ignore."));
  // Never onto an input.
  ASSERT_EQ(OpenInput(Out("att3.mkv"), "-y -non -dump_attachment:t " + Source), 3);
  EXPECT_TRUE(Logged(llError, "Could not open file " + Source + " for writing."));
  EXPECT_EQ(OpenInput(Source), 4);

  EXPECT_EQ(OpenOutput(Out("att2.mkv"), "-c copy -attach " + Out("nosuch.ttf")), -1);
  EXPECT_EQ(Engine.LastErrMsg(), "Could not open attachment file " + Out("nosuch.ttf") + ".");
}

TEST_F(EngineSetupTest, Targets) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  ASSERT_EQ(OpenOutput(Out("d.vob"), "-target ntsc-dvd"), 0) << Engine.LastErrMsg();
  EXPECT_STREQ(Engine.OutputFiles[0]->FormatContext()->oformat->name, "dvd");
  TOutputStream* v = Ost(0);
  TOutputStream* a = Ost(1);
  EXPECT_STREQ(v->Encoder->name, "mpeg2video");
  EXPECT_EQ(v->Codec()->width, 720);
  EXPECT_EQ(v->Codec()->height, 480);
  EXPECT_EQ(v->FrameRate.num, 30000);
  EXPECT_EQ(v->FrameRate.den, 1001);
  EXPECT_EQ(v->Codec()->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_STREQ(v->EncoderOptions.Value("g"), "18");
  EXPECT_STREQ(v->EncoderOptions.Value("b"), "6000000");
  EXPECT_STREQ(v->EncoderOptions.Value("maxrate"), "9000000");
  EXPECT_STREQ(a->Encoder->name, "ac3");
  EXPECT_STREQ(a->EncoderOptions.Value("b"), "448000");
  EXPECT_EQ(a->Codec()->sample_rate, 48000);
  EXPECT_STREQ(Engine.OutputFiles[0]->Options.Value("muxrate"), "10080000");

  // No prefix: the 25 fps input decides.
  ASSERT_EQ(OpenOutput(Out("e.dv"), "-target dv50 -an"), 1) << Engine.LastErrMsg();
  EXPECT_TRUE(Logged(llInfo, "Assuming PAL for target."));
  TOutputStream* dv = Ost(2);
  EXPECT_STREQ(Engine.OutputFiles[1]->FormatContext()->oformat->name, "dv");
  EXPECT_EQ(dv->Codec()->width, 720);
  EXPECT_EQ(dv->Codec()->height, 576);
  EXPECT_EQ(dv->Codec()->pix_fmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(dv->FrameRate.num, 25);

  EXPECT_EQ(OpenOutput(Out("f.mpg"), "-target laserdisc"), AVERROR(EINVAL));
  EXPECT_NE(Engine.LastErrMsg().find("Unknown target: laserdisc"), std::string::npos);

  TEngine noInput;
  TFileOptionsContext ctx;
  noInput.InitOptionsContext(ctx);
  EXPECT_THROW(noInput.OpenOutputFile(ctx, "-target vcd", false, Out("g.mpg"), ""),
               FFmpegException);
  noInput.ReleaseOptionsContext(ctx);
  EXPECT_EQ(noInput.LastErrMsg().rfind("Could not determine norm (PAL/NTSC/NTSC-Film) for "
                                       "target.\r\nPlease prefix target with \"pal-\"",
                                       0),
            0u);
}

// ---------------------------------------------------------------------------------------------
// Joining

TEST_F(EngineSetupTest, JoiningTwoInputs) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mkv)), 1);
  ASSERT_EQ(OpenOutput(Out("j.mkv"), "-c copy", true), 0) << Engine.LastErrMsg();
  EXPECT_TRUE(Engine.Joined);
  ASSERT_EQ(Engine.OutputFiles.size(), 2u);
  EXPECT_EQ(Engine.OutputFiles[1]->FirstStreamIndex, 2);
  EXPECT_EQ(Engine.OutputFiles[1]->FormatContext(), Engine.OutputFiles[0]->FormatContext());
  ASSERT_EQ(Engine.OutputStreams.size(), 4u);
  EXPECT_EQ(Ost(2)->SourceIndex, 2);
  EXPECT_EQ(Ost(3)->SourceIndex, 3);
  EXPECT_EQ(Ost(2)->Stream, Ost(0)->Stream);
  EXPECT_EQ(Ost(2)->Codec(), Ost(0)->Codec());
  EXPECT_EQ(Ost(2)->FileIndex, 1);
  int64_t total = Engine.InputFiles[0]->FormatContext->duration +
                  Engine.InputFiles[1]->FormatContext->duration;
  EXPECT_EQ(Engine.LongestOutputDuration, total);
  EXPECT_EQ(OpenOutput(Out("k.mkv"), "-c copy", false), -1);
  EXPECT_EQ(Engine.LastErrMsg(), "Cannot join more than one output file.");
}

TEST_F(EngineSetupTest, JoinRefusedWhenStreamsDiffer) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::StillPng)), 1);
  EXPECT_EQ(OpenOutput(Out("j.mkv"), "-c copy", true), -1);
  EXPECT_EQ(Engine.LastErrMsg(), "Cannot join files with diffrent steams state");
  EXPECT_FALSE(Engine.Joined);
  EXPECT_TRUE(Engine.OutputFiles.empty());
  EXPECT_TRUE(Engine.OutputStreams.empty());
  EXPECT_EQ(OtherFiles({}), std::vector<std::string>());
}

// ---------------------------------------------------------------------------------------------
// Packet muxers

TEST_F(EngineSetupTest, PacketMuxers) {
  ASSERT_EQ(OpenInput(FixturePath(FixtureKind::H264Mp4)), 0);
  UnregisterPacketMuxers();
  TFrameOutputAdapter adapter;
  EXPECT_EQ(OpenOutput(adapter.FileName(), "-f rawh264 -c:v copy"), -1);  // not registered
  RegisterPacketMuxers();
  RegisterPacketMuxers();
  const TRawMuxer* m = FindRawMuxer("rawmjpeg");
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m->LongName, "raw MJPEG video");
  EXPECT_STREQ(m->Extensions, "mjpg,mjpeg");
  EXPECT_STREQ(m->MimeType, "video/x-mjpeg");
  EXPECT_EQ(m->Flags, AVFMT_NOFILE | AVFMT_NOTIMESTAMPS);
  for (const char* n : {"rawh263", "rawh264", "rawyuv", "rawrgb"}) EXPECT_NE(FindRawMuxer(n), nullptr);
  EXPECT_EQ(FindRawMuxer("RAWH264"), nullptr);

  ASSERT_EQ(OpenOutput(adapter.FileName(), "-f rawyuv -s 64x48"), 0) << Engine.LastErrMsg();
  ASSERT_EQ(Engine.OutputStreams.size(), 1u);  // no sound in a picture sink
  EXPECT_STREQ(Ost(0)->Encoder->name, "rawvideo");
  EXPECT_TRUE(OtherFiles({}).empty());
  TOutputContainer* c = Engine.OutputFiles[0]->Container.get();
  ASSERT_EQ(c->RawMuxer, FindRawMuxer("rawyuv"));
  c->FormatContext->streams[0]->codecpar->width = 64;
  c->FormatContext->streams[0]->codecpar->height = 48;
  c->FormatContext->streams[0]->codecpar->format = AV_PIX_FMT_YUV420P;
  int headers = 0, packets = 0, trailers = 0;
  adapter.OnHeader = [&](TFrameOutputAdapter*) { headers++; };
  adapter.OnPacket = [&](TFrameOutputAdapter*, TRawMuxerContext* ctx) {
    packets++;
    EXPECT_EQ(ctx->Packet->size, 3);
  };
  adapter.OnTrailer = [&](TFrameOutputAdapter*) { trailers++; };
  ASSERT_EQ(RawMuxerWriteHeader(*c->RawMuxer, c->FormatContext, c->RawContext), 0);
  EXPECT_EQ(adapter.Context()->Width, 64);
  EXPECT_EQ(adapter.Context()->PixFmt, AV_PIX_FMT_YUV420P);
  AVPacket* pkt = av_packet_alloc();
  av_new_packet(pkt, 3);
  RawMuxerWritePacket(*c->RawContext, pkt);
  RawMuxerWritePacket(*c->RawContext, pkt);
  av_packet_free(&pkt);
  RawMuxerWriteTrailer(*c->RawContext);
  EXPECT_EQ(headers, 1);
  EXPECT_EQ(packets, 2);
  EXPECT_EQ(trailers, 1);
  EXPECT_EQ(c->RawContext->PacketCount, 2);

  // A name that is no live adapter never reaches memory.
  ASSERT_EQ(OpenOutput("12345", "-f rawh264 -c:v copy"), 1);
  TOutputContainer* c2 = Engine.OutputFiles[1]->Container.get();
  EXPECT_EQ(RawMuxerWriteHeader(*c2->RawMuxer, c2->FormatContext, c2->RawContext),
            AVERROR(EINVAL));
  ASSERT_EQ(OpenOutput("adapter", "-f rawh264 -c:v copy"), 2);
  TOutputContainer* c3 = Engine.OutputFiles[2]->Container.get();
  EXPECT_EQ(RawMuxerWriteHeader(*c3->RawMuxer, c3->FormatContext, c3->RawContext),
            AVERROR(EINVAL));
  std::lock_guard<std::mutex> lock(gLock);
  bool invalid = false, unparsed = false;
  for (const std::string& l : gAVLines) {
    invalid = invalid || l == "Invalid FrameOutputAdapter\n";
    unparsed = unparsed || l == "Could not parse FrameOutputAdapter: \"adapter\", it should be "
                                "address of FrameOutputAdapter\n";
  }
  EXPECT_TRUE(invalid);
  EXPECT_TRUE(unparsed);
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
