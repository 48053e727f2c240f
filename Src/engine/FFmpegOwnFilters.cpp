// The program's own video filters in a job's simple video graph. The library takes no filters
// from outside, so the graph is cut where an own filter stands: the first library graph holds
// the source and ends in a sink before the filter, each own filter takes the pictures of that
// sink and pushes its own into the buffer source of the next library graph, and the last graph
// ends in the output stream's sink. Every graph is configured at once, so the encoder sees the
// final sink as it does without own filters.
#include <string>

#include "FFmpegOpt.h"
#include "engine/FFmpeg.h"
#include "runtime/MediaTexts.h"
#include "runtime/VideoFilterChain.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string OwnFormatList() {
  std::string list;
  for (AVPixelFormat f : OwnFilterPixelFormats())
    list += (list.empty() ? "" : "|") + std::string(av_get_pix_fmt_name(f));
  return list;
}

// Labels in front of a part ("[0:v]") or behind it ("[out]"); the part keeps the rest.
std::string TakeLabels(std::string* part, bool front) {
  std::string labels;
  for (;;) {
    const std::string p = Trimmed(*part);
    if (p.empty()) break;
    const size_t end = front ? p.find(']') : p.size() - 1;
    const size_t begin = front ? 0 : p.rfind('[');
    if (end == std::string::npos || begin == std::string::npos || p[begin] != '[' || p[end] != ']') break;
    const std::string label = p.substr(begin, end - begin + 1);
    labels = front ? labels + label : label + labels;
    *part = front ? p.substr(end + 1) : p.substr(0, begin);
  }
  return labels;
}

}  // namespace

TOwnFilterSplit SplitAtOwnFilters(const std::string& text) {
  TOwnFilterSplit split;
  split.Texts.emplace_back();
  const std::vector<std::string> parts = SplitFilterText(text);
  for (size_t i = 0; i < parts.size(); i++) {
    std::string part = parts[i];
    // A chain of one's own is cut only where it is one line: labels only at its two ends.
    const std::string in = TakeLabels(&part, true);
    const std::string out = TakeLabels(&part, false);
    const size_t eq = part.find('=');
    const std::string name = Trimmed(part.substr(0, eq));
    if (!IsOwnVideoFilter(name)) {
      std::string& t = split.Texts.back();
      t += t.empty() ? parts[i] : "," + parts[i];
      continue;
    }
    if (part.find(';') != std::string::npos || (!in.empty() && i > 0) ||
        (!out.empty() && i + 1 < parts.size()))
      return TOwnFilterSplit{{text}, {}};
    if (!in.empty()) split.Texts.back() = in + "null";
    split.Own.emplace_back(name, eq == std::string::npos ? std::string() : Trimmed(part.substr(eq + 1)));
    split.Texts.emplace_back(out.empty() ? std::string() : "null" + out);
  }
  for (const std::string& t : split.Texts)
    if (t.find(';') != std::string::npos) return TOwnFilterSplit{{text}, {}};
  if (split.Own.empty()) split.Texts = {text};
  return split;
}

std::string TOwnFilterSplit::LibraryText(size_t i) const {
  return Trimmed(Texts[i]).empty() ? "null" : Texts[i];
}

std::string TOwnFilterSplit::StandIn() const {
  std::string text = LibraryText(0);
  for (size_t i = 0; i < Own.size(); i++) text += ",null," + LibraryText(i + 1);
  return text;
}

// The open output of a graph ends in the formats the own filters take and a sink for the i-th.
int TCustomFFmpegOpt::EndInOwnFilterSink(TFilterGraph* fg, AVFilterInOut* out, size_t i,
                                         AVFilterContext** sink) {
  AVFilterContext* last = out->filter_ctx;
  int pad = out->pad_idx;
  const std::string name = FormatText("graph %d own filter %d", fg->Index, static_cast<int>(i));
  int ret = InsertFilter(fg, &last, &pad, "format", name + " formats", OwnFormatList());
  if (ret < 0) return ret;
  ret = avfilter_graph_create_filter(sink, avfilter_get_by_name("buffersink"),
                                     (name + " input").c_str(), nullptr, nullptr, last->graph);
  fg->Inserted.push_back({"buffersink", name + " input", ""});
  if (ret < 0) return ret;
  return avfilter_link(last, static_cast<unsigned>(pad), *sink, 0);
}

