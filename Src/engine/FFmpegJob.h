#pragma once
// The job records of a transcoding task: its inputs and their streams, its outputs and their
// streams, and the filter graphs between them. The engine owns every record for the task's
// whole life; every FFmpeg object in them is held by an owner that frees it.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/rational.h>
}

#include "runtime/EqFilters.h"
#include "runtime/FFOptions.h"
#include "runtime/FFOwners.h"
#include "runtime/SafeWrite.h"

// One selected input stream of an output ("map").
struct TStreamMap {
  int Disabled = 0;
  int FileIndex = 0;
  int StreamIndex = 0;
  int SyncFileIndex = 0;
  int SyncStreamIndex = 0;
  std::string LinkLabel;  // output label of a complex filter graph ("[label]")
};

// One "map_channel" entry; -1 marks a silent channel (ChannelIndex) or "any" (output indexes).
struct TAudioChannelMap {
  int FileIndex = 0;
  int StreamIndex = 0;
  int ChannelIndex = 0;
  int OutputFileIndex = -1;
  int OutputStreamIndex = -1;
};

// A channel layout that owns what a custom-order layout allocates.
class TChannelLayout {
public:
  TChannelLayout() = default;
  explicit TChannelLayout(const AVChannelLayout& l) { av_channel_layout_copy(&FLayout, &l); }
  TChannelLayout(const TChannelLayout& o) { av_channel_layout_copy(&FLayout, &o.FLayout); }
  TChannelLayout& operator=(const TChannelLayout& o) {
    if (this != &o) av_channel_layout_copy(&FLayout, &o.FLayout);
    return *this;
  }
  ~TChannelLayout() { av_channel_layout_uninit(&FLayout); }
  const AVChannelLayout& Get() const { return FLayout; }
  AVChannelLayout* Ref() { return &FLayout; }
  // The channel bit mask of a native layout, 0 for none or other orders.
  uint64_t Mask() const { return FLayout.order == AV_CHANNEL_ORDER_NATIVE ? FLayout.u.mask : 0; }
  bool Known() const { return FLayout.order != AV_CHANNEL_ORDER_UNSPEC; }

private:
  AVChannelLayout FLayout{};
};

struct TInputFilter;
struct TOutputFilter;
struct TOutputStream;
struct AVExpr;

// Frame-rate modes of the "vsync" option.
enum TVSync { vsPassThrough = 0, vsCfr = 1, vsVfr = 2, vsDrop = 255, vsAuto = -1 };

struct TInputFile {
  TInputFormatPtr FormatContext;
  std::string FileName;   // as the user gave it (the safe-write check compares with it)
  int EofReached = 0;     // reading loop state
  int EAgain = 0;
  int FirstStreamIndex = 0;
  int64_t TsOffset = 0;   // microseconds
  int StreamCount = 0;    // streams known at opening; later ones are not used
  std::vector<bool> NewStreamsWarned;  // later streams already reported, by stream index
  int Rate = 0;           // reading loop
  int RateEmulation = 0;
  int Reserved = 0;
};

// A decoded subtitle kept back until the next one shows how long it may last.
struct THeldSubtitle {
  AVSubtitle Sub{};
  THeldSubtitle() = default;
  THeldSubtitle(const THeldSubtitle&) = delete;
  THeldSubtitle& operator=(const THeldSubtitle&) = delete;
  ~THeldSubtitle() { avsubtitle_free(&Sub); }
};

// What the loop knows about an input stream while a task runs; reset when the run starts.
struct TInputStreamRun {
  int64_t NextDts = AV_NOPTS_VALUE;  // microseconds
  int64_t Dts = 0;
  int64_t NextPts = AV_NOPTS_VALUE;
  int64_t Pts = 0;
  bool FirstPacket = true;
  bool DecoderOpen = false;
  bool DecoderClosed = false;
  bool EofSent = false;        // the decoder was drained
  bool FiltersClosed = false;  // its graph inputs got their end
  bool MultiWarned = false;
  bool DeinterlaceWarned = false;  // "Deinterlacing failed." once, then at verbose level
  bool JoinFlushed = false;    // drained and closed when its joined input ended
  int64_t DecodedPictures = 0;
  bool WrapChecked = false;  // the wrap test is done until a packet needs a correction
  // Last frame parameters, to see a change.
  int Width = 0, Height = 0, PixFmt = -1;
  int SampleRate = 0, SampleFmt = -1, Channels = 0;
  int64_t AudioRescaleDelta = AV_NOPTS_VALUE;
  std::shared_ptr<THeldSubtitle> HeldSubtitle;  // fix_sub_duration
};

