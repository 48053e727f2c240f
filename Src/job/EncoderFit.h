#pragma once
// What an encoder accepts, found by opening it (nothing is encoded): the source's audio rate,
// channel count and bit rate, and its picture size and frame rate, moved to the nearest values
// the encoder takes, so that a preset never fails on a valid source.
#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodec;

struct TAudioFit {
  int SampleRate = 0;
  int Channels = 0;
  int64_t BitRate = 0;  // 0: the encoder's own default
};

struct TVideoFit {
  int Width = 0;
  int Height = 0;
  AVRational Rate{0, 1};
};

// The encoder a preset names, else the one the output's container takes by default for the
// medium (audio or video); null when there is none.
const AVCodec* OutputEncoder(const std::string& presetName, const std::string& suffix, bool audio);

// The nearest values the encoder opens with: the channel count first kept, then the sample rate,
// then the bit rate (0 in and out: the encoder's default; mayAddBitRate lets a default that
// fails become one). False when no tried value opens it: the caller keeps what it had.
bool FitAudio(const AVCodec* codec, const TAudioFit& want, int sampleFormat, bool mayAddBitRate, TAudioFit* fit);

// The same for pictures: the frame rate first kept, then the size (made even, then a multiple
// of 4 and of 16).
bool FitVideo(const AVCodec* codec, const TVideoFit& want, int pixelFormat, int64_t bitRate, TVideoFit* fit);

// "25", "30000/1001".
std::string RateText(AVRational r);
