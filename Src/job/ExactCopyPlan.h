#pragma once
// The frame-exact copy's plan: the input it reads, the records of the range's video packets in
// decode order and the part (head, copy, tail) each belongs to, and the encoder set-up that
// must match the source. Built by ExactCopyPlan.cpp from the packets alone; ExactCopyRun.cpp
// replays the same reading and hands each packet to its part. Private to the job layer.
#include <climits>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "job/ExactCopy.h"
#include "runtime/FFOwners.h"
#include "runtime/ParameterSets.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace exactcopy {

// A new packet; throws std::bad_alloc.
TPacketPtr NewPacket();

struct TInput {
  TInputFormatPtr ic;
  int v = -1;  // video stream
  int a = -1;  // audio stream, -1 when none is kept
};

// Opens the file and picks its video stream and, unless removeAudio, its audio stream; every
// other stream is discarded. False with *error when it cannot be read or has no video.
bool OpenInput(const std::string& path, bool removeAudio, TInput* in, std::string* error);

// The container of a copy of `in` into `name`: by the name's suffix, else the input's own.
const AVOutputFormat* CopyOutputFormat(const std::string& name, const TInput& in);

// The presentation time, or the decoding time when there is none.
int64_t PacketTime(const AVPacket* p);

// One video packet of the range, in decode order.
struct TRec {
  int64_t pts = AV_NOPTS_VALUE;
  bool key = false;
  bool start = false;  // a key frame that a copy may begin with
};

enum class TPart { None, Head, Copy, Tail };

struct TLayout {
  int64_t seekTs = INT64_MIN;  // where the input is positioned; INT64_MIN: from its start
  std::vector<TRec> recs;      // from the first key frame read after positioning
  std::vector<TPart> part;     // of each rec
  int64_t S = 0, E = INT64_MAX;  // range in stream time base
  int64_t firstPts = 0;          // the start picture: output time 0
  int64_t delay = 0;             // pts - dts of the first copied key frame
  int headFrom = -1;             // first rec fed to the head decoder, -1 when no head
  int64_t headUntil = INT64_MIN;  // the head ends once a picture at or after this is decoded
  int tailFrom = -1;             // first rec fed to the tail decoder, -1 when no tail
  int lastCopy = -1;             // last copied rec
  std::set<int64_t> headPts, tailPts;
  std::vector<int64_t> copyDts;  // decoding time of each rec, for the copied ones
};

// Puts the input back where the plan began reading (seekTs INT64_MIN: its start); throws when
// it cannot.
void Position(TInput& in, int64_t seekTs, const std::string& path, std::string* error);

// The x264 profile name of an H.264 profile, null for one it cannot encode.
const char* X264Profile(int profile);

struct TEncoderSetup {
  const AVCodec* codec = nullptr;
  std::string reason;  // why the video cannot be encoded to match
  bool globalHeader = false;
  unsigned paramSetId = 0;
  TH264Config srcConfig;
  std::vector<std::vector<uint8_t>> hevcSets;  // the source's VPS, SPS and PPS
};

// An encoder that matches the source's video; `first` (may be null) is the first picture it
// will take, whose HDR metadata it repeats when the stream carries none.
TCodecContextPtr OpenEncoder(const AVStream* st, const TEncoderSetup& s, const AVFrame* first,
                             std::string* error);

// The encoder quality (lambda) of the quantizer a decoded picture was coded with, from its
// exported encoding parameters; `fallback` when it has none.
int SourceQuality(const AVFrame* frame, int fallback);

// Pictures brought to the encoder's size and pixel format. A damaged or spliced stream can
// change its picture size mid-way; the encoder, opened for the stream's, refuses the others.
class TPictureFit {
public:
  // The frame itself when it fits, else a scaled copy with its times and flags, valid until the
  // next call. *changed is set when the frame needs scaling and the last one that did had
  // another size or format. Throws when it cannot be scaled.
  AVFrame* Fit(const AVCodecContext* enc, AVFrame* frame, bool* changed);

private:
  TSwsContextPtr FSws;
  TFramePtr FOut;
  int FWidth = 0, FHeight = 0, FFormat = -1;  // of the last frame that needed scaling
};

// False with s->reason when the video cannot be encoded again to match the source.
bool CheckCodec(const TInput& in, const AVOutputFormat* ofmt, TEncoderSetup* s, TExactCopyPlan* plan);

// Reads the records of the range and divides them into parts; false when it holds no picture.
bool BuildLayout(TInput& in, const std::string& path, const TExactCopyOptions& o, TLayout* L,
                 std::string* error);

// The plan's counts and times from the layout.
void FillPlan(const AVStream* st, const TLayout& L, TExactCopyPlan* plan);

}  // namespace exactcopy
