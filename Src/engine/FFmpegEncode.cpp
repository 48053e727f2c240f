// Encoding. Owns each output stream's encoder set-up (stream-copy parameters, frame rate and
// sizes from the graph's sink, forced key frames, pass-1 logs, the video statistics file),
// the frame-rate conversion and recording-time limit of filtered frames, subtitle encoding and
// the final flush; every packet it makes goes to the output stage's WritePacket.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "engine/CopyTimeBase.h"
#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavutil/eval.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/parseutils.h>
}

namespace {

// Decoder ticks per frame (2 where the codec counts fields), from a decoder opened aside.
int TicksPerFrame(const AVCodecParameters* par) {
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec || par->codec_type != AVMEDIA_TYPE_VIDEO) return 1;
  TCodecContextPtr dec(avcodec_alloc_context3(codec));
  if (!dec || avcodec_parameters_to_context(dec.get(), par) < 0) return 1;
  dec->thread_count = 1;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) return 1;
  return dec->ticks_per_frame > 0 ? dec->ticks_per_frame : 1;
}

}  // namespace

AVRational TCustomFFmpeg::CopiedTimeBase(const TInputStream* ist, const TOutputStream* ost) {
  const AVOutputFormat* fmt = FileOf(ost)->FormatContext()->oformat;
  AVStream* st = ist->Stream;
  TCopyTiming t;
  t.Muxer = fmt->name;
  t.MuxerFlags = fmt->flags;
  t.StreamTb = st->time_base;
  t.CodecTb = av_stream_get_codec_timebase(st);
  if (t.CodecTb.den <= 0) t.CodecTb = AVRational{0, 1};
  t.TicksPerFrame = TicksPerFrame(st->codecpar);
  t.RealRate = st->r_frame_rate;
  t.AvgRate = st->avg_frame_rate;
  t.Timecode = st->codecpar->codec_tag == MKTAG('t', 'm', 'c', 'd');
  t.ForcedRate = ost->FrameRate;
  t.CopyTb = CopyTb;
  return ChooseCopyTimeBase(t);
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
  ost->Stream->time_base = CopiedTimeBase(ist, ost);
  if (!CopyStreamSideData(ist->Stream, ost->Stream)) throw FFmpegException("av_mallocz() failed");
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
      // The container's aspect ratio wins; muxers refuse a stream whose two values differ.
      if (ist->Stream->sample_aspect_ratio.num)
        par->sample_aspect_ratio = ist->Stream->sample_aspect_ratio;
      ost->Stream->sample_aspect_ratio = par->sample_aspect_ratio;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT:
      break;
    default:
      throw FFmpegException("invalid codec_type of output stream");
  }
}

int TCustomFFmpeg::InitOutputStream(TOutputStream* ost) {
  const AVMediaType type = ost->Stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_ATTACHMENT) {
    ost->Finished = 1;
    return 0;
  }
  if (ost->StreamCopy) return InitCopiedStream(ost);
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
  if (type == AVMEDIA_TYPE_VIDEO) return InitVideoEncoder(ost);
  InitAudioEncoder(ost);
  return 0;
}

