#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "runtime/FFLog.h"
#include "runtime/FFOptions.h"
#include "runtime/MainThread.h"

namespace {

// FFmpeg-routed lines (level, text) while a test runs.
std::mutex gLinesLock;
std::vector<std::pair<int, std::string>> gLines;

void CaptureLine(void*, int level, const char* fmt, va_list vl) {
  char buf[2048];
  vsnprintf(buf, sizeof buf, fmt, vl);
  std::lock_guard<std::mutex> lock(gLinesLock);
  gLines.emplace_back(level, buf);
}

bool HasLine(int level, const std::string& text) {
  std::lock_guard<std::mutex> lock(gLinesLock);
  for (auto& l : gLines)
    if (l.first == level && l.second == text) return true;
  return false;
}

struct TCtx {
  int32_t Flag = 7;
  int32_t Number = 0;
  int64_t Big = 0;
  int64_t Time = 0;
  float F = 0;
  double D = 0;
  std::string Text;
  TSpecifierList List;
  TSpecifierList Rates;
};

#define CTXF(m) [](void* c) -> void* { return &static_cast<TCtx*>(c)->m; }

class OptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gLinesLock);
      gLines.clear();
    }
    av_log_set_callback(CaptureLine);
    ParseError.clear();
    FFLogger().SetLogLevel(llInfo);

    auto add = [this](const char* name, uint32_t flags) -> TOptionDef& {
      TOptionDef d;
      d.Name = name;
      d.Flags = flags;
      d.Help = std::string("help of ") + name;
      Table.push_back(std::move(d));
      return Table.back();
    };
    Table.reserve(16);
    add("flag", OPT_BOOL | OPT_OFFSET).Field = CTXF(Flag);
    add("num", OPT_HASARG | OPT_INT | OPT_OFFSET).Field = CTXF(Number);
    add("big", OPT_HASARG | OPT_INT64 | OPT_OFFSET).Field = CTXF(Big);
    add("dur", OPT_HASARG | OPT_TIME | OPT_OFFSET).Field = CTXF(Time);
    add("fl", OPT_HASARG | OPT_FLOAT | OPT_OFFSET).Field = CTXF(F);
    add("db", OPT_HASARG | OPT_DOUBLE | OPT_OFFSET).Field = CTXF(D);
    add("text", OPT_HASARG | OPT_STRING | OPT_OFFSET).Field = CTXF(Text);
    add("codec", OPT_HASARG | OPT_STRING | OPT_SPEC).Field = CTXF(List);
    add("rate", OPT_HASARG | OPT_INT | OPT_SPEC).Field = CTXF(Rates);
    add("global", OPT_BOOL).Address = &Global;
    add("hnd", OPT_HASARG).Handler = [this](void* ctx, const std::string& n,
                                            const std::string& v) {
      Calls.push_back({ctx, n + "=" + v});
      if (v == "bad") {
        ParseError = "handler says no";
        return AVERROR(EINVAL);
      }
      return 0;
    };
    add("loglevel", OPT_HASARG).Handler = [](void*, const std::string& n, const std::string& v) {
      return SetLogLevelOption(n, v);
    };
  }
  void TearDown() override { av_log_set_callback(av_log_default_callback); }

  TOptionTable Table;
  TCtx Ctx;
  int32_t Global = 0;
  std::vector<std::pair<void*, std::string>> Calls;
};

TEST_F(OptionsTest, FindOptionDefComparesUpToFirstColon) {
  ASSERT_NE(FindOptionDef(Table, "codec:v:0"), nullptr);
  EXPECT_EQ(FindOptionDef(Table, "codec:v:0")->Name, "codec");
  EXPECT_EQ(FindOptionDef(Table, "cod"), nullptr);
  EXPECT_EQ(FindOptionDef(Table, "codecs"), nullptr);
  EXPECT_EQ(FindOptionDef(Table, ""), nullptr);
}

