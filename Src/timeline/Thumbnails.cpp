#include "timeline/Thumbnails.h"

#include <algorithm>
#include <limits>

#include "runtime/MediaTexts.h"
#include "timeline/ThumbnailParts.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

constexpr int64_t kEnd = std::numeric_limits<int64_t>::max();

struct TRun {
  const TThumbnailRequest& Request;
  const std::function<void(const TThumbnail&)>& OnThumbnail;
  const std::function<void(double)>& OnProgress;
  const std::atomic<bool>* Cancel;
  TThumbnailStats Stats;
  TProgressStep Step;
  TFileThumbnails Work;  // what the cache had, and what this run adds
  TFileThumbnails Made;  // what this run adds
  bool Quiet = false;    // nothing is delivered
  int64_t Counted = 0;   // video packets read from the start; -1 after a seek

  bool Cancelled() const { return Cancel && Cancel->load(); }
  void Progress(double share) {
    if (OnProgress && Step.Next(share)) OnProgress(std::clamp(share, 0.0, 1.0));
  }
  void Keep(const TThumbnail& t) {
    Work.Pictures[t.Time] = t;
    Made.Pictures[t.Time] = t;
  }
  void Know(int64_t from, int64_t to) {
    Work.Known.Add(from, to);
    Made.Known.Add(from, to);
  }
  void Deliver(const TThumbnail& t, int slot) {
    if (Quiet) return;
    if (slot < 0 || t.Slot == slot) return OnThumbnail(t);
    TThumbnail copy = t;
    copy.Slot = slot;
    OnThumbnail(copy);
  }
  int64_t SlotTime(int64_t from, int64_t to, int i) const {
    return from + static_cast<int64_t>(static_cast<long double>(to - from) * i / Request.Count);
  }
};

// The key frame at or before t, when what is known says so.
const TThumbnail* Known(const TFileThumbnails& f, int64_t t) {
  auto it = f.Pictures.upper_bound(t);
  if (it == f.Pictures.begin()) return nullptr;
  --it;
  return f.Known.Covers(it->first, t + 1) ? &it->second : nullptr;
}

// Serves the whole request from the cache; false when something is missing.
bool ServeFromCache(TRun& run) {
  const TThumbnailRequest& q = run.Request;
  const int64_t from = std::max<int64_t>(q.From, 0);
  if (q.Count <= 0) {
    const int64_t to = q.To > q.From ? q.To : kEnd;
    if (!run.Work.Known.Covers(from, to)) return false;
    for (auto it = run.Work.Pictures.lower_bound(from); it != run.Work.Pictures.end() && it->first < to; ++it) {
      run.Deliver(it->second, -1);
      run.Stats.FromCache++;
    }
  } else {
    const int64_t to = q.To > q.From ? q.To : run.Work.Duration;
    if (to <= from) return false;
    for (int i = 0; i < q.Count; ++i)
      if (!Known(run.Work, run.SlotTime(from, to, i))) return false;
    for (int i = 0; i < q.Count; ++i) {
      run.Deliver(*Known(run.Work, run.SlotTime(from, to, i)), i);
      run.Stats.FromCache++;
    }
  }
  run.Progress(1);
  return true;
}

int64_t PacketTime(const TKeyFrameDecoder& dec, const AVPacket* pkt) {
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  return ts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : dec.ToMicroseconds(ts);
}

// A stream without any timestamps (raw streams) has its pictures counted from the start, so
// that each key frame gets its time.
void StampUntimed(TRun& run, const AVStream* st, AVPacket* pkt) {
  if (run.Counted < 0) return;
  const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
  if (pkt->pts == AV_NOPTS_VALUE && pkt->dts == AV_NOPTS_VALUE && rate.num > 0 && rate.den > 0)
    pkt->pts = pkt->dts = av_rescale_q(run.Counted, av_inv_q(rate), st->time_base) +
                          (st->start_time != AV_NOPTS_VALUE ? st->start_time : 0);
  run.Counted++;
}

