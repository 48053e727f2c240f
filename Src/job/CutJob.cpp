#include "job/CutJob.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "decoder/FFDecode.h"
#include "job/EncoderFit.h"
#include "job/OutputChoices.h"
#include "runtime/MediaTexts.h"
#include "runtime/SatMath.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// The working values of one build, set by the format presets.
struct TPresetValues {
  std::string Channels, SampleRate, FrameRate, AudioCodec, VideoCodec, FrameSize;
};

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  return s;
}

// Presets in table order: the first matching key applies.
void ApplyPreset(const std::string& key, const TCutChoices& c, std::string& text, TPresetValues& v,
                 std::string& suffix) {
  if (key == ".flv" || key == ".swf") return;  // only the sample-rate rule below
  if (key == ".3gp") {
    AddOption(text, "-b:a 12.2k");
    v.Channels = "1";
    v.SampleRate = "8000";
    v.VideoCodec = "h263";
  } else if (key == ".ogg") {
    v.AudioCodec = "libvorbis";
    v.VideoCodec = "libtheora";
  } else if (key == ".psp") {
    AddOption(text, "-f psp");
    v.SampleRate = "24000";
    v.FrameRate = "15000/1001";
    v.AudioCodec = c.HasLibfaac ? "libfaac" : "aac";
    v.VideoCodec = "mpeg4";
    v.FrameSize = "320x240";
    suffix = "_psp.mp4";
  } else if (key == ".ipod") {
    v.FrameRate = "15000/1001";
    v.AudioCodec = c.HasLibfaac ? "libfaac" : "aac";
    v.VideoCodec = "mpeg4";
    v.FrameSize = "320x240";
    suffix = "_ipod.mp4";
  } else if (key == ".rm10") {
    v.VideoCodec = "rv10";
    suffix = "_rv10.rm";
  } else if (key == ".rm20") {
    v.VideoCodec = "rv20";
    suffix = "_rv20.rm";
  } else if (key == ".webm") {
    AddOption(text, "-f webm");
    v.AudioCodec = "libvorbis";
    v.VideoCodec = "libvpx";
  } else if (key == ".wmv") {
    v.AudioCodec = "wmav2";
    v.VideoCodec = "wmv2";
  } else if (key == ".mkv") {
    v.VideoCodec = "libx264";
  } else if (key == ".wma") {
    AddOption(text, "-vn");
    v.AudioCodec = "wmav2";
  }
}

std::string Extension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  return path.substr(dot);
}

std::string StemOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// A header can claim a duration the file's bytes cannot fill (a cut-off fragmented file that
// says 39 hours); bit rates worked out from it come to a few bits a second, and an encoder
// handed those refuses to open. Below this no real audio or picture stream is coded.
constexpr int64_t kLeastBitRate = 1000;

bool BytesCanHold(int64_t durationUs, int64_t fileBytes) {
  if (durationUs <= 0 || fileBytes <= 0) return true;  // nothing to judge by
  return static_cast<double>(fileBytes) * 8.0 * 1e6 / static_cast<double>(durationUs) >= kLeastBitRate;
}

// The rate the job may pass on, 0 when it cannot be right: the preset's default then stands,
// as for a source that gives none.
int64_t UsableBitRate(int64_t bitRate, bool hasFloor, int64_t streamDurationUs, int64_t fileDurationUs,
                      int64_t fileBytes) {
  if (bitRate <= 0 || (hasFloor && bitRate < kLeastBitRate)) return 0;
  if (!BytesCanHold(streamDurationUs, fileBytes) || !BytesCanHold(fileDurationUs, fileBytes)) return 0;
  return bitRate;
}

int Number(const std::string& text, int fallback) {
  int n = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
  return r.ec == std::errc() ? n : fallback;
}

// "320x240" or "15000/1001" into its two numbers.
std::pair<int, int> Pair(const std::string& text, char between, std::pair<int, int> fallback) {
  const size_t at = text.find(between);
  if (at == std::string::npos) return {Number(text, fallback.first), 1};
  return {Number(text.substr(0, at), fallback.first), Number(text.substr(at + 1), fallback.second)};
}

std::string EncoderSays(const AVCodec* codec) { return std::string(codec->name) + ": "; }

