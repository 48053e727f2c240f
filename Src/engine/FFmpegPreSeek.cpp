// The pre-seek of the input stage. With an output start time and one input, it decides whether
// reading may begin at a key frame before the start without changing the output, seeks there
// (with the index, or by time with checks when there is none), and skips video to clean key
// frames. The packets it read ahead wait in the pre-seek queue, which ProcessInput serves
// before reading on.
#include <algorithm>
#include <cstring>

#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"
#include "runtime/NalUnits.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {
constexpr int64_t kFirstPreSeekMargin = AV_TIME_BASE;       // grows fourfold on each retry
constexpr int64_t kLastPreSeekMargin = 64 * int64_t(AV_TIME_BASE);
constexpr int64_t kAudioWarmUp = AV_TIME_BASE / 2;
// Further before a file's start time than any packet's decoding time lies.
constexpr int64_t kBeforeFirstPacket = 3600 * int64_t(AV_TIME_BASE);
constexpr size_t kPreSeekQueueLimit = size_t(256) << 20;  // bytes held while checking

// The timestamps of a stream reach their wrap before the file ends (the demuxer was told not
// to correct them).
bool TimestampsWrapInside(const AVFormatContext* ic) {
  if (ic->duration == AV_NOPTS_VALUE || ic->duration <= 0) return false;
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVStream* st = ic->streams[i];
    if (st->pts_wrap_bits >= 63 || st->start_time == AV_NOPTS_VALUE) continue;
    const int64_t end = st->start_time + av_rescale_q(ic->duration, AV_TIME_BASE_Q, st->time_base);
    if (end >= (int64_t(1) << st->pts_wrap_bits)) return true;
  }
  return false;
}
}  // namespace

// A seek before reading: with an output start time and one input without its own, the reading
// starts at a key frame early enough that everything from the start time on comes out exactly
// as when reading from the beginning.
void TCustomFFmpeg::PreSeekInput() {
  if (InputFiles.size() != 1 || Joined) return;
  TInputFile* f = InputFiles[0].get();
  AVFormatContext* ic = f->FormatContext.get();
  const int64_t inputStart = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
  if (f->TsOffset != -inputStart || CopyTs) return;  // an input start time or offset is given
  if (TimestampsWrapInside(ic)) return;  // a seek by time cannot find its way there
  int64_t start = INT64_MAX;
  for (auto& of : OutputFiles) start = std::min(start, of->StartTime);
  if (start <= 0 || start == INT64_MAX) return;
  for (int k = 0; k < f->StreamCount; k++)
    if (InputStreams[static_cast<size_t>(f->FirstStreamIndex + k)]->TsScale != 1.0) return;
  if (!PreSeekKeepsOutput()) return;
  SeekBeforeStart(start, inputStart);
  SkipToCleanKeyFrames(start + inputStart);
}

namespace {

// Filters whose output frame depends on the input frame alone.
bool IsStatelessFilter(const AVFilterContext* fc) {
  static const char* const kNames[] = {
      "buffer", "buffersink", "abuffer", "abuffersink", "null",  "anull",  "format",
      "aformat", "scale",     "crop",    "pad",         "setsar", "setdar", "hflip",
      "vflip",  "transpose", "volume",  "pan",         "copy",   "acopy"};
  const char* name = fc->filter->name;
  for (const char* n : kNames)
    if (std::strcmp(name, n) == 0) return true;
  // A resampler's output grid is anchored on its first sample; the seek checks the sound.
  return std::strcmp(name, "aresample") == 0 && fc->nb_inputs == 1 && fc->nb_outputs == 1;
}

}  // namespace