// A copied stream: its parameters come from the input stream, or for a joined input's block
// from the first input's, whose codec it must have.
int TCustomFFmpeg::InitCopiedStream(TOutputStream* ost) {
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

// The video encoder takes the frame rate asked for (else the graph's or the input's), and the
// size and formats of the graph's sink.
int TCustomFFmpeg::InitVideoEncoder(TOutputStream* ost) {
  AVFormatContext* oc = FileOf(ost)->FormatContext();
  AVCodecContext* enc = ost->Codec();
  AVFilterContext* sink = ost->Filter->Filter;
  TInputStream* src =
      ost->SourceIndex >= 0 ? InputStreams[static_cast<size_t>(ost->SourceIndex)].get() : nullptr;
  TOutputStreamRun& os = ost->Run;
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
  if (int r = ParseForcedKeyFrames(ost); r < 0) return r;
  return 0;
}

void TCustomFFmpeg::InitAudioEncoder(TOutputStream* ost) {
  AVCodecContext* enc = ost->Codec();
  AVFilterContext* sink = ost->Filter->Filter;
  enc->sample_fmt = static_cast<AVSampleFormat>(av_buffersink_get_format(sink));
  enc->sample_rate = av_buffersink_get_sample_rate(sink);
  av_channel_layout_uninit(&enc->ch_layout);
  if (av_buffersink_get_ch_layout(sink, &enc->ch_layout) < 0)
    throw FFmpegException("av_mallocz() failed");
  enc->time_base = AVRational{1, enc->sample_rate};
  ost->Stream->time_base = enc->time_base;
}

// Forced key frames: an expression ("expr:") or a list of times, where "chapters" (with an
// optional shift after it) stands for the start of every chapter of the output.
int TCustomFFmpeg::ParseForcedKeyFrames(TOutputStream* ost) {
  const std::string& text = ost->ForcedKeyFrames;
  if (text.empty()) return 0;
  TOutputStreamRun& os = ost->Run;
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
  TOutputStreamRun& os = ost->Run;
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
  TOutputStreamRun& os = ost->Run;
  const char* stats = ost->Codec()->stats_out;
  if (!os.PassLog || !stats) return;
  FILE* f = os.PassLog->Stream();
  if (f && std::fputs(stats, f) < 0)
    throw FFmpegException(FormatText("Cannot write log file %s for pass-1 encoding",
                                     os.PassLogName.c_str()));
}

// Quality statistics: quality (32 bits), picture type, count of error values, two reserved
// bytes, then the squared error of each plane (64 bits each).
void TCustomFFmpeg::AddPsnrErrors(TOutputStreamRun& os, const uint8_t* stats, size_t size) {
  const int planes = size >= 6 ? std::min<int>(stats[5], 4) : 0;
  int given = 0;
  for (; given < planes && size >= 16 + 8 * static_cast<size_t>(given); given++)
    os.PsnrErrors[given] += AV_RL64(stats + 8 + 8 * given);
  if (given == 0) return;
  os.PsnrPlanes = given;
  os.PsnrPictures++;
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
  TOutputStreamRun& os = ost->Run;
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
  for (auto& ost : OutputStreams) {
    TOutputStreamRun& os = ost->Run;
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
  for (auto& ost : OutputStreams) ost->Run.PassLog.reset();
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
  ost->Run.EncoderOpen = true;
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

// ---------------------------------------------------------------------------------------------
// Frames to packets

bool TCustomFFmpeg::CheckRecordingTime(TOutputStream* ost) {
  const TOutputFile* of = FileOf(ost);
  if (of->Duration != INT64_MAX &&
      av_compare_ts(ost->Run.Sync, ost->Codec()->time_base, of->Duration, kMicro) >= 0) {
    CloseOutputStream(ost);
    return false;
  }
  return true;
}

void TCustomFFmpeg::CloseOutputStream(TOutputStream* ost) {
  ost->Finished = 1;
}

// Whether the picture at pts (encoder ticks; ptsTime in seconds) is forced to be a key frame.
bool TCustomFFmpeg::ForcedKeyFrame(TOutputStreamRun& os, int64_t pts, double ptsTime) {
  bool forced = false;
  if (os.ForcedIndex < os.ForcedKeyFrames.size() && pts >= os.ForcedKeyFrames[os.ForcedIndex]) {
    while (os.ForcedIndex < os.ForcedKeyFrames.size() && os.ForcedKeyFrames[os.ForcedIndex] <= pts)
      os.ForcedIndex++;
    forced = true;
  } else if (os.ForcedExpr) {
    double* v = os.ForcedVars;  // n, n_forced, prev_forced_n, prev_forced_t, t
    v[4] = ptsTime;
    const double res = av_expr_eval(os.ForcedExpr.get(), v, nullptr);
    FFLogger().LogFmt(this, llDebug,
                      "force_key_frame: n:%f n_forced:%f prev_forced_n:%f t:%f "
                      "prev_forced_t:%f -> res:%f",
                      v[0], v[1], v[2], v[4], v[3], res);
    if (res) {
      forced = true;
      v[2] = v[0];
      v[3] = v[4];
      v[1] += 1;
    }
    v[0] += 1;
  }
  return forced;
}

// How long a picture lasts in encoder ticks: one tick (the encoder time base is the frame
// period), or what its packet lasted when the graph only converts the pictures, so a picture
// of a slower source fills its own time at the output rate.
double TCustomFFmpeg::PictureTicks(const TOutputStream* ost, const AVFrame* frame) const {
  if (ost->SourceIndex < 0 || frame->pkt_duration <= 0 || ost->FilterGraphText != "null")
    return 1.0;
  const AVStream* st = InputStreams[static_cast<size_t>(ost->SourceIndex)]->Stream;
  const double ticks = std::rint(static_cast<double>(frame->pkt_duration) *
                                 av_q2d(st->time_base) / av_q2d(ost->Codec()->time_base));
  return ticks > 0 ? ticks : 1.0;
}

void TCustomFFmpeg::DoVideoOut(TOutputStream* ost, AVFrame* frame) {
  TOutputStreamRun& os = ost->Run;
  AVCodecContext* enc = ost->Codec();
  int64_t nb = 1;
  if (frame->pts != AV_NOPTS_VALUE) {
    const double pts = static_cast<double>(frame->pts);
    const double duration = PictureTicks(ost, frame);
    const double delta = pts - static_cast<double>(os.Sync) + duration;
    switch (os.VSync) {
      case vsCfr:
        if (delta < -1.1)
          nb = 0;
        else if (delta > 1.1)
          nb = std::llround(delta);
        break;
      case vsVfr:
        if (delta <= -0.6)
          nb = 0;
        else if (delta > 0.6)
          os.Sync = std::llround(pts);
        break;
      case vsPassThrough:
      case vsDrop:
        os.Sync = std::llround(pts);
        break;
      default:
        throw FFmpegException("Never occur");
    }
  }
  nb = std::min(nb, ost->MaxFrames - os.FrameCount);
  if (nb <= 0) {
    DropFrames++;
    FDupDropNew = true;
    FFLogger().Log(this, llVerbose, "*** drop!");
    return;
  }
  if (nb > 1) {
    if (nb > 30 * static_cast<int64_t>(DtsErrorThreshold)) {
      FFLogger().LogFmt(this, llError, "%" PRId64 " frame duplication too large, skipping",
                        nb - 1);
      DropFrames++;
      return;
    }
    DupFrames += static_cast<int>(nb - 1);
    FDupDropNew = true;
    FFLogger().LogFmt(this, llVerbose, "*** %d dup!", static_cast<int>(nb - 1));
  }
  for (int64_t k = 0; k < nb && !Broken; k++) {
    frame->pts = os.Sync;
    if (!CheckRecordingTime(ost)) return;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->key_frame = 0;
    // A fixed quantizer reaches the encoder with each picture.
    frame->quality = enc->global_quality;
    const double ptsTime = frame->pts * av_q2d(enc->time_base);
    if (ForcedKeyFrame(os, frame->pts, ptsTime)) {
      frame->pict_type = AV_PICTURE_TYPE_I;
      FFLogger().LogFmt(this, llDebug, "Forced keyframe at time %f", ptsTime);
    }
    const int number = static_cast<int>(os.FrameCount + 1);
    const int64_t ptsUs = av_rescale_q(os.Sync, enc->time_base, kMicro);
    AVFrame* pic = OutputHooks(frame, number, ptsUs);
    if (FPreviewFlags) DoPreview(pic, number, ptsUs);
    EncodeAndWrite(ost, pic);
    if (pic != frame) av_frame_unref(pic);
    os.Sync++;
    os.FrameCount++;
  }
}

void TCustomFFmpeg::DoAudioOut(TOutputStream* ost, AVFrame* frame) {
  TOutputStreamRun& os = ost->Run;
  if (!CheckRecordingTime(ost)) return;
  if (frame->pts == AV_NOPTS_VALUE || AudioSyncMethod < 0) frame->pts = os.Sync;
  os.Sync = frame->pts + frame->nb_samples;
  const AVCodecContext* enc = ost->Codec();
  RunAudioHook(true, frame, enc->ch_layout.nb_channels, enc->sample_rate,
               av_rescale_q(frame->pts, enc->time_base, kMicro));
  EncodeAndWrite(ost, frame);
}

void TCustomFFmpeg::DoSubtitleOut(TOutputStream* ost, const AVSubtitle& in) {
  if (in.pts == AV_NOPTS_VALUE) {
    FFLogger().Log(this, llError, "Subtitle packets must have a pts");
    if (ExitOnError) throw FFmpegException("Subtitle packets must have a pts");
    return;
  }
  AVCodecContext* enc = ost->Codec();
  const TOutputFile* of = FileOf(ost);
  const int64_t start = of->StartTime == AV_NOPTS_VALUE ? 0 : of->StartTime;
  // Output time of what is shown, in microseconds.
  AVSubtitle sub = in;
  int64_t from = in.pts - start + int64_t(in.start_display_time) * 1000;
  int64_t to = in.pts - start + int64_t(in.end_display_time) * 1000;
  if (in.end_display_time == 0 || in.end_display_time == UINT32_MAX) to = INT64_MAX;
  if (to <= 0) return;  // over before the output starts
  if (from < 0) from = 0;
  if (of->Duration != INT64_MAX) {
    if (from >= of->Duration) {
      CloseOutputStream(ost);
      return;
    }
    to = std::min(to, of->Duration);
  }
  TOutputStreamRun& os = ost->Run;
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int parts = dvb ? 2 : 1;  // DVB: one packet draws, a second one clears
  const uint32_t shown =
      to == INT64_MAX ? UINT32_MAX : static_cast<uint32_t>((to - from + 999) / 1000);
  if (FSubtitleBuffer.empty()) FSubtitleBuffer.resize(1024 * 1024);
  for (int part = 0; part < parts; part++) {
    sub.pts = from;
    sub.start_display_time = 0;
    sub.end_display_time = shown;
    if (part == 1) sub.num_rects = 0;
    os.Sync = av_rescale_q(from, kMicro, enc->time_base);
    const int size = avcodec_encode_subtitle(enc, FSubtitleBuffer.data(),
                                             static_cast<int>(FSubtitleBuffer.size()), &sub);
    if (size < 0) throw FFmpegException("Subtitle encoding failed");
    AVPacket* pkt = FOutPacket.get();
    if (av_new_packet(pkt, size) < 0) throw FFmpegException("av_malloc failed");
    std::memcpy(pkt->data, FSubtitleBuffer.data(), static_cast<size_t>(size));
    const AVRational tb = ost->Stream->time_base;
    pkt->pts = av_rescale_q(from, kMicro, tb);
    if (shown != UINT32_MAX) pkt->duration = av_rescale_q(shown, AVRational{1, 1000}, tb);
    if (dvb && part == 1 && shown != UINT32_MAX)
      pkt->pts += av_rescale_q(shown, AVRational{1, 1000}, tb);
    pkt->dts = pkt->pts;
    SubtitleSize += size;
    WritePacket(ost, pkt);
  }
}

void TCustomFFmpeg::EncodeAndWrite(TOutputStream* ost, AVFrame* frame) {
  AVCodecContext* enc = ost->Codec();
  TOutputStreamRun& os = ost->Run;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  int ret = avcodec_send_frame(enc, frame);
  if (ret < 0 && ret != AVERROR_EOF)
    throw FFmpegException(video ? "Video encoding failed"
                                : "Audio encoding failed (avcodec_encode_audio2)");
  for (;;) {
    AVPacket* pkt = FOutPacket.get();
    ret = avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0)
      throw FFmpegException(video ? "Video encoding failed"
                                  : "Audio encoding failed (avcodec_encode_audio2)");
    if (video) {
      if (pkt->pts == AV_NOPTS_VALUE && !(ost->Encoder->capabilities & AV_CODEC_CAP_DELAY))
        pkt->pts = os.Sync;
      size_t size = 0;
      if (const uint8_t* q = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &size);
          q && size >= 4) {
        os.Quality = static_cast<float>(AV_RL32(q)) / FF_QP2LAMBDA;
        if (enc->flags & AV_CODEC_FLAG_PSNR) AddPsnrErrors(os, q, size);
      }
    }
    av_packet_rescale_ts(pkt, enc->time_base, ost->Stream->time_base);
    (video ? VideoSize : AudioSize) += pkt->size;
    WritePassStats(ost);
    if (video) WriteVideoStats(ost, pkt);
    WritePacket(ost, pkt);
  }
}

void TCustomFFmpeg::FlushEncoders() {
  for (size_t i = FActiveFirst; i < FActiveEnd; i++) {
    TOutputStream* ost = OutputStreams[i].get();
    TOutputStreamRun& os = ost->Run;
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