TEST_F(OptionsTest, BooleanRowWithAndWithoutNoPrefix) {
  EXPECT_EQ(ParseSingleOption(&Ctx, "noflag", std::nullopt, Table), 0);
  EXPECT_EQ(Ctx.Flag, 0);
  EXPECT_EQ(ParseSingleOption(&Ctx, "flag", std::nullopt, Table), 0);
  EXPECT_EQ(Ctx.Flag, 1);
  // "no" before a row that is not boolean keeps the given value.
  EXPECT_EQ(ParseSingleOption(&Ctx, "nonum", std::string("12"), Table), 1);
  EXPECT_EQ(Ctx.Number, 12);
}

TEST_F(OptionsTest, SingleOptionFailures) {
  EXPECT_EQ(ParseSingleOption(&Ctx, "zzz", std::string("1"), Table), AVERROR(EINVAL));
  EXPECT_EQ(ParseError, "Unrecognized option \"zzz\"");
  EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Unrecognized option \"zzz\"\n"));
  EXPECT_EQ(ParseSingleOption(&Ctx, "num", std::nullopt, Table), AVERROR(EINVAL));
  EXPECT_EQ(ParseError, "Missing argument for option \"num\"");
  EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Missing argument for option \"num\"\n"));
}

TEST_F(OptionsTest, ValuesAreConvertedByKind) {
  EXPECT_EQ(ParseSingleOption(&Ctx, "num", std::string("-42"), Table), 1);
  EXPECT_EQ(ParseSingleOption(&Ctx, "big", std::string("9000000000"), Table), 1);
  EXPECT_EQ(ParseSingleOption(&Ctx, "dur", std::string("1:02:03.5"), Table), 1);
  EXPECT_EQ(ParseSingleOption(&Ctx, "fl", std::string("0.25"), Table), 1);
  EXPECT_EQ(ParseSingleOption(&Ctx, "db", std::string("1.5"), Table), 1);
  EXPECT_EQ(ParseSingleOption(&Ctx, "text", std::string("a b"), Table), 1);
  EXPECT_EQ(Ctx.Number, -42);
  EXPECT_EQ(Ctx.Big, 9000000000LL);
  EXPECT_EQ(Ctx.Time, 3723500000LL);
  EXPECT_FLOAT_EQ(Ctx.F, 0.25f);
  EXPECT_DOUBLE_EQ(Ctx.D, 1.5);
  EXPECT_EQ(Ctx.Text, "a b");
}

TEST_F(OptionsTest, ConversionFailuresCarryTheirMessages) {
  auto message = [this](const char* name, const char* value) {
    try {
      ParseSingleOption(&Ctx, name, std::string(value), Table);
    } catch (const EOptionConvertError& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message("num", "12x"), "Expected integer for \"num\" but found \"12x\"");
  EXPECT_EQ(message("num", "99999999999"), "Expected integer for \"num\" but found \"99999999999\"");
  EXPECT_EQ(message("big", ""), "Expected int64 for \"big\" but found \"\"");
  EXPECT_EQ(message("fl", "2,5"), "Expected float for \"fl\" but found \"2,5\"");
  EXPECT_EQ(message("db", "x"), "Expected double for \"db\" but found \"x\"");
  EXPECT_EQ(message("dur", "soon"), "Invalid duration specification for \"dur\": \"soon\"");
  EXPECT_EQ(message("rate:a", "fast"), "Expected integer for \"rate:a\" but found \"fast\"");
}

TEST_F(OptionsTest, PerStreamRowsAppendInOrderWithSpecifiers) {
  ParseSingleOption(&Ctx, "codec:v", std::string("a"), Table);
  ParseSingleOption(&Ctx, "codec:v", std::string("b"), Table);
  ParseSingleOption(&Ctx, "codec", std::string("copy"), Table);
  ParseSingleOption(&Ctx, "rate:a:0", std::string("44100"), Table);
  ASSERT_EQ(Ctx.List.size(), 3u);
  EXPECT_EQ(Ctx.List[0].Specifier, "v");
  EXPECT_EQ(Ctx.List[0].Str, "a");
  EXPECT_EQ(Ctx.List[1].Specifier, "v");
  EXPECT_EQ(Ctx.List[1].Str, "b");
  EXPECT_EQ(Ctx.List[2].Specifier, "");
  EXPECT_EQ(Ctx.List[2].Str, "copy");
  ASSERT_EQ(Ctx.Rates.size(), 1u);
  EXPECT_EQ(Ctx.Rates[0].Specifier, "a:0");
  EXPECT_EQ(Ctx.Rates[0].Int, 44100);
}

TEST_F(OptionsTest, FailingHandlerAppendsToItsOwnText) {
  EXPECT_EQ(ParseSingleOption(&Ctx, "hnd:x", std::string("ok"), Table), 1);
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].first, &Ctx);
  EXPECT_EQ(Calls[0].second, "hnd:x=ok");
  EXPECT_EQ(ParseSingleOption(&Ctx, "hnd", std::string("bad"), Table), AVERROR(EINVAL));
  EXPECT_EQ(ParseError, "handler says no\r\nFailed to set value \"bad\" for option \"hnd\"");
  EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Failed to set value \"bad\" for option \"hnd\"\n"));
}

