#include "runtime/MediaTexts.h"

#include <cstdarg>
#include <cstdio>

#include <cinttypes>
#include <cstdio>
#include <ctime>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

namespace {

std::string Trim(const char* s) {
  if (!s)
    return {};
  std::string t(s);
  const auto first = t.find_first_not_of(" \t\r\n");
  if (first == std::string::npos)
    return {};
  const auto last = t.find_last_not_of(" \t\r\n");
  return t.substr(first, last - first + 1);
}

// Seconds the local zone is ahead of UTC at the given instant.
long LocalOffsetSeconds(time_t when) {
  struct tm local {};
  if (!localtime_r(&when, &local))
    return 0;
  return local.tm_gmtoff;
}

}  // namespace

std::string SizeToText(int64_t bytes) {
  char buf[64];
  if (bytes > 1073741824)
    snprintf(buf, sizeof buf, "%.2f GB", static_cast<double>(bytes) / 1073741824.0);
  else if (bytes > 1048576)
    snprintf(buf, sizeof buf, "%.2f MB", static_cast<double>(bytes) / 1048576.0);
  else if (bytes > 1024)
    snprintf(buf, sizeof buf, "%.2f KB", static_cast<double>(bytes) / 1024.0);
  else
    snprintf(buf, sizeof buf, "%" PRId64 " Byte", bytes);
  return buf;
}

std::string TimeToText(int64_t us) {
  if (us == AV_NOPTS_VALUE)
    return "N/A";
  // The 5 ms go onto the signed time; a time still negative after that reads as "-" and its
  // magnitude, not as fields with signs of their own. The addition is guarded at the top.
  int64_t t = us > INT64_MAX - 5000 ? INT64_MAX : us + 5000;
  const char* sign = "";
  if (t < 0) {
    sign = "-";
    t = -t;  // AV_NOPTS_VALUE is the only time whose magnitude does not fit, and it is gone
  }
  const int64_t s = t / 1000000;
  const int64_t r = t % 1000000;
  char buf[64];
  snprintf(buf, sizeof buf, "%s%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, sign,
           s / 3600, (s / 60) % 60, s % 60, r * 1000 / 1000000);
  return buf;
}

std::string DurationToText(int64_t t, AVRational timeBase) {
  if (t == AV_NOPTS_VALUE)
    return "N/A";
  if (timeBase.num != 1 || timeBase.den != 1000000) {
    if (timeBase.num <= 0 || timeBase.den <= 0)
      return "N/A";
    t = av_rescale_q(t, timeBase, AVRational{1, 1000000});
  }
  return TimeToText(t);
}

std::string TimestampToText(int64_t t) {
  if (t == AV_NOPTS_VALUE)
    return "NOPTS";
  return std::to_string(t);
}

std::string TimestampToSecondsText(int64_t t, AVRational timeBase) {
  if (t == AV_NOPTS_VALUE || timeBase.den == 0)
    return "NOPTS";
  char buf[64];
  snprintf(buf, sizeof buf, "%.6g", static_cast<double>(t) * timeBase.num / timeBase.den);
  return buf;
}

std::string TimeZoneTextForOffset(int offsetSeconds) {
  if (offsetSeconds == 0)
    return "UTC";
  const int a = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
  char buf[32];
  snprintf(buf, sizeof buf, "%s%s%.2d:%.2d", "UTC", offsetSeconds > 0 ? "+" : "-", a / 3600,
           (a / 60) % 60);
  return buf;
}

std::string TimeZoneText() {
  return TimeZoneTextForOffset(static_cast<int>(LocalOffsetSeconds(time(nullptr))));
}

double UnixToLocalDateTime(int64_t unixSeconds) {
  const long offset = LocalOffsetSeconds(static_cast<time_t>(unixSeconds));
  return static_cast<double>(unixSeconds) / 86400.0 + 25569.0 +
         static_cast<double>(offset) / 86400.0;
}

std::string MediaTypeText(int mediaType) {
  switch (mediaType) {
    case AVMEDIA_TYPE_VIDEO: return "Video";
    case AVMEDIA_TYPE_AUDIO: return "Audio";
    case AVMEDIA_TYPE_DATA: return "Data";
    case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
    default: return "Unknown";
  }
}

std::string PictureTypeText(int pictureType) {
  switch (pictureType) {
    case AV_PICTURE_TYPE_I: return "Intra";
    case AV_PICTURE_TYPE_P: return "Predicted";
    case AV_PICTURE_TYPE_B: return "Bi-dir predicted";
    case AV_PICTURE_TYPE_S: return "S(GMC)-VOP MPEG4";
    case AV_PICTURE_TYPE_SI: return "Switching Intra";
    case AV_PICTURE_TYPE_SP: return "Switching Predicted";
    case AV_PICTURE_TYPE_BI: return "BI type";
    default: return "Unknown";
  }
}

std::string CodecDescription(AVCodecID id, uint32_t codecTag, bool encoder,
                             const char* codecName) {
  const AVCodec* codec = encoder ? avcodec_find_encoder(id) : avcodec_find_decoder(id);
  char buf[512];
  if (codec) {
    const std::string longName = Trim(codec->long_name);
    if (longName.empty())
      return codec->name;
    snprintf(buf, sizeof buf, "%s(%s)", codec->name, longName.c_str());
    return buf;
  }
  if (id == AV_CODEC_ID_MPEG2TS)
    return "mpeg2ts";
  const std::string name = Trim(codecName);
  if (!name.empty())
    return name;
  char c[4];
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    c[i] = static_cast<char>((codecTag >> (8 * i)) & 0xFF);
    printable = printable && c[i] >= 32 && c[i] <= 126;
  }
  if (printable)
    snprintf(buf, sizeof buf, "%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], codecTag);
  else
    snprintf(buf, sizeof buf, "0x%04x", codecTag);
  return buf;
}

std::string CodecDescription(const AVCodecContext* ctx, bool encoder) {
  if (!ctx)
    return {};
  const char* name = ctx->codec ? ctx->codec->name : nullptr;
  if (!name) {
    const AVCodecDescriptor* desc = avcodec_descriptor_get(ctx->codec_id);
    name = desc ? desc->name : nullptr;
  }
  return CodecDescription(ctx->codec_id, ctx->codec_tag, encoder, name);
}

std::string CodecDescription(const AVCodecParameters* par, bool encoder) {
  if (!par)
    return {};
  const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
  return CodecDescription(par->codec_id, par->codec_tag, encoder, desc ? desc->name : nullptr);
}

std::string FormatText(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

int64_t FrameDuration(int num, int den) {
  if (num != 0 && den != 0)
    return static_cast<int64_t>(1000000) * den / num;
  return 40000;
}

std::string MetadataValue(const AVDictionary* dict, const std::string& key,
                          const std::string& defaultValue) {
  const AVDictionaryEntry* e = av_dict_get(dict, key.c_str(), nullptr, AV_DICT_MATCH_CASE);
  return e && e->value ? std::string(e->value) : defaultValue;
}

std::string ErrorText(int code) {
  for (const TErrorItem& item : ErrorTable())
    if (item.Code == code)
      return item.Message;
  char buf[64];
  snprintf(buf, sizeof buf, "Error number %d occurred", code);
  return buf;
}

std::string ErrorText(const std::string& prefix, int code) {
  if (prefix.empty())
    return ErrorText(code);
  return prefix + ": " + ErrorText(code);
}
