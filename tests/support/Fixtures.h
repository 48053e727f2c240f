#pragma once
// Fixture media for the tests: small files made on demand with the FFmpeg libraries, each
// video frame showing its own frame number as big black/white cells, and the readers that
// give the number back from a decoded picture.

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

enum class FixtureKind {
  H264Mp4,      // H.264 (B-frames) + AAC in MP4
  H264Mkv,      // H.264 (B-frames) + AAC in Matroska
  Mpeg4Avi,     // MPEG-4 Part 2 (I and P only) + MP3 in AVI
  Mpeg2Ts,      // MPEG-2 (B-frames) + MP2 in MPEG-TS, starting about 1.43 s in
  Vp8Webm,      // VP8 + Vorbis in WebM
  MjpegAvi,     // MJPEG (yuvj420p, all intra) + PCM s16le in AVI
  Mp3,          // audio only
  Wav,          // audio only, pcm_s16le
  AacAdts,      // audio only, raw ADTS stream
  StillPng,     // one picture (rgb24) showing number 0
  RawH264,      // Annex B elementary stream: no container duration, no timestamps
  LongGopH264,  // 1920x1080, key frame every 250 frames, B-frames, AAC, MP4: benchmarks only
  SlowRateMp4,  // 160x120 MPEG-4 Part 2 (I and P), no audio, MP4 whose video time scale is 1
                // and every sample lasts 2^31-1 of it: a frame lasts 68 years. Hostile-input
                // tests only; not in AllFixtureKinds
  H264Ts,       // H.264 (B-frames) + AAC in MPEG-TS; cut tests only, not in AllFixtureKinds
  H264OpenGopMkv,  // H.264 with open GOPs (the B-frames before each later key frame refer
                   // to it and to the GOP before) + AAC in Matroska; cut tests only
  HevcMp4,         // HEVC Main (B-frames, IDR every 12) + AAC in MP4; sets in hvcC only
  Hevc10Ts,        // HEVC Main 10, HDR10 (PQ, BT.2020, mastering display, light level),
                   // open GOPs (CRA with leading B-frames every 12) + AAC in MPEG-TS
  Vp9Webm,         // VP9 profile 0 + Vorbis in WebM
  LongGopHevcMp4,  // HEVC (B-frames), 300 frames, key frames at 0 and 250 + AAC in MP4
  LongGopH264Mp4,  // H.264 (B-frames), 300 frames, key frames at 0 and 250 + AAC in MP4
  H264TenSecondGopMp4,  // H.264 (B-frames) + AAC in MP4, 12 s, key frames at 0 s and 10 s only;
                        // copy-cut tests only
  H264WrapTs,   // H.264 (B-frames, GOP 25) + AAC stereo 48 kHz in MPEG-TS, 320x240, 25 fps,
                // 250 frames; the first video pts is 2^33 - 5 s of 90 kHz, so the file's
                // 33-bit timestamps wrap after frame 125. Not in AllFixtureKinds
  H264LateAudioTs,  // H264WrapTs's video alone for 7 s, then its video and audio: the audio
                    // stream appears in a later program table. Not in AllFixtureKinds
  H264RotatedMp4,   // H.264 + AAC in MP4, stored 320x240 sideways with a display matrix that
                    // turns it 90 degrees clockwise, upright 240x320 showing the frame number
                    // (ReadFrameNumber reads only the upright picture). Not in AllFixtureKinds
  H264EditListMp4,  // H.264 (B-frames) in MP4, video only, whose edit list starts at frame 2:
                    // frames 0 (the first key frame) and 1 are decoded but not shown, so the
                    // first ten pictures shown come before any key frame shown. Frame n is at
                    // (n - 2) / 25 s. Not in AllFixtureKinds
  Av1Mp4,           // AV1 (SVT-AV1, key frame every 12) + AAC in MP4. Not in AllFixtureKinds
  Av1Hdr10Mkv,      // AV1 10-bit, HDR10 (PQ, BT.2020, mastering display, light level), key frame
                    // every 12, + AAC in Matroska. Not in AllFixtureKinds
  ToneStepsMkv,     // MPEG-4 Part 2 160x120, 10 fps, every frame a key frame, 30 s + PCM s16le
                    // stereo 8 kHz, a 1 kHz tone whose loudness steps: silence for 10 s, then
                    // 0.8 (left) / 0.4 (right) for 10 s, then 0.05 / 0.2. Not in AllFixtureKinds
};

