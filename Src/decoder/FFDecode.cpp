// Decoder component: opening, describing and the stream information records.
#include "decoder/FFDecode.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "runtime/FFLoad.h"
#include "runtime/MainThread.h"
#include "runtime/MediaTexts.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

namespace {

const char* Tag(const AVDictionary* dict, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
  return e ? e->value : nullptr;
}

std::string TagText(const AVDictionary* dict, const char* key) {
  const char* v = Tag(dict, key);
  return v ? std::string(v) : std::string();
}

// Decimal tag value, 0 when absent or not a number.
int32_t TagNumber(const AVDictionary* dict, const char* key) {
  const char* v = Tag(dict, key);
  if (!v || !*v) return 0;
  char* end = nullptr;
  long n = strtol(v, &end, 10);
  return (end && *end == '\0') ? static_cast<int32_t>(n) : 0;
}

// Seconds and microseconds of a start time: "%d.%.6d". The whole seconds of a start between
// -1 s and 0 are 0, so the sign is written by hand there (else -0.5 s would read 0.500000).
std::string StartText(int64_t t, AVRational tb) {
  if (tb.num != 1 || tb.den != AV_TIME_BASE) t = av_rescale_q(t, tb, AV_TIME_BASE_Q);
  const char* sign = (t < 0 && t > -AV_TIME_BASE) ? "-" : "";
  return FormatText("%s%" PRId64 ".%.6" PRId64, sign, t / AV_TIME_BASE, static_cast<int64_t>(std::llabs(t % AV_TIME_BASE)));
}

std::string RateText(double v, const char* suffix) {
  long long r = llrint(v * 100);
  if (r % 100 != 0) return FormatText(", %3.2f %s", v, suffix);
  if (r % 100000 != 0) return FormatText(", %1.0f %s", v, suffix);
  return FormatText(", %1.0fk %s", v / 1000, suffix);
}

// Metadata lines: the key left-aligned in 16 characters; the value cut at control characters.
void MetadataBlock(std::vector<std::string>& lines, const AVDictionary* dict, const std::string& indent) {
  if (!dict || av_dict_count(dict) == 0) return;
  if (av_dict_count(dict) == 1 && av_dict_get(dict, "language", nullptr, 0)) return;
  lines.push_back(indent + "Metadata:");
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (strcmp(e->key, "language") == 0) continue;
    std::string line = FormatText("%s  %-16s: ", indent.c_str(), e->key);
    const char* p = e->value;
    while (*p) {
      size_t len = strcspn(p, "\x08\x0A\x0B\x0C\x0D");
      line.append(p, std::min<size_t>(len, 255));
      p += len;
      if (*p == '\r') line += ' ';
      if (*p == '\n') {
        lines.push_back(line);
        line = FormatText("%s  %-16s: ", indent.c_str(), "");
      }
      if (*p) ++p;
    }
    lines.push_back(line);
  }
}

// The kind of a file whose opening would block, or null.
const char* BlockingSpecialFile(const std::string& name) {
  struct stat sb {};
  std::string path = name.compare(0, 5, "file:") == 0 ? name.substr(5) : name;
  if (path.empty() || stat(path.c_str(), &sb) != 0) return nullptr;
  if (S_ISFIFO(sb.st_mode)) return "a FIFO";
  if (S_ISSOCK(sb.st_mode)) return "a socket";
  if (S_ISCHR(sb.st_mode)) return "a character device";
  return nullptr;
}

