// H264RotatedMp4: a phone-style recording whose pictures are stored sideways and shown upright
// through the stream's display matrix.
#include <cmath>
#include <memory>

#include "FixtureHooks.h"
#include "Fixtures.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace {
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
}  // namespace

void SetDisplayRotation(AVStream* st, double degrees) {
  uint8_t* data = av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t));
  if (data) av_display_rotation_set(reinterpret_cast<int32_t*>(data), degrees);
}

bool DrawTurnedFrameNumber(AVFrame* coded, int number, double degrees) {
  const bool clockwiseShown = std::lround(degrees) == -90;
  if (!clockwiseShown && std::lround(degrees) != 90) return false;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(coded->format));
  if (!desc || coded->format != AV_PIX_FMT_YUV420P) return false;
  std::unique_ptr<AVFrame, FrameFree> up(av_frame_alloc());
  if (!up) return false;
  up->format = coded->format;
  up->width = coded->height;
  up->height = coded->width;
  if (av_frame_get_buffer(up.get(), 0) < 0 || !DrawFrameNumber(up.get(), number)) return false;
  for (int p = 0; p < 3; ++p) {
    const int shift = p ? 1 : 0;
    const int cw = AV_CEIL_RSHIFT(coded->width, shift), ch = AV_CEIL_RSHIFT(coded->height, shift);
    const int uw = AV_CEIL_RSHIFT(up->width, shift);
    const int uh = AV_CEIL_RSHIFT(up->height, shift);
    for (int y = 0; y < ch; ++y) {
      for (int x = 0; x < cw; ++x) {
        // Shown turned clockwise: stored turned counter-clockwise, and the other way round.
        const int ux = clockwiseShown ? uw - 1 - y : y;
        const int uy = clockwiseShown ? x : uh - 1 - x;
        coded->data[p][y * coded->linesize[p] + x] = up->data[p][uy * up->linesize[p] + ux];
      }
    }
  }
  return true;
}
