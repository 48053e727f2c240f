// H264WrapTs: MPEG-TS whose 33-bit times wrap in the middle of the file.
#include "FixtureHooks.h"

void ShiftPacketTimes(AVPacket* pkt, AVRational timeBase, int64_t shift90k) {
  const int64_t shift = av_rescale_q(shift90k, AVRational{1, 90000}, timeBase);
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += shift;
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += shift;
}
