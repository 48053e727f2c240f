#pragma once
// Types and constants shared by the player component and its playback core.
#include <cstdint>
#include <memory>

#include "runtime/FFOwners.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

enum TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };
enum TAudioDriver { adDefault, adDirectSound, adWaveOut };
enum TVideoDriver { vdDefault, vdDirectDraw, vdGDI };
enum TSyncType { stAudioMaster, stVideoMaster, stExternalClock };
using TAudioVolume = uint8_t;  // 0..128

const char* PlayStateName(TPlayState state);  // "psPlay", ...

namespace playcore {

// The player's names for the runtime's owners (TPacketPtr and TFramePtr are the same names).
using TCodecPtr = TCodecContextPtr;
using TInputPtr = TInputFormatPtr;
using TSwrPtr = TSwrContextPtr;

constexpr int64_t QueueLimitBytes = 15 * 1024 * 1024;
constexpr int MinPackets = 5;            // reading goes on while a stream has no more
constexpr int ReadWaitMs = 10;
constexpr double RefreshInterval = 0.01;
constexpr double SyncThreshold = 0.01;
constexpr double NoSyncThreshold = 10.0;
constexpr double ExternalClockMin = 0.900;
constexpr double ExternalClockMax = 1.010;
constexpr double ExternalClockStep = 0.001;
constexpr int ExternalClockLowPackets = 2;
constexpr int ExternalClockHighPackets = 10;
constexpr int AudioDiffAvgCount = 20;
constexpr int SampleCorrectionPercent = 10;
constexpr int AudioBufferSamples = 1024;
constexpr int PictureQueueSize = 4;
constexpr int SubtitleQueueSize = 4;
constexpr int PacketNodeOverhead = 80;
constexpr int64_t PositionReportStep = 20000;  // µs
constexpr int SilenceBytes = 1024;

// Seconds of the wall clock (monotonic).
double Now();

}  // namespace playcore
