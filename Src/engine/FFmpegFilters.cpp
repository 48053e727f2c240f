// Filter graphs between decoders and encoders: simple graphs of one output stream and complex
// graphs from "filter_complex", their buffer sources and sinks, and the conversion filters the
// engine inserts (scale, format, aformat, pan, aresample, volume, setpts). While the task runs
// it takes the decoded frames and hands what the sinks give to the encode stage.
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "FFmpegOpt.h"
#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "decoder/Upright.h"
#include "runtime/MediaTexts.h"

namespace {

// Which link a graph input or output is, for messages: the filter and, for filters with more
// than one pad on that side, the pad.
std::string DescribeLink(const AVFilterInOut* io, bool input) {
  const AVFilterContext* f = io->filter_ctx;
  std::string name = f->filter->name;
  unsigned pads = input ? f->nb_inputs : f->nb_outputs;
  if (pads > 1)
    name += std::string(":") + avfilter_pad_get_name(input ? f->input_pads : f->output_pads,
                                                     io->pad_idx);
  return name;
}

AVMediaType PadType(const AVFilterInOut* io, bool input) {
  const AVFilterContext* f = io->filter_ctx;
  return avfilter_pad_get_type(input ? f->input_pads : f->output_pads, io->pad_idx);
}

const AVPixelFormat kMjpegUnofficial[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P,
                                          AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P,
                                          AV_PIX_FMT_NONE};
const AVPixelFormat kLjpegUnofficial[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P,
                                          AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUV420P,
                                          AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P,
                                          AV_PIX_FMT_BGRA, AV_PIX_FMT_NONE};

const AVPixelFormat* EncoderPixelFormats(const AVCodec* codec, const AVCodecContext* enc) {
  if (!codec || !codec->pix_fmts) return nullptr;
  if (enc->strict_std_compliance <= FF_COMPLIANCE_UNOFFICIAL) {
    if (codec->id == AV_CODEC_ID_MJPEG) return kMjpegUnofficial;
    if (codec->id == AV_CODEC_ID_LJPEG) return kLjpegUnofficial;
  }
  return codec->pix_fmts;
}

std::string LayoutText(const AVChannelLayout& l) {
  if (l.order == AV_CHANNEL_ORDER_NATIVE)
    return FormatText("0x%" PRIx64, static_cast<uint64_t>(l.u.mask));
  char buf[256];
  av_channel_layout_describe(&l, buf, sizeof buf);
  return buf;
}

// The "aformat" arguments for an encoder: what it was given, else every format, rate and
// layout it takes.
std::string AudioFormatArgs(const AVCodec* codec, const AVCodecContext* enc) {
  std::string fmts, rates, layouts;
  if (enc->sample_fmt != AV_SAMPLE_FMT_NONE) {
    fmts = av_get_sample_fmt_name(enc->sample_fmt);
  } else if (codec && codec->sample_fmts) {
    for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; p++)
      fmts += (fmts.empty() ? "" : "|") + std::string(av_get_sample_fmt_name(*p));
  }
  if (enc->sample_rate) {
    rates = FormatText("%d", enc->sample_rate);
  } else if (codec && codec->supported_samplerates) {
    for (const int* p = codec->supported_samplerates; *p; p++)
      rates += (rates.empty() ? "" : "|") + FormatText("%d", *p);
  }
  if (enc->ch_layout.nb_channels > 0) {
    layouts = LayoutText(enc->ch_layout);
  } else if (codec && codec->ch_layouts) {
    for (const AVChannelLayout* p = codec->ch_layouts; p->nb_channels; p++)
      layouts += (layouts.empty() ? "" : "|") + LayoutText(*p);
  }
  std::string args;
  if (!fmts.empty()) args += "sample_fmts=" + fmts + ":";
  if (!rates.empty()) args += "sample_rates=" + rates + ":";
  if (!layouts.empty()) args += "channel_layouts=" + layouts + ":";
  return args;
}

