// The input stage: opening a task's inputs (the demuxer, the decoder choice and the input
// stream records), the interruption callbacks every blocking call of the task goes through,
// and while the task runs the reading of packets with their timestamp repair and the switch
// from one joined input to the next. Packets go to the decode stage's ProcessInputPacket.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FFmpegOpt.h"
#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/time.h>
#include <libavutil/timestamp.h>
}

#include "runtime/MediaTexts.h"
#include "runtime/UnicodeProtocol.h"

namespace {

// A codec tag text: a number with automatic base, else its first four bytes as a
// little-endian four-character code.
uint32_t ParseCodecTag(const std::string& text) {
  char* end = nullptr;
  unsigned long tag = std::strtoul(text.c_str(), &end, 0);
  if (!end || *end || text.empty()) {
    uint32_t b[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4 && i < text.size(); i++) b[i] = static_cast<uint8_t>(text[i]);
    tag = b[0] | (b[1] << 8) | (b[2] << 16) | (b[3] << 24);
  }
  return static_cast<uint32_t>(tag);
}

}  // namespace

uint32_t EngineParseCodecTag(const std::string& text) { return ParseCodecTag(text); }

// ---------------------------------------------------------------------------------------------
// Interruption callbacks

namespace {

int InterruptCheck(TCustomFFmpegOpt* self, const std::atomic<int64_t>& start, int32_t timeoutMs,
                   const char* timeoutText, const char* cancelText, bool stoppable = true) {
  if (stoppable && self->Broken) {
    FFLogger().Log(self, llInfo, "reading/writing broken");
    return 1;
  }
  int64_t s = start;
  if (s == TCustomFFmpegOpt::kNotTiming || timeoutMs <= 0) return 0;
  if (av_gettime_relative() - s <= int64_t(timeoutMs) * 1000) return 0;
  FFLogger().Log(self, llInfo, s != 0 ? timeoutText : cancelText);
  return 1;
}

}  // namespace

int TCustomFFmpegOpt::ReadInterruptCallback(void* opaque) {
  auto* self = static_cast<TCustomFFmpegOpt*>(opaque);
  return InterruptCheck(self, self->ReadStart, self->ReadTimeoutMs, "connecting/reading timeout",
                        "connecting/reading canceled");
}

int TCustomFFmpegOpt::WriteInterruptCallback(void* opaque) {
  auto* self = static_cast<TCustomFFmpegOpt*>(opaque);
  // A stop request does not cut a write short: the task still ends its files validly after
  // the loop (a write cut in the middle of a container element corrupts the file). Hung
  // writes still end with the time-out.
  return InterruptCheck(self, self->WriteStart, self->WriteTimeoutMs,
                        "connecting/writing timeout", "connecting/writing canceled", false);
}

// ---------------------------------------------------------------------------------------------

const AVCodec* TCustomFFmpegOpt::FindCodecOrDie(const std::string& name, AVMediaType type,
                                                bool encoder) {
  const char* word = encoder ? "encoder" : "decoder";
  const AVCodec* codec = encoder ? avcodec_find_encoder_by_name(name.c_str())
                                 : avcodec_find_decoder_by_name(name.c_str());
  if (!codec) {
    if (const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name(name.c_str())) {
      codec = encoder ? avcodec_find_encoder(desc->id) : avcodec_find_decoder(desc->id);
      if (codec)
        FFLogger().LogFmt(this, llVerbose, "Matched %s \"%s\" for codec \"%s\".", word,
                          codec->name, desc->name);
    }
  }
  if (!codec) FatalErrorFmt("Unknown %s \"%s\"", word, name.c_str());
  if (codec->type != type) FatalErrorFmt("Invalid %s type \"%s\"", word, name.c_str());
  return codec;
}

