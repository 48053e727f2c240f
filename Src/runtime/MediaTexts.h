#pragma once
// Texts and numbers shared by the messages of all media components. All pure functions.
#include <cstdint>
#include <span>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/rational.h>
}

// "%.2f GB" / "%.2f MB" / "%.2f KB" above 2^30 / 2^20 / 2^10 bytes, else "%d Byte".
std::string SizeToText(int64_t bytes);

// Microseconds as "%.2d:%.2d:%.2d.%.3d" (5 ms added before splitting, hours not wrapped);
// "N/A" for AV_NOPTS_VALUE. A time still negative after the 5 ms are added reads as "-" and
// the text of that magnitude (-1500000 gives -00:00:01.495; -4000 gives 00:00:00.001).
std::string TimeToText(int64_t us);
// t in the given time base, shown as TimeToText of its microseconds; "N/A" when unknown.
std::string DurationToText(int64_t t, AVRational timeBase);
// "NOPTS" or the decimal value.
std::string TimestampToText(int64_t t);
// "NOPTS" or "%.6g" seconds of t in the time base.
std::string TimestampToSecondsText(int64_t t, AVRational timeBase);

// "UTC", or "UTC+hh:mm" / "UTC-hh:mm" for the local zone now.
std::string TimeZoneText();
// The same for a zone that is offsetSeconds ahead of UTC (negative: behind).
std::string TimeZoneTextForOffset(int offsetSeconds);
// Unix seconds as a local date-time in days since 1899-12-30 (the desktop date epoch).
double UnixToLocalDateTime(int64_t unixSeconds);

// "Video", "Audio", "Data", "Subtitle", "Attachment", otherwise "Unknown".
std::string MediaTypeText(int mediaType);
// "Intra", "Predicted", "Bi-dir predicted", "S(GMC)-VOP MPEG4", "Switching Intra",
// "Switching Predicted", "BI type", otherwise "Unknown".
std::string PictureTypeText(int pictureType);

// Codec description: "name(long name)" of the codec found for the id (encoder or decoder side),
// else "mpeg2ts", the codec's own name, "abcd / 0xTAG" for a printable tag, or "0xtag".
std::string CodecDescription(AVCodecID id, uint32_t codecTag, bool encoder,
                             const char* codecName = nullptr);
std::string CodecDescription(const AVCodecContext* ctx, bool encoder);
std::string CodecDescription(const AVCodecParameters* par, bool encoder);

// Microseconds of one frame at num/den frames per second; 40000 when unknown.
// printf-style text (at most 1023 bytes).
std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

int64_t FrameDuration(int num, int den);
inline int64_t FrameDuration(AVRational rate) { return FrameDuration(rate.num, rate.den); }

// Value of the exact key, else the default.
std::string MetadataValue(const AVDictionary* dict, const std::string& key,
                          const std::string& defaultValue = std::string());

// Error code texts: the first row of the table with the code, else "Error number %d occurred";
// a non-empty prefix (usually a file name) gives "prefix: text".
struct TErrorItem {
  int32_t Code;
  const char* Message;
};
std::span<const TErrorItem> ErrorTable();
std::string ErrorText(int code);
std::string ErrorText(const std::string& prefix, int code);
