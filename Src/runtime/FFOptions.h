#pragma once
// The option core behind ffmpeg-style option texts: option definition rows and their flag bits,
// lookup and storage of values, splitting an argument list into a global and a per-file group,
// and the fallback that hands unknown names to FFmpeg's codec, format, scaler and resampler
// option sets.
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/FFOwners.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/dict.h>
}

struct AVCodec;
struct AVFormatContext;
struct AVStream;
struct SwsContext;

// Flag bits of an option row.
constexpr uint32_t OPT_HASARG = 0x00001;   // consumes the next argument
constexpr uint32_t OPT_BOOL = 0x00002;     // 32-bit integer; "no" prefix stores 0
constexpr uint32_t OPT_EXPERT = 0x00004;
constexpr uint32_t OPT_STRING = 0x00008;   // owned copy
constexpr uint32_t OPT_VIDEO = 0x00010;
constexpr uint32_t OPT_AUDIO = 0x00020;
constexpr uint32_t OPT_INT = 0x00080;
constexpr uint32_t OPT_FLOAT = 0x00100;
constexpr uint32_t OPT_SUBTITLE = 0x00200;
constexpr uint32_t OPT_INT64 = 0x00400;
constexpr uint32_t OPT_EXIT = 0x00800;
constexpr uint32_t OPT_DATA = 0x01000;
constexpr uint32_t OPT_PERFILE = 0x02000;  // goes to the file group
constexpr uint32_t OPT_OFFSET = 0x04000;   // target lies in the option context
constexpr uint32_t OPT_SPEC = 0x08000;     // per-stream list in the option context
constexpr uint32_t OPT_TIME = 0x10000;     // duration into 64-bit microseconds
constexpr uint32_t OPT_DOUBLE = 0x20000;

// One element of a per-stream list: the stream specifier as typed after the option name's first
// colon (empty: every stream) and the value, in the cell of the row's kind.
struct TSpecifierValue {
  std::string Specifier;
  std::string Str;      // string rows
  int32_t Int = 0;      // integer and boolean rows
  int64_t Int64 = 0;    // 64-bit and time rows
  float Float = 0.0f;
  double Dbl = 0.0;
};
using TSpecifierList = std::vector<TSpecifierValue>;

// A handler row receives the option context the parser was given (null or an object of the
// caller's choosing for global rows), the name as typed and the value.
using TOptionHandler =
    std::function<int(void* ctx, const std::string& name, const std::string& value)>;
// The address of the row's field inside the given context: required for OPT_OFFSET / OPT_SPEC
// rows, and serves global rows whose setting lies in that context rather than at Address.
// OPT_SPEC fields are TSpecifierList; scalar fields are std::string, int32_t, int64_t, float or
// double by the row's kind.
using TOptionField = std::function<void*(void* ctx)>;

struct TOptionDef {
  std::string Name;   // without the leading minus sign
  uint32_t Flags = 0;
  void* Address = nullptr;  // global variable (rows without OPT_OFFSET / OPT_SPEC)
  TOptionField Field;
  TOptionHandler Handler;
  std::string Help;
  std::string ArgName;
};
using TOptionTable = std::vector<TOptionDef>;

// Owner of an AVDictionary.
class TAVDictionary {
public:
  TAVDictionary() = default;
  explicit TAVDictionary(AVDictionary* d) : FDict(d) {}
  ~TAVDictionary() { Reset(); }
  TAVDictionary(const TAVDictionary&) = delete;
  TAVDictionary& operator=(const TAVDictionary&) = delete;
  TAVDictionary(TAVDictionary&& o) noexcept : FDict(o.FDict) { o.FDict = nullptr; }
  TAVDictionary& operator=(TAVDictionary&& o) noexcept;

  AVDictionary* Get() const { return FDict; }
  AVDictionary** Ref() { return &FDict; }
  AVDictionary* Release() {
    AVDictionary* d = FDict;
    FDict = nullptr;
    return d;
  }
  void Reset();
  int Count() const;
  bool Empty() const { return Count() == 0; }
  int Set(const std::string& key, const std::string& value, int flags = 0);
  // Exact key; nullptr when absent.
  const char* Value(const std::string& key) const;
  // Copies every entry of src (replacing equal keys unless flags say otherwise).
  int CopyFrom(const AVDictionary* src, int flags = 0);

private:
  AVDictionary* FDict = nullptr;
};

struct TOptionEntry {
  const TOptionDef* Opt = nullptr;
  std::string Key;  // name as typed
  std::string Val;
};

// Entries of one group and the option holders the group took over when it was closed.
struct TOptionGroup {
  std::vector<TOptionEntry> Opts;
  TAVDictionary CodecOpts;
  TAVDictionary FormatOpts;
  TAVDictionary ResampleOpts;
  TSwsContextPtr SwsOpts;
  TAVDictionary SwrOpts;
  void Clear();
};

