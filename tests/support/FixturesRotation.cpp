// Pictures stored sideways with a display matrix, as phones write them.
#include <memory>

#include "FixtureHooks.h"
#include "Fixtures.h"

extern "C" {
#include <libavutil/display.h>
}

bool DrawSidewaysFrameNumber(AVFrame* frame, int number) {
  if (frame->format != AV_PIX_FMT_YUV420P) return false;
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> upright(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
  if (!upright) return false;
  upright->format = frame->format;
  upright->width = frame->height;
  upright->height = frame->width;
  if (av_frame_get_buffer(upright.get(), 0) < 0 || !DrawFrameNumber(upright.get(), number))
    return false;
  for (int p = 0; p < 3; ++p) {
    const int shift = p ? 1 : 0;
    const int uw = upright->width >> shift;
    const int sw = frame->width >> shift, sh = frame->height >> shift;
    // The upright picture's top right corner is the stored one's top left.
    for (int y = 0; y < sh; ++y)
      for (int x = 0; x < sw; ++x)
        frame->data[p][y * frame->linesize[p] + x] =
            upright->data[p][x * upright->linesize[p] + (uw - 1 - y)];
  }
  return true;
}

void SetDisplayTurn(AVStream* st, double clockwise) {
  auto* m = reinterpret_cast<int32_t*>(
      av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
  if (m) av_display_rotation_set(m, clockwise);
}
