// Project files of arbitrary bytes through every reader: each either gives a list the segment
// list takes as it is, or refuses with a message. The first byte picks the format and whether
// the media's length is known.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "segments/ProjectFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const TProjectFormat format = static_cast<TProjectFormat>(data[0] % 4);
  const TProjectMedia media{"media.mp4", data[0] & 0x80 ? 0 : 3600000000};
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<TSegment> segments;
  std::string err;
  if (!ParseProjectText(text, format, media, &segments, &err)) {
    if (err.empty()) abort();
    return 0;
  }
  TSegmentList list;
  if (!list.Replace(segments, &err)) abort();
  std::string written;
  for (TProjectFormat out : {TProjectFormat::Trimora, TProjectFormat::Llc, TProjectFormat::Csv})
    if (!MakeProjectText(segments, out, media, &written, &err)) abort();
  // What our own format writes reads back the same.
  std::vector<TSegment> again;
  if (!MakeProjectText(segments, TProjectFormat::Trimora, media, &written, &err) ||
      !ParseProjectText(written, TProjectFormat::Trimora, media, &again, &err) || again != segments)
    abort();
  return 0;
}