// The i-th own filter and the library graph after it, fed with what the sink from gives; the
// graph's open output comes back in *open.
int TCustomFFmpegOpt::AddOwnStage(TFilterGraph* fg, AVFilterContext* from,
                                  const TOwnFilterSplit& split, size_t i, AVFilterInOut** open) {
  TOwnFilterStage stage;
  int ret = 0;
  stage.Own = TOwnVideoFilter::Create(split.Own[i].first, split.Own[i].second, &ret);
  if (!stage.Own) return ret;
  stage.From = from;
  stage.Graph.reset(avfilter_graph_alloc());
  if (!stage.Graph) return AVERROR(ENOMEM);
  AVFilterGraph* graph = stage.Graph.get();
  if (fg->Graph->scale_sws_opts) graph->scale_sws_opts = av_strdup(fg->Graph->scale_sws_opts);

  const AVRational tb = av_buffersink_get_time_base(from);
  AVRational sar = av_buffersink_get_sample_aspect_ratio(from);
  if (!sar.den) sar = AVRational{0, 1};
  const char* pix = av_get_pix_fmt_name(static_cast<AVPixelFormat>(av_buffersink_get_format(from)));
  std::string args = FormatText("video_size=%dx%d:pix_fmt=%s:time_base=%d/%d:pixel_aspect=%d/%d",
                                av_buffersink_get_w(from), av_buffersink_get_h(from),
                                pix ? pix : "none", tb.num, tb.den, sar.num, sar.den);
  const AVRational fr = av_buffersink_get_frame_rate(from);
  if (fr.num > 0 && fr.den > 0) args += FormatText(":frame_rate=%d/%d", fr.num, fr.den);
  const std::string name =
      FormatText("graph %d own filter %d output", fg->Index, static_cast<int>(i));
  ret = avfilter_graph_create_filter(&stage.Src, avfilter_get_by_name("buffer"), name.c_str(),
                                     args.c_str(), nullptr, graph);
  fg->Inserted.push_back({"buffer", name, args});
  if (ret < 0) return ret;

  const std::string& text = split.Texts[i + 1];
  AVFilterInOut* rawIn = nullptr;
  AVFilterInOut* rawOut = nullptr;
  ret = avfilter_graph_parse2(graph, split.LibraryText(i + 1).c_str(), &rawIn, &rawOut);
  TFilterInOutPtr inputs(rawIn);
  TFilterInOutPtr outputs(rawOut);
  if (ret < 0) return ret;
  if (!inputs || inputs->next || !outputs || outputs->next) {
    av_log(nullptr, AV_LOG_ERROR,
           "Simple filtergraph \"%s\" does not have exactly one input and output.\n",
           text.c_str());
    return AVERROR(EINVAL);
  }
  ret = avfilter_link(stage.Src, 0, inputs->filter_ctx, static_cast<unsigned>(inputs->pad_idx));
  if (ret < 0) return ret;
  fg->OwnStages.push_back(std::move(stage));
  *open = outputs.release();
  return 0;
}

int TCustomFFmpegOpt::ConfigureOwnStages(TFilterGraph* fg, AVFilterInOut* out,
                                         const TOwnFilterSplit& split) {
  AVFilterContext* from = nullptr;
  int ret = EndInOwnFilterSink(fg, out, 0, &from);
  if (ret < 0 || (ret = avfilter_graph_config(fg->Graph.get(), nullptr)) < 0) return ret;
  for (size_t i = 0; i < split.Own.size(); i++) {
    AVFilterInOut* rawOpen = nullptr;
    if ((ret = AddOwnStage(fg, from, split, i, &rawOpen)) < 0) return ret;
    TFilterInOutPtr open(rawOpen);
    if (i + 1 == split.Own.size())
      ret = ConfigureOutputFilter(fg, fg->Outputs[0].get(), open.get());
    else
      ret = EndInOwnFilterSink(fg, open.get(), i + 1, &from);
    if (ret < 0 || (ret = avfilter_graph_config(fg->OwnStages.back().Graph.get(), nullptr)) < 0)
      return ret;
  }
  return 0;
}

bool OwnFilterInputsEnded(const TFilterGraph* fg, size_t stage) {
  return stage > 0 && fg->OwnStages[stage - 1].Ended;
}

int TCustomFFmpeg::RunOwnFilters(TFilterGraph* fg) {
  for (size_t i = 0; i < fg->OwnStages.size(); i++) {
    TOwnFilterStage& stage = fg->OwnStages[i];
    // The first graph is asked for frames by the loop; a later one only here, once its input
    // ended: filters that give what they hold only when asked (reverse, ...) give it then.
    const int flags = OwnFilterInputsEnded(fg, i) ? 0 : AV_BUFFERSINK_FLAG_NO_REQUEST;
    while (!stage.Ended) {
      TFramePtr in(av_frame_alloc());
      if (!in) return AVERROR(ENOMEM);
      int ret = av_buffersink_get_frame_flags(stage.From, in.get(), flags);
      if (ret == AVERROR(EAGAIN)) break;
      if (ret == AVERROR_EOF) {
        stage.Ended = true;
        ret = av_buffersrc_add_frame_flags(stage.Src, nullptr, AV_BUFFERSRC_FLAG_PUSH);
        if (ret < 0 && ret != AVERROR_EOF) return ret;
        break;
      }
      if (ret < 0) return ret;
      TFramePtr out;
      if ((ret = stage.Own->Filter(std::move(in), &out)) < 0) return ret;
      ret = av_buffersrc_add_frame_flags(stage.Src, out.get(), AV_BUFFERSRC_FLAG_PUSH);
      if (ret < 0 && ret != AVERROR_EOF) return ret;
    }
  }
  return 0;
}
