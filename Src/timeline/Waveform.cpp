#include "timeline/Waveform.h"

#include <algorithm>
#include <cmath>
#include <list>
#include <mutex>

#include "runtime/MediaTexts.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// Fine enough for one picture per few pixels; a very long file gets longer buckets instead
// of more than a few megabytes of them.
constexpr int64_t kBucketUs = 10000;
constexpr int64_t kMaxBuckets = 1000000;

// Loudest magnitude, 0..1, of samples [from, to) of every channel.
template <typename T>
float PeakOf(const AVFrame* f, int from, int to, bool planar, int channels, double scale, double zero) {
  double peak = 0;
  if (planar) {
    for (int ch = 0; ch < channels; ++ch) {
      const T* p = reinterpret_cast<const T*>(f->extended_data[ch]);
      for (int i = from; i < to; ++i) peak = std::max(peak, std::fabs(static_cast<double>(p[i]) - zero));
    }
  } else {
    const T* p = reinterpret_cast<const T*>(f->data[0]);
    for (int i = from * channels; i < to * channels; ++i)
      peak = std::max(peak, std::fabs(static_cast<double>(p[i]) - zero));
  }
  return static_cast<float>(std::min(1.0, peak * scale));
}

float Peak(const AVFrame* f, int from, int to) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(fmt);
  const int ch = f->ch_layout.nb_channels;
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8: return PeakOf<uint8_t>(f, from, to, planar, ch, 1.0 / 128, 128);
    case AV_SAMPLE_FMT_S16: return PeakOf<int16_t>(f, from, to, planar, ch, 1.0 / 32768, 0);
    case AV_SAMPLE_FMT_S32: return PeakOf<int32_t>(f, from, to, planar, ch, 1.0 / 2147483648.0, 0);
    case AV_SAMPLE_FMT_S64: return PeakOf<int64_t>(f, from, to, planar, ch, 1.0 / 9223372036854775808.0, 0);
    case AV_SAMPLE_FMT_FLT: return PeakOf<float>(f, from, to, planar, ch, 1.0, 0);
    case AV_SAMPLE_FMT_DBL: return PeakOf<double>(f, from, to, planar, ch, 1.0, 0);
    default: return 0;
  }
}

// Spreads a decoded frame over the buckets; `start` is its first sample's time.
void AddFrame(TPeakEnvelope* e, const AVFrame* f, int64_t start) {
  const int rate = f->sample_rate;
  if (rate <= 0 || f->nb_samples <= 0) return;
  int i = 0;
  // Sound before the first picture has no place on the timeline.
  if (start < 0) i = static_cast<int>(std::min<int64_t>(f->nb_samples, (-start * rate + 999999) / 1000000));
  while (i < f->nb_samples) {
    const int64_t t = start + static_cast<int64_t>(i) * 1000000 / rate;
    const int64_t bucket = t / e->BucketUs;
    const int64_t endUs = (bucket + 1) * e->BucketUs - start;
    const int end = static_cast<int>(std::clamp<int64_t>((endUs * rate + 999999) / 1000000, i + 1, f->nb_samples));
    if (bucket >= static_cast<int64_t>(e->Peaks.size())) e->Peaks.resize(bucket + 1, 0.0f);
    e->Peaks[bucket] = std::max(e->Peaks[bucket], Peak(f, i, end));
    i = end;
  }
}

int FirstAudioStream(const AVFormatContext* ic) {
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return static_cast<int>(i);
  return -1;
}

bool OpenAudioDecoder(const AVStream* st, TCodecContextPtr* out, std::string* error) {
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) {
    *error = "no decoder for the audio stream";
    return false;
  }
  out->reset(avcodec_alloc_context3(codec));
  if (!*out) return *error = ErrorText(AVERROR(ENOMEM)), false;
  int r = avcodec_parameters_to_context(out->get(), st->codecpar);
  (*out)->pkt_timebase = st->time_base;
  if (r >= 0) r = avcodec_open2(out->get(), codec, nullptr);
  if (r < 0) *error = ErrorText(r);
  return r >= 0;
}

