// trimora-cli: the decoder from a terminal. Prints what the window logs when it opens a file,
// walks pictures step by step with their times and hashes, and saves a picture.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decoder/FFDecode.h"
#include "decoder/FileInfoLines.h"
#include "runtime/MainThread.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/md5.h>
}

namespace {

enum TExitCode { ecOK = 0, ecFailed = 1, ecUsage = 2 };

const char* kUsage =
    "Usage: trimora-cli info FILE\n"
    "       trimora-cli frames FILE [STEP ...]\n"
    "       trimora-cli frame FILE SECONDS OUT\n"
    "\n"
    "  info    prints the file description and stream lines the window logs on opening\n"
    "  frames  decodes the first picture, then performs each STEP and prints one line per\n"
    "          picture reached: STEP PTS(us) TIME KEY(1/0) TYPE MD5; without steps it\n"
    "          walks every picture to the end\n"
    "          STEP: next | prev | nextkey | prevkey | seek:SECONDS | next:N\n"
    "  frame   saves the picture at SECONDS as BMP when OUT ends in .bmp, else as JPEG\n"
    "\n"
    "Exit codes: 0 success, 1 the file or a step failed, 2 wrong arguments.\n";

int Usage() {
  fputs(kUsage, stderr);
  return ecUsage;
}

std::string ExeDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string p(buf);
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool ParseSeconds(const std::string& text, int64_t* us) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double s = strtod(text.c_str(), &end);
  if (errno || !end || *end || !std::isfinite(s) || std::fabs(s) > 1e9) return false;
  *us = llround(s * 1000000.0);
  return true;
}

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

bool Open(TFFDecoder& dec, const std::string& file) {
  if (!dec.AVLibLoaded() && !dec.LoadAVLib(ExeDir() + "/LibAV")) return Fail(dec, "");
  if (!dec.LoadFile(file)) return Fail(dec, "");
  ProcessMainThreadCalls();
  return true;
}

bool OpenVideo(TFFDecoder& dec, const std::string& file) {
  if (!Open(dec, file)) return false;
  if (dec.VideoStreamCount() <= 0) {
    dec.GetVideoStreamInfo(-1);  // sets "no video stream."
    return Fail(dec, "");
  }
  return true;
}

// As the track bar does: seek with flags 0, then backward, then any; decode up to the time.
bool SeekTo(TFFDecoder& dec, int64_t target) {
  if (!dec.Seek(target, 0) && !dec.Seek(target, AVSEEK_FLAG_BACKWARD) && !dec.Seek(target, AVSEEK_FLAG_ANY))
    return false;
  for (;;) {
    if (!dec.Decode()) return false;
    if (dec.FramePTS() >= target || target <= 0) return true;
  }
}

int CmdInfo(const std::string& file) {
  TFFDecoder dec;
  if (!Open(dec, file)) return ecFailed;
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

int CmdFrames(const std::string& file, const std::vector<std::string>& steps) {
  TFFDecoder dec;
  if (!OpenVideo(dec, file)) return ecFailed;
  if (!dec.Decode()) return Fail(dec, "first: "), ecFailed;
  PrintPicture(dec, "first");
  if (steps.empty()) {
    while (dec.Decode()) PrintPicture(dec, "next");
    return dec.EndOfStream() ? ecOK : (Fail(dec, "next: "), ecFailed);
  }
  for (const std::string& step : steps) {
    bool ok = true;
    int64_t us = 0;
    if (step == "next") {
      ok = dec.Decode();
    } else if (step == "prev") {
      ok = dec.PrevFrame();
    } else if (step == "nextkey") {
      ok = dec.NextKeyFrame();
    } else if (step == "prevkey") {
      ok = dec.PrevKeyFrame();
    } else if (step.rfind("seek:", 0) == 0 && ParseSeconds(step.substr(5), &us)) {
      ok = SeekTo(dec, us);
    } else if (step.rfind("next:", 0) == 0) {
      char* end = nullptr;
      long n = strtol(step.c_str() + 5, &end, 10);
      if (step.size() == 5 || *end || n < 1 || n > 10000000) return Usage();
      for (long i = 0; i < n; ++i) {
        if (!dec.Decode()) return Fail(dec, step + ": "), ecFailed;
        PrintPicture(dec, step);
      }
      ProcessMainThreadCalls();
      continue;
    } else {
      fprintf(stderr, "Unknown step: %s\n", step.c_str());
      return Usage();
    }
    ProcessMainThreadCalls();
    if (!ok) return Fail(dec, step + ": "), ecFailed;
    PrintPicture(dec, step);
  }
  return ecOK;
}

int CmdFrame(const std::string& file, const std::string& seconds, const std::string& out) {
  int64_t us = 0;
  if (!ParseSeconds(seconds, &us)) return Usage();
  TFFDecoder dec;
  if (!OpenVideo(dec, file)) return ecFailed;
  if (!SeekTo(dec, us)) return Fail(dec, ""), ecFailed;
  TBitmap bmp;
  if (!dec.CopyToBitmap(bmp)) return Fail(dec, ""), ecFailed;
  std::string ext = out.size() >= 4 ? out.substr(out.size() - 4) : std::string();
  for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string err;
  bool saved = ext == ".bmp" ? bmp.SaveToBMP(out, &err) : bmp.SaveToJPEG(out, &err);
  if (!saved) {
    fprintf(stderr, "%s\n", err.empty() ? ("Cannot write " + out).c_str() : err.c_str());
    return ecFailed;
  }
  printf("%s %dx%d %s\n", out.c_str(), bmp.Width(), bmp.Height(), FormatPTS(dec.FramePTS()).c_str());
  return ecOK;
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  const std::string& cmd = args[0];
  try {
    if (cmd == "info" && args.size() == 2) return CmdInfo(args[1]);
    if (cmd == "frames" && args.size() >= 2)
      return CmdFrames(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    if (cmd == "frame" && args.size() == 4) return CmdFrame(args[1], args[2], args[3]);
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
      fputs(kUsage, stdout);
      return ecOK;
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
    return ecFailed;
  }
  return Usage();
}
