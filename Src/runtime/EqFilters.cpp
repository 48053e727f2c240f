#include "runtime/EqFilters.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace {

AVClass MakeClass(const char* name) {
  AVClass c{};
  c.class_name = name;
  c.item_name = av_default_item_name;
  c.version = LIBAVUTIL_VERSION_INT;
  c.category = AV_CLASS_CATEGORY_FILTER;
  return c;
}
const AVClass EqClass = MakeClass("nativeeq");
const AVClass HueClass = MakeClass("nativehue");

// Registered host variables: handle -> variable, and the way back.
struct TVariables {
  std::mutex Lock;
  std::map<int64_t, std::atomic<int32_t>*> ByHandle;
  int64_t Next = 1;
};
TVariables& Variables() {
  static TVariables v;
  return v;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Whole-text decimal integer; false when it is none or beyond 32 bits.
bool ToInt32(const std::string& s, int32_t* v) {
  if (s.empty()) return false;
  size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (size_t j = i; j < s.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(s[j]))) return false;
  errno = 0;
  const long long n = std::strtoll(s.c_str(), nullptr, 10);
  if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX) return false;
  *v = static_cast<int32_t>(n);
  return true;
}

// A variable part: decimal, or hexadecimal with 0x; the registered variable it names (handle or
// address), 0 for "none", -1 when it names nothing registered.
int64_t FindVariable(const std::string& s) {
  errno = 0;
  char* end = nullptr;
  const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  const unsigned long long n = std::strtoull(s.c_str(), &end, hex ? 16 : 10);
  if (errno == ERANGE || end == s.c_str() || *end != '\0' || s[0] == '-') return -1;
  if (n == 0) return 0;
  TVariables& vars = Variables();
  std::lock_guard<std::mutex> guard(vars.Lock);
  for (const auto& [handle, var] : vars.ByHandle)
    if (static_cast<unsigned long long>(handle) == n ||
        reinterpret_cast<uintptr_t>(var) == static_cast<uintptr_t>(n))
      return handle;
  return -1;
}

}  // namespace

bool RegisterEqFilter(bool /*quiet*/) { return true; }
bool RegisterHueFilter(bool /*quiet*/) { return true; }

int64_t RegisterFilterVariable(std::atomic<int32_t>* variable) {
  if (!variable) return 0;
  TVariables& vars = Variables();
  std::lock_guard<std::mutex> guard(vars.Lock);
  for (const auto& [handle, var] : vars.ByHandle)
    if (var == variable) return handle;
  const int64_t handle = vars.Next++;
  vars.ByHandle[handle] = variable;
  return handle;
}

void UnregisterFilterVariable(std::atomic<int32_t>* variable) {
  TVariables& vars = Variables();
  std::lock_guard<std::mutex> guard(vars.Lock);
  for (auto it = vars.ByHandle.begin(); it != vars.ByHandle.end(); ++it)
    if (it->second == variable) {
      vars.ByHandle.erase(it);
      return;
    }
}

bool IsOwnVideoFilter(const std::string& name) { return name == "nativeeq" || name == "nativehue"; }

std::string OwnVideoFilterDescription(const std::string& name) {
  if (name == "nativeeq") return "Software video equalizer(brightness and contrast)";
  if (name == "nativehue") return "Software video equalizer(hue and saturation)";
  return std::string();
}

const std::vector<AVPixelFormat>& OwnFilterPixelFormats() {
  static const std::vector<AVPixelFormat> formats = {
      AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV411P,
      AV_PIX_FMT_YUV410P, AV_PIX_FMT_YUV440P, AV_PIX_FMT_YUVA420P};
  return formats;
}

std::unique_ptr<TOwnVideoFilter> TOwnVideoFilter::Create(const std::string& name, const std::string& args,
                                                         int* error) {
  if (!IsOwnVideoFilter(name)) {
    if (error) *error = AVERROR(EINVAL);
    return nullptr;
  }
  std::unique_ptr<TOwnVideoFilter> f(new TOwnVideoFilter);
  f->FName = name;
  f->FHue = name == "nativehue";
  f->FLog.Class = f->FHue ? &HueClass : &EqClass;
  const int r = f->Init(args);
  if (r < 0) {
    if (error) *error = r;
    return nullptr;
  }
  if (error) *error = 0;
  return f;
}

TOwnVideoFilter::~TOwnVideoFilter() = default;

int TOwnVideoFilter::Init(const std::string& args) {
  // Up to four parts; what lies after a fourth colon belongs to the fourth part.
  std::vector<std::string> parts;
  size_t from = 0;
  while (parts.size() < 3) {
    const size_t colon = args.find(':', from);
    if (colon == std::string::npos) break;
    parts.push_back(args.substr(from, colon - from));
    from = colon + 1;
  }
  parts.push_back(args.substr(from));
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string part = Trim(parts[i]);
    if (part.empty()) continue;
    if (i < 2) {
      int32_t v = 0;
      if (!ToInt32(part, &v)) {
        const std::string msg = "'" + part + "' is not a valid integer value";
        av_log(&FLog, AV_LOG_ERROR, "failed to parsing parameters: %s\n", msg.c_str());
        return -1;
      }
      FValue[i] = v;
    } else {
      const int64_t handle = FindVariable(part);
      if (handle < 0) {
        av_log(&FLog, AV_LOG_ERROR,
               "failed to parsing parameters: '%s' is not a variable registered by the host\n",
               part.c_str());
        return -1;
      }
      FSource[i - 2] = handle;
    }
  }
  for (int i = 0; i < 2; ++i) FValue[i] = Clamp(i, FValue[i]);
  FLast[0] = FValue[0];
  FLast[1] = FValue[1];
  LogValues(FValue[0], FValue[1]);
  FRoutine = FValue[0] != 0 || FValue[1] != 0 || FSource[0] != 0 || FSource[1] != 0;
  return 0;
}

