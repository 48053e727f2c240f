#include <gtest/gtest.h>

#include <jpeglib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/Bitmap.h"

namespace fs = std::filesystem;

namespace {

class BitmapFiles : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("trimora_bitmap_" + std::to_string(getpid()));
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string Path(const std::string& name) const { return (Dir / name).string(); }
  fs::path Dir;
};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}
uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }

// Fills every byte of every row (padding included) with a pattern of its position.
void FillPattern(TBitmap& bmp) {
  for (int y = 0; y < bmp.Height(); ++y)
    for (int i = 0; i < bmp.Stride(); ++i)
      bmp.ScanLine(y)[i] = static_cast<uint8_t>(y * 31 + i * 7 + 1);
}

TEST(Bitmap, GeometryAndFormats) {
  TBitmap bmp;
  EXPECT_EQ(bmp.BitsPixel(), 32);
  EXPECT_TRUE(bmp.Empty());
  const struct {
    int Bits;
    AVPixelFormat Fmt;
    int Stride5;  // row size for width 5
  } rows[] = {{8, AV_PIX_FMT_BGR8, 8},
              {15, AV_PIX_FMT_BGR555LE, 12},
              {16, AV_PIX_FMT_BGR565LE, 12},
              {24, AV_PIX_FMT_BGR24, 16},
              {32, AV_PIX_FMT_BGRA, 20}};
  for (const auto& r : rows) {
    bmp.SetBitsPixel(r.Bits);
    bmp.SetSize(5, 3);
    EXPECT_EQ(bmp.PixelFormat(), r.Fmt) << r.Bits;
    EXPECT_EQ(bmp.Stride(), r.Stride5) << r.Bits;
    EXPECT_EQ(bmp.SizeBytes(), size_t(r.Stride5 * 3));
    EXPECT_EQ(bmp.ScanLine(2) - bmp.ScanLine(0), 2 * r.Stride5);
  }
  EXPECT_THROW(bmp.SetBitsPixel(12), std::invalid_argument);
  try {
    TBitmap bad(7);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid BitsPixel 7");
  }
  bmp.SetSize(-4, 2);
  EXPECT_EQ(bmp.Width(), 0);
  EXPECT_TRUE(bmp.Empty());
}

TEST(Bitmap, PixelColoursOfEveryLayout) {
  TBitmap b8(8, 2, 1);
  b8.ScanLine(0)[0] = 0x07;  // red 7
  b8.ScanLine(0)[1] = 0xC0;  // blue 3
  EXPECT_EQ(b8.PixelRGB(0, 0), 0xFF0000u);
  EXPECT_EQ(b8.PixelRGB(1, 0), 0x0000FFu);
  EXPECT_EQ(TBitmap::PaletteBGR8(0x38), 0x00FF00u);

  TBitmap b15(15, 1, 1);
  b15.ScanLine(0)[0] = 0x1F;  // low five bits: red
  EXPECT_EQ(b15.PixelRGB(0, 0), 0xFF0000u);
  TBitmap b16(16, 1, 1);
  b16.ScanLine(0)[0] = 0xE0;
  b16.ScanLine(0)[1] = 0x07;  // six green bits
  EXPECT_EQ(b16.PixelRGB(0, 0), 0x00FF00u);
  TBitmap b24(24, 1, 1);
  b24.ScanLine(0)[0] = 0x11;  // blue first
  b24.ScanLine(0)[2] = 0x33;
  EXPECT_EQ(b24.PixelRGB(0, 0), 0x330011u);
  TBitmap b32(32, 1, 1);
  b32.ScanLine(0)[1] = 0x44;
  EXPECT_EQ(b32.PixelRGB(0, 0), 0x004400u);
}

