// Frame-exact copy. The range's video is three parts in decode order: the head (pictures
// before the first copied key frame, decoded from the key frame before the start and encoded
// again), the copied packets, and the tail (pictures after the last copied packet, encoded
// again). Each encoded part starts with a key frame of its own and its own parameter sets,
// whose ids differ from the source's, so one stream decodes across both joins.
#include "job/ExactCopy.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "runtime/FFLog.h"
#include "runtime/FFOwners.h"
#include "runtime/MediaTexts.h"
#include "runtime/NalUnits.h"
#include "runtime/ParameterSets.h"
#include "runtime/SafeWrite.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

namespace {

TPacketPtr NewPacket() {
  TPacketPtr p(av_packet_alloc());
  if (!p) throw std::bad_alloc();
  return p;
}

struct TInput {
  TInputFormatPtr ic;
  int v = -1;  // video stream
  int a = -1;  // audio stream, -1 when none is kept
};

bool OpenInput(const std::string& path, bool removeAudio, TInput* in, std::string* error) {
  AVFormatContext* raw = nullptr;
  int r = OpenUserInput(&raw, path, nullptr);
  if (r < 0) {
    *error = ErrorText(path, r);
    return false;
  }
  in->ic.reset(raw);
  r = avformat_find_stream_info(in->ic.get(), nullptr);
  if (r < 0) {
    *error = ErrorText(path, r);
    return false;
  }
  in->v = av_find_best_stream(in->ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (in->v < 0) {
    *error = path + ": no video stream";
    return false;
  }
  in->a = removeAudio ? -1 : av_find_best_stream(in->ic.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (in->a < 0) in->a = -1;
  for (unsigned i = 0; i < in->ic->nb_streams; i++)
    if (static_cast<int>(i) != in->v && static_cast<int>(i) != in->a)
      in->ic->streams[i]->discard = AVDISCARD_ALL;
  return true;
}

int64_t PacketTime(const AVPacket* p) { return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts; }

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

// Positions the input at a key frame at or before ts; the first video key frame read after it
// is the first record. Returns false when no seek gets there (the caller reads from the start).
bool TrySeek(TInput& in, int64_t ts, int64_t S) {
  if (av_seek_frame(in.ic.get(), in.v, ts, AVSEEK_FLAG_BACKWARD) < 0) return false;
  TPacketPtr pkt = NewPacket();
  for (;;) {
    if (av_read_frame(in.ic.get(), pkt.get()) < 0) return false;
    const bool ours = pkt->stream_index == in.v;
    const bool key = pkt->flags & AV_PKT_FLAG_KEY;
    const int64_t t = PacketTime(pkt.get());
    av_packet_unref(pkt.get());
    if (ours && key && t != AV_NOPTS_VALUE) return t <= S;
  }
}

void Position(TInput& in, int64_t seekTs, const std::string& path, std::string* error) {
  if (seekTs == INT64_MIN) {
    // Opening again is the one way back to the start that every demuxer supports.
    TInput fresh;
    if (!OpenInput(path, in.a < 0, &fresh, error)) throw std::runtime_error(*error);
    in = std::move(fresh);
    return;
  }
  if (av_seek_frame(in.ic.get(), in.v, seekTs, AVSEEK_FLAG_BACKWARD) < 0)
    throw std::runtime_error(path + ": cannot seek");
}

int64_t ToStreamTs(const AVStream* st, int64_t us) {
  int64_t ts = av_rescale_q(us, AV_TIME_BASE_Q, st->time_base);
  if (st->start_time != AV_NOPTS_VALUE) ts += st->start_time;
  return ts;
}

int64_t ToMicroseconds(const AVStream* st, int64_t ts) {
  if (st->start_time != AV_NOPTS_VALUE) ts -= st->start_time;
  return av_rescale_q(ts, st->time_base, AV_TIME_BASE_Q);
}

bool CopyMayStartAt(const AVPacket* pkt, const AVCodecParameters* par);

// Reads the records of the range: from a key frame at or before the start to the first key
// frame at or after the end and the pictures that lead it.
void ReadRecords(TInput& in, TLayout& L, const std::string& path, std::string* error) {
  AVStream* st = in.ic->streams[in.v];
  const int64_t second = av_rescale_q(AV_TIME_BASE, AV_TIME_BASE_Q, st->time_base);
  L.seekTs = INT64_MIN;
  for (int64_t back : {int64_t(0), 2 * second, 10 * second}) {
    if (L.S - back <= (st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time)) break;
    if (TrySeek(in, L.S - back, L.S)) {
      L.seekTs = L.S - back;
      break;
    }
  }
  Position(in, L.seekTs, path, error);
  st = in.ic->streams[in.v];  // opening again made new streams
  TPacketPtr pkt = NewPacket();
  bool started = false;
  int64_t afterEndKey = AV_NOPTS_VALUE;
  while (av_read_frame(in.ic.get(), pkt.get()) >= 0) {
    if (pkt->stream_index != in.v) {
      av_packet_unref(pkt.get());
      continue;
    }
    TRec r;
    r.pts = PacketTime(pkt.get());
    r.key = pkt->flags & AV_PKT_FLAG_KEY;
    r.start = r.key && CopyMayStartAt(pkt.get(), st->codecpar);
    av_packet_unref(pkt.get());
    if (!started && !(r.key && r.pts != AV_NOPTS_VALUE)) continue;
    started = true;
    if (r.pts == AV_NOPTS_VALUE) throw std::runtime_error(path + ": a picture without a time");
    if (afterEndKey != AV_NOPTS_VALUE && !r.key && r.pts > afterEndKey) break;
    if (afterEndKey == AV_NOPTS_VALUE && r.key && r.pts >= L.E) afterEndKey = r.pts;
    L.recs.push_back(r);
  }
}

void PlanLayout(TLayout& L) {
  const int n = static_cast<int>(L.recs.size());
  L.part.assign(static_cast<size_t>(n), TPart::None);
  auto inRange = [&](int i) { return L.recs[i].pts >= L.S && L.recs[i].pts < L.E; };
  int k1 = -1;
  for (int i = 0; i < n && k1 < 0; i++)
    if (L.recs[i].start && inRange(i)) k1 = i;
  std::vector<int> keys;
  for (int i = 0; i < n; i++)
    if (L.recs[i].key) keys.push_back(i);
  auto keyBefore = [&](int idx) {
    int best = 0;
    for (int k : keys)
      if (k < idx) best = k;
    return best;
  };

  int copyEnd = k1;  // copied records are [k1, copyEnd) minus k1's leading pictures
  if (k1 >= 0) {
    int k2 = k1;
    for (int k : keys)
      if (k >= k1 && L.recs[k].pts < L.E) k2 = k;
    int c = n;
    for (int k : keys)
      if (k > k2) {
        c = k;
        break;
      }
    bool wholeGop = true;
    for (int i = k2; i < c; i++) wholeGop = wholeGop && L.recs[i].pts < L.E;
    copyEnd = wholeGop ? c : k2;
    for (int i = k1; i < copyEnd; i++)
      if (L.recs[i].pts >= L.recs[k1].pts && L.recs[i].pts < L.E) L.part[i] = TPart::Copy;
  }
  const int64_t k1pts = k1 >= 0 ? L.recs[k1].pts : INT64_MAX;
  int64_t copyMin = INT64_MAX, copyMax = INT64_MIN;
  for (int i = 0; i < n; i++) {
    if (L.part[i] == TPart::Copy) {
      copyMin = std::min(copyMin, L.recs[i].pts);
      copyMax = std::max(copyMax, L.recs[i].pts);
      continue;
    }
    if (!inRange(i)) continue;
    L.part[i] = L.recs[i].pts < k1pts ? TPart::Head : TPart::Tail;
  }
  // The parts must follow each other in time; a file that breaks this is encoded whole.
  int64_t headMax = INT64_MIN, tailMin = INT64_MAX;
  for (int i = 0; i < n; i++) {
    if (L.part[i] == TPart::Head) headMax = std::max(headMax, L.recs[i].pts);
    if (L.part[i] == TPart::Tail) tailMin = std::min(tailMin, L.recs[i].pts);
  }
  const bool ordered = copyMin == INT64_MAX || (headMax < copyMin && copyMax < tailMin);
  if (!ordered) {
    for (int i = 0; i < n; i++) L.part[i] = inRange(i) ? TPart::Head : TPart::None;
    k1 = -1;
    copyEnd = -1;
  }

  L.headPts.clear();
  L.tailPts.clear();
  L.lastCopy = -1;
  L.firstPts = INT64_MAX;
  for (int i = 0; i < n; i++) {
    if (L.part[i] == TPart::None) continue;
    L.firstPts = std::min(L.firstPts, L.recs[i].pts);
    if (L.part[i] == TPart::Head) L.headPts.insert(L.recs[i].pts);
    if (L.part[i] == TPart::Tail) L.tailPts.insert(L.recs[i].pts);
    if (L.part[i] == TPart::Copy) L.lastCopy = i;
  }
  L.headFrom = L.headPts.empty() ? -1 : (k1 >= 0 ? keyBefore(k1) : 0);
  if (L.headFrom >= 0 && k1 < 0) L.headFrom = 0;
  L.headUntil = L.headPts.empty() ? INT64_MIN : *L.headPts.rbegin();
  // Decoding times for the copied packets from their presentation times alone (some
  // containers store none): the k-th packet decodes at the k-th smallest time, moved back by
  // the reordering depth so that no packet decodes after it is shown.
  L.copyDts.assign(static_cast<size_t>(n), AV_NOPTS_VALUE);
  std::vector<int64_t> order, sorted;
  for (int i = 0; i < n; i++)
    if (L.part[i] == TPart::Copy) order.push_back(i);
  for (int i : order) sorted.push_back(L.recs[i].pts);
  std::sort(sorted.begin(), sorted.end());
  L.delay = 0;
  for (size_t j = 0; j < order.size(); j++) L.delay = std::max(L.delay, sorted[j] - L.recs[order[j]].pts);
  for (size_t j = 0; j < order.size(); j++) L.copyDts[order[j]] = sorted[j] - L.delay;
  L.tailFrom = -1;
  if (!L.tailPts.empty()) {
    // From the key frame that ends the copy; a step further back when some of the tail's
    // pictures lead that key frame (they refer to the pictures before it).
    int from = std::max(0, copyEnd);
    if (from >= n || !L.recs[from].key) from = keyBefore(from);
    if (*L.tailPts.begin() < L.recs[from].pts) from = keyBefore(from);
    L.tailFrom = from;
  }
}

// -------------------------------------------------------------------------------------------
// Encoders

// The encoder that re-encodes a codec's pictures; null for a codec that cannot be cut exactly.
const char* EncoderFor(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264: return "libx264";
    case AV_CODEC_ID_MPEG2VIDEO: return "mpeg2video";
    case AV_CODEC_ID_MPEG4: return "mpeg4";
    default: return nullptr;
  }
}

const char* X264Profile(int profile) {
  switch (profile) {
    case FF_PROFILE_H264_BASELINE:
    case FF_PROFILE_H264_CONSTRAINED_BASELINE: return "baseline";
    case FF_PROFILE_H264_MAIN: return "main";
    case FF_PROFILE_H264_HIGH: return "high";
    case FF_PROFILE_H264_HIGH_10: return "high10";
    case FF_PROFILE_H264_HIGH_422: return "high422";
    case FF_PROFILE_H264_HIGH_444_PREDICTIVE: return "high444";
    default: return nullptr;
  }
}

// H.264 decoders take new parameter sets only at an IDR picture; other key frames (the
// recovery points of open groups of pictures) cannot follow an encoded part.
bool CopyMayStartAt(const AVPacket* pkt, const AVCodecParameters* par) {
  return par->codec_id != AV_CODEC_ID_H264 || IsH264Idr(pkt, par);
}

// Annex B packet to length-prefixed NAL units; parameter sets are left out (they are in the
// decoder configuration).
bool ToLengthPrefixed(AVPacket* pkt, int lengthSize) {
  std::vector<uint8_t> out;
  for (const TNalUnit& nal : SplitAnnexB(pkt->data, static_cast<size_t>(pkt->size))) {
    if (nal.H264Type() == 7 || nal.H264Type() == 8) continue;
    if (lengthSize < 4 && nal.Size >> (8 * lengthSize)) return false;
    for (int i = lengthSize - 1; i >= 0; i--) out.push_back(static_cast<uint8_t>(nal.Size >> (8 * i)));
    out.insert(out.end(), nal.Data, nal.Data + nal.Size);
  }
  TPacketPtr copy = NewPacket();
  if (av_new_packet(copy.get(), static_cast<int>(out.size())) < 0) return false;
  std::copy(out.begin(), out.end(), copy->data);
  av_packet_copy_props(copy.get(), pkt);
  av_packet_unref(pkt);
  av_packet_move_ref(pkt, copy.get());
  return true;
}

struct TEncoderSetup {
  const AVCodec* codec = nullptr;
  std::string reason;  // why the video cannot be encoded to match
  bool globalHeader = false;
  unsigned paramSetId = 0;
  TH264Config srcConfig;
};

TCodecContextPtr OpenEncoder(const AVStream* st, const TEncoderSetup& s, std::string* error) {
  const AVCodecParameters* par = st->codecpar;
  TCodecContextPtr c(avcodec_alloc_context3(s.codec));
  if (!c) throw std::bad_alloc();
  c->width = par->width;
  c->height = par->height;
  c->pix_fmt = static_cast<AVPixelFormat>(par->format);
  c->sample_aspect_ratio = par->sample_aspect_ratio;
  c->color_primaries = par->color_primaries;
  c->color_trc = par->color_trc;
  c->colorspace = par->color_space;
  c->color_range = par->color_range;
  c->chroma_sample_location = par->chroma_location;
  c->field_order = par->field_order;
  AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
  if (rate.num <= 0) rate = AVRational{25, 1};
  c->framerate = rate;
  c->max_b_frames = 0;
  c->gop_size = 100000;  // one key frame, at the start of the part
  if (s.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* opts = nullptr;
  if (par->codec_id == AV_CODEC_ID_H264) {
    c->time_base = st->time_base;
    c->profile = par->profile;
    c->level = par->level;
    if (const char* p = X264Profile(par->profile)) av_dict_set(&opts, "profile", p, 0);
    av_dict_set(&opts, "preset", "veryfast", 0);
    av_dict_set(&opts, "crf", "12", 0);
    av_dict_set(&opts, "x264-params",
                ("sps-id=" + std::to_string(s.paramSetId) + ":scenecut=0:log=-1").c_str(), 0);
  } else {
    c->time_base = av_inv_q(rate);
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * 1;
    c->qmin = 1;
    c->bit_rate = par->bit_rate > 0 ? par->bit_rate : 0;
    av_dict_set(&opts, "sc_threshold", "1000000000", 0);
  }
  const int r = avcodec_open2(c.get(), s.codec, &opts);
  av_dict_free(&opts);
  if (r < 0) {
    *error = ErrorText(std::string("Cannot open the encoder ") + s.codec->name, r);
    return nullptr;
  }
  return c;
}

TCodecContextPtr OpenDecoder(const AVStream* st, std::string* error) {
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) {
    *error = "No decoder for the video stream";
    return nullptr;
  }
  TCodecContextPtr c(avcodec_alloc_context3(codec));
  if (!c) throw std::bad_alloc();
  avcodec_parameters_to_context(c.get(), st->codecpar);
  c->pkt_timebase = st->time_base;
  const int r = avcodec_open2(c.get(), codec, nullptr);
  if (r < 0) {
    *error = ErrorText(std::string("Cannot open the decoder ") + codec->name, r);
    return nullptr;
  }
  return c;
}

bool CheckCodec(const TInput& in, const AVOutputFormat* ofmt, TEncoderSetup* s, TExactCopyPlan* plan) {
  const AVCodecParameters* par = in.ic->streams[in.v]->codecpar;
  const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
  plan->CodecName = d ? d->name : "unknown";
  const char* encoder = EncoderFor(par->codec_id);
  if (!encoder) {
    s->reason = plan->CodecName + " video cannot be cut to the frame";
    return false;
  }
  s->codec = avcodec_find_encoder_by_name(encoder);
  if (!s->codec) {
    s->reason = std::string("the encoder ") + encoder + " is missing";
    return false;
  }
  if (par->field_order != AV_FIELD_UNKNOWN && par->field_order != AV_FIELD_PROGRESSIVE) {
    s->reason = "interlaced video cannot be cut to the frame yet";
    return false;
  }
  bool pixOk = false;
  for (const AVPixelFormat* f = s->codec->pix_fmts; f && *f != AV_PIX_FMT_NONE; f++)
    pixOk = pixOk || *f == par->format;
  if (!pixOk) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format));
    s->reason = std::string("the pixel format ") + (name ? name : "?") + " cannot be encoded again";
    return false;
  }
  s->globalHeader = ofmt && (ofmt->flags & AVFMT_GLOBALHEADER);
  if (par->codec_id == AV_CODEC_ID_H264) {
    if (!X264Profile(par->profile)) {
      s->reason = "the H.264 profile cannot be encoded again";
      return false;
    }
    ParseH264Config(par->extradata, static_cast<size_t>(par->extradata_size), &s->srcConfig);
    if (s->globalHeader && (!s->srcConfig.Avcc || s->srcConfig.Sps.empty())) {
      s->reason = "the H.264 stream has no decoder configuration to extend";
      return false;
    }
    unsigned id = 1;
    while (id < 32 && s->srcConfig.Ids.count(id)) id++;
    if (id >= 32) {
      s->reason = "every parameter-set id is taken";
      return false;
    }
    s->paramSetId = id;
  }
  return true;
}