// Reads the next key-frame packet of the stream; 0, AVERROR_EOF, AVERROR_EXIT (cancelled) or
// another error.
int ReadKeyPacket(TRun& run, AVFormatContext* ic, int index, AVPacket* pkt) {
  for (;;) {
    if (run.Cancelled()) return AVERROR_EXIT;
    const int r = av_read_frame(ic, pkt);
    if (r == AVERROR(EAGAIN)) continue;
    if (r < 0) return run.Cancelled() ? AVERROR_EXIT : r;
    if (pkt->stream_index == index) {
      StampUntimed(run, ic->streams[index], pkt);
      if (pkt->flags & AV_PKT_FLAG_KEY) return 0;
    }
    av_packet_unref(pkt);
  }
}

// Seeks so that the first key-frame packet read (into *first) is at or before t, or is the
// file's first one. Formats without an index seek by guessing and may land after t: they are
// sent further back, and to their first byte at last.
int SeekNotAfter(TRun& run, AVFormatContext* ic, int index, const TKeyFrameDecoder& dec, int64_t t, AVPacket* first) {
  int64_t target = t, back = 1000000;
  bool byStart = false;
  run.Counted = -1;
  for (;;) {
    const bool seeked = byStart ? av_seek_frame(ic, -1, 0, AVSEEK_FLAG_BYTE) >= 0
                                : av_seek_frame(ic, index, dec.ToTicks(target), AVSEEK_FLAG_BACKWARD) >= 0;
    const int r = ReadKeyPacket(run, ic, index, first);
    if (r < 0 && r != AVERROR_EOF) return r;
    // Landed after t, or after the last key frame.
    const int64_t k = r < 0 ? AV_NOPTS_VALUE : PacketTime(dec, first);
    const bool late = r < 0 || (k != AV_NOPTS_VALUE && k > t);
    if (!late || !seeked || byStart) return r;
    if (target <= 0) {
      if (ic->iformat->flags & AVFMT_NO_BYTE_SEEK) return r;
      byStart = true;
    }
    target = std::max<int64_t>(0, target - std::max(back, k == AV_NOPTS_VALUE ? 0 : 2 * (k - t)));
    back *= 2;
    av_packet_unref(first);
  }
}

// The last key-frame packet at or before t (else the file's first), into *best.
int FindKeyFrame(TRun& run, AVFormatContext* ic, int index, const TKeyFrameDecoder& dec, int64_t t,
                 AVPacket* best) {
  int r = SeekNotAfter(run, ic, index, dec, t, best);
  if (r < 0) return r;
  TPacketPtr pkt(av_packet_alloc());
  if (!pkt) return AVERROR(ENOMEM);
  for (;;) {
    r = ReadKeyPacket(run, ic, index, pkt.get());
    if (r == AVERROR_EOF) return 0;
    if (r < 0) return r;
    const int64_t k = PacketTime(dec, pkt.get());
    if (k != AV_NOPTS_VALUE && k > t) return 0;
    av_packet_unref(best);
    av_packet_move_ref(best, pkt.get());
  }
}

