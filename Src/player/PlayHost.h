#pragma once
// What the playback core asks of the component that runs it, and the settings it is opened with.
#include <atomic>
#include <cstdint>
#include <string>

#include "player/PlayTypes.h"
#include "runtime/FFLog.h"

namespace playcore {

class IPlayHost {
public:
  virtual ~IPlayHost() = default;
  // Log lines of the core; failures also become the component's LastErrMsg.
  virtual void CoreLog(TLogLevel level, const std::string& msg) = 0;
  virtual void CoreError(const std::string& msg) = 0;
  // The stamp the interrupt callback compares with ReadTimeout (µs of av_gettime_relative).
  virtual void SetIOStamp(int64_t us) = 0;
  virtual int64_t IOStamp() const = 0;
  virtual bool OpenAborted() const = 0;
  virtual int ReadTimeoutMs() const = 0;
  virtual void BeforeFindStreamInfo(AVFormatContext* ctx) = 0;
  // The picture about to be queued for display (writable, yuv420p); pts in µs from the start.
  virtual void VideoHooks(AVFrame* picture, int64_t pts) = 0;
  virtual void AudioHook(int64_t pts, uint8_t* data, int size, int rate, int channels) = 0;
  // Video thread, after each queued picture.
  virtual void PictureQueued(bool firstAfterOpen) = 0;
  // Reading thread, after a seek ran (successful or not).
  virtual void SeekDone() = 0;
  // Play thread, after a picture was put on the screen (pts and clocks in seconds).
  virtual void PictureShown(double pts, double audioClock, double masterClock) = 0;
  // Play thread, position step: the master clock in µs from the file's start.
  virtual void Position(int64_t pts) = 0;
  // Play thread, once when everything was played to the end.
  virtual void PlayedToEnd() = 0;
};

struct TCoreSettings {
  bool DisableAudio = false;
  bool DisableVideo = false;
  bool DisableSubtitle = false;
  bool DisableDisplay = false;
  TSyncType SyncType = stAudioMaster;
  int FrameDrop = -1;            // -1: when video is not the master
  bool InfiniteBuffer = false;
  int64_t StartTime = AV_NOPTS_VALUE;
  std::string VideoFilters;
  int64_t SwsFlags = 4;
  uintptr_t Window = 0;          // native window to draw into; 0: SDL's own
  int ScreenWidth = 0;
  int ScreenHeight = 0;
  std::string InputFormat;
  AVDictionary* FormatOpts = nullptr;  // not owned
  AVDictionary* CodecOpts = nullptr;   // not owned
  // Changed while playing.
  std::atomic<bool>* Mute = nullptr;
  std::atomic<int>* Volume = nullptr;
  std::atomic<float>* AspectRatio = nullptr;
  std::atomic<uint32_t>* Background = nullptr;  // 0x00RRGGBB
};

}  // namespace playcore