// Audio values the output's encoder refuses become the nearest ones it takes.
void FitAudioValues(const TCutChoices& c, const std::string& key, const std::string& suffix, TPresetValues& v,
                    int64_t& bitRate, std::vector<std::string>& notes) {
  if (c.RemoveAudio || c.AudioUnreadable || c.AudioSampleRate <= 0 || c.AudioChannels <= 0) return;
  const AVCodec* codec = OutputEncoder(v.AudioCodec, suffix, true);
  if (!codec) return;
  const bool sendsBitRate = key != ".mkv";
  TAudioFit want{v.SampleRate.empty() ? c.AudioSampleRate : Number(v.SampleRate, c.AudioSampleRate),
                 v.Channels.empty() ? c.AudioChannels : Number(v.Channels, c.AudioChannels),
                 sendsBitRate ? bitRate : 0};
  if (key == ".3gp" && want.BitRate <= 0) want.BitRate = 12200;  // its own "-b:a 12.2k"
  TAudioFit fit;
  if (!FitAudio(codec, want, c.AudioSampleFormat, sendsBitRate, &fit)) return;
  if (fit.Channels != want.Channels) {
    notes.push_back(EncoderSays(codec) + FormatText("%d audio channels become %d, the nearest it takes.", want.Channels,
                                                fit.Channels));
    v.Channels = std::to_string(fit.Channels);
  }
  if (fit.SampleRate != want.SampleRate) {
    notes.push_back(EncoderSays(codec) + FormatText("the sample rate %d Hz becomes %d Hz, the nearest it takes.",
                                                want.SampleRate, fit.SampleRate));
    v.SampleRate = std::to_string(fit.SampleRate);
  }
  if (fit.BitRate != want.BitRate && fit.BitRate > 0) {
    notes.push_back(EncoderSays(codec) + FormatText("the audio bit rate %lld becomes %lld, the nearest it takes.",
                                                static_cast<long long>(want.BitRate),
                                                static_cast<long long>(fit.BitRate)));
    bitRate = fit.BitRate;
  }
}

// Picture sizes and frame rates the output's encoder refuses become the nearest ones it takes.
void FitVideoValues(const TCutChoices& c, const std::string& key, const std::string& suffix, TPresetValues& v,
                    std::vector<std::string>& notes) {
  if (key == ".wma" || c.VideoWidth <= 0 || c.VideoHeight <= 0) return;
  const AVCodec* codec = OutputEncoder(v.VideoCodec, suffix, false);
  if (!codec) return;
  const auto size = v.FrameSize.empty() ? std::pair<int, int>{c.VideoWidth, c.VideoHeight}
                                        : Pair(v.FrameSize, 'x', {c.VideoWidth, c.VideoHeight});
  const auto rate = v.FrameRate.empty() ? std::pair<int, int>{c.FrameRateNum, c.FrameRateDen}
                                        : Pair(v.FrameRate, '/', {c.FrameRateNum, c.FrameRateDen});
  const TVideoFit want{size.first, size.second, AVRational{rate.first, rate.second}};
  TVideoFit fit;
  if (!FitVideo(codec, want, c.VideoPixelFormat, c.VideoBitRate, &fit)) return;
  if (fit.Width != want.Width || fit.Height != want.Height) {
    notes.push_back(EncoderSays(codec) + FormatText("the picture size %dx%d becomes %dx%d, the nearest it takes.",
                                                want.Width, want.Height, fit.Width, fit.Height));
    v.FrameSize = std::to_string(fit.Width) + "x" + std::to_string(fit.Height);
  }
  if (av_cmp_q(fit.Rate, want.Rate) != 0) {
    notes.push_back(EncoderSays(codec) + "the frame rate " + RateText(want.Rate) + " becomes " + RateText(fit.Rate) +
                    ", the nearest it takes.");
    v.FrameRate = RateText(fit.Rate);
  }
}

bool HasUndecodableSubtitles(const AVFormatContext* ic) {
  if (!ic) return false;
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_SUBTITLE && !avcodec_find_decoder(par->codec_id)) return true;
  }
  return false;
}

