#include "runtime/Bitmap.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <jpeglib.h>

#include "runtime/SafeWrite.h"

namespace {

std::string InvalidBitsText(int bits) {
  return "Invalid BitsPixel " + std::to_string(bits);
}

void SetErr(std::string* err, const std::string& text) {
  if (err)
    *err = text;
}

// The stream of a new file written beside path through the safe-write path; null (err set) when
// it cannot be made.
FILE* OpenForWriting(TSafeFile& file, const std::string& path,
                     const std::vector<std::string>& inputs, std::string* err) {
  if (!file.Open(path, inputs, true, err))
    return nullptr;
  FILE* f = file.Stream();
  if (!f)
    SetErr(err, path + ": " + strerror(errno));
  return f;
}


void PutU16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  PutU16(v, x & 0xFFFF);
  PutU16(v, x >> 16);
}

// 0..max scaled to 0..255, rounded.
inline uint32_t Expand(uint32_t v, uint32_t max) { return (v * 255 + max / 2) / max; }

// BMP files keep red in the high bits of 16-bit pixels (x-5-5-5 without masks, 5-6-5 with the
// standard masks); FFmpeg's BGR555/BGR565 keep it in the low bits. Padding bytes stay zero.
void SwapRedBlue16(const uint8_t* src, uint8_t* dst, int width, int bits) {
  const int shift = bits == 15 ? 10 : 11;
  const uint32_t greenMask = bits == 15 ? 0x03E0 : 0x07E0;
  for (int x = 0; x < width; ++x) {
    const uint32_t v = src[2 * x] | (src[2 * x + 1] << 8);
    const uint32_t w = ((v & 31) << shift) | (v & greenMask) | ((v >> shift) & 31);
    dst[2 * x] = static_cast<uint8_t>(w);
    dst[2 * x + 1] = static_cast<uint8_t>(w >> 8);
  }
}

// Writes the whole file beside the target and puts it in place only when complete, so a
// failure leaves whatever was there before.
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& head, const TBitmap& bmp,
                    const std::vector<std::string>& inputs, std::string* err) {
  TSafeFile file;
  FILE* f = OpenForWriting(file, path, inputs, err);
  if (!f)
    return false;
  bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
  // The file stores rows bottom-up.
  const size_t rowBytes = static_cast<size_t>(bmp.Stride());
  std::vector<uint8_t> row(rowBytes);
  for (int y = bmp.Height() - 1; ok && y >= 0; --y) {
    const uint8_t* src = bmp.ScanLine(y);
    if (bmp.BitsPixel() == 15 || bmp.BitsPixel() == 16) {
      SwapRedBlue16(src, row.data(), bmp.Width(), bmp.BitsPixel());
      src = row.data();
    }
    ok = fwrite(src, 1, rowBytes, f) == rowBytes;
  }
  if (!ok) {
    SetErr(err, path + ": " + strerror(errno ? errno : EIO));
    return false;
  }
  return file.Commit(err);
}

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// writer. Only plain C data lives between setjmp and longjmp.
struct TJpegError {
  jpeg_error_mgr Mgr;
  jmp_buf Jump;
  char Text[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* e = reinterpret_cast<TJpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, e->Text);
  longjmp(e->Jump, 1);
}

void JpegSilence(j_common_ptr, int) {}

// Rows are fetched through the callback into rgb (3 * width bytes).
using TRowFn = void (*)(const TBitmap& bmp, int y, uint8_t* rgb);