bool TCustomFFmpegOpt::CheckOverwrite(const std::string& name) {
  if (FileOverwrite && !NoFileOverwrite) return true;
  size_t colon = name.find(':');
  if (colon != std::string::npos && colon != 1 && name.compare(0, 5, "file:") != 0) return true;
  if (avio_check(name.c_str(), 0) < 0) return true;
  FLastErrMsg = "File \"" + name + "\" already exists. Ignore.";
  FFLogger().Log(this, llWarning, FLastErrMsg);
  return false;
}

// ---------------------------------------------------------------------------------------------

namespace {

// Demuxer options from the input's options (a device or raw format takes them).
void SetDemuxerOptions(TFileOptionsContext& ctx, const AVInputFormat* fmt) {
  TAVDictionary& formatOpts = ctx.Group->FormatOpts;
  if (!ctx.AudioSampleRates.empty())
    formatOpts.Set("sample_rate", std::to_string(ctx.AudioSampleRates.back().Int));
  auto privateOption = [&](const char* name) {
    return fmt && fmt->priv_class &&
           av_opt_find(const_cast<AVClass**>(&fmt->priv_class), name, nullptr, 0,
                       AV_OPT_SEARCH_FAKE_OBJ);
  };
  if (!ctx.AudioChannels.empty() && privateOption("channels"))
    formatOpts.Set("channels", std::to_string(ctx.AudioChannels.back().Int));
  if (!ctx.FrameRates.empty() && privateOption("framerate"))
    formatOpts.Set("framerate", ctx.FrameRates.back().Str);
  if (!ctx.FrameSizes.empty()) formatOpts.Set("video_size", ctx.FrameSizes.back().Str);
  if (!ctx.PixelFormats.empty()) formatOpts.Set("pixel_format", ctx.PixelFormats.back().Str);
}

}  // namespace

// The codecs forced per media type ("vcodec", "acodec", "scodec") for the demuxer.
void TCustomFFmpegOpt::ForceInputCodecs(const TFileOptionsContext& ctx, AVFormatContext* s) {
  std::string vName = CodecNameForType(ctx, 'v');
  std::string aName = CodecNameForType(ctx, 'a');
  std::string sName = CodecNameForType(ctx, 's');
  s->video_codec_id =
      vName.empty() ? AV_CODEC_ID_NONE : FindCodecOrDie(vName, AVMEDIA_TYPE_VIDEO, false)->id;
  s->audio_codec_id =
      aName.empty() ? AV_CODEC_ID_NONE : FindCodecOrDie(aName, AVMEDIA_TYPE_AUDIO, false)->id;
  s->subtitle_codec_id =
      sName.empty() ? AV_CODEC_ID_NONE : FindCodecOrDie(sName, AVMEDIA_TYPE_SUBTITLE, false)->id;
}

// Probes the streams with the decoders and options they were given.
int TCustomFFmpegOpt::FindStreamInfo(const TFileOptionsContext& ctx, AVFormatContext* ic) {
  // Decoders chosen before probing so that forced ones are used for it.
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    AVStream* st = ic->streams[i];
    std::string name = MatchPerStreamStr(ctx.CodecNames, ic, st);
    if (!name.empty()) {
      const AVCodec* dec = FindCodecOrDie(name, st->codecpar->codec_type, false);
      st->codecpar->codec_id = dec->id;
    }
  }
  std::vector<TAVDictionary> probeOpts = StreamCodecOptions(ic, ctx.Group->CodecOpts.Get());
  const unsigned origStreams = ic->nb_streams;
  std::vector<AVDictionary*> probeArray(origStreams, nullptr);
  for (unsigned i = 0; i < origStreams && i < probeOpts.size(); i++)
    probeArray[i] = probeOpts[i].Get();

  if (OnBeforeFindStreamInfo) OnBeforeFindStreamInfo(this, ic);

  ReadStart = av_gettime_relative();
  int ret = avformat_find_stream_info(ic, origStreams ? probeArray.data() : nullptr);
  for (unsigned i = 0; i < origStreams && i < probeOpts.size(); i++)
    *probeOpts[i].Ref() = probeArray[i];  // the library may have replaced the dictionaries
  return ret;
}

