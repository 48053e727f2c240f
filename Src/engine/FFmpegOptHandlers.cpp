// Handlers of the engine's option table.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "FFmpegOpt.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#include "runtime/MediaTexts.h"

namespace {

std::string FileNameOnly(const std::string& path) {
  size_t p = path.find_last_of('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

}  // namespace

int TCustomFFmpegOpt::OptIgnoreUnsupported(const std::string& name) {
  LogError(llWarning, "options \"" + name + "\" not supported, ignore", true);
  return 0;
}

int TCustomFFmpegOpt::OptUnsupported(const std::string& name) {
  LogError(llError, "options \"" + name + "\" not supported", true);
  return AVERROR(EINVAL);
}

int TCustomFFmpegOpt::OptVideoHook(const std::function<int(const std::string&)>& handler,
                                   const std::string& name, const std::string& arg) {
  return handler ? handler(arg) : OptUnsupported(name);
}

int TCustomFFmpegOpt::OptLogLevel(const std::string& name, const std::string& arg) {
  return SetLogLevelOption(name, arg);
}

int TCustomFFmpegOpt::OptMaxAlloc(const std::string& arg) {
  long long n = 0;
  if (!WholeInteger(arg, n) || n < 0) {
    LogError(llFatal, "Invalid max_alloc \"" + arg + "\".", true);
    return AVERROR(EINVAL);
  }
  av_max_alloc(static_cast<size_t>(n));
  return 0;
}

int TCustomFFmpegOpt::OptCpuFlags(const std::string& arg) {
  unsigned flags = static_cast<unsigned>(av_get_cpu_flags());
  int ret = av_parse_cpu_caps(&flags, arg.c_str());
  if (ret < 0) {
    LogError(llFatal, ErrorText("Failed to parse cpu flags \"" + arg + "\"", ret), true);
    return ret;
  }
  av_force_cpu_flags(static_cast<int>(flags));
  return 0;
}

int TCustomFFmpegOpt::OptProgress(const std::string& arg) {
  std::string url = arg == "-" ? std::string("pipe:") : arg;
  WriteStart = av_gettime_relative();
  int ret = OpenProgressURL(url);
  if (ret < 0) {
    LogError(llError,
             "Failed to open progress URL \"" + url + "\": " + ErrorText(ret), true);
    return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::OptVStats() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "vstats_%02d%02d%02d.log", tm.tm_hour, tm.tm_min, tm.tm_sec);
  VStatsFilename = buf;
  return 0;
}

int TCustomFFmpegOpt::OptVStatsFile(const std::string& arg) {
  VStatsFilename = arg;
  return 0;
}

int TCustomFFmpegOpt::OptFilterComplex(const std::string& arg) {
  try {
    FilterGraphSpecs.push_back({static_cast<int>(FilterGraphSpecs.size()), arg});
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  }
  return 0;
}

int TCustomFFmpegOpt::OptStreamId(TFileOptionsContext* ctx, const std::string& name,
                                  const std::string& arg) {
  size_t colon = arg.find(':');
  long long index = 0, value = 0;
  if (colon == std::string::npos || !WholeInteger(arg.substr(0, colon), index) ||
      !WholeInteger(arg.substr(colon + 1), value)) {
    LogError(llError,
             "Invalid value \"" + arg + "\" for option \"" + name +
                 "\", required syntax is \"index:value\"",
             true);
    return AVERROR(EINVAL);
  }
  auto outOfRange = [&](const std::string& text, long long lo, long long hi) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lld - %lld", lo, hi);
    LogError(llError,
             "The value for \"" + name + "\" was \"" + text + "\" which is not within " + buf,
             true);
    return AVERROR(EINVAL);
  };
  if (index < 0 || index > 1023) return outOfRange(arg.substr(0, colon), 0, 1023);
  if (value < 0 || value > 2147483647) return outOfRange(arg.substr(colon + 1), 0, 2147483647);
  GrowArray(ctx->StreamIdMap, static_cast<int>(index) + 1);
  ctx->StreamIdMap[static_cast<size_t>(index)] = static_cast<int32_t>(value);
  return 0;
}

int TCustomFFmpegOpt::OptPresetFile(TFileOptionsContext* ctx, const std::string& arg) {
  std::string buf;
  int size = ReadWholeFile(arg, buf);
  if (size < 0) {
    LogError(llError, "Preset file \"" + arg + "\" not found", true);
    return AVERROR(EINVAL);
  }
  FFLogger().Log(this, llInfo, "Parse preset file: " + arg);
  std::string text(buf.c_str());  // up to the first zero byte
  std::string shortName = FileNameOnly(arg);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t b = 0, e = line.size();
    while (b < e && static_cast<unsigned char>(line[b]) <= ' ') b++;
    while (e > b && static_cast<unsigned char>(line[e - 1]) <= ' ') e--;
    line = line.substr(b, e - b);
    if (line.empty() || line[0] == '#') continue;
    int ret = ApplyPresetLine(ctx, line, arg, shortName);
    if (ret < 0) return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::OptAttach(TFileOptionsContext* ctx, const std::string& arg) {
  ctx->Attachments.push_back(arg);
  return 0;
}

// vcodec -> codec:v, aframes -> frames:a, vf -> filter:v, aq -> q:a ...
int TCustomFFmpegOpt::OptTypedAlias(TFileOptionsContext* ctx, const char* base,
                                    const std::string& name, const std::string& arg) {
  return WriteOption(ctx, std::string(base) + ":" + name[0], arg);
}

int TCustomFFmpegOpt::OptQScale(TFileOptionsContext* ctx, const std::string& name,
                                const std::string& arg) {
  if (name == "qscale") {
    FFLogger().Log(this, llWarning, "Please use -q:a or -q:v, -qscale is ambiguous");
    return WriteOption(ctx, "q:v", arg);
  }
  std::string target("q");
  target.append(name, std::strlen("qscale"), std::string::npos);
  return WriteOption(ctx, target, arg);
}

int TCustomFFmpegOpt::OptAmbiguous(const char* base, const char* warning, const std::string& name,
                                   const std::string& arg) {
  if (name == base) {
    FFLogger().Log(this, llWarning, warning);
    return FallbackToFileGroup(std::string(base) + ":v", arg);
  }
  return FallbackToFileGroup(name, arg);
}

// vtag -> tag:v, absf -> bsf:a ...
int TCustomFFmpegOpt::OptSuffixAlias(TFileOptionsContext* ctx, const std::string& name,
                                     const std::string& arg) {
  return WriteOption(ctx, name.substr(1) + ":" + name[0], arg);
}

int TCustomFFmpegOpt::OptTimecode(TFileOptionsContext* ctx, const std::string& arg) {
  if (WriteOption(ctx, "metadata:g", "timecode=" + arg) >= 0)
    FallbackToFileGroup("gop_timecode", arg);
  return 0;
}

int TCustomFFmpegOpt::OptChannelLayout(TFileOptionsContext* ctx, const std::string& name,
                                       const std::string& arg) {
  AVChannelLayout layout{};
  uint64_t mask = 0;
  int channels = 0;
  if (av_channel_layout_from_string(&layout, arg.c_str()) == 0) {
    if (layout.order == AV_CHANNEL_ORDER_NATIVE) {
      mask = layout.u.mask;
    } else if (layout.order == AV_CHANNEL_ORDER_UNSPEC && layout.nb_channels > 0) {
      // A bare channel count ("3c"): its default layout.
      AVChannelLayout def{};
      av_channel_layout_default(&def, layout.nb_channels);
      if (def.order == AV_CHANNEL_ORDER_NATIVE) mask = def.u.mask;
      av_channel_layout_uninit(&def);
    }
    channels = layout.nb_channels;
    av_channel_layout_uninit(&layout);
  }
  if (!mask || channels <= 0) {
    LogError(llError, "Unknown channel layout: " + arg, true);
    return AVERROR(EINVAL);
  }
  int ret = FallbackToFileGroup(name, std::to_string(mask));
  if (ret < 0) return ret;
  size_t colon = name.find(':');
  std::string ac = "ac" + (colon == std::string::npos ? std::string() : name.substr(colon));
  return WriteOption(ctx, ac, std::to_string(channels));
}

int TCustomFFmpegOpt::OptTimestamp(TFileOptionsContext* ctx, const std::string& name,
                                   const std::string& arg) {
  int64_t us = ParseTime(name, arg, false);
  std::time_t secs = static_cast<std::time_t>(us / 1000000);
  std::tm tm{};
  if (!localtime_r(&secs, &tm)) {
    LogError(llError, "Invalid date specification for \"" + name + "\": \"" + arg + "\"", true);
    return AVERROR(EINVAL);
  }
  char date[64];
  if (!std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm)) date[0] = '\0';
  // The zone in force on that date, so that date and suffix name the same instant.
  std::string zone = TimeZoneTextForOffset(static_cast<int>(tm.tm_gmtoff));
  int ret = WriteOption(ctx, "metadata", std::string("creation_time=") + date + " " + zone);
  FFLogger().Log(this, llWarning,
                 name + " is deprecated, set the \"creation_time\" metadata tag instead.");
  return ret;
}

int TCustomFFmpegOpt::OptVSync(const std::string& arg) {
  const char* a = arg.c_str();
  if (!av_strcasecmp(a, "cfr")) VideoSyncMethod = 1;
  else if (!av_strcasecmp(a, "vfr")) VideoSyncMethod = 2;
  else if (!av_strcasecmp(a, "passthrough")) VideoSyncMethod = 0;
  else if (!av_strcasecmp(a, "drop")) VideoSyncMethod = 255;
  else if (VideoSyncMethod == -1) {
    long long n = 0;
    if (!WholeInteger(arg, n) || !((n >= -1 && n <= 2) || n == 255)) {
      LogError(llError, "The value for \"vsync\" was \"" + arg + "\" which is invalid", true);
      return AVERROR(EINVAL);
    }
    VideoSyncMethod = static_cast<int32_t>(n);
  }
  return 0;
}

int TCustomFFmpegOpt::OptDeinterlace(const std::string& name) {
  FFLogger().Log(this, llWarning, "-" + name + " is deprecated, use -filter:v yadif instead");
  DoDeinterlace = 1;
  return 0;
}

int TCustomFFmpegOpt::OptSameQuant(const std::string& name) {
  LogError(llWarning,
           "Option \"" + name +
               "\" was removed. If you are looking for an option to preserve the quality (which "
               "is not what -" +
               name + " was for), use -qscale 0 or an equivalent quality factor option.",
           true);
  return AVERROR(EINVAL);
}

int TCustomFFmpegOpt::OptDeprecatedDevice(const char* warning, const char* option,
                                          const std::string& arg) {
  FFLogger().Log(this, llWarning, warning);
  return FallbackToFileGroup(option, arg);
}

// Seconds with a fraction, always with a full stop as decimal separator.
int TCustomFFmpegOpt::OptSecondsToMicro(TFileOptionsContext* ctx, const char* target,
                                        const std::string& name, const std::string& arg) {
  double secs = 0;
  const char* b = arg.data();
  const char* e = b + arg.size();
  auto r = std::from_chars(b, e, secs, std::chars_format::general);
  double us = secs * 1000000.0;
  if (b == e || r.ec != std::errc() || r.ptr != e || !std::isfinite(us) || std::fabs(us) >= 9.2e18) {
    LogError(llError, "Expected double for \"" + name + "\" but found \"" + arg + "\"", true);
    return AVERROR(EINVAL);
  }
  return WriteOption(ctx, target, std::to_string(std::llround(us)));
}

