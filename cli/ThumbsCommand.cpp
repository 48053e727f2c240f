// trimora-cli thumbs and waveform: the timeline's strip of key-frame pictures and its sound
// waveform, each written as one PNG picture.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "runtime/FFOwners.h"
#include "runtime/MediaTexts.h"
#include "runtime/SafeWrite.h"
#include "timeline/Thumbnails.h"
#include "timeline/Waveform.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace cli {
namespace {

struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Rgb;  // RGB24, tight rows
};

// The picture as a PNG file in memory; empty on failure (*error set).
std::vector<uint8_t> EncodePng(const TRgbImage& image, std::string* error) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  TCodecContextPtr enc(codec ? avcodec_alloc_context3(codec) : nullptr);
  TFramePtr frame(av_frame_alloc());
  TPacketPtr pkt(av_packet_alloc());
  if (!enc || !frame || !pkt) return *error = "no PNG encoder", std::vector<uint8_t>();
  enc->width = image.Width;
  enc->height = image.Height;
  enc->pix_fmt = AV_PIX_FMT_RGB24;
  enc->time_base = AVRational{1, 1};
  int r = avcodec_open2(enc.get(), codec, nullptr);
  frame->format = AV_PIX_FMT_RGB24;
  frame->width = image.Width;
  frame->height = image.Height;
  if (r >= 0) r = av_frame_get_buffer(frame.get(), 0);
  for (int y = 0; r >= 0 && y < image.Height; ++y)
    std::copy_n(image.Rgb.data() + static_cast<size_t>(y) * image.Width * 3, image.Width * 3,
                frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0]);
  if (r >= 0) r = avcodec_send_frame(enc.get(), frame.get());
  if (r >= 0) r = avcodec_send_frame(enc.get(), nullptr);
  if (r >= 0) r = avcodec_receive_packet(enc.get(), pkt.get());
  if (r < 0) return *error = ErrorText("PNG", r), std::vector<uint8_t>();
  return std::vector<uint8_t>(pkt->data, pkt->data + pkt->size);
}

int WritePng(const TRgbImage& image, const std::string& out, const std::string& input) {
  std::string error;
  const std::vector<uint8_t> png = EncodePng(image, &error);
  if (png.empty() || !SafeWriteFile(out, png.data(), png.size(), {input}, false, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return ecFailed;
  }
  printf("output: %s\n", out.c_str());
  return ecOK;
}

struct TArgs {
  std::string File, Out;
  int Count = 10, Height = 72, Width = 1000;
};

bool ParseCount(const std::string& text, int low, int high, int* value) {
  char* end = nullptr;
  const long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// FILE OUT [options]; every option is checked before anything is opened. Also refuses an OUT
// that exists or is the input.
int ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& options, TArgs* a) {
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& s = args[i];
    if (std::find(options.begin(), options.end(), s) != options.end()) {
      int* target = s == "--count" ? &a->Count : s == "--height" ? &a->Height : &a->Width;
      const int high = s == "--count" ? 1000 : s == "--height" ? 1080 : 20000;
      if (i + 1 >= args.size() || !ParseCount(args[i + 1], s == "--width" ? 16 : 1, high, target)) {
        fprintf(stderr, "%s needs a whole number from %d to %d\n", s.c_str(), s == "--width" ? 16 : 1, high);
        return ecUsage;
      }
      ++i;
    } else if (s.size() > 1 && s[0] == '-') {
      fprintf(stderr, "Unknown option %s\n", s.c_str());
      return ecUsage;
    } else {
      files.push_back(s);
    }
  }
  if (files.size() != 2 || files[0].empty() || files[1].empty()) return Usage();
  a->File = files[0];
  a->Out = files[1];
  const TWriteCheck check = CheckWriteTarget(a->Out, {a->File}, false);
  if (!check) {
    fprintf(stderr, "%s\n", check.Message.c_str());
    return ecFailed;
  }
  return ecOK;
}

int CmdThumbs(const std::vector<std::string>& args) {
  TArgs a;
  if (const int r = ParseArgs(args, {"--count", "--height"}, &a); r != ecOK) return r;
  TThumbnailRequest q;
  q.Count = a.Count;
  q.Height = a.Height;
  std::vector<TThumbnail> pictures;
  std::string error;
  if (!ProduceThumbnails(a.File, q, [&](const TThumbnail& t) { pictures.push_back(t); }, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return ecFailed;
  }
  // Each picture in its slot; one whose key frame could not be decoded stays black.
  TRgbImage strip;
  strip.Height = a.Height;
  const int slotWidth = pictures.front().Width;
  strip.Width = slotWidth * a.Count;
  strip.Rgb.assign(static_cast<size_t>(strip.Width) * strip.Height * 3, 0);
  for (const TThumbnail& t : pictures) {
    const int w = std::min(t.Width, slotWidth);
    for (int y = 0; y < std::min(t.Height, strip.Height); ++y)
      std::copy_n(t.Rgb.data() + static_cast<size_t>(y) * t.Width * 3, w * 3,
                  strip.Rgb.data() + (static_cast<size_t>(y) * strip.Width + t.Slot * slotWidth) * 3);
  }
  return WritePng(strip, a.Out, a.File);
}

// Peaks mirrored around the middle line, light on dark.
TRgbImage DrawWaveform(const std::vector<float>& peaks, int height) {
  TRgbImage image;
  image.Width = static_cast<int>(peaks.size());
  image.Height = height;
  image.Rgb.resize(static_cast<size_t>(image.Width) * height * 3);
  const int mid = height / 2;
  for (int x = 0; x < image.Width; ++x) {
    const int half = static_cast<int>(std::lround(std::clamp(peaks[x], 0.0f, 1.0f) * (height / 2 - 1)));
    for (int y = 0; y < height; ++y) {
      const bool wave = y >= mid - half && y <= mid + half;
      uint8_t* p = image.Rgb.data() + (static_cast<size_t>(y) * image.Width + x) * 3;
      p[0] = wave ? 0x60 : 0x20;
      p[1] = wave ? 0xd0 : 0x20;
      p[2] = wave ? 0x90 : 0x28;
    }
  }
  return image;
}

int CmdWaveform(const std::vector<std::string>& args) {
  TArgs a;
  if (const int r = ParseArgs(args, {"--width"}, &a); r != ecOK) return r;
  TPeakEnvelope envelope;
  std::string error;
  if (!ComputePeakEnvelope(a.File, &envelope, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return ecFailed;
  }
  return WritePng(DrawWaveform(PeaksForSpan(envelope, 0, envelope.Duration, a.Width), 100), a.Out, a.File);
}

TRIMORA_CLI_COMMAND("thumbs", "thumbs FILE OUT.png [--count N] [--height H]\n\n"
                    "  thumbs  writes N pictures (10; 1 to 1000) evenly over the file side by side as one\n"
                    "          PNG, H pixels high (72; 1 to 1080), each the key frame at or before its\n"
                    "          time; only key frames are decoded; OUT must not exist yet\n",
                    CmdThumbs);
TRIMORA_CLI_COMMAND("waveform", "waveform FILE OUT.png [--width W]\n\n"
                    "  waveform  writes the first audio track's peaks over the file as a PNG, W columns\n"
                    "          (1000; 16 to 20000) by 100 pixels, mirrored around the middle; OUT must not\n"
                    "          exist yet\n",
                    CmdWaveform);

}  // namespace
}  // namespace cli
