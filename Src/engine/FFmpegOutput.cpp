// The output stage: creating a task's outputs (the container, the limits, and the file, which
// is written beside its target and put in place only when complete; the streams come from
// FFmpegOutputStreams.cpp), and while the task runs the muxing: headers, stream copy, the
// write step through the bitstream filters, and the trailers that end each file.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FFmpegOpt.h"
#include "RawMuxers.h"
#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

#include "runtime/MediaTexts.h"
#include "runtime/UnicodeProtocol.h"

namespace {

// Output grown by this much since the last hint is handed to the disk without waiting, so the
// sync at the end has little left to wait for.
constexpr int64_t kWriteBackStep = int64_t(4) << 20;

// Names that reach something other than a local file ("udp://...", "pipe:"); a colon alone
// ("take 2: the end.mp4") makes no protocol.
bool IsProtocolName(const std::string& name) {
  if (name.compare(0, 5, "file:") == 0) return false;
  const char* proto = avio_find_protocol_name(name.c_str());
  return proto && std::strcmp(proto, "file") != 0;
}

std::string LocalPath(const std::string& name) {
  return name.compare(0, 5, "file:") == 0 ? name.substr(5) : name;
}

// Every file a muxer opens by itself goes through here (the container is the context's
// opaque): written ones beside their names, reads of the output itself from the new file.
int SafeIOOpen(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
               AVDictionary** options) {
  auto* c = static_cast<TOutputContainer*>(s->opaque);
  const std::string name = URLToFileName(url);
  if (!c) return UnicodeIOOpen(pb, url, flags, &s->interrupt_callback, options);
  if (!(flags & AVIO_FLAG_WRITE)) {
    if (c->SafeFile.IsOpen() && s->url && std::strcmp(url, s->url) == 0)
      return UnicodeIOOpen(pb, FileNameToURL(c->SafeFile.TempPath()).c_str(), flags,
                           &s->interrupt_callback, options);
    return UnicodeIOOpen(pb, url, flags, &s->interrupt_callback, options);
  }
  if (IsProtocolName(name))
    return UnicodeIOOpen(pb, url, flags, &s->interrupt_callback, options);
  auto file = std::make_unique<TSafeFile>();
  std::string err;
  if (!file->Open(LocalPath(name), c->Inputs, c->ReplaceExisting, &err)) {
    c->SideFileError = err;
    av_log(s, AV_LOG_ERROR, "%s\n", err.c_str());
    return file->LastRefusal() == TWriteRefusal::Exists ? AVERROR(EEXIST) : AVERROR(EACCES);
  }
  file->CloseFd();
  AVDictionary* local = nullptr;
  AVDictionary** io = options ? options : &local;
  av_dict_set(io, "truncate", "0", 0);  // the new file is empty: see OpenOutputFile
  int ret = UnicodeIOOpen(pb, FileNameToURL(file->TempPath()).c_str(), flags,
                          &s->interrupt_callback, io);
  av_dict_free(&local);
  if (ret < 0) return ret;
  c->SideFiles.push_back({*pb, std::move(file)});
  return 0;
}

int SafeIOClose2(AVFormatContext* s, AVIOContext* pb) {
  auto* c = static_cast<TOutputContainer*>(s->opaque);
  AVIOContext* io = pb;
  int ret = UnicodeIOClose(&io);
  for (size_t i = 0; c && i < c->SideFiles.size(); i++) {
    if (c->SideFiles[i].IO != pb) continue;
    std::unique_ptr<TSafeFile> file = std::move(c->SideFiles[i].File);
    c->SideFiles.erase(c->SideFiles.begin() + static_cast<std::ptrdiff_t>(i));
    std::string err;
    if (c->Closing || ret < 0) {
      file->Discard();
    } else if (!file->Commit(&err)) {
      c->SideFileError = err;
      av_log(s, AV_LOG_ERROR, "%s\n", err.c_str());
      ret = AVERROR(EIO);
    }
    break;
  }
  return ret;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TOutputContainer::~TOutputContainer() {
  CloseIO();
  // What the muxer closes from here on was never finished: it is dropped, not put in place.
  Closing = true;
  RawContext.reset();
  avformat_free_context(FormatContext);
  FormatContext = nullptr;
  SideFiles.clear();
}

int TOutputContainer::CloseIO() {
  int ret = 0;
  if (IOOpen && FormatContext && FormatContext->pb) ret = UnicodeIOClose(&FormatContext->pb);
  IOOpen = false;
  return ret;
}

// ---------------------------------------------------------------------------------------------
// "map" and "map_channel" are expanded against the inputs already open.

// ---------------------------------------------------------------------------------------------
// Output streams

// ---------------------------------------------------------------------------------------------
// Stream selection

// ---------------------------------------------------------------------------------------------

bool TCustomFFmpegOpt::CheckOutputTarget(const std::string& fileName,
                                         const TFileOptionsContext& ctx, bool replaceExisting) {
  std::vector<std::string> inputs = InputFileNames();
  for (const std::string& a : ctx.Attachments) inputs.push_back(a);
  TWriteCheck check = CheckWriteTarget(LocalPath(fileName), inputs, replaceExisting);
  if (check) return true;
  if (check.Refusal == TWriteRefusal::Exists)
    FLastErrMsg = "File \"" + fileName + "\" already exists. Ignore.";
  else
    FLastErrMsg = check.Message.empty() ? ErrorText(fileName, AVERROR(EINVAL)) : check.Message;
  FFLogger().Log(this, check.Refusal == TWriteRefusal::Exists ? llWarning : llError,
                 FLastErrMsg);
  return false;
}

void TCustomFFmpegOpt::RemoveFailedOutput(size_t outputCount, size_t streamCount) {
  // Streams of a failed output point into its container: they go with it.
  for (size_t i = streamCount; i < OutputStreams.size(); i++)
    for (auto& fg : FilterGraphs)
      for (auto& of : fg->Outputs)
        if (of->OutputStream == OutputStreams[i].get()) of->OutputStream = nullptr;
  if (OutputStreams.size() > streamCount) OutputStreams.resize(streamCount);
  if (OutputFiles.size() > outputCount) OutputFiles.resize(outputCount);
}

// Unlabelled outputs of complex graphs go to this output, which then takes no other stream of
// their media type.
void TCustomFFmpegOpt::TakeUnlabelledGraphOutputs(TFileOptionsContext& ctx, AVFormatContext* oc) {
  for (auto& fg : FilterGraphs)
    for (auto& ofl : fg->Outputs) {
      if (!ofl->PendingLink || ofl->PendingLink->name) continue;
      switch (ofl->Type) {
        case AVMEDIA_TYPE_VIDEO: ctx.VideoDisable = 1; break;
        case AVMEDIA_TYPE_AUDIO: ctx.AudioDisable = 1; break;
        case AVMEDIA_TYPE_SUBTITLE: ctx.SubtitleDisable = 1; break;
        default: break;
      }
      ConfigureComplexOutput(ofl.get(), ctx, oc);
    }
}

bool TCustomFFmpegOpt::CreateOutputStream(TFileOptionsContext& ctx, AVFormatContext* oc,
                                          AVMediaType type, int src) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return NewVideoStream(ctx, oc, src) != nullptr;
    case AVMEDIA_TYPE_AUDIO: return NewAudioStream(ctx, oc, src) != nullptr;
    case AVMEDIA_TYPE_SUBTITLE: return NewSubtitleStream(ctx, oc, src) != nullptr;
    case AVMEDIA_TYPE_DATA: return NewDataStream(ctx, oc, src) != nullptr;
    case AVMEDIA_TYPE_ATTACHMENT: return NewAttachmentStream(ctx, oc, src) != nullptr;
    default: return false;
  }
}