// Raised by the value conversions; the engine turns it into a failed option.
class EOptionConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TFFOptions {
public:
  TFFOptions();
  ~TFFOptions();
  TFFOptions(const TFFOptions&) = delete;
  TFFOptions& operator=(const TFFOptions&) = delete;

  int SwsFlags() const { return FSwsFlags; }
  void SetSwsFlags(int v) { FSwsFlags = v; }

  void InitOpts();
  void UninitOpts();
  // Fallback for names that are no table rows: 0 when some FFmpeg option set took it,
  // AVERROR_OPTION_NOT_FOUND when none did, another negative code when setting failed.
  int RouteAVOption(const std::string& name, const std::string& value);
  // Sorts the arguments into GlobalGroup and FileGroup. label is not used.
  int SplitArguments(void* ctx, const std::vector<std::string>& args, bool strict,
                     const std::string& label, const TOptionTable& table);
  void CloseFileGroup();
  void ResetParseContext();

  // Current holders that the fallback fills.
  TSwsContextPtr SwsOpts;
  TAVDictionary SwrOpts;
  TAVDictionary FormatOpts;
  TAVDictionary CodecOpts;
  TAVDictionary ResampleOpts;

  TOptionGroup GlobalGroup;
  TOptionGroup FileGroup;

private:
  void EnsureSwsOpts();
  int FSwsFlags = 4;  // SWS_BICUBIC
};

// Detail text of the last option failure; read by the engine to build its error message.
extern std::string ParseError;

// Whole-text decimal integer with an optional sign.
bool WholeInteger(const std::string& text, long long& out);

// First row whose name equals name up to name's first colon; nullptr when none.
const TOptionDef* FindOptionDef(const TOptionTable& table, const std::string& name);
// Stores value through the row; may throw EOptionConvertError.
int WriteOptionValue(void* ctx, const TOptionDef& po, const std::string& name,
                     const std::string& value);
// Returns the arguments consumed (0 or 1) or a negative code. value empty optional: none given.
int ParseSingleOption(void* ctx, const std::string& name, const std::optional<std::string>& value,
                      const TOptionTable& table);
int ApplyOptionGroup(void* ctx, const TOptionGroup& group, const std::string& label);
int LocateOptionArg(const std::vector<std::string>& args, const TOptionTable& table,
                    const std::string& option);
void PreScanLogLevel(const std::vector<std::string>& args, const TOptionTable& table);
// value: one of "quiet" "panic" "fatal" "error" "warning" "info" "verbose" "debug", or a number.
int SetLogLevelOption(const std::string& name, const std::string& value);

// Whole-text conversions; failures raise EOptionConvertError with the product's message.
// Decimal numbers always use a full stop, whatever the process locale.
int32_t ParseInt(const std::string& name, const std::string& text);
int64_t ParseInt64(const std::string& name, const std::string& text);
float ParseFloat(const std::string& name, const std::string& text);
double ParseDouble(const std::string& name, const std::string& text);
int64_t ParseTime(const std::string& name, const std::string& text, bool isDuration);

// Per-stream codec options: one dictionary per stream of s, each filtered as below.
std::vector<TAVDictionary> StreamCodecOptions(AVFormatContext* s, const AVDictionary* codecOpts);
// The entries of opts that concern stream st of s: keys with a stream specifier suffix after a
// colon only when the specifier matches (stored without the suffix); keys the codec (or, for an
// "a"/"v"/"s" prefix matching the stream's type, the rest of the key) knows for encoding (output
// context) or decoding (input). codec may be null: found by id. An invalid specifier gives an empty result
// and *error (when given) the negative code.
TAVDictionary FilterStreamCodecOptions(const AVDictionary* opts, AVCodecID codecId,
                                       AVFormatContext* s, AVStream* st, const AVCodec* codec,
                                       int* error = nullptr);

// Reads a whole file; buf holds its bytes plus a terminating zero. Returns the size including
// the terminator, or -1 (cannot open), -5 (I/O error), -12 (no memory), AVERROR_EOF (short
// read).
int ReadWholeFile(const std::string& fileName, std::string& buf);

// Grows v to newCount zero-initialised elements (never shrinks); "Array too big." when newCount
// reaches INT_MAX / element size.
template <class T>
void GrowArray(std::vector<T>& v, int newCount) {
  if (newCount < 0 || static_cast<long long>(newCount) >= INT_MAX / static_cast<long long>(sizeof(T)))
    throw std::length_error("Array too big.");
  if (static_cast<int>(v.size()) < newCount) v.resize(static_cast<size_t>(newCount));
}
