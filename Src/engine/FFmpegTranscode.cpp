// The task's run: start and stop, the worker, initialisation of codecs and headers, the loop
// that serves the most lagging output stream, input reading with timestamp repair, reports,
// flushing, trailers, termination and clean-up.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/FFmpeg.h"
#include "engine/FFmpegState.h"
#include "engine/RawMuxers.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "runtime/MediaTexts.h"
#include "runtime/NalUnits.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/avstring.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/parseutils.h>
#include <libavutil/time.h>
#include <libavutil/timestamp.h>
}

namespace {

const char* const kHint =
    "Please check error log message(reported by FFLogger) to find out more detail information.";

// Process-wide registries of open codecs: what a task opened is closed even after an error.
std::mutex gRegistryLock;
std::vector<const void*> gOpenEncoders;
std::vector<const void*> gOpenDecoders;

void Register(std::vector<const void*>& list, const void* p) {
  std::lock_guard<std::mutex> lock(gRegistryLock);
  list.push_back(p);
}
bool Unregister(std::vector<const void*>& list, const void* p) {
  std::lock_guard<std::mutex> lock(gRegistryLock);
  auto it = std::find(list.begin(), list.end(), p);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

}  // namespace

TCustomFFmpeg::TCustomFFmpeg()
    : FFrame(av_frame_alloc()), FFiltered(av_frame_alloc()), FPacket(av_packet_alloc()),
      FOutPacket(av_packet_alloc()), FHookFrame(av_frame_alloc()) {}

TCustomFFmpeg::~TCustomFFmpeg() {
  OnProgress = nullptr;
  OnTerminate = nullptr;
  Break(true);
  if (FWorker.joinable()) FWorker.join();
  CloseCodecs();
  Cleanup();
}

TCustomFFmpeg::TOstState& TCustomFFmpeg::OS(const TOutputStream* ost) {
  for (size_t i = 0; i < OutputStreams.size(); i++)
    if (OutputStreams[i].get() == ost) return FOst[i];
  throw FFmpegException("Never occur");
}

TCustomFFmpeg::TIstState& TCustomFFmpeg::IS(const TInputStream* ist) {
  for (size_t i = 0; i < InputStreams.size(); i++)
    if (InputStreams[i].get() == ist) return FIst[i];
  throw FFmpegException("Never occur");
}

// ---------------------------------------------------------------------------------------------
// Start, stop, pause

bool TCustomFFmpeg::Start(bool threaded) {
  if (FRunning || FTerminated) return false;
  try {
    if (OutputFiles.empty() && !CustomTranscode) {
      Cleanup();
      throw FFmpegException("At least one output file must be specified");
    }
    if (InputFiles.empty()) {
      Cleanup();
      throw FFmpegException("At least one input file must be specified");
    }
  } catch (const std::exception& e) {
    FFLogger().Log(this, llQuiet, e.what());
    FException = true;
    FExceptionMsg = e.what();
    Terminate();
    return false;
  }
  FRunning = true;
  Broken = false;
  FFinished = false;
  if (!threaded) {
    Run();
    return false;
  }
  FWorkerDone = false;
  FWorker = std::thread([this] {
    Run();
    FWorkerDone = true;
    WakeMainThread();
  });
  return true;
}

void TCustomFFmpeg::Suspend() {
  std::lock_guard<std::mutex> lock(FGateLock);
  FSuspended = true;
}

void TCustomFFmpeg::ResumeWorker() {
  {
    std::lock_guard<std::mutex> lock(FGateLock);
    FSuspended = false;
  }
  FGate.notify_all();
}

void TCustomFFmpeg::PauseGate() {
  if (!FSuspended) return;
  std::unique_lock<std::mutex> lock(FGateLock);
  FGate.wait(lock, [this] { return !FSuspended || Broken; });
}

void TCustomFFmpeg::Break(bool wait) {
  Broken = true;
  ResumeWorker();
  if (wait && FWorker.joinable()) {
    WaitInMainThread([this] { return FWorkerDone.load(); }, -1);
    if (FWorker.get_id() != std::this_thread::get_id()) FWorker.join();
  }
}

void TCustomFFmpeg::Stop(bool wait) {
  if (FRunning) {
    Break(wait);
    return;
  }
  // Never started (or ending just now): it ends here, in the caller's thread, unless it ended.
  Terminate();
}

void TCustomFFmpeg::Terminate() {
  // The worker's end and a stop may meet here: only the first one terminates the task.
  if (FTerminated.exchange(true)) return;
  FRunning = false;
  if (OnTerminate) OnTerminate(this);
}

void TCustomFFmpeg::Run() {
  FFinished = false;
  auto guarded = [this](const std::function<void()>& phase) {
    try {
      phase();
    } catch (const std::exception& e) {
      FFLogger().Log(this, llQuiet, e.what());
      FException = true;
      FExceptionMsg = e.what();
    }
  };
  guarded([this] {
    if (!CustomTranscode) return Transcode();
    FFinished = CustomTranscode(*this) && !Broken;
  });
  guarded([this] { CloseCodecs(); });
  guarded([this] { Cleanup(); });
  guarded([this] { Terminate(); });
}

// ---------------------------------------------------------------------------------------------
// The transcode phase

void TCustomFFmpeg::Transcode() {
  FLastErrMsg.clear();
  int ret;
  try {
    ret = TranscodeInit();
  } catch (...) {
    CloseCodecs();
    throw;
  }
  if (ret < 0) {
    CloseCodecs();
    if (FLastErrMsg.empty())
      FLastErrMsg = ErrorText("transcode_init() error", ret) + ". " + kHint;
    throw FFmpegException(FLastErrMsg);
  }
  if (LongestOutputDuration <= 0) LongestOutputDuration = LongestInputDuration;
  FStartTime = av_gettime_relative();
  FLastReport = -1;

  while (!Broken) {
    PauseGate();
    if (Broken) break;
    int64_t now = av_gettime_relative();
    if (!NeedOutput()) {
      FFLogger().Log(this, llVerbose, "No more output streams to write to, finishing.");
      break;
    }
    ret = TranscodeStep();
    if (ret == AVERROR_EOF) break;
    if (ret < 0 && ret != AVERROR(EAGAIN)) {
      FFLogger().Log(this, llError, ErrorText("Error while filtering", ret));
      break;
    }
    Report(FCurrentInput, false, now);
  }

  for (size_t i = 0; i < InputStreams.size(); i++) {
    TInputStream* ist = InputStreams[i].get();
    if (!ist->DecodingNeeded || InputFiles[static_cast<size_t>(ist->FileIndex)]->EofReached ||
        FIst[i].JoinFlushed)
      continue;
    ProcessInputPacket(ist, nullptr);
  }
  ReapFilters(true);
  FlushEncoders();
  ClosePassLogs(!Broken);
  if (FVStats) {
    std::unique_ptr<TSafeFile> stats = std::move(FVStats);
    std::string err;
    if (!stats->Commit(&err)) throw FFmpegException("fopen fail: " + VStatsFilename + ": " + err);
  }
  WriteTrailers();
  Report(-1, true, av_gettime_relative());
  CloseCodecs();
  FFinished = !Broken;
  if (FEmptyOutput && !Broken) {
    FFinished = false;
    throw FFmpegException(
        "Output file is empty, nothing was encoded (check -ss / -t / -frames parameters if "
        "used)");
  }
}

int TCustomFFmpeg::TranscodeInit() {
  // A labelled graph output that no output took would be fed with nowhere to go.
  for (auto& fg : FilterGraphs)
    for (auto& ofl : fg->Outputs)
      if (!ofl->OutputStream)
        throw FFmpegException("Filter " + ofl->Name + " has an unconnected output");
  FIst.assign(InputStreams.size(), TIstState{});
  FOst.assign(OutputStreams.size(), TOstState{});
  FFilePackets.assign(OutputFiles.size(), 0);
  FEmptyOutput = false;
  FInitialised = true;
  FCurrentInput = 0;
  SetActiveRange(0);

  for (size_t i = 0; i < OutputFiles.size(); i++) {
    AVFormatContext* oc = OutputFiles[i]->FormatContext();
    if (!oc) continue;
    if (oc->nb_streams == 0 && !(oc->oformat->flags & AVFMT_NOSTREAMS)) {
      av_dump_format(oc, static_cast<int>(i), oc->url, 1);
      FLastErrMsg = FormatText("Output file #%d does not contain any stream", static_cast<int>(i));
      FFLogger().Log(this, llError, FLastErrMsg);
      return AVERROR(EINVAL);
    }
  }
  int ret;
  if ((ret = ConfigureComplexFilterGraphs()) < 0) return ret;

  for (size_t i = 0; i < OutputStreams.size(); i++)
    if ((ret = InitOutputStream(OutputStreams[i].get(), i)) < 0) return ret;
  for (size_t i = 0; i < OutputStreams.size(); i++) {
    TOutputStream* ost = OutputStreams[i].get();
    // A joined input's streams go on with the first block's encoders.
    if (!ost->EncodingNeeded || JoinClone(ost)) continue;
    if ((ret = OpenEncoder(ost, i)) < 0) return ret;
  }
  if ((ret = OpenDecoders()) < 0) {
    CloseCodecs();
    return ret;
  }
  // Programs none of whose streams are used are not read.
  for (auto& f : InputFiles) {
    AVFormatContext* ic = f->FormatContext.get();
    for (unsigned p = 0; p < ic->nb_programs; p++) {
      AVProgram* prog = ic->programs[p];
      AVDiscard discard = AVDISCARD_ALL;
      for (unsigned k = 0; k < prog->nb_stream_indexes; k++) {
        unsigned idx = prog->stream_index[k];
        if (idx < static_cast<unsigned>(f->StreamCount) &&
            !InputStreams[static_cast<size_t>(f->FirstStreamIndex) + idx]->Discard) {
          discard = AVDISCARD_DEFAULT;
          break;
        }
      }
      prog->discard = discard;
    }
  }
  if (InputPreSeek) PreSeekInput();
  if ((ret = WriteHeaders()) < 0) return ret;
  DumpStreamMapping();
  if (!FLastErrMsg.empty()) {
    FFLogger().Log(this, llError, FLastErrMsg);
    return AVERROR(EINVAL);
  }
  return 0;
}

void TCustomFFmpeg::CopyStreamParameters(TOutputStream* ost) {
  TInputStream* ist = InputStreams[static_cast<size_t>(ost->SourceIndex)].get();
  AVFormatContext* oc = FileOf(ost)->FormatContext();
  AVCodecParameters* par = ost->Stream->codecpar;
  const unsigned int forcedTag = ost->Codec()->codec_tag;
  const AVCodecParameters* in = ist->Stream->codecpar;
  if (in->extradata_size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
    throw FFmpegException("icodec.extradata_size is invalid (too large)");
  if (avcodec_parameters_copy(par, in) < 0) throw FFmpegException("av_mallocz() failed");
  if (forcedTag) {
    par->codec_tag = forcedTag;
  } else {
    // The source's tag stays only where the muxer can keep it.
    unsigned int tag = 0;
    const AVCodecTag* const* tags = oc->oformat->codec_tag;
    if (tags && av_codec_get_id(tags, par->codec_tag) != par->codec_id &&
        av_codec_get_tag2(tags, par->codec_id, &tag))
      par->codec_tag = 0;
  }
  // Time base: the source's, halved for AVI when asked, or the forced frame rate's.
  AVRational tb = ist->Stream->time_base;
  const AVRational r = ist->Stream->r_frame_rate;
  if (!std::strcmp(oc->oformat->name, "avi") && CopyTb == 2 && r.num > 0)
    tb = AVRational{r.den, 2 * r.num};
  if (ost->FrameRate.num > 0 && ost->FrameRate.den > 0) tb = av_inv_q(ost->FrameRate);
  av_reduce(&tb.num, &tb.den, tb.num, tb.den, INT32_MAX);
  ost->Stream->time_base = tb;
  ost->Stream->avg_frame_rate = ist->Stream->avg_frame_rate;
  ost->Stream->r_frame_rate = ist->Stream->r_frame_rate;
  switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      if (AudioVolume != 256)
        throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
      if (AudioInputHook || AudioOutputHook)
        throw FFmpegException(
            "-acodec copy and AudioHook are incompatible (frames are not decoded)");
      if ((par->block_align == 1 || par->block_align == 1152 || par->block_align == 576) &&
          par->codec_id == AV_CODEC_ID_MP3)
        par->block_align = 0;
      if (par->codec_id == AV_CODEC_ID_AC3) par->block_align = 0;
      break;
    case AVMEDIA_TYPE_VIDEO:
      if (VideoInputHook || VideoOutputHook)
        throw FFmpegException(
            "-vcodec copy and VideoHook are incompatible (frames are not decoded)");
      if (FrameInputHook || FrameOutputHook)
        throw FFmpegException(
            "-vcodec copy and FrameHook are incompatible (frames are not decoded)");
      ost->Stream->sample_aspect_ratio = ist->Stream->sample_aspect_ratio.num
                                             ? ist->Stream->sample_aspect_ratio
                                             : par->sample_aspect_ratio;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT:
      break;
    default:
      throw FFmpegException("invalid codec_type of output stream");
  }
}

int TCustomFFmpeg::InitOutputStream(TOutputStream* ost, size_t index) {
  TOstState& os = FOst[index];
  AVFormatContext* oc = FileOf(ost)->FormatContext();
  const AVMediaType type = ost->Stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_ATTACHMENT) {
    ost->Finished = 1;
    return 0;
  }
  if (ost->StreamCopy) {
    if (ost->SourceIndex < 0) throw FFmpegException("Never occur");
    if (!JoinClone(ost)) {
      CopyStreamParameters(ost);
      return 0;
    }
    // The header describes the first input's stream: a later input must bring the same codec.
    const AVCodecParameters* in =
        InputStreams[static_cast<size_t>(ost->SourceIndex)]->Stream->codecpar;
    if (in->codec_id != ost->Stream->codecpar->codec_id) {
      FLastErrMsg = FormatText("Cannot copy %s of input #%d into output stream #%d:%d (%s)",
                               avcodec_get_name(in->codec_id), ost->FileIndex, 0, ost->Index,
                               avcodec_get_name(ost->Stream->codecpar->codec_id));
      FFLogger().Log(this, llError, FLastErrMsg);
      return AVERROR(EINVAL);
    }
    return 0;
  }
  if (type == AVMEDIA_TYPE_SUBTITLE && ost->Encoder && ost->SourceIndex >= 0) {
    TInputStream* ist = InputStreams[static_cast<size_t>(ost->SourceIndex)].get();
    ost->EncodingNeeded = 1;
    ist->DecodingNeeded++;
    if (JoinClone(ost)) return 0;
    AVCodecContext* enc = ost->Codec();
    enc->time_base = AV_TIME_BASE_Q;
    if (!enc->width) {
      enc->width = ist->Stream->codecpar->width;
      enc->height = ist->Stream->codecpar->height;
    }
    ost->Stream->time_base = enc->time_base;
    return 0;
  }
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) {
    // Data is carried by copying only.
    FFLogger().LogFmt(this, llWarning, "Output stream #%d:%d is not encoded (only copied)",
                      ost->FileIndex, ost->Index);
    ost->Finished = 1;
    return 0;
  }
  if (!ost->Encoder) {
    FLastErrMsg = FormatText("Encoder (codec %s) not found for output stream #%d:%d",
                      avcodec_get_name(ost->Stream->codecpar->codec_id), ost->FileIndex,
                      ost->Index);
    return AVERROR(EINVAL);
  }
  ost->EncodingNeeded = 1;
  if (!ost->Filter) {
    if (ost->SourceIndex < 0) throw FFmpegException("Never occur");
    TInputStream* ist = InputStreams[static_cast<size_t>(ost->SourceIndex)].get();
    InitSimpleFilterGraph(ist, ost);
    ist->DecodingNeeded++;
  }
  // A complex graph's outputs are linked while the options are read; the graph is configured
  // here, once for all its outputs.
  TFilterGraph* fg = ost->Filter->Graph;
  if (!ost->Filter->Filter || !fg->Configured) {
    if (ConfigureFilterGraph(fg) < 0) {
      FLastErrMsg = "Error opening filters!";
      FFLogger().Log(this, llError, FLastErrMsg);
      return AVERROR(EINVAL);
    }
  }
  // A joined input's graph ends in the encoder the first block set up (its size and formats).
  if (JoinClone(ost)) return 0;
  AVCodecContext* enc = ost->Codec();
  AVFilterContext* sink = ost->Filter->Filter;
  TInputStream* src =
      ost->SourceIndex >= 0 ? InputStreams[static_cast<size_t>(ost->SourceIndex)].get() : nullptr;
  if (type == AVMEDIA_TYPE_VIDEO) {
    AVRational fr = ost->FrameRate;
    if (!fr.num) fr = av_buffersink_get_frame_rate(sink);
    if (!fr.num && src) fr = src->FrameRate.num ? src->FrameRate : src->Stream->r_frame_rate;
    if (!fr.num || !fr.den) fr = AVRational{25, 1};
    if (ost->Encoder->supported_framerates && !ost->ForceFps) {
      int idx = av_find_nearest_q_idx(fr, ost->Encoder->supported_framerates);
      fr = ost->Encoder->supported_framerates[idx];
    }
    // MPEG-4 part 2 takes at most 16-bit time-base denominators.
    if (enc->codec_id == AV_CODEC_ID_MPEG4 && (fr.num > 65535 || fr.den > 65535))
      av_reduce(&fr.num, &fr.den, fr.num, fr.den, 65535);
    ost->FrameRate = fr;
    enc->framerate = fr;
    enc->time_base = av_inv_q(fr);
    enc->width = av_buffersink_get_w(sink);
    enc->height = av_buffersink_get_h(sink);
    enc->pix_fmt = static_cast<AVPixelFormat>(av_buffersink_get_format(sink));
    enc->sample_aspect_ratio = ost->FrameAspectRatio > 0
                                   ? av_d2q(ost->FrameAspectRatio * enc->height / enc->width, 255)
                                   : av_buffersink_get_sample_aspect_ratio(sink);
    ost->Stream->sample_aspect_ratio = enc->sample_aspect_ratio;
    ost->Stream->avg_frame_rate = fr;
    ost->Stream->time_base = enc->time_base;
    int vsync = VideoSyncMethod;
    if (vsync == vsAuto)
      vsync = (oc->oformat->flags & AVFMT_VARIABLE_FPS)
                  ? ((oc->oformat->flags & AVFMT_NOTIMESTAMPS) ? vsPassThrough : vsVfr)
                  : vsCfr;
    os.VSync = vsync;
    if (av_q2d(enc->time_base) < 0.001 && vsync == vsCfr)
      FFLogger().Log(this, llWarning,
                     "Frame rate very high for a muxer not efficiently supporting it.\nPlease "
                     "consider specifying a lower framerate, a different muxer or -vsync 2\n");
    if (int r = ParseForcedKeyFrames(ost, index); r < 0) return r;
  } else {
    enc->sample_fmt = static_cast<AVSampleFormat>(av_buffersink_get_format(sink));
    enc->sample_rate = av_buffersink_get_sample_rate(sink);
    av_channel_layout_uninit(&enc->ch_layout);
    if (av_buffersink_get_ch_layout(sink, &enc->ch_layout) < 0)
      throw FFmpegException("av_mallocz() failed");
    enc->time_base = AVRational{1, enc->sample_rate};
    ost->Stream->time_base = enc->time_base;
  }
  return 0;
}

