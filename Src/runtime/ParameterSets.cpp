#include "runtime/ParameterSets.h"

#include "runtime/NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

int TBitReader::Bit() {
  if (FBit / 8 >= FSize) return -1;
  const int b = (FData[FBit / 8] >> (7 - FBit % 8)) & 1;
  FBit++;
  return b;
}

bool TBitReader::Ue(unsigned* v) {
  int zeros = 0;
  for (;;) {
    const int b = Bit();
    if (b < 0 || zeros > 31) return false;
    if (b) break;
    zeros++;
  }
  unsigned x = 0;
  for (int i = 0; i < zeros; i++) {
    const int b = Bit();
    if (b < 0) return false;
    x = (x << 1) | static_cast<unsigned>(b);
  }
  *v = (1u << zeros) - 1 + x;
  return true;
}

bool ParameterSetId(const std::vector<uint8_t>& nal, bool isSps, unsigned* id) {
  // An SPS's id follows the profile, constraint and level bytes; a PPS's comes first.
  const size_t skip = isSps ? 4 : 1;
  if (nal.size() < (isSps ? 4u : 2u)) return false;
  TBitReader b(nal.data() + skip, nal.size() - skip);
  return b.Ue(id);
}

bool ParseH264Config(const uint8_t* p, size_t n, TH264Config* c) {
  if (n >= 7 && p[0] == 1) {
    c->Avcc = true;
    c->LengthSize = (p[4] & 3) + 1;
    size_t at = 6;
    for (int list = 0; list < 2; list++) {
      if (at >= n) return false;
      const int count = list == 0 ? (p[5] & 0x1f) : p[at++];
      for (int i = 0; i < count; i++) {
        if (at + 2 > n) return false;
        const size_t len = static_cast<size_t>(p[at] << 8 | p[at + 1]);
        at += 2;
        if (at + len > n) return false;
        (list == 0 ? c->Sps : c->Pps).emplace_back(p + at, p + at + len);
        at += len;
      }
    }
    c->Trailer.assign(p + at, p + n);
  } else {
    for (const TNalUnit& nal : SplitAnnexB(p, n)) {
      if (nal.H264Type() == 7) c->Sps.emplace_back(nal.Data, nal.Data + nal.Size);
      if (nal.H264Type() == 8) c->Pps.emplace_back(nal.Data, nal.Data + nal.Size);
    }
  }
  for (const auto& s : c->Sps) {
    unsigned id;
    if (ParameterSetId(s, true, &id)) c->Ids.insert(id);
  }
  for (const auto& s : c->Pps) {
    unsigned id;
    if (ParameterSetId(s, false, &id)) c->Ids.insert(id);
  }
  return true;
}

std::vector<uint8_t> BuildAvcC(const TH264Config& src, const TH264Config& added, bool addedFirst) {
  std::vector<uint8_t> out;
  const TH264Config& a = addedFirst ? added : src;
  const TH264Config& b = addedFirst ? src : added;
  const std::vector<uint8_t>& first = a.Sps.front();
  out.push_back(1);
  out.push_back(first.size() > 1 ? first[1] : 0);
  out.push_back(first.size() > 2 ? first[2] : 0);
  out.push_back(first.size() > 3 ? first[3] : 0);
  out.push_back(static_cast<uint8_t>(0xfc | (src.LengthSize - 1)));
  auto lists = [&](const std::vector<std::vector<uint8_t>>& a, const std::vector<std::vector<uint8_t>>& b,
                   uint8_t countMask) {
    out.push_back(static_cast<uint8_t>(countMask | (a.size() + b.size())));
    for (const auto* l : {&a, &b})
      for (const auto& s : *l) {
        out.push_back(static_cast<uint8_t>(s.size() >> 8));
        out.push_back(static_cast<uint8_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
      }
  };
  lists(a.Sps, b.Sps, 0xe0);
  lists(a.Pps, b.Pps, 0);
  out.insert(out.end(), src.Trailer.begin(), src.Trailer.end());
  return out;
}

std::vector<std::vector<uint8_t>> HevcParameterSets(const uint8_t* p, size_t n) {
  std::vector<TNalUnit> units;
  if (n >= 23 && p[0] == 1) {
    // hvcC: arrays of one NAL type each, every unit with a 2-byte length.
    size_t at = 23;
    const int arrays = p[22];
    for (int a = 0; a < arrays && at + 3 <= n; a++) {
      const int count = p[at + 1] << 8 | p[at + 2];
      at += 3;
      for (int i = 0; i < count && at + 2 <= n; i++) {
        const size_t len = static_cast<size_t>(p[at] << 8 | p[at + 1]);
        at += 2;
        if (len == 0 || at + len > n) return {};
        units.push_back({p + at, len});
        at += len;
      }
    }
  } else {
    units = SplitAnnexB(p, n);
  }
  std::vector<std::vector<uint8_t>> sets;
  for (int type : {32, 33, 34})
    for (const TNalUnit& u : units)
      if (u.HevcType() == type) sets.emplace_back(u.Data, u.Data + u.Size);
  return sets;
}

int NalLengthSize(const AVCodecParameters* par) {
  const uint8_t* x = par->extradata;
  if (par->codec_id == AV_CODEC_ID_H264 && par->extradata_size >= 7 && x[0] == 1)
    return (x[4] & 3) + 1;
  if (par->codec_id == AV_CODEC_ID_HEVC && par->extradata_size >= 23 && x[0] == 1)
    return (x[21] & 3) + 1;
  return 0;
}
