#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "engine/FFmpegOpt.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "runtime/MediaTexts.h"

namespace {

struct TLine {
  TLogLevel Level;
  std::string Msg;
};

std::mutex gLock;
std::vector<TLine> gLogger;                        // lines through the log collector
std::vector<std::pair<int, std::string>> gAVLines;  // lines through FFmpeg's logger

void CaptureAV(void*, int level, const char* fmt, va_list vl) {
  char buf[2048];
  vsnprintf(buf, sizeof buf, fmt, vl);
  std::lock_guard<std::mutex> lock(gLock);
  gAVLines.emplace_back(level, buf);
}

class TTestEngine : public TCustomFFmpegOpt {
public:
  std::vector<std::string> Hooks;
  std::vector<std::string> ProgressURLs;

  TTestEngine() {
    FVideoHookOption = [this](const std::string& arg) {
      Hooks.push_back("vhook " + arg);
      return 0;
    };
    FVideoHookBitsPixelOption = [this](const std::string& arg) {
      Hooks.push_back("bits " + arg);
      return arg == "24" || arg == "32" ? 0 : AVERROR(EINVAL);
    };
  }

protected:
  int OpenProgressURL(const std::string& url) override {
    ProgressURLs.push_back(url);
    return url == "bad:" ? AVERROR(ENOENT) : 0;
  }
};

class JobOptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gLock);
      gLogger.clear();
      gAVLines.clear();
    }
    av_log_set_callback(CaptureAV);
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([](const void*, uint32_t, TLogLevel level, const std::string& msg) {
      std::lock_guard<std::mutex> lock(gLock);
      gLogger.push_back({level, msg});
    });
    FFLogger().SetLogLevel(llDebug);
    Engine.BuildOptionTable();
    Engine.InitOptionsContext(Ctx);
  }
  void TearDown() override {
    Engine.ReleaseOptionsContext(Ctx);
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetLogLevel(llInfo);
    av_log_set_callback(av_log_default_callback);
  }

  int Parse(const std::string& options, const std::string& presets = std::string()) {
    return Engine.ParseOptions(&Ctx, options, "output file", presets);
  }
  static bool Logged(TLogLevel level, const std::string& msg) {
    std::lock_guard<std::mutex> lock(gLock);
    for (auto& l : gLogger)
      if (l.Level == level && l.Msg == msg) return true;
    return false;
  }
  static int CountLogged(const std::string& msg) {
    std::lock_guard<std::mutex> lock(gLock);
    int n = 0;
    for (auto& l : gLogger) n += l.Msg == msg;
    return n;
  }
  static bool AVLogged(int level, const std::string& msg) {
    std::lock_guard<std::mutex> lock(gLock);
    for (auto& l : gAVLines)
      if (l.first == level && l.second == msg) return true;
    return false;
  }
  const char* Codec(const std::string& key) { return Ctx.Group->CodecOpts.Value(key); }

  TTestEngine Engine;
  TFileOptionsContext Ctx;
};

// Specifier/value pairs of a string list.
std::vector<std::pair<std::string, std::string>> Strs(const TSpecifierList& l) {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& e : l) out.emplace_back(e.Specifier, e.Str);
  return out;
}
std::vector<std::pair<std::string, int>> Ints(const TSpecifierList& l) {
  std::vector<std::pair<std::string, int>> out;
  for (auto& e : l) out.emplace_back(e.Specifier, e.Int);
  return out;
}
std::vector<std::pair<std::string, double>> Dbls(const TSpecifierList& l) {
  std::vector<std::pair<std::string, double>> out;
  for (auto& e : l) out.emplace_back(e.Specifier, e.Dbl);
  return out;
}
using SP = std::vector<std::pair<std::string, std::string>>;
using IP = std::vector<std::pair<std::string, int>>;
using DP = std::vector<std::pair<std::string, double>>;

// An output context with a video stream (index 0) and an audio stream (index 1).
struct TOutput {
  AVFormatContext* Ctx = nullptr;
  TOutput() {
    avformat_alloc_output_context2(&Ctx, nullptr, "matroska", nullptr);
    AVStream* v = avformat_new_stream(Ctx, nullptr);
    v->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    AVStream* a = avformat_new_stream(Ctx, nullptr);
    a->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  }
  ~TOutput() { avformat_free_context(Ctx); }
  AVStream* Video() const { return Ctx->streams[0]; }
  AVStream* Audio() const { return Ctx->streams[1]; }
};

// ---------------------------------------------------------------------------------------------

TEST(SplitOptionText, QuotesBackslashesAndEmptyArguments) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitOptionText("a \"b c\" d"), (V{"a", "b c", "d"}));
  EXPECT_EQ(SplitOptionText("\\\"x"), (V{"\"x"}));
  EXPECT_EQ(SplitOptionText("\\\\\"b c\""), (V{"\\b c"}));
  EXPECT_EQ(SplitOptionText("a\\b c\\\\d"), (V{"a\\b", "c\\\\d"}));
  EXPECT_EQ(SplitOptionText("\"a\"\"b\""), (V{"a\"b"}));
  EXPECT_EQ(SplitOptionText(""), V{});
  EXPECT_EQ(SplitOptionText(" \t "), V{});
  EXPECT_EQ(SplitOptionText("\"\""), (V{""}));
  EXPECT_EQ(SplitOptionText("-f \"\" -y"), (V{"-f", "", "-y"}));
  EXPECT_EQ(SplitOptionText("\\\\\\\"q"), (V{"\\\"q"}));
  // An open span runs to the end of the text.
  EXPECT_EQ(SplitOptionText("a \"b c  d"), (V{"a", "b c  d"}));
  EXPECT_EQ(SplitOptionText("  -ss 10\t-t  15.5 "), (V{"-ss", "10", "-t", "15.5"}));
}

