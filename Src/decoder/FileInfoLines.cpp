#include "decoder/FileInfoLines.h"

#include <cinttypes>
#include <cstdio>

#include "decoder/FFDecode.h"
#include "runtime/MediaTexts.h"

std::string FormatPTS(int64_t us) {
  // Pictures an edit list puts before the start have negative times.
  if (us < 0 && us != INT64_MIN) return "-" + FormatPTS(-us);
  const int64_t s = us / 1000000;
  return FormatText("%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, s / 60 / 60, (s / 60) % 60, s % 60,
             (us % 1000000) * 1000 / 1000000);
}

std::vector<std::string> FileInfoLines(TCustomDecoder& decoder) {
  std::vector<std::string> lines;
  lines.push_back(FormatText("File Size: %" PRId64, decoder.FileSize()));
  const TFileStreamInfo file = decoder.GetFileStreamInfo();
  if (file.Duration < 0)
    lines.push_back("File Duration is not preseted");
  else
    lines.push_back("File Duration: " + FormatPTS(file.Duration));
  for (int i = 0; i < decoder.StreamCount(); ++i) {
    if (decoder.IsVideoStream(i)) {
      const TVideoStreamInfo v = decoder.GetVideoStreamInfo(i);
      lines.push_back(FormatText("Stream #%d: Video", i));
      if (v.DurationRaw == AV_NOPTS_VALUE || v.DurationRaw < 0)
        lines.push_back("  Video Length is not preseted");
      else
        lines.push_back("  Video Length: " + FormatPTS(v.Duration));
      lines.push_back(FormatText("  Video Frame Rate: %.2f", v.FrameRateDen ? double(v.FrameRateNum) / v.FrameRateDen : 0.0));
      if (v.BitRate < 1)
        lines.push_back("  Video Bit Rate is not preseted");
      else
        lines.push_back(FormatText("  Video Bit Rate: %d kb", v.BitRate / 1000));
      lines.push_back(FormatText("  Frame size (width X height): %dx%d", v.Width, v.Height));
      if (v.Rotation != 0 || v.Mirrored)
        lines.push_back(FormatText("  Video Rotation: %d degrees%s", v.Rotation, v.Mirrored ? ", mirrored" : ""));
    } else if (decoder.IsAudioStream(i)) {
      const TAudioStreamInfo a = decoder.GetAudioStreamInfo(i);
      lines.push_back(FormatText("Stream #%d: Audio", i));
      if (a.DurationRaw == AV_NOPTS_VALUE || a.DurationRaw < 0)
        lines.push_back("  Audio Length is not preseted");
      else
        lines.push_back("  Audio Length: " + FormatPTS(a.Duration));
      lines.push_back(FormatText("  Audio Sample Rate: %d hz", a.SampleRate));
      if (a.BitRate < 1)
        lines.push_back("  Audio Bit Rate is not preseted");
      else
        lines.push_back(FormatText("  Audio Bit Rate: %d kb", a.BitRate / 1000));
    }
  }
  return lines;
}