// "flags" also reaches copied and attached streams, which have no encoder to take it.
int TCustomFFmpegOpt::ApplyCopyFlags(TFileOptionsContext& ctx, AVFormatContext* oc,
                                     size_t firstStream) {
  const AVDictionaryEntry* flags = av_dict_get(ctx.Group->CodecOpts.Get(), "flags", nullptr,
                                               AV_DICT_IGNORE_SUFFIX);
  if (!flags) return 0;
  for (size_t i = firstStream; i < OutputStreams.size(); i++) {
    TOutputStream* ost = OutputStreams[i].get();
    if (!ost->StreamCopy && ost->Stream->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT)
      continue;
    const char* colon = std::strchr(flags->key, ':');
    if (colon && avformat_match_stream_specifier(oc, ost->Stream, colon + 1) <= 0) continue;
    if (!colon && std::strcmp(flags->key, "flags") != 0) continue;
    if (av_opt_set(ost->Codec(), "flags", flags->value, 0) < 0) {
      FLastErrMsg = "failed to set flags";
      return -1;
    }
  }
  return 0;
}

// "-to" becomes a duration; "-t" wins over it.
void TCustomFFmpegOpt::ResolveStopTime(TFileOptionsContext& ctx) {
  if (ctx.StopTime != INT64_MAX && ctx.Duration != INT64_MAX) {
    FFLogger().Log(this, llWarning, "-t and -to cannot be used together; using -t.");
    ctx.StopTime = INT64_MAX;
  } else if (ctx.StopTime != INT64_MAX) {
    if (ctx.StopTime > ctx.StartTime) {
      ctx.Duration = ctx.StopTime - ctx.StartTime;
    } else {
      FFLogger().Log(this, llWarning, "-to value smaller than -ss; ignoring -to.");
      ctx.StopTime = INT64_MAX;
    }
  }
}

