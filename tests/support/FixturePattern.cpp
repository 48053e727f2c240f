// The fixture picture and its reader.
//
// Layout, in fractions of the picture so that a scaled copy reads the same:
//   - number code: 8 columns x 4 rows of cells covering x in [W/10, 9W/10), y in [H/4, 3H/4):
//     row 0 a fixed sync pattern (gives the black and white levels and proves the alignment),
//     rows 1-2 the 16 bits of the number (MSB first, white = 1), row 3 a check byte;
//   - the number in five seven-segment digits in the band y in [H/32, 7H/32), for people
//     looking at a screenshot;
//   - elsewhere a soft moving colour ramp, so that encoders have real motion to code.
// Cells are pure grey (neutral chroma), so luma alone carries the code in every format.

#include "Fixtures.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

constexpr int kCols = 8;
constexpr int kRows = 4;
constexpr std::array<int, kCols> kSync = {1, 0, 1, 1, 0, 0, 1, 0};
constexpr int kDigits = 5;
constexpr uint8_t kWhite = 235;
constexpr uint8_t kBlack = 16;
constexpr int kMaxNumber = 65535;

int CheckByte(int number) {
  return ((number >> 8) ^ (number & 0xFF) ^ 0x5A) & 0xFF;
}

// Bit (0/1) shown in cell (col,row) for a number.
int CellBit(int number, int col, int row) {
  switch (row) {
    case 0: return kSync[col];
    case 1: return (number >> (15 - col)) & 1;
    case 2: return (number >> (7 - col)) & 1;
    default: return (CheckByte(number) >> (7 - col)) & 1;
  }
}

struct Rect {
  int x0, y0, x1, y1;  // half-open, luma coordinates
  uint8_t luma;
};

int CellX(int w, int col) { return w * (1 + col) / 10; }
int CellY(int h, int row) { return h * (2 + row) / 8; }

// Segments a..g of each decimal digit.
constexpr std::array<uint8_t, 10> kSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                               0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// Everything drawn over the background, in painting order.
std::vector<Rect> PictureRects(int w, int h, int number) {
  std::vector<Rect> rects;
  for (int row = 0; row < kRows; ++row)
    for (int col = 0; col < kCols; ++col)
      rects.push_back({CellX(w, col), CellY(h, row), CellX(w, col + 1), CellY(h, row + 1),
                       CellBit(number, col, row) ? kWhite : kBlack});

  const int boxX0 = w * 3 / 10, boxX1 = w * 7 / 10;
  const int boxY0 = h / 32, boxY1 = h * 7 / 32;
  rects.push_back({boxX0, boxY0, boxX1, boxY1, kBlack});
  const int pitch = (boxX1 - boxX0) / kDigits;
  const int dh = (boxY1 - boxY0) * 3 / 4;
  const int dw = std::max(3, pitch * 3 / 5);
  const int t = std::max(1, dh / 8);
  const int top = boxY0 + (boxY1 - boxY0 - dh) / 2;
  const int mid = top + dh / 2;
  const int bottom = top + dh;
  int value = number;
  for (int i = kDigits - 1; i >= 0; --i, value /= 10) {
    const int seg = kSegments[value % 10];
    const int left = boxX0 + i * pitch + (pitch - dw) / 2;
    const int right = left + dw;
    auto add = [&](int bit, int x0, int y0, int x1, int y1) {
      if (seg & (1 << bit)) rects.push_back({x0, y0, x1, y1, kWhite});
    };
    add(0, left, top, right, top + t);                   // a
    add(1, right - t, top, right, mid);                  // b
    add(2, right - t, mid, right, bottom);               // c
    add(3, left, bottom - t, right, bottom);             // d
    add(4, left, mid, left + t, bottom);                 // e
    add(5, left, top, left + t, mid);                    // f
    add(6, left, mid - t / 2, right, mid - t / 2 + t);   // g
  }
  return rects;
}

int Tri(int t) {
  t &= 255;
  return t < 128 ? t : 255 - t;
}