TEST_F(OptionsTest, RoutingToCodecFormatScalerAndResampler) {
  TFFOptions o;
  o.InitOpts();
  EXPECT_EQ(o.RouteAVOption("threads", "2"), 0);
  EXPECT_STREQ(o.CodecOpts.Value("threads"), "2");
  // No codec option vb exists, but b does and the name starts with v.
  EXPECT_EQ(o.RouteAVOption("vb", "800000"), 0);
  EXPECT_STREQ(o.CodecOpts.Value("vb"), "800000");
  EXPECT_EQ(o.FormatOpts.Value("vb"), nullptr);
  EXPECT_EQ(o.RouteAVOption("b:a", "12.2k"), 0);
  EXPECT_STREQ(o.CodecOpts.Value("b:a"), "12.2k");
  EXPECT_EQ(o.RouteAVOption("probesize", "5000000"), 0);
  EXPECT_STREQ(o.FormatOpts.Value("probesize"), "5000000");
  EXPECT_EQ(o.CodecOpts.Value("probesize"), nullptr);

  // "strict" is an option of both layers.
  EXPECT_EQ(o.RouteAVOption("strict", "experimental"), 0);
  EXPECT_STREQ(o.CodecOpts.Value("strict"), "experimental");
  EXPECT_STREQ(o.FormatOpts.Value("strict"), "experimental");
  EXPECT_TRUE(HasLine(AV_LOG_VERBOSE, "Routing strict to codec and muxer layer\n"));

  EXPECT_EQ(o.RouteAVOption("sws_flags", "bilinear"), 0);
  int64_t flags = 0;
  ASSERT_GE(av_opt_get_int(o.SwsOpts.get(), "sws_flags", 0, &flags), 0);
  EXPECT_EQ(flags, 2);
  EXPECT_LT(o.RouteAVOption("sws_flags", "nonsense"), 0);
  EXPECT_EQ(ParseError, "Error setting option \"sws_flags\"");
  EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Error setting option \"sws_flags\"\n"));

  EXPECT_EQ(o.RouteAVOption("osr", "44100"), 0);
  EXPECT_STREQ(o.SwrOpts.Value("osr"), "44100");
  EXPECT_LT(o.RouteAVOption("osr", "many"), 0);
  EXPECT_EQ(o.SwrOpts.Count(), 1);

  EXPECT_EQ(o.RouteAVOption("xyz", "5"), AVERROR_OPTION_NOT_FOUND);
}

TEST_F(OptionsTest, DebugOptionRaisesTheLogLevel) {
  TFFOptions o;
  o.InitOpts();
  EXPECT_EQ(o.RouteAVOption("debug", "mb_type"), 0);
  EXPECT_EQ(FFLogger().LogLevel(), llDebug);
}