// Forced key frames: an expression ("expr:") or a list of times, where "chapters" (with an
// optional shift after it) stands for the start of every chapter of the output.
int TCustomFFmpeg::ParseForcedKeyFrames(TOutputStream* ost, size_t index) {
  const std::string& text = ost->ForcedKeyFrames;
  if (text.empty()) return 0;
  TOstState& os = FOst[index];
  const AVRational tb = ost->Codec()->time_base;
  if (text.compare(0, 5, "expr:") == 0) {
    static const char* const names[] = {"n", "n_forced", "prev_forced_n", "prev_forced_t", "t",
                                        nullptr};
    AVExpr* expr = nullptr;
    int ret = av_expr_parse(&expr, text.c_str() + 5, names, nullptr, nullptr, nullptr, nullptr, 0,
                            nullptr);
    if (ret < 0) {
      FLastErrMsg = FormatText("Invalid force_key_frames expression \"%s\"", text.c_str() + 5);
      FFLogger().Log(this, llError, FLastErrMsg);
      return ret;
    }
    os.ForcedExpr.reset(expr, [](AVExpr* e) { av_expr_free(e); });
    return 0;
  }
  std::vector<int64_t> times;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(pos, comma - pos);
    pos = comma + 1;
    auto parse = [&](const std::string& t, int64_t* us) {
      if (!t.empty() && av_parse_time(us, t.c_str(), 1) >= 0) return true;
      FLastErrMsg = "Invalid duration specification for force_key_frames: " + item;
      FFLogger().Log(this, llError, FLastErrMsg);
      return false;
    };
    if (item.compare(0, 8, "chapters") == 0) {
      int64_t shift = 0;
      if (item.size() > 8 && !parse(item.substr(8), &shift)) return AVERROR(EINVAL);
      const AVFormatContext* oc = FileOf(ost)->FormatContext();
      for (unsigned c = 0; oc && c < oc->nb_chapters; c++)
        times.push_back(av_rescale_q(oc->chapters[c]->start, oc->chapters[c]->time_base,
                                     AV_TIME_BASE_Q) +
                        shift);
      continue;
    }
    int64_t t = 0;
    if (!parse(item, &t)) return AVERROR(EINVAL);
    times.push_back(t);
  }
  if (times.size() > SIZE_MAX / sizeof(int64_t) / 2)
    throw FFmpegException("Could not allocate forced key frames array.");
  try {
    os.ForcedKeyFrames.reserve(times.size());
  } catch (const std::bad_alloc&) {
    throw FFmpegException("Could not allocate forced key frames array.");
  }
  for (int64_t t : times) os.ForcedKeyFrames.push_back(av_rescale_q(t, AV_TIME_BASE_Q, tb));
  std::sort(os.ForcedKeyFrames.begin(), os.ForcedKeyFrames.end());
  return 0;
}

