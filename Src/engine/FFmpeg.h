#pragma once
// The transcoding engine of one task: start and stop from another thread, the worker, codec and
// header initialisation, the loop that serves the most lagging output stream, per-stream
// decoding, filtering, encoding and copying, the reports, flushing, trailers and termination.
// Each stage of the run has its own source file; the private part below lists them.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFmpegOpt.h"
#include "engine/VideoHookModule.h"
#include "runtime/FFOwners.h"
#include "runtime/FFUtils.h"
#include "runtime/ThreadPriority.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

class TCustomFFmpeg;
class TPreviewer;

// Progress report of the engine (the encoder component turns it into TProgressInfo).
struct TEngineProgress {
  int FileIndex = 0;            // -1 in the final report
  int64_t TotalDuration = -1;   // microseconds
  int64_t CurrentDuration = 0;  // microseconds
  int64_t CurrentSize = 0;
  float BitRate = -1;
  float Quality = -1;
  int FPS = -1;
  int FrameNumber = -1;
};

// Which frames a stream copy starts with, where the loop starts reading, and so on.
class TCustomFFmpeg : public TCustomFFmpegOpt {
public:
  TCustomFFmpeg();
  ~TCustomFFmpeg() override;

  // Threaded: the worker thread starts at once (returns true when one was started).
  // Synchronous: runs the whole task before returning (returns false).
  bool Start(bool threaded);
  // Given to the worker thread of a threaded start.
  TThreadPriority WorkerPriority = tpNormal;
  // Stop request; with wait, returns when the worker ended (serving main-thread calls).
  void Break(bool wait);
  // Running: Break. Never started: terminates now, in the caller's thread (wait changes nothing).
  void Stop(bool wait);
  // The task body (also what the worker runs).
  void Run();

  // Pause gate: the worker holds at the next point where it holds no lock.
  void Suspend();
  void ResumeWorker();
  bool Suspended() const { return FSuspended; }

  bool Running() const { return FRunning; }
  bool Terminated() const { return FTerminated; }
  bool Finished() const { return FFinished; }
  bool Exception() const { return FException; }
  const std::string& ExceptionMsg() const { return FExceptionMsg; }

  // Preview flags: bit 0 window, bit 1 bitmap event. No previewer exists without the host's.
  void SetPreviewFlags(int flags);
  // Sets or clears the bits of mask in one step (a bit the task cleared meanwhile stays clear).
  void ChangePreviewFlags(int mask, bool on);
  int PreviewFlags() const { return FPreviewFlags; }
  // Minimum time between two preview pictures of this task.
  int64_t PreviewIntervalUs = 100000;
  // Depth of the hook and preview bitmaps: 8, 15, 16, 24 or 32 (std::invalid_argument else).
  void SetVideoHookBitsPixel(int bits);
  int VideoHookBitsPixel() const { return FPreviewConverter.Bitmap().BitsPixel(); }

  int64_t ProgressIntervalUs = 500000;
  // Seeks the single input before reading when an output start time is given.
  bool InputPreSeek = true;
  // Hook flags of the output (set by the encoder component).
  bool AudioInputHook = false, AudioOutputHook = false, VideoInputHook = false,
       VideoOutputHook = false, FrameInputHook = false, FrameOutputHook = false;

  // Replaces the transcode phase; start, stop, pause and termination stay the engine's. It
  // passes PassGate() often, ends soon after Broken is set, reports through ReportProgress,
  // throws with the error text when it fails, and returns true when it did the whole job.
  std::function<bool(TCustomFFmpeg& task)> CustomTranscode;
  void PassGate() { PauseGate(); }
  // As the loop reports: the first not before one interval, the final one always.
  void ReportProgress(const TEngineProgress& p, bool final);

  // Callbacks (skipped when empty).
  std::function<void(TCustomFFmpeg* task, const TEngineProgress& p)> OnProgress;
  std::function<void(TCustomFFmpeg* task)> OnTerminate;
  // Preview picture (valid only during the call); served only while PreviewCallbackAssigned.
  std::function<void(TCustomFFmpeg* task, const TBitmap& bitmap, int64_t pts, int frameNumber)>
      OnPreviewBitmap;
  // Hooks, all called in the task's thread. Video hooks get the picture as a bitmap; with
  // update left true it goes back into the picture; stop ends the calls for this task.
  using TVideoHook = std::function<void(TCustomFFmpeg* task, TBitmap& bitmap, int frameNumber,
                                        int64_t pts, bool& update, bool& stop)>;
  // Frame hooks get the planes of a private copy, which then goes on instead of the picture.
  using TFrameHook =
      std::function<void(TCustomFFmpeg* task, uint8_t* const data[4], const int linesize[4],
                         AVPixelFormat pixFmt, int width, int height, int frameNumber,
                         int64_t pts)>;
  // Audio hooks get interleaved samples (planar sound is handed over interleaved, with the
  // packed format, and taken back); size covers every channel.
  using TAudioHook = std::function<void(TCustomFFmpeg* task, int64_t pts, uint8_t* samples,
                                        int size, int sampleRate, int channels,
                                        AVSampleFormat sampleFormat)>;
  TVideoHook OnVideoInputHook, OnVideoOutputHook;
  TFrameHook OnFrameInputHook, OnFrameOutputHook;
  TAudioHook OnAudioInputHook, OnAudioOutputHook;

