#pragma once
// The program's own video filters "nativeeq" (brightness and contrast of the luma plane) and
// "nativehue" (hue and saturation of the chroma planes). FFmpeg 5 cannot take filters from
// outside, so filter texts naming them are run by TVideoFilterChain (VideoFilterChain.h), which
// cuts the library graph where an own filter stands and runs the filter's frame code there.
//
// Parameter text: "value1:value2:variable1:variable2", every part optional. A variable part
// names a host variable that replaces the value and is read afresh for every picture. Only
// variables registered below are accepted, by the handle RegisterFilterVariable gave or by their
// address; any other number is refused, so no text can make a filter read arbitrary memory.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/FFOwners.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

// Both report success: the filters are part of the program and need no private FFmpeg entry
// points any more. quiet is kept for callers; nothing can fail.
bool RegisterEqFilter(bool quiet);
bool RegisterHueFilter(bool quiet);

// Host variables. The handle is a small positive number (never an address); the variable must
// stay alive until it is unregistered. Registering one twice gives the same handle.
int64_t RegisterFilterVariable(std::atomic<int32_t>* variable);
void UnregisterFilterVariable(std::atomic<int32_t>* variable);

// "nativeeq" or "nativehue".
bool IsOwnVideoFilter(const std::string& name);
// Their descriptions, as a list of filters gives them; empty for any other name.
std::string OwnVideoFilterDescription(const std::string& name);
// Accepted input formats, in order of preference: yuv444p, yuv422p, yuv420p, yuv411p, yuv410p,
// yuv440p, yuva420p.
const std::vector<AVPixelFormat>& OwnFilterPixelFormats();

// The name the own filters' callers know their pictures' owner by.
using TOwnFramePtr = TFramePtr;

class TOwnVideoFilter {
public:
  // Parses the parameters; null with *error = -1 after the "failed to parsing parameters" log
  // line (or the refusal of a variable), or AVERROR(EINVAL) for an unknown name.
  static std::unique_ptr<TOwnVideoFilter> Create(const std::string& name, const std::string& args,
                                                 int* error);
  ~TOwnVideoFilter();
  TOwnVideoFilter(const TOwnVideoFilter&) = delete;
  TOwnVideoFilter& operator=(const TOwnVideoFilter&) = delete;

  // One picture in one of OwnFilterPixelFormats(); the input is consumed. 0 with *out set, or
  // a negative code (AVERROR(ENOMEM) when no output picture could be had, AVERROR(EINVAL) for
  // a format the filter does not take).
  int Filter(TOwnFramePtr in, TOwnFramePtr* out);

  const std::string& Name() const { return FName; }
  int Value1() const { return FValue[0]; }
  int Value2() const { return FValue[1]; }
  bool HasRoutine() const { return FRoutine; }

private:
  struct TLogContext {
    const void* Class;  // AVClass, first member as av_log expects
  };
  TOwnVideoFilter() = default;
  int Init(const std::string& args);
  int ReadValue(int i) const;
  int Clamp(int i, int v) const;
  void LogValues(int v1, int v2) const;

  TLogContext FLog{nullptr};
  std::string FName;
  bool FHue = false;
  int FValue[2] = {0, 0};
  int64_t FSource[2] = {0, 0};  // registered variable handle; 0 = own value
  mutable int FLast[2] = {0, 0};
  bool FRoutine = false;
};
