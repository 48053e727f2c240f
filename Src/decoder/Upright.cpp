#include "decoder/Upright.h"

#include <cmath>
#include <cstdio>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace {

const int32_t* DisplayMatrix(const AVStream* st) {
  if (!st) return nullptr;
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
  return data && size >= 9 * sizeof(int32_t) ? reinterpret_cast<const int32_t*>(data) : nullptr;
}

// -1, 0 or 1 for a 16.16 matrix entry; entries of a quarter turn are 0 or +-1.
int Unit(int32_t v) {
  const double d = v / 65536.0;
  if (std::fabs(d) < 0.01) return 0;
  if (std::fabs(std::fabs(d) - 1.0) < 0.01) return d < 0 ? -1 : 1;
  return 2;
}

}  // namespace

// The matrix maps a source pixel (p, q) (y pointing down) to (a*p + c*q, b*p + d*q) on the
// screen, up to a shift; each signed permutation of the axes is one whole-pixel operation.
std::vector<TUprightStep> UprightSteps(const AVStream* st) {
  const int32_t* m = DisplayMatrix(st);
  if (!m) return {};
  const int a = Unit(m[0]), b = Unit(m[1]), c = Unit(m[3]), d = Unit(m[4]);
  if (a == 2 || b == 2 || c == 2 || d == 2) return {};
  if (b == 0 && c == 0 && a != 0 && d != 0) {
    std::vector<TUprightStep> steps;
    if (a < 0) steps.push_back({"hflip", ""});
    if (d < 0) steps.push_back({"vflip", ""});
    return steps;
  }
  if (a == 0 && d == 0 && b != 0 && c != 0) {
    if (b > 0 && c < 0) return {{"transpose", "clock"}};
    if (b < 0 && c > 0) return {{"transpose", "cclock"}};
    // Mirrored along a diagonal.
    return {{"transpose", b > 0 ? "cclock_flip" : "clock_flip"}};
  }
  return {};
}

std::string UprightFilters(const AVStream* st) {
  std::string text;
  for (const TUprightStep& s : UprightSteps(st)) {
    if (!text.empty()) text += ',';
    text += s.Filter;
    if (!s.Args.empty()) text += "=" + s.Args;
  }
  return text;
}

bool UprightMirrored(const AVStream* st) {
  const int32_t* m = DisplayMatrix(st);
  if (!m || UprightFilters(st).empty()) return false;
  return static_cast<int64_t>(m[0]) * m[4] - static_cast<int64_t>(m[1]) * m[3] < 0;
}

// Told as a clockwise turn followed, when mirrored, by a left-right flip: undoing that flip
// (negating the screen x) leaves a plain turn.
int UprightDegrees(const AVStream* st) {
  const int32_t* m = DisplayMatrix(st);
  if (!m || UprightFilters(st).empty()) return 0;
  const int flip = UprightMirrored(st) ? -1 : 1;
  const int a = flip * Unit(m[0]), b = Unit(m[1]), c = flip * Unit(m[3]);
  if (a == 1) return 0;
  if (a == -1) return 180;
  return b > 0 && c < 0 ? 90 : 270;
}

void TUprightTurner::SetFilters(const std::string& filters) {
  if (filters == FFilters) return;
  FFilters = filters;
  Reset();
}

void TUprightTurner::Reset() {
  FGraph.reset();
  FSrc = FSink = nullptr;
  FWidth = FHeight = FFormat = -1;
}

bool TUprightTurner::Build(const AVFrame* frame) {
  Reset();
  const char* pix = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
  if (!pix) return false;
  TFilterGraphPtr graph(avfilter_graph_alloc());
  if (!graph) return false;
  graph->nb_threads = 1;
  const AVRational sar = frame->sample_aspect_ratio.num ? frame->sample_aspect_ratio : AVRational{1, 1};
  char args[256];
  snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%s:time_base=1/1000000:pixel_aspect=%d/%d", frame->width,
           frame->height, pix, sar.num, sar.den);
  AVFilterContext* src = nullptr;
  AVFilterContext* sink = nullptr;
  if (avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args, nullptr, graph.get()) < 0 ||
      avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph.get()) < 0)
    return false;
  AVFilterInOut* outputs = avfilter_inout_alloc();
  AVFilterInOut* inputs = avfilter_inout_alloc();
  TFilterInOutPtr outOwner(outputs), inOwner(inputs);
  if (!outputs || !inputs) return false;
  outputs->name = av_strdup("in");
  outputs->filter_ctx = src;
  inputs->name = av_strdup("out");
  inputs->filter_ctx = sink;
  AVFilterInOut* outs = outOwner.release();
  AVFilterInOut* ins = inOwner.release();
  const int r = avfilter_graph_parse_ptr(graph.get(), FFilters.c_str(), &ins, &outs, nullptr);
  outOwner.reset(outs);
  inOwner.reset(ins);
  if (r < 0 || avfilter_graph_config(graph.get(), nullptr) < 0) return false;
  FGraph = std::move(graph);
  FSrc = src;
  FSink = sink;
  FWidth = frame->width;
  FHeight = frame->height;
  FFormat = frame->format;
  return true;
}

bool TUprightTurner::Turn(TFramePtr& frame) {
  if (!Active() || !frame) return true;
  if (!FGraph || frame->width != FWidth || frame->height != FHeight || frame->format != FFormat) {
    if (!Build(frame.get())) {
      Reset();
      return false;
    }
  }
  TFramePtr out(av_frame_alloc());
  if (!out) return false;
  // The filters hand each picture back at once; the times are not theirs to change.
  const int64_t pts = frame->pts;
  if (av_buffersrc_add_frame_flags(FSrc, frame.get(), AV_BUFFERSRC_FLAG_KEEP_REF) < 0 ||
      av_buffersink_get_frame(FSink, out.get()) < 0) {
    Reset();
    return false;
  }
  if (av_frame_copy_props(out.get(), frame.get()) < 0) return false;
  out->pts = pts;
  // The picture is upright now: a matrix on it would turn it again.
  av_frame_remove_side_data(out.get(), AV_FRAME_DATA_DISPLAYMATRIX);
  frame = std::move(out);
  return true;
}
