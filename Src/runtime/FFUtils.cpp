#include "runtime/FFUtils.h"

#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

TFormatConverter::TFormatConverter() {
  Reset();
}

TFormatConverter::~TFormatConverter() = default;

void TFormatConverter::Reset() {
  FPicData = nullptr;
  FPicLineSize = 0;
  FPicWidth = 0;
  FPicHeight = 0;
  FUsedAsIs = false;
  const int bits = FBitmap.BitsPixel();
  FBitsPixel = bits == 15 ? 16 : bits;
  FTargetFormat = TBitmap::PixelFormatOf(bits);
}

void TFormatConverter::SetBitsPixel(int bits) {
  if (bits == FBitsPixel)
    return;
  if (!TBitmap::ValidBits(bits))
    throw std::invalid_argument("Invalid BitsPixel " + std::to_string(bits));
  FBitmap.SetBitsPixel(bits);
  Reset();
}

namespace {
constexpr size_t kScalePadding = 64;
}  // namespace

bool TFormatConverter::ToRGB(uint8_t* const data[4], const int linesize[4], AVPixelFormat format,
                             bool copyToBitmap, int height, int width) {
  FBitmap.SetSize(width, height);
  if (width <= 0 || height <= 0 || !data || !data[0] || !linesize) {
    Reset();
    FLastErrMsg = "Cannot initialize the toRGB conversion context";
    return false;
  }

  uint8_t* picData;
  int picLineSize;
  const bool asIs = format == FTargetFormat && width % 2 == 0 && height % 2 == 0 &&
                    linesize[0] == FBitmap.Stride();
  if (asIs) {
    picData = data[0];
    picLineSize = linesize[0];
  } else {
    // Rows of the converted picture have the bitmap's padded row size, so both copy
    // directions move whole rows.
    const int size = av_image_get_buffer_size(FTargetFormat, width, height, 4);
    if (size < 0) {
      Reset();
      FLastErrMsg = "Cannot initialize the toRGB conversion context";
      return false;
    }
    if (!FBuffer || FBufferSize < static_cast<size_t>(size)) {
      FBuffer.reset();
      FBufferSize = 0;
      // swscale's vector code stores whole blocks and may pass the end of the last row.
      FBuffer.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(size) + kScalePadding)));
      if (!FBuffer) {
        Reset();
        FLastErrMsg = "Out of memory";
        return false;
      }
      FBufferSize = static_cast<size_t>(size);
    }
    uint8_t* dst[4] = {};
    int dstLinesize[4] = {};
    av_image_fill_arrays(dst, dstLinesize, FBuffer.get(), FTargetFormat, width, height, 4);
    // swscale asserts on formats it does not know, so ask first.
    if (!sws_isSupportedInput(format)) {
      Reset();
      FLastErrMsg = "Cannot initialize the toRGB conversion context";
      return false;
    }
    FToRGBCtx.reset(sws_getCachedContext(FToRGBCtx.release(), width, height, format, width, height,
                                         FTargetFormat, FSwsFlags, nullptr, nullptr, nullptr));
    if (!FToRGBCtx) {
      Reset();
      FLastErrMsg = "Cannot initialize the toRGB conversion context";
      return false;
    }
    sws_scale(FToRGBCtx.get(), data, linesize, 0, height, dst, dstLinesize);
    picData = dst[0];
    picLineSize = dstLinesize[0];
  }

  FPicData = picData;
  FPicLineSize = picLineSize;
  FPicWidth = width;
  FPicHeight = height;
  FUsedAsIs = asIs;
  if (copyToBitmap)
    PictureToBitmap();
  return true;
}

bool TFormatConverter::ToRGB(const AVFrame* frame, bool copyToBitmap) {
  if (!frame) {
    Reset();
    FLastErrMsg = "Cannot initialize the toRGB conversion context";
    return false;
  }
  return ToRGB(const_cast<uint8_t* const*>(frame->data), frame->linesize,
               static_cast<AVPixelFormat>(frame->format), copyToBitmap, frame->height,
               frame->width);
}

bool TFormatConverter::PictureToBitmap() {
  if (!FPicData)
    return false;
  const int rows = FPicHeight < FBitmap.Height() ? FPicHeight : FBitmap.Height();
  const int bytes = FPicLineSize < FBitmap.Stride() ? FPicLineSize : FBitmap.Stride();
  for (int y = 0; y < rows; ++y)
    memcpy(FBitmap.ScanLine(y), FPicData + static_cast<ptrdiff_t>(y) * FPicLineSize, bytes);
  return true;
}

bool TFormatConverter::BitmapToPicture() {
  if (!FPicData)
    return false;
  const int rows = FPicHeight < FBitmap.Height() ? FPicHeight : FBitmap.Height();
  const int bytes = FPicLineSize < FBitmap.Stride() ? FPicLineSize : FBitmap.Stride();
  for (int y = 0; y < rows; ++y)
    memcpy(FPicData + static_cast<ptrdiff_t>(y) * FPicLineSize, FBitmap.ScanLine(y), bytes);
  return true;
}

bool TFormatConverter::FromRGB(uint8_t* const dst[4], const int dstLinesize[4],
                               AVPixelFormat format, int height, int width) {
  if (!FPicData) {
    FLastErrMsg = "No picture to convert";
    return false;
  }
  if (!dst || !dst[0] || !dstLinesize || width <= 0 || height <= 0) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  if (!sws_isSupportedOutput(format)) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  FFromRGBCtx.reset(sws_getCachedContext(FFromRGBCtx.release(), FPicWidth, FPicHeight,
                                         FTargetFormat, width, height, format, FSwsFlags, nullptr,
                                         nullptr, nullptr));
  if (!FFromRGBCtx) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  const uint8_t* src[4] = {FPicData, nullptr, nullptr, nullptr};
  const int srcLinesize[4] = {FPicLineSize, 0, 0, 0};
  sws_scale(FFromRGBCtx.get(), src, srcLinesize, 0, FPicHeight, dst, dstLinesize);
  return true;
}

bool TFormatConverter::FromRGB(AVFrame* dst) {
  if (!dst) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  return FromRGB(dst->data, dst->linesize, static_cast<AVPixelFormat>(dst->format), dst->height,
                 dst->width);
}