TEST_F(OptionsTest, SplitSortsGlobalAndFileEntriesAndClosesTheGroup) {
  TFFOptions o;
  o.InitOpts();
  std::vector<std::string> args = {"-global", "-num", "3", "-codec:v", "x", "-threads", "2",
                                   "-noflag", "-y"};
  Table.push_back(TOptionDef{"y", OPT_BOOL, &Global, {}, {}, "overwrite", ""});
  ASSERT_EQ(o.SplitArguments(nullptr, args, true, "output file", Table), 0);
  ASSERT_EQ(o.GlobalGroup.Opts.size(), 2u);
  EXPECT_EQ(o.GlobalGroup.Opts[0].Key, "global");
  EXPECT_EQ(o.GlobalGroup.Opts[0].Val, "1");
  EXPECT_EQ(o.GlobalGroup.Opts[1].Key, "y");
  ASSERT_EQ(o.FileGroup.Opts.size(), 3u);
  EXPECT_EQ(o.FileGroup.Opts[0].Key, "num");
  EXPECT_EQ(o.FileGroup.Opts[0].Val, "3");
  EXPECT_EQ(o.FileGroup.Opts[1].Key, "codec:v");
  EXPECT_EQ(o.FileGroup.Opts[2].Key, "flag");
  EXPECT_EQ(o.FileGroup.Opts[2].Val, "0");
  // The fallback's holders moved into the file group; fresh ones replaced them.
  EXPECT_STREQ(o.FileGroup.CodecOpts.Value("threads"), "2");
  EXPECT_EQ(o.CodecOpts.Get(), nullptr);
  EXPECT_NE(o.SwsOpts.get(), nullptr);
  EXPECT_TRUE(HasLine(AV_LOG_DEBUG, "matched as option \"num\" (help of num) with argument \"3\".\n"));
  EXPECT_TRUE(HasLine(AV_LOG_DEBUG, "matched as AVOption \"threads\" with argument \"2\".\n"));
  EXPECT_TRUE(HasLine(AV_LOG_DEBUG, "matched as option \"flag\" (help of flag) with argument 0.\n"));

  ASSERT_EQ(ApplyOptionGroup(&Ctx, o.FileGroup, "output file"), 0);
  EXPECT_EQ(Ctx.Number, 3);
  EXPECT_EQ(Ctx.Flag, 0);
  ASSERT_EQ(ApplyOptionGroup(nullptr, o.GlobalGroup, "global"), 0);
  EXPECT_EQ(Global, 1);
  EXPECT_TRUE(HasLine(AV_LOG_DEBUG, "Applying option num (help of num) with argument 3.\n"));

  o.ResetParseContext();
  EXPECT_TRUE(o.FileGroup.Opts.empty());
  EXPECT_EQ(o.FileGroup.CodecOpts.Get(), nullptr);
}

TEST_F(OptionsTest, UnknownOptionStrictAndLenient) {
  {
    TFFOptions o;
    o.InitOpts();
    EXPECT_EQ(o.SplitArguments(nullptr, {"-xyz", "5"}, true, "", Table), AVERROR_OPTION_NOT_FOUND);
    EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Unrecognized option \"xyz\".\n"));
  }
  {
    TFFOptions o;
    o.InitOpts();
    EXPECT_EQ(o.SplitArguments(nullptr, {"-xyz", "5", "-num", "1", "", "-"}, false, "", Table), 0);
    EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Invalid option 5 found while parsing options, ignore\n"));
    EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Invalid option found while parsing options, ignore\n"));
    EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Invalid option - found while parsing options, ignore\n"));
    ASSERT_EQ(o.FileGroup.Opts.size(), 1u);
    EXPECT_EQ(o.FileGroup.Opts[0].Val, "1");
  }
  {
    TFFOptions o;
    o.InitOpts();
    EXPECT_EQ(o.SplitArguments(nullptr, {"stray"}, true, "", Table), AVERROR(EINVAL));
    EXPECT_EQ(ParseError, "Failed to parse options on stray");
    EXPECT_EQ(o.SplitArguments(nullptr, {""}, true, "", Table), AVERROR(EINVAL));
    EXPECT_EQ(ParseError, "Failed to parse options");
  }
}

