// The engine's option table: 149 rows in lookup order, built once for the process and shared
// by every task. A row names the field it sets, in the file's option context or in the task's
// settings, or the handler it calls with the task; the parser hands each row a TOptionTarget.
#include "FFmpegOpt.h"

namespace {

using TFieldOf = void* (*)(void* target);

template <auto Member>
void* FileField(void* target) {
  TFileOptionsContext* ctx = static_cast<TOptionTarget*>(target)->File;
  return ctx ? &(ctx->*Member) : nullptr;
}

template <auto Member>
void* TaskField(void* target) {
  return &(static_cast<TOptionTarget*>(target)->Task.*Member);
}

}  // namespace

#define FLD(member) &FileField<&TFileOptionsContext::member>
#define SET(member) &TaskField<&TCustomFFmpegOpt::member>
#define HND(expr)                                                                          \
  [](TCustomFFmpegOpt& task, TFileOptionsContext* ctx, const std::string& n,               \
     const std::string& v) -> int {                                                        \
    (void)ctx;                                                                             \
    (void)n;                                                                               \
    (void)v;                                                                               \
    return task.expr;                                                                      \
  }

const TOptionTable& TCustomFFmpegOpt::OptionTable() {
  static const TOptionTable table = MakeOptionTable();
  return table;
}