int TCustomFFmpegOpt::OpenInputFile(TFileOptionsContext& ctx, const std::string& options,
                                    const std::string& fileName, const std::string& presets) {
  int ret = ParseOptions(&ctx, options, "input file", presets);
  if (ret < 0) return ret;

  const AVInputFormat* fmt = nullptr;
  if (!ctx.FormatName.empty()) {
    fmt = av_find_input_format(ctx.FormatName.c_str());
    if (!fmt) {
      FLastErrMsg = "Unknown input format: \"" + ctx.FormatName + "\"";
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return AVERROR(EINVAL);
    }
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) {
    FLastErrMsg = "avformat_alloc_context() failed";
    FFLogger().Log(this, llFatal, FLastErrMsg);
    return AVERROR(ENOMEM);
  }
  // Until avformat_open_input succeeds the context is a bare one.
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> bare(
      raw, [](AVFormatContext* s) { avformat_free_context(s); });

  TAVDictionary& formatOpts = ctx.Group->FormatOpts;
  SetDemuxerOptions(ctx, fmt);
  ForceInputCodecs(ctx, raw);
  raw->flags |= AVFMT_FLAG_NONBLOCK;
  raw->interrupt_callback = ReadInterrupt();
  InstallUnicodeIO(raw);

  ReadStart = av_gettime_relative();
  // An existing file is opened as itself, whatever ':' or '%' its name holds.
  const std::string url = InputFileURL(fileName);
  const bool noPattern = IsExistingFileWithPattern(fileName) && !formatOpts.Value("pattern_type");
  if (noPattern) formatOpts.Set("pattern_type", "none");
  bare.release();  // avformat_open_input frees the context itself on failure
  ret = avformat_open_input(&raw, url.c_str(), fmt, formatOpts.Ref());
  if (noPattern) av_dict_set(formatOpts.Ref(), "pattern_type", nullptr, 0);
  if (ret < 0) {
    FLastErrMsg = ErrorText(fileName, ret);
    FFLogger().Log(this, llFatal, FLastErrMsg);
    return ret;
  }
  TInputFormatPtr ic(raw);
  CheckUnconsumedOptions(formatOpts.Get());

  ret = FindStreamInfo(ctx, ic.get());
  if (ret < 0) {
    FLastErrMsg = fileName + ": could not find codec parameters";
    FFLogger().Log(this, llFatal, FLastErrMsg);
    return ret;
  }

  int64_t timestamp = ctx.StartTime;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (ctx.StartTime != 0) {
    ReadStart = av_gettime_relative();
    ret = avformat_seek_file(ic.get(), -1, INT64_MIN, timestamp, timestamp, 0);
    if (ret < 0)
      FFLogger().LogFmt(this, llWarning, "%s: could not seek to position %0.3f", fileName.c_str(),
                        double(timestamp) / AV_TIME_BASE);
  }

  const size_t firstStream = InputStreams.size();
  AddInputStreams(ctx, ic.get());
  const int fileIndex = static_cast<int>(InputFiles.size());
  av_dump_format(ic.get(), fileIndex, fileName.c_str(), 0);

  if (ic->duration != AV_NOPTS_VALUE && ic->duration > 0) {
    int64_t d = ic->duration - ctx.StartTime;
    if (d > LongestInputDuration) LongestInputDuration = d;
  }

  auto file = std::make_unique<TInputFile>();
  file->FirstStreamIndex = static_cast<int>(firstStream);
  file->TsOffset = ctx.InputTsOffset - (CopyTs ? 0 : timestamp);
  file->StreamCount = static_cast<int>(ic->nb_streams);
  file->RateEmulation = ctx.RateEmulation;
  file->FileName = fileName;
  AVFormatContext* s = ic.get();
  file->FormatContext = std::move(ic);
  InputFiles.push_back(std::move(file));

  for (const TSpecifierValue& e : ctx.DumpAttachments)
    for (unsigned i = 0; i < s->nb_streams; i++)
      if (avformat_match_stream_specifier(s, s->streams[i], e.Specifier.c_str()) == 1)
        DumpAttachment(s->streams[i], e.Str, fileIndex);
  return fileIndex;
}

