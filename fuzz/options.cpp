// Option texts and preset texts of arbitrary bytes through the job option parser, strict and
// lenient. Input: option text, a zero byte, preset text.
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "engine/FFmpegOpt.h"

namespace {

class TFuzzEngine : public TCustomFFmpegOpt {
protected:
  // Never open URLs or create files from fuzz input.
  int OpenProgressURL(const std::string&) override { return 0; }
};

void SilentLog(void*, int, const char*, va_list) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool initialised = [] {
    FFLogger();  // created muted: no handler, no log file
    av_log_set_callback(SilentLog);
    return true;
  }();
  (void)initialised;

  std::string input(reinterpret_cast<const char*>(data), size);
  size_t zero = input.find('\0');
  std::string options = input.substr(0, zero);
  std::string presets = zero == std::string::npos ? std::string() : input.substr(zero + 1);

  for (bool strict : {true, false}) {
    TFuzzEngine engine;
    engine.SetAbortOnOptionError(strict);
    engine.BuildOptionTable();
    TFileOptionsContext ctx;
    engine.InitOptionsContext(ctx);
    try {
      engine.ParseOptions(&ctx, options, "output file", presets);
      (void)TCustomFFmpegOpt::CodecNameForType(ctx, 'v');
    } catch (const FFmpegException&) {
      // Fatal option errors are expected for bad input.
    }
    engine.ReleaseOptionsContext(ctx);
  }
  // Options with process-wide effect must not leak into the next input.
  av_max_alloc(INT_MAX);
  av_force_cpu_flags(-1);
  return 0;
}
