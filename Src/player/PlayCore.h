#pragma once
// The playback core: one open file being played. Its reading thread fills the packet queues,
// the video and subtitle threads decode, SDL's audio thread decodes and plays the sound, and the
// component's play thread runs the refresh loop (RunEventLoop) that shows each picture at its
// time against the master clock.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "player/Clock.h"
#include "player/PacketQueue.h"
#include "player/PlayHost.h"
#include "player/VideoOutput.h"
#include "runtime/VideoFilterChain.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace playcore {

// A decoded picture waiting to be shown.
struct TPicture {
  TFramePtr Frame;  // yuv420p
  double Pts = 0;   // seconds
  double Duration = 0;
  int64_t Pos = -1;
  int Serial = 0;
  int Width = 0, Height = 0;
  AVRational Sar{0, 1};
};

// The picture queue: at most PictureQueueSize entries, written by the video thread and read
// by the play thread.
class TPictureQueue {
public:
  // Waits while more than maxWaiting pictures are queued; false when aborted.
  bool WaitRoom(int maxWaiting, const std::atomic<bool>& abort);
  void Push(TPicture&& pic);
  int Count() const;
  // The oldest / the one after it; only the play thread pops, so the pointers stay valid.
  TPicture* Peek(int i);
  void Pop();
  void Clear();
  void Wake();

private:
  mutable std::mutex FLock;
  std::condition_variable FCond;
  std::deque<TPicture> FItems;
};

struct TAudioParams {
  int Freq = 0;
  AVChannelLayout Layout{};
  AVSampleFormat Fmt = AV_SAMPLE_FMT_S16;
  int FrameSize = 0;
  int BytesPerSec = 0;
};

class TPlayCore {
public:
  TPlayCore(IPlayHost& host, const TCoreSettings& settings);
  ~TPlayCore();  // Close()
  TPlayCore(const TPlayCore&) = delete;
  TPlayCore& operator=(const TPlayCore&) = delete;

  // Starts the reading thread and waits for its verdict, serving the main thread's calls while
  // it waits. False with the failure reported through the host.
  bool Open(const std::string& fileName, bool paused);
  void Close();
  // The host's size for a display of the core's own (0: the picture's); set before the play
  // thread runs, which makes the display.
  void SetScreenSize(int width, int height) {
    FSettings.ScreenWidth = width;
    FSettings.ScreenHeight = height;
  }

  // Play thread: handles requests and window events and refreshes until a quit request.
  void RunEventLoop();
  void RequestQuit();
  void RequestRedraw();
  bool QuitRequested() const { return FQuit.load(); }

  void TogglePause();
  bool Paused() const { return FPaused.load(); }
  // target and rel in AV_TIME_BASE units (absolute, start time included) or bytes.
  void RequestSeek(int64_t target, int64_t rel, int flags);
  bool SeekPending() const { return FSeekReq.load(); }
  // Set when the last seek ran; cleared by RequestSeek.
  bool SeekExecuted() const { return FSeekDone.load(); }
  // A picture of the current serial has been shown since the last seek.
  bool ShownSinceSeek() const { return FShownSinceSeek.load(); }

  AVFormatContext* FormatContext() const { return FInput.get(); }
  int VideoStreamIndex() const { return FVideoStream; }
  int AudioStreamIndex() const { return FAudioStream; }
  bool HasVideo() const { return FVideoStream >= 0; }
  bool ImageInput() const { return FImageInput; }
  int64_t StartTime() const { return FStartTime; }  // µs, 0 when unknown
  int64_t Duration() const { return FDuration; }    // µs, -1 when unknown
  double FrameDuration() const { return FFrameDuration; }  // seconds of one frame
  int FrameWidth() const;
  int FrameHeight() const;
  TSyncType MasterSyncType() const;
  double MasterClock() const;
  double AudioClock() const { return FAudClk.Get(); }
  double VideoClock() const { return FVidClk.Get(); }
  int DroppedPictures() const { return FDropped.load(); }
  int ShownPictures() const { return FShown.load(); }
  const TAudioParams& AudioTarget() const { return FAudioTgt; }

  // Reading-thread state for tests of the read-ahead rules.
  int QueuedPackets(int streamKind) const;  // 0 video, 1 audio, 2 subtitle
  int64_t QueuedBytes() const;

private:
  // Reading thread: opens the input and its streams, then reads until aborted.
  void ReadThread();
  // Opening steps; false once the failure is reported and the verdict given.
  bool OpenInput();
  void NoteInputKind();
  void SeekToStartTime();
  bool OpenChosenStreams();
  bool FailOpen(const std::string& msg);
  // Reading steps.
  void ReadPackets();
  void ApplyPauseChange();
  void ExecuteSeek();
  bool QueueAttachedPicture();  // true once queued
  void QueueDrainPackets();
  void WaitToRead();
  void ReadPacket(AVPacket* pkt);
  int OpenStream(int index);
  // Hand an opened decoder on: to the sound output, or to a new video thread.
  int StartAudio(TCodecPtr ctx, int index);
  void StartVideo(TCodecPtr ctx, int index);
  void CloseStream(int index);
  bool QueuesFull() const;
  static int InterruptCallback(void* opaque);
  void SetVerdict(int v);

