// Latency of the decoder's steps on the long-GOP 1080p H.264 clip (key frame every 250 frames,
// B-frames), each beside the time of decoding one picture measured in the same run: single
// steps, the first step back after a jump (at once, and after a person's pause), and a drag of
// the thumb across the file. `bench_frame_step ROUNDS threads` times only single steps with
// each kind of decoding threads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "decoder/FFDecode.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TStats {
  std::string Name;
  std::vector<double> Ms;
  double Median() const {
    std::vector<double> v = Ms;
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }
  double Worst() const { return Ms.empty() ? 0 : *std::max_element(Ms.begin(), Ms.end()); }
};

double TimeMs(const std::function<bool()>& fn, bool* ok) {
  auto t0 = Clock::now();
  *ok = fn();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The picture at time t as the track bar finds it.
bool SeekToTime(TFFDecoder& d, int64_t t) {
  if (!d.Seek(t, 0)) return false;
  while (d.Decode())
    if (d.FramePTS() >= t || t <= 0) return true;
  return false;
}

// The baseline: a plain re-seek with the FFmpeg libraries (seek back to a key frame, flush,
// decode every picture until the wanted time), as a frame-stepping front end does it naively.
class TNaiveSeeker {
public:
  explicit TNaiveSeeker(const std::string& path) {
    if (avformat_open_input(&FIc, path.c_str(), nullptr, nullptr) < 0 || avformat_find_stream_info(FIc, nullptr) < 0)
      return;
    FIndex = av_find_best_stream(FIc, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (FIndex < 0) return;
    AVStream* st = FIc->streams[FIndex];
    const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
    FCtx = avcodec_alloc_context3(dec);
    avcodec_parameters_to_context(FCtx, st->codecpar);
    FCtx->pkt_timebase = st->time_base;
    FCtx->thread_count = 1;
    if (avcodec_open2(FCtx, dec, nullptr) < 0) return;
    FPkt = av_packet_alloc();
    FFrame = av_frame_alloc();
  }
  ~TNaiveSeeker() {
    av_frame_free(&FFrame);
    av_packet_free(&FPkt);
    avcodec_free_context(&FCtx);
    avformat_close_input(&FIc);
  }
  // µs from the stream start; true when a picture at or after it was decoded.
  bool SeekTo(int64_t us) {
    AVStream* st = FIc->streams[FIndex];
    int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    int64_t ts = av_rescale_q(us, AV_TIME_BASE_Q, st->time_base) + start;
    if (avformat_seek_file(FIc, FIndex, INT64_MIN, ts, ts, 0) < 0) return false;
    avcodec_flush_buffers(FCtx);
    while (av_read_frame(FIc, FPkt) >= 0) {
      if (FPkt->stream_index == FIndex) avcodec_send_packet(FCtx, FPkt);
      av_packet_unref(FPkt);
      while (avcodec_receive_frame(FCtx, FFrame) >= 0) {
        bool reached = FFrame->best_effort_timestamp >= ts;
        av_frame_unref(FFrame);
        if (reached) return true;
      }
    }
    return false;
  }

private:
  AVFormatContext* FIc = nullptr;
  AVCodecContext* FCtx = nullptr;
  AVPacket* FPkt = nullptr;
  AVFrame* FFrame = nullptr;
  int FIndex = -1;
};

// Floor: one picture of a plain forward decode, and the time of every picture.
void MeasureFloor(TFFDecoder& dec, TStats& floor, std::vector<int64_t>& times) {
  for (;;) {
    bool ok;
    double ms = TimeMs([&] { return dec.Decode(); }, &ok);
    if (!ok) break;
    floor.Ms.push_back(ms);
    times.push_back(dec.FramePTS());
  }
}

// The single steps, each from a picture reached by a seek.
struct TSteps {
  TStats decode{"Decode (next frame)", {}}, prev{"PrevFrame", {}}, prevKey{"PrevKeyFrame", {}},
      nextKey{"NextKeyFrame", {}}, seek{"seek to frame (Seek + Decode to time)", {}},
      prevRun{"PrevFrame x10 in a row", {}}, naive{"naive re-seek to frame (baseline)", {}},
      prevCold{"PrevFrame from a key frame reached by a jump", {}};

  int Measure(TFFDecoder& dec, TNaiveSeeker& naiveSeeker, const std::vector<int64_t>& times, const FixtureInfo& info,
              std::mt19937& rng, int rounds) {
    std::uniform_int_distribution<int> pick(1, info.frameCount - 2);
    int wrong = 0;
    for (int r = 0; r < rounds; ++r) {
      bool ok;
      int n = pick(rng);
      seek.Ms.push_back(TimeMs([&] { return SeekToTime(dec, times[n]); }, &ok));
      wrong += !ok || dec.FramePTS() != times[n];
      naive.Ms.push_back(TimeMs([&] { return naiveSeeker.SeekTo(times[n]); }, &ok));
      wrong += !ok;
      decode.Ms.push_back(TimeMs([&] { return dec.Decode(); }, &ok));
      wrong += !ok || dec.FramePTS() != times[n + 1];

      // Stepping back from a freshly reached picture (nothing kept before it).
      n = pick(rng);
      SeekToTime(dec, times[n]);
      prev.Ms.push_back(TimeMs([&] { return dec.PrevFrame(); }, &ok));
      wrong += !ok || dec.FramePTS() != times[n - 1];
      double run = 0;
      for (int i = 0; i < 10 && n - 2 - i >= 0; ++i) {
        run += TimeMs([&] { return dec.PrevFrame(); }, &ok);
        wrong += !ok || dec.FramePTS() != times[n - 2 - i];
      }
      prevRun.Ms.push_back(run / 10);

      n = pick(rng);
      SeekToTime(dec, times[n]);
      prevKey.Ms.push_back(TimeMs([&] { return dec.PrevKeyFrame(); }, &ok));
      wrong += !ok || !dec.PictureKeyFrame();

      n = std::uniform_int_distribution<int>(1, info.gopSize - 2)(rng);
      SeekToTime(dec, times[n]);
      nextKey.Ms.push_back(TimeMs([&] { return dec.NextKeyFrame(); }, &ok));
      wrong += !ok || dec.FramePTS() != times[info.gopSize];
      // Nothing is kept before a key frame reached by a jump: the whole group before it is
      // decoded again.
      prevCold.Ms.push_back(TimeMs([&] { return dec.PrevFrame(); }, &ok));
      wrong += !ok || dec.FramePTS() != times[info.gopSize - 1];
    }
    return wrong;
  }
};

// A person's pace between a jump and the next step.
constexpr auto kHumanPause = std::chrono::milliseconds(300);
constexpr int kDragPositions = 50;

// The first "Previous Frame" after a jump, with and without a pause first.
struct TFirstBack {
  explicit TFirstBack(const std::string& how)
      : MidNoPause{"PrevFrame right after a seek to mid-group" + how, {}},
        MidPause{"PrevFrame 300 ms after a seek to mid-group" + how, {}},
        KeyNoPause{"PrevFrame right after a jump to a key frame" + how, {}},
        KeyPause{"PrevFrame 300 ms after a jump to a key frame" + how, {}} {}
  TStats MidNoPause, MidPause, KeyNoPause, KeyPause;
};

int MeasureFirstBack(TFFDecoder& dec, const std::vector<int64_t>& times, const FixtureInfo& info, std::mt19937& rng,
                     TFirstBack& out) {
  int wrong = 0;
  std::uniform_int_distribution<int> mid(info.gopSize / 4, info.gopSize * 3 / 4);
  for (bool pause : {false, true}) {
    bool ok;
    int n = mid(rng);
    SeekToTime(dec, times[n]);
    if (pause) std::this_thread::sleep_for(kHumanPause);
    (pause ? out.MidPause : out.MidNoPause).Ms.push_back(TimeMs([&] { return dec.PrevFrame(); }, &ok));
    wrong += !ok || dec.FramePTS() != times[n - 1];

    SeekToTime(dec, times[mid(rng)]);
    wrong += !dec.NextKeyFrame() || dec.FramePTS() != times[info.gopSize];
    if (pause) std::this_thread::sleep_for(kHumanPause);
    (pause ? out.KeyPause : out.KeyNoPause).Ms.push_back(TimeMs([&] { return dec.PrevFrame(); }, &ok));
    wrong += !ok || dec.FramePTS() != times[info.gopSize - 1];
  }
  return wrong;
}

// A drag of the thumb across the file as the window follows it: each position shows the key
// frame at or before it at once, then its exact picture.
struct TDrag {
  explicit TDrag(const std::string& how)
      : Rough{"drag: picture shown (key frame)" + how, {}}, Exact{"drag: exact picture shown" + how, {}} {}
  TStats Rough, Exact;
};

int MeasureDrag(TFFDecoder& dec, const std::vector<int64_t>& times, TDrag& out) {
  int wrong = 0;
  const int64_t span = times.back() - times.front();
  for (int i = 0; i < kDragPositions; ++i) {
    const int64_t to = times.front() + span * (2 * i + 1) / (2 * kDragPositions);
    auto t0 = Clock::now();
    bool ok = dec.Seek(to, 0) && dec.Decode();
    out.Rough.Ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    wrong += !ok || dec.FramePTS() > to;
    ok = SeekToTime(dec, to);
    out.Exact.Ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    wrong += !ok || dec.FramePTS() != *std::lower_bound(times.begin(), times.end(), to);
  }
  return wrong;
}

// Single steps with each kind of decoding threads, on one clip per codec; every landing is
// checked against the frame number the picture shows.
int MeasureThreads(FixtureKind kind, int rounds) {
  const FixtureInfo info = GetFixtureInfo(kind);
  const std::string path = FixturePath(kind);
  int wrong = 0;
  printf("%-10s %-6s %12s %12s %12s\n", FixtureKindName(kind), "thread", "next ms", "seek ms", "back ms");
  const char* names[] = {"auto", "none", "slice", "frame"};
  for (TDecodeThreads mode : {dtNone, dtSlice, dtFrame, dtAuto}) {
    TFFDecoder dec;
    dec.SetDecodeThreads(mode);
    if (!dec.LoadFile(path)) return 1;
    std::vector<int64_t> times;
    while (dec.Decode()) times.push_back(dec.FramePTS());
    std::mt19937 rng(777);
    std::uniform_int_distribution<int> pick(1, info.frameCount - 12);
    TStats next, seek, back;
    for (int r = 0; r < rounds; ++r) {
      bool ok;
      const int n = pick(rng);
      seek.Ms.push_back(TimeMs([&] { return SeekToTime(dec, times[n]); }, &ok));
      wrong += !ok || ReadFrameNumber(dec.Picture()) != n;
      for (int i = 1; i <= 10; ++i) {
        next.Ms.push_back(TimeMs([&] { return dec.Decode(); }, &ok));
        wrong += !ok || ReadFrameNumber(dec.Picture()) != n + i;
      }
      // The picture before a key frame reached by a jump: a whole group decoded again.
      if (!dec.NextKeyFrame()) continue;
      const int key = ReadFrameNumber(dec.Picture());
      back.Ms.push_back(TimeMs([&] { return dec.PrevFrame(); }, &ok));
      wrong += !ok || ReadFrameNumber(dec.Picture()) != key - 1;
    }
    printf("%-10s %-6s %12.2f %12.2f %12.2f\n", "", names[mode], next.Median(), seek.Median(), back.Median());
  }
  return wrong;
}

int MeasureAllThreads(int rounds) {
  int wrong = 0;
  for (FixtureKind kind : {FixtureKind::LongGopH264, FixtureKind::LongGopHevcMp4, FixtureKind::Mpeg2Ts})
    wrong += MeasureThreads(kind, rounds);
  if (wrong) printf("WRONG LANDINGS: %d\n", wrong);
  return wrong;
}

void PrintTable(const std::vector<const TStats*>& all, double fl, double nv) {
  printf("%-56s %10s %10s %14s %14s\n", "operation", "median ms", "worst ms", "median/floor", "median/naive");
  for (const TStats* s : all)
    printf("%-56s %10.2f %10.2f %14.1f %14.3f\n", s->Name.c_str(), s->Median(), s->Worst(), fl > 0 ? s->Median() / fl : 0,
           nv > 0 ? s->Median() / nv : 0);
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
  TFFDecoder dec;
  if (!dec.LoadAVLib("")) return 1;
  // "threads": only the table of decoding threads.
  if (argc > 2 && std::string(argv[2]) == "threads") return MeasureAllThreads(rounds) ? 1 : 0;
  const FixtureInfo info = GetFixtureInfo(FixtureKind::LongGopH264);
  const std::string path = FixturePath(FixtureKind::LongGopH264);
  if (!dec.LoadFile(path)) {
    fprintf(stderr, "%s\n", dec.LastErrMsg().c_str());
    return 1;
  }

  TStats floor{"decode one frame (floor)", {}};
  std::vector<int64_t> times;
  MeasureFloor(dec, floor, times);
  if (static_cast<int>(times.size()) != info.frameCount) {
    fprintf(stderr, "decoded %zu of %d frames\n", times.size(), info.frameCount);
    return 1;
  }

  std::mt19937 rng(12345);
  TNaiveSeeker naiveSeeker(path);
  TSteps steps;
  int wrong = steps.Measure(dec, naiveSeeker, times, info, rng, rounds);

  // Each measured the old way (no preparation) and with the pictures before a jump prepared.
  TFirstBack firstBack[2]{TFirstBack(", old"), TFirstBack(", prepared")};
  TDrag drag[2]{TDrag(", old"), TDrag(", prepared")};
  for (int prepared : {0, 1}) {
    dec.SetPrepareBack(prepared);
    for (int r = 0; r < rounds; ++r) wrong += MeasureFirstBack(dec, times, info, rng, firstBack[prepared]);
    wrong += MeasureDrag(dec, times, drag[prepared]);
  }

  printf("frame_step: %s, %dx%d, %d frames, key frame every %d, %d rounds\n", path.c_str(), info.width,
         info.height, info.frameCount, info.gopSize, rounds);
  std::vector<const TStats*> all{&floor,         &steps.decode,  &steps.prev, &steps.prevRun, &steps.prevCold,
                                 &steps.prevKey, &steps.nextKey, &steps.seek, &steps.naive};
  for (const TFirstBack& f : firstBack)
    for (const TStats* s : {&f.MidNoPause, &f.MidPause, &f.KeyNoPause, &f.KeyPause}) all.push_back(s);
  for (const TDrag& d : drag)
    for (const TStats* s : {&d.Rough, &d.Exact}) all.push_back(s);
  PrintTable(all, floor.Median(), steps.naive.Median());
  wrong += MeasureAllThreads(std::max(2, rounds / 2));
  if (wrong) printf("WRONG LANDINGS: %d\n", wrong);
  return wrong ? 1 : 0;
}