int TOwnVideoFilter::Clamp(int i, int v) const {
  static const char* const eqNames[2] = {"brightness", "contrast"};
  static const char* const hueNames[2] = {"hue", "saturation"};
  const int c = std::clamp(v, -100, 100);
  if (c != v)
    av_log(const_cast<TLogContext*>(&FLog), AV_LOG_ERROR, "Invalid %s value %d, force to %d\n",
           FHue ? hueNames[i] : eqNames[i], v, c);
  return c;
}

void TOwnVideoFilter::LogValues(int v1, int v2) const {
  av_log(const_cast<TLogContext*>(&FLog), AV_LOG_VERBOSE,
         FHue ? "hue:%d, saturation:%d\n" : "brightness:%d, contrast:%d\n", v1, v2);
}

int TOwnVideoFilter::ReadValue(int i) const {
  if (FSource[i] == 0) return FValue[i];
  TVariables& vars = Variables();
  std::lock_guard<std::mutex> guard(vars.Lock);
  const auto it = vars.ByHandle.find(FSource[i]);
  // A variable the host took back leaves the value last read.
  return it == vars.ByHandle.end() ? FLast[i] : it->second->load(std::memory_order_relaxed);
}

int TOwnVideoFilter::Filter(TOwnFramePtr in, TOwnFramePtr* out) {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(in->format);
  const auto& formats = OwnFilterPixelFormats();
  if (std::find(formats.begin(), formats.end(), fmt) == formats.end()) return AVERROR(EINVAL);
  int hshift = 0, vshift = 0;
  av_pix_fmt_get_chroma_sub_sample(fmt, &hshift, &vshift);

  TOwnFramePtr o(av_frame_alloc());
  if (!o) return AVERROR(ENOMEM);
  o->format = in->format;
  o->width = in->width;
  o->height = in->height;
  if (av_frame_get_buffer(o.get(), 0) < 0) return AVERROR(ENOMEM);
  av_frame_copy_props(o.get(), in.get());

  // One reading per picture: a host may change the variables at any time.
  int v[2];
  for (int i = 0; i < 2; ++i) v[i] = Clamp(i, ReadValue(i));
  if (v[0] != FLast[0] || v[1] != FLast[1]) {
    LogValues(v[0], v[1]);
    FLast[0] = v[0];
    FLast[1] = v[1];
  }

  const int w = in->width, h = in->height;
  // The arithmetic covers the shifted size (7 >> 1 = 3 columns); the planes are copied whole
  // first, so a last odd column or row keeps its input instead of whatever the buffer held.
  const int cw = w >> hshift, ch = h >> vshift;
  const int fullCw = AV_CEIL_RSHIFT(w, hshift), fullCh = AV_CEIL_RSHIFT(h, vshift);
  auto copy = [&](int plane, int pw, int ph) {
    av_image_copy_plane(o->data[plane], o->linesize[plane], in->data[plane], in->linesize[plane], pw, ph);
  };
  const bool work = FRoutine && (v[0] != 0 || v[1] != 0);
  if (!FHue) {
    copy(1, fullCw, fullCh);
    copy(2, fullCw, fullCh);
    if (work) {
      const int k = (v[1] + 100) * 65536 / 100;
      const int offset = (v[0] + 100) * 511 / 200 - k / 512 - 128;
      uint8_t table[256];
      for (int p = 0; p < 256; ++p) table[p] = static_cast<uint8_t>(std::clamp((k * p) / 65536 + offset, 0, 255));
      for (int y = 0; y < h; ++y) {
        const uint8_t* s = in->data[0] + static_cast<ptrdiff_t>(y) * in->linesize[0];
        uint8_t* d = o->data[0] + static_cast<ptrdiff_t>(y) * o->linesize[0];
        for (int x = 0; x < w; ++x) d[x] = table[s[x]];
      }
    } else {
      copy(0, w, h);
    }
  } else {
    copy(0, w, h);
    copy(1, fullCw, fullCh);
    copy(2, fullCw, fullCh);
    if (work) {
      const double angle = v[0] * M_PI / 100;
      const int S = static_cast<int>(std::floor(std::sin(angle) * 65536 * (v[1] + 100) / 100 + 0.5));
      const int C = static_cast<int>(std::floor(std::cos(angle) * 65536 * (v[1] + 100) / 100 + 0.5));
      for (int y = 0; y < ch; ++y) {
        const uint8_t* su = in->data[1] + static_cast<ptrdiff_t>(y) * in->linesize[1];
        const uint8_t* sv = in->data[2] + static_cast<ptrdiff_t>(y) * in->linesize[2];
        uint8_t* du = o->data[1] + static_cast<ptrdiff_t>(y) * o->linesize[1];
        uint8_t* dv = o->data[2] + static_cast<ptrdiff_t>(y) * o->linesize[2];
        for (int x = 0; x < cw; ++x) {
          const int u0 = su[x] - 128, v0 = sv[x] - 128;
          du[x] = static_cast<uint8_t>(std::clamp((C * u0 - S * v0 + 8421376) >> 16, 0, 255));
          dv[x] = static_cast<uint8_t>(std::clamp((S * u0 + C * v0 + 8421376) >> 16, 0, 255));
        }
      }
    }
  }
  if (fmt == AV_PIX_FMT_YUVA420P) copy(3, w, h);
  *out = std::move(o);
  return 0;
}
