#pragma once
// The job option table of the transcoding engine: the per-file option context, the engine
// settings that global options set, the splitting of an option text into arguments, the parsing
// of option and preset texts, the option handlers and the per-stream lookups.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/FFmpegJob.h"
#include "runtime/FFLog.h"
#include "runtime/FFOptions.h"

struct AVCodecContext;
struct AVIOContext;

// Fatal job error: the text is also the engine's LastErrMsg.
class FFmpegException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One "map" argument as parsed; its expansion against the open inputs gives TStreamMap rows.
struct TStreamMapRequest {
  std::string Text;        // the argument without a leading "-"
  bool Negative = false;
  std::string LinkLabel;   // set for "[label]" maps; the rest is unused then
  int FileIndex = 0;
  std::string Specifier;   // stream specifier within the file (empty: all streams)
  bool HasSync = false;
  int SyncFileIndex = 0;
  std::string SyncSpecifier;
};

// Options of one file being opened. Init and release through TCustomFFmpegOpt.
struct TFileOptionsContext {
  TOptionGroup* Group = nullptr;  // the file group of the engine's TFFOptions
  int64_t StartTime = 0;
  std::string FormatName;         // empty: none given
  TSpecifierList CodecNames;      // Str
  TSpecifierList AudioChannels;   // Int
  TSpecifierList AudioSampleRates;  // Int
  TSpecifierList FrameRates;      // Str
  TSpecifierList FrameSizes;      // Str
  TSpecifierList PixelFormats;    // Str
  int64_t InputTsOffset = 0;
  int32_t RateEmulation = 0;
  TSpecifierList TsScales;        // Dbl
  TSpecifierList DumpAttachments; // Str
  std::vector<TStreamMap> StreamMaps;
  std::vector<TStreamMapRequest> StreamMapRequests;
  std::vector<TAudioChannelMap> AudioChannelMaps;
  int32_t MetadataGlobalManual = 0;
  int32_t MetadataStreamsManual = 0;
  int32_t MetadataChaptersManual = 0;
  std::vector<std::string> Attachments;
  int32_t ChaptersInputFile = INT32_MAX;
  int64_t Duration = INT64_MAX;
  int64_t StopTime = INT64_MAX;
  int64_t FileSizeLimit = INT64_MAX;
  float MuxPreload = 0.0f;
  float MuxMaxDelay = 0.7f;
  int32_t Shortest = 0;
  int32_t VideoDisable = 0;
  int32_t AudioDisable = 0;
  int32_t SubtitleDisable = 0;
  int32_t DataDisable = 0;
  std::vector<int32_t> StreamIdMap;
  TSpecifierList Metadata;        // Str
  TSpecifierList MaxFrames;       // Int64
  TSpecifierList BitstreamFilters;  // Str
  TSpecifierList CodecTags;       // Str
  TSpecifierList SampleFormats;   // Str
  TSpecifierList QScales;         // Dbl
  TSpecifierList ForcedKeyFrames; // Str
  TSpecifierList ForceFps;        // Int
  TSpecifierList AspectRatios;    // Str
  TSpecifierList RcOverrides;     // Str
  TSpecifierList IntraMatrices;   // Str
  TSpecifierList InterMatrices;   // Str
  TSpecifierList TopFieldFirst;   // Int
  TSpecifierList MetadataMaps;    // Str
  TSpecifierList CopyInitialNonKeyframes;  // Int
  TSpecifierList CopyPriorStart;  // Int
  TSpecifierList Filters;         // Str
  TSpecifierList ReinitFilters;   // Int
  TSpecifierList FixSubDuration;  // Int
  TSpecifierList Passes;          // Int
  TSpecifierList PassLogFiles;    // Str
  TSpecifierList GuessLayoutMax;  // Int
  std::string TargetName;         // "target" as given; expanded when the output is built
};

// A complex filter graph given with "filter_complex", in order of appearance.
struct TComplexFilterSpec {
  int Index = 0;
  std::string GraphDesc;
};

struct TAVIOContextClose {
  void operator()(AVIOContext* pb) const;
};
using TAVIOContextPtr = std::unique_ptr<AVIOContext, TAVIOContextClose>;