struct TAudioRun {
  AVFormatContext* Ic;
  const AVStream* St;
  AVCodecContext* Dec;
  int64_t Origin;  // stream ticks of time 0
  TPeakEnvelope* Out;
  int64_t NextStart = 0;  // where a frame without a time goes

  void Take(const AVFrame* f) {
    const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    const int64_t start = ts != AV_NOPTS_VALUE ? av_rescale_q(ts - Origin, St->time_base, AV_TIME_BASE_Q) : NextStart;
    AddFrame(Out, f, start);
    if (f->sample_rate > 0) NextStart = start + static_cast<int64_t>(f->nb_samples) * 1000000 / f->sample_rate;
  }
  // Receives what the decoder has; false on a failure.
  bool Receive(AVFrame* f) {
    for (;;) {
      const int r = avcodec_receive_frame(Dec, f);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) return false;
      Take(f);
      av_frame_unref(f);
    }
  }
};

// Reads and decodes to the end; false when cancelled.
bool DecodeAll(TAudioRun& run, const std::atomic<bool>* cancel, const std::function<void(double)>& onProgress) {
  TPacketPtr pkt(av_packet_alloc());
  TFramePtr frame(av_frame_alloc());
  if (!pkt || !frame) return false;
  TProgressStep step;
  const int index = run.St->index;
  for (;;) {
    if (cancel && cancel->load()) return false;
    const int r = av_read_frame(run.Ic, pkt.get());
    if (r == AVERROR(EAGAIN)) continue;
    if (r < 0) break;  // the end, or a damaged tail: what was read stays
    if (pkt->stream_index == index) {
      // A damaged packet costs its own sound only.
      avcodec_send_packet(run.Dec, pkt.get());
      run.Receive(frame.get());
      if (onProgress && run.Out->Duration > 0 && step.Next(static_cast<double>(run.NextStart) / run.Out->Duration))
        onProgress(std::clamp(static_cast<double>(run.NextStart) / run.Out->Duration, 0.0, 1.0));
    }
    av_packet_unref(pkt.get());
  }
  if (cancel && cancel->load()) return false;
  avcodec_send_packet(run.Dec, nullptr);
  run.Receive(frame.get());
  return true;
}

struct TEnvelopeCache {
  std::mutex Lock;
  std::list<std::pair<std::string, std::shared_ptr<const TPeakEnvelope>>> Files;  // newest first
};

TEnvelopeCache& Cache() {
  static TEnvelopeCache cache;
  return cache;
}

std::shared_ptr<const TPeakEnvelope> Cached(const std::string& key) {
  if (key.empty()) return nullptr;
  std::lock_guard<std::mutex> guard(Cache().Lock);
  for (const auto& f : Cache().Files)
    if (f.first == key) return f.second;
  return nullptr;
}

void Remember(const std::string& key, std::shared_ptr<const TPeakEnvelope> e) {
  if (key.empty()) return;
  std::lock_guard<std::mutex> guard(Cache().Lock);
  auto& files = Cache().Files;
  files.remove_if([&](const auto& f) { return f.first == key; });
  files.emplace_front(key, std::move(e));
  if (files.size() > 4) files.pop_back();
}

