#include "decoder/Upright.h"

#include <cmath>

#include "runtime/VideoFilterChain.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
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

TUprightTurner::TUprightTurner() = default;
TUprightTurner::~TUprightTurner() = default;

void TUprightTurner::SetFilters(const std::string& filters) {
  if (filters == FFilters) return;
  FFilters = filters;
  Reset();
}

void TUprightTurner::Reset() {
  FChain.reset();
  FWidth = FHeight = FFormat = -1;
}

bool TUprightTurner::Build(const AVFrame* frame) {
  Reset();
  auto chain = std::make_unique<TVideoFilterChain>();
  TVideoChainSource src;
  src.Width = frame->width;
  src.Height = frame->height;
  src.PixFmt = static_cast<AVPixelFormat>(frame->format);
  src.TimeBase = AVRational{1, 1000000};
  src.SampleAspect = frame->sample_aspect_ratio.num ? frame->sample_aspect_ratio : AVRational{1, 1};
  // A format the filters cannot turn is converted the way the ffmpeg tool's graphs do it.
  if (chain->Configure(src, FFilters, {}, {}, TVideoChainNames(), SWS_BICUBIC) < 0) return false;
  FChain = std::move(chain);
  FWidth = frame->width;
  FHeight = frame->height;
  FFormat = frame->format;
  return true;
}

bool TUprightTurner::Turn(TFramePtr& frame) {
  if (!Active() || !frame) return true;
  if (!FChain || frame->width != FWidth || frame->height != FHeight || frame->format != FFormat) {
    if (!Build(frame.get())) return false;
  }
  TFramePtr out(av_frame_alloc());
  if (!out) return false;
  // The filters hand each picture back at once; the times are not theirs to change.
  if (FChain->Send(frame.get()) < 0 || FChain->Receive(out.get()) < 0 ||
      av_frame_copy_props(out.get(), frame.get()) < 0) {
    Reset();
    return false;
  }
  // The picture is upright now: a matrix on it would turn it again.
  av_frame_remove_side_data(out.get(), AV_FRAME_DATA_DISPLAYMATRIX);
  frame = std::move(out);
  return true;
}
