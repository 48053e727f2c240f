#include "FFOptions.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "FFLog.h"
#include "MediaTexts.h"

std::string ParseError;

namespace {

struct TLevelName {
  const char* Name;
  int Level;
};
constexpr TLevelName kLogLevels[] = {
    {"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC}, {"fatal", AV_LOG_FATAL},
    {"error", AV_LOG_ERROR},     {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
    {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG},
};

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Whole-text decimal integer with an optional sign.
template <class T>
bool ToInteger(const std::string& text, T& out) {
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+') ++b;
  if (b == e) return false;
  auto r = std::from_chars(b, e, out, 10);
  return r.ec == std::errc() && r.ptr == e;
}

// Whole-text decimal number with a full stop as separator; locale independent on purpose.
template <class T>
bool ToReal(const std::string& text, T& out) {
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+') ++b;
  if (b == e) return false;
  auto r = std::from_chars(b, e, out, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == e;
}

std::string NameUpToColon(const std::string& name) {
  size_t p = name.find(':');
  return p == std::string::npos ? name : name.substr(0, p);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Holders

TAVDictionary& TAVDictionary::operator=(TAVDictionary&& o) noexcept {
  if (this != &o) {
    Reset();
    FDict = o.FDict;
    o.FDict = nullptr;
  }
  return *this;
}

void TAVDictionary::Reset() {
  if (FDict) av_dict_free(&FDict);
}

int TAVDictionary::Count() const { return av_dict_count(FDict); }

int TAVDictionary::Set(const std::string& key, const std::string& value, int flags) {
  return av_dict_set(&FDict, key.c_str(), value.c_str(), flags);
}

const char* TAVDictionary::Value(const std::string& key) const {
  const AVDictionaryEntry* e = av_dict_get(FDict, key.c_str(), nullptr, AV_DICT_MATCH_CASE);
  return e ? e->value : nullptr;
}

int TAVDictionary::CopyFrom(const AVDictionary* src, int flags) {
  return av_dict_copy(&FDict, src, flags);
}

void TOptionGroup::Clear() {
  Opts.clear();
  CodecOpts.Reset();
  FormatOpts.Reset();
  ResampleOpts.Reset();
  SwsOpts.reset();
  SwrOpts.Reset();
}

// ---------------------------------------------------------------------------------------------
// Value conversions

int32_t ParseInt(const std::string& name, const std::string& text) {
  int32_t v = 0;
  if (!ToInteger(text, v))
    throw EOptionConvertError(
        FormatText("Expected integer for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return v;
}

int64_t ParseInt64(const std::string& name, const std::string& text) {
  int64_t v = 0;
  if (!ToInteger(text, v))
    throw EOptionConvertError(
        FormatText("Expected int64 for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return v;
}

float ParseFloat(const std::string& name, const std::string& text) {
  float v = 0;
  if (!ToReal(text, v))
    throw EOptionConvertError(
        FormatText("Expected float for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return v;
}

double ParseDouble(const std::string& name, const std::string& text) {
  double v = 0;
  if (!ToReal(text, v))
    throw EOptionConvertError(
        FormatText("Expected double for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return v;
}

int64_t ParseTime(const std::string& name, const std::string& text, bool isDuration) {
  int64_t us = 0;
  if (av_parse_time(&us, text.c_str(), isDuration ? 1 : 0) < 0)
    throw EOptionConvertError(FormatText("Invalid %s specification for \"%s\": \"%s\"",
                                     isDuration ? "duration" : "date", name.c_str(),
                                     text.c_str()));
  return us;
}

// ---------------------------------------------------------------------------------------------
// Rows

bool WholeInteger(const std::string& text, long long& out) { return ToInteger(text, out); }

const TOptionDef* FindOptionDef(const TOptionTable& table, const std::string& name) {
  size_t len = name.find(':');
  if (len == std::string::npos) len = name.size();
  for (const TOptionDef& po : table)
    if (po.Name.size() == len && name.compare(0, len, po.Name) == 0) return &po;
  return nullptr;
}

int WriteOptionValue(void* ctx, const TOptionDef& po, const std::string& name,
                     const std::string& value) {
  void* dst = po.Address;
  if (po.Field || (po.Flags & (OPT_OFFSET | OPT_SPEC))) {
    dst = ctx && po.Field ? po.Field(ctx) : nullptr;
    if (!dst) throw std::logic_error("option \"" + po.Name + "\" needs an option context");
  }

  TSpecifierValue* cell = nullptr;
  if (po.Flags & OPT_SPEC) {
    auto* list = static_cast<TSpecifierList*>(dst);
    size_t p = name.find(':');
    TSpecifierValue sv;
    sv.Specifier = p == std::string::npos ? std::string() : name.substr(p + 1);
    GrowArray(*list, static_cast<int>(list->size()) + 1);
    list->back() = std::move(sv);
    cell = &list->back();
  }

  if (po.Flags & OPT_STRING) {
    if (cell) cell->Str = value;
    else *static_cast<std::string*>(dst) = value;
  } else if (po.Flags & (OPT_BOOL | OPT_INT)) {
    int32_t v = ParseInt(name, value);
    if (cell) cell->Int = v;
    else *static_cast<int32_t*>(dst) = v;
  } else if (po.Flags & OPT_INT64) {
    int64_t v = ParseInt64(name, value);
    if (cell) cell->Int64 = v;
    else *static_cast<int64_t*>(dst) = v;
  } else if (po.Flags & OPT_TIME) {
    int64_t v = ParseTime(name, value, true);
    if (cell) cell->Int64 = v;
    else *static_cast<int64_t*>(dst) = v;
  } else if (po.Flags & OPT_FLOAT) {
    float v = ParseFloat(name, value);
    if (cell) cell->Float = v;
    else *static_cast<float*>(dst) = v;
  } else if (po.Flags & OPT_DOUBLE) {
    double v = ParseDouble(name, value);
    if (cell) cell->Dbl = v;
    else *static_cast<double*>(dst) = v;
  } else if (po.Handler) {
    ParseError.clear();
    int ret = po.Handler(ctx, name, value);
    if (ret < 0) {
      std::string msg =
          FormatText("Failed to set value \"%s\" for option \"%s\"", value.c_str(), name.c_str());
      ParseError = ParseError.empty() ? msg : ParseError + "\r\n" + msg;
      av_log(nullptr, AV_LOG_ERROR, "%s\n", msg.c_str());
      return ret;
    }
  }
  return 0;
}

int ParseSingleOption(void* ctx, const std::string& name, const std::optional<std::string>& value,
                      const TOptionTable& table) {
  std::optional<std::string> val = value;
  const TOptionDef* po = FindOptionDef(table, name);
  if (!po && StartsWith(name, "no")) {
    po = FindOptionDef(table, name.substr(2));
    if (po && (po->Flags & OPT_BOOL)) val = "0";
  } else if (po && (po->Flags & OPT_BOOL)) {
    val = "1";
  }
  if (!po) po = FindOptionDef(table, "default");
  if (!po) {
    ParseError = FormatText("Unrecognized option \"%s\"", name.c_str());
    av_log(nullptr, AV_LOG_ERROR, "%s\n", ParseError.c_str());
    return AVERROR(EINVAL);
  }
  if ((po->Flags & OPT_HASARG) && !val) {
    ParseError = FormatText("Missing argument for option \"%s\"", name.c_str());
    av_log(nullptr, AV_LOG_ERROR, "%s\n", ParseError.c_str());
    return AVERROR(EINVAL);
  }
  int ret = WriteOptionValue(ctx, *po, name, val.value_or(std::string()));
  if (ret < 0) return ret;
  return (po->Flags & OPT_HASARG) ? 1 : 0;
}

int ApplyOptionGroup(void* ctx, const TOptionGroup& group, const std::string& label) {
  av_log(nullptr, AV_LOG_DEBUG, "Parsing a group of options: %s.\n", label.c_str());
  for (const TOptionEntry& e : group.Opts) {
    av_log(nullptr, AV_LOG_DEBUG, "Applying option %s (%s) with argument %s.\n", e.Key.c_str(),
           e.Opt->Help.c_str(), e.Val.c_str());
    int ret = WriteOptionValue(ctx, *e.Opt, e.Key, e.Val);
    if (ret < 0) return ret;
  }
  av_log(nullptr, AV_LOG_DEBUG, "Successfully parsed a group of options.\n");
  return 0;
}

int LocateOptionArg(const std::vector<std::string>& args, const TOptionTable& table,
                    const std::string& option) {
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (a.empty() || a[0] != '-') continue;
    std::string name = a.substr(1);
    const TOptionDef* po = FindOptionDef(table, name);
    if (!po && StartsWith(name, "no")) po = FindOptionDef(table, name.substr(2));
    if (name == option || (po && po->Name == option)) return static_cast<int>(i);
    if (po && (po->Flags & OPT_HASARG)) i++;
  }
  return -1;
}

void PreScanLogLevel(const std::vector<std::string>& args, const TOptionTable& table) {
  int idx = LocateOptionArg(args, table, "loglevel");
  if (idx < 0) idx = LocateOptionArg(args, table, "v");
  if (idx >= 0 && static_cast<size_t>(idx) + 1 < args.size())
    SetLogLevelOption("loglevel", args[static_cast<size_t>(idx) + 1]);
}

int SetLogLevelOption(const std::string& /*name*/, const std::string& value) {
  for (const TLevelName& l : kLogLevels) {
    if (value == l.Name) {
      FFLogger().SetLogLevel(AVLevelToLogLevel(l.Level));
      return 0;
    }
  }
  const char* s = value.c_str();
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(s, &end, 10);
  if (*s && end && *end == '\0' && value.find('\0') == std::string::npos) {
    if (n > INT_MAX || errno == ERANGE) n = n < 0 ? INT_MIN : INT_MAX;
    if (n < INT_MIN) n = INT_MIN;
    FFLogger().SetLogLevel(AVLevelToLogLevel(static_cast<int>(n)));
    return 0;
  }
  ParseError = FormatText("Invalid loglevel \"%s\". Possible levels are numbers or:\r\n", s);
  for (const TLevelName& l : kLogLevels) ParseError += FormatText("\"%s\"\r\n", l.Name);
  std::string text;
  for (size_t i = 0; i < ParseError.size(); i++) {
    if (ParseError[i] == '\r' && i + 1 < ParseError.size() && ParseError[i + 1] == '\n') continue;
    text += ParseError[i];
  }
  av_log(nullptr, AV_LOG_ERROR, "%s", text.c_str());
  return AVERROR(EINVAL);
}

// ---------------------------------------------------------------------------------------------
// TFFOptions

TFFOptions::TFFOptions() = default;

TFFOptions::~TFFOptions() { UninitOpts(); }

void TFFOptions::EnsureSwsOpts() {
  if (SwsOpts) return;
  // A bare context is enough to hold scaler options; it is never used for scaling.
  SwsOpts.reset(sws_alloc_context());
  if (SwsOpts) av_opt_set_int(SwsOpts.get(), "sws_flags", FSwsFlags, 0);
}

void TFFOptions::InitOpts() {
  UninitOpts();
  EnsureSwsOpts();
}

void TFFOptions::UninitOpts() {
  SwsOpts.reset();
  SwrOpts.Reset();
  FormatOpts.Reset();
  CodecOpts.Reset();
  ResampleOpts.Reset();
}

int TFFOptions::RouteAVOption(const std::string& name, const std::string& value) {
  if (name == "debug" || name == "fdebug") FFLogger().SetLogLevel(llDebug);

  std::string stripped = NameUpToColon(name);
  if (stripped.size() > 127) stripped.resize(127);

  const AVClass* cc = avcodec_get_class();
  const AVClass* fc = avformat_get_class();
  const AVClass* sc = sws_get_class();
  const AVClass* swr = swr_get_class();
  const int search = AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ;
  bool consumed = false;

  const AVOption* o = av_opt_find(&cc, stripped.c_str(), nullptr, 0, search);
  if (!o && !name.empty() && (name[0] == 'a' || name[0] == 's' || name[0] == 'v'))
    o = av_opt_find(&cc, name.c_str() + 1, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
  if (o) {
    CodecOpts.Set(name, value, o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0);
    consumed = true;
  }
  o = av_opt_find(&fc, name.c_str(), nullptr, 0, search);
  if (o) {
    FormatOpts.Set(name, value, o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0);
    if (consumed) av_log(nullptr, AV_LOG_VERBOSE, "Routing %s to codec and muxer layer\n", name.c_str());
    consumed = true;
  }
  if (!consumed && av_opt_find(&sc, name.c_str(), nullptr, 0, search)) {
    EnsureSwsOpts();
    int ret = SwsOpts ? av_opt_set(SwsOpts.get(), name.c_str(), value.c_str(), 0) : AVERROR(ENOMEM);
    if (ret < 0) {
      ParseError = FormatText("Error setting option \"%s\"", name.c_str());
      av_log(nullptr, AV_LOG_ERROR, "%s\n", ParseError.c_str());
      return ret;
    }
    consumed = true;
  }
  if (!consumed && av_opt_find(&swr, name.c_str(), nullptr, 0, search)) {
    SwrContext* probe = swr_alloc();
    int ret = probe ? av_opt_set(probe, name.c_str(), value.c_str(), 0) : AVERROR(ENOMEM);
    swr_free(&probe);
    if (ret < 0) {
      ParseError = FormatText("Error setting option \"%s\"", name.c_str());
      av_log(nullptr, AV_LOG_ERROR, "%s\n", ParseError.c_str());
      return ret;
    }
    SwrOpts.Set(name, value, 0);
    consumed = true;
  }
  return consumed ? 0 : AVERROR_OPTION_NOT_FOUND;
}

int TFFOptions::SplitArguments(void* /*ctx*/, const std::vector<std::string>& args, bool strict,
                               const std::string& /*label*/, const TOptionTable& table) {
  av_log(nullptr, AV_LOG_DEBUG, "Parsing the options.\n");
  const size_t n = args.size();
  for (size_t i = 0; i < n; i++) {
    const std::string& a = args[i];
    av_log(nullptr, AV_LOG_DEBUG, "Reading option \"%s\" ... ", a.c_str());
    if (a.size() > 1 && a[0] == '-') {
      std::string name = a.substr(1);
      const TOptionDef* po = FindOptionDef(table, name);
      if (po) {
        std::string value = "1";
        if (po->Flags & OPT_HASARG) {
          if (i + 1 >= n) {
            av_log(nullptr, AV_LOG_ERROR, "Missing argument for option \"%s\".\n", name.c_str());
            return AVERROR(EINVAL);
          }
          value = args[++i];
        }
        TOptionGroup& g =
            (po->Flags & (OPT_PERFILE | OPT_OFFSET | OPT_SPEC)) ? FileGroup : GlobalGroup;
        g.Opts.push_back({po, name, value});
        av_log(nullptr, AV_LOG_DEBUG, "matched as option \"%s\" (%s) with argument \"%s\".\n",
               po->Name.c_str(), po->Help.c_str(), value.c_str());
        continue;
      }
      if (i + 1 < n) {
        int ret = RouteAVOption(name, args[i + 1]);
        if (ret >= 0) {
          av_log(nullptr, AV_LOG_DEBUG, "matched as AVOption \"%s\" with argument \"%s\".\n",
                 name.c_str(), args[i + 1].c_str());
          i++;
          continue;
        }
        if (ret != AVERROR_OPTION_NOT_FOUND) {
          av_log(nullptr, AV_LOG_ERROR, "Error parsing option \"%s\" with argument \"%s\".\n",
                 name.c_str(), args[i + 1].c_str());
          return ret;
        }
      }
      if (StartsWith(name, "no")) {
        po = FindOptionDef(table, name.substr(2));
        if (po && (po->Flags & OPT_BOOL)) {
          TOptionGroup& g =
              (po->Flags & (OPT_PERFILE | OPT_OFFSET | OPT_SPEC)) ? FileGroup : GlobalGroup;
          g.Opts.push_back({po, name.substr(2), "0"});
          av_log(nullptr, AV_LOG_DEBUG, "matched as option \"%s\" (%s) with argument 0.\n",
                 po->Name.c_str(), po->Help.c_str());
          continue;
        }
      }
      av_log(nullptr, AV_LOG_ERROR, "Unrecognized option \"%s\".\n", name.c_str());
      if (strict) return AVERROR_OPTION_NOT_FOUND;
      continue;
    }
    if (strict) {
      if (a.empty()) {
        ParseError = "Failed to parse options";
        av_log(nullptr, AV_LOG_ERROR, "Failed to parse options\n");
      } else {
        ParseError = "Failed to parse options on " + a;
        av_log(nullptr, AV_LOG_ERROR, "Failed to parse options on %s\n", a.c_str());
      }
      return AVERROR(EINVAL);
    }
    if (a.empty())
      av_log(nullptr, AV_LOG_ERROR, "Invalid option found while parsing options, ignore\n");
    else
      av_log(nullptr, AV_LOG_ERROR, "Invalid option %s found while parsing options, ignore\n",
             a.c_str());
  }
  CloseFileGroup();
  av_log(nullptr, AV_LOG_DEBUG, "Finished parsing the options.\n");
  return 0;
}

void TFFOptions::CloseFileGroup() {
  // The group's holders are only ever filled here, so they are still empty.
  FileGroup.CodecOpts = std::move(CodecOpts);
  FileGroup.FormatOpts = std::move(FormatOpts);
  FileGroup.ResampleOpts = std::move(ResampleOpts);
  FileGroup.SwsOpts = std::move(SwsOpts);
  FileGroup.SwrOpts = std::move(SwrOpts);
  InitOpts();
}

void TFFOptions::ResetParseContext() {
  GlobalGroup.Clear();
  FileGroup.Clear();
  UninitOpts();
  InitOpts();
}
