// trimora-cli info, frames and frame: the decoder from a terminal. Prints what the window logs
// when it opens a file, walks pictures step by step with their times and hashes, and saves a
// picture.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "decoder/FFDecode.h"
#include "decoder/FileInfoLines.h"
#include "runtime/MainThread.h"
#include "runtime/SafeWrite.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/md5.h>
}

namespace cli {
namespace {

// Planes packed without padding, as the ffmpeg tool's framemd5 hashes a decoded picture.
std::string PictureMD5(const AVFrame* f) {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(f->format);
  int size = av_image_get_buffer_size(fmt, f->width, f->height, 1);
  if (size <= 0) return "-";
  std::vector<uint8_t> buf(static_cast<size_t>(size));
  if (av_image_copy_to_buffer(buf.data(), size, f->data, f->linesize, fmt, f->width, f->height, 1) < 0) return "-";
  uint8_t md5[16];
  av_md5_sum(md5, buf.data(), size);
  char hex[33];
  for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", md5[i]);
  return hex;
}

void PrintPicture(TFFDecoder& dec, const std::string& step) {
  const AVFrame* f = dec.Picture();
  const int64_t pts = dec.FramePTS();
  const char type = av_get_picture_type_char(static_cast<AVPictureType>(dec.PictureType()));
  printf("%s %" PRId64 " %s %d %c %s\n", step.c_str(), pts, pts == AV_NOPTS_VALUE ? "N/A" : FormatPTS(pts).c_str(),
         dec.PictureKeyFrame() ? 1 : 0, type, f ? PictureMD5(f).c_str() : "-");
  fflush(stdout);
}

bool Fail(TFFDecoder& dec, const std::string& what) {
  fprintf(stderr, "%s%s\n", what.c_str(), dec.LastErrMsg().c_str());
  return false;
}

bool Open(TFFDecoder& dec, const std::string& file) { return OpenMedia(dec, file); }

bool OpenVideo(TFFDecoder& dec, const std::string& file) {
  if (!Open(dec, file)) return false;
  if (dec.VideoStreamCount() <= 0) {
    dec.GetVideoStreamInfo(-1);  // sets "no video stream."
    return Fail(dec, "");
  }
  return true;
}

bool DecodeUpTo(TFFDecoder& dec, int64_t target) {
  bool first = true;
  int64_t last = AV_NOPTS_VALUE;
  for (;;) {
    if (!dec.Decode()) return false;
    if (dec.FramePTS() >= target || target <= 0) return true;
    // A still picture is given again and again: it is the picture at every time.
    if (!first && dec.FramePTS() == last) return true;
    first = false;
    last = dec.FramePTS();
  }
}

// As the track bar does: seek with flags 0, then backward, then any; decode up to the time.
bool SeekTo(TFFDecoder& dec, int64_t target) {
  if (!dec.Seek(target, 0) && !dec.Seek(target, AVSEEK_FLAG_BACKWARD) && !dec.Seek(target, AVSEEK_FLAG_ANY))
    return false;
  return DecodeUpTo(dec, target);
}

enum class TStepKind { Next, Prev, NextKey, PrevKey, Seek, NextN };

struct TStep {
  std::string Text;
  TStepKind Kind;
  int64_t Value = 0;  // microseconds for Seek, a count for NextN
};

// All steps are checked before the file is opened, so a typing error costs nothing.
bool ParseSteps(const std::vector<std::string>& texts, std::vector<TStep>* steps) {
  for (const std::string& s : texts) {
    TStep step{s, TStepKind::Next};
    if (s == "next") {
      step.Kind = TStepKind::Next;
    } else if (s == "prev") {
      step.Kind = TStepKind::Prev;
    } else if (s == "nextkey") {
      step.Kind = TStepKind::NextKey;
    } else if (s == "prevkey") {
      step.Kind = TStepKind::PrevKey;
    } else if (s.rfind("seek:", 0) == 0 && ParseSeconds(s.substr(5), &step.Value)) {
      step.Kind = TStepKind::Seek;
    } else if (s.rfind("next:", 0) == 0) {
      char* end = nullptr;
      long n = strtol(s.c_str() + 5, &end, 10);
      if (s.size() == 5 || *end || n < 1 || n > 10000000) {
        fprintf(stderr, "Bad step: %s\n", s.c_str());
        return false;
      }
      step.Kind = TStepKind::NextN;
      step.Value = n;
    } else {
      fprintf(stderr, "Unknown step: %s\n", s.c_str());
      return false;
    }
    steps->push_back(step);
  }
  return true;
}

int CmdInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  TFFDecoder dec;
  if (!Open(dec, args[0])) return ecFailed;
  std::string text = dec.FileInfoText();
  // The window logs the text trimmed, then an empty line.
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  printf("***FFDecoder.FileInfoText\n%s\n\n", out.c_str());
  for (const std::string& line : FileInfoLines(dec)) printf("%s\n", line.c_str());
  return ecOK;
}

int CmdFrames(const std::vector<std::string>& args) {
  if (args.empty()) return Usage();
  std::vector<TStep> steps;
  if (!ParseSteps(std::vector<std::string>(args.begin() + 1, args.end()), &steps)) return Usage();
  TFFDecoder dec;
  if (!OpenVideo(dec, args[0])) return ecFailed;
  if (!dec.Decode()) return Fail(dec, "first: "), ecFailed;
  PrintPicture(dec, "first");
  if (steps.empty()) {
    while (dec.Decode()) PrintPicture(dec, "next");
    return dec.EndOfStream() ? ecOK : (Fail(dec, "next: "), ecFailed);
  }
  for (const TStep& step : steps) {
    bool ok = true;
    switch (step.Kind) {
      case TStepKind::Next: ok = dec.Decode(); break;
      case TStepKind::Prev: ok = dec.PrevFrame(); break;
      case TStepKind::NextKey: ok = dec.NextKeyFrame(); break;
      case TStepKind::PrevKey: ok = dec.PrevKeyFrame(); break;
      case TStepKind::Seek: ok = SeekTo(dec, step.Value); break;
      case TStepKind::NextN:
        for (int64_t i = 0; i < step.Value; ++i) {
          if (!dec.Decode()) return Fail(dec, step.Text + ": "), ecFailed;
          PrintPicture(dec, step.Text);
        }
        ProcessMainThreadCalls();
        continue;
    }
    ProcessMainThreadCalls();
    if (!ok) return Fail(dec, step.Text + ": "), ecFailed;
    PrintPicture(dec, step.Text);
  }
  return ecOK;
}

int CmdFrame(const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage();
  const std::string& file = args[0];
  const std::string& out = args[2];
  int64_t us = 0;
  if (!ParseSeconds(args[1], &us)) {
    fprintf(stderr, "Bad time: %s\n", args[1].c_str());
    return Usage();
  }
  if (out.empty()) return Usage();
  // Refuse an output that would replace the input before any decoding is done.
  TWriteCheck check = CheckWriteTarget(out, {file});
  if (!check) {
    fprintf(stderr, "%s\n", check.Message.c_str());
    return ecFailed;
  }
  TFFDecoder dec;
  if (!OpenVideo(dec, file)) return ecFailed;
  if (!SeekToTime(dec, us)) return Fail(dec, ""), ecFailed;
  TBitmap bmp;
  if (!dec.CopyToBitmap(bmp)) return Fail(dec, ""), ecFailed;
  std::string ext = out.size() >= 4 ? out.substr(out.size() - 4) : std::string();
  for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string err;
  bool saved = ext == ".bmp" ? bmp.SaveToBMP(out, &err, {file}) : bmp.SaveToJPEG(out, &err, {file});
  if (!saved) {
    fprintf(stderr, "%s\n", err.empty() ? ("Cannot write " + out).c_str() : err.c_str());
    return ecFailed;
  }
  printf("%s %dx%d %s\n", out.c_str(), bmp.Width(), bmp.Height(), FormatPTS(dec.FramePTS()).c_str());
  return ecOK;
}

TRIMORA_CLI_COMMAND("info", "info FILE\n\n"
                    "  info    prints the file description and stream lines the window logs on opening\n",
                    CmdInfo);
TRIMORA_CLI_COMMAND("frames", "frames FILE [STEP ...]\n\n"
                    "  frames  decodes the first picture, then performs each STEP and prints one line per\n"
                    "          picture reached: STEP PTS(us) TIME KEY(1/0) TYPE MD5; without steps it\n"
                    "          walks every picture to the end\n"
                    "          STEP: next | prev | nextkey | prevkey | seek:SECONDS | next:N\n",
                    CmdFrames);
TRIMORA_CLI_COMMAND("frame", "frame FILE SECONDS OUT\n\n"
                    "  frame   saves the picture at SECONDS as BMP when OUT ends in .bmp, else as JPEG;\n"
                    "          OUT is never the input, and an existing OUT is replaced only once the\n"
                    "          new picture is complete\n",
                    CmdFrame);

}  // namespace

bool OpenMedia(TFFDecoder& dec, const std::string& file) {
  if (!dec.AVLibLoaded() && !dec.LoadAVLib(ExeDir() + "/LibAV")) return Fail(dec, "");
  if (!dec.LoadFile(file)) return Fail(dec, "");
  ProcessMainThreadCalls();
  return true;
}

// For a freshly opened file: the first picture needs no seek, and a file that refuses seeking
// (a still picture) is read forward from its start instead.
bool SeekToTime(TFFDecoder& dec, int64_t us) {
  return us <= 0 ? DecodeUpTo(dec, us) : SeekTo(dec, us) || DecodeUpTo(dec, us);
}

}  // namespace cli