int64_t RangeEnd(const TExactCopyOptions& o) { return o.End > o.Start ? o.End : INT64_MAX; }

bool BuildLayout(TInput& in, const std::string& path, const TExactCopyOptions& o, TLayout* L,
                 std::string* error) {
  const AVStream* st = in.ic->streams[in.v];
  L->S = ToStreamTs(st, std::max<int64_t>(0, o.Start));
  L->E = RangeEnd(o) == INT64_MAX ? INT64_MAX : ToStreamTs(st, o.End);
  ReadRecords(in, *L, path, error);
  PlanLayout(*L);
  if (L->firstPts == INT64_MAX) {
    *error = "The range holds no picture.";
    return false;
  }
  return true;
}

void FillPlan(const AVStream* st, const TLayout& L, TExactCopyPlan* plan) {
  plan->HeadPictures = static_cast<int>(L.headPts.size());
  plan->TailPictures = static_cast<int>(L.tailPts.size());
  plan->CopiedPictures = 0;
  int64_t cmin = INT64_MAX, cmax = INT64_MIN, last = INT64_MIN;
  for (size_t i = 0; i < L.recs.size(); i++) {
    if (L.part[i] != TPart::None) last = std::max(last, L.recs[i].pts);
    if (L.part[i] != TPart::Copy) continue;
    plan->CopiedPictures++;
    cmin = std::min(cmin, L.recs[i].pts);
    cmax = std::max(cmax, L.recs[i].pts);
  }
  auto us = [&](int64_t ts) { return ToMicroseconds(st, ts); };
  plan->HeadFirst = L.headPts.empty() ? -1 : us(*L.headPts.begin());
  plan->HeadLast = L.headPts.empty() ? -1 : us(*L.headPts.rbegin());
  plan->TailFirst = L.tailPts.empty() ? -1 : us(*L.tailPts.begin());
  plan->TailLast = L.tailPts.empty() ? -1 : us(*L.tailPts.rbegin());
  plan->CopyFirst = plan->CopiedPictures ? us(cmin) : -1;
  plan->CopyLast = plan->CopiedPictures ? us(cmax) : -1;
  // The last picture lasts one frame.
  AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
  const int64_t frame = rate.num > 0 ? av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q) : 0;
  plan->Duration = us(last) - us(L.firstPts) + frame;
}