bool Compute(const std::string& path, TPeakEnvelope* out, std::string* error, const std::atomic<bool>* cancel,
             const std::function<void(double)>& onProgress) {
  TInputFormatPtr ic;
  if (OpenTimelineInput(path, cancel, &ic, error) < 0) return false;
  const int index = FirstAudioStream(ic.get());
  if (index < 0) return *error = path + ": no audio stream", false;
  for (unsigned i = 0; i < ic->nb_streams; i++)
    if (static_cast<int>(i) != index) ic->streams[i]->discard = AVDISCARD_ALL;
  const AVStream* st = ic->streams[index];
  TCodecContextPtr dec;
  if (!OpenAudioDecoder(st, &dec, error)) return false;
  TPeakEnvelope e;
  const int64_t origin = TimelineOrigin(ic.get(), st);
  if (ic->duration != AV_NOPTS_VALUE && ic->duration > 0)
    e.Duration = std::max<int64_t>(0, (ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0) + ic->duration -
                                          av_rescale_q(origin, st->time_base, AV_TIME_BASE_Q));
  e.BucketUs = std::max(kBucketUs, e.Duration / kMaxBuckets + 1);
  e.Peaks.reserve(static_cast<size_t>(e.Duration / e.BucketUs + 1));
  TAudioRun run{ic.get(), st, dec.get(), origin, &e};
  if (!DecodeAll(run, cancel, onProgress)) return false;
  e.Duration = std::max(e.Duration, run.NextStart);
  e.Peaks.resize(static_cast<size_t>((e.Duration + e.BucketUs - 1) / e.BucketUs), 0.0f);
  if (onProgress) onProgress(1);
  *out = std::move(e);
  return true;
}

}  // namespace

std::vector<float> PeaksForSpan(const TPeakEnvelope& e, int64_t from, int64_t to, int columns) {
  std::vector<float> peaks(std::max(columns, 0), 0.0f);
  if (columns <= 0 || to <= from || e.BucketUs <= 0) return peaks;
  const int64_t count = static_cast<int64_t>(e.Peaks.size());
  for (int c = 0; c < columns; ++c) {
    const int64_t a = from + static_cast<int64_t>(static_cast<long double>(to - from) * c / columns);
    const int64_t b = from + static_cast<int64_t>(static_cast<long double>(to - from) * (c + 1) / columns);
    const int64_t first = std::max<int64_t>(0, a / e.BucketUs);
    // A column narrower than a bucket takes the bucket it starts in.
    const int64_t last = std::min(count, std::max(first + 1, (b + e.BucketUs - 1) / e.BucketUs));
    for (int64_t i = first; i < last; ++i) peaks[c] = std::max(peaks[c], e.Peaks[i]);
  }
  return peaks;
}

bool ComputePeakEnvelope(const std::string& path, TPeakEnvelope* out, std::string* error,
                         const std::atomic<bool>* cancel, const std::function<void(double)>& onProgress) {
  std::string err;
  if (!error) error = &err;
  error->clear();
  const std::string key = FileCacheKey(path);
  if (auto cached = Cached(key)) {
    *out = *cached;
    if (onProgress) onProgress(1);
    return true;
  }
  TPeakEnvelope e;
  if (!Compute(path, &e, error, cancel, onProgress)) {
    if (cancel && cancel->load()) error->clear();
    return false;
  }
  Remember(key, std::make_shared<const TPeakEnvelope>(e));
  *out = std::move(e);
  return true;
}

void ClearWaveformCache() {
  std::lock_guard<std::mutex> guard(Cache().Lock);
  Cache().Files.clear();
}

void TWaveformProducer::Start(const std::string& path, int columns) {
  FRun.Start([this, path, columns](const TBackgroundRun::TContext& context) {
    auto envelope = std::make_shared<TPeakEnvelope>();
    std::string error;
    const bool ok = ComputePeakEnvelope(path, envelope.get(), &error, &context.Cancel(), [&](double share) {
      context.Post([this, share] {
        if (OnProgress) OnProgress(share);
      });
    });
    std::vector<float> peaks;
    if (ok) peaks = PeaksForSpan(*envelope, 0, envelope->Duration, columns);
    context.Post([this, ok, peaks = std::move(peaks), envelope = std::shared_ptr<const TPeakEnvelope>(envelope), error] {
      if (OnDone) OnDone(ok, peaks, envelope, error);
    });
  });
}