TEST_F(JobOptionsTest, TableHasAllRowsInOrder) {
  const char* names[] = {
      "L", "h", "?", "help", "-help", "version", "formats", "codecs", "decoders", "encoders",
      "bsfs", "protocols", "filters", "pix_fmts", "layouts", "sample_fmts", "loglevel", "v",
      "report", "max_alloc", "cpuflags", "f", "y", "n", "c", "codec", "pre", "map",
      "map_channel", "map_metadata", "map_chapters", "t", "t_microsecond", "to",
      "to_microsecond", "fs", "ss", "ss_microsecond", "itsoffset", "itsoffset_microsecond",
      "itsscale", "timestamp", "metadata", "dframes", "benchmark", "benchmark_all", "progress",
      "stdin", "timelimit", "dump", "hex", "re", "target", "vsync", "async", "adrift_threshold",
      "copyts", "copytb", "shortest", "dts_delta_threshold", "dts_error_threshold", "xerror",
      "copyinkf", "copypriorss", "frames", "tag", "q", "qscale", "profile", "filter",
      "reinit_filter", "filter_complex", "stats", "attach", "dump_attachment", "vframes", "r",
      "s", "aspect", "pix_fmt", "bits_per_raw_sample", "intra", "vn", "vdt", "rc_override",
      "vcodec", "sameq", "same_quant", "timecode", "pass", "passlogfile", "deinterlace", "psnr",
      "vstats", "vstats_file", "vf", "intra_matrix", "inter_matrix", "top", "dc", "vtag",
      "qphist", "force_fps", "streamid", "force_key_frames", "b", "aframes", "aq", "ar", "ac",
      "an", "acodec", "atag", "vol", "sample_fmt", "channel_layout", "af", "guess_layout_max",
      "sn", "scodec", "stag", "fix_sub_duration", "vc", "tvstd", "isync", "muxdelay",
      "muxpreload", "bsf", "absf", "vbsf", "apre", "vpre", "spre", "fpre", "dcodec", "dn",
      "vhook", "VideoHookBitsPixel", "TimeStart", "timestart", "TimeLength", "timelength",
      "AudioInputHook", "AudioOutputHook", "VideoInputHook", "VideoOutputHook", "FrameInputHook",
      "FrameOutputHook", "Join"};
  const TOptionTable& t = Engine.OptionTable();
  ASSERT_EQ(t.size(), 149u);
  ASSERT_EQ(std::size(names), 149u);
  for (size_t i = 0; i < t.size(); i++) EXPECT_EQ(t[i].Name, names[i]) << "row " << i;
  // Building again keeps the table.
  const TOptionDef* first = &t[0];
  Engine.BuildOptionTable();
  EXPECT_EQ(&Engine.OptionTable()[0], first);
  EXPECT_EQ(Engine.OptionTable().size(), 149u);
}

