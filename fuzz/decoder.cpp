// Arbitrary bytes as a media file held in memory: opened, then stepped forwards, backwards,
// by key frames and by seeks, the way a user browses. Seeds are the generated fixtures and
// their truncations (scripts/test lays them out at run time; media are never committed).
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "decoder/FFDecode.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "runtime/SatMath.h"

namespace {

void SilentLog(void*, int, const char*, va_list) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool initialised = [] {
    MarkMainThread();
    FFLogger();  // created muted: no handler, no log file
    av_log_set_callback(SilentLog);
    TFFDecoder loader;
    return loader.LoadAVLib("");
  }();
  if (!initialised) return 0;

  // The bytes live in a memory file: the decoder opens it by name like any file it owns,
  // with every step (seeking included) allowed.
  const int fd = memfd_create("fuzz-media", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const std::string name = "/proc/self/fd/" + std::to_string(fd);

  TFFDecoder dec;
  if (!dec.LoadFile(name)) {
    close(fd);
    return 0;
  }
  (void)dec.FileInfoText();
  if (dec.VideoStreamCount() > 0) {
    dec.SetFrameCacheBytes(size_t(16) << 20);
    for (int i = 0; i < 8 && dec.Decode(); ++i) {
    }
    dec.PrevFrame();
    dec.PrevFrame();
    dec.NextKeyFrame();
    dec.PrevKeyFrame();
    dec.Decode();
    const int64_t d = dec.FormatContext()->duration;
    const int64_t duration = d > 0 ? d : 3 * AV_TIME_BASE;
    for (int64_t t : {duration / 2, int64_t(0), duration - 1, SatMul(duration, 2)}) {
      if (dec.Seek(t, 0)) dec.Decode();
      dec.PrevFrame();
    }
    TBitmap bmp;
    dec.CopyToBitmap(bmp);
  }
  dec.CloseFile();
  close(fd);
  return 0;
}
