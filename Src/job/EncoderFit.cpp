#include "job/EncoderFit.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "runtime/FFOwners.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// A refused trial is expected; its complaint stays below every log level shown.
constexpr int kQuietTrial = 64;

constexpr int kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000};
constexpr int kBitRates[] = {8000,   12000,  16000,  24000,  32000,  40000,  48000,  56000,  64000,
                             80000,  96000,  112000, 128000, 160000, 192000, 224000, 256000, 320000,
                             384000, 448000, 512000, 576000, 640000};
constexpr AVRational kFrameRates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                      {50, 1},       {60000, 1001}, {60, 1}, {15, 1}, {12, 1}};

bool Same(int a, int b) { return a == b; }
bool Same(int64_t a, int64_t b) { return a == b; }
bool Same(const AVRational& a, const AVRational& b) { return av_cmp_q(a, b) == 0; }

// `first`, then the others by their distance from it (the lower one of a tie first).
template <typename T, typename Distance>
std::vector<T> Nearest(T first, std::vector<T> others, Distance distance) {
  std::stable_sort(others.begin(), others.end(),
                   [&](const T& a, const T& b) { return distance(a) < distance(b); });
  std::vector<T> out{first};
  for (const T& o : others)
    if (!Same(o, first)) out.push_back(o);
  return out;
}

bool TryAudio(const AVCodec* codec, int rate, int channels, int64_t bitRate, int sampleFormat) {
  TCodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return false;
  ctx->log_level_offset = kQuietTrial;
  ctx->sample_rate = rate;
  ctx->time_base = AVRational{1, rate};
  av_channel_layout_uninit(&ctx->ch_layout);
  av_channel_layout_default(&ctx->ch_layout, channels);
  ctx->sample_fmt = static_cast<AVSampleFormat>(sampleFormat);
  if (bitRate > 0) ctx->bit_rate = bitRate;
  ctx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  return avcodec_open2(ctx.get(), codec, nullptr) >= 0;
}

bool TryVideo(const AVCodec* codec, int w, int h, AVRational rate, int pixelFormat, int64_t bitRate) {
  TCodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return false;
  ctx->log_level_offset = kQuietTrial;
  ctx->width = w;
  ctx->height = h;
  ctx->framerate = rate;
  ctx->time_base = av_inv_q(rate);
  ctx->pix_fmt = static_cast<AVPixelFormat>(pixelFormat);
  ctx->thread_count = 1;
  if (bitRate > 0) ctx->bit_rate = bitRate;
  return avcodec_open2(ctx.get(), codec, nullptr) >= 0;
}

int SampleFormatFor(const AVCodec* codec, int source) {
  if (!codec->sample_fmts) return source >= 0 ? source : AV_SAMPLE_FMT_S16;
  for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; f++)
    if (*f == source) return source;
  return codec->sample_fmts[0];
}

int PixelFormatFor(const AVCodec* codec, int source) {
  if (!codec->pix_fmts) return source >= 0 ? source : AV_PIX_FMT_YUV420P;
  return avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, static_cast<AVPixelFormat>(source), 0, nullptr);
}

std::vector<int> ChannelCandidates(const AVCodec* codec, int want) {
  std::vector<int> have;
  if (codec->ch_layouts)
    for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; l++) have.push_back(l->nb_channels);
  if (have.empty()) have = {1, 2, 6, 8};
  // Fewer channels before more: a downmix keeps what a made-up channel would not.
  return Nearest(want, have, [want](int n) { return n <= want ? want - n : 100.0 + n - want; });
}

std::vector<int> RateCandidates(const AVCodec* codec, int want) {
  std::vector<int> have;
  if (codec->supported_samplerates)
    for (const int* r = codec->supported_samplerates; *r; r++) have.push_back(*r);
  const bool listed = !have.empty();
  if (!listed) have.assign(std::begin(kRates), std::end(kRates));
  std::vector<int> out = Nearest(want, have, [want](int r) { return std::abs(r - want); });
  // A listed encoder never opens with an unlisted rate.
  if (listed && std::find(have.begin(), have.end(), want) == have.end()) out.erase(out.begin());
  return out;
}

}  // namespace

const AVCodec* OutputEncoder(const std::string& presetName, const std::string& suffix, bool audio) {
  if (!presetName.empty()) return avcodec_find_encoder_by_name(presetName.c_str());
  const AVOutputFormat* f = av_guess_format(nullptr, ("x" + suffix).c_str(), nullptr);
  if (!f) return nullptr;
  const AVCodecID id = audio ? f->audio_codec : f->video_codec;
  return id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_encoder(id);
}

bool FitAudio(const AVCodec* codec, const TAudioFit& want, int sampleFormat, bool mayAddBitRate, TAudioFit* fit) {
  if (!codec || want.SampleRate <= 0 || want.Channels <= 0) return false;
  const int format = SampleFormatFor(codec, sampleFormat);
  std::vector<int64_t> bitRates = {want.BitRate};
  // Without a rate of its own, a default that fails becomes a common one.
  const int64_t aim = want.BitRate > 0 ? want.BitRate : 128000;
  if (want.BitRate > 0 || mayAddBitRate)
    bitRates = Nearest<int64_t>(want.BitRate, std::vector<int64_t>(std::begin(kBitRates), std::end(kBitRates)),
                                [aim](int64_t b) { return static_cast<double>(std::llabs(b - aim)); });
  for (int channels : ChannelCandidates(codec, want.Channels))
    for (int rate : RateCandidates(codec, want.SampleRate))
      for (int64_t bitRate : bitRates)
        if (TryAudio(codec, rate, channels, bitRate, format)) {
          *fit = TAudioFit{rate, channels, bitRate};
          return true;
        }
  return false;
}

bool FitVideo(const AVCodec* codec, const TVideoFit& want, int pixelFormat, int64_t bitRate, TVideoFit* fit) {
  if (!codec || want.Width <= 0 || want.Height <= 0 || want.Rate.num <= 0 || want.Rate.den <= 0) return false;
  const int format = PixelFormatFor(codec, pixelFormat);
  std::vector<AVRational> have;
  if (codec->supported_framerates)
    for (const AVRational* r = codec->supported_framerates; r->num; r++) have.push_back(*r);
  if (have.empty()) have.assign(std::begin(kFrameRates), std::end(kFrameRates));
  const double target = av_q2d(want.Rate);
  const std::vector<AVRational> rates =
      Nearest(want.Rate, have, [target](const AVRational& r) { return std::fabs(av_q2d(r) - target); });
  std::vector<std::pair<int, int>> sizes;
  for (int step : {1, 2, 4, 16}) {
    const std::pair<int, int> s{want.Width / step * step, want.Height / step * step};
    if (s.first >= 16 && s.second >= 16 && std::find(sizes.begin(), sizes.end(), s) == sizes.end())
      sizes.push_back(s);
  }
  for (const AVRational& rate : rates)
    for (const auto& [w, h] : sizes)
      if (TryVideo(codec, w, h, rate, format, bitRate)) {
        *fit = TVideoFit{w, h, rate};
        return true;
      }
  return false;
}

std::string RateText(AVRational r) {
  return r.den == 1 ? std::to_string(r.num) : std::to_string(r.num) + "/" + std::to_string(r.den);
}