TEST_F(JobOptionsTest, RowsCarryTheirFlagsArgumentsAndHelp) {
  struct TRow {
    const char* Name;
    uint32_t Flags;
    const char* Arg;
    const char* Help;
  };
  const TRow rows[] = {
      {"ss", 0x14001, "time_off", "set the start time offset"},
      {"ss_microsecond", 0x4401, "time_off", "set the start time offset"},
      {"t", 0x14001, "duration", "record or transcode \"duration\" seconds of audio/video"},
      {"t_microsecond", 0x4401, "duration",
       "record or transcode \"duration\" seconds of audio/video"},
      {"to", 0x14001, "time_stop", "record or transcode stop time"},
      {"to_microsecond", 0x4401, "time_stop", "record or transcode stop time"},
      {"f", 0x4009, "fmt", "force format"},
      {"c", 0x8009, "codec", "codec name"},
      {"codec", 0x8009, "codec", "codec name"},
      {"vcodec", 0x2011, "codec", "force video codec (\"copy\" to copy stream)"},
      {"acodec", 0x2021, "codec", "force audio codec (\"copy\" to copy stream)"},
      {"ac", 0x80a1, "channels", "set number of audio channels"},
      {"ar", 0x80a1, "rate", "set audio sampling rate (in Hz)"},
      {"r", 0x8019, "rate", "set frame rate (Hz value, fraction or abbreviation)"},
      {"s", 0x8219, "size", "set frame size (WxH or abbreviation)"},
      {"q", 0x28005, "q", "use fixed quality scale (VBR)"},
      {"qscale", 0x2005, "q", "use fixed quality scale (VBR)"},
      {"b", 0x2011, "bitrate", "video bitrate (please use -b:v)"},
      {"tag", 0x800d, "fourcc/tag", "force codec tag/fourcc"},
      {"an", 0x4022, "", "disable audio"},
      {"vn", 0x4012, "", "disable video"},
      {"sn", 0x4202, "", "disable subtitle"},
      {"dn", 0x4012, "", "disable data"},
      {"y", 0x2, "", "overwrite output files"},
      {"n", 0x2, "", "do not overwrite output files"},
      {"fs", 0x4401, "limit_size", "set the limit file size in bytes"},
      {"frames", 0x8401, "number", "set the number of frames to record"},
      {"itsoffset", 0x14005, "time_off", "set the input ts offset"},
      {"itsscale", 0x28005, "scale", "set the input ts scale"},
      {"re", 0x4006, "", "read input at native frame rate"},
      {"metadata", 0x8009, "string=string", "add metadata"},
      {"map", 0x2005, "[-]input_file_id[:stream_specifier][,sync_file_id[:stream_specifier]]",
       "set input stream mapping"},
      {"map_channel", 0x2005, "file.stream.channel[:syncfile.syncstream]",
       "map an audio channel from one stream to another"},
      {"map_metadata", 0x8009, "outfile[,metadata]:infile[,metadata]",
       "set metadata information of outfile from infile"},
      {"map_chapters", 0x4085, "input_file_index", "set chapters mapping"},
      {"filter", 0x8009, "filter_graph", "set stream filtergraph"},
      {"pix_fmt", 0x801d, "format", "set pixel format"},
      {"aspect", 0x8019, "aspect", "set aspect ratio (4:3, 16:9 or 1.3333, 1.7777)"},
      {"sample_fmt", 0x802d, "format", "set sample format"},
      {"shortest", 0x4006, "", "finish encoding within shortest input"},
      {"bsf", 0x800d, "bitstream_filters", "A comma-separated list of bitstream filters"},
      {"copyinkf", 0x8006, "", "copy initial non-keyframes"},
      {"copypriorss", 0x8085, "", "copy or discard frames before start time"},
      {"muxdelay", 0x4105, "seconds", "set the maximum demux-decode delay"},
      {"muxpreload", 0x4105, "seconds", "set the initial demux-decode delay"},
      {"TimeStart", 0x2005, "", "TimeStart"},
      {"timestart", 0x2005, "", "timestart"},
      {"TimeLength", 0x2005, "", "TimeLength"},
      {"timelength", 0x2005, "", "timelength"},
      {"h", 0x800, "topic", "show help"},
      {"?", 0x800, "topic", "show help"},
      {"help", 0x800, "topic", "show help"},
      {"-help", 0x800, "topic", "show help"},
      {"loglevel", 0x1, "loglevel", "set libav* logging level"},
      {"v", 0x1, "loglevel", "set libav* logging level"},
  };
  const TOptionTable& t = Engine.OptionTable();
  for (const TRow& r : rows) {
    const TOptionDef* d = FindOptionDef(t, r.Name);
    ASSERT_NE(d, nullptr) << r.Name;
    EXPECT_EQ(d->Flags, r.Flags) << r.Name;
    EXPECT_EQ(d->ArgName, r.Arg) << r.Name;
    EXPECT_EQ(d->Help, r.Help) << r.Name;
  }
  for (const char* hook : {"AudioInputHook", "AudioOutputHook", "VideoInputHook",
                           "VideoOutputHook", "FrameInputHook", "FrameOutputHook", "Join"}) {
    const TOptionDef* d = FindOptionDef(t, hook);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Flags, 0x800u);
    EXPECT_EQ(d->Help, hook);
  }
  // Every row writes somewhere.
  for (const TOptionDef& d : t)
    EXPECT_TRUE(d.Address || d.Field || d.Handler) << d.Name;
}

TEST_F(JobOptionsTest, ContextDefaults) {
  EXPECT_EQ(Ctx.Group, &Engine.Options().FileGroup);
  EXPECT_EQ(Ctx.StartTime, 0);
  EXPECT_EQ(Ctx.ChaptersInputFile, 2147483647);
  EXPECT_EQ(Ctx.Duration, INT64_MAX);
  EXPECT_EQ(Ctx.StopTime, INT64_MAX);
  EXPECT_EQ(Ctx.FileSizeLimit, INT64_MAX);
  EXPECT_FLOAT_EQ(Ctx.MuxMaxDelay, 0.7f);
  EXPECT_FLOAT_EQ(Ctx.MuxPreload, 0.0f);
  EXPECT_EQ(Engine.VideoSyncMethod, -1);
  EXPECT_EQ(Engine.CopyTb, -1);
  EXPECT_EQ(Engine.PrintStats, -1);
  EXPECT_EQ(Engine.IntraDcPrecision, 8);
  EXPECT_EQ(Engine.AudioVolume, 256);
  EXPECT_FLOAT_EQ(Engine.DtsErrorThreshold, 108000.0f);
  EXPECT_TRUE(Engine.AbortOnOptionError());
}

