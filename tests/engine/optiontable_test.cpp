// The engine's option table against the option list: one table for the process, names that
// lookup finds, field rows that write the field they name in the task they are applied for, and
// the names the application handles accepted.
#include <gtest/gtest.h>

#include <set>
#include <string>

extern "C" {
#include <libavutil/error.h>
}

#include "engine/FFmpeg.h"
#include "engine/FFmpegOpt.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"

namespace {

using TWhere = const void* (*)(TCustomFFmpegOpt& task, TFileOptionsContext& ctx);

#define IN_FILE(m) [](TCustomFFmpegOpt&, TFileOptionsContext& c) -> const void* { return &c.m; }
#define IN_TASK(m) [](TCustomFFmpegOpt& t, TFileOptionsContext&) -> const void* { return &t.m; }

struct TFieldRow {
  const char* Name;
  TWhere Where;
};

// Every row that sets a field, and the field it is meant to set.
const TFieldRow kFieldRows[] = {
    {"f", IN_FILE(FormatName)},
    {"y", IN_TASK(FileOverwrite)},
    {"n", IN_TASK(NoFileOverwrite)},
    {"c", IN_FILE(CodecNames)},
    {"codec", IN_FILE(CodecNames)},
    {"map_metadata", IN_FILE(MetadataMaps)},
    {"map_chapters", IN_FILE(ChaptersInputFile)},
    {"t", IN_FILE(Duration)},
    {"t_microsecond", IN_FILE(Duration)},
    {"to", IN_FILE(StopTime)},
    {"to_microsecond", IN_FILE(StopTime)},
    {"fs", IN_FILE(FileSizeLimit)},
    {"ss", IN_FILE(StartTime)},
    {"ss_microsecond", IN_FILE(StartTime)},
    {"itsoffset", IN_FILE(InputTsOffset)},
    {"itsoffset_microsecond", IN_FILE(InputTsOffset)},
    {"itsscale", IN_FILE(TsScales)},
    {"metadata", IN_FILE(Metadata)},
    {"dump", IN_TASK(DoPktDump)},
    {"hex", IN_TASK(DoHexDump)},
    {"re", IN_FILE(RateEmulation)},
    {"async", IN_TASK(AudioSyncMethod)},
    {"adrift_threshold", IN_TASK(AudioDriftThreshold)},
    {"copyts", IN_TASK(CopyTs)},
    {"copytb", IN_TASK(CopyTb)},
    {"shortest", IN_FILE(Shortest)},
    {"dts_delta_threshold", IN_TASK(DtsDeltaThreshold)},
    {"dts_error_threshold", IN_TASK(DtsErrorThreshold)},
    {"xerror", IN_TASK(ExitOnError)},
    {"copyinkf", IN_FILE(CopyInitialNonKeyframes)},
    {"copypriorss", IN_FILE(CopyPriorStart)},
    {"frames", IN_FILE(MaxFrames)},
    {"tag", IN_FILE(CodecTags)},
    {"q", IN_FILE(QScales)},
    {"filter", IN_FILE(Filters)},
    {"reinit_filter", IN_FILE(ReinitFilters)},
    {"stats", IN_TASK(PrintStats)},
    {"dump_attachment", IN_FILE(DumpAttachments)},
    {"r", IN_FILE(FrameRates)},
    {"s", IN_FILE(FrameSizes)},
    {"aspect", IN_FILE(AspectRatios)},
    {"pix_fmt", IN_FILE(PixelFormats)},
    {"bits_per_raw_sample", IN_TASK(FrameBitsPerRawSample)},
    {"intra", IN_TASK(IntraOnly)},
    {"vn", IN_FILE(VideoDisable)},
    {"vdt", IN_TASK(VideoDiscard)},
    {"rc_override", IN_FILE(RcOverrides)},
    {"pass", IN_FILE(Passes)},
    {"passlogfile", IN_FILE(PassLogFiles)},
    {"psnr", IN_TASK(DoPsnr)},
    {"intra_matrix", IN_FILE(IntraMatrices)},
    {"inter_matrix", IN_FILE(InterMatrices)},
    {"top", IN_FILE(TopFieldFirst)},
    {"dc", IN_TASK(IntraDcPrecision)},
    {"qphist", IN_TASK(QpHist)},
    {"force_fps", IN_FILE(ForceFps)},
    {"force_key_frames", IN_FILE(ForcedKeyFrames)},
    {"ar", IN_FILE(AudioSampleRates)},
    {"ac", IN_FILE(AudioChannels)},
    {"an", IN_FILE(AudioDisable)},
    {"vol", IN_TASK(AudioVolume)},
    {"sample_fmt", IN_FILE(SampleFormats)},
    {"guess_layout_max", IN_FILE(GuessLayoutMax)},
    {"sn", IN_FILE(SubtitleDisable)},
    {"fix_sub_duration", IN_FILE(FixSubDuration)},
    {"isync", IN_TASK(InputSync)},
    {"muxdelay", IN_FILE(MuxMaxDelay)},
    {"muxpreload", IN_FILE(MuxPreload)},
    {"bsf", IN_FILE(BitstreamFilters)},
    {"dn", IN_FILE(DataDisable)},
};

// A task of its own with a fresh file context.
struct TTask {
  TCustomFFmpegOpt Opt;
  TFileOptionsContext Ctx;
  TTask() { Opt.InitOptionsContext(Ctx); }
  ~TTask() { Opt.ReleaseOptionsContext(Ctx); }
  int Parse(const std::string& options) {
    return Opt.ParseOptions(&Ctx, options, "output file", std::string());
  }
};

class OptionTableTest : public ::testing::Test {
protected:
  void SetUp() override { FFLogger().SetLogLevel(llQuiet); }
  void TearDown() override { FFLogger().SetLogLevel(llInfo); }
};

TEST_F(OptionTableTest, OneTableForEveryTask) {
  TTask a, b;
  const TOptionTable& t = TCustomFFmpegOpt::OptionTable();
  EXPECT_EQ(&a.Opt.OptionTable(), &t);
  EXPECT_EQ(&b.Opt.OptionTable(), &t);
  ASSERT_EQ(t.size(), 149u);
  // Parsing leaves the table as it is.
  const TOptionDef* first = &t[0];
  ASSERT_EQ(a.Parse("-t 5 -y"), 0);
  EXPECT_EQ(&TCustomFFmpegOpt::OptionTable()[0], first);
  EXPECT_EQ(TCustomFFmpegOpt::OptionTable().size(), 149u);
}

TEST_F(OptionTableTest, NamesAreUniqueAndFoundByLookup) {
  const TOptionTable& t = TCustomFFmpegOpt::OptionTable();
  std::set<std::string> names;
  for (const TOptionDef& d : t) {
    EXPECT_TRUE(names.insert(d.Name).second) << "twice: " << d.Name;
    EXPECT_EQ(FindOptionDef(t, d.Name), &d) << d.Name;
    EXPECT_EQ(FindOptionDef(t, d.Name + ":v:0"), &d) << d.Name;
    // A row either sets a field or calls a handler, never both and never neither.
    EXPECT_NE(static_cast<bool>(d.Field), static_cast<bool>(d.Handler)) << d.Name;
    EXPECT_EQ(d.Address, nullptr) << d.Name;
  }
}

TEST_F(OptionTableTest, FieldRowsWriteTheFieldTheyNameInTheirOwnTask) {
  const TOptionTable& t = TCustomFFmpegOpt::OptionTable();
  size_t fieldRows = 0;
  for (const TOptionDef& d : t)
    if (d.Field) fieldRows++;
  EXPECT_EQ(fieldRows, std::size(kFieldRows));

  TTask a, b;
  for (const TFieldRow& r : kFieldRows) {
    const TOptionDef* d = FindOptionDef(t, r.Name);
    ASSERT_NE(d, nullptr) << r.Name;
    ASSERT_TRUE(d->Field) << r.Name;
    for (TTask* task : {&a, &b}) {
      TOptionTarget target{task->Opt, &task->Ctx};
      EXPECT_EQ(d->Field(&target), r.Where(task->Opt, task->Ctx)) << r.Name;
    }
  }
}

TEST_F(OptionTableTest, ValuesLandInTheTaskAndFileTheyAreParsedFor) {
  TTask a, b;
  ASSERT_EQ(a.Parse("-t 5 -y -vsync 2 -dc 9 -ss_microsecond 1500"), 0);
  EXPECT_EQ(a.Ctx.Duration, 5000000);
  EXPECT_EQ(a.Ctx.StartTime, 1500);
  EXPECT_EQ(a.Opt.FileOverwrite, 1);
  EXPECT_EQ(a.Opt.VideoSyncMethod, 2);
  EXPECT_EQ(a.Opt.IntraDcPrecision, 9);
  // The other task and its file keep their defaults.
  EXPECT_EQ(b.Ctx.Duration, INT64_MAX);
  EXPECT_EQ(b.Ctx.StartTime, 0);
  EXPECT_EQ(b.Opt.FileOverwrite, 0);
  EXPECT_EQ(b.Opt.VideoSyncMethod, -1);
  EXPECT_EQ(b.Opt.IntraDcPrecision, 8);

  ASSERT_EQ(b.Parse("-n -vsync cfr -t 1"), 0);
  EXPECT_EQ(b.Opt.NoFileOverwrite, 1);
  EXPECT_EQ(b.Opt.VideoSyncMethod, 1);
  EXPECT_EQ(b.Ctx.Duration, 1000000);
  EXPECT_EQ(a.Opt.NoFileOverwrite, 0);
  EXPECT_EQ(a.Opt.VideoSyncMethod, 2);
  EXPECT_EQ(a.Ctx.Duration, 5000000);
}

TEST_F(OptionTableTest, TheApplicationsNamesAreAccepted) {
  const TOptionTable& t = TCustomFFmpegOpt::OptionTable();
  std::string all;
  for (const char* name : kApplicationOptionNames) {
    const TOptionDef* d = FindOptionDef(t, name);
    ASSERT_NE(d, nullptr) << name;
    EXPECT_EQ(d->Flags, OPT_EXIT) << name;
    all += std::string(" -") + name;
  }
  TTask a;
  EXPECT_EQ(a.Parse(all), 0);
  EXPECT_EQ(a.Opt.LastErrMsg(), "");
  // Lookup is exact: the encoder restores the spelling before the text gets here.
  EXPECT_NE(a.Parse("-join"), 0);
}

TEST_F(OptionTableTest, HookOptionsNeedTheEnginesHookHandling) {
  TTask bare;
  EXPECT_EQ(bare.Parse("-vhook x.so"), AVERROR(EINVAL));
  EXPECT_EQ(bare.Opt.LastErrMsg().rfind("options \"vhook\" not supported", 0), 0u);
  EXPECT_EQ(bare.Parse("-VideoHookBitsPixel 24"), AVERROR(EINVAL));

  TCustomFFmpeg engine;
  TFileOptionsContext ctx;
  engine.InitOptionsContext(ctx);
  EXPECT_EQ(engine.ParseOptions(&ctx, "-VideoHookBitsPixel 15", "output file", ""), 0);
  EXPECT_EQ(engine.VideoHookBitsPixel(), 15);
  EXPECT_EQ(engine.ParseOptions(&ctx, "-VideoHookBitsPixel 7", "output file", ""), -1);
  EXPECT_EQ(engine.VideoHookBitsPixel(), 15);
  engine.ReleaseOptionsContext(ctx);
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