  // Results of the last run, for tests and reports.
  int64_t VideoSize = 0, AudioSize = 0, SubtitleSize = 0, ExtraSize = 0;
  int DupFrames = 0, DropFrames = 0;
  std::string LastReportText;
  // A stopped run's outputs that were kept beside the files they would have replaced, a
  // message each.
  std::vector<std::string> StoppedOutputNotes;

  // A loaded hook module of this task.
  struct THookModule {
    std::string FileName;
    void* Context = nullptr;
    TVideoHookProcess Process = nullptr;
    TVideoHookRelease Release = nullptr;
  };
  size_t HookModuleCount() const { return FHookModules.size(); }

protected:
  // Handlers of "vhook" and "VideoHookBitsPixel", handed to the option layer as the task is
  // built, before any option text can reach them.
  int VideoHookOption(const std::string& arg);
  int VideoHookBitsPixelOption(const std::string& arg);
  void BindHookOptions();
  // Whether a preview-bitmap event would reach a handler (else the window is used).
  virtual bool PreviewCallbackAssigned() const { return static_cast<bool>(OnPreviewBitmap); }

private:
  // Appended to errors whose details the library log holds.
  static constexpr const char* kHint =
      "Please check error log message(reported by FFLogger) to find out more detail information.";
  static constexpr AVRational kMicro{1, AV_TIME_BASE};

  // Task runner and loop (FFmpegTranscode.cpp).
  void Transcode();
  int TranscodeInit();
  bool NeedOutput();
  // Output streams the loop serves now: all of them, or the block of the current joined input.
  void SetActiveRange(int input);
  void StreamRange(int input, size_t* first, size_t* end) const;
  bool JoinClone(const TOutputStream* ost) const { return Joined && ost->FileIndex > 0; }
  TOutputStream* ChooseOutput();
  int TranscodeStep();
  int TranscodeFromFilter(TFilterGraph* fg, TInputStream** best);
  void CloseCodecs();
  void Cleanup();
  void Terminate();
  void PauseGate();
  // Input reading (FFmpegInput.cpp) and its pre-seek (FFmpegPreSeek.cpp).
  int ProcessInput(int fileIndex);
  void RepairTimestamps(TInputStream* ist, TInputFile* f, AVPacket* pkt);
  void CorrectWrap(TInputStream* ist, TInputFile* f, AVPacket* pkt);
  void WarnNewStream(TInputFile* f, int fileIndex, const AVPacket* pkt);
  void SwitchJoinedInput(int fileIndex);
  void PreSeekInput();
  bool PreSeekKeepsOutput();
  bool PreSeekKeepsSound();
  void SeekBeforeStart(int64_t start, int64_t inputStart);
  void SkipToCleanKeyFrames(int64_t need);
  bool PreSeekWithoutIndex(int64_t need, int64_t inputStart);
  void SeekToFirstPacket(int64_t inputStart);
  // Decoding (FFmpegDecode.cpp).
  int OpenDecoders();
  int OpenDecoder(size_t index);
  int ProcessInputPacket(TInputStream* ist, const AVPacket* pkt);
  int DecodeFrames(TInputStream* ist, const AVPacket* pkt, bool* gotAny);
  int DecodedAudio(TInputStream* ist, AVFrame* frame);
  void DecodedPicture(TInputStream* ist, AVFrame* frame);
  int DecodeSubtitle(TInputStream* ist, const AVPacket* pkt);
  void SubtitleToOutputs(TInputStream* ist, const AVSubtitle& sub);
  // fix_sub_duration: hands on the subtitle held back and holds sub instead (null: the end).
  void PassHeldSubtitle(TInputStream* ist, std::shared_ptr<THeldSubtitle> sub);
  // A sound frame without a channel layout gets the default one of its channel count.
  void GuessFrameChannelLayout(TInputStream* ist, AVFrame* frame);
  // Filter graphs while the task runs (FFmpegFilters.cpp).
  int FeedFilters(TInputStream* ist, AVFrame* frame);
  int CloseFilterInputs(TInputStream* ist);
  int ReapFilters(bool flush);
  // Moves the pictures waiting before each own filter through it into the graph after it.
  int RunOwnFilters(TFilterGraph* fg);
  static void AddPsnrErrors(TOutputStreamRun& os, const uint8_t* stats, size_t size);
  bool PastRange(TOutputStream* ost, int64_t pts, AVRational tb);
  // Encoding (FFmpegEncode.cpp).
  int InitOutputStream(TOutputStream* ost);
  int InitCopiedStream(TOutputStream* ost);
  int InitVideoEncoder(TOutputStream* ost);
  void InitAudioEncoder(TOutputStream* ost);
  void CopyStreamParameters(TOutputStream* ost);
  AVRational CopiedTimeBase(const TInputStream* ist, const TOutputStream* ost);
  int OpenEncoder(TOutputStream* ost, size_t index);
  int OpenPassLog(TOutputStream* ost, size_t index);
  int ParseForcedKeyFrames(TOutputStream* ost);
  void WritePassStats(TOutputStream* ost);
  void ClosePassLogs(bool complete);
  // One line of the video statistics file for a packet just encoded (stream time base).
  void WriteVideoStats(TOutputStream* ost, const AVPacket* pkt);
  bool CheckRecordingTime(TOutputStream* ost);
  void CloseOutputStream(TOutputStream* ost);
  bool ForcedKeyFrame(TOutputStreamRun& os, int64_t pts, double ptsTime);
  double PictureTicks(const TOutputStream* ost, const AVFrame* frame) const;
  void DoVideoOut(TOutputStream* ost, AVFrame* frame);
  void DoAudioOut(TOutputStream* ost, AVFrame* frame);
  void DoSubtitleOut(TOutputStream* ost, const AVSubtitle& sub);
  void EncodeAndWrite(TOutputStream* ost, AVFrame* frame);
  void FlushEncoders();
  // Muxing (FFmpegOutput.cpp).
  int WriteHeaders();
  void DoStreamCopy(TInputStream* ist, TOutputStream* ost, const AVPacket* pkt);
  void WritePacket(TOutputStream* ost, AVPacket* pkt);
  void MuxPacket(TOutputStream* ost, AVPacket* pkt);
  void MuxThroughFilters(TOutputStream* ost, AVPacket* pkt);
  void WriteTrailers();
  // Reports (FFmpegReport.cpp).
  void DumpStreamMapping();
  bool ReportDue(int64_t now);
  void Report(int fileIndex, bool final, int64_t now);
  // What the output streams add to a report.
  struct TStreamReport {
    std::string Line, Progress;  // part of the report line, lines of the "progress" URL
    float Quality = -1;
    int FrameNumber = -1, FPS = -1;
    int64_t Pts = INT64_MIN, LastPos = 0;  // microseconds
  };
  int64_t ReportedSize() const;
  TStreamReport ReportStreams(int fileIndex, bool final, int64_t now) const;
  void WriteProgressURL(std::string progress, int64_t totalSize, int64_t pts, bool final);
  void LogFinalSizes(int64_t totalSize);
  // Hooks and preview (FFmpegHooks.cpp).
  void PreProcessVideo(TInputStream* ist, AVFrame* frame);
  void RunVideoHook(bool output, AVFrame* frame, int frameNumber, int64_t pts);
  void RunAudioHook(bool output, AVFrame* frame, int channels, int sampleRate, int64_t pts);
  AVFrame* OutputHooks(AVFrame* frame, int frameNumber, int64_t pts);
  void DoPreview(AVFrame* frame, int frameNumber, int64_t pts);
  void ResetPreview();
  void ReleaseHookModules();
  TOutputFile* FileOf(const TOutputStream* ost) {
    return OutputFiles[static_cast<size_t>(ost->FileIndex)].get();
  }

