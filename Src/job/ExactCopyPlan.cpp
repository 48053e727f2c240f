// The frame-exact copy's plan: reads the range's video packets once (never decoding), finds
// the first and last key frames a copy may begin and end with, and divides the pictures into
// the head, the copied part and the tail. Hands the layout on to the run (ExactCopyRun.cpp).
#include "job/ExactCopyPlan.h"

#include <algorithm>
#include <stdexcept>

#include "job/CutJob.h"
#include "runtime/MediaTexts.h"
#include "runtime/NalUnits.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace exactcopy {

namespace {

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

int64_t ToStreamTs(const AVStream* st, int64_t us) {
  int64_t ts = av_rescale_q(us, AV_TIME_BASE_Q, st->time_base);
  if (st->start_time != AV_NOPTS_VALUE) ts += st->start_time;
  return ts;
}

int64_t ToMicroseconds(const AVStream* st, int64_t ts) {
  if (st->start_time != AV_NOPTS_VALUE) ts -= st->start_time;
  return av_rescale_q(ts, st->time_base, AV_TIME_BASE_Q);
}

// H.264 decoders take new parameter sets only at an IDR picture; other key frames (the
// recovery points of open groups of pictures) cannot follow an encoded part. HEVC may begin
// at any random-access picture: after an end of sequence a CRA starts afresh.
bool CopyMayStartAt(const AVPacket* pkt, const AVCodecParameters* par) {
  if (par->codec_id == AV_CODEC_ID_H264) return IsH264Idr(pkt, par);
  if (par->codec_id == AV_CODEC_ID_HEVC) return IsCleanRandomAccess(pkt, par);
  return true;
}

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

// The encoder that re-encodes a codec's pictures; null for a codec that cannot be cut exactly.
const char* EncoderFor(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264: return "libx264";
    case AV_CODEC_ID_MPEG2VIDEO: return "mpeg2video";
    case AV_CODEC_ID_MPEG4: return "mpeg4";
    case AV_CODEC_ID_H263: return "h263";
    case AV_CODEC_ID_HEVC: return "libx265";
    case AV_CODEC_ID_VP9: return "libvpx-vp9";
    case AV_CODEC_ID_AV1: return "libsvtav1";
    default: return nullptr;
  }
}

// Main and Main 10 at 4:2:0, the profiles x265 encodes to match.
bool CheckHevc(const AVCodecParameters* par, TEncoderSetup* s) {
  const bool main = par->profile == FF_PROFILE_HEVC_MAIN || par->profile == FF_PROFILE_HEVC_MAIN_10 ||
                    par->profile == FF_PROFILE_UNKNOWN;
  if (!main) {
    s->reason = "the HEVC profile cannot be encoded again";
    return false;
  }
  if (par->format != AV_PIX_FMT_YUV420P && par->format != AV_PIX_FMT_YUVJ420P &&
      par->format != AV_PIX_FMT_YUV420P10LE) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format));
    s->reason = std::string("the pixel format ") + (name ? name : "?") + " cannot be encoded again";
    return false;
  }
  s->hevcSets = HevcParameterSets(par->extradata, static_cast<size_t>(std::max(0, par->extradata_size)));
  if (s->hevcSets.empty()) {
    s->reason = "the HEVC stream has no parameter sets to repeat";
    return false;
  }
  return true;
}

// Plain H.263 knows five picture sizes only.
bool H263Size(int w, int h) {
  for (int k = 1; k <= 8; k *= 2)
    if (w == 176 * k && h == 144 * k) return true;
  return w == 128 && h == 96;
}

int64_t RangeEnd(const TExactCopyOptions& o) { return o.End > o.Start ? o.End : INT64_MAX; }

}  // namespace

TPacketPtr NewPacket() {
  TPacketPtr p(av_packet_alloc());
  if (!p) throw std::bad_alloc();
  return p;
}

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

const AVOutputFormat* CopyOutputFormat(const std::string& name, const TInput& in) {
  const std::string container = CopyContainerName(name, in.ic->iformat->name);
  return container.empty() ? av_guess_format(nullptr, name.c_str(), nullptr)
                           : av_guess_format(container.c_str(), nullptr, nullptr);
}

int64_t PacketTime(const AVPacket* p) { return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts; }

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
  if (par->codec_id == AV_CODEC_ID_HEVC) return CheckHevc(par, s);
  if (par->codec_id == AV_CODEC_ID_H263 && !H263Size(par->width, par->height)) {
    s->reason = "the H.263 picture size " + std::to_string(par->width) + "x" + std::to_string(par->height) +
                " cannot be encoded again";
    return false;
  }
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

}  // namespace exactcopy

using namespace exactcopy;

bool PlanExactCopy(const std::string& input, const TExactCopyOptions& options,
                   TExactCopyPlan* plan, std::string* error) {
  std::string err;
  if (!error) error = &err;
  try {
    TInput in;
    if (!OpenInput(input, options.RemoveAudio, &in, error)) return false;
    *plan = TExactCopyPlan();
    TEncoderSetup setup;
    const AVOutputFormat* ofmt = CopyOutputFormat(input, in);
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

std::string ExactCopyFallbackText(const TExactCopyPlan& plan) {
  return "Frame-exact copy is not possible here (" + plan.Reason +
         "); the range is copied from the key frame at or before the start.";
}
