// The option stage: splitting an option text into arguments, applying a file's options and
// presets through the shared table, the per-stream lookups the other stages ask, and the fatal
// errors of a task. The set-up stages read the file context it fills.
#include "FFmpegOpt.h"

#include <cstdarg>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/time.h>
}

#include "runtime/MediaTexts.h"

namespace {

std::string VFormat(const char* fmt, va_list ap) {
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap2);
  va_end(ap2);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), fmt, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') b++;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') e--;
  return s.substr(b, e - b);
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  size_t p = 0;
  while ((p = s.find(from, p)) != std::string::npos) {
    s.replace(p, from.size(), to);
    p += to.size();
  }
  return s;
}

// Every CR LF, lone CR and lone LF becomes LF.
std::string ToLF(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\r') {
      out += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') i++;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::vector<std::string> SplitOptionText(const std::string& text) {
  std::vector<std::string> args;
  const size_t n = text.size();
  size_t i = 0;
  bool quoted = false;  // kept across arguments: an open span runs to the end
  auto at = [&](size_t k) -> char { return k < n ? text[k] : '\0'; };
  for (;;) {
    while (at(i) == ' ' || at(i) == '\t') i++;
    if (at(i) == '\0') break;
    std::string arg;
    for (;;) {
      char c = at(i);
      if (c == '\0') break;
      if ((c == ' ' || c == '\t') && !quoted) break;
      if (c == '\\' || c == '"') {
        size_t slashes = 0;
        while (at(i) == '\\') {
          slashes++;
          i++;
        }
        if (at(i) == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 0) {
            if (quoted && at(i + 1) == '"') {
              arg += '"';
              i += 2;
              quoted = false;
            } else {
              quoted = !quoted;
              i++;
            }
          } else {
            arg += '"';
            i++;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      arg += c;
      i++;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

// ---------------------------------------------------------------------------------------------

void TAVIOContextClose::operator()(AVIOContext* pb) const { avio_closep(&pb); }

TCustomFFmpegOpt::TCustomFFmpegOpt() { FOptions.InitOpts(); }

TCustomFFmpegOpt::~TCustomFFmpegOpt() = default;

void TCustomFFmpegOpt::InitOptionsContext(TFileOptionsContext& ctx) {
  ctx = TFileOptionsContext();
  ctx.Group = &FOptions.FileGroup;
}

void TCustomFFmpegOpt::ReleaseOptionsContext(TFileOptionsContext& ctx) {
  ctx = TFileOptionsContext();
  FOptions.ResetParseContext();
}

void TCustomFFmpegOpt::LogError(TLogLevel level, const std::string& msg, bool toParseError) {
  if (toParseError) ParseError = msg;
  FFLogger().Log(this, level, msg);
}

int TCustomFFmpegOpt::ParseOptions(TFileOptionsContext* ctx, const std::string& options,
                                   const std::string& role, const std::string& presets) {
  const TOptionTable& table = OptionTable();
  // Entries left from an earlier text must not be applied again.
  FOptions.ResetParseContext();
  int ret = 0;
  try {
    if (!options.empty()) {
      FFLogger().LogFmt(this, llInfo, "ParseOptions for %s: %s", role.c_str(), options.c_str());
      std::vector<std::string> args = SplitOptionText(options);
      PreScanLogLevel(args, table);
      ParseError.clear();
      ret = FOptions.SplitArguments(ctx, args, FAbortOnOptionError, role, table);
      TOptionTarget global{*this, nullptr};
      if (ret >= 0 && !FOptions.GlobalGroup.Opts.empty())
        ret = ApplyOptionGroup(&global, FOptions.GlobalGroup, "global");
    }
    if (ret >= 0) {
      ret = ParsePresets(ctx, presets, role);
      TOptionTarget file{*this, ctx};
      if (ret >= 0 && !options.empty() && !FOptions.FileGroup.Opts.empty())
        ret = ApplyOptionGroup(&file, FOptions.FileGroup, role);
    }
  } catch (const EOptionConvertError& e) {
    ParseError = e.what();
    FFLogger().Log(this, llError, ParseError);
    ret = AVERROR(EINVAL);
  } catch (const std::length_error& e) {
    ParseError = e.what();
    FFLogger().Log(this, llError, ParseError);
    ret = AVERROR(ENOMEM);
  }
  if (ret < 0) {
    std::string text = ErrorText(ret);
    FFLogger().Log(this, llFatal, text);
    if (!FAbortOnOptionError) return 0;
    FLastErrMsg = ParseError.empty() ? text : ParseError + "\r\n" + text;
    return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::ParsePresets(TFileOptionsContext* ctx, const std::string& presets,
                                   const std::string& role) {
  if (presets.empty()) return 0;
  std::string shown = ReplaceAll(ToLF(presets), "\n", "\r\n");
  FFLogger().LogFmt(this, llInfo, "ParsePresets for %s:%s%s", role.c_str(), "\r\n",
                    shown.c_str());
  std::string text = ReplaceAll(ToLF(Trim(presets)), "<CRLF>", "\n");
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    int ret = ApplyPresetLine(ctx, line, std::string(), std::string());
    if (ret < 0) return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::ApplyPresetLine(TFileOptionsContext* ctx, const std::string& line,
                                      const std::string& syntaxPrefix,
                                      const std::string& optionPrefix) {
  size_t eq = line.find('=');
  std::string key = eq == std::string::npos ? line : line.substr(0, eq);
  std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
  if (key.empty() || value.empty()) {
    std::string msg = syntaxPrefix.empty() ? std::string() : syntaxPrefix + ": ";
    msg += "Invalid syntax: \"" + line + "\"";
    FFLogger().Log(this, llError, msg);
    if (FAbortOnOptionError) {
      ParseError = msg;
      return AVERROR(EINVAL);
    }
  }
  FFLogger().LogFmt(this, llDebug, "Applying preset %s with argument %s.\n", key.c_str(),
                    value.c_str());
  ParseError.clear();
  int ret;
  std::string lk = LowerAscii(key);
  try {
    if (lk == "acodec" || lk == "vcodec" || lk == "scodec" || lk == "dcodec")
      ret = WriteOption(ctx, std::string("codec:") + lk[0], value);
    else
      ret = FallbackToFileGroup(key, value);
  } catch (const EOptionConvertError& e) {
    ParseError = e.what();
    ret = AVERROR(EINVAL);
  }
  if (ret < 0) {
    std::string msg = optionPrefix.empty() ? std::string() : optionPrefix + ": ";
    msg += "Invalid option or argument: \"" + line + "\", parsed as \"" + key + "\" = \"" +
           value + "\"";
    FFLogger().Log(this, llError, msg);
    if (FAbortOnOptionError) {
      ParseError = ParseError.empty() ? msg : ParseError + "\r\n" + msg;
      return ret;
    }
  }
  return 0;
}

int TCustomFFmpegOpt::FallbackToFileGroup(const std::string& name, const std::string& value) {
  TAVDictionary savedCodec = std::move(FOptions.CodecOpts);
  TAVDictionary savedFormat = std::move(FOptions.FormatOpts);
  int ret = FOptions.RouteAVOption(name, value);
  TOptionGroup& g = FOptions.FileGroup;
  int r1 = g.CodecOpts.CopyFrom(FOptions.CodecOpts.Get(), 0);
  int r2 = g.FormatOpts.CopyFrom(FOptions.FormatOpts.Get(), 0);
  FOptions.CodecOpts = std::move(savedCodec);
  FOptions.FormatOpts = std::move(savedFormat);
  if (ret < 0) return ret;
  return r1 < 0 ? r1 : (r2 < 0 ? r2 : 0);
}

int TCustomFFmpegOpt::WriteOption(TFileOptionsContext* ctx, const std::string& name,
                                  const std::string& value) {
  TOptionTarget target{*this, ctx};
  int ret = ParseSingleOption(&target, name, value, OptionTable());
  return ret < 0 ? ret : 0;
}

// ---------------------------------------------------------------------------------------------
// Lookups

const TSpecifierValue* TCustomFFmpegOpt::MatchPerStream(const TSpecifierList& list,
                                                        AVFormatContext* s, AVStream* st) {
  const TSpecifierValue* found = nullptr;
  for (const TSpecifierValue& e : list) {
    int r = avformat_match_stream_specifier(s, st, e.Specifier.c_str());
    if (r > 0)
      found = &e;
    else if (r < 0)
      FatalError(ErrorText("check_stream_specifier", r));
  }
  return found;
}

std::string TCustomFFmpegOpt::MatchPerStreamStr(const TSpecifierList& list, AVFormatContext* s,
                                                AVStream* st, const std::string& def) {
  const TSpecifierValue* e = MatchPerStream(list, s, st);
  return e ? e->Str : def;
}

int32_t TCustomFFmpegOpt::MatchPerStreamInt(const TSpecifierList& list, AVFormatContext* s,
                                            AVStream* st, int32_t def) {
  const TSpecifierValue* e = MatchPerStream(list, s, st);
  return e ? e->Int : def;
}

int64_t TCustomFFmpegOpt::MatchPerStreamInt64(const TSpecifierList& list, AVFormatContext* s,
                                              AVStream* st, int64_t def) {
  const TSpecifierValue* e = MatchPerStream(list, s, st);
  return e ? e->Int64 : def;
}

double TCustomFFmpegOpt::MatchPerStreamDouble(const TSpecifierList& list, AVFormatContext* s,
                                              AVStream* st, double def) {
  const TSpecifierValue* e = MatchPerStream(list, s, st);
  return e ? e->Dbl : def;
}

std::string TCustomFFmpegOpt::CodecNameForType(const TFileOptionsContext& ctx, char type) {
  std::string name;
  for (const TSpecifierValue& e : ctx.CodecNames)
    if (e.Specifier.size() == 1 && e.Specifier[0] == type) name = e.Str;
  return name;
}

// ---------------------------------------------------------------------------------------------
// Failures

void TCustomFFmpegOpt::FatalError(const std::string& msg) {
  FLastErrMsg = msg;
  FFLogger().Log(this, llFatal, msg);
  throw FFmpegException(msg);
}

void TCustomFFmpegOpt::FatalErrorFmt(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string msg = VFormat(fmt, ap);
  va_end(ap);
  FatalError(msg);
}

void TCustomFFmpegOpt::AbortCodecExperimental(AVCodecContext* /*codec*/) {
  FatalError("abort codec experimental");
}

void TCustomFFmpegOpt::CheckUnconsumedOptions(const AVDictionary* leftover) {
  const AVDictionaryEntry* t = av_dict_get(leftover, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  if (!t) return;
  std::string msg = std::string("Option ") + t->key + " not found.";
  if (FAbortOnOptionError) FatalError(msg);
  FLastErrMsg = msg;
}

// ---------------------------------------------------------------------------------------------
// Progress output

int TCustomFFmpegOpt::OpenProgressURL(const std::string& url) {
  AVIOInterruptCB cb = WriteInterrupt();
  AVIOContext* pb = nullptr;
  int ret = avio_open2(&pb, url.c_str(), AVIO_FLAG_WRITE, &cb, nullptr);
  if (ret < 0) return ret;
  ProgressAVIO.reset(pb);
  return 0;
}