// Every key frame of [from, to), read in file order from the key frame before `from`.
bool EveryKeyFrame(TRun& run, AVFormatContext* ic, int index, TKeyFrameDecoder& dec, int64_t from, int64_t to) {
  const int64_t size = ic->pb ? avio_size(ic->pb) : -1;
  auto keep = [&](TThumbnail&& t) {
    if (t.Time < from || t.Time >= to) return;
    run.Keep(t);
    run.Deliver(t, -1);
  };
  TPacketPtr pkt(av_packet_alloc());
  if (!pkt) return false;
  // A freshly opened file is at its start already.
  int r = from > 0 ? SeekNotAfter(run, ic, index, dec, from, pkt.get()) : ReadKeyPacket(run, ic, index, pkt.get());
  while (r >= 0) {
    const int64_t t = PacketTime(dec, pkt.get());
    if (t != AV_NOPTS_VALUE && t >= to) break;
    const int64_t pos = pkt->pos;
    if (t == AV_NOPTS_VALUE || t >= from) r = dec.Decode(pkt.get(), keep);
    av_packet_unref(pkt.get());
    if (to != kEnd && t != AV_NOPTS_VALUE)
      run.Progress(static_cast<double>(t - from) / static_cast<double>(to - from));
    else if (size > 0 && pos > 0)
      run.Progress(static_cast<double>(pos) / static_cast<double>(size));
    if (r >= 0) r = ReadKeyPacket(run, ic, index, pkt.get());
  }
  if (r == AVERROR_EXIT) return false;
  // A damaged tail ends the strip; what was made stays valid.
  dec.Decode(nullptr, keep);
  if (r >= 0 || r == AVERROR_EOF) run.Know(from, to);
  run.Progress(1);
  return true;
}

// The picture for time t: known already, or the key frame at or before it decoded now. Null
// when there is none or it cannot be decoded (*r 0 or AVERROR_EOF), or on a failure.
const TThumbnail* SlotPicture(TRun& run, AVFormatContext* ic, int index, TKeyFrameDecoder& dec, int64_t t,
                              AVPacket* pkt, int* r) {
  *r = 0;
  if (const TThumbnail* known = Known(run.Work, t)) {
    run.Stats.FromCache++;
    return known;
  }
  *r = FindKeyFrame(run, ic, index, dec, t, pkt);
  if (*r < 0) return nullptr;
  auto have = run.Work.Pictures.find(PacketTime(dec, pkt));
  if (have == run.Work.Pictures.end()) {
    TThumbnail made;
    // A key frame before an edit list's start is not shown, yet it is the picture there.
    pkt->flags &= ~AV_PKT_FLAG_DISCARD;
    dec.Decode(pkt, [&](TThumbnail&& th) { made = std::move(th); });
    dec.Decode(nullptr, [&](TThumbnail&& th) { made = std::move(th); });
    dec.Flush();
    if (made.Rgb.empty()) return nullptr;
    run.Keep(made);
    have = run.Work.Pictures.find(made.Time);
  }
  av_packet_unref(pkt);
  run.Know(std::min(have->first, t), t + 1);
  return &have->second;
}

// Count pictures: each the key frame at or before its slot's time. A slot whose key frame
// cannot be decoded stays empty.
bool SlotPictures(TRun& run, AVFormatContext* ic, int index, TKeyFrameDecoder& dec, int64_t from, int64_t to,
                  std::string* error) {
  TPacketPtr pkt(av_packet_alloc());
  if (!pkt) return false;
  int delivered = 0;
  for (int i = 0; i < run.Request.Count; ++i) {
    if (run.Cancelled()) return false;
    int r = 0;
    const TThumbnail* picture = SlotPicture(run, ic, index, dec, run.SlotTime(from, to, i), pkt.get(), &r);
    if (r == AVERROR_EXIT) return false;
    if (r < 0 && r != AVERROR_EOF) return *error = ErrorText(r), false;
    if (picture) {
      run.Deliver(*picture, i);
      ++delivered;
    }
    run.Progress(static_cast<double>(i + 1) / run.Request.Count);
  }
  if (!delivered) *error = "no key frame could be decoded";
  return delivered > 0;
}

// Without a duration the key frames are all read first (quietly); the span ends at the last.
int64_t EndFromKeyFrames(TRun& run, AVFormatContext* ic, int index, TKeyFrameDecoder& dec) {
  run.Quiet = true;
  const bool ok = EveryKeyFrame(run, ic, index, dec, 0, kEnd);
  run.Quiet = false;
  dec.Flush();
  return ok && !run.Work.Pictures.empty() ? run.Work.Pictures.rbegin()->first + 1 : -1;
}