// -------------------------------------------------------------------------------------------
// The run

class TExactRun {
public:
  TExactRun(const std::string& input, const std::string& output, const TExactCopyOptions& o,
            const TExactCopyHost& host)
      : FInput(input), FOutput(output), FOptions(o), FHost(host) {}

  bool Run(TExactCopyPlan* plan, std::string* error);

private:
  void Log(int level, const std::string& s) {
    if (FHost.Log) FHost.Log(level, s);
  }
  bool Stopped() { return FHost.StopRequested && FHost.StopRequested(); }
  void OpenOutput();
  void FeedDecoder(TCodecContextPtr& dec, const AVPacket* pkt, bool head);
  void EncodeFrame(AVFrame* frame, bool head);
  void FlushEncoder(bool head);
  void FinishHead();
  void EmitVideo(AVPacket* pkt);  // pkt timestamps in the source's video time base, output clock
  void WriteAudio(AVPacket* pkt);
  void DrainTail(bool force);

  std::string FInput, FOutput;
  TExactCopyOptions FOptions;
  const TExactCopyHost& FHost;
  TInput FIn;
  TLayout FL;
  TEncoderSetup FSetup;
  TSafeFile FFile;
  TOutputFormatPtr FOc;
  AVStream* FOv = nullptr;
  AVStream* FOa = nullptr;
  TCodecContextPtr FHeadDec, FTailDec, FHeadEnc, FTailEnc;
  bool FHeadDone = false, FTailDone = false;
  std::deque<TPacketPtr> FPendingHead;  // encoded head packets, written once it is complete
  std::deque<TPacketPtr> FPendingCopy;  // copied packets waiting for the head
  std::deque<TPacketPtr> FPendingTail;  // tail packets waiting for the copied part
  bool FCopyDone = false;
  int64_t FLastDts = INT64_MIN;
  int FPictures = 0;
  int64_t FPosition = 0;
  int64_t FLastProgress = INT64_MIN;
  int64_t FDuration = 0;
  int64_t FFileSize = 0;
  int64_t FFrameTicks = 0;  // one picture's length in the video time base
  int64_t FAudioStart = 0, FAudioEnd = INT64_MAX;  // audio stream time base
  std::string FError;
};