// The option text of a PSP cut job, blanks exact.
TEST_F(JobOptionsTest, PspCutJobText) {
  ASSERT_EQ(Parse("  -ss 10  -t 15.5 -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental "
                  "-c:v mpeg4  -s 320x240  -qscale 6 -threads 4  -ab 128000  -vb 1200000"),
            0);
  EXPECT_EQ(Ctx.StartTime, 10000000);
  EXPECT_EQ(Ctx.Duration, 15500000);
  EXPECT_EQ(Ctx.FormatName, "psp");
  EXPECT_EQ(Ints(Ctx.AudioSampleRates), (IP{{"", 24000}}));
  EXPECT_EQ(Strs(Ctx.FrameRates), (SP{{"", "15000/1001"}}));
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"a", "aac"}, {"v", "mpeg4"}}));
  EXPECT_EQ(Strs(Ctx.FrameSizes), (SP{{"", "320x240"}}));
  EXPECT_EQ(Dbls(Ctx.QScales), (DP{{"v", 6.0}}));
  EXPECT_TRUE(Ctx.AudioChannels.empty());
  EXPECT_EQ(Ctx.AudioDisable, 0);
  EXPECT_EQ(Ctx.VideoDisable, 0);
  EXPECT_EQ(Ctx.StopTime, INT64_MAX);
  TOptionGroup& g = *Ctx.Group;
  EXPECT_STREQ(Codec("astrict"), "experimental");
  EXPECT_STREQ(Codec("threads"), "4");
  EXPECT_STREQ(Codec("ab"), "128000");
  EXPECT_STREQ(Codec("vb"), "1200000");
  EXPECT_EQ(g.CodecOpts.Count(), 4);
  EXPECT_EQ(g.FormatOpts.Count(), 0);
  EXPECT_TRUE(Logged(llWarning, "Please use -q:a or -q:v, -qscale is ambiguous"));
  EXPECT_TRUE(Logged(llInfo,
                     "ParseOptions for output file:   -ss 10  -t 15.5 -f psp -ar 24000 -r "
                     "15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240  -qscale "
                     "6 -threads 4  -ab 128000  -vb 1200000"));
  EXPECT_EQ(Engine.LastErrMsg(), "");

  // The codec options reach the streams they are meant for.
  TOutput out;
  std::vector<TAVDictionary> per = StreamCodecOptions(out.Ctx, g.CodecOpts.Get());
  ASSERT_EQ(per.size(), 2u);
  EXPECT_STREQ(per[0].Value("b"), "1200000");
  EXPECT_STREQ(per[1].Value("ab"), "128000");  // the codec layer knows ab itself
  EXPECT_EQ(per[0].Value("ab"), nullptr);
  EXPECT_STREQ(per[1].Value("strict"), "experimental");
  EXPECT_EQ(per[0].Value("strict"), nullptr);
  EXPECT_EQ(Engine.MatchPerStreamStr(Ctx.CodecNames, out.Ctx, out.Video()), "mpeg4");
  EXPECT_EQ(Engine.MatchPerStreamStr(Ctx.CodecNames, out.Ctx, out.Audio()), "aac");
  EXPECT_DOUBLE_EQ(Engine.MatchPerStreamDouble(Ctx.QScales, out.Ctx, out.Audio(), -1.0), -1.0);
  EXPECT_DOUBLE_EQ(Engine.MatchPerStreamDouble(Ctx.QScales, out.Ctx, out.Video(), -1.0), 6.0);
}

TEST_F(JobOptionsTest, ThreeGppCutJobText) {
  ASSERT_EQ(Parse("  -ss 10  -t 15.5 -b:a 12.2k -ac 1 -ar 8000 -c:v h263  -s 128x96  -qscale 6 "
                  "-threads 4  -ab 128000  -vb 1200000"),
            0);
  EXPECT_EQ(Ctx.StartTime, 10000000);
  EXPECT_EQ(Ctx.Duration, 15500000);
  EXPECT_EQ(Ctx.FormatName, "");
  EXPECT_EQ(Ints(Ctx.AudioChannels), (IP{{"", 1}}));
  EXPECT_EQ(Ints(Ctx.AudioSampleRates), (IP{{"", 8000}}));
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"v", "h263"}}));
  EXPECT_EQ(Strs(Ctx.FrameSizes), (SP{{"", "128x96"}}));
  EXPECT_EQ(Dbls(Ctx.QScales), (DP{{"v", 6.0}}));
  EXPECT_STREQ(Codec("b:a"), "12.2k");
  EXPECT_STREQ(Codec("threads"), "4");
  EXPECT_STREQ(Codec("ab"), "128000");
  EXPECT_STREQ(Codec("vb"), "1200000");
}

TEST_F(JobOptionsTest, WebmCutJobText) {
  ASSERT_EQ(Parse("  -ss 10  -t 15.5 -f webm -c:a libvorbis -c:v libvpx  -qscale 6 -threads 4  "
                  "-ab 128000  -vb 1200000"),
            0);
  EXPECT_EQ(Ctx.FormatName, "webm");
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"a", "libvorbis"}, {"v", "libvpx"}}));
  EXPECT_TRUE(Ctx.FrameSizes.empty());
  EXPECT_TRUE(Ctx.AudioSampleRates.empty());
  EXPECT_STREQ(Codec("threads"), "4");
}

TEST_F(JobOptionsTest, CopyCutJobWithoutAudio) {
  ASSERT_EQ(Parse("  -ss 0.04  -t 15.5  -an   -vcodec copy -acodec copy "), 0);
  EXPECT_EQ(Ctx.StartTime, 40000);
  EXPECT_EQ(Ctx.Duration, 15500000);
  EXPECT_EQ(Ctx.AudioDisable, 1);
  EXPECT_EQ(Ctx.VideoDisable, 0);
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"v", "copy"}, {"a", "copy"}}));
  EXPECT_EQ(Ctx.Group->CodecOpts.Count(), 0);
  EXPECT_EQ(TCustomFFmpegOpt::CodecNameForType(Ctx, 'v'), "copy");
  EXPECT_EQ(TCustomFFmpegOpt::CodecNameForType(Ctx, 's'), "");
}

TEST_F(JobOptionsTest, LaterCodecWinsPerStream) {
  ASSERT_EQ(Parse("-c:v a -c:v b -c copy -c:a aac"), 0);
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"v", "a"}, {"v", "b"}, {"", "copy"}, {"a", "aac"}}));
  TOutput out;
  EXPECT_EQ(Engine.MatchPerStreamStr(Ctx.CodecNames, out.Ctx, out.Video()), "copy");
  EXPECT_EQ(Engine.MatchPerStreamStr(Ctx.CodecNames, out.Ctx, out.Audio()), "aac");
  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  ASSERT_EQ(Parse("-c:v copy -c:v libx264 -c:v:1 x"), 0);
  EXPECT_EQ(Engine.MatchPerStreamStr(Ctx.CodecNames, out.Ctx, out.Video()), "libx264");
  EXPECT_EQ(Engine.MatchPerStreamStr(Ctx.CodecNames, out.Ctx, out.Audio(), "dflt"), "dflt");
  // Only a specifier of exactly the type letter counts for the per-type lookup.
  EXPECT_EQ(TCustomFFmpegOpt::CodecNameForType(Ctx, 'v'), "libx264");
}