void TCustomFFmpegOpt::AddInputStreams(TFileOptionsContext& ctx, AVFormatContext* ic) {
  const int fileIndex = static_cast<int>(InputFiles.size());
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    AVStream* st = ic->streams[i];
    AVCodecParameters* par = st->codecpar;
    auto ist = std::make_unique<TInputStream>();
    ist->Stream = st;
    ist->FileIndex = fileIndex;
    ist->Discard = 1;
    st->discard = AVDISCARD_ALL;
    ist->TsScale = MatchPerStreamDouble(ctx.TsScales, ic, st, 1.0);
    std::string tag = MatchPerStreamStr(ctx.CodecTags, ic, st);
    if (!tag.empty()) par->codec_tag = ParseCodecTag(tag);

    std::string name = MatchPerStreamStr(ctx.CodecNames, ic, st);
    if (!name.empty()) {
      ist->Decoder = FindCodecOrDie(name, par->codec_type, false);
      par->codec_id = ist->Decoder->id;
    } else {
      ist->Decoder = avcodec_find_decoder(par->codec_id);
    }
    ist->DecoderOptions = FilterStreamCodecOptions(ctx.Group->CodecOpts.Get(), par->codec_id, ic,
                                                   st, ist->Decoder);
    ist->ReinitFilters = MatchPerStreamInt(ctx.ReinitFilters, ic, st, -1);
    ist->LastRescaleDelta = AV_NOPTS_VALUE;

    // The stream's decoder settings; the transcode loop opens the decoder from them.
    ist->DecoderContext.reset(avcodec_alloc_context3(ist->Decoder));
    if (!ist->DecoderContext) FatalError("av_mallocz() failed");
    if (avcodec_parameters_to_context(ist->DecoderContext.get(), par) < 0)
      FatalError("av_mallocz() failed");
    ist->DecoderContext->pkt_timebase = st->time_base;
    AVCodecContext* dec = ist->DecoderContext.get();

    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        ist->InitialWidth = dec->width;
        ist->InitialHeight = dec->height;
        ist->InitialPixFmt = dec->pix_fmt;
        std::string rate = MatchPerStreamStr(ctx.FrameRates, ic, st);
        if (!rate.empty() && av_parse_video_rate(&ist->FrameRate, rate.c_str()) < 0)
          FatalErrorFmt("Error parsing framerate %s.", rate.c_str());
        ist->TopFieldFirst = MatchPerStreamInt(ctx.TopFieldFirst, ic, st, -1);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        ist->GuessLayoutMax = MatchPerStreamInt(ctx.GuessLayoutMax, ic, st, INT32_MAX);
        InputStreams.push_back(std::move(ist));
        GuessInputChannelLayout(InputStreams.back().get());
        {
          TInputStream* a = InputStreams.back().get();
          a->InitialSampleFmt = a->DecoderContext->sample_fmt;
          a->InitialSampleRate = a->DecoderContext->sample_rate;
          a->InitialChannels = a->DecoderContext->ch_layout.nb_channels;
          a->InitialChannelLayout = TChannelLayout(a->DecoderContext->ch_layout);
        }
        continue;
      case AVMEDIA_TYPE_DATA:
      case AVMEDIA_TYPE_SUBTITLE:
        ist->FixSubDuration = MatchPerStreamInt(ctx.FixSubDuration, ic, st, 0);
        break;
      case AVMEDIA_TYPE_ATTACHMENT:
      case AVMEDIA_TYPE_UNKNOWN:
        break;
      default:
        throw FFmpegException("Never occur");
    }
    InputStreams.push_back(std::move(ist));
  }
}

