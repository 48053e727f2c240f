#pragma once
// The NAL units of H.264 and HEVC packets, whether length-prefixed (MP4, Matroska) or in
// start-code form (MPEG-TS, raw streams), and what they tell about where decoding may begin.
#include <cstddef>
#include <cstdint>
#include <vector>

struct AVCodecParameters;
struct AVPacket;

struct TNalUnit {
  const uint8_t* Data = nullptr;
  size_t Size = 0;
  int H264Type() const { return Size ? Data[0] & 0x1f : -1; }
  int HevcType() const { return Size ? (Data[0] >> 1) & 0x3f : -1; }
};

// The units between start codes (trailing zero bytes belong to the next start code).
std::vector<TNalUnit> SplitAnnexB(const uint8_t* p, size_t n);

// The units of length-prefixed data (lengths of lengthSize bytes). A length that runs past the
// data ends the list.
std::vector<TNalUnit> SplitLengthPrefixed(const uint8_t* p, size_t n, int lengthSize);

// The units of one packet of the stream described by `par`: length-prefixed when the stream's
// decoder configuration says so (avcC, hvcC), otherwise split at start codes. A length that
// runs past the packet ends the list.
std::vector<TNalUnit> PacketNalUnits(const uint8_t* p, size_t n, const AVCodecParameters* par);

// How RewriteNalUnits turns one packet's units into another's.
struct TNalRewrite {
  int InLength = 0;   // length size of the input, 0 for start codes
  int OutLength = 0;  // length size of the output, 0 for start codes
  bool DropH264Sets = false;  // leave out H.264 SPS and PPS units
  const std::vector<std::vector<uint8_t>>* Prepend = nullptr;  // put first (after an HEVC
                                                               // access unit delimiter)
  bool AppendHevcEndOfSequence = false;  // close the coded video sequence after this picture
};

// The units of p in the output layout; false when a unit is too big for the output's length
// size.
bool RewriteNalUnits(const uint8_t* p, size_t n, const TNalRewrite& how, std::vector<uint8_t>* out);

// True when an H.264 packet holds an IDR picture.
bool IsH264Idr(const AVPacket* pkt, const AVCodecParameters* par);

// True when decoding that begins at this packet gives every picture shown at or after it
// exactly as decoding from the stream's beginning does: an H.264 IDR, an HEVC random-access
// picture, a VP8/VP9 key frame, any key frame of an intra-only codec. False when unknown.
bool IsCleanRandomAccess(const AVPacket* pkt, const AVCodecParameters* par);
