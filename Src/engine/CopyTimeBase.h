#pragma once
// The time base a copied stream is written with: the demuxer's, unless the container counts
// frames at a fixed rate (AVI and the containers without variable frame rates), where the
// decoder's frame tick gives fewer, exact timestamps.
extern "C" {
#include <libavutil/rational.h>
}

struct TCopyTiming {
  const char* Muxer = "";     // output container name
  int MuxerFlags = 0;         // AVOutputFormat.flags
  AVRational StreamTb{0, 1};  // input stream's time base
  AVRational CodecTb{0, 1};   // input decoder's time base (0/1 when unknown)
  int TicksPerFrame = 1;      // decoder ticks per frame (2 for field-coded codecs)
  AVRational RealRate{0, 1};  // input stream's real frame rate
  AVRational AvgRate{0, 1};   // input stream's average frame rate
  bool Timecode = false;      // a "tmcd" stream
  AVRational ForcedRate{0, 1};  // output frame rate asked for (0/1: none)
  int CopyTb = -1;            // "copytb": -1 automatic, 0 decoder time base, 2 doubled rate
};

AVRational ChooseCopyTimeBase(const TCopyTiming& t);