TEST_F(JobOptionsTest, InvalidStreamSpecifierIsFatal) {
  ASSERT_EQ(Parse("-c:zz x"), 0);
  TOutput out;
  try {
    Engine.MatchPerStreamStr(Ctx.CodecNames, out.Ctx, out.Video());
    FAIL() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("check_stream_specifier: ", 0), 0u);
    EXPECT_EQ(Engine.LastErrMsg(), e.what());
    EXPECT_TRUE(Logged(llFatal, e.what()));
  }
}

TEST_F(JobOptionsTest, QscaleAndBitrateAmbiguity) {
  ASSERT_EQ(Parse("-qscale 6 -qscale:a 4 -b 800k -b:a 64k -profile main"), 0);
  EXPECT_EQ(Dbls(Ctx.QScales), (DP{{"v", 6.0}, {"a", 4.0}}));
  EXPECT_EQ(CountLogged("Please use -q:a or -q:v, -qscale is ambiguous"), 1);
  EXPECT_TRUE(Logged(llWarning, "Please use -b:a or -b:v, -b is ambiguous"));
  EXPECT_TRUE(Logged(llWarning, "Please use -profile:a or -profile:v, -profile is ambiguous"));
  EXPECT_STREQ(Codec("b:v"), "800k");
  EXPECT_STREQ(Codec("b:a"), "64k");
  EXPECT_STREQ(Codec("profile:v"), "main");
  EXPECT_EQ(Codec("b"), nullptr);
}

TEST_F(JobOptionsTest, UnknownOptionStrict) {
  EXPECT_EQ(Parse("-f mp4 -xyz 5"), AVERROR_OPTION_NOT_FOUND);
  EXPECT_TRUE(AVLogged(AV_LOG_ERROR, "Unrecognized option \"xyz\".\n"));
  EXPECT_EQ(Engine.LastErrMsg(), ErrorText(AVERROR_OPTION_NOT_FOUND));
  EXPECT_TRUE(Logged(llFatal, ErrorText(AVERROR_OPTION_NOT_FOUND)));
  EXPECT_EQ(Ctx.FormatName, "");
}

TEST_F(JobOptionsTest, UnknownOptionLenient) {
  Engine.SetAbortOnOptionError(false);
  EXPECT_EQ(Parse("-xyz 5 -f mp4 stray"), 0);
  EXPECT_TRUE(AVLogged(AV_LOG_ERROR, "Unrecognized option \"xyz\".\n"));
  EXPECT_TRUE(AVLogged(AV_LOG_ERROR, "Invalid option 5 found while parsing options, ignore\n"));
  EXPECT_TRUE(AVLogged(AV_LOG_ERROR, "Invalid option stray found while parsing options, ignore\n"));
  EXPECT_EQ(Ctx.FormatName, "mp4");
  EXPECT_EQ(Engine.LastErrMsg(), "");
}

TEST_F(JobOptionsTest, StrayArgumentStrict) {
  EXPECT_EQ(Parse("-f mp4 stray"), AVERROR(EINVAL));
  EXPECT_EQ(Engine.LastErrMsg(), "Failed to parse options on stray\r\n" + ErrorText(AVERROR(EINVAL)));
}

TEST_F(JobOptionsTest, LastArgumentWithoutValue) {
  ASSERT_EQ(Parse("-t 3 -y"), 0);
  EXPECT_EQ(Engine.FileOverwrite, 1);
  EXPECT_EQ(Ctx.Duration, 3000000);
  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  EXPECT_EQ(Parse("-y -t"), AVERROR(EINVAL));
  EXPECT_TRUE(AVLogged(AV_LOG_ERROR, "Missing argument for option \"t\".\n"));
  // Lenient: the result is 0, but nothing after the failure is applied.
  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  Engine.SetAbortOnOptionError(false);
  Engine.FileOverwrite = 0;
  EXPECT_EQ(Parse("-y -f mp4 -t"), 0);
  EXPECT_EQ(Ctx.FormatName, "");
  EXPECT_EQ(Engine.FileOverwrite, 0);
}

TEST_F(JobOptionsTest, NoPrefixOnBooleanRows) {
  ASSERT_EQ(Parse("-an -noan -shortest -vn -novn"), 0);
  EXPECT_EQ(Ctx.AudioDisable, 0);
  EXPECT_EQ(Ctx.Shortest, 1);
  EXPECT_EQ(Ctx.VideoDisable, 0);
  ASSERT_EQ(Parse("-copyts -nocopyts -nostats"), 0);
  EXPECT_EQ(Engine.CopyTs, 0);
  EXPECT_EQ(Engine.PrintStats, 0);
}

TEST_F(JobOptionsTest, PresetTextWithMarkersCommentAndOverride) {
  ASSERT_EQ(Parse("-c:v mpeg4 -threads 2", "vcodec=libx264<CRLF># comment<CRLF>b=1M\r\nthreads=8"),
            0);
  // Preset lines come before the file's own options.
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"v", "libx264"}, {"v", "mpeg4"}}));
  EXPECT_STREQ(Codec("b"), "1M");
  EXPECT_STREQ(Codec("threads"), "8");
  EXPECT_TRUE(Logged(llInfo, "ParsePresets for output file:\r\nvcodec=libx264<CRLF># "
                             "comment<CRLF>b=1M\r\nthreads=8"));
  EXPECT_TRUE(Logged(llDebug, "Applying preset b with argument 1M.\n"));
}