// The output stream's scaler and resampler options for the conversions in its graph.
void SetConversionOptions(AVFilterGraph* graph, const TOutputStream* ost) {
  av_opt_set(graph, "scale_sws_opts",
             FormatText("flags=0x%X", static_cast<unsigned>(ost->ScalerFlags)).c_str(), 0);
  std::string swr;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(ost->ResamplerOptions.Get(), "", e, AV_DICT_IGNORE_SUFFIX)))
    swr += (swr.empty() ? "" : ":") + std::string(e->key) + "=" + e->value;
  if (!swr.empty()) av_opt_set(graph, "aresample_swr_opts", swr.c_str(), 0);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TFilterGraph* TCustomFFmpegOpt::InitSimpleFilterGraph(TInputStream* ist, TOutputStream* ost) {
  auto fg = std::make_unique<TFilterGraph>();
  fg->Index = static_cast<int>(FilterGraphs.size());
  auto in = std::make_unique<TInputFilter>();
  in->InputStream = ist;
  in->Graph = fg.get();
  auto out = std::make_unique<TOutputFilter>();
  out->OutputStream = ost;
  out->Graph = fg.get();
  out->Type = ost->Stream->codecpar->codec_type;
  ost->Filter = out.get();
  ist->Filters.push_back(in.get());
  fg->Inputs.push_back(std::move(in));
  fg->Outputs.push_back(std::move(out));
  FilterGraphs.push_back(std::move(fg));
  return FilterGraphs.back().get();
}

bool TCustomFFmpegOpt::InputStreamInFilterGraph(const TInputStream* ist,
                                                const TFilterGraph* fg) const {
  for (const auto& in : fg->Inputs)
    if (in->InputStream == ist) return true;
  return false;
}