struct TInputStream {
  int FileIndex = 0;
  AVStream* Stream = nullptr;  // owned by the file's format context
  int Discard = 1;             // 1 until an output uses the stream
  int DecodingNeeded = 0;
  const AVCodec* Decoder = nullptr;
  // Decoder settings from the stream's parameters; opened by the transcode loop.
  TCodecContextPtr DecoderContext;
  int64_t LastRescaleDelta = AV_NOPTS_VALUE;
  double TsScale = 1.0;
  TAVDictionary DecoderOptions;
  AVRational FrameRate{0, 0};
  int TopFieldFirst = -1;
  int GuessLayoutMax = INT32_MAX;
  int InitialWidth = 0;
  int InitialHeight = 0;
  AVPixelFormat InitialPixFmt = AV_PIX_FMT_NONE;
  AVSampleFormat InitialSampleFmt = AV_SAMPLE_FMT_NONE;
  int InitialSampleRate = 0;
  int InitialChannels = 0;
  TChannelLayout InitialChannelLayout;
  int FixSubDuration = 0;
  int ReinitFilters = -1;
  std::vector<TInputFilter*> Filters;  // graph inputs this stream feeds
  // Canvas of a subtitle stream that feeds a video graph input.
  TAVBufferPtr Sub2VideoCanvas;
  int Sub2VideoLineSize = 0;
  TInputStreamRun Run;
};

// The output container and the file it is written to. Joined output entries share it.
struct TOutputContainer {
  TOutputContainer() = default;
  ~TOutputContainer();
  TOutputContainer(const TOutputContainer&) = delete;
  TOutputContainer& operator=(const TOutputContainer&) = delete;
  // Closes the file I/O (if open); the new file stays uncommitted.
  int CloseIO();

  AVFormatContext* FormatContext = nullptr;
  // The file being written: the container writes into TempPath(); Commit() after the trailer
  // puts it in place of the target. Left uncommitted, it is removed and the target untouched.
  TSafeFile SafeFile;
  bool IOOpen = false;
  // Files the muxer opens itself (pictures of a sequence, segments): each is written beside
  // its name and put in place when the muxer closes it.
  struct TSideFile {
    AVIOContext* IO = nullptr;
    std::unique_ptr<TSafeFile> File;
  };
  std::vector<TSideFile> SideFiles;
  std::vector<std::string> Inputs;  // what the task reads: never written
  bool ReplaceExisting = true;
  int64_t WriteBackAt = 0;          // output size at the last write-back hint
  std::string SideFileError;        // why the last side file was refused
  bool Closing = false;             // files the muxer closes now are unfinished
  const struct TRawMuxer* RawMuxer = nullptr;  // engine muxer, when the format names one
  std::unique_ptr<struct TRawMuxerContext> RawContext;  // while a raw muxer output runs
};

struct TOutputFile {
  std::shared_ptr<TOutputContainer> Container;
  AVFormatContext* FormatContext() const { return Container ? Container->FormatContext : nullptr; }
  TAVDictionary Options;    // format options for the header, plus "preload"
  int FirstStreamIndex = 0;
  int Reserved = 0;
  int64_t Duration = INT64_MAX;  // microseconds
  int64_t StartTime = 0;
  int64_t FileSizeLimit = INT64_MAX;
  int Shortest = 0;
  int Reserved2 = 0;
  std::string FileName;
  int64_t PacketsWritten = 0;  // while the task runs; joined entries count on the first
};

constexpr int kMaxAudioChannelsMap = 32;

// What the loop knows about an output stream while a task runs; reset when the run starts. A
// joined input's block takes it over from the block before.
struct TOutputStreamRun {
  int64_t Sync = 0;          // next output position in encoder ticks
  int64_t FrameCount = 0;    // frames handed to the encoder / written
  int64_t LastMuxDts = AV_NOPTS_VALUE;  // stream time base
  int64_t LastCopyDts = AV_NOPTS_VALUE;
  int64_t MuxEndUs = AV_NOPTS_VALUE;    // end of the latest packet written, output time
  int64_t RangeFirstPts = AV_NOPTS_VALUE;  // first filtered picture kept, sink time base
  bool EncoderOpen = false;
  bool Flushed = false;
  bool FirstWritten = false;
  bool Unavailable = false;
  bool BsfReady = false;
  int VSync = vsCfr;
  float Quality = -1;
  std::vector<int64_t> ForcedKeyFrames;  // encoder ticks, ascending
  size_t ForcedIndex = 0;
  // The "expr:" form and its variables n, n_forced, prev_forced_n, prev_forced_t, t.
  std::shared_ptr<AVExpr> ForcedExpr;
  double ForcedVars[5] = {0, 0, NAN, NAN, NAN};
  int64_t CopyRescaleDelta = AV_NOPTS_VALUE;
  // Pass-1 statistics being written (shared by the blocks of a joined output).
  std::shared_ptr<TSafeFile> PassLog;
  std::string PassLogName;
  int64_t VideoPackets = 0;  // for the statistics lines
  int64_t VideoBytes = 0;
  // Squared errors per plane summed over the encoded pictures, when the encoder gives them.
  uint64_t PsnrErrors[4] = {0, 0, 0, 0};
  int PsnrPlanes = 0;
  int64_t PsnrPictures = 0;
};