TEST_F(OptionsTest, LastArgumentWithAndWithoutValue) {
  TFFOptions o;
  o.InitOpts();
  EXPECT_EQ(o.SplitArguments(nullptr, {"-num", "1", "-flag"}, true, "", Table), 0);
  TFFOptions o2;
  o2.InitOpts();
  EXPECT_EQ(o2.SplitArguments(nullptr, {"-flag", "-num"}, true, "", Table), AVERROR(EINVAL));
  EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Missing argument for option \"num\".\n"));
}

TEST_F(OptionsTest, ApplyStopsAtTheFirstFailure) {
  TOptionGroup g;
  g.Opts.push_back({FindOptionDef(Table, "num"), "num", "5"});
  g.Opts.push_back({FindOptionDef(Table, "hnd"), "hnd", "bad"});
  g.Opts.push_back({FindOptionDef(Table, "text"), "text", "never"});
  EXPECT_EQ(ApplyOptionGroup(&Ctx, g, "x"), AVERROR(EINVAL));
  EXPECT_EQ(Ctx.Number, 5);
  EXPECT_EQ(Ctx.Text, "");
}

TEST_F(OptionsTest, LocateSkipsValuesOfOptionsThatTakeOne) {
  std::vector<std::string> args = {"-text", "-loglevel", "-noflag", "x", "-loglevel", "debug"};
  EXPECT_EQ(LocateOptionArg(args, Table, "loglevel"), 4);
  EXPECT_EQ(LocateOptionArg(args, Table, "flag"), 2);
  EXPECT_EQ(LocateOptionArg(args, Table, "big"), -1);
  PreScanLogLevel(args, Table);
  EXPECT_EQ(FFLogger().LogLevel(), llDebug);
}

TEST_F(OptionsTest, LogLevelByNameNumberAndUnknownWord) {
  EXPECT_EQ(SetLogLevelOption("loglevel", "warning"), 0);
  EXPECT_EQ(FFLogger().LogLevel(), llWarning);
  EXPECT_EQ(SetLogLevelOption("loglevel", "info"), 0);
  EXPECT_EQ(FFLogger().LogLevel(), llInfo);
  EXPECT_EQ(SetLogLevelOption("loglevel", "48"), 0);
  EXPECT_EQ(FFLogger().LogLevel(), llDebug);
  EXPECT_EQ(SetLogLevelOption("loglevel", "32"), 0);
  EXPECT_EQ(FFLogger().LogLevel(), llInfo);
  EXPECT_EQ(SetLogLevelOption("loglevel", "loud"), AVERROR(EINVAL));
  EXPECT_EQ(FFLogger().LogLevel(), llInfo);
  EXPECT_EQ(ParseError,
            "Invalid loglevel \"loud\". Possible levels are numbers or:\r\n\"quiet\"\r\n"
            "\"panic\"\r\n\"fatal\"\r\n\"error\"\r\n\"warning\"\r\n\"info\"\r\n\"verbose\"\r\n"
            "\"debug\"\r\n");
  EXPECT_TRUE(HasLine(AV_LOG_ERROR,
                      "Invalid loglevel \"loud\". Possible levels are numbers or:\n\"quiet\"\n"
                      "\"panic\"\n\"fatal\"\n\"error\"\n\"warning\"\n\"info\"\n\"verbose\"\n"
                      "\"debug\"\n"));
  EXPECT_EQ(SetLogLevelOption("loglevel", "32x"), AVERROR(EINVAL));
}

// An output context with one video and one audio stream.
struct TOutput {
  AVFormatContext* Ctx = nullptr;
  TOutput() {
    avformat_alloc_output_context2(&Ctx, nullptr, "matroska", nullptr);
    AVStream* v = avformat_new_stream(Ctx, nullptr);
    v->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    v->codecpar->codec_id = AV_CODEC_ID_MPEG4;
    AVStream* a = avformat_new_stream(Ctx, nullptr);
    a->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    a->codecpar->codec_id = AV_CODEC_ID_AAC;
  }
  ~TOutput() { avformat_free_context(Ctx); }
};