// Every depth: headers computed here, palette or masks, then the rows bottom-up.
TEST_F(BitmapFiles, BmpFilesByteByByte) {
  for (int bits : {8, 15, 16, 24, 32}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    TBitmap bmp(bits, 5, 3);
    FillPattern(bmp);
    const std::string path = Path("pic" + std::to_string(bits) + ".bmp");
    std::string err;
    ASSERT_TRUE(bmp.SaveToBMP(path, &err)) << err;
    const std::vector<uint8_t> f = ReadAll(path);

    const int bytesPerPixel = bits == 8 ? 1 : bits == 24 ? 3 : bits == 32 ? 4 : 2;
    const uint32_t stride = (5 * bytesPerPixel + 3) / 4 * 4;
    const uint32_t extra = bits == 8 ? 1024 : bits == 16 ? 12 : 0;
    const uint32_t offBits = 14 + 40 + extra;
    const uint32_t imageSize = stride * 3;
    ASSERT_EQ(f.size(), offBits + imageSize);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(U32(f, 2), f.size());
    EXPECT_EQ(U32(f, 6), 0u);
    EXPECT_EQ(U32(f, 10), offBits);
    EXPECT_EQ(U32(f, 14), 40u);
    EXPECT_EQ(U32(f, 18), 5u);
    EXPECT_EQ(U32(f, 22), 3u);  // positive height: bottom-up rows
    EXPECT_EQ(U16(f, 26), 1);
    EXPECT_EQ(U16(f, 28), bits == 15 ? 16 : bits);
    EXPECT_EQ(U32(f, 30), bits == 16 ? 3u : 0u);  // BI_BITFIELDS only for 5-6-5
    EXPECT_EQ(U32(f, 34), imageSize);
    EXPECT_EQ(U32(f, 46), bits == 8 ? 256u : 0u);
    EXPECT_EQ(U32(f, 50), 0u);

    if (bits == 8) {
      for (int i = 0; i < 256; ++i) {
        const int r = i & 7, g = (i >> 3) & 7, b = i >> 6;
        const size_t at = 54 + 4 * i;
        EXPECT_EQ(f[at + 0], (b * 255 + 1) / 3) << i;
        EXPECT_EQ(f[at + 1], (g * 255 + 3) / 7) << i;
        EXPECT_EQ(f[at + 2], (r * 255 + 3) / 7) << i;
        EXPECT_EQ(f[at + 3], 0) << i;
      }
    }
    if (bits == 16) {
      EXPECT_EQ(U32(f, 54), 0xF800u);
      EXPECT_EQ(U32(f, 58), 0x07E0u);
      EXPECT_EQ(U32(f, 62), 0x001Fu);
    }
    for (int fileRow = 0; fileRow < 3; ++fileRow) {
      const uint8_t* src = bmp.ScanLine(2 - fileRow);
      const size_t at = offBits + fileRow * stride;
      if (bits == 15 || bits == 16) {
        // Red moves from the low to the high bits; green stays.
        const int shift = bits == 15 ? 10 : 11;
        for (int x = 0; x < 5; ++x) {
          const unsigned v = src[2 * x] | (src[2 * x + 1] << 8);
          const unsigned r = v & 31, b = (v >> shift) & 31;
          const unsigned g = bits == 15 ? (v >> 5) & 31 : (v >> 5) & 63;
          const unsigned expect = (r << shift) | (g << 5) | b;
          EXPECT_EQ(U16(f, at + 2 * x), expect) << "row " << fileRow << " x " << x;
        }
      } else {
        for (uint32_t i = 0; i < 5u * bytesPerPixel; ++i)
          EXPECT_EQ(f[at + i], src[i]) << "row " << fileRow << " byte " << i;
      }
    }
  }
}

struct JpegInfo {
  int Width = 0, Height = 0, Components = 0;
  std::vector<uint8_t> Rgb;
};

JpegInfo DecodeJpeg(const std::string& path) {
  JpegInfo info;
  FILE* in = fopen(path.c_str(), "rb");
  if (!in)
    return info;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, in);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  info.Width = cinfo.output_width;
  info.Height = cinfo.output_height;
  info.Components = cinfo.output_components;
  info.Rgb.resize(size_t(info.Width) * info.Height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = info.Rgb.data() + size_t(cinfo.output_scanline) * info.Width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  fclose(in);
  return info;
}

TEST_F(BitmapFiles, JpegDecodesToSameSizeAndColours) {
  for (int bits : {8, 15, 16, 24, 32}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    // Left half red, right half blue.
    TBitmap bmp(bits, 64, 40);
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 64; ++x) {
        uint8_t* p = bmp.ScanLine(y);
        const bool red = x < 32;
        switch (bits) {
          case 8: p[x] = red ? 0x07 : 0xC0; break;
          case 15:
          case 16: {
            const unsigned v = red ? 0x1F : (bits == 15 ? 0x7C00 : 0xF800);
            p[2 * x] = v & 0xFF;
            p[2 * x + 1] = v >> 8;
            break;
          }
          default: {
            uint8_t* q = p + x * (bits / 8);
            q[0] = red ? 0 : 255;
            q[1] = 0;
            q[2] = red ? 255 : 0;
          }
        }
      }
    const std::string path = Path("pic" + std::to_string(bits) + ".jpg");
    std::string err;
    ASSERT_TRUE(bmp.SaveToJPEG(path, &err)) << err;
    const JpegInfo j = DecodeJpeg(path);
    ASSERT_EQ(j.Width, 64);
    ASSERT_EQ(j.Height, 40);
    ASSERT_EQ(j.Components, 3);
    const uint8_t* left = &j.Rgb[(20 * 64 + 8) * 3];
    const uint8_t* right = &j.Rgb[(20 * 64 + 56) * 3];
    EXPECT_GT(left[0], 200);
    EXPECT_LT(left[2], 60);
    EXPECT_LT(right[0], 60);
    EXPECT_GT(right[2], 200);
  }
}

TEST_F(BitmapFiles, FailuresLeaveNoFile) {
  TBitmap empty;
  std::string err;
  EXPECT_FALSE(empty.SaveToBMP(Path("e.bmp"), &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(fs::exists(Path("e.bmp")));
  EXPECT_FALSE(empty.SaveToJPEG(Path("e.jpg"), &err));
  EXPECT_FALSE(fs::exists(Path("e.jpg")));

  TBitmap bmp(24, 4, 4);
  const std::string missing = Path("no/such/folder/x.bmp");
  err.clear();
  EXPECT_FALSE(bmp.SaveToBMP(missing, &err));
  EXPECT_EQ(err, missing + ": No such file or directory");
  EXPECT_FALSE(bmp.SaveToJPEG(Path("no/such/folder/x.jpg"), &err));
  EXPECT_NE(err.find("No such file or directory"), std::string::npos);

  // An existing file is replaced by a save.
  const std::string path = Path("twice.bmp");
  ASSERT_TRUE(bmp.SaveToBMP(path));
  TBitmap small(8, 1, 1);
  ASSERT_TRUE(small.SaveToBMP(path));
  EXPECT_EQ(fs::file_size(path), 14u + 40u + 1024u + 4u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
