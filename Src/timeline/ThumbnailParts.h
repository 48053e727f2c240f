#pragma once
// Inside the thumbnail producer: the per-file cache and the key-frame decoder.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "decoder/Upright.h"
#include "runtime/FFOwners.h"
#include "timeline/Thumbnails.h"

struct AVFormatContext;

// Half-open time spans [a, b) in which every key frame is known.
class TSpanSet {
public:
  void Add(int64_t from, int64_t to);
  void AddAll(const TSpanSet& other);
  bool Covers(int64_t from, int64_t to) const;

private:
  std::vector<std::pair<int64_t, int64_t>> FSpans;  // sorted, apart from one another
};

struct TFileThumbnails {
  std::map<int64_t, TThumbnail> Pictures;  // by key-frame time
  TSpanSet Known;
  int64_t Duration = -1;  // microseconds from the first picture, -1 unknown
};

// Process-wide; every call locks. An empty key is never cached.
namespace ThumbnailCache {
// A copy of what is cached for the key (nothing when nothing is).
bool Get(const std::string& key, TFileThumbnails* out);
// Adds pictures and spans to what is cached for the key.
void Merge(const std::string& key, const TFileThumbnails& more);
void Clear();
}  // namespace ThumbnailCache

// Decodes key-frame packets of one stream into thumbnails.
class TKeyFrameDecoder {
public:
  TKeyFrameDecoder();
  ~TKeyFrameDecoder();
  // For stream `index` of the open file; thumbnails `height` high. False with *error set.
  bool Open(AVFormatContext* ic, int index, int height, std::string* error);
  // Once set, pictures still coming out are dropped unscaled.
  void SetCancel(const std::atomic<bool>* cancel) { FCancel = cancel; }
  // Sends one key-frame packet (null: drains) and hands on every picture that comes out.
  // Negative on a decoding failure that is not the packet's alone.
  int Decode(const AVPacket* pkt, const std::function<void(TThumbnail&&)>& out);
  // After a drain or before a jump.
  void Flush();
  int Decoded() const { return FDecoded; }
  // Microseconds from the first picture for a time in stream ticks.
  int64_t ToMicroseconds(int64_t ticks) const;
  int64_t ToTicks(int64_t us) const;
  int64_t OriginMicroseconds() const;

private:
  bool MakeThumbnail(AVFrame* frame, TThumbnail* out);
  void PlanSize(const AVFrame* frame);

  const AVStream* FStream = nullptr;
  const std::atomic<bool>* FCancel = nullptr;
  int64_t FOrigin = 0;
  int FHeight = 0;
  TCodecContextPtr FCodec;
  TFramePtr FFrame;
  TSwsContextPtr FScaler;
  TUprightTurner FTurner;
  bool FQuarterTurn = false;
  int FScaledWidth = 0, FScaledHeight = 0;  // before the turn
  int FSourceWidth = 0, FSourceHeight = 0;
  int FDecoded = 0;
};