// Microseconds from the first picture to the end, -1 unknown.
int64_t Duration(const AVFormatContext* ic, const AVStream* st, const TKeyFrameDecoder& dec) {
  if (ic->duration != AV_NOPTS_VALUE && ic->duration > 0) {
    const int64_t start = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    return std::max<int64_t>(0, start + ic->duration - dec.OriginMicroseconds());
  }
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0) return av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q);
  return -1;
}

bool Produce(TRun& run, const std::string& path, std::string* error) {
  TInputFormatPtr ic;
  if (OpenTimelineInput(path, run.Cancel, &ic, error) < 0) return false;
  const int index = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    *error = path + ": no video stream";
    return false;
  }
  for (unsigned i = 0; i < ic->nb_streams; i++)
    if (static_cast<int>(i) != index) ic->streams[i]->discard = AVDISCARD_ALL;
  TKeyFrameDecoder dec;
  if (!dec.Open(ic.get(), index, run.Request.Height, error)) return false;
  dec.SetCancel(run.Cancel);
  run.Work.Duration = run.Made.Duration = Duration(ic.get(), ic->streams[index], dec);
  const TThumbnailRequest& q = run.Request;
  const int64_t from = std::max<int64_t>(q.From, 0);
  bool ok;
  if (q.Count <= 0) {
    ok = EveryKeyFrame(run, ic.get(), index, dec, from, q.To > q.From ? q.To : kEnd);
  } else {
    int64_t to = q.To > q.From ? q.To : run.Work.Duration;
    if (to <= from && q.To <= q.From) to = EndFromKeyFrames(run, ic.get(), index, dec);
    if (to <= from) {
      if (!run.Cancelled()) *error = path + ": no key frame in the span";
      return false;
    }
    ok = SlotPictures(run, ic.get(), index, dec, from, to, error);
  }
  run.Stats.DecodedPictures = dec.Decoded();
  return ok;
}

}  // namespace

bool ProduceThumbnails(const std::string& path, const TThumbnailRequest& request,
                       const std::function<void(const TThumbnail&)>& onThumbnail, std::string* error,
                       const std::atomic<bool>* cancel, const std::function<void(double)>& onProgress,
                       TThumbnailStats* stats) {
  std::string err;
  if (!error) error = &err;
  error->clear();
  if (request.Height < 1 || request.Height > 4096 || request.Count < 0) {
    *error = "bad thumbnail request";
    return false;
  }
  TRun run{request, onThumbnail, onProgress, cancel, {}, {}, {}, {}, false, 0};
  const std::string key = FileCacheKey(path) + "|" + std::to_string(request.Height);
  ThumbnailCache::Get(key, &run.Work);
  bool ok = ServeFromCache(run);
  if (!ok) {
    ok = Produce(run, path, error);
    ThumbnailCache::Merge(key, run.Made);
  }
  if (run.Cancelled()) error->clear();
  if (stats) *stats = run.Stats;
  return ok;
}

void TThumbnailProducer::Start(const std::string& path, const TThumbnailRequest& request) {
  FDecoded = FFromCache = 0;
  FRun.Start([this, path, request](const TBackgroundRun::TContext& context) {
    std::string error;
    TThumbnailStats stats;
    const bool ok = ProduceThumbnails(
        path, request,
        [&](const TThumbnail& t) {
          context.Post([this, t] {
            if (OnThumbnail) OnThumbnail(t);
          });
        },
        &error, &context.Cancel(),
        [&](double share) {
          context.Post([this, share] {
            if (OnProgress) OnProgress(share);
          });
        },
        &stats);
    FDecoded = stats.DecodedPictures;
    FFromCache = stats.FromCache;
    context.Post([this, ok, error] {
      if (OnDone) OnDone(ok, error);
    });
  });
}

TThumbnailStats TThumbnailProducer::Stats() const { return TThumbnailStats{FDecoded, FFromCache}; }