// The stream the engine would take for sound is one of an unknown codec.
bool HasUnreadableAudio(const AVFormatContext* ic) {
  if (!ic) return false;
  const int a = av_find_best_stream(const_cast<AVFormatContext*>(ic), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  return a >= 0 && ic->streams[a]->codecpar->codec_id == AV_CODEC_ID_NONE;
}

// A copy into a suffix that names no muxer takes the input's; sound that container cannot
// hold is left out (the muxer would refuse the whole file). True when the sound goes.
bool FitCopyContainer(const TCutChoices& c, TCutJob& job, std::string& text) {
  const std::string name = "x" + job.Suffix;
  const std::string container = CopyContainerName(name, c.InputFormatName);
  if (!container.empty()) AddOption(text, " -f " + container);
  const AVOutputFormat* of = container.empty() ? av_guess_format(nullptr, name.c_str(), nullptr)
                                               : av_guess_format(container.c_str(), nullptr, nullptr);
  const auto id = static_cast<AVCodecID>(c.AudioCodecId);
  if (!of || c.RemoveAudio || c.AudioUnreadable || id == AV_CODEC_ID_NONE ||
      avformat_query_codec(of, id, FF_COMPLIANCE_NORMAL) != 0)
    return false;
  job.Notes.push_back(FormatText("The sound (%s) cannot be kept in this container; the copy has none.",
                                 avcodec_get_name(id)));
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

void AddOption(std::string& text, const std::string& item) {
  text += ' ';
  text += item;
}

std::string SecondsText(int64_t us) {
  char buf[64];
  // to_chars ignores the locale that the GUI toolkit sets.
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(us) / 1000000.0, std::chars_format::general, 15);
  return std::string(buf, r.ptr);
}

std::string PickAacEncoder() { return avcodec_find_encoder_by_name("libfaac") ? "libfaac" : "aac"; }

int GetProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n ? static_cast<int>(n) : 1;
}

std::string FrameSizeOfEntry(const std::string& entry) {
  const size_t blank = entry.find(' ');
  if (blank == std::string::npos || blank == 0) return entry;
  return entry.substr(0, blank);
}

