#pragma once
// Parameter sets of H.264 and HEVC streams: the exp-Golomb reader, the SPS and PPS an H.264
// decoder configuration (avcC) or Annex B extradata carries and the ids they use, one avcC
// that holds two streams' sets, and the NAL length size of an avcC or hvcC record. The NAL-unit
// splitting (NalUnits.h) takes the length size from here; the frame-exact copy the rest.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

struct AVCodecParameters;

// Reads bits most significant first; every read fails past the end.
class TBitReader {
public:
  TBitReader(const uint8_t* p, size_t n) : FData(p), FSize(n) {}
  int Bit();                // 0 or 1, -1 past the end
  bool Ue(unsigned* v);     // an unsigned Exp-Golomb number

private:
  const uint8_t* FData;
  size_t FSize;
  size_t FBit = 0;
};

// The parameter sets of an avcC record or of Annex B parameter sets.
struct TH264Config {
  bool Avcc = false;
  int LengthSize = 4;
  std::vector<std::vector<uint8_t>> Sps, Pps;  // NAL units without start code or length
  std::vector<uint8_t> Trailer;  // avcC bytes after the PPS list (high profiles)
  std::set<unsigned> Ids;        // every SPS and PPS id in use
};

// False when an avcC record is cut short; Annex B data always parses (perhaps to no sets).
bool ParseH264Config(const uint8_t* p, size_t n, TH264Config* c);

// The id an SPS (isSps) or PPS NAL unit starts with; false when it cannot be read.
bool ParameterSetId(const std::vector<uint8_t>& nal, bool isSps, unsigned* id);

// An avcC that holds the sets of both; src gives the length size and the trailer. The sets of
// the part that comes first go first: readers take the stream's reordering depth and profile
// from the first SPS. Both must hold an SPS.
std::vector<uint8_t> BuildAvcC(const TH264Config& src, const TH264Config& added, bool addedFirst);

// The VPS, SPS and PPS units of an HEVC decoder configuration (hvcC) or of Annex B extradata,
// in that order, without start code or length.
std::vector<std::vector<uint8_t>> HevcParameterSets(const uint8_t* p, size_t n);

// The NAL length size of a length-prefixed stream (avcC, hvcC), 0 for start-code form.
int NalLengthSize(const AVCodecParameters* par);