TOptionTable TCustomFFmpegOpt::MakeOptionTable() {
  TOptionTable t;
  t.reserve(149);
  auto row = [&t](const char* name, uint32_t flags, const char* help,
                  const char* arg) -> TOptionDef& {
    TOptionDef& d = t.emplace_back();
    d.Name = name;
    d.Flags = flags;
    d.Help = help;
    d.ArgName = arg;
    return d;
  };
  auto fld = [&row](const char* name, uint32_t flags, TFieldOf f, const char* help,
                    const char* arg) { row(name, flags, help, arg).Field = f; };
  auto fn = [&row](const char* name, uint32_t flags, TTaskOptionHandler h, const char* help,
                   const char* arg) {
    row(name, flags, help, arg).Handler = [h](void* target, const std::string& n,
                                              const std::string& v) {
      auto* to = static_cast<TOptionTarget*>(target);
      return h(to->Task, to->File, n, v);
    };
  };

  const TTaskOptionHandler ignore = HND(OptIgnoreUnsupported(n));
  const TTaskOptionHandler refuse = HND(OptUnsupported(n));

  fn("L", OPT_EXIT, ignore, "show license", "");
  fn("h", OPT_EXIT, ignore, "show help", "topic");
  fn("?", OPT_EXIT, ignore, "show help", "topic");
  fn("help", OPT_EXIT, ignore, "show help", "topic");
  fn("-help", OPT_EXIT, ignore, "show help", "topic");
  fn("version", OPT_EXIT, ignore, "show version", "");
  fn("formats", OPT_EXIT, ignore, "show available formats", "");
  fn("codecs", OPT_EXIT, ignore, "show available codecs", "");
  fn("decoders", OPT_EXIT, ignore, "show available decoders", "");
  fn("encoders", OPT_EXIT, ignore, "show available encoders", "");
  fn("bsfs", OPT_EXIT, ignore, "show available bit stream filters", "");
  fn("protocols", OPT_EXIT, ignore, "show available protocols", "");
  fn("filters", OPT_EXIT, ignore, "show available filters", "");
  fn("pix_fmts", OPT_EXIT, ignore, "show available pixel formats", "");
  fn("layouts", OPT_EXIT, ignore, "show standard channel layouts", "");
  fn("sample_fmts", OPT_EXIT, ignore, "show available audio sample formats", "");
  fn("loglevel", OPT_HASARG, HND(OptLogLevel(n, v)), "set libav* logging level", "loglevel");
  fn("v", OPT_HASARG, HND(OptLogLevel(n, v)), "set libav* logging level", "loglevel");
  fn("report", OPT_EXPERT, refuse, "generate a report", "");
  fn("max_alloc", OPT_HASARG, HND(OptMaxAlloc(v)), "set maximum size of a single allocated block",
     "bytes");
  fn("cpuflags", OPT_HASARG | OPT_EXPERT, HND(OptCpuFlags(v)), "force specific cpu flags",
     "flags");
  fld("f", OPT_HASARG | OPT_STRING | OPT_OFFSET, FLD(FormatName), "force format", "fmt");
  fld("y", OPT_BOOL, SET(FileOverwrite), "overwrite output files", "");
  fld("n", OPT_BOOL, SET(NoFileOverwrite), "do not overwrite output files", "");
  fld("c", OPT_HASARG | OPT_STRING | OPT_SPEC, FLD(CodecNames), "codec name", "codec");
  fld("codec", OPT_HASARG | OPT_STRING | OPT_SPEC, FLD(CodecNames), "codec name", "codec");
  fn("pre", OPT_HASARG | OPT_EXPERT | OPT_PERFILE, refuse, "preset name", "preset");
  fn("map", OPT_HASARG | OPT_EXPERT | OPT_PERFILE, HND(OptMap(ctx, n, v)),
     "set input stream mapping",
     "[-]input_file_id[:stream_specifier][,sync_file_id[:stream_specifier]]");
  fn("map_channel", OPT_HASARG | OPT_EXPERT | OPT_PERFILE, HND(OptMapChannel(ctx, n, v)),
     "map an audio channel from one stream to another",
     "file.stream.channel[:syncfile.syncstream]");
  fld("map_metadata", OPT_HASARG | OPT_STRING | OPT_SPEC, FLD(MetadataMaps),
      "set metadata information of outfile from infile", "outfile[,metadata]:infile[,metadata]");
  fld("map_chapters", OPT_HASARG | OPT_INT | OPT_EXPERT | OPT_OFFSET, FLD(ChaptersInputFile),
      "set chapters mapping", "input_file_index");
  fld("t", OPT_HASARG | OPT_TIME | OPT_OFFSET, FLD(Duration),
      "record or transcode \"duration\" seconds of audio/video", "duration");
  fld("t_microsecond", OPT_HASARG | OPT_INT64 | OPT_OFFSET, FLD(Duration),
      "record or transcode \"duration\" seconds of audio/video", "duration");
  fld("to", OPT_HASARG | OPT_TIME | OPT_OFFSET, FLD(StopTime), "record or transcode stop time",
      "time_stop");
  fld("to_microsecond", OPT_HASARG | OPT_INT64 | OPT_OFFSET, FLD(StopTime),
      "record or transcode stop time", "time_stop");
  fld("fs", OPT_HASARG | OPT_INT64 | OPT_OFFSET, FLD(FileSizeLimit),
      "set the limit file size in bytes", "limit_size");
  fld("ss", OPT_HASARG | OPT_TIME | OPT_OFFSET, FLD(StartTime), "set the start time offset",
      "time_off");
  fld("ss_microsecond", OPT_HASARG | OPT_INT64 | OPT_OFFSET, FLD(StartTime),
      "set the start time offset", "time_off");
  fld("itsoffset", OPT_HASARG | OPT_TIME | OPT_EXPERT | OPT_OFFSET, FLD(InputTsOffset),
      "set the input ts offset", "time_off");
  fld("itsoffset_microsecond", OPT_HASARG | OPT_INT64 | OPT_EXPERT | OPT_OFFSET,
      FLD(InputTsOffset), "set the input ts offset", "time_off");
  fld("itsscale", OPT_HASARG | OPT_DOUBLE | OPT_SPEC | OPT_EXPERT, FLD(TsScales),
      "set the input ts scale", "scale");
  fn("timestamp", OPT_HASARG | OPT_PERFILE, HND(OptTimestamp(ctx, n, v)),
     "set the recording timestamp ('now' to set the current time)", "time");
  fld("metadata", OPT_HASARG | OPT_STRING | OPT_SPEC, FLD(Metadata), "add metadata",
      "string=string");
  fn("dframes", OPT_HASARG | OPT_DATA | OPT_PERFILE, HND(OptTypedAlias(ctx, "frames", n, v)),
     "set the number of data frames to record", "number");
  fn("benchmark", OPT_EXPERT, refuse, "add timings for benchmarking", "");
  fn("benchmark_all", OPT_EXPERT, refuse, "add timings for each task", "");
  fn("progress", OPT_HASARG | OPT_EXPERT, HND(OptProgress(v)),
     "write program-readable progress information", "url");
  fn("stdin", OPT_EXPERT, refuse, "enable or disable interaction on standard input", "");
  fn("timelimit", OPT_HASARG, refuse, "set max runtime in seconds", "limit");
  fld("dump", OPT_BOOL | OPT_EXPERT, SET(DoPktDump), "dump each input packet", "");
  fld("hex", OPT_BOOL | OPT_EXPERT, SET(DoHexDump), "when dumping packets, also dump the payload",
      "");
  fld("re", OPT_BOOL | OPT_EXPERT | OPT_OFFSET, FLD(RateEmulation),
      "read input at native frame rate", "");
  fn("target", OPT_HASARG | OPT_PERFILE, HND(OptTarget(ctx, n, v)),
     "specify target file type (\"vcd\", \"svcd\", \"dvd\", \"dv\", \"dv50\", \"pal-vcd\", "
     "\"ntsc-svcd\", ...)",
     "type");
  fn("vsync", OPT_HASARG | OPT_EXPERT, HND(OptVSync(v)), "video sync method", "");
  fld("async", OPT_HASARG | OPT_INT | OPT_EXPERT, SET(AudioSyncMethod), "audio sync method", "");
  fld("adrift_threshold", OPT_HASARG | OPT_FLOAT | OPT_EXPERT, SET(AudioDriftThreshold),
      "audio drift threshold", "threshold");
  fld("copyts", OPT_BOOL | OPT_EXPERT, SET(CopyTs), "copy timestamps", "");
  fld("copytb", OPT_HASARG | OPT_INT | OPT_EXPERT, SET(CopyTb),
      "copy input stream time base when stream copying", "mode");
  fld("shortest", OPT_BOOL | OPT_EXPERT | OPT_OFFSET, FLD(Shortest),
      "finish encoding within shortest input", "");
  fld("dts_delta_threshold", OPT_HASARG | OPT_FLOAT | OPT_EXPERT, SET(DtsDeltaThreshold),
      "timestamp discontinuity delta threshold", "threshold");
  fld("dts_error_threshold", OPT_HASARG | OPT_FLOAT | OPT_EXPERT, SET(DtsErrorThreshold),
      "timestamp error delta threshold", "threshold");
  fld("xerror", OPT_BOOL, SET(ExitOnError), "exit on error", "error");
  fld("copyinkf", OPT_BOOL | OPT_EXPERT | OPT_SPEC, FLD(CopyInitialNonKeyframes),
      "copy initial non-keyframes", "");
  fld("copypriorss", OPT_HASARG | OPT_INT | OPT_EXPERT | OPT_SPEC, FLD(CopyPriorStart),
      "copy or discard frames before start time", "");
  fld("frames", OPT_HASARG | OPT_INT64 | OPT_SPEC, FLD(MaxFrames),
      "set the number of frames to record", "number");
  fld("tag", OPT_HASARG | OPT_STRING | OPT_EXPERT | OPT_SPEC, FLD(CodecTags),
      "force codec tag/fourcc", "fourcc/tag");
  fld("q", OPT_HASARG | OPT_EXPERT | OPT_DOUBLE | OPT_SPEC, FLD(QScales),
      "use fixed quality scale (VBR)", "q");
  fn("qscale", OPT_HASARG | OPT_EXPERT | OPT_PERFILE, HND(OptQScale(ctx, n, v)),
     "use fixed quality scale (VBR)", "q");
  fn("profile", OPT_HASARG | OPT_EXPERT | OPT_PERFILE,
     HND(OptAmbiguous("profile", "Please use -profile:a or -profile:v, -profile is ambiguous", n,
                      v)),
     "set profile", "profile");
  fld("filter", OPT_HASARG | OPT_STRING | OPT_SPEC, FLD(Filters), "set stream filtergraph",
      "filter_graph");
  fld("reinit_filter", OPT_HASARG | OPT_INT | OPT_EXPERT | OPT_SPEC, FLD(ReinitFilters),
      "reinit filtergraph on input parameter changes", "");
  fn("filter_complex", OPT_HASARG | OPT_EXPERT, HND(OptFilterComplex(v)),
     "create a complex filtergraph", "graph_description");
  fld("stats", OPT_BOOL, SET(PrintStats), "print progress report during encoding", "");
  fn("attach", OPT_HASARG | OPT_EXPERT | OPT_PERFILE, HND(OptAttach(ctx, v)),
     "add an attachment to the output file", "filename");
  fld("dump_attachment", OPT_HASARG | OPT_STRING | OPT_EXPERT | OPT_SPEC, FLD(DumpAttachments),
      "extract an attachment into a file", "filename");
  fn("vframes", OPT_HASARG | OPT_VIDEO | OPT_PERFILE, HND(OptTypedAlias(ctx, "frames", n, v)),
     "set the number of video frames to record", "number");
  fld("r", OPT_HASARG | OPT_VIDEO | OPT_STRING | OPT_SPEC, FLD(FrameRates),
      "set frame rate (Hz value, fraction or abbreviation)", "rate");
  fld("s", OPT_HASARG | OPT_VIDEO | OPT_STRING | OPT_SUBTITLE | OPT_SPEC, FLD(FrameSizes),
      "set frame size (WxH or abbreviation)", "size");
  fld("aspect", OPT_HASARG | OPT_VIDEO | OPT_STRING | OPT_SPEC, FLD(AspectRatios),
      "set aspect ratio (4:3, 16:9 or 1.3333, 1.7777)", "aspect");
  fld("pix_fmt", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_STRING | OPT_SPEC, FLD(PixelFormats),
      "set pixel format", "format");
  fld("bits_per_raw_sample", OPT_HASARG | OPT_VIDEO | OPT_INT | OPT_EXPERT,
      SET(FrameBitsPerRawSample), "set the number of bits per raw sample", "number");
  fld("intra", OPT_BOOL | OPT_VIDEO | OPT_EXPERT, SET(IntraOnly),
      "deprecated use -g 1", "");
  fld("vn", OPT_BOOL | OPT_VIDEO | OPT_OFFSET, FLD(VideoDisable), "disable video", "");
  fld("vdt", OPT_HASARG | OPT_VIDEO | OPT_INT | OPT_EXPERT, SET(VideoDiscard), "discard threshold",
      "n");
  fld("rc_override", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_STRING | OPT_SPEC,
      FLD(RcOverrides), "rate control override for specific intervals", "override");
  fn("vcodec", OPT_HASARG | OPT_VIDEO | OPT_PERFILE, HND(OptTypedAlias(ctx, "codec", n, v)),
     "force video codec (\"copy\" to copy stream)", "codec");
  fn("sameq", OPT_VIDEO, HND(OptSameQuant(n)), "Removed", "");
  fn("same_quant", OPT_VIDEO, HND(OptSameQuant(n)), "Removed", "");
  fn("timecode", OPT_HASARG | OPT_VIDEO | OPT_EXPERT | OPT_PERFILE, HND(OptTimecode(ctx, v)),
     "set initial TimeCode value.", "hh:mm:ss[:;.]ff");
  fld("pass", OPT_HASARG | OPT_VIDEO | OPT_INT | OPT_EXPERT | OPT_SPEC, FLD(Passes),
      "select the pass number (1 to 3)", "n");
  fld("passlogfile", OPT_HASARG | OPT_VIDEO | OPT_STRING | OPT_EXPERT | OPT_SPEC,
      FLD(PassLogFiles), "select two pass log file name prefix", "prefix");
  fn("deinterlace", OPT_VIDEO | OPT_EXPERT, HND(OptDeinterlace(n)),
     "this option is deprecated, use the yadif filter instead", "");
  fld("psnr", OPT_BOOL | OPT_VIDEO | OPT_EXPERT, SET(DoPsnr), "calculate PSNR of compressed frames",
      "");
  fn("vstats", OPT_VIDEO | OPT_EXPERT, HND(OptVStats()), "dump video coding statistics to file",
     "");
  fn("vstats_file", OPT_HASARG | OPT_VIDEO | OPT_EXPERT, HND(OptVStatsFile(v)),
     "dump video coding statistics to file", "file");
  fn("vf", OPT_HASARG | OPT_VIDEO | OPT_PERFILE, HND(OptTypedAlias(ctx, "filter", n, v)),
     "set video filters", "filter_graph");
  fld("intra_matrix", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_STRING | OPT_SPEC,
      FLD(IntraMatrices), "specify intra matrix coeffs", "matrix");
  fld("inter_matrix", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_STRING | OPT_SPEC,
      FLD(InterMatrices), "specify inter matrix coeffs", "matrix");
  fld("top", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_INT | OPT_SPEC, FLD(TopFieldFirst),
      "top=1/bottom=0/auto=-1 field first", "");
  fld("dc", OPT_HASARG | OPT_VIDEO | OPT_INT | OPT_EXPERT, SET(IntraDcPrecision),
      "intra_dc_precision", "precision");
  fn("vtag", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_PERFILE, HND(OptSuffixAlias(ctx, n, v)),
     "force video tag/fourcc", "fourcc/tag");
  fld("qphist", OPT_BOOL | OPT_VIDEO | OPT_EXPERT, SET(QpHist), "show QP histogram", "");
  fld("force_fps", OPT_BOOL | OPT_EXPERT | OPT_VIDEO | OPT_SPEC, FLD(ForceFps),
      "force the selected framerate, disable the best supported framerate selection", "");
  fn("streamid", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_PERFILE,
     HND(OptStreamId(ctx, n, v)), "set the value of an outfile streamid",
     "streamIndex:value");
  fld("force_key_frames", OPT_HASARG | OPT_EXPERT | OPT_VIDEO | OPT_STRING | OPT_SPEC,
      FLD(ForcedKeyFrames), "force key frames at specified timestamps", "timestamps");
  fn("b", OPT_HASARG | OPT_VIDEO | OPT_PERFILE,
     HND(OptAmbiguous("b", "Please use -b:a or -b:v, -b is ambiguous", n, v)),
     "video bitrate (please use -b:v)", "bitrate");
  fn("aframes", OPT_HASARG | OPT_AUDIO | OPT_PERFILE, HND(OptTypedAlias(ctx, "frames", n, v)),
     "set the number of audio frames to record", "number");
  fn("aq", OPT_HASARG | OPT_AUDIO | OPT_PERFILE, HND(OptTypedAlias(ctx, "q", n, v)),
     "set audio quality (codec-specific)", "quality");
  fld("ar", OPT_HASARG | OPT_AUDIO | OPT_INT | OPT_SPEC, FLD(AudioSampleRates),
      "set audio sampling rate (in Hz)", "rate");
  fld("ac", OPT_HASARG | OPT_AUDIO | OPT_INT | OPT_SPEC, FLD(AudioChannels),
      "set number of audio channels", "channels");
  fld("an", OPT_BOOL | OPT_AUDIO | OPT_OFFSET, FLD(AudioDisable), "disable audio", "");
  fn("acodec", OPT_HASARG | OPT_AUDIO | OPT_PERFILE, HND(OptTypedAlias(ctx, "codec", n, v)),
     "force audio codec (\"copy\" to copy stream)", "codec");
  fn("atag", OPT_HASARG | OPT_EXPERT | OPT_AUDIO | OPT_PERFILE, HND(OptSuffixAlias(ctx, n, v)),
     "force audio tag/fourcc", "fourcc/tag");
  fld("vol", OPT_HASARG | OPT_AUDIO | OPT_INT, SET(AudioVolume), "change audio volume (256=normal)",
      "volume");
  fld("sample_fmt", OPT_HASARG | OPT_EXPERT | OPT_AUDIO | OPT_STRING | OPT_SPEC,
      FLD(SampleFormats), "set sample format", "format");
  fn("channel_layout", OPT_HASARG | OPT_EXPERT | OPT_AUDIO | OPT_PERFILE,
     HND(OptChannelLayout(ctx, n, v)), "set channel layout", "layout");
  fn("af", OPT_HASARG | OPT_AUDIO | OPT_PERFILE, HND(OptTypedAlias(ctx, "filter", n, v)),
     "set audio filters", "filter_graph");
  fld("guess_layout_max", OPT_HASARG | OPT_INT | OPT_SPEC | OPT_EXPERT | OPT_AUDIO,
      FLD(GuessLayoutMax),
      "set the maximum number of channels to try to guess the channel layout", "");
  fld("sn", OPT_BOOL | OPT_SUBTITLE | OPT_OFFSET, FLD(SubtitleDisable), "disable subtitle", "");
  fn("scodec", OPT_HASARG | OPT_SUBTITLE | OPT_PERFILE, HND(OptTypedAlias(ctx, "codec", n, v)),
     "force subtitle codec (\"copy\" to copy stream)", "codec");
  fn("stag", OPT_HASARG | OPT_EXPERT | OPT_SUBTITLE | OPT_PERFILE,
     HND(OptSuffixAlias(ctx, n, v)), "force subtitle tag/fourcc", "fourcc/tag");
  fld("fix_sub_duration", OPT_BOOL | OPT_EXPERT | OPT_SUBTITLE | OPT_SPEC, FLD(FixSubDuration),
      "fix subtitles duration", "");
  fn("vc", OPT_HASARG | OPT_EXPERT | OPT_VIDEO,
     HND(OptDeprecatedDevice("This option is deprecated, use -channel.", "channel", v)),
     "deprecated, use -channel", "channel");
  fn("tvstd", OPT_HASARG | OPT_EXPERT | OPT_VIDEO,
     HND(OptDeprecatedDevice("This option is deprecated, use -standard.", "standard", v)),
     "deprecated, use -standard", "standard");
  fld("isync", OPT_BOOL | OPT_EXPERT, SET(InputSync), "this option is deprecated and does nothing",
      "");
  fld("muxdelay", OPT_HASARG | OPT_FLOAT | OPT_EXPERT | OPT_OFFSET, FLD(MuxMaxDelay),
      "set the maximum demux-decode delay", "seconds");
  fld("muxpreload", OPT_HASARG | OPT_FLOAT | OPT_EXPERT | OPT_OFFSET, FLD(MuxPreload),
      "set the initial demux-decode delay", "seconds");
  fld("bsf", OPT_HASARG | OPT_STRING | OPT_SPEC | OPT_EXPERT, FLD(BitstreamFilters),
      "A comma-separated list of bitstream filters", "bitstream_filters");
  fn("absf", OPT_HASARG | OPT_AUDIO | OPT_EXPERT | OPT_PERFILE, HND(OptSuffixAlias(ctx, n, v)),
     "deprecated", "audio bitstream_filters");
  fn("vbsf", OPT_HASARG | OPT_VIDEO | OPT_EXPERT | OPT_PERFILE, HND(OptSuffixAlias(ctx, n, v)),
     "deprecated", "video bitstream_filters");
  fn("apre", OPT_HASARG | OPT_AUDIO | OPT_EXPERT | OPT_PERFILE, HND(OptPresetFile(ctx, v)),
     "set the audio options to the indicated preset", "preset");
  fn("vpre", OPT_HASARG | OPT_VIDEO | OPT_EXPERT | OPT_PERFILE, HND(OptPresetFile(ctx, v)),
     "set the video options to the indicated preset", "preset");
  fn("spre", OPT_HASARG | OPT_SUBTITLE | OPT_EXPERT | OPT_PERFILE, HND(OptPresetFile(ctx, v)),
     "set the subtitle options to the indicated preset", "preset");
  fn("fpre", OPT_HASARG | OPT_EXPERT | OPT_PERFILE, HND(OptPresetFile(ctx, v)),
     "set options from indicated preset file", "filename");
  fn("dcodec", OPT_HASARG | OPT_DATA | OPT_PERFILE, HND(OptTypedAlias(ctx, "codec", n, v)),
     "force data codec (\"copy\" to copy stream)", "codec");
  fld("dn", OPT_BOOL | OPT_VIDEO | OPT_OFFSET, FLD(DataDisable), "disable data", "");
  fn("vhook", OPT_HASARG | OPT_VIDEO | OPT_EXPERT, HND(OptVideoHook(task.FVideoHookOption, n, v)),
     "insert video processing module", "module");
  fn("VideoHookBitsPixel", OPT_HASARG | OPT_VIDEO | OPT_EXPERT,
     HND(OptVideoHook(task.FVideoHookBitsPixelOption, n, v)), "set bits per pixel of hook pictures",
     "bits");
  fn("TimeStart", OPT_HASARG | OPT_EXPERT | OPT_PERFILE,
     HND(OptSecondsToMicro(ctx, "ss_microsecond", n, v)), "TimeStart", "");
  fn("timestart", OPT_HASARG | OPT_EXPERT | OPT_PERFILE,
     HND(OptSecondsToMicro(ctx, "ss_microsecond", n, v)), "timestart", "");
  fn("TimeLength", OPT_HASARG | OPT_EXPERT | OPT_PERFILE,
     HND(OptSecondsToMicro(ctx, "t_microsecond", n, v)), "TimeLength", "");
  fn("timelength", OPT_HASARG | OPT_EXPERT | OPT_PERFILE,
     HND(OptSecondsToMicro(ctx, "t_microsecond", n, v)), "timelength", "");
  // Hooks and joining are switched by the output record; the names are only accepted here.
  const TTaskOptionHandler accept = [](TCustomFFmpegOpt&, TFileOptionsContext*, const std::string&,
                                       const std::string&) { return 0; };
  for (const char* name : kApplicationOptionNames) fn(name, OPT_EXIT, accept, name, "");
  return t;
}