struct TOutputStream {
  int FileIndex = 0;
  int Index = 0;
  int SourceIndex = -1;
  AVStream* Stream = nullptr;        // owned by the container
  TInputStream* SyncInput = nullptr;
  // Shared with the clones of a joined output.
  std::shared_ptr<std::vector<TBSFContextPtr>> BitstreamFilters;
  const AVCodec* Encoder = nullptr;
  // Encoder settings (also the holder of a copied stream's "flags"); shared with join clones.
  std::shared_ptr<AVCodecContext> EncoderContext;
  int64_t MaxFrames = INT64_MAX;
  AVRational FrameRate{0, 0};
  int ForceFps = 0;
  int TopFieldFirst = -1;
  double FrameAspectRatio = 0;
  std::string ForcedKeyFrames;
  int AudioChannelsMap[kMaxAudioChannelsMap] = {};
  int AudioChannelsMapped = 0;
  std::string PassLogPrefix;
  std::string FilterGraphText;
  int64_t ScalerFlags = 0;
  TAVDictionary EncoderOptions;
  TAVDictionary ResamplerOptions;
  TAVDictionary ResampleOptions;
  int Finished = 0;
  std::string AttachmentFileName;
  int CopyInitialNonKeyframes = 0;
  int CopyPriorStart = -1;
  int KeepPixFmt = 0;
  int StreamCopy = 0;
  int EncodingNeeded = 0;
  int64_t FirstPts = AV_NOPTS_VALUE;
  int64_t LastMuxDts = AV_NOPTS_VALUE;
  int UnavailableFlag = 1;  // the two flags the per-stream work starts at 1
  int InitialFlag = 1;
  TOutputFilter* Filter = nullptr;
  std::vector<uint16_t> IntraMatrix;  // 64 entries when given
  std::vector<uint16_t> InterMatrix;
  std::vector<RcOverride> RcOverrides;
  TOutputStreamRun Run;

  AVCodecContext* Codec() const { return EncoderContext.get(); }
};

// A filter the engine put into a graph itself, with the arguments it was given.
struct TInsertedFilter {
  std::string FilterName;  // "scale", "format", "aresample", ...
  std::string Name;        // instance name
  std::string Args;
};

struct TFilterGraph;

struct TInputFilter {
  AVFilterContext* Filter = nullptr;  // buffer source, owned by the library graph
  TInputStream* InputStream = nullptr;
  TFilterGraph* Graph = nullptr;
  std::string Name;
};

struct TOutputFilter {
  AVFilterContext* Filter = nullptr;  // buffer sink, owned by the library graph
  TOutputStream* OutputStream = nullptr;
  TFilterGraph* Graph = nullptr;
  std::string Name;
  // Between the first build of a complex graph and its attachment: the open output.
  TFilterInOutPtr PendingLink;
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
};

// A video graph's text cut at the program's own filters ("nativeeq", "nativehue"), which the
// library cannot hold: library texts, and between each two an own filter's name and
// parameters. One text and no own filter when it names none.
struct TOwnFilterSplit {
  std::vector<std::string> Texts;
  std::vector<std::pair<std::string, std::string>> Own;
  // The i-th text for the library ("null" for none).
  std::string LibraryText(size_t i) const;
  // The whole text with "null" for each own filter: its inputs and outputs are the chain's.
  std::string StandIn() const;
};
TOwnFilterSplit SplitAtOwnFilters(const std::string& text);
struct TFilterGraph;
// Whether the graph before the given own-filter stage (stage count: the last graph) got its end.
bool OwnFilterInputsEnded(const TFilterGraph* fg, size_t stage);

// One own filter and the library graph after it: pictures leave the graph before through From
// (a sink there), pass the filter and enter Graph through Src.
struct TOwnFilterStage {
  std::unique_ptr<TOwnVideoFilter> Own;
  AVFilterContext* From = nullptr;
  TFilterGraphPtr Graph;
  AVFilterContext* Src = nullptr;
  bool Ended = false;
};

struct TFilterGraph {
  int Index = 0;
  std::string Description;  // "filter_complex" text; empty for a simple graph
  bool Complex = false;
  TFilterGraphPtr Graph;
  bool Reconfigured = false;
  bool Configured = false;  // avfilter_graph_config succeeded on the current graph
  std::vector<std::unique_ptr<TInputFilter>> Inputs;
  std::vector<std::unique_ptr<TOutputFilter>> Outputs;
  // The sources, sinks and conversion filters of the last build, in creation order.
  std::vector<TInsertedFilter> Inserted;
  // With own filters Graph holds the sources and runs up to the first of them; the sinks lie
  // in the last stage's graph.
  std::vector<TOwnFilterStage> OwnStages;
};
