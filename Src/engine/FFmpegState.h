#pragma once
// Run state of the engine's streams while a task runs (kept beside the set-up records).
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/FFmpeg.h"

#include <cmath>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/eval.h>
}

struct TCustomFFmpeg::TIstState {
  int64_t NextDts = AV_NOPTS_VALUE;  // microseconds
  int64_t Dts = 0;
  int64_t NextPts = AV_NOPTS_VALUE;
  int64_t Pts = 0;
  bool FirstPacket = true;
  bool DecoderOpen = false;
  bool DecoderClosed = false;
  bool EofSent = false;        // the decoder was drained
  bool FiltersClosed = false;  // its graph inputs got their end
  bool MultiWarned = false;
  bool DeinterlaceWarned = false;  // "Deinterlacing failed." once, then at verbose level
  bool JoinFlushed = false;    // drained and closed when its joined input ended
  int64_t DecodedPictures = 0;
  bool NewStreamWarned = false;
  // Last frame parameters, to see a change.
  int Width = 0, Height = 0, PixFmt = -1;
  int SampleRate = 0, SampleFmt = -1, Channels = 0;
  int64_t AudioRescaleDelta = AV_NOPTS_VALUE;
};

struct TCustomFFmpeg::TOstState {
  int64_t Sync = 0;          // next output position in encoder ticks
  int64_t FrameCount = 0;    // frames handed to the encoder / written
  int64_t LastMuxDts = AV_NOPTS_VALUE;  // stream time base
  int64_t LastCopyDts = AV_NOPTS_VALUE;
  int64_t MuxEndUs = AV_NOPTS_VALUE;    // end of the latest packet written, output time
  bool EncoderOpen = false;
  bool Flushed = false;
  bool FirstWritten = false;
  bool Unavailable = false;
  bool BsfReady = false;
  int VSync = 1;
  float Quality = -1;
  std::vector<int64_t> ForcedKeyFrames;  // encoder ticks, ascending
  size_t ForcedIndex = 0;
  // The "expr:" form and its variables n, n_forced, prev_forced_n, prev_forced_t, t.
  std::shared_ptr<AVExpr> ForcedExpr;
  double ForcedVars[5] = {0, 0, NAN, NAN, NAN};
  int64_t CopyRescaleDelta = AV_NOPTS_VALUE;
  // Pass-1 statistics being written (shared by the blocks of a joined output).
  std::shared_ptr<TSafeFile> PassLog;
  std::string PassLogName;
  int64_t VideoPackets = 0;  // for the statistics lines
  int64_t VideoBytes = 0;
};

// Frame-rate modes of the "vsync" option.
enum TVSync { vsPassThrough = 0, vsCfr = 1, vsVfr = 2, vsDrop = 255, vsAuto = -1 };
