#include "OpenInfo.h"

#include <cstdarg>
#include <cstdio>

#include "MainUnit.h"
#include "decoder/FFDecode.h"

namespace {
bool Unknown(int64_t v) { return v == AV_NOPTS_VALUE || v < 0; }

std::string PTS(int64_t us) { return FormatPTS(us).toStdString(); }

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}
}  // namespace

std::vector<std::string> OpenedFileInfoLines(TCustomDecoder& d) {
  std::vector<std::string> lines;
  lines.push_back(Fmt("File Size: %lld", static_cast<long long>(d.FileSize())));
  const TFileStreamInfo file = d.GetFileStreamInfo();
  if (Unknown(file.Duration))
    lines.push_back("File Duration is not preseted");
  else
    lines.push_back("File Duration: " + PTS(file.Duration));
  for (int i = 0; i < d.StreamCount(); ++i) {
    if (d.IsVideoStream(i)) {
      const TVideoStreamInfo v = d.GetVideoStreamInfo(i);
      lines.push_back(Fmt("Stream #%d: Video", i));
      lines.push_back(Unknown(v.DurationRaw) ? std::string("  Video Length is not preseted")
                                             : "  Video Length: " + PTS(v.Duration));
      const double rate = v.FrameRateDen != 0 ? static_cast<double>(v.FrameRateNum) / v.FrameRateDen : 0.0;
      lines.push_back(Fmt("  Video Frame Rate: %.2f", rate));
      lines.push_back(v.BitRate < 1 ? std::string("  Video Bit Rate is not preseted")
                                    : Fmt("  Video Bit Rate: %d kb", v.BitRate / 1000));
      lines.push_back(Fmt("  Frame size (width X height): %dx%d", v.Width, v.Height));
    } else if (d.IsAudioStream(i)) {
      const TAudioStreamInfo a = d.GetAudioStreamInfo(i);
      lines.push_back(Fmt("Stream #%d: Audio", i));
      lines.push_back(Unknown(a.DurationRaw) ? std::string("  Audio Length is not preseted")
                                             : "  Audio Length: " + PTS(a.Duration));
      lines.push_back(Fmt("  Audio Sample Rate: %d hz", a.SampleRate));
      lines.push_back(a.BitRate < 1 ? std::string("  Audio Bit Rate is not preseted")
                                    : Fmt("  Audio Bit Rate: %d kb", a.BitRate / 1000));
    }
  }
  return lines;
}