bool CompressJpeg(FILE* f, const TBitmap* bmp, TRowFn rowFn, uint8_t* rgb, char* errText) {
  jpeg_compress_struct cinfo;
  TJpegError jerr;
  memset(&cinfo, 0, sizeof(cinfo));
  cinfo.err = jpeg_std_error(&jerr.Mgr);
  jerr.Mgr.error_exit = JpegErrorExit;
  jerr.Mgr.emit_message = JpegSilence;
  jerr.Text[0] = 0;
  if (setjmp(jerr.Jump)) {
    jpeg_destroy_compress(&cinfo);
    memcpy(errText, jerr.Text, JMSG_LENGTH_MAX);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, f);
  cinfo.image_width = static_cast<JDIMENSION>(bmp->Width());
  cinfo.image_height = static_cast<JDIMENSION>(bmp->Height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    rowFn(*bmp, static_cast<int>(cinfo.next_scanline), rgb);
    JSAMPROW row = rgb;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

void RowToRGB(const TBitmap& bmp, int y, uint8_t* rgb) {
  for (int x = 0; x < bmp.Width(); ++x) {
    const uint32_t c = bmp.PixelRGB(x, y);
    *rgb++ = static_cast<uint8_t>(c >> 16);
    *rgb++ = static_cast<uint8_t>(c >> 8);
    *rgb++ = static_cast<uint8_t>(c);
  }
}

}  // namespace

TBitmap::TBitmap(int bits, int width, int height) {
  SetBitsPixel(bits);
  SetSize(width, height);
}

bool TBitmap::ValidBits(int bits) {
  return bits == 8 || bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

int TBitmap::BytesPerPixel(int bits) {
  switch (bits) {
    case 8: return 1;
    case 15:
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

int TBitmap::BytesPerScanline(int width, int bits) {
  if (width <= 0)
    return 0;
  const int64_t row = static_cast<int64_t>(width) * BytesPerPixel(bits);
  return static_cast<int>((row + 3) & ~int64_t(3));
}

AVPixelFormat TBitmap::PixelFormatOf(int bits) {
  switch (bits) {
    case 8: return AV_PIX_FMT_BGR8;
    case 15: return AV_PIX_FMT_BGR555LE;
    case 16: return AV_PIX_FMT_BGR565LE;
    case 24: return AV_PIX_FMT_BGR24;
    case 32: return AV_PIX_FMT_BGRA;
    default: return AV_PIX_FMT_NONE;
  }
}

uint32_t TBitmap::PaletteBGR8(int index) {
  // Layout from the top bit: 2 bits blue, 3 green, 3 red.
  const uint32_t r = Expand(index & 7, 7);
  const uint32_t g = Expand((index >> 3) & 7, 7);
  const uint32_t b = Expand((index >> 6) & 3, 3);
  return (r << 16) | (g << 8) | b;
}

void TBitmap::SetSize(int width, int height) {
  width = width < 0 ? 0 : width;
  height = height < 0 ? 0 : height;
  if (width == FWidth && height == FHeight && FStride == BytesPerScanline(width, FBits))
    return;
  FWidth = width;
  FHeight = height;
  Allocate();
}

void TBitmap::SetBitsPixel(int bits) {
  if (!ValidBits(bits))
    throw std::invalid_argument(InvalidBitsText(bits));
  if (bits == FBits)
    return;
  FBits = bits;
  Allocate();
}

void TBitmap::Allocate() {
  FStride = BytesPerScanline(FWidth, FBits);
  const size_t size = static_cast<size_t>(FStride) * static_cast<size_t>(FHeight);
  FData.assign(size, 0);
}

void TBitmap::Fill(uint8_t value) { std::fill(FData.begin(), FData.end(), value); }

uint32_t TBitmap::PixelRGB(int x, int y) const {
  const uint8_t* p = ScanLine(y);
  switch (FBits) {
    case 8:
      return PaletteBGR8(p[x]);
    case 15: {
      // FFmpeg's BGR layouts keep red in the low bits.
      const uint32_t v = p[2 * x] | (p[2 * x + 1] << 8);
      return (Expand(v & 31, 31) << 16) | (Expand((v >> 5) & 31, 31) << 8) |
             Expand((v >> 10) & 31, 31);
    }
    case 16: {
      const uint32_t v = p[2 * x] | (p[2 * x + 1] << 8);
      return (Expand(v & 31, 31) << 16) | (Expand((v >> 5) & 63, 63) << 8) |
             Expand((v >> 11) & 31, 31);
    }
    case 24:
      p += 3 * x;
      return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
    default:
      p += 4 * x;
      return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
  }
}

bool TBitmap::SaveToBMP(const std::string& path, std::string* err,
                        const std::vector<std::string>& inputs) const {
  if (Empty()) {
    SetErr(err, "Cannot save an empty bitmap");
    return false;
  }
  constexpr uint32_t kFileHeader = 14, kInfoHeader = 40;
  constexpr uint32_t kBiRgb = 0, kBiBitfields = 3;
  uint32_t extra = 0;  // palette or colour masks between the headers and the pixels
  if (FBits == 8)
    extra = 256 * 4;
  else if (FBits == 16)
    extra = 3 * 4;
  const uint64_t imageSize = static_cast<uint64_t>(FStride) * FHeight;
  const uint32_t offBits = kFileHeader + kInfoHeader + extra;
  if (imageSize + offBits > 0xFFFFFFFFu) {
    SetErr(err, path + ": picture too large for a BMP file");
    return false;
  }

  std::vector<uint8_t> head;
  head.reserve(offBits);
  head.push_back('B');
  head.push_back('M');
  PutU32(head, static_cast<uint32_t>(offBits + imageSize));
  PutU32(head, 0);  // two reserved words
  PutU32(head, offBits);

  PutU32(head, kInfoHeader);
  PutU32(head, static_cast<uint32_t>(FWidth));
  PutU32(head, static_cast<uint32_t>(FHeight));  // positive: rows stored bottom-up
  PutU16(head, 1);                                // planes
  PutU16(head, FBits == 15 ? 16 : FBits);
  PutU32(head, FBits == 16 ? kBiBitfields : kBiRgb);
  PutU32(head, static_cast<uint32_t>(imageSize));
  PutU32(head, 2835);  // 72 dpi
  PutU32(head, 2835);
  PutU32(head, FBits == 8 ? 256 : 0);  // colours used
  PutU32(head, 0);                     // colours important

  if (FBits == 8) {
    for (int i = 0; i < 256; ++i) {
      const uint32_t c = PaletteBGR8(i);
      head.push_back(static_cast<uint8_t>(c));        // blue
      head.push_back(static_cast<uint8_t>(c >> 8));   // green
      head.push_back(static_cast<uint8_t>(c >> 16));  // red
      head.push_back(0);
    }
  } else if (FBits == 16) {
    PutU32(head, 0xF800);  // red
    PutU32(head, 0x07E0);  // green
    PutU32(head, 0x001F);  // blue
  }
  return WriteWholeFile(path, head, *this, inputs, err);
}

bool TBitmap::SaveToJPEG(const std::string& path, std::string* err,
                         const std::vector<std::string>& inputs) const {
  if (Empty()) {
    SetErr(err, "Cannot save an empty bitmap");
    return false;
  }
  if (FWidth > JPEG_MAX_DIMENSION || FHeight > JPEG_MAX_DIMENSION) {
    SetErr(err, path + ": picture too large for a JPEG file");
    return false;
  }
  TSafeFile file;
  FILE* f = OpenForWriting(file, path, inputs, err);
  if (!f)
    return false;
  std::vector<uint8_t> rgb(static_cast<size_t>(FWidth) * 3);
  char errText[JMSG_LENGTH_MAX] = {0};
  errno = 0;
  if (!CompressJpeg(f, this, RowToRGB, rgb.data(), errText)) {
    SetErr(err, path + ": " + errText);
    return false;
  }
  if (ferror(f)) {
    SetErr(err, path + ": " + strerror(errno ? errno : EIO));
    return false;
  }
  return file.Commit(err);
}