TEST_F(OptionsTest, StreamCodecOptionsFilterBySpecifierAndKind) {
  TOutput out;
  ASSERT_NE(out.Ctx, nullptr);
  TAVDictionary opts;
  opts.Set("b:a", "128k");
  opts.Set("threads", "2");
  opts.Set("vstrict", "unofficial");
  opts.Set("probesize", "100");  // no codec option
  std::vector<TAVDictionary> per = StreamCodecOptions(out.Ctx, opts.Get());
  ASSERT_EQ(per.size(), 2u);
  EXPECT_EQ(per[0].Value("b"), nullptr);
  EXPECT_STREQ(per[0].Value("threads"), "2");
  EXPECT_STREQ(per[0].Value("strict"), "unofficial");
  EXPECT_EQ(per[0].Count(), 2);
  EXPECT_STREQ(per[1].Value("b"), "128k");
  EXPECT_STREQ(per[1].Value("threads"), "2");
  EXPECT_EQ(per[1].Count(), 2);
  // The caller's keys keep their suffix.
  EXPECT_STREQ(opts.Value("b:a"), "128k");

  TAVDictionary bad;
  bad.Set("b:zz", "1");
  int err = 0;
  TAVDictionary r = FilterStreamCodecOptions(bad.Get(), AV_CODEC_ID_AAC, out.Ctx,
                                             out.Ctx->streams[1], nullptr, &err);
  EXPECT_LT(err, 0);
  EXPECT_EQ(r.Get(), nullptr);
}

TEST_F(OptionsTest, StreamCodecOptionsKnowPrivateCodecOptions) {
  TOutput out;
  TAVDictionary opts;
  opts.Set("mpv_flags", "+qp_rd");  // private to the MPEG-4 encoder
  TAVDictionary v = FilterStreamCodecOptions(opts.Get(), AV_CODEC_ID_MPEG4, out.Ctx,
                                             out.Ctx->streams[0], nullptr);
  EXPECT_STREQ(v.Value("mpv_flags"), "+qp_rd");
  TAVDictionary a = FilterStreamCodecOptions(opts.Get(), AV_CODEC_ID_AAC, out.Ctx,
                                             out.Ctx->streams[1], nullptr);
  EXPECT_EQ(a.Value("mpv_flags"), nullptr);
}

TEST_F(OptionsTest, ReadWholeFileAddsTerminator) {
  auto path = std::filesystem::temp_directory_path() / ("trimora_opt_" + std::to_string(getpid()));
  {
    std::ofstream f(path, std::ios::binary);
    f << "b=1M\nvcodec=x";
  }
  std::string buf;
  EXPECT_EQ(ReadWholeFile(path.string(), buf), 14);
  ASSERT_EQ(buf.size(), 14u);
  EXPECT_EQ(buf.back(), '\0');
  EXPECT_EQ(std::string(buf.c_str()), "b=1M\nvcodec=x");
  std::filesystem::remove(path);
  EXPECT_EQ(ReadWholeFile(path.string(), buf), -1);
  EXPECT_TRUE(HasLine(AV_LOG_ERROR, "Cannot read file \"" + path.string() + "\"\n"));
  EXPECT_LT(ReadWholeFile("/", buf), 0);
}

TEST_F(OptionsTest, GrowArrayZeroesAndRefusesHugeCounts) {
  std::vector<int32_t> v = {5};
  GrowArray(v, 3);
  EXPECT_EQ(v, (std::vector<int32_t>{5, 0, 0}));
  GrowArray(v, 1);
  EXPECT_EQ(v.size(), 3u);
  try {
    GrowArray(v, INT_MAX / 4);
    FAIL();
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "Array too big.");
  }
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