  std::atomic<bool> FRunning{false}, FTerminated{false}, FFinished{false};
  std::atomic<bool> FWorkerDone{true};
  bool FException = false;
  std::string FExceptionMsg;
  bool FInitialised = false;
  bool FCleanedUp = false;
  std::thread FWorker;  // the threaded run; joined by Break(true) or the destructor
  std::mutex FGateLock;
  std::condition_variable FGate;
  std::atomic<bool> FSuspended{false};
  std::atomic<int> FPreviewFlags{0};
  int64_t FStartTime = 0;
  int64_t FLastReport = -1;
  int FCurrentInput = 0;
  size_t FActiveFirst = 0, FActiveEnd = 0;
  int64_t FFinalSize = -1;
  bool FEmptyOutput = false;  // the first output's size when its file was closed
  bool FDupDropNew = false;
  TFramePtr FFrame;
  TFramePtr FFiltered;
  TPacketPtr FPacket;
  TPacketPtr FOutPacket;
  // Packets read while checking a pre-seek; served before reading on.
  std::deque<TPacketPtr> FPreSeekQueue;
  // Hooks and preview.
  std::vector<THookModule> FHookModules;
  TFormatConverter FHookConverter;     // video input hook
  TFormatConverter FPreviewConverter;  // video output hook and preview
  bool FVideoInputHookOn = true, FVideoOutputHookOn = true;
  bool FPreviewHoldsPicture = false;  // the output hook left this picture in the bitmap
  TFramePtr FHookFrame;
  std::vector<uint8_t> FSubtitleBuffer;
  std::unique_ptr<TSafeFile> FVStats;
  std::vector<uint8_t> FAudioHookBuffer;
  // Under the process-wide preview lock.
  std::shared_ptr<TPreviewer> FPreviewer;
  bool FPreviewFlagsChanged = false;
  int64_t FLastPreview = -1;
};