struct FixtureInfo {
  FixtureKind kind{};
  std::string fileName;      // base name inside the cache folder
  std::string muxerName;     // libavformat muxer that wrote it ("mp4", "matroska", "avi", ...)

  // Video; every frame n (0-based, display order) shows the number n.
  bool hasVideo = false;
  AVCodecID videoCodec = AV_CODEC_ID_NONE;
  int frameCount = 0;
  int width = 0;
  int height = 0;
  AVRational frameRate{0, 1};
  int gopSize = 0;           // key-frame interval in frames (1: every frame is a key frame)
  bool hasBFrames = false;
  std::vector<int> keyFrames;  // frame numbers that are key frames (fixed: single-threaded,
                               // no scene-cut detection, forced at every gopSize-th frame)
  std::string pictureTypes;    // 'I', 'P' or 'B' of every frame in display order, e.g.
                               // "IBBPBBPBBPBPIBBP..." (closed GOPs: a GOP never ends on a B)

  // Audio: a sine tone on every channel.
  bool hasAudio = false;
  AVCodecID audioCodec = AV_CODEC_ID_NONE;
  int sampleRate = 0;
  int channels = 0;
  double toneHz = 0;

  // Timing, in seconds.
  double duration = 0;           // nominal length of the media (frameCount / frameRate)
  bool hasStartTime = true;      // false: AVFormatContext.start_time is AV_NOPTS_VALUE
  double startTime = 0;          // AVFormatContext.start_time as libavformat reports it
                                 // (within 1 ms); audio priming and B-frame delay show here
  double videoStartTime = 0;     // best-effort timestamp of frame 0; frame n is at
                                 // videoStartTime + n / frameRate (containers with timing)
  bool hasContainerDuration = true;  // false: demuxer has to estimate (raw streams)
  bool generatedByDefault = true;    // false: only made when a benchmark asks (LongGopH264)
};

// Every kind, in enumeration order; the long benchmark clip only when asked.
std::vector<FixtureKind> AllFixtureKinds(bool includeBenchmarkClips = false);
const char* FixtureKindName(FixtureKind kind);  // "H264Mp4", ... (for test names)

// Folder the fixtures are cached in: env TRIMORA_FIXTURE_DIR, else the compiled-in one.
std::string FixtureDir();

// Full path of the fixture, generating it first when it is not in the cache yet. Safe when
// several threads or processes ask at once (lock file + unique temp name + rename). Throws
// std::runtime_error when the file cannot be made.
std::string FixturePath(FixtureKind kind);

FixtureInfo GetFixtureInfo(FixtureKind kind);
bool IsFixtureKeyFrame(const FixtureInfo& info, int frameNumber);
// Presentation time in seconds of frame n: videoStartTime + n / frameRate.
double FixtureFrameTime(const FixtureInfo& info, int frameNumber);

// Draws the fixture picture for frame `number` (background that moves with the number, the
// number code, and the number in big digits) into a writable frame of its own size.
// Formats: yuv420p, yuvj420p, yuv422p, yuvj422p, yuv444p, yuvj444p, gray, bgr24, rgb24, bgra,
// rgba. Returns false for other formats or a number outside 0..65535.
bool DrawFrameNumber(AVFrame* frame, int number);
// The same, also into yuv420p10le frames (drawn at 8 bits, then widened).
bool DrawFixturePicture(AVFrame* frame, int number);

// Number shown in a decoded picture, -1 when unreadable. Works in any pixel format the
// decoders give (planar/packed YUV of any range and depth, gray, RGB) and at any picture size
// (the code sits at fixed fractions of the picture).
int ReadFrameNumber(const AVFrame* frame);

// Same for a top-down BGR bitmap of 3 (BGR24) or 4 (BGRA) bytes per pixel: the picture itself
// (possibly scaled), or a picture fitted centred into a bigger bitmap on a plain border (a
// screenshot of the video panel), whose rectangle is then found from the border colour.
int ReadFrameNumberBGR(const uint8_t* data, int stride, int width, int height, int bytesPerPixel);