TEST_F(JobOptionsTest, PresetOnlyWithEmptyOptionText) {
  ASSERT_EQ(Parse("", "acodec=aac"), 0);
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"a", "aac"}}));
}

TEST_F(JobOptionsTest, PresetLineWithoutEqualsSign) {
  EXPECT_EQ(Parse("-f mp4", "vcodec=libx264\nnovalue\nb=1M"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "Invalid syntax: \"novalue\""));
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid syntax: \"novalue\"\r\n" + ErrorText(AVERROR(EINVAL)));
  EXPECT_EQ(Codec("b"), nullptr);

  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  Engine.SetAbortOnOptionError(false);
  EXPECT_EQ(Parse("-f mp4", "vcodec=libx264\nnovalue\nfoo=1\nb=1M"), 0);
  EXPECT_TRUE(Logged(llError, "Invalid option or argument: \"foo=1\", parsed as \"foo\" = \"1\""));
  EXPECT_STREQ(Codec("b"), "1M");
  EXPECT_EQ(Ctx.FormatName, "mp4");
}

TEST_F(JobOptionsTest, UnknownPresetKeyStrict) {
  EXPECT_EQ(Parse("", "foo=1"), AVERROR_OPTION_NOT_FOUND);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid option or argument: \"foo=1\", parsed as \"foo\" = \"1\"\r\n" +
                                     ErrorText(AVERROR_OPTION_NOT_FOUND));
}

TEST_F(JobOptionsTest, PresetFileOption) {
  auto path = std::filesystem::temp_directory_path() / ("trimora_preset_" + std::to_string(getpid()));
  {
    std::ofstream f(path);
    f << "# x\r\nvcodec=mpeg4\r\n\r\nqmin=3\nbroken\n";
  }
  EXPECT_EQ(Parse("-fpre " + path.string()), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llInfo, "Parse preset file: " + path.string()));
  EXPECT_TRUE(Logged(llError, path.string() + ": Invalid syntax: \"broken\""));
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"v", "mpeg4"}}));
  EXPECT_STREQ(Codec("qmin"), "3");
  std::filesystem::remove(path);
  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  EXPECT_EQ(Parse("-vpre " + path.string()), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "Preset file \"" + path.string() + "\" not found"));
}

TEST_F(JobOptionsTest, HelpAndVersionAcceptedWithWarning) {
  ASSERT_EQ(Parse("-help -version --help -h"), 0);
  EXPECT_TRUE(Logged(llWarning, "options \"help\" not supported, ignore"));
  EXPECT_TRUE(Logged(llWarning, "options \"version\" not supported, ignore"));
  EXPECT_TRUE(Logged(llWarning, "options \"-help\" not supported, ignore"));
  EXPECT_EQ(Ctx.Duration, INT64_MAX);
  EXPECT_TRUE(Ctx.CodecNames.empty());
  EXPECT_EQ(Engine.LastErrMsg(), "");
}

TEST_F(JobOptionsTest, UnsupportedOptionsFail) {
  EXPECT_EQ(Parse("-benchmark"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "options \"benchmark\" not supported"));
  EXPECT_EQ(Engine.LastErrMsg(), "options \"benchmark\" not supported\r\nFailed to set value \"1\" "
                                 "for option \"benchmark\"\r\n" +
                                     ErrorText(AVERROR(EINVAL)));
}

TEST_F(JobOptionsTest, TimeStartUsesFullStop) {
  ASSERT_EQ(Parse("-TimeStart 1.5 -timelength 0.25"), 0);
  EXPECT_EQ(Ctx.StartTime, 1500000);
  EXPECT_EQ(Ctx.Duration, 250000);
  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  EXPECT_EQ(Parse("-TimeLength 2,5"), AVERROR(EINVAL));
  EXPECT_EQ(Ctx.Duration, INT64_MAX);
  EXPECT_TRUE(Logged(llError, "Expected double for \"TimeLength\" but found \"2,5\""));
}

TEST_F(JobOptionsTest, LogLevelOptions) {
  ASSERT_EQ(Parse("-loglevel verbose -f mp4"), 0);
  EXPECT_EQ(FFLogger().LogLevel(), llVerbose);
  ASSERT_EQ(Parse("-v 32"), 0);
  EXPECT_EQ(FFLogger().LogLevel(), llInfo);
  EXPECT_EQ(Parse("-loglevel loud"), AVERROR(EINVAL));
  EXPECT_EQ(Engine.LastErrMsg().rfind("Invalid loglevel \"loud\". Possible levels are numbers "
                                      "or:\r\n\"quiet\"\r\n\"panic\"\r\n\"fatal\"\r\n\"error\"\r\n"
                                      "\"warning\"\r\n\"info\"\r\n\"verbose\"\r\n\"debug\"\r\n",
                                      0),
            0u);
}

TEST_F(JobOptionsTest, ConversionErrorStopsParsing) {
  EXPECT_EQ(Parse("-ar fast"), AVERROR(EINVAL));
  EXPECT_EQ(Engine.LastErrMsg(),
            "Expected integer for \"ar\" but found \"fast\"\r\n" + ErrorText(AVERROR(EINVAL)));
  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  EXPECT_EQ(Parse("-t soon"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "Invalid duration specification for \"t\": \"soon\""));
}