int TCustomFFmpeg::OpenPassLog(TOutputStream* ost, size_t index) {
  AVCodecContext* enc = ost->Codec();
  if (!(enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) return 0;
  TOstState& os = FOst[index];
  const std::string name =
      FormatText("%s-%d.log", ost->PassLogPrefix.empty() ? "ffencoder2pass" : ost->PassLogPrefix.c_str(),
                 static_cast<int>(index));
  os.PassLogName = name;
  const std::vector<std::string> inputs = InputFileNames();
  if (!std::strcmp(ost->Encoder->name, "libx264")) {
    // The encoder keeps its statistics itself (beside the name, then renamed onto it); they
    // must not land on anything the task reads.
    if (enc->flags & AV_CODEC_FLAG_PASS1)
      for (const std::string& n : {name, name + ".mbtree", name + ".temp", name + ".mbtree.temp"})
        if (!CheckWriteTarget(n, inputs)) {
          FLastErrMsg = FormatText("Cannot write log file %s for pass-1 encoding", name.c_str());
          FFLogger().Log(this, llFatal, FLastErrMsg);
          return AVERROR(EINVAL);
        }
    ost->EncoderOptions.Set("stats", name.c_str(), AV_DICT_DONT_OVERWRITE);
    return 0;
  }
  if (enc->flags & AV_CODEC_FLAG_PASS2) {
    FILE* f = std::fopen(name.c_str(), "rb");
    std::string text;
    if (f) {
      char buf[65536];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      const bool bad = std::ferror(f) != 0;
      std::fclose(f);
      if (bad) f = nullptr;
    }
    if (!f) {
      FLastErrMsg = FormatText("Error reading log file \"%s\" for pass-2 encoding", name.c_str());
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return AVERROR(EIO);
    }
    char* stats = static_cast<char*>(av_malloc(text.size() + 1));
    if (!stats) {
      FLastErrMsg = FormatText(
          "Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding",
          name.c_str());
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return AVERROR(ENOMEM);
    }
    std::memcpy(stats, text.data(), text.size());
    stats[text.size()] = 0;
    av_freep(&enc->stats_in);
    enc->stats_in = stats;
  }
  if (enc->flags & AV_CODEC_FLAG_PASS1) {
    auto log = std::make_shared<TSafeFile>();
    std::string err;
    if (!log->Open(name, inputs, true, &err) || !log->Stream()) {
      FLastErrMsg = FormatText("Cannot write log file %s for pass-1 encoding", name.c_str());
      FFLogger().Log(this, llFatal, FLastErrMsg + (err.empty() ? "" : ": " + err));
      return AVERROR(EIO);
    }
    os.PassLog = std::move(log);
  }
  return 0;
}

// Pass-1 statistics of the packet just made.
void TCustomFFmpeg::WritePassStats(TOutputStream* ost) {
  TOstState& os = OS(ost);
  const char* stats = ost->Codec()->stats_out;
  if (!os.PassLog || !stats) return;
  FILE* f = os.PassLog->Stream();
  if (f && std::fputs(stats, f) < 0)
    throw FFmpegException(FormatText("Cannot write log file %s for pass-1 encoding",
                                     os.PassLogName.c_str()));
}

void TCustomFFmpeg::WriteVideoStats(TOutputStream* ost, const AVPacket* pkt) {
  if (VStatsFilename.empty()) return;
  if (!FVStats) {
    const std::vector<std::string> inputs = InputFileNames();
    auto file = std::make_unique<TSafeFile>();
    if (!file->Open(VStatsFilename, inputs) || !file->Stream())
      throw FFmpegException("fopen fail: " + VStatsFilename);
    FVStats = std::move(file);
  }
  TOstState& os = OS(ost);
  const AVCodecContext* enc = ost->Codec();
  os.VideoPackets++;
  os.VideoBytes += pkt->size;
  size_t sideSize = 0;
  const uint8_t* q = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sideSize);
  const float quality = q && sideSize >= 4 ? static_cast<float>(AV_RL32(q)) / FF_QP2LAMBDA : 0.f;
  const char type = av_get_picture_type_char(
      q && sideSize >= 5 ? static_cast<AVPictureType>(q[4]) : AV_PICTURE_TYPE_NONE);
  std::string line = FormatText("frame= %5d q= %2.1f ", static_cast<int>(os.VideoPackets), quality);
  if ((enc->flags & AV_CODEC_FLAG_PSNR) && q && sideSize >= 16) {
    const double err = static_cast<double>(AV_RL64(q + 8));
    const double d = err / (double(enc->width) * enc->height * 255.0 * 255.0);
    line += FormatText("PSNR= %6.2f ", d > 0 ? -10.0 * std::log10(d) : 99.99);
  }
  line += FormatText("f_size= %6d ", pkt->size);
  double time = pkt->pts == AV_NOPTS_VALUE ? 0 : pkt->pts * av_q2d(ost->Stream->time_base);
  if (pkt->duration > 0)
    time += pkt->duration * av_q2d(ost->Stream->time_base);
  else if (pkt->pts != AV_NOPTS_VALUE)
    time += av_q2d(enc->time_base);  // one frame: the encoder ticks at the frame rate
  if (time < 0.01) time = 0.01;
  const double br = pkt->size * 8 / av_q2d(enc->time_base) / 1000.0;
  const double avg = os.VideoBytes * 8 / time / 1000.0;
  line += FormatText("s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                     os.VideoBytes / 1024.0, time, br, avg);
  line += FormatText("type= %c\n", type);
  if (std::fputs(line.c_str(), FVStats->Stream()) < 0)
    throw FFmpegException("fopen fail: " + VStatsFilename);
}

// The pass-1 log is put in place only when the pass ran to its end.
void TCustomFFmpeg::ClosePassLogs(bool complete) {
  for (auto& os : FOst) {
    if (!os.PassLog) continue;
    std::shared_ptr<TSafeFile> log = std::move(os.PassLog);
    if (!log->IsOpen()) continue;
    std::string err;
    if (!complete)
      log->Discard();
    else if (!log->Commit(&err))
      throw FFmpegException(FormatText("Cannot write log file %s for pass-1 encoding",
                                       os.PassLogName.c_str()) +
                            ": " + err);
  }
  for (auto& os : FOst) os.PassLog.reset();
}

int TCustomFFmpeg::OpenEncoder(TOutputStream* ost, size_t index) {
  AVCodecContext* enc = ost->Codec();
  if (int r = OpenPassLog(ost, index); r < 0) return r;
  if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE && ost->SourceIndex >= 0) {
    // Text subtitle encoders need the styles the decoder makes when it opens.
    if (int r = OpenDecoder(static_cast<size_t>(ost->SourceIndex)); r < 0) return r;
    const AVCodecContext* dec = InputStreams[static_cast<size_t>(ost->SourceIndex)]->DecoderContext.get();
    if (dec->subtitle_header && dec->subtitle_header_size > 0 && !enc->subtitle_header) {
      enc->subtitle_header = static_cast<uint8_t*>(av_mallocz(dec->subtitle_header_size + 1));
      if (!enc->subtitle_header) {
        FLastErrMsg = "av_malloc failed";
        return AVERROR(ENOMEM);
      }
      std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
      enc->subtitle_header_size = dec->subtitle_header_size;
    }
  }
  if (!ost->EncoderOptions.Value("threads"))
    ost->EncoderOptions.Set("threads", std::strcmp(ost->Encoder->name, "mjpeg") ? "auto" : "1");
  TAVDictionary opts;
  opts.CopyFrom(ost->EncoderOptions.Get());
  int ret = avcodec_open2(enc, ost->Encoder, opts.Ref());
  if (ret < 0) {
    if (ret == AVERROR_EXPERIMENTAL) AbortCodecExperimental(enc);
    FLastErrMsg = FormatText("Error while opening encoder for output stream #%d:%d (%s) - maybe "
                      "incorrect parameters such as bit_rate, rate, width or height. %s",
                      ost->FileIndex, ost->Index, ost->Encoder->name, kHint);
    return ret;
  }
  FOst[index].EncoderOpen = true;
  Register(gOpenEncoders, ost);
  if (enc->codec_type == AVMEDIA_TYPE_AUDIO &&
      !(ost->Encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && enc->frame_size > 0)
    av_buffersink_set_frame_size(ost->Filter->Filter, static_cast<unsigned>(enc->frame_size));
  CheckUnconsumedOptions(opts.Get());
  if (enc->bit_rate > 0 && enc->bit_rate < 1000)
    FFLogger().Log(this, llWarning,
                   "The bitrate parameter is set too low. It takes bits/s as argument, not "
                   "kbits/s");
  ExtraSize += enc->extradata_size;
  if (avcodec_parameters_from_context(ost->Stream->codecpar, enc) < 0)
    throw FFmpegException("av_mallocz() failed");
  return 0;
}

int TCustomFFmpeg::OpenDecoders() {
  for (size_t i = 0; i < InputStreams.size(); i++)
    if (int ret = OpenDecoder(i); ret < 0) return ret;
  return 0;
}

int TCustomFFmpeg::OpenDecoder(size_t i) {
  {
    TInputStream* ist = InputStreams[i].get();
    if (!ist->DecodingNeeded || FIst[i].DecoderOpen) return 0;
    if (!ist->Decoder) {
      FLastErrMsg = FormatText("Decoder (codec %s) not found for input stream #%d:%d",
                        avcodec_get_name(ist->Stream->codecpar->codec_id), ist->FileIndex,
                        ist->Stream->index);
      return AVERROR(EINVAL);
    }
    if (!ist->DecoderOptions.Value("threads")) ist->DecoderOptions.Set("threads", "auto");
    TAVDictionary opts;
    opts.CopyFrom(ist->DecoderOptions.Get());
    int ret = avcodec_open2(ist->DecoderContext.get(), ist->Decoder, opts.Ref());
    if (ret < 0) {
      if (ret == AVERROR_EXPERIMENTAL) AbortCodecExperimental(ist->DecoderContext.get());
      FLastErrMsg =
          FormatText("Error while opening decoder for input stream #%d:%d", ist->FileIndex,
              ist->Stream->index);
      return ret;
    }
    FIst[i].DecoderOpen = true;
    Register(gOpenDecoders, ist);
    CheckUnconsumedOptions(opts.Get());
  }
  return 0;
}

int TCustomFFmpeg::WriteHeaders() {
  for (size_t i = 0; i < OutputFiles.size(); i++) {
    TOutputFile* of = OutputFiles[i].get();
    if (Joined && i > 0) break;
    AVFormatContext* oc = of->FormatContext();
    // Bitstream filters see the stream as the header will describe it.
    for (unsigned k = 0; k < oc->nb_streams; k++) {
      TOutputStream* ost = OutputStreams[static_cast<size_t>(of->FirstStreamIndex) + k].get();
      if (!ost->BitstreamFilters) continue;
      for (auto& b : *ost->BitstreamFilters) {
        avcodec_parameters_copy(b->par_in, ost->Stream->codecpar);
        b->time_base_in = ost->Stream->time_base;
        if (av_bsf_init(b.get()) < 0) {
          FLastErrMsg = FormatText("Failed to open bitstream filter %s for stream %d with codec %s",
                            b->filter->name, ost->Stream->index,
                            ost->Encoder ? ost->Encoder->name : "copy");
          return AVERROR(EINVAL);
        }
        avcodec_parameters_copy(ost->Stream->codecpar, b->par_out);
      }
    }
    int ret;
    TOutputContainer* c = of->Container.get();
    oc->interrupt_callback = WriteInterrupt();
    WriteStart = av_gettime_relative();
    if (c->RawMuxer) {
      ret = RawMuxerWriteHeader(*c->RawMuxer, oc, c->RawContext);
    } else {
      TAVDictionary opts;
      opts.CopyFrom(of->Options.Get());
      ret = avformat_write_header(oc, opts.Ref());
    }
    WriteStart = kNotTiming;
    if (ret < 0) {
      FLastErrMsg = FormatText("Could not write header for output file #%d (incorrect codec "
                        "parameters ?): %s",
                        static_cast<int>(i), ErrorText(ret).c_str());
      return AVERROR(EINVAL);
    }
  }
  return 0;
}

void TCustomFFmpeg::DumpStreamMapping() {
  for (size_t i = 0; i < OutputFiles.size(); i++) {
    if (Joined && i > 0) break;
    AVFormatContext* oc = OutputFiles[i]->FormatContext();
    av_dump_format(oc, static_cast<int>(i), oc->url, 1);
  }
  FFLogger().Log(this, llInfo, "Stream mapping:");
  const bool several = FilterGraphs.size() > 1;
  for (auto& fg : FilterGraphs)
    for (auto& in : fg->Inputs) {
      if (!fg->Complex) continue;
      TInputStream* ist = in->InputStream;
      std::string line =
          FormatText("  Stream #%d:%d (%s) -> %s", ist->FileIndex, ist->Stream->index,
              ist->Decoder ? ist->Decoder->name : "?", in->Name.c_str());
      if (several) line += FormatText(" (graph %d)", fg->Index);
      FFLogger().Log(this, llInfo, line);
    }
  for (auto& up : OutputStreams) {
    TOutputStream* ost = up.get();
    if (ost->Filter && ost->Filter->Graph->Complex) {
      std::string line = "  " + ost->Filter->Name;
      if (several) line += FormatText(" (graph %d)", ost->Filter->Graph->Index);
      line += FormatText(" -> Stream #%d:%d (%s)", ost->FileIndex, ost->Index,
                  ost->Encoder ? ost->Encoder->name : "?");
      FFLogger().Log(this, llInfo, line);
      continue;
    }
    if (!ost->AttachmentFileName.empty()) {
      FFLogger().LogFmt(this, llInfo, "  File %s -> Stream #%d:%d",
                        ost->AttachmentFileName.c_str(), ost->FileIndex, ost->Index);
      continue;
    }
    if (ost->SourceIndex < 0) continue;
    TInputStream* ist = InputStreams[static_cast<size_t>(ost->SourceIndex)].get();
    std::string line = FormatText("  Stream #%d:%d -> #%d:%d", ist->FileIndex, ist->Stream->index,
                           ost->FileIndex, ost->Index);
    if (ost->SyncInput && ost->SyncInput != ist)
      line += FormatText(" [sync #%d:%d]", ost->SyncInput->FileIndex, ost->SyncInput->Stream->index);
    if (ost->StreamCopy) {
      line += " (copy)";
    } else {
      const char* dn = ist->Decoder ? ist->Decoder->name : "?";
      const char* en = ost->Encoder ? ost->Encoder->name : "?";
      line += std::strcmp(dn, en) ? FormatText(" (%s -> %s)", dn, en) : FormatText(" (%s)", dn);
    }
    FFLogger().Log(this, llInfo, line);
  }
}

// ---------------------------------------------------------------------------------------------
// The loop

void TCustomFFmpeg::StreamRange(int input, size_t* first, size_t* end) const {
  *first = 0;
  *end = OutputStreams.size();
  if (!Joined || OutputFiles.empty()) return;
  if (input < 0 || input >= static_cast<int>(OutputFiles.size()))
    input = static_cast<int>(OutputFiles.size()) - 1;
  *first = static_cast<size_t>(OutputFiles[static_cast<size_t>(input)]->FirstStreamIndex);
  if (input + 1 < static_cast<int>(OutputFiles.size()))
    *end = static_cast<size_t>(OutputFiles[static_cast<size_t>(input) + 1]->FirstStreamIndex);
}

void TCustomFFmpeg::SetActiveRange(int input) { StreamRange(input, &FActiveFirst, &FActiveEnd); }

bool TCustomFFmpeg::NeedOutput() {
  for (size_t i = FActiveFirst; i < FActiveEnd; i++) {
    TOutputStream* ost = OutputStreams[i].get();
    if (ost->Finished) continue;
    TOutputFile* of = FileOf(ost);
    AVFormatContext* oc = of->FormatContext();
    if (of->FileSizeLimit != INT64_MAX && oc->pb && avio_tell(oc->pb) >= of->FileSizeLimit)
      continue;
    if (FOst[i].FrameCount >= ost->MaxFrames) {
      for (size_t k = FActiveFirst; k < FActiveEnd; k++)
        if (OutputStreams[k]->FileIndex == ost->FileIndex) CloseOutputStream(OutputStreams[k].get());
      continue;
    }
    return true;
  }
  return false;
}

TOutputStream* TCustomFFmpeg::ChooseOutput() {
  TOutputStream* best = nullptr;
  int64_t bestDts = INT64_MAX;
  for (size_t i = FActiveFirst; i < FActiveEnd; i++) {
    TOutputStream* ost = OutputStreams[i].get();
    if (ost->Finished || FOst[i].Unavailable) continue;
    int64_t d = FOst[i].LastMuxDts == AV_NOPTS_VALUE
                    ? INT64_MIN
                    : av_rescale_q(FOst[i].LastMuxDts, ost->Stream->time_base, AV_TIME_BASE_Q);
    if (!best || d < bestDts) {
      best = ost;
      bestDts = d;
    }
  }
  return best;
}

int TCustomFFmpeg::TranscodeFromFilter(TFilterGraph* fg, TInputStream** best) {
  *best = nullptr;
  int ret = avfilter_graph_request_oldest(fg->Graph.get());
  if (ret >= 0) return ReapFilters(false);
  if (ret == AVERROR_EOF) {
    ret = ReapFilters(false);
    for (auto& out : fg->Outputs)
      if (out->OutputStream) CloseOutputStream(out->OutputStream);
    return ret;
  }
  if (ret != AVERROR(EAGAIN)) return ret;
  unsigned most = 0;
  for (auto& in : fg->Inputs) {
    TInputStream* ist = in->InputStream;
    TInputFile* f = InputFiles[static_cast<size_t>(ist->FileIndex)].get();
    if (f->EAgain || f->EofReached) continue;
    unsigned n = av_buffersrc_get_nb_failed_requests(in->Filter);
    if (!*best || n > most) {
      most = n;
      *best = ist;
    }
  }
  if (!*best)
    for (auto& out : fg->Outputs)
      if (out->OutputStream) OS(out->OutputStream).Unavailable = true;
  return 0;
}

int TCustomFFmpeg::TranscodeStep() {
  TOutputStream* ost = ChooseOutput();
  if (!ost) {
    bool unavailable = false;
    for (size_t i = FActiveFirst; i < FActiveEnd; i++)
      unavailable = unavailable || (!OutputStreams[i]->Finished && FOst[i].Unavailable);
    if (unavailable) {
      for (auto& o : FOst) o.Unavailable = false;
      for (auto& f : InputFiles) f->EAgain = 0;
      av_usleep(10000);
      return 0;
    }
    FFLogger().Log(this, llVerbose, "No more inputs to read from, finishing.");
    return AVERROR_EOF;
  }
  TInputStream* ist = nullptr;
  if (ost->Filter) {
    int ret = TranscodeFromFilter(ost->Filter->Graph, &ist);
    if (ret < 0) return ret;
    if (!ist) return 0;
  } else {
    if (ost->SourceIndex < 0) throw FFmpegException("Never occur");
    ist = InputStreams[static_cast<size_t>(ost->SourceIndex)].get();
  }
  int ret = ProcessInput(ist->FileIndex);
  if (ret == AVERROR(EAGAIN)) {
    if (InputFiles[static_cast<size_t>(ist->FileIndex)]->EAgain) OS(ost).Unavailable = true;
    return 0;
  }
  if (ret == AVERROR_EOF) return 0;
  if (ret < 0) return ret;
  return ReapFilters(false);
}

int TCustomFFmpeg::ProcessInput(int fileIndex) {
  TInputFile* f = InputFiles[static_cast<size_t>(fileIndex)].get();
  AVFormatContext* ic = f->FormatContext.get();
  AVPacket* pkt = FPacket.get();
  int ret = 0;
  if (!FPreSeekQueue.empty() && fileIndex == 0) {
    av_packet_unref(pkt);
    av_packet_move_ref(pkt, FPreSeekQueue.front().get());
    FPreSeekQueue.pop_front();
  } else {
    ReadStart = av_gettime_relative();
    ret = av_read_frame(ic, pkt);
    ReadStart = kNotTiming;
  }
  if (ret == AVERROR(EAGAIN)) {
    f->EAgain = 1;
    return ret;
  }
  if (ret < 0) {
    if (ret != AVERROR_EOF) {
      FFLogger().Log(this, llError, ErrorText(f->FileName, ret));
      if (ExitOnError) throw FFmpegException(ErrorText(f->FileName, ret));
    }
    f->EofReached = 1;
    if (Joined && fileIndex + 1 < static_cast<int>(InputFiles.size()) &&
        fileIndex == FCurrentInput) {
      SwitchJoinedInput(fileIndex);
      return 0;
    }
    for (int k = 0; k < f->StreamCount; k++) {
      size_t idx = static_cast<size_t>(f->FirstStreamIndex + k);
      TInputStream* ist = InputStreams[idx].get();
      if (ist->DecodingNeeded) ProcessInputPacket(ist, nullptr);
      for (auto& o : OutputStreams)
        if (o->SourceIndex == static_cast<int>(idx) &&
            (o->StreamCopy || o->Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE))
          CloseOutputStream(o.get());
    }
    return AVERROR(EAGAIN);
  }
  for (auto& g : InputFiles) g->EAgain = 0;
  if (DoPktDump) av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt, DoHexDump, ic->streams[pkt->stream_index]);
  if (pkt->stream_index >= f->StreamCount) {
    av_packet_unref(pkt);
    return 0;
  }
  TInputStream* ist =
      InputStreams[static_cast<size_t>(f->FirstStreamIndex + pkt->stream_index)].get();
  if (ist->Discard) {
    av_packet_unref(pkt);
    return 0;
  }
  RepairTimestamps(ist, f, pkt);
  if (f->RateEmulation && pkt->dts != AV_NOPTS_VALUE) {
    // Native-rate reading: no packet before its time on the wall clock (cut short by a stop).
    const int64_t due = av_rescale_q(pkt->dts, ist->Stream->time_base, AV_TIME_BASE_Q);
    while (!Broken && due > av_gettime_relative() - FStartTime)
      av_usleep(static_cast<unsigned>(
          std::min<int64_t>(10000, due - (av_gettime_relative() - FStartTime))));
  }
  ret = ProcessInputPacket(ist, pkt);
  if (ret < 0) {
    std::string msg = FormatText("Error while decoding stream #%d:%d: %s", ist->FileIndex,
                          ist->Stream->index, ErrorText(ret).c_str());
    FFLogger().Log(this, llError, msg);
    if (ExitOnError) {
      av_packet_unref(pkt);
      throw FFmpegException(msg);
    }
  }
  av_packet_unref(pkt);
  return 0;
}