// A pre-seek changes which frames the input side sees before the start time; that leaves the
// output as it is only when nothing there keeps state from frame to frame.
bool TCustomFFmpeg::PreSeekKeepsOutput() {
  const char* why = nullptr;
  if (OnVideoInputHook || OnFrameInputHook || OnAudioInputHook || !FHookModules.empty())
    why = "input hooks see every decoded frame";
  else if (AudioSyncMethod > 0)
    why = "the sound is resynchronised from its first sample";
  std::string filter;
  for (auto& fg : FilterGraphs) {
    if (why || !fg->Graph) continue;
    std::vector<const AVFilterGraph*> graphs{fg->Graph.get()};
    for (const TOwnFilterStage& stage : fg->OwnStages) graphs.push_back(stage.Graph.get());
    for (const AVFilterGraph* g : graphs)
      for (unsigned i = 0; i < g->nb_filters && !why; i++)
        if (!IsStatelessFilter(g->filters[i])) {
          filter = std::string("the ") + g->filters[i]->filter->name +
                   " filter sees the frames before the start";
          why = filter.c_str();
        }
  }
  if (!why) return true;
  FFLogger().LogFmt(this, llVerbose, "No pre-seek: %s", why);
  return false;
}

// Decoded video may begin at a clean key frame at or before the start: from there every
// picture decodes as when the stream is read from its beginning, so the packets before it are
// not decoded. Reading goes on until each such stream is past the start, keeping the packets
// for the loop; each clean key frame read drops its stream's packets before it, so what is
// held is one group of pictures and the other streams' packets.
void TCustomFFmpeg::SkipToCleanKeyFrames(int64_t need) {
  TInputFile* f = InputFiles[0].get();
  AVFormatContext* ic = f->FormatContext.get();
  struct TSkip {
    const AVStream* st;
    bool done = false;  // a packet past the start was read
    size_t skipped = 0;
    size_t from = 0;  // queue position of its last clean key frame
    int64_t keyPts = AV_NOPTS_VALUE;
  };
  std::vector<TSkip> streams;
  for (int k = 0; k < f->StreamCount; k++) {
    const size_t index = static_cast<size_t>(f->FirstStreamIndex + k);
    const TInputStream* ist = InputStreams[index].get();
    if (ist->Discard || !ist->DecodingNeeded ||
        ist->Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
      continue;
    bool copied = false;  // a copy of the same stream keeps every packet
    for (auto& ost : OutputStreams)
      copied = copied || (ost->StreamCopy && ost->SourceIndex == static_cast<int>(index));
    if (!copied) streams.push_back({ist->Stream});
  }
  if (streams.empty()) return;
  // Dropped packets leave empty slots, removed once at the end; each drop scans only the
  // packets read since its stream's previous clean key frame.
  size_t held = 0;
  // Looks at the packet at `at`, dropping its stream's packets before it when it is a clean
  // key frame at or before the start.
  auto look = [&](size_t at) {
    const AVPacket* pkt = FPreSeekQueue[at].get();
    for (TSkip& x : streams) {
      if (pkt->stream_index != x.st->index || x.done) continue;
      if (pkt->dts != AV_NOPTS_VALUE &&
          av_compare_ts(pkt->dts, x.st->time_base, need, AV_TIME_BASE_Q) > 0) {
        x.done = true;  // no later packet is shown at or before the start
        return;
      }
      if (pkt->pts == AV_NOPTS_VALUE ||
          av_compare_ts(pkt->pts, x.st->time_base, need, AV_TIME_BASE_Q) > 0 ||
          !IsCleanRandomAccess(pkt, x.st->codecpar))
        return;
      x.keyPts = pkt->pts;
      for (size_t i = x.from; i < at; i++) {
        TPacketPtr& p = FPreSeekQueue[i];
        if (!p || p->stream_index != x.st->index) continue;
        held -= static_cast<size_t>(p->size);
        p.reset();
        x.skipped++;
      }
      x.from = at;
      return;
    }
  };
  for (size_t i = 0; i < FPreSeekQueue.size(); i++) {
    held += static_cast<size_t>(FPreSeekQueue[i]->size);
    look(i);
  }
  auto pending = [&] {
    for (const TSkip& x : streams)
      if (!x.done) return true;
    return false;
  };
  while (pending() && held <= kPreSeekQueueLimit) {
    TPacketPtr pkt(av_packet_alloc());
    if (!pkt) throw FFmpegException("Could not allocate packet");
    ReadStart = av_gettime_relative();
    const int ret = av_read_frame(ic, pkt.get());
    ReadStart = kNotTiming;
    if (ret < 0) break;  // the end or an error: the loop reads it again
    held += static_cast<size_t>(pkt->size);
    FPreSeekQueue.push_back(std::move(pkt));
    look(FPreSeekQueue.size() - 1);
  }
  FPreSeekQueue.erase(std::remove(FPreSeekQueue.begin(), FPreSeekQueue.end(), nullptr),
                      FPreSeekQueue.end());
  for (const TSkip& x : streams)
    if (x.skipped)
      FFLogger().LogFmt(this, llVerbose,
                        "Decoding of stream %d begins at its key frame at %0.3f s (%zu packets "
                        "before it skipped)",
                        x.st->index, av_q2d(x.st->time_base) * double(x.keyPts), x.skipped);
}

// Decoded sound that a seek would change: read from the start.
bool TCustomFFmpeg::PreSeekKeepsSound() {
  TInputFile* f = InputFiles[0].get();
  for (int k = 0; k < f->StreamCount; k++) {
    TInputStream* ist = InputStreams[static_cast<size_t>(f->FirstStreamIndex + k)].get();
    if (ist->Discard || !ist->DecodingNeeded || !ist->Decoder) continue;
    const AVCodecParameters* par = ist->Stream->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    // Decoded sound gets its sample times from the first packet read and counts on from
    // there; a later first packet gives the same times only when every frame lasts a whole
    // number of time-base ticks (not so for Matroska's milliseconds).
    const AVRational tb = ist->Stream->time_base;
    const int64_t tickUnits = int64_t(par->frame_size) * tb.den;
    const int64_t perTick = int64_t(tb.num) * par->sample_rate;
    if (par->frame_size <= 0 || perTick <= 0 || tickUnits % perTick != 0) {
      FFLogger().LogFmt(this, llVerbose,
                        "No pre-seek: the sound of stream %d has no whole-tick frame times",
                        ist->Stream->index);
      return false;
    }
    // A resampler puts its output samples on a grid that starts at its first input sample;
    // after the seek that sample lies a whole number of frames later, which is on the same
    // grid only when each frame spans whole output samples.
    for (const TInputFilter* in : ist->Filters) {
      const AVFilterGraph* g = in->Graph && in->Graph->Graph ? in->Graph->Graph.get() : nullptr;
      for (unsigned i = 0; g && i < g->nb_filters; i++) {
        const AVFilterContext* fc = g->filters[i];
        if (std::strcmp(fc->filter->name, "aresample") != 0 || fc->nb_inputs != 1 ||
            fc->nb_outputs != 1 || fc->inputs[0]->sample_rate <= 0)
          continue;
        const int64_t from = fc->inputs[0]->sample_rate, to = fc->outputs[0]->sample_rate;
        if (from != to && (int64_t(par->frame_size) * to) % from != 0) {
          FFLogger().LogFmt(this, llVerbose,
                            "No pre-seek: the sound of stream %d is resampled from %d to %d Hz "
                            "off its frame grid",
                            ist->Stream->index, int(from), int(to));
          return false;
        }
      }
    }
    const AVCodecID id = ist->Decoder->id;
    if (id != AV_CODEC_ID_MP1 && id != AV_CODEC_ID_MP2 && id != AV_CODEC_ID_MP3 &&
        id != AV_CODEC_ID_MP3ADU && id != AV_CODEC_ID_MP3ON4)
      continue;
    // The integer MPEG audio decoders carry their rounding remainder from frame to frame, so
    // their samples depend on everything decoded before.
    bool floats = false;
    for (const AVSampleFormat* sf = ist->Decoder->sample_fmts; sf && *sf != AV_SAMPLE_FMT_NONE;
         sf++)
      floats = floats || *sf == AV_SAMPLE_FMT_FLT || *sf == AV_SAMPLE_FMT_FLTP;
    if (!floats) {
      FFLogger().LogFmt(this, llVerbose, "No pre-seek: the %s decoder needs the whole stream",
                        ist->Decoder->name);
      return false;
    }
  }
  return true;
}

// Seeks the input to a point early enough for the start time, when it has one.
void TCustomFFmpeg::SeekBeforeStart(int64_t start, int64_t inputStart) {
  TInputFile* f = InputFiles[0].get();
  AVFormatContext* ic = f->FormatContext.get();
  if (!PreSeekKeepsSound()) return;
  // Every video stream read must have an index to find its key frames.
  int64_t target = INT64_MAX;
  bool anyVideo = false;
  for (int k = 0; k < f->StreamCount; k++) {
    TInputStream* ist = InputStreams[static_cast<size_t>(f->FirstStreamIndex + k)].get();
    if (ist->Discard) continue;
    AVStream* st = ist->Stream;
    if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    anyVideo = true;
    const int n = avformat_index_get_entries_count(st);
    if (n <= 0) {
      PreSeekWithoutIndex(start + inputStart, inputStart);
      return;
    }
    const int64_t ts = av_rescale_q(start + inputStart, AV_TIME_BASE_Q, st->time_base);
    // An index that ends before the start (Matroska without cues knows only what was read)
    // cannot tell the key frames near it.
    if (avformat_index_get_entry(st, n - 1)->timestamp < ts) {
      PreSeekWithoutIndex(start + inputStart, inputStart);
      return;
    }
    // The key frame before the last key frame at or before the start.
    int last = -1, before = -1;
    for (int e = 0; e < n; e++) {
      const AVIndexEntry* ie = avformat_index_get_entry(st, e);
      if (!(ie->flags & AVINDEX_KEYFRAME)) continue;
      if (ie->timestamp > ts) break;
      before = last;
      last = e;
    }
    if (before < 0) return;  // near the beginning: nothing to gain
    const AVIndexEntry* ie = avformat_index_get_entry(st, before);
    target = std::min(target, av_rescale_q(ie->timestamp, st->time_base, AV_TIME_BASE_Q));
  }
  if (!anyVideo) {
    // Sound only: one second of warm-up before the start.
    target = start + inputStart - AV_TIME_BASE;
    if (target <= inputStart) return;
  }
  // Audio decoders warm up on the second before.
  target -= AV_TIME_BASE / 2;
  if (target <= inputStart) return;
  ReadStart = av_gettime_relative();
  int ret = avformat_seek_file(ic, -1, INT64_MIN, target, target, AVSEEK_FLAG_BACKWARD);
  ReadStart = kNotTiming;
  if (ret < 0)
    FFLogger().LogFmt(this, llVerbose, "Pre-seek to %0.3f failed; reading from the start",
                      double(target) / AV_TIME_BASE);
}

// Without an index the key frames are unknown: seek by time with a margin, read on until the
// start time and keep what was read. The seek is kept only when every video stream shows two
// key frames at or before the start (so the one before the last is decoded, which covers
// leading pictures) and every sound stream begins its warm-up before it; otherwise the margin
// grows, and at the end the input is read from its beginning. Video packets before a stream's
// first key frame are dropped so its decoder begins on a key frame.
bool TCustomFFmpeg::PreSeekWithoutIndex(int64_t need, int64_t inputStart) {
  TInputFile* f = InputFiles[0].get();
  AVFormatContext* ic = f->FormatContext.get();
  struct TCheck {
    AVStream* st = nullptr;
    bool video = false;
    bool started = false;  // video: the first key frame was read
    int keys = 0;          // key frames at or before the start
    bool reached = false;  // a packet at or after the start was read
    bool early = false;    // sound: the first packet lies before the warm-up
    bool first = true;
  };
  bool seeked = false;
  for (int64_t margin = kFirstPreSeekMargin; margin <= kLastPreSeekMargin; margin *= 4) {
    const int64_t target = need - margin;
    if (target <= inputStart) break;
    FPreSeekQueue.clear();
    ReadStart = av_gettime_relative();
    int ret = avformat_seek_file(ic, -1, INT64_MIN, target, target, AVSEEK_FLAG_BACKWARD);
    ReadStart = kNotTiming;
    if (ret < 0) break;
    seeked = true;
    std::vector<TCheck> checks;
    for (int k = 0; k < f->StreamCount; k++) {
      TInputStream* ist = InputStreams[static_cast<size_t>(f->FirstStreamIndex + k)].get();
      const AVMediaType type = ist->Stream->codecpar->codec_type;
      if (ist->Discard || (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)) continue;
      TCheck c;
      c.st = ist->Stream;
      c.video = type == AVMEDIA_TYPE_VIDEO;
      checks.push_back(c);
    }
    size_t held = 0;
    bool failed = false;
    for (;;) {
      bool done = true;
      for (auto& c : checks) done = done && c.reached;
      if (done || checks.empty()) break;
      TPacketPtr pkt(av_packet_alloc());
      if (!pkt) throw FFmpegException("Could not allocate packet");
      ReadStart = av_gettime_relative();
      ret = av_read_frame(ic, pkt.get());
      ReadStart = kNotTiming;
      if (ret < 0) break;  // the end before the start: the checks below decide
      held += static_cast<size_t>(pkt->size);
      if (held > kPreSeekQueueLimit) {
        failed = true;
        break;
      }
      TCheck* c = nullptr;
      for (auto& x : checks)
        if (x.st->index == pkt->stream_index) c = &x;
      if (c) {
        const int64_t pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        const int64_t dts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        const bool key = pkt->flags & AV_PKT_FLAG_KEY;
        if (c->video && !c->started && !key) continue;  // before the first key frame: dropped
        if (c->video) c->started = true;
        if (pts != AV_NOPTS_VALUE) {
          const int64_t t = av_rescale_q(pts, c->st->time_base, AV_TIME_BASE_Q);
          if (c->first && !c->video && t <= need - kAudioWarmUp) c->early = true;
          if (c->video && key && t <= need) c->keys++;
          if (c->video && key && t > need && c->keys == 0) {
            failed = true;  // the first key frame lies after the start
            break;
          }
        }
        if (dts != AV_NOPTS_VALUE &&
            av_rescale_q(dts, c->st->time_base, AV_TIME_BASE_Q) >= need)
          c->reached = true;
        c->first = false;
      }
      FPreSeekQueue.push_back(std::move(pkt));
    }
    if (!failed && !checks.empty()) {
      bool ok = true;
      for (auto& c : checks) ok = ok && (c.video ? c.keys >= 2 : c.early);
      if (ok) {
        FFLogger().LogFmt(this, llVerbose, "Pre-seek to %0.3f without an index",
                          double(target) / AV_TIME_BASE);
        return true;
      }
    }
  }
  FPreSeekQueue.clear();
  if (seeked) SeekToFirstPacket(inputStart);
  return false;
}

// Back to the beginning, so that everything is read as without a seek. A seek to the start
// time itself lands on the last packet at or before it, which is past the first key frame
// when the pictures' decoding times run ahead of the start (sound first, reordered
// pictures); a time before every packet lands on the first one. Demuxers that refuse such a
// time are sought to the start time.
void TCustomFFmpeg::SeekToFirstPacket(int64_t inputStart) {
  TInputFile* f = InputFiles[0].get();
  AVFormatContext* ic = f->FormatContext.get();
  const int64_t before = inputStart - kBeforeFirstPacket;
  ReadStart = av_gettime_relative();
  int ret = avformat_seek_file(ic, -1, INT64_MIN, before, before,
                               AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
  if (ret < 0)
    ret = avformat_seek_file(ic, -1, INT64_MIN, inputStart, inputStart, AVSEEK_FLAG_BACKWARD);
  ReadStart = kNotTiming;
  if (ret < 0) throw FFmpegException("Could not seek back to the start of " + f->FileName);
}
