// The task runner and the loop that drives the stages. It owns the task's life (start, stop,
// pause, termination), the run's initialisation (graphs, encoders, decoders, pre-seek, headers)
// and the loop that serves the most lagging output stream of the active range, asking the
// input stage for packets; at the end it drains decoders, graphs and encoders, hands the
// trailers to the output stage and the final report to the report stage, and cleans up.
#include <algorithm>
#include <functional>
#include <thread>

#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"
#include "runtime/MainThread.h"

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/time.h>
}

TCustomFFmpeg::TCustomFFmpeg()
    : FFrame(av_frame_alloc()), FFiltered(av_frame_alloc()), FPacket(av_packet_alloc()),
      FOutPacket(av_packet_alloc()), FHookFrame(av_frame_alloc()) {
  BindHookOptions();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  OnProgress = nullptr;
  OnTerminate = nullptr;
  Break(true);
  if (FWorker.joinable()) FWorker.join();
  CloseCodecs();
  Cleanup();
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
    SetCurrentThreadPriority(WorkerPriority);
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
        ist->Run.JoinFlushed)
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
  for (auto& ist : InputStreams) ist->Run = TInputStreamRun{};
  for (auto& ost : OutputStreams) ost->Run = TOutputStreamRun{};
  for (auto& of : OutputFiles) of->PacketsWritten = 0;
  FEmptyOutput = false;
  StoppedOutputNotes.clear();
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
    if ((ret = InitOutputStream(OutputStreams[i].get())) < 0) return ret;
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
    if (ost->Run.FrameCount >= ost->MaxFrames) {
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
    if (ost->Finished || ost->Run.Unavailable) continue;
    int64_t d = ost->Run.LastMuxDts == AV_NOPTS_VALUE
                    ? INT64_MIN
                    : av_rescale_q(ost->Run.LastMuxDts, ost->Stream->time_base, AV_TIME_BASE_Q);
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
  if (*best) return 0;
  bool ended = true, closedNow = false;
  for (auto& in : fg->Inputs)
    ended = ended && InputFiles[static_cast<size_t>(in->InputStream->FileIndex)]->EofReached;
  if (!ended) {
    for (auto& out : fg->Outputs)
      if (out->OutputStream) out->OutputStream->Run.Unavailable = true;
    return 0;
  }
  // Still waiting for input when every file feeding the graph has ended, it would wait forever:
  // its inputs get their end, and if they had it already, its outputs end with what it gave.
  for (auto& in : fg->Inputs) {
    closedNow = closedNow || !in->InputStream->Run.FiltersClosed;
    CloseFilterInputs(in->InputStream);
  }
  if (closedNow) return 0;
  FFLogger().Log(this, llWarning, "A filter graph still waits for input after all of it ended; its outputs end here.");
  ret = ReapFilters(false);
  for (auto& out : fg->Outputs)
    if (out->OutputStream) CloseOutputStream(out->OutputStream);
  return ret;
}

int TCustomFFmpeg::TranscodeStep() {
  TOutputStream* ost = ChooseOutput();
  if (!ost) {
    bool unavailable = false;
    for (size_t i = FActiveFirst; i < FActiveEnd; i++)
      unavailable = unavailable || (!OutputStreams[i]->Finished && OutputStreams[i]->Run.Unavailable);
    if (unavailable) {
      for (auto& o : OutputStreams) o->Run.Unavailable = false;
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
    if (InputFiles[static_cast<size_t>(ist->FileIndex)]->EAgain) ost->Run.Unavailable = true;
    return 0;
  }
  if (ret == AVERROR_EOF) return 0;
  if (ret < 0) return ret;
  return ReapFilters(false);
}

// ---------------------------------------------------------------------------------------------
// End of the run

void TCustomFFmpeg::CloseCodecs() {
  for (auto& ost : OutputStreams) ost->Run.EncoderOpen = false;
  for (auto& ist : InputStreams) {
    if (!ist->Run.DecoderOpen || ist->Run.DecoderClosed) continue;
    ist->Run.DecoderClosed = true;
    // The context is freed with the stream record; its buffers go now.
    avcodec_flush_buffers(ist->DecoderContext.get());
  }
}

void TCustomFFmpeg::Cleanup() {
  if (FCleanedUp) return;
  FCleanedUp = true;
  // Graphs first: their sources and sinks point into the stream records.
  FilterGraphs.clear();
  for (auto& o : OutputStreams)
    if (o->Codec()) av_freep(&o->Codec()->stats_in);
  OutputStreams.clear();  // an unfinished pass-1 log goes with its run state
  OutputFiles.clear();  // an output never committed is removed here
  InputStreams.clear();
  InputFiles.clear();
  ProgressAVIO.reset();
  FVStats.reset();  // unfinished statistics are not put in place
  ReleaseHookModules();
  ResetPreview();
}