void TCustomFFmpegOpt::GuessInputChannelLayout(TInputStream* ist) {
  AVCodecContext* dec = ist->DecoderContext.get();
  if (dec->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) return;
  const int channels = dec->ch_layout.nb_channels;
  if (channels <= 0 || channels > ist->GuessLayoutMax) return;
  AVChannelLayout guess{};
  av_channel_layout_default(&guess, channels);
  if (guess.order != AV_CHANNEL_ORDER_NATIVE) {
    av_channel_layout_uninit(&guess);
    return;
  }
  av_channel_layout_uninit(&dec->ch_layout);
  dec->ch_layout = guess;
  char text[256];
  av_channel_layout_describe(&guess, text, sizeof text);
  FFLogger().LogFmt(this, llWarning, "Guessed Channel Layout for  Input Stream #%d.%d : %s",
                    ist->FileIndex, ist->Stream->index, text);
}

void TCustomFFmpegOpt::DumpAttachment(AVStream* st, const std::string& fileName, int fileIndex) {
  const AVCodecParameters* par = st->codecpar;
  if (!par->extradata_size || !par->extradata) {
    FFLogger().LogFmt(this, llWarning, "No extradata to dump in stream #%d:%d.", fileIndex,
                      st->index);
    return;
  }
  std::string name = fileName;
  if (name.empty()) name = MetadataValue(st->metadata, "filename");
  if (name.empty())
    FatalErrorFmt("No filename specified and no \"filename\" tag in stream #%d:%d.", fileIndex,
                  st->index);
  if (!CheckOverwrite(name)) return;
  // Never onto one of the task's inputs; a stopped dump leaves what was there.
  const std::vector<std::string> inputs = InputFileNames();
  WriteStart = av_gettime_relative();
  std::string err;
  if (!SafeWriteFile(name, par->extradata, static_cast<size_t>(par->extradata_size), inputs,
                     FileOverwrite && !NoFileOverwrite, &err)) {
    FFLogger().LogFmt(this, llError, "Could not open file %s for writing.", name.c_str());
    if (!err.empty()) FFLogger().Log(this, llError, err);
  }
  WriteStart = kNotTiming;
}