// The output's record, with the limits and format options it was given.
TOutputFile* TCustomFFmpegOpt::AddOutputFile(const TFileOptionsContext& ctx,
                                             const std::shared_ptr<TOutputContainer>& container,
                                             const std::string& fileName) {
  AVFormatContext* oc = container->FormatContext;
  auto of = std::make_unique<TOutputFile>();
  of->Container = container;
  of->FirstStreamIndex = static_cast<int>(OutputStreams.size()) - static_cast<int>(oc->nb_streams);
  of->Duration = ctx.Duration;
  if (ctx.Duration != INT64_MAX) oc->duration = ctx.Duration;
  of->StartTime = ctx.StartTime;
  of->FileSizeLimit = ctx.FileSizeLimit;
  of->Shortest = ctx.Shortest;
  of->Options.CopyFrom(ctx.Group->FormatOpts.Get());
  of->FileName = fileName;
  TOutputFile* ofile = of.get();
  OutputFiles.push_back(std::move(of));
  return ofile;
}

// Opens the output's file: a safe file beside the target, or the URL as it is.
int TCustomFFmpegOpt::OpenOutputIO(TOutputFile* ofile, const std::string& url, bool safeFile,
                                   bool replaceExisting) {
  TOutputContainer* container = ofile->Container.get();
  AVFormatContext* oc = container->FormatContext;
  const std::string& fileName = ofile->FileName;
  std::string target = fileName;
  std::string err;
  if (safeFile) {
    if (!container->SafeFile.Open(LocalPath(fileName), container->Inputs, replaceExisting,
                                  &err)) {
      if (container->SafeFile.LastRefusal() == TWriteRefusal::Exists)
        FLastErrMsg = "File \"" + fileName + "\" already exists. Ignore.";
      else
        FLastErrMsg = err.empty() ? ErrorText(fileName, AVERROR(EIO)) : err;
      return -1;
    }
    // The muxer writes the new file through its own descriptor.
    container->SafeFile.CloseFd();
    target = container->SafeFile.TempPath();
  }
  WriteStart = av_gettime_relative();
  AVIOInterruptCB cb = WriteInterrupt();
  const std::string ioURL = safeFile ? FileNameToURL(target) : url;
  // The new file is empty; emptying it again would make the file system flush it on close.
  if (safeFile) ofile->Options.Set("truncate", "0");
  int ret = UnicodeIOOpen(&oc->pb, ioURL.c_str(), AVIO_FLAG_WRITE, &cb, ofile->Options.Ref());
  if (ret < 0) {
    FLastErrMsg = ErrorText(fileName, ret);
    return -1;
  }
  container->IOOpen = true;
  WriteStart = kNotTiming;  // nothing is being written until the header
  return 0;
}