  // Video and subtitle threads.
  void VideoThread();
  void SubtitleThread();
  int ConfigureVideoFilters(const AVFrame* frame);
  bool QueuePicture(TFramePtr frame, double pts, double duration, int64_t pos, int serial);

  // Audio.
  int OpenAudio(AVChannelLayout* layout, int rate);
  static void AudioCallback(void* opaque, uint8_t* stream, int len);
  void FillAudio(uint8_t* stream, int len);
  int DecodeAudioBlock();
  int SynchronizeAudio(int samples);

  // Clocks and refresh.
  void Refresh(double* remaining);
  double ComputeTargetDelay(double delay);
  double PictureDuration(const TPicture& a, const TPicture& b) const;
  void DisplayPicture(TPicture* pic);
  void UpdateExternalClockSpeed();
  void ReportPosition();
  void AllocDisplay(int picW, int picH);

  IPlayHost& FHost;
  TCoreSettings FSettings;
  std::string FFileName;
  TInputPtr FInput;
  // The reading thread (started by Open) and the video and subtitle threads (started by the
  // reading thread as it opens their streams); Close, which the destructor calls, joins all three.
  std::thread FReader, FVideoThread, FSubThread;
  std::atomic<bool> FAbort{false};
  std::atomic<int> FVerdict{0};
  std::mutex FWaitLock;  // the continue-read condition
  std::condition_variable FContinueRead;

  int FVideoStream = -1, FAudioStream = -1, FSubStream = -1;
  TCodecPtr FVideoCtx, FAudioCtx, FSubCtx;
  TPacketQueue FVideoQ, FAudioQ, FSubQ;
  TPictureQueue FPictures;
  std::mutex FSubLock;
  std::deque<std::pair<double, double>> FSubtitles;  // shown from, until (seconds)

  TClock FAudClk{&FAudioQ};
  TClock FVidClk{&FVideoQ};
  TClock FExtClk{nullptr};

  std::atomic<bool> FPaused{false}, FLastPaused{false};
  std::atomic<bool> FForceRefresh{false};
  std::atomic<bool> FSeekReq{false}, FSeekDone{false}, FShownSinceSeek{false};
  std::mutex FSeekLock;
  int64_t FSeekPos = 0, FSeekRel = 0;
  int FSeekFlags = 0;
  // Pictures and sound before this time (seconds) are not played after a seek; NaN: none.
  std::atomic<double> FSkipBefore{NAN};
  std::atomic<double> FSkipAudio{NAN};
  std::atomic<bool> FEof{false}, FPlayedToEnd{false}, FEndReported{false};
  bool FReadErrorReported = false, FEofReported = false;
  bool FImageInput = false, FRealTime = false;
  bool FOpenPaused = false;
  std::atomic<bool> FFirstQueued{false};
  std::atomic<bool> FVideoDrained{false};
  double FMaxFrameDuration = 3600;
  int64_t FStartTime = 0, FDuration = -1;
  double FFrameDuration = 0.04;

  // Audio state (the callback's).
  uint32_t FAudioDev = 0;
  std::atomic<bool> FAudioReady{false};
  std::atomic<bool> FHoldAudio{false};
  std::atomic<double> FHoldAudioUntil{0};
  TAudioParams FAudioSrc, FAudioTgt;
  int FAudioHwBufSize = 0;
  TSwrPtr FSwr;
  std::vector<uint8_t> FAudioBuf;      // samples to play
  TAVBufferPtr FResampleBuf;
  unsigned FResampleBufSize = 0;
  size_t FAudioBufIndex = 0;
  double FAudioClockPts = NAN;         // end of the last decoded block
  int FAudioClockSerial = -1;
  double FAudioDiffCum = 0, FAudioDiffAvgCoef = 0, FAudioDiffThreshold = 0;
  int FAudioDiffAvgCount = 0;
  double FAudioCallbackTime = 0;
  TPacketPtr FAudioPkt;
  TFramePtr FAudioFrame;
  int FAudioPktSerial = -1;
  bool FAudioDraining = false;

  // Video decode state.
  TVideoFilterChain FFilters;
  int FFilterW = -1, FFilterH = -1, FFilterFmt = -1, FFilterSerial = -1;
  bool FFiltersReady = false;

  // Refresh state (play thread).
  std::atomic<bool> FQuit{false}, FRedraw{false};
  std::mutex FEventLock;
  std::condition_variable FEventCond;
  std::atomic<double> FFrameTimer{0};
  TPicture FLastShown;  // times of the picture on screen (no frame)
  bool FHaveLast = false;
  int FLastShownSerial = -1;
  // The last position reported and its stretch of playback; a clock that steps back less than
  // kClockStepBack within it is not reported.
  static constexpr int64_t kClockStepBack = 500000;
  int64_t FReportedPos = 0;
  int FReportedSerial = -1;
  int FTimerSerial = -1;
  double FPausedAt = 0;
  TVideoOutput FOutput;
  bool FDisplayFailed = false;
  std::atomic<int> FDropped{0}, FShown{0};
  double FLastPositionCheck = 0;
};

}  // namespace playcore