void TExactRun::OpenOutput() {
  std::string err;
  if (!FFile.Open(FOutput, {FInput}, false, &err)) throw std::runtime_error(err);
  const AVOutputFormat* ofmt = av_guess_format(nullptr, FOutput.c_str(), nullptr);
  if (!ofmt) throw std::runtime_error(FOutput + ": no container is known for this file name");
  const std::string url = FileNameToURL(FFile.TempPath());
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, ofmt, nullptr, url.c_str()) < 0 || !oc) throw std::bad_alloc();
  FOc.reset(oc);
  InstallUnicodeIO(oc);
  const AVStream* iv = FIn.ic->streams[FIn.v];
  FOv = avformat_new_stream(FOc.get(), nullptr);
  if (!FOv) throw std::bad_alloc();
  avcodec_parameters_copy(FOv->codecpar, iv->codecpar);
  FOv->codecpar->codec_tag = 0;
  FOv->time_base = iv->time_base;
  FOv->avg_frame_rate = iv->avg_frame_rate;
  FOv->sample_aspect_ratio = iv->sample_aspect_ratio;
  if (FIn.a >= 0) {
    const AVStream* ia = FIn.ic->streams[FIn.a];
    FOa = avformat_new_stream(FOc.get(), nullptr);
    if (!FOa) throw std::bad_alloc();
    avcodec_parameters_copy(FOa->codecpar, ia->codecpar);
    FOa->codecpar->codec_tag = 0;
    FOa->time_base = ia->time_base;
  }
  // Both sets of parameter sets in the decoder configuration.
  if (iv->codecpar->codec_id == AV_CODEC_ID_H264 && FSetup.globalHeader) {
    std::string e;
    TCodecContextPtr probe = OpenEncoder(iv, FSetup, &e);
    if (!probe) throw std::runtime_error(e);
    TH264Config added;
    ParseH264Config(probe->extradata, static_cast<size_t>(probe->extradata_size), &added);
    if (added.Sps.empty() || added.Pps.empty())
      throw std::runtime_error("The encoder gave no parameter sets");
    const std::vector<uint8_t> avcc = BuildAvcC(FSetup.srcConfig, added, FL.headFrom >= 0);
    av_freep(&FOv->codecpar->extradata);
    FOv->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!FOv->codecpar->extradata) throw std::bad_alloc();
    std::copy(avcc.begin(), avcc.end(), FOv->codecpar->extradata);
    FOv->codecpar->extradata_size = static_cast<int>(avcc.size());
  }
  int r = FOc->io_open(FOc.get(), &FOc->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
  // Encoded parts may lag the audio by a whole group of pictures: interleave without a limit.
  FOc->max_interleave_delta = 0;
  r = avformat_write_header(FOc.get(), nullptr);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput + ": cannot write the header", r));
}