int TCustomFFmpegOpt::ConfigureComplexFilterGraphs() {
  size_t built = 0;
  for (const auto& fg : FilterGraphs) built += fg->Complex ? 1 : 0;
  for (size_t i = built; i < FilterGraphSpecs.size(); i++) {
    auto fg = std::make_unique<TFilterGraph>();
    fg->Index = static_cast<int>(FilterGraphs.size());
    fg->Description = FilterGraphSpecs[i].GraphDesc;
    fg->Complex = true;
    FilterGraphs.push_back(std::move(fg));
    int ret = ConfigureFilterGraph(FilterGraphs.back().get());
    if (ret < 0) return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::ConfigureFilterGraph(TFilterGraph* fg) {
  const bool simple = !fg->Complex;
  TOutputStream* sost = simple ? fg->Outputs[0]->OutputStream : nullptr;
  const std::string desc = simple ? sost->FilterGraphText : fg->Description;
  const TOwnFilterSplit split = !simple || fg->Outputs[0]->Type == AVMEDIA_TYPE_VIDEO
                                    ? SplitAtOwnFilters(desc)
                                    : TOwnFilterSplit{{desc}, {}};
  // Own filters run in graphs of their own once the outputs are known; before, a stand-in
  // gives the complex graph's inputs and outputs.
  const bool ownStages = !split.Own.empty() && (simple || fg->Reconfigured);

  // The sources and sinks belong to the old graph.
  for (auto& in : fg->Inputs) in->Filter = nullptr;
  for (auto& out : fg->Outputs) out->Filter = nullptr;
  fg->OwnStages.clear();
  fg->Graph.reset(avfilter_graph_alloc());
  fg->Configured = false;
  if (!fg->Graph) return AVERROR(ENOMEM);
  fg->Inserted.clear();
  AVFilterGraph* graph = fg->Graph.get();

  if (simple) SetConversionOptions(graph, sost);

  AVFilterInOut* rawIn = nullptr;
  AVFilterInOut* rawOut = nullptr;
  const std::string text =
      split.Own.empty() ? desc : (ownStages ? split.LibraryText(0) : split.StandIn());
  int ret = avfilter_graph_parse2(graph, text.c_str(), &rawIn, &rawOut);
  TFilterInOutPtr inputs(rawIn);
  TFilterInOutPtr outputs(rawOut);
  if (ret < 0) return ret;

  if (simple && (!inputs || inputs->next || !outputs || outputs->next)) {
    av_log(nullptr, AV_LOG_ERROR,
           "Simple filtergraph \"%s\" does not have exactly one input and output.\n",
           desc.c_str());
    return AVERROR(EINVAL);
  }
  if (!simple && !fg->Reconfigured)
    for (AVFilterInOut* cur = inputs.get(); cur; cur = cur->next) BindComplexInput(fg, cur);

  size_t i = 0;
  for (AVFilterInOut* cur = inputs.get(); cur; cur = cur->next, i++) {
    if (i >= fg->Inputs.size()) return AVERROR(EINVAL);
    if ((ret = ConfigureInputFilter(fg, fg->Inputs[i].get(), cur)) < 0) return ret;
  }

  if (ownStages) {
    if (!outputs || outputs->next || fg->Outputs.size() != 1) return AVERROR(EINVAL);
    if ((ret = ConfigureOwnStages(fg, outputs.get(), split)) < 0) return ret;
    fg->Configured = true;
  } else if (simple || fg->Reconfigured) {
    i = 0;
    for (AVFilterInOut* cur = outputs.get(); cur; cur = cur->next, i++) {
      if (i >= fg->Outputs.size()) return AVERROR(EINVAL);
      if ((ret = ConfigureOutputFilter(fg, fg->Outputs[i].get(), cur)) < 0) return ret;
    }
    if ((ret = avfilter_graph_config(graph, nullptr)) < 0) return ret;
    fg->Configured = true;
  } else {
    // Each open output waits for the output file that takes it.
    AVFilterInOut* cur = outputs.release();
    while (cur) {
      AVFilterInOut* next = cur->next;
      cur->next = nullptr;
      auto of = std::make_unique<TOutputFilter>();
      of->Graph = fg;
      of->Type = PadType(cur, false);
      of->Name = DescribeLink(cur, false);
      of->PendingLink.reset(cur);
      fg->Outputs.push_back(std::move(of));
      cur = next;
    }
  }
  fg->Reconfigured = true;
  return 0;
}

void TCustomFFmpegOpt::BindComplexInput(TFilterGraph* fg, AVFilterInOut* in) {
  AVMediaType type = PadType(in, true);
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)
    FatalError("Only video and audio filters supported currently.");
  TInputStream* ist = nullptr;
  if (in->name) {
    char* end = nullptr;
    long fileIndex = std::strtol(in->name, &end, 0);
    if (end == in->name || fileIndex < 0 || fileIndex >= static_cast<long>(InputFiles.size()))
      FatalErrorFmt("Invalid file index %ld in filtergraph description %s.", fileIndex,
                    fg->Description.c_str());
    TInputFile* f = InputFiles[static_cast<size_t>(fileIndex)].get();
    AVFormatContext* s = f->FormatContext.get();
    if (*end == ':') end++;
    for (int k = 0; k < f->StreamCount; k++) {
      AVStream* st = s->streams[k];
      AVMediaType t = st->codecpar->codec_type;
      if (t != type && !(type == AVMEDIA_TYPE_VIDEO && t == AVMEDIA_TYPE_SUBTITLE)) continue;
      int r = avformat_match_stream_specifier(s, st, end);
      if (r < 0) FatalError(ErrorText("check_stream_specifier", r));
      if (r == 1) {
        ist = InputStreams[static_cast<size_t>(f->FirstStreamIndex + k)].get();
        break;
      }
    }
    if (!ist)
      FatalErrorFmt("Stream specifier \"%s\" in filtergraph description %s matches no streams.",
                    end, fg->Description.c_str());
  } else {
    for (auto& s : InputStreams)
      if (s->Stream->codecpar->codec_type == type && s->Discard) {
        ist = s.get();
        break;
      }
    if (!ist)
      FatalErrorFmt("Cannot find a matching stream for unlabeled input pad %d on filter %s",
                    in->pad_idx, in->filter_ctx->name);
  }
  ist->Discard = 0;
  ist->DecodingNeeded++;
  ist->Stream->discard = AVDISCARD_NONE;
  auto f = std::make_unique<TInputFilter>();
  f->InputStream = ist;
  f->Graph = fg;
  ist->Filters.push_back(f.get());
  fg->Inputs.push_back(std::move(f));
}

int TCustomFFmpegOpt::InsertFilter(TFilterGraph* fg, AVFilterContext** last, int* pad,
                                   const char* filterName, const std::string& name,
                                   const std::string& args) {
  AVFilterContext* f = nullptr;
  // The filter joins the graph of the one it follows (a graph after an own filter too).
  int ret = avfilter_graph_create_filter(&f, avfilter_get_by_name(filterName), name.c_str(),
                                         args.c_str(), nullptr, (*last)->graph);
  fg->Inserted.push_back({filterName, name, args});
  if (ret < 0) return ret;
  if ((ret = avfilter_link(*last, static_cast<unsigned>(*pad), f, 0)) < 0) return ret;
  *last = f;
  *pad = 0;
  return 0;
}

int TCustomFFmpegOpt::Sub2VideoPrepare(TInputStream* ist) {
  AVCodecContext* dec = ist->DecoderContext.get();
  int w = dec->width, h = dec->height;
  if (!w || !h) {
    for (auto& s : InputStreams) {
      if (s->FileIndex != ist->FileIndex ||
          s->Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
        continue;
      w = std::max(w, s->Stream->codecpar->width);
      h = std::max(h, s->Stream->codecpar->height);
    }
    if (!(w && h)) {
      w = std::max(w, 720);
      h = std::max(h, 576);
    }
    av_log(dec, AV_LOG_INFO, "sub2video: using %dx%d canvas\n", w, h);
  }
  ist->InitialWidth = dec->width = w;
  ist->InitialHeight = dec->height = h;
  ist->InitialPixFmt = AV_PIX_FMT_BGRA;
  uint8_t* data[4] = {};
  int lines[4] = {};
  int ret = av_image_alloc(data, lines, w, h, AV_PIX_FMT_BGRA, 32);
  if (ret < 0) return AVERROR(ENOMEM);
  ist->Sub2VideoCanvas.reset(data[0]);
  ist->Sub2VideoLineSize = lines[0];
  std::memset(data[0], 0, static_cast<size_t>(ret));
  return 0;
}

// Pictures of a stream whose display matrix turns or mirrors them are made upright here, with
// the decoder's steps, so the encoded stream needs no matrix and shows what the window shows.
int TCustomFFmpegOpt::InsertUpright(TFilterGraph* fg, const TInputStream* ist,
                                    AVFilterContext** last, int* pad) {
  const AVStream* st = ist->Stream;
  const std::string name =
      FormatText("graph %d upright for input stream %d:%d", fg->Index, ist->FileIndex, st->index);
  int step = 0;
  for (const TUprightStep& s : UprightSteps(st)) {
    const int ret = InsertFilter(fg, last, pad, s.Filter.c_str(),
                                 name + " " + std::to_string(step++), s.Args.c_str());
    if (ret < 0) return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::ConfigureInputFilter(TFilterGraph* fg, TInputFilter* ifilter,
                                           AVFilterInOut* in) {
  TInputStream* ist = ifilter->InputStream;
  AVStream* st = ist->Stream;
  ifilter->Name = DescribeLink(in, true);
  AVFilterContext* last = nullptr;
  int pad = 0;
  int ret;
  const std::string name =
      FormatText("graph %d input from stream %d:%d", fg->Index, ist->FileIndex, st->index);
  switch (PadType(in, true)) {
    case AVMEDIA_TYPE_VIDEO: {
      if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && !ist->Sub2VideoCanvas &&
          (ret = Sub2VideoPrepare(ist)) < 0)
        return ret;
      const bool forced = ist->FrameRate.num > 0 && ist->FrameRate.den > 0;
      AVRational tb = forced ? av_inv_q(ist->FrameRate) : st->time_base;
      AVRational fr = forced ? ist->FrameRate : st->r_frame_rate;
      const AVCodecContext* dec = ist->DecoderContext.get();
      if (!forced && dec && dec->ticks_per_frame > 1 && dec->time_base.num > 0) {
        AVRational codecRate = {dec->time_base.den, dec->time_base.num * dec->ticks_per_frame};
        if (codecRate.num >= 1 && codecRate.den >= 1 && fr.num > 0 &&
            av_q2d(codecRate) < 0.7 * av_q2d(fr) &&
            std::abs(1.0 - av_q2d(av_div_q(st->avg_frame_rate, fr))) > 0.1)
          fr = codecRate;
      }
      AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio
                                                   : st->codecpar->sample_aspect_ratio;
      if (!sar.den) sar = AVRational{0, 1};
      const char* pix = av_get_pix_fmt_name(ist->InitialPixFmt);
      std::string args = FormatText("video_size=%dx%d:pix_fmt=%s:time_base=%d/%d:pixel_aspect=%d/%d",
                                ist->InitialWidth, ist->InitialHeight, pix ? pix : "none",
                                tb.num, tb.den, sar.num, sar.den);
      if (fr.num && fr.den) args += FormatText(":frame_rate=%d/%d", fr.num, fr.den);
      ret = avfilter_graph_create_filter(&last, avfilter_get_by_name("buffer"), name.c_str(),
                                         args.c_str(), nullptr, fg->Graph.get());
      fg->Inserted.push_back({"buffer", name, args});
      if (ret < 0) return ret;
      ifilter->Filter = last;
      if (forced &&
          (ret = InsertFilter(fg, &last, &pad, "setpts",
                              FormatText("force CFR for input from stream %d:%d", ist->FileIndex,
                                     st->index),
                              "N")) < 0)
        return ret;
      if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
          (ret = InsertUpright(fg, ist, &last, &pad)) < 0)
        return ret;
      break;
    }
    case AVMEDIA_TYPE_AUDIO: {
      const char* fmt = av_get_sample_fmt_name(ist->InitialSampleFmt);
      std::string args = FormatText("time_base=%d/%d:sample_rate=%d:sample_fmt=%s", 1,
                                ist->InitialSampleRate, ist->InitialSampleRate,
                                fmt ? fmt : "none");
      if (ist->InitialChannelLayout.Mask())
        args += FormatText(":channel_layout=0x%" PRIx64, ist->InitialChannelLayout.Mask());
      else
        args += FormatText(":channels=%d", ist->InitialChannels);
      ret = avfilter_graph_create_filter(&last, avfilter_get_by_name("abuffer"), name.c_str(),
                                         args.c_str(), nullptr, fg->Graph.get());
      fg->Inserted.push_back({"abuffer", name, args});
      if (ret < 0) return ret;
      ifilter->Filter = last;
      auto named = [&](const char* what) {
        return FormatText("graph %d %s for input stream %d:%d", fg->Index, what, ist->FileIndex,
                      st->index);
      };
      if (AudioVolume != 256) {
        av_log(nullptr, AV_LOG_WARNING,
               "-vol has been deprecated. Use the volume audio filter instead.\n");
        std::string v = FormatText("%f", AudioVolume / 256.0);
        FFLogger().LogFmt(this, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.",
                          "-vol", "volume", v.c_str());
        if ((ret = InsertFilter(fg, &last, &pad, "volume", named("volume"), v)) < 0) return ret;
      }
      if (AudioSyncMethod > 0) {
        std::string a = FormatText("async=%d", AudioSyncMethod);
        if (AudioDriftThreshold != 0.1f) a += FormatText(":min_hard_comp=%f", AudioDriftThreshold);
        if (!fg->Reconfigured) a += ":first_pts=0";
        FFLogger().LogFmt(this, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.",
                          "-async", "aresample", a.c_str());
        if ((ret = InsertFilter(fg, &last, &pad, "aresample", named("aresample"), a)) < 0)
          return ret;
      }
      break;
    }
    default:
      throw FFmpegException("Never occur");
  }
  return avfilter_link(last, static_cast<unsigned>(pad), in->filter_ctx,
                       static_cast<unsigned>(in->pad_idx));
}

AVPixelFormat TCustomFFmpegOpt::ChoosePixelFormat(const AVCodec* codec,
                                                  const AVCodecContext* enc,
                                                  AVPixelFormat target) {
  const AVPixelFormat* p = EncoderPixelFormats(codec, enc);
  if (!p) return target;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(target);
  const int hasAlpha = desc ? desc->nb_components % 2 == 0 : 0;
  AVPixelFormat best = AV_PIX_FMT_NONE;
  for (; *p != AV_PIX_FMT_NONE; p++) {
    best = av_find_best_pix_fmt_of_2(best, *p, target, hasAlpha, nullptr);
    if (*p == target) break;
  }
  if (*p == AV_PIX_FMT_NONE) {
    if (target != AV_PIX_FMT_NONE)
      av_log(nullptr, AV_LOG_WARNING,
             "Incompatible pixel format \"%s\" for codec \"%s\", auto-selecting format \"%s\"\n",
             av_get_pix_fmt_name(target), codec->name, av_get_pix_fmt_name(best));
    return best;
  }
  return target;
}

void TCustomFFmpegOpt::ChooseSampleFormat(const AVCodec* codec, AVCodecContext* enc) {
  if (!codec || !codec->sample_fmts) return;
  const AVSampleFormat* p = codec->sample_fmts;
  for (; *p != AV_SAMPLE_FMT_NONE; p++)
    if (*p == enc->sample_fmt) return;
  AVSampleFormat chosen = codec->sample_fmts[0];
  if ((codec->capabilities & AV_CODEC_CAP_LOSSLESS) &&
      av_get_sample_fmt_name(enc->sample_fmt) &&
      av_get_bytes_per_sample(enc->sample_fmt) > av_get_bytes_per_sample(chosen))
    av_log(enc, AV_LOG_ERROR, "Conversion will not be lossless.\n");
  if (enc->sample_fmt != AV_SAMPLE_FMT_NONE)
    av_log(enc, AV_LOG_WARNING,
           "Incompatible sample format \"%s\" for codec \"%s\", auto-selecting format \"%s\"\n",
           av_get_sample_fmt_name(enc->sample_fmt), codec->name, av_get_sample_fmt_name(chosen));
  enc->sample_fmt = chosen;
}

int TCustomFFmpegOpt::ConfigureOutputFilter(TFilterGraph* fg, TOutputFilter* ofilter,
                                            AVFilterInOut* out) {
  TOutputStream* ost = ofilter->OutputStream;
  if (!ost) return AVERROR(EINVAL);
  AVCodecContext* enc = ost->Codec();
  const AVCodec* codec = ost->Encoder;
  ofilter->Name = DescribeLink(out, false);
  AVFilterContext* last = out->filter_ctx;
  AVFilterGraph* graph = last->graph;
  int pad = out->pad_idx;
  int ret;
  const std::string sinkName = FormatText("output stream %d:%d", ost->FileIndex, ost->Index);
  switch (PadType(out, false)) {
    case AVMEDIA_TYPE_VIDEO: {
      AVFilterContext* sink = nullptr;
      ret = avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"),
                                         sinkName.c_str(), nullptr, nullptr, graph);
      fg->Inserted.push_back({"buffersink", sinkName, ""});
      if (ret < 0) return ret;
      ofilter->Filter = sink;
      if (enc->width || enc->height) {
        std::string args = FormatText("%d:%d:flags=0x%X", enc->width, enc->height,
                                  static_cast<unsigned>(ost->ScalerFlags));
        if ((ret = InsertFilter(fg, &last, &pad, "scale",
                                FormatText("scaler for output stream %d:%d", ost->FileIndex,
                                       ost->Index),
                                args)) < 0)
          return ret;
      }
      std::string formats;
      if (ost->KeepPixFmt) {
        avfilter_graph_set_auto_convert(graph, AVFILTER_AUTO_CONVERT_NONE);
        if (enc->pix_fmt != AV_PIX_FMT_NONE) formats = av_get_pix_fmt_name(enc->pix_fmt);
      } else if (enc->pix_fmt != AV_PIX_FMT_NONE) {
        AVPixelFormat f = ChoosePixelFormat(codec, enc, enc->pix_fmt);
        if (f != AV_PIX_FMT_NONE) formats = av_get_pix_fmt_name(f);
      } else if (const AVPixelFormat* p = EncoderPixelFormats(codec, enc)) {
        for (; *p != AV_PIX_FMT_NONE; p++)
          formats += (formats.empty() ? "" : "|") + std::string(av_get_pix_fmt_name(*p));
      }
      if (!formats.empty() &&
          (ret = InsertFilter(fg, &last, &pad, "format",
                              FormatText("pixel format for output stream %d:%d", ost->FileIndex,
                                     ost->Index),
                              formats)) < 0)
        return ret;
      return avfilter_link(last, static_cast<unsigned>(pad), sink, 0);
    }
    case AVMEDIA_TYPE_AUDIO: {
      AVFilterContext* sink =
          avfilter_graph_alloc_filter(graph, avfilter_get_by_name("abuffersink"),
                                      sinkName.c_str());
      if (!sink) return AVERROR(ENOMEM);
      av_opt_set_int(sink, "all_channel_counts", 1, AV_OPT_SEARCH_CHILDREN);
      fg->Inserted.push_back({"abuffersink", sinkName, "all_channel_counts=1"});
      if ((ret = avfilter_init_str(sink, nullptr)) < 0) return ret;
      ofilter->Filter = sink;
      if (ost->AudioChannelsMapped > 0) {
        AVChannelLayout def{};
        av_channel_layout_default(&def, ost->AudioChannelsMapped);
        std::string args = LayoutText(def);
        av_channel_layout_uninit(&def);
        for (int i = 0; i < ost->AudioChannelsMapped; i++)
          if (ost->AudioChannelsMap[i] != -1)
            args += FormatText("|c%d=c%d", i, ost->AudioChannelsMap[i]);
        FFLogger().LogFmt(this, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.",
                          "-map_channel", "pan", args.c_str());
        if ((ret = InsertFilter(fg, &last, &pad, "pan", "pan", args)) < 0) return ret;
      }
      if (enc->ch_layout.nb_channels > 0 && enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        int n = enc->ch_layout.nb_channels;
        av_channel_layout_uninit(&enc->ch_layout);
        av_channel_layout_default(&enc->ch_layout, n);
      }
      const std::string args = AudioFormatArgs(codec, enc);
      if (!args.empty() &&
          (ret = InsertFilter(fg, &last, &pad, "aformat",
                              FormatText("audio format for output stream %d:%d", ost->FileIndex,
                                     ost->Index),
                              args)) < 0)
        return ret;
      return avfilter_link(last, static_cast<unsigned>(pad), sink, 0);
    }
    default:
      throw FFmpegException("Never occur");
  }
}

void TCustomFFmpegOpt::ConfigureComplexOutput(TOutputFilter* ofilter, TFileOptionsContext& ctx,
                                              AVFormatContext* oc) {
  TOutputStream* ost = nullptr;
  switch (ofilter->Type) {
    case AVMEDIA_TYPE_VIDEO: ost = NewVideoStream(ctx, oc, -1); break;
    case AVMEDIA_TYPE_AUDIO: ost = NewAudioStream(ctx, oc, -1); break;
    default: FatalError("Only video and audio filters are supported currently.");
  }
  ost->SourceIndex = -1;
  if (ost->StreamCopy)
    FatalErrorFmt("Streamcopy requested for output stream %d:%d, which is fed from a complex "
                  "filtergraph. Filtering and streamcopy cannot be used together.",
                  ost->FileIndex, ost->Index);
  ost->Filter = ofilter;
  ofilter->OutputStream = ost;
  if (ConfigureOutputFilter(ofilter->Graph, ofilter, ofilter->PendingLink.get()) < 0)
    FatalError("Error configuring filter.");
  ofilter->PendingLink.reset();
}

// ---------------------------------------------------------------------------------------------
// While the task runs

int TCustomFFmpeg::FeedFilters(TInputStream* ist, AVFrame* frame) {
  for (TInputFilter* f : ist->Filters) {
    if (!f->Filter) continue;
    int ret = av_buffersrc_add_frame_flags(f->Filter, frame,
                                           AV_BUFFERSRC_FLAG_PUSH | AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret == AVERROR_EOF) continue;  // that graph is done
    if (ret < 0) throw FFmpegException("Failed to inject frame into filter network");
  }
  return 0;
}

int TCustomFFmpeg::CloseFilterInputs(TInputStream* ist) {
  TInputStreamRun& s = ist->Run;
  if (s.FiltersClosed) return 0;
  s.FiltersClosed = true;
  for (TInputFilter* f : ist->Filters)
    if (f->Filter && av_buffersrc_add_frame_flags(f->Filter, nullptr, AV_BUFFERSRC_FLAG_PUSH) < 0)
      FFLogger().Log(this, llVerbose, "Filter input already ended");
  return 0;
}

// A picture from the end of the range on is not part of it, not even to fill the time before
// it at a constant rate. The range's length counts in the sink's ticks from its first picture,
// so a picture that ends up exactly at the end is left out whatever the rounding of the times.
bool TCustomFFmpeg::PastRange(TOutputStream* ost, int64_t pts, AVRational tb) {
  const TOutputFile* of = FileOf(ost);
  int64_t& first = ost->Run.RangeFirstPts;
  if (first == AV_NOPTS_VALUE) first = pts;
  if (of->Duration == INT64_MAX || pts - first < av_rescale_q(of->Duration, kMicro, tb))
    return false;
  CloseOutputStream(ost);
  return true;
}

int TCustomFFmpeg::ReapFilters(bool flush) {
  for (auto& fg : FilterGraphs)
    if (RunOwnFilters(fg.get()) < 0) throw FFmpegException("Failed to inject frame into filter network");
  AVFrame* frame = FFiltered.get();
  for (size_t i = FActiveFirst; i < FActiveEnd && i < OutputStreams.size(); i++) {
    TOutputStream* ost = OutputStreams[i].get();
    if (!ost->Filter || !ost->Filter->Filter) continue;
    AVFilterContext* sink = ost->Filter->Filter;
    const TOutputFile* of = FileOf(ost);
    AVCodecContext* enc = ost->Codec();
    for (;;) {
      const TFilterGraph* fg = ost->Filter->Graph;
      const bool ask = flush || (fg && !fg->OwnStages.empty() && OwnFilterInputsEnded(fg, fg->OwnStages.size()));
      int ret = av_buffersink_get_frame_flags(sink, frame, ask ? 0 : AV_BUFFERSINK_FLAG_NO_REQUEST);
      if (ret < 0) {
        if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
          FFLogger().Log(this, llWarning, ErrorText("Error in av_buffersink_get_buffer_ref()", ret));
        break;
      }
      if (ost->Finished || !ost->Run.EncoderOpen) {
        av_frame_unref(frame);
        continue;
      }
      const AVRational tb = av_buffersink_get_time_base(sink);
      double floatPts = AV_NOPTS_VALUE;
      if (frame->pts != AV_NOPTS_VALUE) {
        // Nothing before the output's start time is encoded.
        if (of->StartTime && av_compare_ts(frame->pts, tb, of->StartTime, kMicro) < 0) {
          av_frame_unref(frame);
          continue;
        }
        const int64_t start = of->StartTime == AV_NOPTS_VALUE ? 0 : of->StartTime;
        if (enc->codec_type == AVMEDIA_TYPE_VIDEO && PastRange(ost, frame->pts, tb)) {
          av_frame_unref(frame);
          continue;
        }
        floatPts = frame->pts * av_q2d(tb) / av_q2d(enc->time_base) -
                   static_cast<double>(av_rescale_q(start, kMicro, enc->time_base));
        frame->pts = av_rescale_q(frame->pts, tb, enc->time_base) -
                     av_rescale_q(start, kMicro, enc->time_base);
      }
      if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
        frame->opaque = nullptr;
        // The exact picture time rides along for the frame-rate conversion.
        if (frame->pts != AV_NOPTS_VALUE) frame->pts = std::llround(floatPts);
        DoVideoOut(ost, frame);
      } else {
        DoAudioOut(ost, frame);
      }
      av_frame_unref(frame);
    }
  }
  return 0;
}
