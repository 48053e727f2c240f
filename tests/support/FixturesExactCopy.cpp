// Fixture pictures in 10-bit 4:2:0 for the frame-exact copy's HEVC fixtures.
#include "Fixtures.h"

#include <memory>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

bool DrawFixturePicture(AVFrame* frame, int number) {
  if (frame->format != AV_PIX_FMT_YUV420P10LE) return DrawFrameNumber(frame, number);
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> narrow(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
  if (!narrow) return false;
  narrow->format = AV_PIX_FMT_YUV420P;
  narrow->width = frame->width;
  narrow->height = frame->height;
  if (av_frame_get_buffer(narrow.get(), 0) < 0 || !DrawFrameNumber(narrow.get(), number)) return false;
  for (int p = 0; p < 3; p++) {
    const int w = p ? (frame->width + 1) / 2 : frame->width;
    const int h = p ? (frame->height + 1) / 2 : frame->height;
    for (int y = 0; y < h; y++) {
      const uint8_t* from = narrow->data[p] + y * narrow->linesize[p];
      auto* to = reinterpret_cast<uint16_t*>(frame->data[p] + y * frame->linesize[p]);
      for (int x = 0; x < w; x++) to[x] = static_cast<uint16_t>(from[x] << 2);
    }
  }
  return true;
}