void TExactRun::EmitVideo(AVPacket* pkt) {
  // Decoding times stay below the presentation times and keep rising across the joins.
  if (pkt->dts == AV_NOPTS_VALUE || pkt->dts <= FLastDts) pkt->dts = FLastDts == INT64_MIN ? pkt->pts : FLastDts + 1;
  FLastDts = pkt->dts;
  const int64_t end = pkt->pts + (pkt->duration > 0 ? pkt->duration : FFrameTicks);
  pkt->stream_index = FOv->index;
  av_packet_rescale_ts(pkt, FIn.ic->streams[FIn.v]->time_base, FOv->time_base);
  const int r = av_interleaved_write_frame(FOc.get(), pkt);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
  FPictures++;
  FPosition = std::max(FPosition, av_rescale_q(end, FIn.ic->streams[FIn.v]->time_base, AV_TIME_BASE_Q));
  const int64_t now = av_gettime_relative();
  if (FHost.Progress && (FLastProgress == INT64_MIN || now - FLastProgress >= 100000)) {
    FLastProgress = now;
    TExactCopyProgress p;
    p.Pictures = FPictures;
    p.Position = FPosition;
    p.Duration = FDuration;
    p.Size = FOc->pb ? avio_tell(FOc->pb) : 0;
    FHost.Progress(p);
  }
}

