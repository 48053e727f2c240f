// The encoder of the frame-exact copy's head and tail: set up per codec to give pictures the
// copied packets can follow in one stream (profile, bit depth, size, colour, HDR metadata,
// frame rate and aspect of the source), each part opening with a key frame of its own.
#include "job/ExactCopyPlan.h"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "runtime/MediaTexts.h"

extern "C" {
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <map>

namespace exactcopy {

namespace {

const uint8_t* SideData(const AVStream* st, const AVFrame* first, AVPacketSideDataType streamType,
                        AVFrameSideDataType frameType) {
  if (const uint8_t* d = av_stream_get_side_data(st, streamType, nullptr)) return d;
  if (!first) return nullptr;
  const AVFrameSideData* f = av_frame_get_side_data(first, frameType);
  return f ? f->data : nullptr;
}

struct THdr {
  const AVMasteringDisplayMetadata* display = nullptr;  // with primaries and luminance, or null
  const AVContentLightMetadata* light = nullptr;
};

THdr HdrOf(const AVStream* st, const AVFrame* first) {
  THdr h;
  h.display = reinterpret_cast<const AVMasteringDisplayMetadata*>(
      SideData(st, first, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA));
  if (h.display && !(h.display->has_primaries && h.display->has_luminance)) h.display = nullptr;
  h.light = reinterpret_cast<const AVContentLightMetadata*>(
      SideData(st, first, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL));
  return h;
}

// x265's master-display and max-cll texts of the source's HDR10 metadata ("" when it has none).
std::string X265HdrParams(const AVStream* st, const AVFrame* first) {
  std::string out;
  const THdr h = HdrOf(st, first);
  if (const AVMasteringDisplayMetadata* md = h.display) {
    auto c = [](AVRational q) { return static_cast<long long>(av_rescale(q.num, 50000, q.den)); };
    auto l = [](AVRational q) { return static_cast<long long>(av_rescale(q.num, 10000, q.den)); };
    char text[200];
    // x265 orders the primaries green, blue, red; the metadata red, green, blue.
    snprintf(text, sizeof text, ":master-display=G(%lld,%lld)B(%lld,%lld)R(%lld,%lld)WP(%lld,%lld)L(%lld,%lld)",
             c(md->display_primaries[1][0]), c(md->display_primaries[1][1]), c(md->display_primaries[2][0]),
             c(md->display_primaries[2][1]), c(md->display_primaries[0][0]), c(md->display_primaries[0][1]),
             c(md->white_point[0]), c(md->white_point[1]), l(md->max_luminance), l(md->min_luminance));
    out += text;
  }
  if (h.light) out += ":max-cll=" + std::to_string(h.light->MaxCLL) + "," + std::to_string(h.light->MaxFALL);
  return out;
}

// The same for SVT-AV1, which takes the values themselves.
std::string SvtHdrParams(const AVStream* st, const AVFrame* first) {
  std::string out;
  const THdr h = HdrOf(st, first);
  if (const AVMasteringDisplayMetadata* md = h.display) {
    char text[240];
    snprintf(text, sizeof text, ":mastering-display=G(%.4f,%.4f)B(%.4f,%.4f)R(%.4f,%.4f)WP(%.4f,%.4f)L(%.4f,%.4f)",
             av_q2d(md->display_primaries[1][0]), av_q2d(md->display_primaries[1][1]),
             av_q2d(md->display_primaries[2][0]), av_q2d(md->display_primaries[2][1]),
             av_q2d(md->display_primaries[0][0]), av_q2d(md->display_primaries[0][1]), av_q2d(md->white_point[0]),
             av_q2d(md->white_point[1]), av_q2d(md->max_luminance), av_q2d(md->min_luminance));
    out += text;
  }
  if (h.light) out += ":content-light=" + std::to_string(h.light->MaxCLL) + "," + std::to_string(h.light->MaxFALL);
  return out;
}

void SetH264(AVCodecContext* c, const AVStream* st, const TEncoderSetup& s, AVDictionary** opts) {
  const AVCodecParameters* par = st->codecpar;
  c->time_base = st->time_base;
  c->profile = par->profile;
  c->level = par->level;
  if (const char* p = X264Profile(par->profile)) av_dict_set(opts, "profile", p, 0);
  av_dict_set(opts, "preset", "veryfast", 0);
  av_dict_set(opts, "crf", "12", 0);
  std::string params = "sps-id=" + std::to_string(s.paramSetId) + ":scenecut=0:log=-1";
  // Every unit must fit the stream's NAL length field.
  if (s.globalHeader && s.srcConfig.LengthSize < 4)
    params += ":slice-max-size=" + std::to_string((1 << (8 * s.srcConfig.LengthSize)) - 64);
  av_dict_set(opts, "x264-params", params.c_str(), 0);
}

void SetHevc(AVCodecContext* c, const AVStream* st, const AVFrame* first, AVDictionary** opts) {
  const AVCodecParameters* par = st->codecpar;
  c->time_base = st->time_base;
  av_dict_set(opts, "profile", par->format == AV_PIX_FMT_YUV420P10LE ? "main10" : "main", 0);
  av_dict_set(opts, "preset", "ultrafast", 0);
  av_dict_set(opts, "crf", "12", 0);
  // The part carries its own parameter sets in band; x265 numbers them 0 like most sources,
  // so an end of sequence closes the part before the next one starts.
  std::string params = "repeat-headers=1:open-gop=0:scenecut=0:bframes=0:info=0:log-level=error";
  if (par->chroma_location > AVCHROMA_LOC_UNSPECIFIED && par->chroma_location < AVCHROMA_LOC_NB)
    params += ":chromaloc=" + std::to_string(par->chroma_location - 1);
  params += X265HdrParams(st, first);
  av_dict_set(opts, "x265-params", params.c_str(), 0);
}

void SetVp9(AVCodecContext* c, AVRational rate, AVDictionary** opts) {
  c->time_base = av_inv_q(rate);
  c->bit_rate = 0;
  av_dict_set(opts, "crf", "8", 0);
  av_dict_set(opts, "deadline", "realtime", 0);
  av_dict_set(opts, "cpu-used", "8", 0);
  av_dict_set(opts, "lag-in-frames", "0", 0);
  av_dict_set(opts, "auto-alt-ref", "0", 0);
  av_dict_set(opts, "row-mt", "1", 0);
}

void SetAv1(AVCodecContext* c, const AVStream* st, const AVFrame* first, AVRational rate, AVDictionary** opts) {
  c->time_base = av_inv_q(rate);
  c->bit_rate = 0;
  av_dict_set(opts, "preset", "10", 0);
  av_dict_set(opts, "crf", "12", 0);
  av_dict_set(opts, "svtav1-params", ("scd=0" + SvtHdrParams(st, first)).c_str(), 0);
}

void SetMpeg(AVCodecContext* c, const AVCodecParameters* par, AVRational rate, AVDictionary** opts) {
  c->time_base = av_inv_q(rate);
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->global_quality = FF_QP2LAMBDA * 1;
  c->qmin = 1;
  c->bit_rate = par->bit_rate > 0 ? par->bit_rate : 0;
  av_dict_set(opts, "sc_threshold", "1000000000", 0);
}

}  // namespace

TCodecContextPtr OpenEncoder(const AVStream* st, const TEncoderSetup& s, const AVFrame* first,
                             std::string* error) {
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
  AVDictionary* opts = nullptr;
  switch (par->codec_id) {
    case AV_CODEC_ID_H264:
      if (s.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      SetH264(c.get(), st, s, &opts);
      break;
    case AV_CODEC_ID_HEVC: SetHevc(c.get(), st, first, &opts); break;
    case AV_CODEC_ID_VP9: SetVp9(c.get(), rate, &opts); break;
    case AV_CODEC_ID_AV1: SetAv1(c.get(), st, first, rate, &opts); break;
    default:
      if (s.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      SetMpeg(c.get(), par, rate, &opts);
  }
  const int r = avcodec_open2(c.get(), s.codec, &opts);
  av_dict_free(&opts);
  if (r < 0) {
    *error = ErrorText(std::string("Cannot open the encoder ") + s.codec->name, r);
    return nullptr;
  }
  return c;
}

int SourceQuality(const AVFrame* frame, int fallback) {
  const AVFrameSideData* sd = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
  if (!sd) return fallback;
  auto* p = reinterpret_cast<AVVideoEncParams*>(sd->data);
  std::map<int, unsigned> count;
  for (unsigned i = 0; i < p->nb_blocks; i++) ++count[p->qp + av_video_enc_params_block(p, i)->delta_qp];
  if (count.empty()) count[p->qp] = 1;
  auto most = std::max_element(count.begin(), count.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; });
  // The quantizer most of the picture was coded with; the same step loses least again.
  return most->first > 0 ? most->first * FF_QP2LAMBDA : fallback;
}

AVFrame* TPictureFit::Fit(const AVCodecContext* enc, AVFrame* frame, bool* changed) {
  *changed = false;
  if (frame->width == enc->width && frame->height == enc->height && frame->format == enc->pix_fmt) return frame;
  *changed = frame->width != FWidth || frame->height != FHeight || frame->format != FFormat;
  FWidth = frame->width;
  FHeight = frame->height;
  FFormat = frame->format;
  const AVPixelFormat from = static_cast<AVPixelFormat>(frame->format);
  FSws.reset(sws_getCachedContext(FSws.release(), frame->width, frame->height, from, enc->width, enc->height,
                                  enc->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
  const char* name = av_get_pix_fmt_name(from);
  const std::string what = FormatText("A picture of %dx%d %s cannot be scaled to the stream's %dx%d", frame->width,
                                      frame->height, name ? name : "(unknown)", enc->width, enc->height);
  if (!FSws) throw std::runtime_error(what);
  if (!FOut) FOut.reset(av_frame_alloc());
  if (!FOut) throw std::bad_alloc();
  av_frame_unref(FOut.get());
  FOut->width = enc->width;
  FOut->height = enc->height;
  FOut->format = enc->pix_fmt;
  int r = av_frame_get_buffer(FOut.get(), 0);
  if (r >= 0) r = av_frame_copy_props(FOut.get(), frame);
  if (r >= 0)
    r = sws_scale(FSws.get(), frame->data, frame->linesize, 0, frame->height, FOut->data, FOut->linesize);
  if (r < 0) throw std::runtime_error(ErrorText(what, r));
  return FOut.get();
}

}  // namespace exactcopy