TCutJob BuildCutJob(const TCutChoices& c) {
  TCutJob job;
  int64_t start = c.TrimStart, end = c.TrimEnd;
  // A selection the point buttons did not make: the points follow the track bar.
  if (!c.SelectionFromPoints && c.SelStart > 0 && c.SelEnd > 0 && c.TrackMax > 0) {
    start = std::llround(static_cast<double>(c.SelStart) / c.TrackMax * static_cast<double>(c.Duration));
    end = std::llround(static_cast<double>(c.SelEnd) / c.TrackMax * static_cast<double>(c.Duration));
  }
  job.TrimStart = start;
  job.TrimEnd = end;

  std::string& text = job.Options;
  const int64_t shift = c.RemoveAudio || c.AudioUnreadable ? c.VideoStartOffsetWithoutAudio : c.VideoStartOffset;
  const int64_t offset = shift > 0 ? shift : 0;
  if (start >= 0 && end > start) {
    AddOption(text, " -ss " + SecondsText(SatAdd(start, offset)));
    AddOption(text, " -t " + SecondsText(end - start));
  } else if (start >= 0 && end < start) {
    AddOption(text, " -ss " + SecondsText(SatAdd(start, offset)));
    AddOption(text, " -t " + SecondsText(c.Duration - start));
  }

  if (c.MapVideoStream >= 0) {
    AddOption(text, " -map 0:" + std::to_string(c.MapVideoStream));
    if (c.MapAudioStream >= 0) AddOption(text, " -map 0:" + std::to_string(c.MapAudioStream));
  }
  if (c.DropSubtitles) AddOption(text, " -sn");
  if (c.AudioUnreadable && !c.RemoveAudio) job.Notes.push_back("The sound cannot be read here; the cut has none.");

  if (c.FormatIndex < 1) {
    if (c.FormatIndex == 0) job.Suffix = Extension(c.FileName);
    bool silent = c.RemoveAudio || c.AudioUnreadable;
    if (c.FormatIndex == 0) silent = FitCopyContainer(c, job, text) || silent;
    if (silent) AddOption(text, " -an ");
    AddOption(text, " -vcodec copy -acodec copy ");
    job.StreamCopy = true;
    return job;
  }

  const int formats = static_cast<int>(OutputChoices::Formats.size());
  const std::string entry = c.FormatIndex < formats ? OutputChoices::Formats[c.FormatIndex] : "";
  const std::string key = "." + Lower(entry);
  job.Suffix = key;
  TPresetValues v;
  ApplyPreset(key, c, text, v, job.Suffix);
  if (key == ".flv" || key == ".swf") {
    if (v.SampleRate != "11025" && v.SampleRate != "22050" && v.SampleRate != "44100") v.SampleRate = "44100";
  }
  const bool is3gp = key == ".3gp";
  const int sizes = static_cast<int>(is3gp ? OutputChoices::FrameSizes3GP.size() : OutputChoices::FrameSizes.size());
  if ((is3gp ? c.FrameSizeIndex >= 0 : c.FrameSizeIndex > 0) && c.FrameSizeIndex < sizes)
    v.FrameSize = FrameSizeOfEntry(is3gp ? OutputChoices::FrameSizes3GP[c.FrameSizeIndex]
                                         : OutputChoices::FrameSizes[c.FrameSizeIndex]);
  int64_t audioBitRate = c.AudioBitRate;
  FitAudioValues(c, key, job.Suffix, v, audioBitRate, job.Notes);
  FitVideoValues(c, key, job.Suffix, v, job.Notes);
  if (!v.Channels.empty()) AddOption(text, "-ac " + v.Channels);
  if (!v.SampleRate.empty()) AddOption(text, "-ar " + v.SampleRate);
  if (!v.FrameRate.empty()) AddOption(text, "-r " + v.FrameRate);
  if (!v.AudioCodec.empty()) {
    AddOption(text, "-c:a " + v.AudioCodec);
    if (v.AudioCodec == "aac") AddOption(text, "-astrict experimental");
  }
  if (!v.VideoCodec.empty()) AddOption(text, "-c:v " + v.VideoCodec);
  if (!v.FrameSize.empty()) AddOption(text, " -s " + v.FrameSize);

  if (c.QualityChecked) {
    const std::string q = " -qscale " + std::to_string(c.QualityIndex);
    AddOption(text, c.ProcessorCount <= 1 ? q : q + " -threads " + std::to_string(c.ProcessorCount));
  }
  if (c.RemoveAudio || c.AudioUnreadable) AddOption(text, " -an ");
  if (key != ".mkv" && audioBitRate > 0) AddOption(text, " -ab " + std::to_string(audioBitRate));
  if (c.VideoBitRate > 0) AddOption(text, " -vb " + std::to_string(c.VideoBitRate));
  return job;
}

namespace {

int64_t StartUs(const AVStream* st) {
  return st->start_time == AV_NOPTS_VALUE ? INT64_MAX
                                          : av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q);
}

// Where the engine counts -ss from: the file's start, except for formats whose timestamps may
// jump (MPEG-TS and PS), where it moves to the first stream the job uses, so a data track that
// starts earlier does not count. The streams are the ones the engine picks by itself.
int64_t EngineStartTime(const AVFormatContext* ic, int video, bool withAudio) {
  if (!(ic->iformat->flags & AVFMT_TS_DISCONT)) return ic->start_time;
  int64_t first = video >= 0 ? StartUs(ic->streams[video]) : INT64_MAX;
  int audio = -1, channels = 0;
  bool subtitle = false;
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->ch_layout.nb_channels > channels) {
      channels = par->ch_layout.nb_channels;
      audio = static_cast<int>(i);
    } else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE && !subtitle && avcodec_find_decoder(par->codec_id)) {
      subtitle = true;
      first = std::min(first, StartUs(ic->streams[i]));
    }
  }
  if (withAudio && audio >= 0) first = std::min(first, StartUs(ic->streams[audio]));
  return first != INT64_MAX && first > ic->start_time ? first : ic->start_time;
}

}  // namespace

int64_t VideoStartOffset(TFFDecoder& dec, bool withAudio) {
  const TVideoStreamInfo video = dec.GetVideoStreamInfo(-1);
  const AVFormatContext* ic = dec.FormatContext();
  if (!ic || ic->start_time == AV_NOPTS_VALUE || video.StartTime < 0 || dec.VideoStreamCount() <= 0) return 0;
  const int shown = dec.VideoStreamIndex() >= 0 ? dec.VideoStreamIndex() : dec.FirstVideoStreamIndex();
  const int64_t d = SatSub(video.StartTime, EngineStartTime(ic, shown, withAudio));
  return d > 0 ? d : 0;
}