int TCustomFFmpegOpt::OpenOutputFile(TFileOptionsContext& ctx, const std::string& options,
                                     bool join, const std::string& fileName,
                                     const std::string& presets) {
  int ret = ParseOptions(&ctx, options, "output file", presets);
  if (ret < 0) return ret;
  if (Joined || (join && InputFiles.size() > 1 && !OutputFiles.empty())) {
    FLastErrMsg = "Cannot join more than one output file.";
    return -1;
  }
  const bool joinMode = join && InputFiles.size() > 1;
  if (ConfigureComplexFilterGraphs() < 0) {
    FLastErrMsg = "Error configuring filters.";
    return -1;
  }

  const TRawMuxer* raw = ctx.FormatName.empty() ? nullptr : FindRawMuxer(ctx.FormatName);
  AVFormatContext* oc = nullptr;
  const std::string url = raw ? fileName : FileNameToURL(fileName);
  ret = avformat_alloc_output_context2(
      &oc, nullptr, raw ? raw->BaseFormat : (ctx.FormatName.empty() ? nullptr : ctx.FormatName.c_str()),
      url.c_str());
  if (!oc) {
    FLastErrMsg = ErrorText(fileName, ret < 0 ? ret : AVERROR(EINVAL));
    return -1;
  }
  auto container = std::make_shared<TOutputContainer>();
  container->FormatContext = oc;
  container->RawMuxer = raw;
  oc->interrupt_callback = WriteInterrupt();
  const bool writesFile = !raw && !(oc->oformat->flags & AVFMT_NOFILE);
  const bool safeFile = writesFile && !IsProtocolName(fileName);
  // "n" keeps every existing file; nothing is opened for writing before this check.
  const bool replaceExisting = !NoFileOverwrite;
  if (safeFile && !CheckOutputTarget(fileName, ctx, replaceExisting)) return -1;
  if (!raw) {
    for (const auto& f : InputFiles) container->Inputs.push_back(f->FileName);
    for (const std::string& a : ctx.Attachments) container->Inputs.push_back(a);
    container->ReplaceExisting = replaceExisting;
    oc->opaque = container.get();
    oc->io_open = SafeIOOpen;
    oc->io_close2 = SafeIOClose2;
  }

  const size_t outputCount = OutputFiles.size();
  const size_t streamCount = OutputStreams.size();
  bool done = false;
  struct TGuard {
    std::function<void()> Fn;
    ~TGuard() { Fn(); }
  } guard{[&] {
    if (!done) RemoveFailedOutput(outputCount, streamCount);
  }};

  if (ctx.Duration != INT64_MAX && ctx.Duration > LongestOutputDuration)
    LongestOutputDuration = ctx.Duration;

  TakeUnlabelledGraphOutputs(ctx, oc);
  auto create = [&](AVMediaType type, int src) { return CreateOutputStream(ctx, oc, type, src); };
  if (SelectStreams(ctx, oc, joinMode ? 0 : -1, create) < 0) return -1;
  if (AddAttachments(ctx, oc) < 0) return -1;
  if (ApplyCopyFlags(ctx, oc, streamCount) < 0) return -1;
  ResolveStopTime(ctx);

  TOutputFile* ofile = AddOutputFile(ctx, container, fileName);

  if ((oc->oformat->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(oc->url)) {
    FLastErrMsg = ErrorText(fileName, AVERROR(EINVAL));
    return -1;
  }
  if (writesFile && OpenOutputIO(ofile, url, safeFile, replaceExisting) < 0) return -1;

  if (ctx.MuxPreload != 0)
    ofile->Options.Set("preload",
                       std::to_string(static_cast<int64_t>(
                           std::trunc(static_cast<long double>(ctx.MuxPreload) * 1000000.0L))));
  oc->max_delay = static_cast<int>(
      std::trunc(static_cast<long double>(ctx.MuxMaxDelay) * 1000000.0L));

  if (ApplyMetadata(ctx, ofile) < 0) return -1;

  int result = static_cast<int>(OutputFiles.size()) - 1;
  if (joinMode) {
    if (JoinInputs(ctx) < 0) return -1;
    Joined = true;
  }
  done = true;
  return result;
}

bool TCustomFFmpegOpt::CommitOutputFile(int outputIndex, std::string* setAside) {
  if (outputIndex < 0 || outputIndex >= static_cast<int>(OutputFiles.size())) return false;
  TOutputContainer* c = OutputFiles[static_cast<size_t>(outputIndex)]->Container.get();
  if (!c) return false;
  int ret = c->CloseIO();
  if (ret < 0) {
    FLastErrMsg = ErrorText(OutputFiles[static_cast<size_t>(outputIndex)]->FileName, ret);
    c->SafeFile.Discard();
    return false;
  }
  if (!c->SafeFile.IsOpen()) return true;  // written directly (protocol) or not at all
  std::string err;
  std::string placed;
  const bool ok = setAside ? c->SafeFile.CommitBeside("stopped", &placed, &err)
                           : c->SafeFile.Commit(&err);
  if (!ok) {
    FLastErrMsg = OutputFiles[static_cast<size_t>(outputIndex)]->FileName + ": " + err;
    return false;
  }
  if (setAside) *setAside = placed == c->SafeFile.Path() ? std::string() : placed;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Muxing while the task runs

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

void TCustomFFmpeg::DoStreamCopy(TInputStream* ist, TOutputStream* ost, const AVPacket* in) {
  TOutputStreamRun& os = ost->Run;
  const TInputStreamRun& s = ist->Run;
  const TOutputFile* of = FileOf(ost);
  const AVRational itb = ist->Stream->time_base;
  const AVRational otb = ost->Stream->time_base;
  const int64_t start = of->StartTime == AV_NOPTS_VALUE ? 0 : of->StartTime;
  const int64_t startOffset = av_rescale_q(start, kMicro, otb);
  if (!os.FirstWritten) {
    if (!(in->flags & AV_PKT_FLAG_KEY) && !ost->CopyInitialNonKeyframes) return;
    // A key frame is judged by the time it is shown: its decode-order time lies earlier by the
    // reordering delay, and dropping it would leave the copy without a picture until the next one.
    int64_t shown = s.Pts;
    if (in->pts != AV_NOPTS_VALUE) shown = std::max(shown, av_rescale_q(in->pts, itb, kMicro));
    else if (in->dts != AV_NOPTS_VALUE && in->duration > 0)  // AVI: the delay is in the header
      shown = std::max(shown, av_rescale_q(in->dts + ist->Stream->codecpar->video_delay * in->duration,
                                           itb, kMicro));
    if (start && shown < start && ost->CopyPriorStart <= 0) return;
  }
  if (of->Duration != INT64_MAX && s.Pts >= start + of->Duration) {
    CloseOutputStream(ost);
    return;
  }
  const AVMediaType type = ost->Stream->codecpar->codec_type;
  AVPacket* pkt = FOutPacket.get();
  if (av_packet_ref(pkt, in) < 0) throw FFmpegException("av_mallocz() failed");
  if (type == AVMEDIA_TYPE_AUDIO)
    AudioSize += pkt->size;
  else if (type == AVMEDIA_TYPE_VIDEO) {
    VideoSize += pkt->size;
    os.Sync++;
  } else if (type == AVMEDIA_TYPE_SUBTITLE)
    SubtitleSize += pkt->size;
  pkt->pts = in->pts != AV_NOPTS_VALUE ? av_rescale_q(in->pts, itb, otb) - startOffset
                                       : AV_NOPTS_VALUE;
  pkt->dts = (in->dts != AV_NOPTS_VALUE ? av_rescale_q(in->dts, itb, otb)
                                        : av_rescale_q(s.Dts, kMicro, otb)) -
             startOffset;
  if (type == AVMEDIA_TYPE_AUDIO && in->dts != AV_NOPTS_VALUE) {
    const AVCodecParameters* par = ist->Stream->codecpar;
    int duration = av_get_audio_frame_duration2(ist->Stream->codecpar, in->size);
    if (duration <= 0) duration = par->frame_size;
    if (par->sample_rate > 0 && duration > 0) {
      pkt->dts = pkt->pts = av_rescale_delta(itb, in->dts, AVRational{1, par->sample_rate},
                                             duration, &os.CopyRescaleDelta, otb) -
                            startOffset;
    }
  }
  pkt->duration = av_rescale_q(in->duration, itb, otb);
  if (os.LastCopyDts != AV_NOPTS_VALUE && pkt->dts <= os.LastCopyDts)
    pkt->dts = os.LastCopyDts + 1;
  if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
  os.LastCopyDts = pkt->dts;
  os.FirstWritten = true;
  WritePacket(ost, pkt);
}

void TCustomFFmpeg::WritePacket(TOutputStream* ost, AVPacket* pkt) {
  TOutputStreamRun& os = ost->Run;
  AVFormatContext* oc = FileOf(ost)->FormatContext();
  const AVMediaType type = ost->Stream->codecpar->codec_type;
  if ((type == AVMEDIA_TYPE_VIDEO && os.VSync == vsDrop && !ost->StreamCopy) ||
      (type == AVMEDIA_TYPE_AUDIO && AudioSyncMethod < 0))
    pkt->pts = pkt->dts = AV_NOPTS_VALUE;
  if ((type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO) && pkt->dts != AV_NOPTS_VALUE &&
      os.LastMuxDts != AV_NOPTS_VALUE) {
    const int64_t max = os.LastMuxDts + !(oc->oformat->flags & AVFMT_TS_NONSTRICT);
    if (pkt->dts < max) {
      const int level =
          type == AVMEDIA_TYPE_AUDIO && max - pkt->dts <= 2 ? AV_LOG_DEBUG : AV_LOG_WARNING;
      av_log(oc, level, "st:%d PTS: %" PRId64 " DTS: %" PRId64 " < %" PRId64 " invalid, clipping\n",
             ost->Stream->index, pkt->pts, pkt->dts, max);
      if (pkt->pts >= pkt->dts) pkt->pts = std::max(pkt->pts, max);
      pkt->dts = max;
    }
  }
  if (!(type == AVMEDIA_TYPE_VIDEO && ost->EncodingNeeded)) {
    if (os.FrameCount >= ost->MaxFrames) {
      av_packet_unref(pkt);
      return;
    }
    os.FrameCount++;
  }
  if (pkt->dts != AV_NOPTS_VALUE) os.LastMuxDts = pkt->dts;
  else if (pkt->pts != AV_NOPTS_VALUE) os.LastMuxDts = pkt->pts;
  // Where the stream ends so far: a joined input's times go on from the latest end.
  if (pkt->pts != AV_NOPTS_VALUE || pkt->dts != AV_NOPTS_VALUE) {
    int64_t end = std::max(pkt->pts == AV_NOPTS_VALUE ? INT64_MIN : pkt->pts,
                           pkt->dts == AV_NOPTS_VALUE ? INT64_MIN : pkt->dts);
    int64_t endUs = av_rescale_q(end, ost->Stream->time_base, kMicro);
    if (pkt->duration > 0)
      endUs += av_rescale_q(pkt->duration, ost->Stream->time_base, kMicro);
    else if (type == AVMEDIA_TYPE_VIDEO && ost->FrameRate.num > 0 && ost->FrameRate.den > 0)
      endUs += av_rescale_q(1, av_inv_q(ost->FrameRate), kMicro);
    if (os.MuxEndUs == AV_NOPTS_VALUE || endUs > os.MuxEndUs) os.MuxEndUs = endUs;
  }

  if (!ost->BitstreamFilters || ost->BitstreamFilters->empty()) {
    MuxPacket(ost, pkt);
    return;
  }
  MuxThroughFilters(ost, pkt);
}

// Hands one packet to the muxer.
void TCustomFFmpeg::MuxPacket(TOutputStream* ost, AVPacket* p) {
  AVFormatContext* oc = FileOf(ost)->FormatContext();
  TOutputContainer* c = FileOf(ost)->Container.get();
  p->stream_index = ost->Stream->index;
  // Joined entries share the first entry's container.
  OutputFiles[Joined ? 0 : static_cast<size_t>(ost->FileIndex)]->PacketsWritten++;
  WriteStart = av_gettime_relative();
  int ret;
  if (c->RawMuxer) {
    ret = c->RawContext ? RawMuxerWritePacket(*c->RawContext, p) : AVERROR(EINVAL);
    av_packet_unref(p);
  } else {
    ret = av_interleaved_write_frame(oc, p);
    // Buffered writes fail later than the packet that filled the buffer.
    if (ret >= 0 && oc->pb && oc->pb->error < 0) ret = oc->pb->error;
    if (ret >= 0 && oc->pb && c->SafeFile.Replaces() &&
        avio_tell(oc->pb) - c->WriteBackAt >= kWriteBackStep) {
      c->WriteBackAt = avio_tell(oc->pb);
      c->SafeFile.StartWriteBack();
    }
  }
  WriteStart = kNotTiming;
  if (ret < 0)
    throw FFmpegException(ErrorText("av_interleaved_write_frame()", ret) + ". " + kHint);
}

// Through the bitstream filters in order; each may give zero or more packets.
void TCustomFFmpeg::MuxThroughFilters(TOutputStream* ost, AVPacket* pkt) {
  std::vector<TPacketPtr> queue;
  queue.emplace_back(av_packet_alloc());
  av_packet_move_ref(queue.back().get(), pkt);
  for (auto& b : *ost->BitstreamFilters) {
    std::vector<TPacketPtr> next;
    for (auto& p : queue) {
      int ret = av_bsf_send_packet(b.get(), p.get());
      for (;;) {
        if (ret < 0) break;
        TPacketPtr out(av_packet_alloc());
        ret = av_bsf_receive_packet(b.get(), out.get());
        if (ret < 0) break;
        next.push_back(std::move(out));
      }
      if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
        std::string msg = FormatText("Failed to open bitstream filter %s for stream %d with codec %s",
                              b->filter->name, ost->Stream->index,
                              ost->Encoder ? ost->Encoder->name : "copy");
        FFLogger().Log(this, llError, ErrorText(msg, ret));
        if (ExitOnError) throw FFmpegException(msg);
      }
    }
    queue = std::move(next);
  }
  for (auto& p : queue) MuxPacket(ost, p.get());
}

void TCustomFFmpeg::WriteTrailers() {
  for (size_t i = 0; i < OutputFiles.size(); i++) {
    if (Joined && i > 0) break;
    TOutputFile* of = OutputFiles[i].get();
    TOutputContainer* c = of->Container.get();
    AVFormatContext* oc = of->FormatContext();
    if (of->PacketsWritten == 0) {
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
    // A stopped run's output is partial: it never takes the place of an existing file.
    std::string setAside;
    if (!CommitOutputFile(static_cast<int>(i), Broken ? &setAside : nullptr))
      throw FFmpegException(FLastErrMsg);
    if (!setAside.empty()) {
      StoppedOutputNotes.push_back(of->FileName +
                                   ": the task was stopped, so the existing file is kept; the "
                                   "partial output is " + setAside);
      FFLogger().Log(this, llWarning, StoppedOutputNotes.back());
    }
  }
}
