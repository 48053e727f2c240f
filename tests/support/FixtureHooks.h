#pragma once
// What the fixture generator borrows from the files of particular kinds.
#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

// FixturesWrap.cpp
constexpr int64_t kWrapLead90k = 5 * 90000;  // the wrap falls this long after the first picture
// First pts (90 kHz) of H264WrapTs: its timestamps wrap kWrapLead90k after it.
constexpr int64_t kWrapFirstPts90k = (int64_t(1) << 33) - kWrapLead90k;
// Copies the TS `source` into `path`: its video alone up to `audioFrom` seconds after its first
// packet, then under a new program table with the audio too.
void WriteLateAudioTs(const std::string& source, const std::string& path, double audioFrom);

// FixturesRotation.cpp
// Draws the frame number upright into a picture of the frame's height x width and stores it
// turned a quarter anticlockwise into `frame` (yuv420p), as a camera held upright writes it.
bool DrawSidewaysFrameNumber(AVFrame* frame, int number);
// Gives the stream a display matrix that turns its pictures `clockwise` degrees.
void SetDisplayTurn(AVStream* st, double clockwise);

// FixturesTimeline.cpp
// Loudness (0..1) of ToneStepsMkv's tone on `channel` at `seconds`.
double ToneStepLevel(double seconds, int channel);