// ---------------------------------------------------------------------------------------------
// Reading while the task runs

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
      if (ist->DecodingNeeded) {
        ProcessInputPacket(ist, nullptr);
        // Whatever the draining gave, nothing more comes from this stream.
        CloseFilterInputs(ist);
      }
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
    WarnNewStream(f, fileIndex, pkt);
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
    TInputStreamRun& s = ist->Run;
    if (!ist->DecodingNeeded) continue;
    ProcessInputPacket(ist, nullptr);
    CloseFilterInputs(ist);
    s.JoinFlushed = true;
  }
  ReapFilters(true);
  for (int k = 0; k < f->StreamCount; k++) {
    const size_t idx = static_cast<size_t>(f->FirstStreamIndex + k);
    TInputStreamRun& s = InputStreams[idx]->Run;
    if (!s.DecoderOpen || s.DecoderClosed) continue;
    s.DecoderClosed = true;
    avcodec_flush_buffers(InputStreams[idx]->DecoderContext.get());
  }
  const size_t oldFirst = FActiveFirst, oldEnd = FActiveEnd;
  int64_t position = 0;
  for (size_t i = oldFirst; i < oldEnd; i++)
    if (OutputStreams[i]->Run.MuxEndUs != AV_NOPTS_VALUE)
      position = std::max(position, OutputStreams[i]->Run.MuxEndUs);
  const TOutputFile* of = OutputFiles[static_cast<size_t>(FCurrentInput)].get();
  FCurrentInput++;
  SetActiveRange(FCurrentInput);
  for (size_t k = 0; oldFirst + k < oldEnd && FActiveFirst + k < FActiveEnd; k++) {
    TOutputStream* from = OutputStreams[oldFirst + k].get();
    TOutputStream* to = OutputStreams[FActiveFirst + k].get();
    TOutputStreamRun& a = from->Run;
    TOutputStreamRun& b = to->Run;
    b = a;
    b.Flushed = false;
    b.Unavailable = false;
    b.FirstWritten = false;  // a copy starts again at a key frame
    b.CopyRescaleDelta = AV_NOPTS_VALUE;
    if (a.EncoderOpen) {
      // The open encoder is now this stream's.
      a.EncoderOpen = false;
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

// A stream the demuxer found after the task was built has no output: its packets are dropped,
// and said so once.
void TCustomFFmpeg::WarnNewStream(TInputFile* f, int fileIndex, const AVPacket* pkt) {
  const size_t index = static_cast<size_t>(pkt->stream_index);
  if (index < f->NewStreamsWarned.size() && f->NewStreamsWarned[index]) return;
  if (index >= f->NewStreamsWarned.size()) f->NewStreamsWarned.resize(index + 1, false);
  f->NewStreamsWarned[index] = true;
  AVStream* st = f->FormatContext->streams[index];
  const char* type = av_get_media_type_string(st->codecpar->codec_type);
  char dts[AV_TS_MAX_STRING_SIZE] = {};
  av_ts_make_time_string(dts, pkt->dts, &st->time_base);
  FFLogger().LogFmt(this, llWarning, "New %s stream %d:%d at pos:%" PRId64 " and DTS:%ss\n",
                    type ? type : "unknown", fileIndex, pkt->stream_index, pkt->pos, dts);
}

// Timestamps that wrapped (fewer than 64 bits, e.g. the 33 of MPEG-TS) are brought back below
// the file's start; before the first packet of a stream, a start time that only unused streams
// hold earlier is moved to the first stream in use.
void TCustomFFmpeg::CorrectWrap(TInputStream* ist, TInputFile* f, AVPacket* pkt) {
  AVFormatContext* ic = f->FormatContext.get();
  AVStream* st = ist->Stream;
  TInputStreamRun& s = ist->Run;
  if (s.WrapChecked || ic->start_time == AV_NOPTS_VALUE || st->pts_wrap_bits >= 64) return;
  if (s.NextDts == AV_NOPTS_VALUE && f->TsOffset == -ic->start_time &&
      (ic->iformat->flags & AVFMT_TS_DISCONT)) {
    int64_t first = INT64_MAX;
    for (int k = 0; k < f->StreamCount; k++) {
      const TInputStream* other = InputStreams[static_cast<size_t>(f->FirstStreamIndex + k)].get();
      const AVStream* o = other->Stream;
      if (other->Discard || o->start_time == AV_NOPTS_VALUE) continue;
      first = std::min(first, av_rescale_q(o->start_time, o->time_base, AV_TIME_BASE_Q));
    }
    if (first != INT64_MAX && first > ic->start_time) {
      FFLogger().LogFmt(this, llVerbose, "Correcting start time by %" PRId64 "\n",
                        first - ic->start_time);
      ic->start_time = first;
      f->TsOffset = -first;
    }
  }
  s.WrapChecked = true;
  const int64_t start = av_rescale_q(ic->start_time, AV_TIME_BASE_Q, st->time_base);
  const int64_t half = int64_t(1) << (st->pts_wrap_bits - 1);
  const int64_t full = int64_t(1) << st->pts_wrap_bits;
  // Once a packet needed it, the next ones are looked at too.
  if (pkt->dts != AV_NOPTS_VALUE && pkt->dts > start + half) {
    pkt->dts -= full;
    s.WrapChecked = false;
  }
  if (pkt->pts != AV_NOPTS_VALUE && pkt->pts > start + half) {
    pkt->pts -= full;
    s.WrapChecked = false;
  }
}

void TCustomFFmpeg::RepairTimestamps(TInputStream* ist, TInputFile* f, AVPacket* pkt) {
  AVStream* st = ist->Stream;
  TInputStreamRun& s = ist->Run;
  CorrectWrap(ist, f, pkt);
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