void FillInputChoices(TFFDecoder& dec, TCutChoices& c) {
  const TAudioStreamInfo audio = dec.GetAudioStreamInfo(-1);
  const TVideoStreamInfo video = dec.GetVideoStreamInfo(-1);
  const int64_t fileDuration = dec.GetFileStreamInfo().Duration;
  const int64_t bytes = dec.FileSize();
  c.AudioBitRate = UsableBitRate(audio.BitRate, true, audio.Duration, fileDuration, bytes);
  c.VideoBitRate =
      UsableBitRate(video.BitRate, video.Width > 0 && video.Height > 0, video.Duration, fileDuration, bytes);
  c.VideoStartOffset = VideoStartOffset(dec, true);
  c.VideoStartOffsetWithoutAudio = VideoStartOffset(dec, false);
  c.AudioSampleRate = audio.SampleRate > 0 ? audio.SampleRate : 0;
  c.AudioChannels = audio.Channels > 0 ? audio.Channels : 0;
  c.AudioSampleFormat = audio.SampleFormat;
  c.HasVideo = dec.VideoStreamCount() > 0;
  c.VideoWidth = c.HasVideo && video.Width > 0 ? video.Width : 0;
  c.VideoHeight = c.HasVideo && video.Height > 0 ? video.Height : 0;
  c.VideoPixelFormat = video.PixFmt;
  c.FrameRateNum = video.FrameRateNum;
  c.FrameRateDen = video.FrameRateDen > 0 ? video.FrameRateDen : 1;
  const int shown = dec.VideoStreamIndex() >= 0 ? dec.VideoStreamIndex() : dec.FirstVideoStreamIndex();
  c.MapVideoStream = dec.VideoStreamCount() > 1 ? shown : -1;
  c.MapAudioStream = c.MapVideoStream >= 0 ? dec.FirstAudioStreamIndex() : -1;
  c.DropSubtitles = HasUndecodableSubtitles(dec.FormatContext());
  c.AudioUnreadable = HasUnreadableAudio(dec.FormatContext());
  if (const AVFormatContext* ic = dec.FormatContext()) {
    const int a = av_find_best_stream(const_cast<AVFormatContext*>(ic), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    c.AudioCodecId = a >= 0 ? ic->streams[a]->codecpar->codec_id : 0;
  }
  if (const AVFormatContext* ic = dec.FormatContext()) c.InputFormatName = ic->iformat->name;
  c.ProcessorCount = GetProcessorCount();
  c.HasLibfaac = PickAacEncoder() == "libfaac";
}

std::string CopyContainerName(const std::string& outputName, const std::string& inputFormatNames) {
  if (av_guess_format(nullptr, outputName.c_str(), nullptr)) return std::string();
  size_t pos = 0;
  while (pos < inputFormatNames.size()) {
    size_t comma = inputFormatNames.find(',', pos);
    if (comma == std::string::npos) comma = inputFormatNames.size();
    const std::string name = inputFormatNames.substr(pos, comma - pos);
    if (av_guess_format(name.c_str(), nullptr, nullptr)) return name;
    pos = comma + 1;
  }
  return std::string();
}

std::string DefaultOutputDir() {
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  while (!home.empty() && home.back() == '/') home.pop_back();
  return home + "/clipvanefree";
}

std::string MakeOutputFileName(const std::string& source, const std::string& suffix, const TOutputNameHost& host) {
  std::string folder = host.ReadString ? host.ReadString("OutPutDir", host.DefaultDir) : host.DefaultDir;
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec)) {
      if (host.Warning)
        host.Warning("Warning", "Cannot create output directory:" + folder + ".It will create default directory " +
                                    host.DefaultDir + "!");
      std::filesystem::create_directories(host.DefaultDir, ec);
      if (host.WriteString) host.WriteString("OutPutDir", host.DefaultDir);
    }
  }
  if (folder.empty() || folder.back() != '/') folder += '/';
  const std::string base = folder + StemOf(source);
  std::string candidate = base + "_(new)" + suffix;
  for (int n = 1; Exists(candidate); ++n) candidate = base + "_(new_" + std::to_string(n) + ")" + suffix;
  return candidate;
}
