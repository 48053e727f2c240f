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
  return len == 0 ? SplitAnnexB(p, n) : SplitLengthPrefixed(p, n, len);
}

std::vector<TNalUnit> SplitLengthPrefixed(const uint8_t* p, size_t n, int len) {
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

namespace {

bool PutNalUnit(const uint8_t* p, size_t n, int lengthSize, std::vector<uint8_t>* out) {
  if (lengthSize == 0) {
    out->insert(out->end(), {0, 0, 0, 1});
  } else {
    if (lengthSize < 4 && n >> (8 * lengthSize)) return false;
    for (int i = lengthSize - 1; i >= 0; i--) out->push_back(static_cast<uint8_t>(n >> (8 * i)));
  }
  out->insert(out->end(), p, p + n);
  return true;
}

}  // namespace

bool RewriteNalUnits(const uint8_t* p, size_t n, const TNalRewrite& how, std::vector<uint8_t>* out) {
  const std::vector<TNalUnit> units =
      how.InLength ? SplitLengthPrefixed(p, n, how.InLength) : SplitAnnexB(p, n);
  out->clear();
  size_t next = 0;
  constexpr int kAud = 35;
  if (how.Prepend) {
    if (!units.empty() && units[0].HevcType() == kAud) {
      if (!PutNalUnit(units[0].Data, units[0].Size, how.OutLength, out)) return false;
      next = 1;
    }
    for (const std::vector<uint8_t>& set : *how.Prepend)
      if (!PutNalUnit(set.data(), set.size(), how.OutLength, out)) return false;
  }
  for (; next < units.size(); next++) {
    const TNalUnit& u = units[next];
    if (how.DropH264Sets && (u.H264Type() == 7 || u.H264Type() == 8)) continue;
    if (!PutNalUnit(u.Data, u.Size, how.OutLength, out)) return false;
  }
  if (how.AppendHevcEndOfSequence) {
    static const uint8_t kEos[2] = {36 << 1, 1};
    PutNalUnit(kEos, sizeof kEos, how.OutLength, out);
  }
  return true;
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