// Renders one plane (0 = Y, 1 = U, 2 = V) of the picture, subsampled by (sx, sy).
void RenderPlane(uint8_t* dst, int linesize, int w, int h, int plane, int sx, int sy,
                 int number, const std::vector<Rect>& rects) {
  const int pw = (w + (1 << sx) - 1) >> sx;
  const int ph = (h + (1 << sy) - 1) >> sy;
  for (int cy = 0; cy < ph; ++cy) {
    uint8_t* row = dst + static_cast<ptrdiff_t>(cy) * linesize;
    const int y = cy << sy;
    switch (plane) {
      case 0:
        for (int cx = 0; cx < pw; ++cx) row[cx] = uint8_t(48 + Tri(cx + (y >> 1) + 4 * number));
        break;
      case 1:
        for (int cx = 0; cx < pw; ++cx)
          row[cx] = uint8_t(96 + Tri(((cx << sx) >> 1) + 3 * number) / 2);
        break;
      default: {
        const uint8_t v = uint8_t(160 - Tri((y >> 1) + 2 * number) / 2);
        std::memset(row, v, pw);
        break;
      }
    }
  }
  for (const Rect& r : rects) {
    const int x0 = r.x0 >> sx, x1 = (r.x1 + (1 << sx) - 1) >> sx;
    const int y0 = r.y0 >> sy, y1 = (r.y1 + (1 << sy) - 1) >> sy;
    const uint8_t v = plane == 0 ? r.luma : 128;
    for (int cy = std::max(0, y0); cy < std::min(ph, y1); ++cy)
      std::memset(dst + static_cast<ptrdiff_t>(cy) * linesize + x0, v,
                  std::max(0, std::min(pw, x1) - x0));
  }
}

uint8_t Clip8(int v) { return uint8_t(std::clamp(v, 0, 255)); }

// Luma of the picture at (x, y), any source.
class LumaSource {
 public:
  virtual ~LumaSource() = default;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // Sum of luma over row y, columns [x0, x1).
  virtual int64_t RowSum(int y, int x0, int x1) = 0;
};

class FrameLuma : public LumaSource {
 public:
  FrameLuma(const AVFrame* f, const AVPixFmtDescriptor* d) : frame_(f), desc_(d) {
    rgb_ = (d->flags & AV_PIX_FMT_FLAG_RGB) != 0;
  }
  int Width() const override { return frame_->width; }
  int Height() const override { return frame_->height; }
  int64_t RowSum(int y, int x0, int x1) override {
    const int n = x1 - x0;
    if (n <= 0) return 0;
    const uint8_t* data[4] = {frame_->data[0], frame_->data[1], frame_->data[2], frame_->data[3]};
    const int comps = rgb_ ? 3 : 1;
    for (int c = 0; c < comps; ++c) {
      buf_[c].resize(n);
      av_read_image_line2(buf_[c].data(), data, frame_->linesize, desc_, x0, y, c, n, 0, 2);
      const int shift = desc_->comp[c].depth - 8;
      for (uint16_t& v : buf_[c]) v = shift >= 0 ? uint16_t(v >> shift) : uint16_t(v << -shift);
    }
    int64_t sum = 0;
    if (!rgb_) {
      for (int i = 0; i < n; ++i) sum += buf_[0][i];
    } else {
      for (int i = 0; i < n; ++i) sum += (77 * buf_[0][i] + 150 * buf_[1][i] + 29 * buf_[2][i]) >> 8;
    }
    return sum;
  }

 private:
  const AVFrame* frame_;
  const AVPixFmtDescriptor* desc_;
  bool rgb_ = false;
  std::array<std::vector<uint16_t>, 3> buf_;
};