void TExactRun::WriteAudio(AVPacket* pkt) {
  const int64_t t = PacketTime(pkt);
  if (t == AV_NOPTS_VALUE || t < FAudioStart || t >= FAudioEnd) return;
  pkt->pts = pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : pkt->pts - FAudioStart;
  pkt->dts = pkt->dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : pkt->dts - FAudioStart;
  pkt->stream_index = FOa->index;
  av_packet_rescale_ts(pkt, FIn.ic->streams[FIn.a]->time_base, FOa->time_base);
  const int r = av_interleaved_write_frame(FOc.get(), pkt);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
}

void TExactRun::EncodeFrame(AVFrame* frame, bool head) {
  TCodecContextPtr& enc = head ? FHeadEnc : FTailEnc;
  const AVStream* iv = FIn.ic->streams[FIn.v];
  std::string e;
  if (!enc) {
    enc = OpenEncoder(iv, FSetup, &e);
    if (!enc) throw std::runtime_error(e);
  }
  if (frame) {
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->pts = av_rescale_q(frame->pts - FL.firstPts, iv->time_base, enc->time_base);
  }
  int r = avcodec_send_frame(enc.get(), frame);
  if (r < 0 && r != AVERROR_EOF) throw std::runtime_error(ErrorText("Video encoding failed", r));
  TPacketPtr pkt = NewPacket();
  for (;;) {
    r = avcodec_receive_packet(enc.get(), pkt.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) throw std::runtime_error(ErrorText("Video encoding failed", r));
    av_packet_rescale_ts(pkt.get(), enc->time_base, iv->time_base);
    pkt->dts = pkt->pts - FL.delay;
    if (iv->codecpar->codec_id == AV_CODEC_ID_H264 && FSetup.globalHeader &&
        !ToLengthPrefixed(pkt.get(), FSetup.srcConfig.LengthSize))
      throw std::runtime_error("A picture is too big for the stream's NAL length size");
    std::deque<TPacketPtr>& to = head ? FPendingHead : FPendingTail;
    to.push_back(NewPacket());
    av_packet_move_ref(to.back().get(), pkt.get());
    av_packet_unref(pkt.get());
  }
}

