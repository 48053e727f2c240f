#include "runtime/VideoFilterChain.h"

#include <cstdio>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace {

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::vector<std::string> SplitFilterText(const std::string& text) {
  std::vector<std::string> parts;
  std::string cur;
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      cur += c;
      cur += text[++i];
      continue;
    }
    if (c == '\'') quoted = !quoted;
    if (!quoted) {
      if (c == '[') ++depth;
      if (c == ']' && depth > 0) --depth;
      if (c == ',' && depth == 0) {
        parts.push_back(cur);
        cur.clear();
        continue;
      }
    }
    cur += c;
  }
  parts.push_back(cur);
  return parts;
}

TVideoFilterChain::TVideoFilterChain() = default;
TVideoFilterChain::~TVideoFilterChain() = default;

void TVideoFilterChain::Reset() {
  FStages.clear();
  FOut.clear();
  FEnded = false;
}

AVFilterGraph* TVideoFilterChain::FirstGraph() const {
  return FStages.empty() ? nullptr : FStages.front().Graph.get();
}

int TVideoFilterChain::Configure(const TVideoChainSource& source, const std::string& filters,
                                 const std::vector<TVideoChainTail>& tail,
                                 const std::vector<AVPixelFormat>& outFormats,
                                 const TVideoChainNames& names, int64_t swsFlags) {
  Reset();
  FTail = tail;
  FOutFormats = outFormats;
  FNames = names;
  FSwsFlags = swsFlags;
  FOutTimeBase = source.TimeBase;
  FFrameRate = source.FrameRate;

  // Library runs and own filters, always starting and ending with a library run.
  FStages.emplace_back();
  if (!Trimmed(filters).empty()) {
    for (const std::string& raw : SplitFilterText(filters)) {
      const std::string part = Trimmed(raw);
      const size_t eq = part.find('=');
      const std::string name = Trimmed(part.substr(0, eq));
      if (IsOwnVideoFilter(name)) {
        int err = 0;
        TStage own;
        own.Own = TOwnVideoFilter::Create(name, eq == std::string::npos ? std::string() : part.substr(eq + 1), &err);
        if (!own.Own) return err;
        FStages.push_back(std::move(own));
        FStages.emplace_back();
      } else {
        std::string& text = FStages.back().Text;
        text += text.empty() ? part : "," + part;
      }
    }
  }
  // Later graphs are built when their first picture arrives: only then is its format known.
  return BuildGraph(0, source);
}

int TVideoFilterChain::BuildGraph(size_t index, const TVideoChainSource& source) {
  TStage& st = FStages[index];
  const bool last = index + 1 == FStages.size();
  TFilterGraphPtr graph(avfilter_graph_alloc());
  if (!graph) return AVERROR(ENOMEM);
  char flags[64];
  std::snprintf(flags, sizeof flags, "flags=%lld", static_cast<long long>(FSwsFlags));
  graph->scale_sws_opts = av_strdup(flags);

  char args[256];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                source.Width, source.Height, static_cast<int>(source.PixFmt), source.TimeBase.num,
                source.TimeBase.den, source.SampleAspect.num,
                source.SampleAspect.den < 1 ? 1 : source.SampleAspect.den);
  const std::string srcName = index == 0 ? FNames.Source : FNames.Source + "_" + std::to_string(index);
  const std::string sinkName = last ? FNames.Sink : FNames.Sink + "_" + std::to_string(index);
  AVFilterContext* src = nullptr;
  int r = avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), srcName.c_str(), args,
                                       nullptr, graph.get());
  if (r < 0) return r;
  if (source.FrameRate.num > 0) {
    AVBufferSrcParameters* par = av_buffersrc_parameters_alloc();
    if (par) {
      par->frame_rate = source.FrameRate;
      av_buffersrc_parameters_set(src, par);
      av_free(par);
    }
  }
  AVFilterContext* sink = avfilter_graph_alloc_filter(graph.get(), avfilter_get_by_name("buffersink"), sinkName.c_str());
  if (!sink) return AVERROR(ENOMEM);
  const std::vector<AVPixelFormat>& formats = last ? FOutFormats : OwnFilterPixelFormats();
  if (!formats.empty()) {
    r = av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats.data()),
                       static_cast<int>(formats.size() * sizeof(AVPixelFormat)), AV_OPT_SEARCH_CHILDREN);
    if (r < 0) return r;
  }
  r = avfilter_init_str(sink, nullptr);
  if (r < 0) return r;

  // The tail (last graph only) sits right before the sink.
  AVFilterContext* end = sink;
  if (last) {
    for (auto it = FTail.rbegin(); it != FTail.rend(); ++it) {
      AVFilterContext* f = nullptr;
      r = avfilter_graph_create_filter(&f, avfilter_get_by_name(it->Filter.c_str()), it->Name.c_str(),
                                       it->Args.c_str(), nullptr, graph.get());
      if (r < 0) return r;
      r = avfilter_link(f, 0, end, 0);
      if (r < 0) return r;
      end = f;
    }
  }
  if (!st.Text.empty()) {
    TFilterInOutPtr outputs(avfilter_inout_alloc());
    TFilterInOutPtr inputs(avfilter_inout_alloc());
    if (!outputs || !inputs) return AVERROR(ENOMEM);
    outputs->name = av_strdup("in");
    outputs->filter_ctx = src;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = end;
    AVFilterInOut* in = inputs.release();
    AVFilterInOut* out = outputs.release();
    r = avfilter_graph_parse_ptr(graph.get(), st.Text.c_str(), &in, &out, nullptr);
    avfilter_inout_free(&in);
    avfilter_inout_free(&out);
    if (r < 0) return r;
  } else {
    r = avfilter_link(src, 0, end, 0);
    if (r < 0) return r;
  }
  r = avfilter_graph_config(graph.get(), nullptr);
  if (r < 0) return r;
  st.Src = src;
  st.Sink = sink;
  st.Graph = std::move(graph);
  return 0;
}

