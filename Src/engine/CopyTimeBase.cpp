// Time base of a copied stream.
#include "engine/CopyTimeBase.h"

#include <cstdint>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

bool Valid(AVRational q) { return q.num > 0 && q.den > 0; }

double Seconds(AVRational q) { return Valid(q) ? av_q2d(q) : 0.0; }

// Containers that keep per-packet times of their own, whatever the muxer's flags say.
bool KeepsOwnTimes(const char* muxer) {
  static const char* const names[] = {"mov", "mp4", "3gp", "3g2", "psp", "ipod", "f4v"};
  for (const char* n : names)
    if (!std::strcmp(muxer, n)) return true;
  return false;
}

// A time base from 64-bit parts, reduced to what AVRational holds.
AVRational Reduced(int64_t num, int64_t den) {
  AVRational q{0, 1};
  av_reduce(&q.num, &q.den, num, den, INT32_MAX);
  return q;
}

AVRational AviTimeBase(const TCopyTiming& t, AVRational tb) {
  const bool automatic = t.CopyTb < 0;
  const double T = Seconds(t.StreamTb), C = Seconds(t.CodecTb);
  const double r = Seconds(t.RealRate), a = Seconds(t.AvgRate);
  // Half a frame of the real rate, when the demuxer's and the decoder's ticks are finer.
  if (Valid(t.RealRate) &&
      ((automatic && r >= a && 0.5 / r > T && 0.5 / r > C && T < 1.0 / 500 &&
        C < 1.0 / 500) ||
       t.CopyTb == 2))
    return Reduced(t.RealRate.den, 2 * int64_t(t.RealRate.num));
  if (Valid(t.CodecTb) &&
      ((automatic && C * t.TicksPerFrame > 2 * T && T < 1.0 / 500) || t.CopyTb == 0))
    return Reduced(int64_t(t.CodecTb.num) * t.TicksPerFrame, 2 * int64_t(t.CodecTb.den));
  return tb;
}

}  // namespace

AVRational ChooseCopyTimeBase(const TCopyTiming& t) {
  AVRational tb = t.StreamTb;
  const bool automatic = t.CopyTb < 0;
  const double T = Seconds(t.StreamTb), C = Seconds(t.CodecTb);
  if (!std::strcmp(t.Muxer, "avi")) {
    tb = AviTimeBase(t, tb);
  } else if (!(t.MuxerFlags & AVFMT_VARIABLE_FPS) && !KeepsOwnTimes(t.Muxer)) {
    if (Valid(t.CodecTb) &&
        ((automatic && C * t.TicksPerFrame > T && T < 1.0 / 500) || t.CopyTb == 0))
      tb = Reduced(int64_t(t.CodecTb.num) * t.TicksPerFrame, t.CodecTb.den);
  }
  if (t.Timecode && t.CodecTb.num > 0 && t.CodecTb.num < t.CodecTb.den &&
      121LL * t.CodecTb.num > t.CodecTb.den)
    tb = t.CodecTb;
  if (Valid(t.ForcedRate)) tb = av_inv_q(t.ForcedRate);
  return Reduced(tb.num, tb.den);
}