void TExactRun::FeedDecoder(TCodecContextPtr& dec, const AVPacket* pkt, bool head) {
  std::string e;
  if (!dec) {
    dec = OpenDecoder(FIn.ic->streams[FIn.v], &e);
    if (!dec) throw std::runtime_error(e);
  }
  int r = avcodec_send_packet(dec.get(), pkt);
  if (r < 0 && r != AVERROR_EOF && r != AVERROR_INVALIDDATA)
    throw std::runtime_error(ErrorText("Video decoding failed", r));
  TFramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  for (;;) {
    r = avcodec_receive_frame(dec.get(), frame.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) throw std::runtime_error(ErrorText("Video decoding failed", r));
    int64_t t = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    frame->pts = t;
    const std::set<int64_t>& want = head ? FL.headPts : FL.tailPts;
    if (want.count(t)) EncodeFrame(frame.get(), head);
    if (head && !FHeadDone && t >= FL.headUntil) FinishHead();
    if (!head && !FTailDone && t >= *FL.tailPts.rbegin()) {
      FTailDone = true;
      FlushEncoder(false);
    }
    av_frame_unref(frame.get());
  }
}

void TExactRun::FlushEncoder(bool head) {
  if ((head ? FHeadEnc : FTailEnc)) EncodeFrame(nullptr, head);
}

void TExactRun::FinishHead() {
  if (FHeadDone) return;
  FHeadDone = true;
  FlushEncoder(true);
  while (!FPendingHead.empty()) {
    EmitVideo(FPendingHead.front().get());
    FPendingHead.pop_front();
  }
  while (!FPendingCopy.empty()) {
    EmitVideo(FPendingCopy.front().get());
    FPendingCopy.pop_front();
  }
}

void TExactRun::DrainTail(bool force) {
  if (!FCopyDone && !force) return;
  while (!FPendingTail.empty()) {
    EmitVideo(FPendingTail.front().get());
    FPendingTail.pop_front();
  }
}