int TVideoFilterChain::Send(const AVFrame* frame) {
  if (FStages.empty()) return AVERROR(EINVAL);
  if (!frame) return Push(0, nullptr);
  TOwnFramePtr ref(av_frame_clone(frame));
  if (!ref) return AVERROR(ENOMEM);
  return Push(0, ref.get());
}

int TVideoFilterChain::Push(size_t index, AVFrame* frame) {
  TStage& st = FStages[index];
  if (st.Own) {
    // An own filter hands its result straight to the next graph.
    if (!frame) return Push(index + 1, nullptr);
    TOwnFramePtr in(av_frame_clone(frame));
    if (!in) return AVERROR(ENOMEM);
    TOwnFramePtr out;
    const int r = st.Own->Filter(std::move(in), &out);
    if (r < 0) return r;
    return Push(index + 1, out.get());
  }
  if (!st.Graph) {
    if (!frame) {
      // Nothing ever reached this graph: the chain ends here.
      st.Ended = true;
      if (index + 1 == FStages.size()) FEnded = true;
      else return Push(index + 1, nullptr);
      return 0;
    }
    TVideoChainSource s;
    s.Width = frame->width;
    s.Height = frame->height;
    s.PixFmt = static_cast<AVPixelFormat>(frame->format);
    s.TimeBase = av_buffersink_get_time_base(FStages[index - 2].Sink);
    s.SampleAspect = frame->sample_aspect_ratio;
    s.FrameRate = FFrameRate;
    const int r = BuildGraph(index, s);
    if (r < 0) return r;
  }
  const int r = av_buffersrc_add_frame_flags(st.Src, frame, AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
  if (r < 0) return r;
  return Pull(index);
}

int TVideoFilterChain::Pull(size_t index) {
  TStage& st = FStages[index];
  const bool last = index + 1 == FStages.size();
  for (;;) {
    TOwnFramePtr f(av_frame_alloc());
    if (!f) return AVERROR(ENOMEM);
    const int r = av_buffersink_get_frame_flags(st.Sink, f.get(), 0);
    if (r == AVERROR(EAGAIN)) return 0;
    if (r == AVERROR_EOF) {
      if (st.Ended) return 0;
      st.Ended = true;
      if (last) {
        FEnded = true;
        return 0;
      }
      return Push(index + 1, nullptr);
    }
    if (r < 0) return r;
    if (last) {
      FOutTimeBase = av_buffersink_get_time_base(st.Sink);
      FOut.push_back(std::move(f));
    } else {
      // Pictures keep the time base of this graph's sink; the next graph's source is built with it.
      const int pr = Push(index + 1, f.get());
      if (pr < 0) return pr;
    }
  }
}

int TVideoFilterChain::Receive(AVFrame* out) {
  if (!FOut.empty()) {
    av_frame_unref(out);
    av_frame_move_ref(out, FOut.front().get());
    FOut.pop_front();
    return 0;
  }
  return FEnded ? AVERROR_EOF : AVERROR(EAGAIN);
}
