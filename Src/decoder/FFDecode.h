#pragma once
// The decoder component: opens one media file, describes it, and decodes, seeks and steps
// through the pictures of one video stream. Times are microseconds counted from the stream's
// start time; AV_NOPTS_VALUE marks an unknown time.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>

#include "runtime/Bitmap.h"
#include "runtime/FFBaseComponent.h"
#include "runtime/FFLog.h"
#include "runtime/FFOptions.h"
#include "runtime/FFOwners.h"
#include "runtime/FFUtils.h"
#include "decoder/Upright.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

struct SwrContext;

struct TFileStreamInfo {
  int64_t StartTime = AV_NOPTS_VALUE;  // µs
  int64_t Duration = -1;               // µs; -1 when the container reports none
  int32_t BitRate = -1;
  int32_t Year = -1;
  int32_t Track = -1;
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;
};

struct TVideoStreamInfo {
  std::string Language;
  std::string CodecDesc;
  int64_t StartTimeRaw = -1;  // stream time base
  int64_t StartTime = -1;     // µs
  int64_t DurationRaw = -1;
  int64_t Duration = -1;
  int32_t BitRate = -1;
  int32_t Height = -1;
  int32_t Width = -1;
  float SampleAspectRatio = -1.0f;
  float DisplayAspectRatio = -1.0f;
  int32_t SARNum = 0;
  int32_t SARDen = 1;
  int32_t DARNum = 0;
  int32_t DARDen = 1;
  int32_t PixFmt = -1;
  int32_t FrameRateNum = 0;
  int32_t FrameRateDen = 1;
  // Degrees the pictures are turned clockwise to be shown upright (the stream's display
  // matrix); Width and Height stay those of the coded picture.
  int32_t Rotation = 0;
  bool Mirrored = false;  // and flipped as well
};

struct TAudioStreamInfo {
  std::string Language;
  std::string CodecDesc;
  int64_t StartTimeRaw = -1;
  int64_t StartTime = -1;
  int64_t DurationRaw = -1;
  int64_t Duration = -1;
  int32_t BitRate = -1;
  int32_t Channels = -1;
  int32_t SampleRate = -1;
  int32_t SampleFormat = -1;
};

class TCustomDecoder;
using TBeforeFindStreamInfoEvent =
    std::function<void(TCustomDecoder* Sender, AVFormatContext* AFormatContext)>;

class TCustomDecoder : public TFFBaseComponent {
public:
  TCustomDecoder();
  ~TCustomDecoder() override;

  // Loads avcodec, avformat, avutil, swresample, swscale and the C runtime library.
  bool LoadAVLib(const std::string& libPath);
  bool AVLibLoaded() const;

  // Throws std::runtime_error "Library %s not loaded." when the libraries are missing.
  bool LoadFile(const std::string& FileName, const std::string& FormatName = std::string());
  virtual void UpdateStreamInfo();
  // Attaches a context opened elsewhere; it is never closed here. Throws when the libraries
  // are missing.
  virtual void SetFormatContext(AVFormatContext* AFormatContext);
  virtual void CloseFile();

  TFileStreamInfo GetFileStreamInfo();
  TVideoStreamInfo GetVideoStreamInfo(int StreamIndex = -1);
  TAudioStreamInfo GetAudioStreamInfo(int StreamIndex = -1);
  bool IsAudioStream(int StreamIndex);
  bool IsVideoStream(int StreamIndex);
  // Lines joined with CR LF, one after every line.
  std::string FileInfoText();
  std::string FileName();
  std::string FormatName();