// Names the application handles itself (the hook switches and joining, set on the output
// record): the encoder brings them to this spelling in an output's option text, whatever their
// letter case, and the option table accepts them.
inline constexpr const char* kApplicationOptionNames[] = {
    "AudioInputHook", "AudioOutputHook", "VideoInputHook", "VideoOutputHook",
    "FrameInputHook", "FrameOutputHook", "Join"};

class TCustomFFmpegOpt;

// What an option row acts on while a text is applied: the task, and the option context of the
// file being opened (null while global rows are applied).
struct TOptionTarget {
  TCustomFFmpegOpt& Task;
  TFileOptionsContext* File;
};

// The function a handler row calls: the task, the file's option context (null for global rows),
// the name as typed and the value.
using TTaskOptionHandler = int (*)(TCustomFFmpegOpt& task, TFileOptionsContext* ctx,
                                   const std::string& name, const std::string& arg);

// Splits an option text into arguments: blanks and tabs separate; double quotes group; a run of
// backslashes before a quote is halved (an odd run makes the quote literal); "" inside a quoted
// span is a literal quote; "" alone is an empty argument.
std::vector<std::string> SplitOptionText(const std::string& text);

class TCustomFFmpegOpt {
public:
  TCustomFFmpegOpt();
  virtual ~TCustomFFmpegOpt();
  TCustomFFmpegOpt(const TCustomFFmpegOpt&) = delete;
  TCustomFFmpegOpt& operator=(const TCustomFFmpegOpt&) = delete;

  // The option table, one for the process and shared by every task: 149 rows in lookup order.
  static const TOptionTable& OptionTable();
  // Builds that table now rather than at the first parse; later calls keep it.
  static void BuildOptionTable() { OptionTable(); }
  TFFOptions& Options() { return FOptions; }

  void InitOptionsContext(TFileOptionsContext& ctx);
  void ReleaseOptionsContext(TFileOptionsContext& ctx);

  // Applies one file's option text and preset text. role is "input file" or "output file".
  // Returns 0 or the first failure's code (always 0 when AbortOnOptionError is off).
  int ParseOptions(TFileOptionsContext* ctx, const std::string& options, const std::string& role,
                   const std::string& presets);
  int ParsePresets(TFileOptionsContext* ctx, const std::string& presets, const std::string& role);

  // Per-stream lookups: the value of the last element whose specifier matches st (empty
  // matches every stream); def when none does. An invalid specifier is fatal.
  const TSpecifierValue* MatchPerStream(const TSpecifierList& list, AVFormatContext* s,
                                        AVStream* st);
  std::string MatchPerStreamStr(const TSpecifierList& list, AVFormatContext* s, AVStream* st,
                                const std::string& def = std::string());
  int32_t MatchPerStreamInt(const TSpecifierList& list, AVFormatContext* s, AVStream* st,
                            int32_t def);
  int64_t MatchPerStreamInt64(const TSpecifierList& list, AVFormatContext* s, AVStream* st,
                              int64_t def);
  double MatchPerStreamDouble(const TSpecifierList& list, AVFormatContext* s, AVStream* st,
                              double def);
  // Codec name given for a media type ('v', 'a', 's'): the last CodecNames element whose
  // specifier is exactly that letter; empty when none.
  static std::string CodecNameForType(const TFileOptionsContext& ctx, char type);