TEST_F(JobOptionsTest, AliasHandlers) {
  ASSERT_EQ(Parse("-vframes 10 -aframes 20 -vf scale=1:1 -af anull -aq 3 -vtag DIVX -atag mp4a "
                  "-vbsf h264_mp4toannexb -absf aac_adtstoasc -scodec mov_text -dcodec copy"),
            0);
  TSpecifierList& f = Ctx.MaxFrames;
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].Specifier, "v");
  EXPECT_EQ(f[0].Int64, 10);
  EXPECT_EQ(f[1].Specifier, "a");
  EXPECT_EQ(f[1].Int64, 20);
  EXPECT_EQ(Strs(Ctx.Filters), (SP{{"v", "scale=1:1"}, {"a", "anull"}}));
  EXPECT_EQ(Dbls(Ctx.QScales), (DP{{"a", 3.0}}));
  EXPECT_EQ(Strs(Ctx.CodecTags), (SP{{"v", "DIVX"}, {"a", "mp4a"}}));
  EXPECT_EQ(Strs(Ctx.BitstreamFilters), (SP{{"v", "h264_mp4toannexb"}, {"a", "aac_adtstoasc"}}));
  EXPECT_EQ(Strs(Ctx.CodecNames), (SP{{"s", "mov_text"}, {"d", "copy"}}));
}

TEST_F(JobOptionsTest, MetadataHandlers) {
  ASSERT_EQ(Parse("-timecode 01:00:00:00 -timestamp 2020-01-02T03:04:05 -metadata:s:a lang=eng"), 0);
  ASSERT_EQ(Ctx.Metadata.size(), 3u);
  EXPECT_EQ(Ctx.Metadata[0].Specifier, "g");
  EXPECT_EQ(Ctx.Metadata[0].Str, "timecode=01:00:00:00");
  EXPECT_EQ(Ctx.Metadata[1].Specifier, "");
  EXPECT_EQ(Ctx.Metadata[1].Str.rfind("creation_time=2020-01-02 03:04:05 ", 0), 0u);
  EXPECT_EQ(Ctx.Metadata[2].Specifier, "s:a");
  EXPECT_STREQ(Codec("gop_timecode"), "01:00:00:00");
  EXPECT_TRUE(Logged(llWarning,
                     "timestamp is deprecated, set the \"creation_time\" metadata tag instead."));
}

TEST_F(JobOptionsTest, TimestampCarriesTheZoneOfItsDate) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  int ret = Parse("-timestamp 2020-01-02T03:04:05 -timestamp 2020-07-02T03:04:05");
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  ASSERT_EQ(ret, 0);
  EXPECT_EQ(Strs(Ctx.Metadata), (SP{{"", "creation_time=2020-01-02 03:04:05 UTC+01:00"},
                                    {"", "creation_time=2020-07-02 03:04:05 UTC+02:00"}}));
}

TEST_F(JobOptionsTest, ChannelLayout) {
  ASSERT_EQ(Parse("-channel_layout stereo -channel_layout:a:1 mono"), 0);
  EXPECT_EQ(Ints(Ctx.AudioChannels), (IP{{"", 2}, {"a:1", 1}}));
  EXPECT_STREQ(Codec("channel_layout"), "3");
  EXPECT_STREQ(Codec("channel_layout:a:1"), "4");
  Engine.ReleaseOptionsContext(Ctx);
  Engine.InitOptionsContext(Ctx);
  EXPECT_EQ(Parse("-channel_layout nonsense"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "Unknown channel layout: nonsense"));
}

TEST_F(JobOptionsTest, GlobalSettingHandlers) {
  ASSERT_EQ(Parse("-vsync 2 -deinterlace -async 1 -adrift_threshold 0.5 -dts_delta_threshold 3 "
                  "-vol 512 -filter_complex [0:v]null[out] -filter_complex anullsrc -vstats_file "
                  "st.log -progress - -isync -dc 10"),
            0);
  EXPECT_EQ(Engine.VideoSyncMethod, 2);
  EXPECT_EQ(Engine.DoDeinterlace, 1);
  EXPECT_TRUE(Logged(llWarning, "-deinterlace is deprecated, use -filter:v yadif instead"));
  EXPECT_EQ(Engine.AudioSyncMethod, 1);
  EXPECT_FLOAT_EQ(Engine.AudioDriftThreshold, 0.5f);
  EXPECT_FLOAT_EQ(Engine.DtsDeltaThreshold, 3.0f);
  EXPECT_EQ(Engine.AudioVolume, 512);
  ASSERT_EQ(Engine.FilterGraphSpecs.size(), 2u);
  EXPECT_EQ(Engine.FilterGraphSpecs[1].Index, 1);
  EXPECT_EQ(Engine.FilterGraphSpecs[1].GraphDesc, "anullsrc");
  EXPECT_EQ(Engine.VStatsFilename, "st.log");
  EXPECT_EQ(Engine.ProgressURLs, (std::vector<std::string>{"pipe:"}));
  EXPECT_EQ(Engine.InputSync, 1);
  EXPECT_EQ(Engine.IntraDcPrecision, 10);

  // Once set, a number does not change the method; a name does.
  ASSERT_EQ(Parse("-vsync 1"), 0);
  EXPECT_EQ(Engine.VideoSyncMethod, 2);
  ASSERT_EQ(Parse("-vsync drop"), 0);
  EXPECT_EQ(Engine.VideoSyncMethod, 255);
  Engine.VideoSyncMethod = -1;
  EXPECT_EQ(Parse("-vsync 3"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "The value for \"vsync\" was \"3\" which is invalid"));

  EXPECT_EQ(Parse("-progress bad:"), AVERROR(ENOENT));
  EXPECT_TRUE(Logged(llError, "Failed to open progress URL \"bad:\": " + ErrorText(AVERROR(ENOENT))));
  ASSERT_EQ(Parse("-vstats"), 0);
  EXPECT_EQ(Engine.VStatsFilename.rfind("vstats_", 0), 0u);
  EXPECT_EQ(Engine.VStatsFilename.size(), std::string("vstats_hhnnss.log").size());
}

