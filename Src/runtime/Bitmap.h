#pragma once
// Device-independent bitmap of the pictures shown and saved by the program: 8, 15, 16, 24 or
// 32 bits per pixel, rows top-down in memory, each row padded to a multiple of 4 bytes.
// Pixel layouts are FFmpeg's: BGR8 (3-3-2), BGR555LE, BGR565LE, BGR24, BGRA.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

class TBitmap {
public:
  // 32 bits, empty.
  TBitmap() = default;
  // Throws std::invalid_argument "Invalid BitsPixel %d" for a depth other than 8/15/16/24/32.
  explicit TBitmap(int bits, int width = 0, int height = 0);

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  bool Empty() const { return FWidth <= 0 || FHeight <= 0; }
  // 8, 15, 16, 24 or 32 (15 is stored in 16 bits per pixel).
  int BitsPixel() const { return FBits; }
  int BytesPerPixel() const { return BytesPerPixel(FBits); }
  AVPixelFormat PixelFormat() const { return PixelFormatOf(FBits); }
  // Bytes per row, a multiple of 4.
  int Stride() const { return FStride; }
  uint8_t* ScanLine(int y) { return FData.data() + static_cast<size_t>(y) * FStride; }
  const uint8_t* ScanLine(int y) const { return FData.data() + static_cast<size_t>(y) * FStride; }
  // First row and the whole pixel store (Stride() * Height() bytes).
  uint8_t* Bits() { return FData.data(); }
  const uint8_t* Bits() const { return FData.data(); }
  size_t SizeBytes() const { return FData.size(); }

  // Changing the size or depth reallocates; the pixels are then black (zero).
  // Negative sizes count as 0.
  void SetSize(int width, int height);
  // Throws std::invalid_argument "Invalid BitsPixel %d".
  void SetBitsPixel(int bits);
  void Fill(uint8_t value);

  // Colour of one pixel as 0x00RRGGBB (for any depth); no range check.
  uint32_t PixelRGB(int x, int y) const;

  // Write the picture to a file through the safe-write path (never onto one of `inputs`, an
  // existing file replaced only by the complete new one); on failure return false, set *err
  // and leave the target as it was.
  bool SaveToBMP(const std::string& path, std::string* err = nullptr,
                 const std::vector<std::string>& inputs = {}) const;
  // Baseline JPEG with libjpeg's default settings (quality 75).
  bool SaveToJPEG(const std::string& path, std::string* err = nullptr,
                  const std::vector<std::string>& inputs = {}) const;

  // Helpers shared with the converter and the GUI.
  static bool ValidBits(int bits);
  static int BytesPerPixel(int bits);                 // 1, 2, 2, 3, 4; 0 when invalid
  static int BytesPerScanline(int width, int bits);   // row size rounded up to 4 bytes
  static AVPixelFormat PixelFormatOf(int bits);       // AV_PIX_FMT_NONE when invalid
  // The fixed 3-3-2 palette of the 8-bit layout: index -> 0x00RRGGBB.
  static uint32_t PaletteBGR8(int index);

private:
  void Allocate();

  int FWidth = 0;
  int FHeight = 0;
  int FBits = 32;
  int FStride = 0;
  std::vector<uint8_t> FData;
};