  // Sets LastErrMsg, logs at llFatal and throws FFmpegException.
  [[noreturn]] void FatalError(const std::string& msg);
  [[noreturn]] void FatalErrorFmt(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  [[noreturn]] void AbortCodecExperimental(AVCodecContext* codec);
  // Options the library left over: "Option %s not found." (fatal when AbortOnOptionError).
  void CheckUnconsumedOptions(const AVDictionary* leftover);

  bool AbortOnOptionError() const { return FAbortOnOptionError; }
  void SetAbortOnOptionError(bool v) { FAbortOnOptionError = v; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  void SetLastErrMsg(const std::string& v) { FLastErrMsg = v; }

  // Engine settings set by global options.
  float AudioDriftThreshold = 0.1f;
  float DtsDeltaThreshold = 10.0f;
  float DtsErrorThreshold = 3600.0f * 30.0f;
  int32_t AudioVolume = 256;
  int32_t AudioSyncMethod = 0;
  int32_t VideoSyncMethod = -1;  // -1 auto, 0 passthrough, 1 cfr, 2 vfr, 255 drop
  int32_t DoDeinterlace = 0;
  int32_t DoHexDump = 0;
  int32_t DoPktDump = 0;
  int32_t CopyTs = 0;
  int32_t CopyTb = -1;
  int32_t ExitOnError = 0;
  int32_t PrintStats = -1;
  int32_t QpHist = 0;
  int32_t FrameBitsPerRawSample = 0;
  int32_t IntraOnly = 0;
  int32_t FileOverwrite = 0;
  int32_t NoFileOverwrite = 0;
  int32_t VideoDiscard = 0;
  int32_t IntraDcPrecision = 8;
  int32_t DoPsnr = 0;
  int32_t InputSync = 0;
  TAVIOContextPtr ProgressAVIO;
  std::string VStatsFilename;
  std::vector<TComplexFilterSpec> FilterGraphSpecs;

  // Blocking I/O limits (ms; 0 or less: none) and the start of the call being timed
  // (av_gettime_relative(); kNotTiming: none; 0: cancel it at the next poll).
  static constexpr int64_t kNotTiming = INT64_MAX;
  int32_t ReadTimeoutMs = 30000;
  int32_t WriteTimeoutMs = 30000;
  std::atomic<int64_t> ReadStart{kNotTiming};
  std::atomic<int64_t> WriteStart{kNotTiming};
  std::atomic<bool> Broken{false};  // the task is being stopped
  // Result 1 makes the pending library call give up.
  static int ReadInterruptCallback(void* opaque);
  static int WriteInterruptCallback(void* opaque);
  AVIOInterruptCB ReadInterrupt() { return {&TCustomFFmpegOpt::ReadInterruptCallback, this}; }
  AVIOInterruptCB WriteInterrupt() { return {&TCustomFFmpegOpt::WriteInterruptCallback, this}; }

  // ---- The task's records ----------------------------------------------------------------
  std::vector<std::unique_ptr<TInputFile>> InputFiles;
  // The names of the inputs, as the safe-write checks take them.
  std::vector<std::string> InputFileNames() const {
    std::vector<std::string> names;
    for (const auto& f : InputFiles) names.push_back(f->FileName);
    return names;
  }
  std::vector<std::unique_ptr<TInputStream>> InputStreams;
  std::vector<std::unique_ptr<TOutputFile>> OutputFiles;
  std::vector<std::unique_ptr<TOutputStream>> OutputStreams;
  std::vector<std::unique_ptr<TFilterGraph>> FilterGraphs;
  int64_t LongestInputDuration = -1;
  int64_t LongestOutputDuration = 0;
  bool Joined = false;
  // Called between opening an input and reading its stream information.
  std::function<void(TCustomFFmpegOpt* sender, AVFormatContext* s)> OnBeforeFindStreamInfo;

  // Opens one input; result: its index, or a negative code with LastErrMsg set. Fatal
  // conditions throw FFmpegException.
  int OpenInputFile(TFileOptionsContext& ctx, const std::string& options,
                    const std::string& fileName, const std::string& presets);
  // Creates one output with its streams, metadata and chapters and opens its file; result: its
  // index, or -1 with LastErrMsg set. Fatal conditions throw FFmpegException.
  int OpenOutputFile(TFileOptionsContext& ctx, const std::string& options, bool join,
                     const std::string& fileName, const std::string& presets);
  // Ends an output's file once the trailer is written: the new file replaces the target. With
  // `setAside` (a stopped run) a file that would be replaced stays, the partial output goes
  // beside it, and *setAside gets its name ("" when nothing was set aside).
  bool CommitOutputFile(int outputIndex, std::string* setAside = nullptr);

  // Encoder (decoder) by name, else by the codec descriptor of that name; fatal when none or
  // of another media type.
  const AVCodec* FindCodecOrDie(const std::string& name, AVMediaType type, bool encoder);
  // The overwrite check: may name be written?
  bool CheckOverwrite(const std::string& name);

  // Output streams, one creator per media type (source: index in InputStreams or -1).
  TOutputStream* NewVideoStream(TFileOptionsContext& ctx, AVFormatContext* oc, int source);
  TOutputStream* NewAudioStream(TFileOptionsContext& ctx, AVFormatContext* oc, int source);
  TOutputStream* NewSubtitleStream(TFileOptionsContext& ctx, AVFormatContext* oc, int source);
  TOutputStream* NewDataStream(TFileOptionsContext& ctx, AVFormatContext* oc, int source);
  TOutputStream* NewAttachmentStream(TFileOptionsContext& ctx, AVFormatContext* oc, int source);

  // Filter graphs.
  TFilterGraph* InitSimpleFilterGraph(TInputStream* ist, TOutputStream* ost);
  int ConfigureFilterGraph(TFilterGraph* fg);
  int ConfigureComplexFilterGraphs();
  bool InputStreamInFilterGraph(const TInputStream* ist, const TFilterGraph* fg) const;
  void ConfigureComplexOutput(TOutputFilter* ofilter, TFileOptionsContext& ctx,
                              AVFormatContext* oc);
  // The pixel format an encoder gets for a wanted one (the encoder's best match).
  AVPixelFormat ChoosePixelFormat(const AVCodec* codec, const AVCodecContext* enc,
                                  AVPixelFormat target);
  // The sample format of a copied feed.
  void ChooseSampleFormat(const AVCodec* codec, AVCodecContext* enc);

protected:
  // The engine's hook handling behind "vhook" (loads a module) and "VideoHookBitsPixel" (the
  // depth of hook pictures); a task without it refuses both options.
  std::function<int(const std::string& arg)> FVideoHookOption;
  std::function<int(const std::string& arg)> FVideoHookBitsPixelOption;
  // "map", "map_channel", "target": expanded at once against the inputs already open.
  int OptMap(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  int OptMapChannel(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  int OptTarget(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  // Opens the "progress" URL for writing into ProgressAVIO.
  virtual int OpenProgressURL(const std::string& url);

  // Runs the codec/format fallback with temporary holders and copies what it produced into the
  // file group (replacing equal keys).
  int FallbackToFileGroup(const std::string& name, const std::string& value);
  // Writes name = value through the table (name may carry a stream specifier).
  int WriteOption(TFileOptionsContext* ctx, const std::string& name, const std::string& value);
  // One "key=value" preset line; prefixes name the preset file in messages.
  int ApplyPresetLine(TFileOptionsContext* ctx, const std::string& line,
                      const std::string& syntaxPrefix, const std::string& optionPrefix);

  // Steps of opening inputs and outputs.
  void ForceInputCodecs(const TFileOptionsContext& ctx, AVFormatContext* s);
  int FindStreamInfo(const TFileOptionsContext& ctx, AVFormatContext* ic);
  void AddInputStreams(TFileOptionsContext& ctx, AVFormatContext* ic);
  void GuessInputChannelLayout(TInputStream* ist);
  void DumpAttachment(AVStream* st, const std::string& fileName, int fileIndex);
  TOutputStream* NewOutputStream(TFileOptionsContext& ctx, AVFormatContext* oc, AVMediaType type,
                                 int source);
  int SelectStreams(TFileOptionsContext& ctx, AVFormatContext* oc, int inputIndex,
                    const std::function<bool(AVMediaType, int)>& create);
  void RemoveFailedOutput(size_t outputCount, size_t streamCount);
  void TakeUnlabelledGraphOutputs(TFileOptionsContext& ctx, AVFormatContext* oc);
  bool CreateOutputStream(TFileOptionsContext& ctx, AVFormatContext* oc, AVMediaType type,
                          int source);
  int ApplyCopyFlags(TFileOptionsContext& ctx, AVFormatContext* oc, size_t firstStream);
  void ResolveStopTime(TFileOptionsContext& ctx);
  TOutputFile* AddOutputFile(const TFileOptionsContext& ctx,
                            const std::shared_ptr<TOutputContainer>& container,
                            const std::string& fileName);
  int OpenOutputIO(TOutputFile* of, const std::string& url, bool safeFile, bool replaceExisting);
  bool CheckOutputTarget(const std::string& fileName, const TFileOptionsContext& ctx,
                         bool replaceExisting);
  // Filter graph steps.
  void BindComplexInput(TFilterGraph* fg, AVFilterInOut* in);
  int ConfigureInputFilter(TFilterGraph* fg, TInputFilter* ifilter, AVFilterInOut* in);
  int ConfigureOutputFilter(TFilterGraph* fg, TOutputFilter* ofilter, AVFilterInOut* out);
  int InsertUpright(TFilterGraph* fg, const TInputStream* ist, AVFilterContext** last,
                    int* pad);
  int InsertFilter(TFilterGraph* fg, AVFilterContext** last, int* pad, const char* filterName,
                   const std::string& name, const std::string& args);
  int Sub2VideoPrepare(TInputStream* ist);
  // The graphs after each own filter, the last one ending in the output's sink.
  int ConfigureOwnStages(TFilterGraph* fg, AVFilterInOut* out, const TOwnFilterSplit& split);
  int AddOwnStage(TFilterGraph* fg, AVFilterContext* from, const TOwnFilterSplit& split, size_t i,
                  AVFilterInOut** open);
  int EndInOwnFilterSink(TFilterGraph* fg, AVFilterInOut* out, size_t i, AVFilterContext** sink);
  // Metadata, chapters, attachments, joining.
  int ParseMetaType(const std::string& text, char* type, int* index, std::string* streamSpec);
  int CopyMetadata(const std::string& outSpec, const std::string& inSpec,
                   TFileOptionsContext& ctx, AVFormatContext* ic, AVFormatContext* oc);
  int CopyChapters(TInputFile* ifile, TOutputFile* ofile, bool copyMetadata);
  int AddAttachments(TFileOptionsContext& ctx, AVFormatContext* oc);
  int ApplyMetadata(TFileOptionsContext& ctx, TOutputFile* of);
  int JoinInputs(TFileOptionsContext& ctx);
  int JoinInput(TFileOptionsContext& ctx, int inputIndex);

  TFFOptions FOptions;
  bool FAbortOnOptionError = true;
  std::string FLastErrMsg;

private:
  static TOptionTable MakeOptionTable();
  // Handlers.
  int OptIgnoreUnsupported(const std::string& name);
  int OptUnsupported(const std::string& name);
  int OptVideoHook(const std::function<int(const std::string&)>& handler, const std::string& name,
                   const std::string& arg);
  int OptLogLevel(const std::string& name, const std::string& arg);
  int OptMaxAlloc(const std::string& arg);
  int OptCpuFlags(const std::string& arg);
  int OptProgress(const std::string& arg);
  int OptVStats();
  int OptVStatsFile(const std::string& arg);
  int OptFilterComplex(const std::string& arg);
  int OptStreamId(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  int OptPresetFile(TFileOptionsContext* ctx, const std::string& arg);
  int OptAttach(TFileOptionsContext* ctx, const std::string& arg);
  int OptTypedAlias(TFileOptionsContext* ctx, const char* base, const std::string& name,
                    const std::string& arg);
  int OptQScale(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  int OptAmbiguous(const char* base, const char* warning, const std::string& name,
                   const std::string& arg);
  int OptSuffixAlias(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  int OptTimecode(TFileOptionsContext* ctx, const std::string& arg);
  int OptChannelLayout(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  int OptTimestamp(TFileOptionsContext* ctx, const std::string& name, const std::string& arg);
  int OptVSync(const std::string& arg);
  int OptDeinterlace(const std::string& name);
  int OptSameQuant(const std::string& name);
  int OptDeprecatedDevice(const char* warning, const char* option, const std::string& arg);
  int OptSecondsToMicro(TFileOptionsContext* ctx, const char* target, const std::string& name,
                        const std::string& arg);
  void LogError(TLogLevel level, const std::string& msg, bool toParseError);
};