bool TExactRun::Run(TExactCopyPlan* plan, std::string* error) {
  try {
    if (!OpenInput(FInput, FOptions.RemoveAudio, &FIn, error)) return false;
    const AVOutputFormat* ofmt = av_guess_format(nullptr, FOutput.c_str(), nullptr);
    TExactCopyPlan local;
    if (!plan) plan = &local;
    if (!CheckCodec(FIn, ofmt, &FSetup, plan)) {
      plan->Exact = false;
      plan->Reason = FSetup.reason;
      *error = ExactCopyFallbackText(*plan);
      return false;
    }
    if (!BuildLayout(FIn, FInput, FOptions, &FL, error)) return false;
    const AVStream* iv = FIn.ic->streams[FIn.v];
    FillPlan(iv, FL, plan);
    plan->Exact = true;
    FDuration = plan->Duration;
    {
      const AVRational rate = iv->avg_frame_rate.num > 0 ? iv->avg_frame_rate : iv->r_frame_rate;
      FFrameTicks = rate.num > 0 ? av_rescale_q(1, av_inv_q(rate), iv->time_base) : 0;
    }
    Log(llInfo, FormatText("Frame-exact copy: %d pictures encoded before the copied part, %d copied, %d encoded after it.",
                           plan->HeadPictures, plan->CopiedPictures, plan->TailPictures));
    OpenOutput();
    if (FIn.a >= 0) {
      const AVStream* ia = FIn.ic->streams[FIn.a];
      const AVRational vtb = iv->time_base;
      FAudioStart = av_rescale_q(FL.firstPts, vtb, ia->time_base);
      FAudioEnd = FL.E == INT64_MAX ? INT64_MAX : av_rescale_q(FL.E, vtb, ia->time_base);
    }
    FHeadDone = FL.headFrom < 0;
    FTailDone = FL.tailFrom < 0;
    FCopyDone = FL.lastCopy < 0;

    // Replays the reading of the plan: the same position, the same first key frame.
    Position(FIn, FL.seekTs, FInput, error);
    TPacketPtr pkt = NewPacket();
    int idx = -1;
    const int n = static_cast<int>(FL.recs.size());
    bool stopped = false;
    while (!(FHeadDone && FCopyDone && FTailDone && idx >= n - 1)) {
      if (FHost.Gate) FHost.Gate();
      if (Stopped()) {
        stopped = true;
        break;
      }
      const int r = av_read_frame(FIn.ic.get(), pkt.get());
      if (r == AVERROR_EOF) break;
      if (r < 0) throw std::runtime_error(ErrorText(FInput, r));
      if (pkt->stream_index == FIn.a && FOa) {
        // Some containers store sound well ahead of the pictures of the same time.
        WriteAudio(pkt.get());
        av_packet_unref(pkt.get());
        continue;
      }
      if (pkt->stream_index != FIn.v) {
        av_packet_unref(pkt.get());
        continue;
      }
      if (idx < 0 && !((pkt->flags & AV_PKT_FLAG_KEY) && PacketTime(pkt.get()) != AV_NOPTS_VALUE)) {
        av_packet_unref(pkt.get());
        continue;
      }
      if (++idx >= n) {
        av_packet_unref(pkt.get());
        if (FHeadDone && FCopyDone && FTailDone) break;
        // Past the planned records only the decoders still want packets.
        continue;
      }
      if (PacketTime(pkt.get()) != FL.recs[static_cast<size_t>(idx)].pts)
        throw std::runtime_error(FInput + ": the file reads differently the second time");
      if (!FHeadDone && idx >= FL.headFrom) FeedDecoder(FHeadDec, pkt.get(), true);
      if (!FTailDone && FL.tailFrom >= 0 && idx >= FL.tailFrom) FeedDecoder(FTailDec, pkt.get(), false);
      if (FL.part[static_cast<size_t>(idx)] == TPart::Copy) {
        TPacketPtr copy = NewPacket();
        av_packet_ref(copy.get(), pkt.get());
        copy->pts -= FL.firstPts;
        copy->dts = FL.copyDts[static_cast<size_t>(idx)] - FL.firstPts;
        if (FHeadDone) EmitVideo(copy.get());
        else FPendingCopy.push_back(std::move(copy));
      }
      if (idx >= FL.lastCopy && !FCopyDone && FHeadDone) FCopyDone = true;
      if (FCopyDone) DrainTail(false);
      av_packet_unref(pkt.get());
    }
    // End of file, or a stop: what the decoders still hold, then everything in order.
    if (!stopped) {
      if (!FHeadDone) FeedDecoder(FHeadDec, nullptr, true);
      if (!FTailDone && FTailDec) FeedDecoder(FTailDec, nullptr, false);
    }
    FinishHead();
    FCopyDone = true;
    if (!FTailDone) {
      FTailDone = true;
      FlushEncoder(false);
    }
    DrainTail(true);
    int r = av_write_trailer(FOc.get());
    if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
    FFileSize = FOc->pb ? avio_tell(FOc->pb) : 0;
    r = CloseFormatIO(FOc.get());
    FOc.reset();
    if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
    std::string err;
    if (!FFile.Commit(&err)) throw std::runtime_error(err);
    if (FHost.Progress) {
      TExactCopyProgress p;
      p.Pictures = FPictures;
      p.Position = FPosition;
      p.Duration = FDuration;
      p.Size = FFileSize;
      FHost.Progress(p);
    }
    if (stopped) Log(llInfo, "Frame-exact copy stopped; the output holds what was written.");
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    FOc.reset();  // closes the file first when it is still open
    FFile.Discard();
    return false;
  }
}

}  // namespace

bool PlanExactCopy(const std::string& input, const TExactCopyOptions& options,
                   TExactCopyPlan* plan, std::string* error) {
  std::string err;
  if (!error) error = &err;
  try {
    TInput in;
    if (!OpenInput(input, options.RemoveAudio, &in, error)) return false;
    *plan = TExactCopyPlan();
    TEncoderSetup setup;
    const AVOutputFormat* ofmt = av_guess_format(nullptr, input.c_str(), nullptr);
    if (!CheckCodec(in, ofmt, &setup, plan)) {
      plan->Exact = false;
      plan->Reason = setup.reason;
      return true;
    }
    TLayout L;
    if (!BuildLayout(in, input, options, &L, error)) return false;
    FillPlan(in.ic->streams[in.v], L, plan);
    plan->Exact = true;
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

bool RunExactCopy(const std::string& input, const std::string& output,
                  const TExactCopyOptions& options, const TExactCopyHost& host,
                  TExactCopyPlan* plan, std::string* error) {
  std::string err;
  if (!error) error = &err;
  TExactRun run(input, output, options, host);
  return run.Run(plan, error);
}

std::string ExactCopyFallbackText(const TExactCopyPlan& plan) {
  return "Frame-exact copy is not possible here (" + plan.Reason +
         "); the range is copied from the first key frame at or after the start.";
}