class BGRLuma : public LumaSource {
 public:
  BGRLuma(const uint8_t* data, int stride, int w, int h, int bpp)
      : data_(data), stride_(stride), w_(w), h_(h), bpp_(bpp) {}
  int Width() const override { return w_; }
  int Height() const override { return h_; }
  int64_t RowSum(int y, int x0, int x1) override {
    const uint8_t* p = data_ + static_cast<ptrdiff_t>(y) * stride_ + x0 * bpp_;
    int64_t sum = 0;
    for (int x = x0; x < x1; ++x, p += bpp_) sum += (29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8;
    return sum;
  }

 private:
  const uint8_t* data_;
  int stride_, w_, h_, bpp_;
};

int ReadCode(LumaSource& src) {
  const int w = src.Width(), h = src.Height();
  if (w < 40 || h < 32) return -1;
  std::array<std::array<int, kCols>, kRows> level{};
  for (int row = 0; row < kRows; ++row) {
    for (int col = 0; col < kCols; ++col) {
      // The middle half of the cell, away from edges blurred by coding or scaling.
      const int cx0 = CellX(w, col), cx1 = CellX(w, col + 1);
      const int cy0 = CellY(h, row), cy1 = CellY(h, row + 1);
      const int x0 = cx0 + (cx1 - cx0) / 4, x1 = cx1 - (cx1 - cx0) / 4;
      const int y0 = cy0 + (cy1 - cy0) / 4, y1 = cy1 - (cy1 - cy0) / 4;
      if (x1 <= x0 || y1 <= y0) return -1;
      int64_t sum = 0;
      for (int y = y0; y < y1; ++y) sum += src.RowSum(y, x0, x1);
      level[row][col] = static_cast<int>(sum / (static_cast<int64_t>(x1 - x0) * (y1 - y0)));
    }
  }
  int minWhite = 255, maxBlack = 0, sumWhite = 0, sumBlack = 0, nWhite = 0, nBlack = 0;
  for (int col = 0; col < kCols; ++col) {
    const int v = level[0][col];
    if (kSync[col]) {
      minWhite = std::min(minWhite, v);
      sumWhite += v;
      ++nWhite;
    } else {
      maxBlack = std::max(maxBlack, v);
      sumBlack += v;
      ++nBlack;
    }
  }
  if (minWhite - maxBlack < 64) return -1;
  const int white = sumWhite / nWhite, black = sumBlack / nBlack;
  const int threshold = (white + black) / 2;
  const int margin = (white - black) / 4;
  int bits[kRows][kCols];
  for (int row = 1; row < kRows; ++row)
    for (int col = 0; col < kCols; ++col) {
      const int v = level[row][col];
      if (v >= threshold + margin)
        bits[row][col] = 1;
      else if (v <= threshold - margin)
        bits[row][col] = 0;
      else
        return -1;  // neither black nor white: a blend of two pictures or no code at all
    }
  int number = 0, check = 0;
  for (int col = 0; col < kCols; ++col) {
    number = (number << 1) | bits[1][col];
    check = (check << 1) | bits[3][col];
  }
  for (int col = 0; col < kCols; ++col) number = (number << 1) | bits[2][col];
  return check == CheckByte(number) ? number : -1;
}

}  // namespace

