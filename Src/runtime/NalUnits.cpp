#include "runtime/NalUnits.h"

#include "runtime/ParameterSets.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

std::vector<TNalUnit> SplitAnnexB(const uint8_t* p, size_t n) {
  std::vector<TNalUnit> out;
  size_t i = 0, start = SIZE_MAX;
  while (i + 3 <= n) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && p[end - 1] == 0) end--;
        out.push_back({p + start, end - start});
      }
      i += 3;
      start = i;
    } else {
      i++;
    }
  }
  if (start != SIZE_MAX && start < n) out.push_back({p + start, n - start});
  return out;
}

std::vector<TNalUnit> PacketNalUnits(const uint8_t* p, size_t n, const AVCodecParameters* par) {
  const int len = NalLengthSize(par);
  if (len == 0) return SplitAnnexB(p, n);
  std::vector<TNalUnit> out;
  for (size_t at = 0; at + static_cast<size_t>(len) < n;) {
    size_t size = 0;
    for (int i = 0; i < len; i++) size = size << 8 | p[at + static_cast<size_t>(i)];
    at += static_cast<size_t>(len);
    if (size == 0 || size > n - at) break;
    out.push_back({p + at, size});
    at += size;
  }
  return out;
}

bool IsH264Idr(const AVPacket* pkt, const AVCodecParameters* par) {
  for (const TNalUnit& nal : PacketNalUnits(pkt->data, static_cast<size_t>(pkt->size), par))
    if (nal.H264Type() == 5) return true;
  return false;
}

bool IsCleanRandomAccess(const AVPacket* pkt, const AVCodecParameters* par) {
  if (!(pkt->flags & AV_PKT_FLAG_KEY) || pkt->size <= 0) return false;
  switch (par->codec_id) {
    case AV_CODEC_ID_H264:
      return IsH264Idr(pkt, par);
    case AV_CODEC_ID_HEVC:
      // IDR, CRA and BLA pictures (16-23): their skipped leading pictures are shown before
      // them, and no later picture refers to those.
      for (const TNalUnit& nal : PacketNalUnits(pkt->data, static_cast<size_t>(pkt->size), par))
        if (nal.HevcType() >= 16 && nal.HevcType() <= 23) return true;
      return false;
    case AV_CODEC_ID_VP8:
    case AV_CODEC_ID_VP9:
      return true;  // a key frame refreshes every reference
    default: {
      const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
      return d && (d->props & AV_CODEC_PROP_INTRA_ONLY);
    }
  }
}
