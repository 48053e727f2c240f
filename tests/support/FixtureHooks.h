#pragma once
// What a few fixture kinds do beyond plain encoding, kept beside the generator.
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

// The first video time of the H264WrapTs fixture: 2^33 - 5 s at 90 kHz, so that its 33-bit
// times wrap 5 s in.
constexpr int64_t kWrapFirstVideoPts = (int64_t(1) << 33) - 5 * 90000;
// Adds shift90k (90 kHz ticks) to the packet's times; the muxer keeps the low 33 bits.
void ShiftPacketTimes(AVPacket* pkt, AVRational timeBase, int64_t shift90k);

// Writes the display matrix of a recording to be shown turned by `degrees` counter-clockwise
// (av_display_rotation_set; phones write -90 for a picture shown turned clockwise).
void SetDisplayRotation(AVStream* st, double degrees);
// Draws frame `number` upright and turns it the other way into `coded` (its sides swapped),
// so that the picture shown by the matrix of SetDisplayRotation(degrees) is the upright one.
// Quarter turns (+-90) only.
bool DrawTurnedFrameNumber(AVFrame* coded, int number, double degrees);