TEST_F(JobOptionsTest, RemovedAndDeprecatedOptions) {
  EXPECT_EQ(Parse("-sameq"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llWarning,
                     "Option \"sameq\" was removed. If you are looking for an option to preserve "
                     "the quality (which is not what -sameq was for), use -qscale 0 or an "
                     "equivalent quality factor option."));
  EXPECT_EQ(Parse("-max_alloc lots"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llFatal, "Invalid max_alloc \"lots\"."));
  EXPECT_EQ(Parse("-cpuflags nonsense"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llFatal, "Failed to parse cpu flags \"nonsense\": " + ErrorText(AVERROR(EINVAL))));
}

TEST_F(JobOptionsTest, StreamIdMap) {
  ASSERT_EQ(Parse("-streamid 2:33 -streamid 0:7"), 0);
  EXPECT_EQ(Ctx.StreamIdMap, (std::vector<int32_t>{7, 0, 33}));
  EXPECT_EQ(Parse("-streamid 2"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "Invalid value \"2\" for option \"streamid\", required syntax is "
                              "\"index:value\""));
  EXPECT_EQ(Parse("-streamid 1024:1"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "The value for \"streamid\" was \"1024\" which is not within 0 - 1023"));
}

TEST_F(JobOptionsTest, MapSyntaxAndTargetsWithoutInputs) {
  // Maps and channel maps are checked against the open inputs (none here); a silent channel
  // and attachments need none.
  ASSERT_EQ(Parse("-map_channel -1 -attach font.ttf -target pal-dvd"), 0);
  ASSERT_EQ(Ctx.AudioChannelMaps.size(), 1u);
  EXPECT_EQ(Ctx.AudioChannelMaps[0].ChannelIndex, -1);
  EXPECT_EQ(Ctx.AudioChannelMaps[0].FileIndex, -1);
  EXPECT_EQ(Ctx.AudioChannelMaps[0].OutputFileIndex, -1);
  EXPECT_EQ(Ctx.Attachments, (std::vector<std::string>{"font.ttf"}));
  EXPECT_EQ(Ctx.TargetName, "pal-dvd");
  EXPECT_EQ(Ctx.FormatName, "dvd");
  ASSERT_FALSE(Ctx.FrameSizes.empty());
  EXPECT_EQ(Ctx.FrameSizes.back().Str, "720x576");

  EXPECT_EQ(Parse("-target cdrom"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(llError, "Unknown target: cdrom"));
  EXPECT_THROW(Parse("-map_channel x"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(),
            "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]");
  EXPECT_THROW(Parse("-map_channel 0.1.2"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "mapchan: invalid input file index: 0");
  EXPECT_THROW(Parse("-map []"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid output link label: [].");
  EXPECT_THROW(Parse("-map 0:v"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid input file index: 0.");
  EXPECT_THROW(Parse("-map x"), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "Invalid input file index: 0.");
  // A label needs no input.
  ASSERT_EQ(Parse("-map [out]"), 0);
  ASSERT_EQ(Ctx.StreamMaps.size(), 1u);
  EXPECT_EQ(Ctx.StreamMaps[0].LinkLabel, "out");
}

TEST_F(JobOptionsTest, HookRows) {
  ASSERT_EQ(Parse("-vhook my.so -VideoHookBitsPixel 24 -AudioInputHook -Join"), 0);
  EXPECT_EQ(Engine.Hooks, (std::vector<std::string>{"vhook my.so", "bits 24"}));
  EXPECT_EQ(Parse("-VideoHookBitsPixel 7"), AVERROR(EINVAL));
}

TEST_F(JobOptionsTest, UnconsumedOptions) {
  TAVDictionary left;
  Engine.CheckUnconsumedOptions(left.Get());
  EXPECT_EQ(Engine.LastErrMsg(), "");
  left.Set("foo", "1");
  left.Set("bar", "2");
  try {
    Engine.CheckUnconsumedOptions(left.Get());
    FAIL();
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Option foo not found.");
  }
  Engine.SetLastErrMsg("");
  Engine.SetAbortOnOptionError(false);
  EXPECT_NO_THROW(Engine.CheckUnconsumedOptions(left.Get()));
  EXPECT_EQ(Engine.LastErrMsg(), "Option foo not found.");
  EXPECT_THROW(Engine.AbortCodecExperimental(nullptr), FFmpegException);
  EXPECT_EQ(Engine.LastErrMsg(), "abort codec experimental");
}

TEST_F(JobOptionsTest, ReleaseResetsContextAndGroups) {
  ASSERT_EQ(Parse("-f mp4 -c:v x -threads 2 -y"), 0);
  Engine.ReleaseOptionsContext(Ctx);
  EXPECT_EQ(Ctx.FormatName, "");
  EXPECT_TRUE(Ctx.CodecNames.empty());
  EXPECT_EQ(Ctx.Group, nullptr);
  EXPECT_TRUE(Engine.Options().FileGroup.Opts.empty());
  EXPECT_TRUE(Engine.Options().GlobalGroup.Opts.empty());
  EXPECT_EQ(Engine.Options().FileGroup.CodecOpts.Get(), nullptr);
  Engine.InitOptionsContext(Ctx);
  ASSERT_EQ(Parse("-f avi"), 0);
  EXPECT_EQ(Ctx.Group->CodecOpts.Value("threads"), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