bool IsLocalFile(const std::string& name, int64_t* size) {
  struct stat sb {};
  if (name.empty() || stat(name.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return false;
  *size = static_cast<int64_t>(sb.st_size);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TCustomDecoder::TCustomDecoder() : FOptions(std::make_unique<TFFOptions>()) {
  UpdateStreamInfo();
}

TCustomDecoder::~TCustomDecoder() { TCustomDecoder::CloseFile(); }

void TCustomDecoder::Report(TLogLevel level, const std::string& msg) {
  FLastErrMsg = msg;
  Note(level, msg);
}

void TCustomDecoder::Note(TLogLevel level, const std::string& msg) {
  if (!FQuiet) FFLogger().Log(this, level, msg);
}

void TCustomDecoder::NoteFmt(TLogLevel level, const char* fmt, ...) {
  if (FQuiet) return;
  va_list ap;
  va_start(ap, fmt);
  FFLogger().LogFmtV(this, level, fmt, ap);
  va_end(ap);
}

void TCustomDecoder::ReportFmt(TLogLevel level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  Report(level, buf);
}

bool TCustomDecoder::LoadAVLib(const std::string& libPath) {
  FFLoader().SetLibraryPath(libPath);
  if (FFLoader().LoadLibs(DecoderLibraries)) {
    FOptions->InitOpts();
    return true;
  }
  FLastErrMsg = FFLoader().LastErrMsg();
  return false;
}

bool TCustomDecoder::AVLibLoaded() const { return FFLoader().AllLoaded(DecoderLibraries); }

int TCustomDecoder::InterruptCallback(void* opaque) {
  auto* self = static_cast<TCustomDecoder*>(opaque);
  int64_t start = self->FIOStartTime.load();
  if (start == INT64_MAX || self->ReadTimeout() <= 0) return 0;
  if (av_gettime_relative() - start <= static_cast<int64_t>(self->ReadTimeout()) * 1000) return 0;
  self->Note(llInfo, start == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
  return 1;
}

bool TCustomDecoder::LoadFile(const std::string& FileName, const std::string& FormatName) {
  FFLoader().CheckLoaded(DecoderLibraries);
  CloseFile();
  if (!FOptions->SwsOpts) FOptions->InitOpts();

  const AVInputFormat* fmt = nullptr;
  if (!FormatName.empty()) {
    fmt = av_find_input_format(FormatName.c_str());
    if (!fmt) {
      Report(llError, "Unknown input format: " + FormatName);
      FOptions->InitOpts();
      CloseFile();
      return false;
    }
  }

  // Opening a FIFO, socket or terminal blocks inside the system call until a peer appears,
  // where neither the interrupt callback nor the read time-out can act.
  if (const char* kind = BlockingSpecialFile(FileName)) {
    FLastErrMsg = FileName + ": cannot open " + kind + " as a media file";
    FOptions->InitOpts();
    return false;
  }

  FFormatContext = avformat_alloc_context();
  if (!FFormatContext) {
    FLastErrMsg = ErrorText(FileName, AVERROR(ENOMEM));
    return false;
  }
  FFormatContext->interrupt_callback.callback = &TCustomDecoder::InterruptCallback;
  FFormatContext->interrupt_callback.opaque = this;
  InstallUnicodeIO(FFormatContext);
  FOwnsContext = true;
  FIOStartTime = av_gettime_relative();

  const std::string url = InputFileURL(FileName);
  // An existing picture whose name holds '%' is that one picture, not a sequence pattern.
  const bool noPattern = IsExistingFileWithPattern(FileName) &&
                         !av_dict_get(FOptions->FormatOpts.Get(), "pattern_type", nullptr, 0);
  if (noPattern) av_dict_set(FOptions->FormatOpts.Ref(), "pattern_type", "none", 0);
  int r = avformat_open_input(&FFormatContext, url.c_str(), fmt, FOptions->FormatOpts.Ref());
  if (noPattern) av_dict_set(FOptions->FormatOpts.Ref(), "pattern_type", nullptr, 0);
  if (r < 0) {
    // avformat_open_input freed the context on failure.
    FFormatContext = nullptr;
    FLastErrMsg = ErrorText(FileName, r);
    FOptions->InitOpts();
    CloseFile();
    return false;
  }

  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(FOptions->FormatOpts.Get(), "", e, AV_DICT_IGNORE_SUFFIX)))
    Note(llError, FormatText("Option %s not found, ignored.", e->key));

  FFormatContext->flags |= AVFMT_FLAG_GENPTS;

  if (OnBeforeFindStreamInfo) {
    AVFormatContext* ctx = FFormatContext;
    if (FTriggerEventInMainThread && !IsMainThread())
      RunInMainThread([this, ctx] { OnBeforeFindStreamInfo(this, ctx); });
    else
      OnBeforeFindStreamInfo(this, ctx);
  }

  // One option dictionary per stream present now; probing takes out what it used.
  const unsigned streamsBefore = FFormatContext->nb_streams;
  std::vector<TAVDictionary> perStream = StreamCodecOptions(FFormatContext, FOptions->CodecOpts.Get());
  std::vector<AVDictionary*> dicts(streamsBefore, nullptr);
  for (unsigned i = 0; i < streamsBefore && i < perStream.size(); ++i) dicts[i] = perStream[i].Release();
  FIOStartTime = av_gettime_relative();
  r = avformat_find_stream_info(FFormatContext, dicts.empty() ? nullptr : dicts.data());
  for (AVDictionary*& d : dicts) av_dict_free(&d);
  if (r < 0) {
    FLastErrMsg = FileName + ": could not find codec parameters";
    FOptions->InitOpts();
    CloseFile();
    return false;
  }

  if (FFormatContext->pb) {
    FFormatContext->pb->eof_reached = 0;
    FFormatContext->pb->error = 0;
  }
  UpdateStreamInfo();

  if (FOptions->SwsOpts) {
    int64_t flags = -1;
    if (av_opt_get_int(FOptions->SwsOpts.get(), "sws_flags", 0, &flags) >= 0 && flags >= 0)
      SetScalerFlags(static_cast<int>(flags));
  }
  FOptions->InitOpts();
  FForcedFormatName = FormatName;
  return true;
}

void TCustomDecoder::CloseFile() {
  FForcedFormatName.clear();
  if (FFormatContext) {
    if (FOwnsContext) avformat_close_input(&FFormatContext);
    FFormatContext = nullptr;
  }
  UpdateStreamInfo();
}

void TCustomDecoder::SetFormatContext(AVFormatContext* AFormatContext) {
  if (AFormatContext == FFormatContext) return;
  FFLoader().CheckLoaded(DecoderLibraries);
  CloseFile();
  FOwnsContext = false;
  FFormatContext = AFormatContext;
  UpdateStreamInfo();
}

int64_t TCustomDecoder::FileSizeOf() {
  int64_t size = 0;
  if (FFormatContext->iformat && (FFormatContext->iformat->flags & AVFMT_NOFILE)) {
    size = 0;
  } else if (FFormatContext->pb) {
    size = avio_size(FFormatContext->pb);
    if (size < 0) size = 0;
  }
  if (size <= 0) {
    int64_t local = -1;
    std::string name = FFormatContext->url ? URLToFileName(FFormatContext->url) : std::string();
    if (IsLocalFile(name, &local)) size = local;
  }
  return size;
}

void TCustomDecoder::UpdateStreamInfo() {
  FFileSize = -1;
  FStreamCount = FProgramCount = -1;
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
  FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
  if (!FFormatContext) return;
  FFileSize = FileSizeOf();
  FStreamCount = static_cast<int32_t>(FFormatContext->nb_streams);
  FProgramCount = static_cast<int32_t>(FFormatContext->nb_programs);
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
  for (int i = 0; i < FStreamCount; ++i) {
    switch (FFormatContext->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++FVideoStreamCount;
        if (FFirstVideoStreamIndex < 0) FFirstVideoStreamIndex = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++FAudioStreamCount;
        if (FFirstAudioStreamIndex < 0) FFirstAudioStreamIndex = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++FSubtitleStreamCount;
        if (FFirstSubtitleStreamIndex < 0) FFirstSubtitleStreamIndex = i;
        break;
      default:
        break;
    }
  }
}

AVRational TCustomDecoder::RepairTimeBase(AVStream* st) {
  if (st->time_base.den == 0) {
    st->time_base.den = st->time_base.num;
    if (st->time_base.den == 0) st->time_base.den = 1;
  }
  return st->time_base;
}

TFileStreamInfo TCustomDecoder::GetFileStreamInfo() {
  TFileStreamInfo info;
  if (!FFormatContext) {
    Report(llWarning, "file not loaded.");
    return info;
  }
  info.StartTime = FFormatContext->start_time;
  info.Duration = FFormatContext->duration == AV_NOPTS_VALUE ? -1 : FFormatContext->duration;
  info.BitRate = static_cast<int32_t>(FFormatContext->bit_rate);
  const AVDictionary* md = FFormatContext->metadata;
  info.Year = TagNumber(md, "year");
  info.Track = TagNumber(md, "track");
  info.Title = TagText(md, "title");
  info.Author = TagText(md, "author");
  info.Copyright = TagText(md, "copyright");
  info.Comment = TagText(md, "comment");
  info.Album = TagText(md, "album");
  info.Genre = TagText(md, "genre");
  return info;
}

int TCustomDecoder::ChooseStream(int StreamIndex, int DefaultIndex, AVMediaType Type) {
  const char* kind = av_get_media_type_string(Type);
  if (StreamIndex < 0) {
    if (DefaultIndex < 0) ReportFmt(llError, "no %s stream.", kind);
    return DefaultIndex;
  }
  if (StreamIndex >= StreamCount()) {
    ReportFmt(llError, "stream index #%d is invalid.", StreamIndex);
    return -1;
  }
  if (FFormatContext->streams[StreamIndex]->codecpar->codec_type != Type) {
    ReportFmt(llError, "stream #%d is not %s stream.", StreamIndex, kind);
    return -1;
  }
  return StreamIndex;
}

AVStream* TCustomDecoder::InfoStream(int StreamIndex, int DefaultIndex, AVMediaType Type) {
  if (!FFormatContext) {
    Report(llWarning, "file not loaded.");
    return nullptr;
  }
  StreamIndex = ChooseStream(StreamIndex, DefaultIndex, Type);
  return StreamIndex < 0 ? nullptr : FFormatContext->streams[StreamIndex];
}

// The fields that video and audio stream records share.
template <class TInfo>
void TCustomDecoder::FillCommonStreamInfo(TInfo& info, AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  info.Language = TagText(st->metadata, "language");
  info.CodecDesc = CodecDescription(par, false);
  info.StartTimeRaw = st->start_time;
  AVRational tb = RepairTimeBase(st);
  if (st->start_time != AV_NOPTS_VALUE) info.StartTime = av_rescale_q(st->start_time, tb, AV_TIME_BASE_Q);
  info.DurationRaw = st->duration;
  if (st->duration != AV_NOPTS_VALUE) info.Duration = av_rescale_q(st->duration, tb, AV_TIME_BASE_Q);
  info.BitRate = static_cast<int32_t>(par->bit_rate);
}

TVideoStreamInfo TCustomDecoder::GetVideoStreamInfo(int StreamIndex) {
  TVideoStreamInfo info;
  AVStream* st = InfoStream(StreamIndex, FFirstVideoStreamIndex, AVMEDIA_TYPE_VIDEO);
  if (!st) return info;
  const AVCodecParameters* par = st->codecpar;
  FillCommonStreamInfo(info, st);
  info.Height = par->height;
  info.Width = par->width;
  AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
  info.SARNum = sar.num;
  info.SARDen = sar.den;
  info.SampleAspectRatio = sar.den ? static_cast<float>(sar.num) / static_cast<float>(sar.den) : 0.0f;
  if (info.SARNum != 0) {
    av_reduce(&info.DARNum, &info.DARDen, static_cast<int64_t>(info.Width) * info.SARNum,
              static_cast<int64_t>(info.Height) * info.SARDen, 1048576);
    if (info.DARDen) info.DisplayAspectRatio = static_cast<float>(info.DARNum) / static_cast<float>(info.DARDen);
  }
  info.PixFmt = par->format;
  AVRational rate = (st->avg_frame_rate.num && st->avg_frame_rate.den) ? st->avg_frame_rate : st->r_frame_rate;
  info.FrameRateNum = rate.num;
  info.FrameRateDen = rate.den;
  info.Rotation = UprightDegrees(st);
  info.Mirrored = UprightMirrored(st);
  return info;
}

TAudioStreamInfo TCustomDecoder::GetAudioStreamInfo(int StreamIndex) {
  TAudioStreamInfo info;
  AVStream* st = InfoStream(StreamIndex, FFirstAudioStreamIndex, AVMEDIA_TYPE_AUDIO);
  if (!st) return info;
  const AVCodecParameters* par = st->codecpar;
  FillCommonStreamInfo(info, st);
  info.Channels = par->ch_layout.nb_channels;
  info.SampleRate = par->sample_rate;
  info.SampleFormat = par->format;
  return info;
}

bool TCustomDecoder::StreamIsOfType(int StreamIndex, int type) {
  if (!FFormatContext) {
    Report(llWarning, "file not loaded.");
    return false;
  }
  if (StreamIndex < 0 || StreamIndex >= FStreamCount) {
    ReportFmt(llError, "stream index #%d is invalid.", StreamIndex);
    return false;
  }
  return FFormatContext->streams[StreamIndex]->codecpar->codec_type == type;
}

bool TCustomDecoder::IsAudioStream(int StreamIndex) {
  return StreamIsOfType(StreamIndex, AVMEDIA_TYPE_AUDIO);
}

bool TCustomDecoder::IsVideoStream(int StreamIndex) {
  return StreamIsOfType(StreamIndex, AVMEDIA_TYPE_VIDEO);
}

std::string TCustomDecoder::FileName() {
  if (!FFormatContext) {
    Report(llWarning, "file not loaded.");
    return std::string();
  }
  return FFormatContext->url ? URLToFileName(FFormatContext->url) : std::string();
}

std::string TCustomDecoder::FormatName() {
  if (!FFormatContext) {
    Report(llWarning, "file not loaded.");
    return std::string();
  }
  return FFormatContext->iformat && FFormatContext->iformat->name ? FFormatContext->iformat->name : "";
}

std::string TCustomDecoder::StreamLine(unsigned i) {
  AVStream* st = FFormatContext->streams[i];
  std::string s = FormatText("  Stream #%u", i);
  if (FFormatContext->iformat && (FFormatContext->iformat->flags & AVFMT_SHOW_IDS))
    s += FormatText("[0x%x]", st->id);
  if (const char* lang = Tag(st->metadata, "language")) s += FormatText("(%s)", lang);
  int g = static_cast<int>(av_gcd(st->time_base.num, st->time_base.den));
  if (g == 0) g = 1;
  s += FormatText(", %d/%d", st->time_base.num / g, st->time_base.den / g);

  char buf[256] = {0};
  TCodecContextPtr avctx(avcodec_alloc_context3(nullptr));
  if (avctx && avcodec_parameters_to_context(avctx.get(), st->codecpar) >= 0)
    avcodec_string(buf, sizeof buf, avctx.get(), 0);
  s += ": ";
  s += buf;

  const AVCodecParameters* par = st->codecpar;
  if (st->sample_aspect_ratio.num && av_cmp_q(st->sample_aspect_ratio, par->sample_aspect_ratio)) {
    AVRational dar;
    av_reduce(&dar.num, &dar.den, static_cast<int64_t>(par->width) * st->sample_aspect_ratio.num,
              static_cast<int64_t>(par->height) * st->sample_aspect_ratio.den, 1048576);
    s += FormatText(", SAR %d:%d DAR %d:%d", st->sample_aspect_ratio.num, st->sample_aspect_ratio.den,
                dar.num, dar.den);
  }
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (st->avg_frame_rate.num && st->avg_frame_rate.den) s += RateText(av_q2d(st->avg_frame_rate), "fps");
    if (st->r_frame_rate.num && st->r_frame_rate.den) s += RateText(av_q2d(st->r_frame_rate), "tbr");
    if (st->time_base.num && st->time_base.den) s += RateText(1 / av_q2d(st->time_base), "tbn");
    AVRational ctb = av_stream_get_codec_timebase(st);
    if (ctb.num && ctb.den) s += RateText(1 / av_q2d(ctb), "tbc");
  }
  static const struct {
    int Bit;
    const char* Text;
  } kDispositions[] = {{AV_DISPOSITION_DEFAULT, " (default)"},
                       {AV_DISPOSITION_DUB, " (dub)"},
                       {AV_DISPOSITION_ORIGINAL, " (original)"},
                       {AV_DISPOSITION_COMMENT, " (comment)"},
                       {AV_DISPOSITION_LYRICS, " (lyrics)"},
                       {AV_DISPOSITION_KARAOKE, " (karaoke)"},
                       {AV_DISPOSITION_FORCED, " (forced)"},
                       {AV_DISPOSITION_HEARING_IMPAIRED, " (hearing impaired)"},
                       {AV_DISPOSITION_VISUAL_IMPAIRED, " (visual impaired)"},
                       {AV_DISPOSITION_CLEAN_EFFECTS, " (clean effects)"}};
  for (const auto& d : kDispositions)
    if (st->disposition & d.Bit) s += d.Text;
  if (st->start_time != AV_NOPTS_VALUE) s += ", start: " + StartText(st->start_time, st->time_base);
  if (st->duration != AV_NOPTS_VALUE) s += ", duration: " + DurationToText(st->duration, st->time_base);
  return s;
}

std::string TCustomDecoder::FileInfoText() {
  if (!FFormatContext) {
    Report(llWarning, "file not loaded.");
    return std::string();
  }
  AVFormatContext* ic = FFormatContext;
  std::vector<std::string> lines;
  lines.push_back("File Name: " + FileName());
  lines.push_back(std::string("Format Name: ") + (ic->iformat && ic->iformat->name ? ic->iformat->name : ""));
  if (ic->iformat && ic->iformat->long_name) lines.push_back(std::string("Format Long Name: ") + ic->iformat->long_name);
  lines.push_back("File Size: " + SizeToText(std::max<int64_t>(FileSizeOf(), 0)));
  MetadataBlock(lines, ic->metadata, "");

  std::string d = "Duration: " + TimeToText(ic->duration);
  if (ic->start_time != AV_NOPTS_VALUE) {
    d += ", start: " + StartText(ic->start_time, AV_TIME_BASE_Q);
    d += ", bitrate: ";
    d += ic->bit_rate > 0 ? FormatText("%" PRId64 " kb/s", ic->bit_rate / 1000) : std::string("N/A");
  }
  lines.push_back(d);

  for (unsigned i = 0; i < ic->nb_chapters; ++i) {
    const AVChapter* ch = ic->chapters[i];
    lines.push_back(FormatText("Chapter #%u: ", i) + FormatText("start %.6f, ", ch->start * av_q2d(ch->time_base)) +
                    FormatText("end %.6f", ch->end * av_q2d(ch->time_base)));
    MetadataBlock(lines, ch->metadata, "  ");
  }

  std::vector<bool> shown(ic->nb_streams, false);
  if (ic->nb_programs) {
    unsigned total = 0;
    for (unsigned j = 0; j < ic->nb_programs; ++j) {
      const AVProgram* pg = ic->programs[j];
      const char* name = Tag(pg->metadata, "name");
      lines.push_back(FormatText("Program %d %s", pg->id, name ? name : ""));
      MetadataBlock(lines, pg->metadata, "  ");
      for (unsigned k = 0; k < pg->nb_stream_indexes; ++k) {
        unsigned si = pg->stream_index[k];
        if (si >= ic->nb_streams) continue;
        lines.push_back(StreamLine(si));
        MetadataBlock(lines, ic->streams[si]->metadata, "  ");
        shown[si] = true;
      }
      total += pg->nb_stream_indexes;
    }
    if (total < ic->nb_streams) lines.push_back("No Program");
  }
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    if (shown[i]) continue;
    lines.push_back(StreamLine(i));
    MetadataBlock(lines, ic->streams[i]->metadata, "  ");
  }

  std::string text;
  for (const std::string& l : lines) text += l + "\r\n";
  return text;
}