// The end of a joined input: its decoders are drained into the graphs and the graphs into the
// encoders, which stay open (a drained encoder takes no more frames, and a new one would start
// a stream the written header does not describe); the next input's block takes over the
// streams' muxing state, and its times are moved to begin where the output ends so far.
void TCustomFFmpeg::SwitchJoinedInput(int fileIndex) {
  TInputFile* f = InputFiles[static_cast<size_t>(fileIndex)].get();
  for (int k = 0; k < f->StreamCount; k++) {
    const size_t idx = static_cast<size_t>(f->FirstStreamIndex + k);
    TInputStream* ist = InputStreams[idx].get();
    TIstState& s = FIst[idx];
    if (!ist->DecodingNeeded) continue;
    ProcessInputPacket(ist, nullptr);
    CloseFilterInputs(ist);
    s.JoinFlushed = true;
  }
  ReapFilters(true);
  for (int k = 0; k < f->StreamCount; k++) {
    const size_t idx = static_cast<size_t>(f->FirstStreamIndex + k);
    TIstState& s = FIst[idx];
    if (!s.DecoderOpen || s.DecoderClosed) continue;
    s.DecoderClosed = true;
    Unregister(gOpenDecoders, InputStreams[idx].get());
    avcodec_flush_buffers(InputStreams[idx]->DecoderContext.get());
  }
  const size_t oldFirst = FActiveFirst, oldEnd = FActiveEnd;
  int64_t position = 0;
  for (size_t i = oldFirst; i < oldEnd; i++)
    if (FOst[i].MuxEndUs != AV_NOPTS_VALUE) position = std::max(position, FOst[i].MuxEndUs);
  const TOutputFile* of = OutputFiles[static_cast<size_t>(FCurrentInput)].get();
  FCurrentInput++;
  SetActiveRange(FCurrentInput);
  for (size_t k = 0; oldFirst + k < oldEnd && FActiveFirst + k < FActiveEnd; k++) {
    TOutputStream* from = OutputStreams[oldFirst + k].get();
    TOutputStream* to = OutputStreams[FActiveFirst + k].get();
    TOstState& a = FOst[oldFirst + k];
    TOstState& b = FOst[FActiveFirst + k];
    b = a;
    b.Flushed = false;
    b.Unavailable = false;
    b.FirstWritten = false;  // a copy starts again at a key frame
    b.CopyRescaleDelta = AV_NOPTS_VALUE;
    if (a.EncoderOpen) {
      // The open encoder is now this stream's.
      a.EncoderOpen = false;
      Unregister(gOpenEncoders, from);
      Register(gOpenEncoders, to);
      AVCodecContext* enc = to->Codec();
      if (to->Filter && to->Filter->Filter && enc->codec_type == AVMEDIA_TYPE_AUDIO &&
          !(to->Encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && enc->frame_size > 0)
        av_buffersink_set_frame_size(to->Filter->Filter, static_cast<unsigned>(enc->frame_size));
    }
    to->Finished = from->Finished;
    from->Finished = 1;
  }
  const int64_t start = of->StartTime == AV_NOPTS_VALUE ? 0 : of->StartTime;
  InputFiles[static_cast<size_t>(FCurrentInput)]->TsOffset += position + start;
  FFLogger().LogFmt(this, llVerbose, "Input #%d ended; input #%d continues at %0.3f s",
                    fileIndex, FCurrentInput, double(position) / AV_TIME_BASE);
}

void TCustomFFmpeg::RepairTimestamps(TInputStream* ist, TInputFile* f, AVPacket* pkt) {
  AVStream* st = ist->Stream;
  TIstState& s = IS(ist);
  const int64_t offset = av_rescale_q(f->TsOffset, AV_TIME_BASE_Q, st->time_base);
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offset;
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offset;
  if (ist->TsScale != 1.0) {
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(pkt->dts * ist->TsScale);
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(pkt->pts * ist->TsScale);
  }
  if (CopyTs || pkt->dts == AV_NOPTS_VALUE || s.NextDts == AV_NOPTS_VALUE) return;
  const int64_t pktDts = av_rescale_q(pkt->dts, st->time_base, AV_TIME_BASE_Q);
  const int64_t delta = pktDts - s.NextDts;
  const AVMediaType type = st->codecpar->codec_type;
  if (f->FormatContext->iformat->flags & AVFMT_TS_DISCONT) {
    const int64_t threshold = static_cast<int64_t>(DtsDeltaThreshold * AV_TIME_BASE);
    if (delta < -threshold || (delta > threshold && type != AVMEDIA_TYPE_SUBTITLE) ||
        pktDts + 1 < s.Pts) {
      f->TsOffset -= delta;
      FFLogger().LogFmt(this, llDebug, "timestamp discontinuity %" PRId64 ", new offset= %" PRId64,
                        delta, f->TsOffset);
      const int64_t d = av_rescale_q(delta, AV_TIME_BASE_Q, st->time_base);
      pkt->dts -= d;
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= d;
    }
  } else {
    const int64_t threshold = static_cast<int64_t>(DtsErrorThreshold * AV_TIME_BASE);
    if (std::llabs(delta) > threshold) {
      FFLogger().LogFmt(this, llWarning, "DTS %" PRId64 ", next:%" PRId64 " st:%d invalid dropping",
                        pkt->dts, s.NextDts, pkt->stream_index);
      pkt->dts = AV_NOPTS_VALUE;
    }
    if (pkt->pts != AV_NOPTS_VALUE) {
      const int64_t pktPts = av_rescale_q(pkt->pts, st->time_base, AV_TIME_BASE_Q);
      if (std::llabs(pktPts - s.NextDts) > threshold) {
        FFLogger().LogFmt(this, llWarning, "PTS %" PRId64 ", next:%" PRId64 " invalid dropping st:%d",
                          pkt->pts, s.NextDts, pkt->stream_index);
        pkt->pts = AV_NOPTS_VALUE;
      }
    }
  }
}

namespace {
constexpr int64_t kFirstPreSeekMargin = AV_TIME_BASE;       // grows fourfold on each retry
constexpr int64_t kLastPreSeekMargin = 64 * int64_t(AV_TIME_BASE);
constexpr int64_t kAudioWarmUp = AV_TIME_BASE / 2;
// Further before a file's start time than any packet's decoding time lies.
constexpr int64_t kBeforeFirstPacket = 3600 * int64_t(AV_TIME_BASE);
constexpr size_t kPreSeekQueueLimit = size_t(256) << 20;  // bytes held while checking
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
    const AVFilterGraph* g = fg->Graph.get();
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

// Seeks the input to a point early enough for the start time, when it has one.
void TCustomFFmpeg::SeekBeforeStart(int64_t start, int64_t inputStart) {
  TInputFile* f = InputFiles[0].get();
  AVFormatContext* ic = f->FormatContext.get();
  // Decoded sound that a seek would change: read from the start.
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
      return;
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
          return;
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
      return;
    }
  }
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

// ---------------------------------------------------------------------------------------------
// Reports

void TCustomFFmpeg::ReportProgress(const TEngineProgress& p, bool final) {
  const int64_t now = av_gettime_relative();
  if (!final) {
    if (FLastReport == -1) {
      FLastReport = now;
      return;
    }
    if (now - FLastReport < ProgressIntervalUs) return;
    FLastReport = now;
  }
  if (OnProgress) OnProgress(this, p);
}

void TCustomFFmpeg::Report(int fileIndex, bool final, int64_t now) {
  if (!final && !(PrintStats > 0) && !ProgressAVIO && !OnProgress) return;
  if (!final) {
    if (FLastReport == -1) {
      FLastReport = now;
      return;
    }
    if (now - FLastReport < ProgressIntervalUs) return;
    FLastReport = now;
  }
  int64_t totalSize = -1;
  if (!OutputFiles.empty()) {
    AVFormatContext* oc = OutputFiles[0]->FormatContext();
    if (oc && oc->pb) {
      totalSize = avio_size(oc->pb);
      if (totalSize <= 0) totalSize = avio_tell(oc->pb);
    } else if (FFinalSize >= 0) {
      totalSize = FFinalSize;  // the file is already closed and in place
    }
  }
  char buf[1024];
  size_t len = 0;
  auto add = [&](const std::string& s) {
    size_t n = std::min(s.size(), sizeof buf - 1 - len);
    std::memcpy(buf + len, s.data(), n);
    len += n;
    buf[len] = 0;
  };
  std::string progress;
  float q = -1;
  int frameNumber = -1;
  int fps = -1;
  bool firstVideo = true;
  int64_t pts = INT64_MIN;
  int64_t lastPos = 0;
  const double elapsed = (now - FStartTime) / 1e6;
  size_t first = 0, end = 0;
  StreamRange(final ? -1 : fileIndex, &first, &end);
  for (size_t i = first; i < end; i++) {
    TOutputStream* ost = OutputStreams[i].get();
    const TOstState& os = FOst[i];
    float sq = (ost->StreamCopy || os.Quality < 0) ? -1.f : os.Quality;
    if (ost->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (!firstVideo) {
        add(FormatText("q=%2.1f ", sq));
        progress += FormatText("stream_%d_%d_q=%.1f\n", ost->FileIndex, ost->Index, sq);
      } else if (os.FrameCount >= 1) {
        firstVideo = false;
        frameNumber = static_cast<int>(os.FrameCount);
        double f = elapsed > 1 ? os.FrameCount / elapsed : 0;
        fps = static_cast<int>(std::lround(f));
        q = sq;
        add(FormatText("frame=%5d fps=%3.*f q=%3.1f ", frameNumber, f < 9.95, f, sq));
        progress += FormatText("frame=%d\nfps=%.1f\n", frameNumber, f);
        progress += FormatText("stream_%d_%d_q=%.1f\n", ost->FileIndex, ost->Index, sq);
        if (final) add("L");
      }
    }
    if (os.LastMuxDts != AV_NOPTS_VALUE) {
      lastPos = av_rescale_q(os.LastMuxDts, ost->Stream->time_base, AV_TIME_BASE_Q);
      if (!ost->Finished || final) pts = std::max(pts, lastPos);
    }
  }
  if (pts == INT64_MIN) pts = 0;
  if (totalSize < 0)
    add("size=N/A time=");
  else
    add(FormatText("size=%8.0fkB time=", totalSize / 1024.0));
  const int64_t ap = std::llabs(pts);
  const int hours = static_cast<int>(ap / 3600000000LL);
  const int mins = static_cast<int>(ap / 60000000LL % 60);
  const int secs = static_cast<int>(ap / 1000000 % 60);
  const int ms = static_cast<int>(ap / 1000 % 1000);
  add(FormatText("%02d:%02d:%02d.%03d ", hours, mins, secs, ms));
  const double bitrate = pts > 0 && totalSize >= 0 ? totalSize * 8 / (pts / 1000.0) : -1;
  if (bitrate < 0)
    add("bitrate=N/A");
  else
    add(FormatText("bitrate=%6.1fkbits/s", bitrate));
  if (DupFrames || DropFrames) add(FormatText(" dup=%d drop=%d", DupFrames, DropFrames));
  LastReportText = buf;

  if (ProgressAVIO) {
    if (totalSize < 0)
      progress += "total_size=N/A\n";
    else
      progress += FormatText("total_size=%" PRId64 "\n", totalSize);
    progress += FormatText("out_time_ms=%" PRId64 "\n", pts);
    progress += FormatText("out_time=%02d:%02d:%02d.%06d\n", hours, mins, secs,
                    static_cast<int>(ap % 1000000));
    progress += FormatText("dup_frames=%d\ndrop_frames=%d\n", DupFrames, DropFrames);
    progress += FormatText("progress=%s\n", final ? "end" : "continue");
    avio_write(ProgressAVIO.get(), reinterpret_cast<const unsigned char*>(progress.data()),
               static_cast<int>(progress.size()));
    avio_flush(ProgressAVIO.get());
    if (final) ProgressAVIO.reset();
  }
  if (FDupDropNew && OnProgress) {
    FFLogger().Log(this, llInfo, LastReportText);
    FDupDropNew = false;
  }
  if (OnProgress) {
    TEngineProgress p;
    p.FileIndex = final ? -1 : fileIndex;
    p.TotalDuration = LongestOutputDuration;
    p.CurrentDuration = lastPos;
    p.CurrentSize = totalSize < 0 ? 0 : totalSize;
    p.BitRate = static_cast<float>(bitrate);
    p.Quality = q;
    p.FPS = fps;
    p.FrameNumber = frameNumber;
    OnProgress(this, p);
  }
  if ((PrintStats > 0 && !OnProgress) || final) FFLogger().Log(this, llInfo, LastReportText);
  if (final) {
    const int64_t sum = VideoSize + AudioSize + SubtitleSize + ExtraSize;
    const double overhead = sum > 0 && totalSize >= 0 ? 100.0 * (totalSize - sum) / sum : 0;
    FFLogger().LogFmt(this, llInfo,
                      "video:%1.0fkB audio:%1.0fkB subtitle:%1.0f global headers:%1.0fkB muxing "
                      "overhead %f%%\r\n",
                      VideoSize / 1024.0, AudioSize / 1024.0, SubtitleSize / 1024.0,
                      ExtraSize / 1024.0, overhead);
    if (sum == 0)
      FFLogger().Log(this, llWarning,
                     "Output file is empty, nothing was encoded (check -ss / -t / -frames "
                     "parameters if used)");
  }
}

// ---------------------------------------------------------------------------------------------
// End of the run

void TCustomFFmpeg::FlushEncoders() {
  for (size_t i = FActiveFirst; i < FActiveEnd; i++) {
    TOutputStream* ost = OutputStreams[i].get();
    TOstState& os = FOst[i];
    if (!ost->EncodingNeeded || !os.EncoderOpen || os.Flushed) continue;
    os.Flushed = true;
    AVCodecContext* enc = ost->Codec();
    if (enc->codec_type != AVMEDIA_TYPE_VIDEO && enc->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO && enc->frame_size <= 1) continue;
    const char* what = enc->codec_type == AVMEDIA_TYPE_VIDEO ? "Video" : "Audio";
    int ret = avcodec_send_frame(enc, nullptr);
    if (ret < 0 && ret != AVERROR_EOF) throw FFmpegException(FormatText("%s encoding failed", what));
    for (;;) {
      AVPacket* pkt = FOutPacket.get();
      ret = avcodec_receive_packet(enc, pkt);
      if (ret == AVERROR_EOF || ret == AVERROR(EAGAIN)) break;
      if (ret < 0) throw FFmpegException(FormatText("%s encoding failed", what));
      (enc->codec_type == AVMEDIA_TYPE_VIDEO ? VideoSize : AudioSize) += pkt->size;
      WritePassStats(ost);
      av_packet_rescale_ts(pkt, enc->time_base, ost->Stream->time_base);
      if (enc->codec_type == AVMEDIA_TYPE_VIDEO) WriteVideoStats(ost, pkt);
      WritePacket(ost, pkt);
    }
  }
}

void TCustomFFmpeg::WriteTrailers() {
  for (size_t i = 0; i < OutputFiles.size(); i++) {
    if (Joined && i > 0) break;
    TOutputFile* of = OutputFiles[i].get();
    TOutputContainer* c = of->Container.get();
    AVFormatContext* oc = of->FormatContext();
    if (i >= FFilePackets.size() || FFilePackets[i] == 0) {
      // Nothing was written: an empty container is of no use (and FFmpeg's Matroska muxer
      // ends one unreadably), so the target is left as it was.
      c->CloseIO();
      c->SafeFile.Discard();
      FEmptyOutput = true;
      continue;
    }
    WriteStart = av_gettime_relative();
    int ret = c->RawMuxer ? (c->RawContext ? RawMuxerWriteTrailer(*c->RawContext) : 0)
                          : av_write_trailer(oc);
    WriteStart = kNotTiming;
    if (ret < 0) {
      // An unfinished file never replaces anything.
      c->CloseIO();
      c->SafeFile.Discard();
      throw FFmpegException(ErrorText(of->FileName, ret));
    }
    if (i == 0 && oc && oc->pb) {
      avio_flush(oc->pb);
      FFinalSize = avio_tell(oc->pb);
    }
    if (!CommitOutputFile(static_cast<int>(i))) throw FFmpegException(FLastErrMsg);
  }
}

void TCustomFFmpeg::CloseCodecs() {
  for (size_t i = 0; i < OutputStreams.size() && i < FOst.size(); i++) {
    if (!FOst[i].EncoderOpen) continue;
    FOst[i].EncoderOpen = false;
    Unregister(gOpenEncoders, OutputStreams[i].get());
  }
  for (size_t i = 0; i < InputStreams.size() && i < FIst.size(); i++) {
    if (!FIst[i].DecoderOpen || FIst[i].DecoderClosed) continue;
    FIst[i].DecoderClosed = true;
    Unregister(gOpenDecoders, InputStreams[i].get());
    // The context is freed with the stream record; its buffers go now.
    avcodec_flush_buffers(InputStreams[i]->DecoderContext.get());
  }
}

void TCustomFFmpeg::Cleanup() {
  if (FCleanedUp) return;
  FCleanedUp = true;
  // Graphs first: their sources and sinks point into the stream records.
  FilterGraphs.clear();
  for (auto& o : OutputStreams)
    if (o->Codec()) av_freep(&o->Codec()->stats_in);
  FOst.clear();  // an unfinished pass-1 log goes with its state
  OutputStreams.clear();
  OutputFiles.clear();  // an output never committed is removed here
  InputStreams.clear();
  InputFiles.clear();
  FIst.clear();
  ProgressAVIO.reset();
  FVStats.reset();  // unfinished statistics are not put in place
  ReleaseHookModules();
  ResetPreview();
}
