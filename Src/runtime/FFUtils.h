#pragma once
// Picture format converter (FFmpeg picture <-> TBitmap through swscale) and, via MediaTexts.h,
// the text helpers every media component uses for its messages.
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/Bitmap.h"
#include "runtime/FFOwners.h"
#include "runtime/MediaTexts.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

// A converter belongs to one component and is used from one thread at a time.
class TFormatConverter {
public:
  TFormatConverter();
  ~TFormatConverter();
  TFormatConverter(const TFormatConverter&) = delete;
  TFormatConverter& operator=(const TFormatConverter&) = delete;

  // Forget the current picture; take the target format from the bitmap depth.
  void Reset();

  // Bits per pixel of the target: 8, 16 (15- and 16-bit formats), 24 or 32.
  int BitsPixel() const { return FBitsPixel; }
  // 8, 15, 16, 24, 32; anything else throws std::invalid_argument "Invalid BitsPixel %d".
  // A value equal to the current bits per pixel changes nothing (16 keeps the 15-bit format).
  void SetBitsPixel(int bits);
  AVPixelFormat TargetFormat() const { return FTargetFormat; }

  // Converts a picture into the target format (and the bitmap when copyToBitmap). A picture
  // already in the target format with even sizes and a line size equal to the bitmap's row
  // size is used as it is; it then stays the current picture, so the caller keeps it alive
  // while PictureToBitmap/BitmapToPicture/FromRGB may still use it.
  bool ToRGB(uint8_t* const data[4], const int linesize[4], AVPixelFormat format, bool copyToBitmap,
             int height, int width);
  bool ToRGB(const AVFrame* frame, bool copyToBitmap);

  // Current picture -> bitmap; false when there is none.
  bool PictureToBitmap();
  // Bitmap -> current picture (after drawing on the bitmap); false when there is none.
  bool BitmapToPicture();
  // Current picture -> destination (scaled from the current picture's size to width x height).
  bool FromRGB(uint8_t* const dst[4], const int dstLinesize[4], AVPixelFormat format, int height,
               int width);
  bool FromRGB(AVFrame* dst);

  TBitmap& Bitmap() { return FBitmap; }
  const TBitmap& Bitmap() const { return FBitmap; }
  int SwsFlags() const { return FSwsFlags; }
  void SetSwsFlags(int flags) { FSwsFlags = flags; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }

  // The current picture: its first plane, line size and size; null when there is none.
  const uint8_t* PictureData() const { return FPicData; }
  int PictureLineSize() const { return FPicLineSize; }
  int PictureWidth() const { return FPicWidth; }
  int PictureHeight() const { return FPicHeight; }
  // True when the last successful ToRGB used the caller's picture without scaling.
  bool LastUsedAsIs() const { return FUsedAsIs; }
  // Bytes held by the conversion buffer (it only grows).
  size_t BufferCapacity() const { return FBufferSize; }

private:
  TBitmap FBitmap;
  int FBitsPixel = 32;
  AVPixelFormat FTargetFormat = AV_PIX_FMT_BGRA;
  TAVBufferPtr FBuffer;
  size_t FBufferSize = 0;
  uint8_t* FPicData = nullptr;
  int FPicLineSize = 0;
  int FPicWidth = 0;
  int FPicHeight = 0;
  bool FUsedAsIs = false;
  int FSwsFlags = SWS_BICUBIC;
  TSwsContextPtr FToRGBCtx;
  TSwsContextPtr FFromRGBCtx;
  std::string FLastErrMsg;
};