bool DrawFrameNumber(AVFrame* frame, int number) {
  if (!frame || number < 0 || number > kMaxNumber || frame->width <= 0 || frame->height <= 0)
    return false;
  const int w = frame->width, h = frame->height;
  const auto fmt = static_cast<AVPixelFormat>(frame->format);
  const std::vector<Rect> rects = PictureRects(w, h, number);
  switch (fmt) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_GRAY8: {
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
      RenderPlane(frame->data[0], frame->linesize[0], w, h, 0, 0, 0, number, rects);
      if (fmt != AV_PIX_FMT_GRAY8)
        for (int p = 1; p <= 2; ++p)
          RenderPlane(frame->data[p], frame->linesize[p], w, h, p, d->log2_chroma_w,
                      d->log2_chroma_h, number, rects);
      return true;
    }
    case AV_PIX_FMT_BGR24:
    case AV_PIX_FMT_RGB24:
    case AV_PIX_FMT_BGRA:
    case AV_PIX_FMT_RGBA: {
      std::vector<uint8_t> yuv[3];
      for (int p = 0; p < 3; ++p) {
        yuv[p].resize(static_cast<size_t>(w) * h);
        RenderPlane(yuv[p].data(), w, w, h, p, 0, 0, number, rects);
      }
      const bool bgr = fmt == AV_PIX_FMT_BGR24 || fmt == AV_PIX_FMT_BGRA;
      const int bpp = (fmt == AV_PIX_FMT_BGR24 || fmt == AV_PIX_FMT_RGB24) ? 3 : 4;
      for (int y = 0; y < h; ++y) {
        uint8_t* out = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        for (int x = 0; x < w; ++x, out += bpp) {
          const size_t i = static_cast<size_t>(y) * w + x;
          // BT.601 limited range to full-range RGB, in 16.16 fixed point.
          const int c = (yuv[0][i] - 16) * 76309;
          const int d = yuv[1][i] - 128, e = yuv[2][i] - 128;
          const uint8_t r = Clip8((c + 104597 * e + 32768) >> 16);
          const uint8_t g = Clip8((c - 25675 * d - 53279 * e + 32768) >> 16);
          const uint8_t b = Clip8((c + 132201 * d + 32768) >> 16);
          out[0] = bgr ? b : r;
          out[1] = g;
          out[2] = bgr ? r : b;
          if (bpp == 4) out[3] = 255;
        }
      }
      return true;
    }
    default:
      return false;
  }
}

int ReadFrameNumber(const AVFrame* frame) {
  if (!frame || frame->width <= 0 || frame->height <= 0 || !frame->data[0]) return -1;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  if (!desc || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL) || desc->comp[0].depth > 16) return -1;
  // Paletted and floating-point pictures never come out of the fixtures' decoders.
  if (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_FLOAT)) return -1;
  if ((desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components < 3) return -1;
  FrameLuma src(frame, desc);
  return ReadCode(src);
}

namespace {

// Finds a picture drawn centred on a plain border (a fitted picture in a bigger panel):
// the border is the colour of the bitmap's corner.
bool FindFittedPicture(const uint8_t* data, int stride, int width, int height, int bpp, int& x0,
                       int& y0, int& x1, int& y1) {
  auto px = [&](int x, int y) { return data + static_cast<ptrdiff_t>(y) * stride + x * bpp; };
  const uint8_t* border = px(0, 0);
  auto differs = [&](int x, int y) {
    const uint8_t* p = px(x, y);
    return std::abs(p[0] - border[0]) + std::abs(p[1] - border[1]) + std::abs(p[2] - border[2]) >
           24;
  };
  const int midY = height / 2;
  x0 = 0;
  while (x0 < width && !differs(x0, midY)) ++x0;
  x1 = width;
  while (x1 > x0 && !differs(x1 - 1, midY)) --x1;
  if (x1 - x0 < 40) return false;
  // Down the background strip left of the code cells.
  const int probeX = x0 + (x1 - x0) / 20;
  y0 = 0;
  while (y0 < height && !differs(probeX, y0)) ++y0;
  y1 = height;
  while (y1 > y0 && !differs(probeX, y1 - 1)) --y1;
  return y1 - y0 >= 32 && (x0 > 0 || y0 > 0 || x1 < width || y1 < height);
}

}  // namespace

int ReadFrameNumberBGR(const uint8_t* data, int stride, int width, int height, int bytesPerPixel) {
  if (!data || width <= 0 || height <= 0 || (bytesPerPixel != 3 && bytesPerPixel != 4)) return -1;
  if (std::abs(stride) < width * bytesPerPixel) return -1;
  BGRLuma whole(data, stride, width, height, bytesPerPixel);
  const int number = ReadCode(whole);
  if (number >= 0) return number;
  int x0, y0, x1, y1;
  if (!FindFittedPicture(data, stride, width, height, bytesPerPixel, x0, y0, x1, y1)) return -1;
  BGRLuma fitted(data + static_cast<ptrdiff_t>(y0) * stride + x0 * bytesPerPixel, stride, x1 - x0,
                 y1 - y0, bytesPerPixel);
  return ReadCode(fitted);
}