  AVFormatContext* FormatContext() const { return FFormatContext; }
  bool OwnsContext() const { return FOwnsContext; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  const std::string& ForcedFormatName() const { return FForcedFormatName; }
  int64_t FileSize() const { return FFileSize; }
  int32_t StreamCount() const { return FStreamCount; }
  int32_t ProgramCount() const { return FProgramCount; }
  int32_t AudioStreamCount() const { return FAudioStreamCount; }
  int32_t VideoStreamCount() const { return FVideoStreamCount; }
  int32_t SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int32_t FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
  int32_t FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
  int32_t FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }

  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool v) { FTriggerEventInMainThread = v; }
  // Start of the blocking input operation now running (µs of av_gettime_relative). 0 cancels
  // it; INT64_MAX disables the time-out. Any thread may write it.
  int64_t IOStartTime() const { return FIOStartTime.load(); }
  void SetIOStartTime(int64_t v) { FIOStartTime.store(v); }

  // Format and codec dictionaries used while opening (empty unless the host fills them).
  TFFOptions& Options() { return *FOptions; }

  TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;

protected:
  // Sets LastErrMsg and writes it to the log.
  void Report(TLogLevel level, const std::string& msg);
  // -1 picks DefaultIndex; an explicit index must be a stream of Type. -1 (reported) when neither holds.
  int ChooseStream(int StreamIndex, int DefaultIndex, AVMediaType Type);
  // The stream an info record describes, or null (reported) when there is none.
  AVStream* InfoStream(int StreamIndex, int DefaultIndex, AVMediaType Type);
  template <class TInfo>
  void FillCommonStreamInfo(TInfo& info, AVStream* st);
  void ReportFmt(TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  void SetLastErrMsg(const std::string& msg) { FLastErrMsg = msg; }
  // Logs unless the decoder is quiet.
  void Note(TLogLevel level, const std::string& msg);
  void NoteFmt(TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  // A quiet decoder works for another one in the background: it logs nothing of its own.
  bool Quiet() const { return FQuiet; }
  void SetQuiet(bool v) { FQuiet = v; }
  virtual void SetScalerFlags(int /*flags*/) {}
  // "TFFDecoder" and the like, for messages.
  virtual const char* ClassName() const { return "TCustomDecoder"; }
  // The stream's time base with a zero denominator repaired (the stream is changed).
  static AVRational RepairTimeBase(AVStream* st);

  AVFormatContext* FFormatContext = nullptr;
  bool FOwnsContext = false;

private:
  static int InterruptCallback(void* opaque);
  // Whether the stream exists and is of that media type (reported when it does not exist).
  bool StreamIsOfType(int StreamIndex, int type);
  std::string StreamLine(unsigned index);
  int64_t FileSizeOf();

  std::unique_ptr<TFFOptions> FOptions;
  std::string FLastErrMsg;
  std::string FForcedFormatName;
  int64_t FFileSize = -1;
  int32_t FStreamCount = -1;
  int32_t FProgramCount = -1;
  int32_t FAudioStreamCount = -1;
  int32_t FVideoStreamCount = -1;
  int32_t FSubtitleStreamCount = -1;
  int32_t FFirstAudioStreamIndex = -1;
  int32_t FFirstVideoStreamIndex = -1;
  int32_t FFirstSubtitleStreamIndex = -1;
  bool FTriggerEventInMainThread = true;
  bool FQuiet = false;
  std::atomic<int64_t> FIOStartTime{INT64_MAX};
};

// Threads of the browse decoder's codec: dtAuto picks what steps fastest for the codec.
enum TDecodeThreads { dtAuto, dtNone, dtSlice, dtFrame };

class TFFDecoder : public TCustomDecoder {
public:
  TFFDecoder();
  ~TFFDecoder() override;

  void UpdateStreamInfo() override;
  void CloseFile() override;

  // Next picture of the stream (-1: the default video stream); true when a new one is held.
  bool Decode(int StreamIndex = -1);
  // Target: µs from the stream start, or a byte position with AVSEEK_FLAG_BYTE. Does not
  // decode; FramePTS is unknown until the next Decode.
  virtual bool Seek(int64_t Target, int Flags = 0);
  // The first key frame after the current picture.
  bool NextKeyFrame(int StreamIndex = -1);
  // The picture before the current one (stays on the first picture at the start).
  bool PrevFrame(int StreamIndex = -1);
  // The last key frame before the current picture (stays on the first picture at the start).
  bool PrevKeyFrame(int StreamIndex = -1);
  // The held picture as a 32-bit bitmap.
  bool CopyToBitmap(TBitmap& bitmap);

  int64_t FramePTS() const { return FFramePTS; }
  int64_t PrevFramePTS() const { return FPrevFramePTS; }
  bool PictureKeyFrame() const { return FPictureKeyFrame; }
  int PictureType() const { return FPictureType; }
  bool PictureReady() const { return FPictureReady; }
  int64_t PacketDTS() const { return FPacketDTS; }
  int64_t PacketPTS() const { return FPacketPTS; }
  int PacketStreamIndex() const { return FPacketStreamIndex; }
  int64_t PacketPos() const { return FPacketPos; }
  bool EndOfStream() const { return FEndOfStream; }
  bool Draining() const { return FDraining; }
  // The held picture (null when none); valid until the next decoding operation.
  const AVFrame* Picture() const { return FPictureReady ? FPicture.get() : nullptr; }
  int VideoStreamIndex() const { return FVideoStreamIndex; }
  AVRational FrameRate() const { return FFrameRate; }
  // µs of one frame at FrameRate (40000 when unknown).
  int64_t FrameDuration() const;

  bool Deinterlace() const { return FDeinterlace; }
  void SetDeinterlace(bool v) { FDeinterlace = v; }
  TFormatConverter& Converter() { return FConverter; }

  // Decoded pictures kept around the current one so that stepping back and forth does not
  // decode again; bytes, default 128 MiB (0 keeps none).
  size_t FrameCacheBytes() const { return FCacheBytes; }
  void SetFrameCacheBytes(size_t v);

  // After a jump the pictures before the new one are decoded on a worker thread (a decoder of
  // its own on the same file) into the caches above, so that stepping back does not wait.
  // Off by default: it costs a second reading of the file and a core, worth it where a person
  // browses. Only files the decoder opened itself are prepared.
  bool PrepareBack() const { return FPrepareBack; }
  void SetPrepareBack(bool v);
  // What the worker did so far: runs started, finished and given up for a newer request.
  struct TPrepareStats {
    int Started = 0;
    int Finished = 0;
    int Cancelled = 0;
    int Used = 0;       // runs whose pictures were taken
    bool Busy = false;  // a run is going on now
  };
  TPrepareStats PrepareStats() const;

  // Taken when the codec is opened, that is for the next file loaded.
  TDecodeThreads DecodeThreads() const { return FDecodeThreads; }
  void SetDecodeThreads(TDecodeThreads v) { FDecodeThreads = v; }

protected:
  const char* ClassName() const override { return "TFFDecoder"; }
  void SetScalerFlags(int flags) override { FConverter.SetSwsFlags(flags); }
  virtual void FreeAudioResampler();

private:
  class TBackPrep;
  // One decoded picture with its times.
  struct TFrameItem {
    TFramePtr Frame;
    int64_t PTS = AV_NOPTS_VALUE;  // µs from the stream start
    bool Key = false;
    int Type = 0;
    int64_t PktDTS = AV_NOPTS_VALUE;
    int64_t PktPTS = AV_NOPTS_VALUE;
    int64_t PktPos = -1;
    bool AfterHole = false;  // a skipped picture lies between it and the previous one
    size_t Bytes() const;
  };
  // What was learnt about a key frame while decoding on from it.
  struct TKeyInfo {
    int64_t Next = AV_NOPTS_VALUE;   // the following key frame, when reached
    int64_t Reach = AV_NOPTS_VALUE;  // last picture decoded after it with no key frame between
  };
  using TVisitor = std::function<bool(TFrameItem&&)>;  // true: stop
  // What one pass of a scan for the pictures before a point saw: its first picture's time and
  // the picture at or after the point that ended it.
  struct TScanEnd {
    int64_t First = AV_NOPTS_VALUE;
    TFrameItem Stop;
    bool Stopped = false;
    void See(const TFrameItem& f) {
      if (First == AV_NOPTS_VALUE) First = f.PTS;
    }
    bool End(TFrameItem&& f) {
      Stop = std::move(f);
      Stopped = true;
      return true;
    }
  };

  enum TSeekableFor { sfDecode, sfSeek };
  bool IsSeekable(TSeekableFor purpose);
  bool IsImage2() const;
  int SelectVideoStream(int index);
  AVCodecContext* OpenVideoCodec(int index);
  void ResetPicture();
  void ResetAudio();
  void ResetStepping();
  void ChooseFrameRate(int index);

  // Stream-relative µs <-> stream time base.
  int64_t ToStreamTS(int64_t us) const;
  int64_t ToMicroseconds(int64_t ts) const;
  // Reads the next packet of the video stream (peeked ones first); <0 at the end or on error.
  int ReadVideoPacket(AVPacket* pkt);
  void NoteFirstPacket(const AVPacket* pkt);
  bool IsFirstPacket(const AVPacket* pkt) const;
  // The next picture of the codec in display order: 1, or 0 at the end (EndOfStream, reported),
  // or a negative code (reported).
  int NextCodecFrame(TFrameItem& out, const char* where);
  void NoteRun(const TFrameItem& item);
  bool DeinterlaceFrame(TFramePtr& frame);
  void SetCurrent(TFrameItem&& item);
  TFrameItem TakeCurrent();
  void StepForwardTo(TFrameItem&& item);
  // Keeps the cached pictures within FCacheBytes; keepBack drops the later ones first.
  void TrimCaches(bool keepBack);
  // Appends a picture to a run being collected, dropping its oldest pictures beyond
  // FCacheBytes while more than keep remain; bytes is the run's size.
  void PushBounded(std::deque<TFrameItem>& run, size_t& bytes, TFrameItem&& f, size_t keep) const;
  size_t CachedBytes() const;
  void LoseCodecPosition();
  // Background preparation of the pictures before the earliest one held.
  int64_t EarliestHeld() const;
  void AfterStep(bool jump);
  // Moves finished pictures of the worker in front of the held ones; wait: for a run going on.
  bool PickUpPrepared(bool wait);
  void StopPreparing();
  size_t HeldBackBytes() const;  // the current picture and those before it
  static size_t PictureBytes(const AVFrame* frame);
  // The public steps, run between a pick-up of prepared pictures and a new request.
  bool DecodeStep(int StreamIndex);
  bool PrevFrameStep(int StreamIndex);
  bool NextKeyFrameStep(int StreamIndex);
  bool PrevKeyFrameStep(int StreamIndex);
  // The worker's side: decodes the pictures before ref, at most FCacheBytes of them, into out.
  bool CollectBefore(int idx, int64_t ref, std::deque<TFrameItem>& out);
  void ApplyThreads(AVCodecContext* ctx) const;

  // Demuxer seek for the video stream; flushes the codec.
  int DemuxSeek(int64_t targetUs, bool atOrBefore);
  void AfterDemuxSeek();
  bool SeekToStart();
  // Finds out, from the packets, whether the stream carries times at all.
  void ProbeTimestamps();
  // Seeks so that decoding starts at a key frame at or before targetUs (or at the first key
  // frame when there is none before it).
  bool SeekToKeyAtOrBefore(int64_t targetUs);
  // SeekToKeyAtOrBefore(target), then decodes, handing each picture to visit until it stops.
  // Non-reference pictures shown before skipBefore are not decoded (they are not wanted).
  bool ScanFrom(int64_t targetUs, const TVisitor& visit, const char* where, int64_t skipBefore = AV_NOPTS_VALUE);
  // Time span of the pictures the caches can hold.
  int64_t CacheWindow() const;
  bool LandOn(int64_t pts, const char* where);
  bool ResyncNext();
  bool RedecodeBefore(int64_t ref);
  // Key-packet scans: 1 found (*pts), 0 none, -1 unknown (no packet times), -2 failed.
  // Seeks to the key frame at or before seekUs, then reads video packets (without decoding) until
  // stop says so. False when the seek failed.
  bool ScanVideoPackets(int64_t seekUs, const std::function<bool(const AVPacket*)>& stop);
  int FindKeyPacketBefore(int64_t ref, int64_t* pts);
  int FindKeyPacketAfter(int64_t ref, int64_t* pts);
  bool KnownLastKeyBefore(int64_t ref, int64_t* pts) const;
  bool KnownNextKeyAfter(int64_t ref, int64_t* pts) const;
  bool PrevKeyFrameByDecoding(int64_t ref);
  bool NextKeyFrameByDecoding(int64_t ref);
  bool FailPrevKeyFrame();

  TFormatConverter FConverter;
  TUprightTurner FUpright;
  TCodecContextPtr FVideoCtx;
  int FVideoCtxStream = -1;
  int FSeekStreamIndex = -1;
  int FVideoStreamIndex = -1;
  AVRational FFrameRate{0, 0};
  bool FDeinterlace = false;
  bool FEndOfStream = false;
  bool FDraining = false;
  int FReadError = 0;  // the read failure that started draining

  // Held picture.
  TFramePtr FPicture;
  int FPicPixFmt = -1;
  int FPicWidth = -1;
  int FPicHeight = -1;
  bool FPictureKeyFrame = false;
  int FPictureType = 0;
  int64_t FFramePTS = AV_NOPTS_VALUE;
  int64_t FPacketDTS = AV_NOPTS_VALUE;
  int64_t FPacketPTS = AV_NOPTS_VALUE;
  int FPacketStreamIndex = -1;
  int64_t FPacketPos = -1;
  bool FPictureReady = false;
  int64_t FPrevFramePTS = AV_NOPTS_VALUE;

  // Audio state: kept, flushed and released, not decoded.
  int FAudioStreamIndex = -1;
  TCodecContextPtr FAudioCtx;
  TSwrContextPtr FSwr;

  // Stepping: pictures before (FBack, oldest first) and after (FAhead) the current one, all
  // consecutive. Without FResync the codec's next picture follows the last of FAhead (or the
  // current picture); with it the codec has lost its place and must find the picture after
  // FResyncAfter again.
  std::deque<TFrameItem> FBack;
  std::deque<TFrameItem> FAhead;
  bool FResync = false;
  int64_t FResyncAfter = AV_NOPTS_VALUE;
  size_t FCacheBytes = size_t(128) << 20;

  TPacketPtr FPkt;
  TFramePtr FRecv;
  std::deque<TPacketPtr> FPeeked;  // read after a seek, not yet decoded
  bool FNeedKey = false;           // after a seek: skip pictures until a key frame
  bool FLastSeekAtStart = false;   // the last key-frame seek could not go before its target
  // Streams without any times (raw elementary streams) are timed by counting pictures from
  // the start, so every seek goes back to the start.
  bool FNoTimestamps = false;
  bool FTimesProbed = false;
  bool FAtStart = true;
  // The stream's first packet (seen while reading from the start): a seek that lands on it
  // decodes from the start, where pictures shown before the first key frame are whole.
  bool FFirstSeen = false;
  int64_t FFirstPos = -1;
  int64_t FFirstDTS = AV_NOPTS_VALUE;
  int FSkippedSinceSeek = 0;
  int64_t FLastOutPTS = AV_NOPTS_VALUE;
  // Pictures that only lead up to a wanted one need not all be decoded: non-reference ones
  // shown before this time are skipped; FSkippedPTS are the times of the packets concerned.
  int64_t FSkipNonRefBefore = AV_NOPTS_VALUE;
  std::set<int64_t> FSkippedPTS;
  int64_t FRunKey = AV_NOPTS_VALUE;  // last key frame of the current run of pictures
  std::map<int64_t, TKeyInfo> FKeys;

  TDecodeThreads FDecodeThreads = dtAuto;
  bool FPrepareBack = false;
  bool FPrepUnavailable = false;  // the file cannot be opened a second time
  int FPreparedUsed = 0;
  bool FJumped = false;  // a seek happened; the next picture decoded is a jump's
  // The worker's run stops once this returns true.
  std::function<bool()> FCancelled;
  std::unique_ptr<TBackPrep> FPrep;
};
