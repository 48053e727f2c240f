// The output streams of an output being opened: the choice of input streams ("map",
// "map_channel" or the automatic choice) and the output stream records with their encoder
// settings per media type. The output stage opens the file around them; the encode stage
// sets the encoders up from these records when the task runs.
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FFmpegOpt.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
}

#include "runtime/MediaTexts.h"

uint32_t EngineParseCodecTag(const std::string& text);

namespace {

// The first codec that the container can hold and this build can encode, for a default codec
// that has no encoder here.
const AVCodec* FirstEncodableCodec(const AVOutputFormat* of, AVMediaType type) {
  const AVCodec* found = nullptr;
  void* it = nullptr;
  while (const AVCodec* c = av_codec_iterate(&it)) {
    if (!av_codec_is_encoder(c) || c->type != type) continue;
    if (avformat_query_codec(of, c->id, FF_COMPLIANCE_NORMAL) != 1) continue;
    if (c->capabilities & AV_CODEC_CAP_EXPERIMENTAL) {
      if (!found) found = c;  // only when nothing else fits
      continue;
    }
    return c;
  }
  return found;
}

void FreeCodecContext(AVCodecContext* c) { avcodec_free_context(&c); }

// 64 comma-separated coefficients.
bool ParseMatrix(const std::string& text, uint16_t* out, int* badCoeff) {
  const char* p = text.c_str();
  for (int i = 0; i < 64; i++) {
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p) {
      *badCoeff = i;
      return false;
    }
    out[i] = static_cast<uint16_t>(v);
    p = end;
    if (i < 63) {
      if (*p != ',') {
        *badCoeff = i;
        return false;
      }
      p++;
    }
  }
  return true;
}

// "start,end,q" ranges separated by '/': a positive q is a quantizer, a negative one a
// percentage of the quality. False at the first range that does not parse.
bool ParseRcOverrides(const std::string& rc, std::vector<RcOverride>* out) {
  size_t p = 0;
  while (p <= rc.size()) {
    size_t slash = rc.find('/', p);
    if (slash == std::string::npos) slash = rc.size();
    std::string item = rc.substr(p, slash - p);
    p = slash + 1;
    int start = 0, end = 0, qv = 0;
    if (std::sscanf(item.c_str(), "%d,%d,%d", &start, &end, &qv) != 3) return false;
    RcOverride o{};
    o.start_frame = start;
    o.end_frame = end;
    if (qv > 0) {
      o.qscale = qv;
      o.quality_factor = 1.0f;
    } else {
      o.qscale = 0;
      o.quality_factor = -qv / 100.0f;
    }
    out->push_back(o);
  }
  return true;
}

// Allocates the bitstream filters of a comma-separated list in order; the error text of the
// first one that fails, else an empty text.
std::string AddBitstreamFilters(const std::string& bsfs, std::vector<TBSFContextPtr>& out) {
  size_t pos = 0;
  while (!bsfs.empty() && pos <= bsfs.size()) {
    size_t comma = bsfs.find(',', pos);
    if (comma == std::string::npos) comma = bsfs.size();
    std::string one = bsfs.substr(pos, comma - pos);
    pos = comma + 1;
    const AVBitStreamFilter* f = av_bsf_get_by_name(one.c_str());
    AVBSFContext* b = nullptr;
    if (!f) return "Unknown bitstream filter \"" + std::string(one.c_str()) + "\"";
    if (av_bsf_alloc(f, &b) < 0) return "av_mallocz() failed";
    out.emplace_back(b);
  }
  return std::string();
}

// Picked automatically, a subtitle stream must be of the kind (text or bitmap) that the
// output's subtitle encoder takes: a bitmap track into a text-only encoder fails the job.
bool SubtitleFits(AVCodecID source, const AVOutputFormat* of, const std::string& encoderName) {
  if (encoderName == "copy") return true;
  AVCodecID target = of->subtitle_codec;
  if (!encoderName.empty()) {
    const AVCodec* enc = avcodec_find_encoder_by_name(encoderName.c_str());
    if (!enc) return true;  // an unknown name fails later with its own message
    target = enc->id;
  }
  const AVCodecDescriptor* in = avcodec_descriptor_get(source);
  const AVCodecDescriptor* out = avcodec_descriptor_get(target);
  const int kinds = AV_CODEC_PROP_TEXT_SUB | AV_CODEC_PROP_BITMAP_SUB;
  if (!in || !out || !(in->props & kinds) || !(out->props & kinds)) return true;
  return (in->props & out->props & kinds) != 0;
}

}  // namespace

int TCustomFFmpegOpt::OptMap(TFileOptionsContext* ctx, const std::string& /*name*/,
                             const std::string& arg) {
  TStreamMapRequest m;
  std::string text = arg;
  if (!text.empty() && text[0] == '-') {
    m.Negative = true;
    text.erase(0, 1);
  }
  m.Text = text;
  std::string sel = text;
  int syncFile = -1, syncStream = -1;
  size_t comma = text.find(',');
  if (comma != std::string::npos) {
    std::string sync = text.substr(comma + 1);
    sel = text.substr(0, comma);
    char* end = nullptr;
    long n = std::strtol(sync.c_str(), &end, 0);
    m.HasSync = true;
    m.SyncFileIndex = static_cast<int>(std::max<long>(std::min<long>(n, INT32_MAX), INT32_MIN));
    m.SyncSpecifier = *end ? std::string(end + 1) : std::string();
    if (m.SyncFileIndex < 0 || m.SyncFileIndex >= static_cast<int>(InputFiles.size()))
      FatalErrorFmt("Invalid sync file index: %d.", m.SyncFileIndex);
    AVFormatContext* s = InputFiles[m.SyncFileIndex]->FormatContext.get();
    for (int i = 0; i < InputFiles[m.SyncFileIndex]->StreamCount; i++) {
      int r = avformat_match_stream_specifier(s, s->streams[i], m.SyncSpecifier.c_str());
      if (r < 0) FatalError(ErrorText("check_stream_specifier", r));
      if (r == 1) {
        syncFile = m.SyncFileIndex;
        syncStream = i;
        break;
      }
    }
    if (syncStream < 0)
      FatalErrorFmt("Sync stream specification in map %s does not match any streams.",
                    text.c_str());
  }
  const size_t before = ctx->StreamMaps.size();
  if (!sel.empty() && sel[0] == '[') {
    const char* p = sel.c_str() + 1;
    std::unique_ptr<char, TAVBufferFree> label(av_get_token(&p, "]"));
    bool ok = label && *label;
    if (ok) m.LinkLabel = label.get();
    if (!ok) FatalErrorFmt("Invalid output link label: %s.", sel.c_str());
    TStreamMap map;
    map.LinkLabel = m.LinkLabel;
    ctx->StreamMaps.push_back(map);
  } else {
    char* end = nullptr;
    long n = std::strtol(sel.c_str(), &end, 0);
    m.FileIndex = static_cast<int>(std::max<long>(std::min<long>(n, INT32_MAX), INT32_MIN));
    if (*end == ':') end++;
    m.Specifier = end;
    if (end == sel.c_str() || m.FileIndex < 0 ||
        m.FileIndex >= static_cast<int>(InputFiles.size()))
      FatalErrorFmt("Invalid input file index: %d.", m.FileIndex);
    TInputFile* f = InputFiles[m.FileIndex].get();
    AVFormatContext* s = f->FormatContext.get();
    if (m.Negative) {
      for (TStreamMap& sm : ctx->StreamMaps) {
        if (sm.FileIndex != m.FileIndex || !sm.LinkLabel.empty()) continue;
        int r = avformat_match_stream_specifier(s, s->streams[sm.StreamIndex], m.Specifier.c_str());
        if (r < 0) FatalError(ErrorText("check_stream_specifier", r));
        if (r > 0) sm.Disabled = 1;
      }
    } else {
      for (int i = 0; i < f->StreamCount; i++) {
        int r = avformat_match_stream_specifier(s, s->streams[i], m.Specifier.c_str());
        if (r < 0) FatalError(ErrorText("check_stream_specifier", r));
        if (r <= 0) continue;
        TStreamMap map;
        map.FileIndex = m.FileIndex;
        map.StreamIndex = i;
        map.SyncFileIndex = syncStream >= 0 ? syncFile : m.FileIndex;
        map.SyncStreamIndex = syncStream >= 0 ? syncStream : i;
        ctx->StreamMaps.push_back(map);
      }
    }
  }
  if (ctx->StreamMaps.empty() && before == 0)
    FatalErrorFmt("Stream map \"%s\" matches no streams.", text.c_str());
  ctx->StreamMapRequests.push_back(std::move(m));
  return 0;
}

int TCustomFFmpegOpt::OptMapChannel(TFileOptionsContext* ctx, const std::string& /*name*/,
                                    const std::string& arg) {
  TAudioChannelMap m;
  int n = std::sscanf(arg.c_str(), "%d:%d.%d", &m.ChannelIndex, &m.OutputFileIndex,
                      &m.OutputStreamIndex);
  if ((n == 1 || n == 3) && m.ChannelIndex == -1) {
    m.FileIndex = -1;
    m.StreamIndex = -1;
    if (n == 1) {
      m.OutputFileIndex = -1;
      m.OutputStreamIndex = -1;
    }
    ctx->AudioChannelMaps.push_back(m);
    return 0;
  }
  m = TAudioChannelMap();
  n = std::sscanf(arg.c_str(), "%d.%d.%d:%d.%d", &m.FileIndex, &m.StreamIndex, &m.ChannelIndex,
                  &m.OutputFileIndex, &m.OutputStreamIndex);
  if (n != 3 && n != 5)
    FatalError("Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]");
  if (n == 3) {
    m.OutputFileIndex = -1;
    m.OutputStreamIndex = -1;
  }
  if (m.FileIndex < 0 || m.FileIndex >= static_cast<int>(InputFiles.size()))
    FatalErrorFmt("mapchan: invalid input file index: %d", m.FileIndex);
  TInputFile* f = InputFiles[m.FileIndex].get();
  if (m.StreamIndex < 0 || m.StreamIndex >= f->StreamCount)
    FatalErrorFmt("mapchan: invalid input file stream index #%d.%d", m.FileIndex, m.StreamIndex);
  AVStream* st = f->FormatContext->streams[m.StreamIndex];
  if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
    FatalErrorFmt("mapchan: stream #%d.%d is not an audio stream.", m.FileIndex, m.StreamIndex);
  if (m.ChannelIndex < 0 || m.ChannelIndex >= st->codecpar->ch_layout.nb_channels)
    FatalErrorFmt("mapchan: invalid audio channel #%d.%d.%d", m.FileIndex, m.StreamIndex,
                  m.ChannelIndex);
  ctx->AudioChannelMaps.push_back(m);
  return 0;
}

TOutputStream* TCustomFFmpegOpt::NewOutputStream(TFileOptionsContext& ctx, AVFormatContext* oc,
                                                 AVMediaType type, int source) {
  AVStream* st = avformat_new_stream(oc, nullptr);
  if (!st) FatalError("Could not alloc stream.");
  if (st->index < static_cast<int>(ctx.StreamIdMap.size()))
    st->id = ctx.StreamIdMap[static_cast<size_t>(st->index)];
  st->codecpar->codec_type = type;

  auto owned = std::make_unique<TOutputStream>();
  TOutputStream* ost = owned.get();
  OutputStreams.push_back(std::move(owned));
  ost->FileIndex = static_cast<int>(OutputFiles.size());
  ost->Index = st->index;
  ost->Stream = st;
  ost->FirstPts = AV_NOPTS_VALUE;
  ost->LastMuxDts = AV_NOPTS_VALUE;

  AVCodecID id = AV_CODEC_ID_NONE;
  std::string name = MatchPerStreamStr(ctx.CodecNames, oc, st);
  if (name.empty()) {
    id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
    ost->Encoder = avcodec_find_encoder(id);
    if (!ost->Encoder && id != AV_CODEC_ID_NONE &&
        (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO ||
         type == AVMEDIA_TYPE_SUBTITLE)) {
      // The container's default codec cannot be encoded in this build (3gp's amr_nb): take
      // the first codec the container holds that can be.
      if (const AVCodec* alt = FirstEncodableCodec(oc->oformat, type)) {
        FFLogger().LogFmt(this, llWarning,
                          "No encoder for the default %s codec \"%s\" of format \"%s\"; using "
                          "\"%s\" instead.",
                          av_get_media_type_string(type), avcodec_get_name(id),
                          oc->oformat->name, alt->name);
        ost->Encoder = alt;
        id = alt->id;
      }
    }
  } else if (name == "copy") {
    ost->StreamCopy = 1;
    if (source >= 0) id = InputStreams[static_cast<size_t>(source)]->Stream->codecpar->codec_id;
  } else {
    ost->Encoder = FindCodecOrDie(name, type, true);
    id = ost->Encoder->id;
  }
  st->codecpar->codec_id = id;

  ost->EncoderOptions =
      FilterStreamCodecOptions(ctx.Group->CodecOpts.Get(), id, oc, st, ost->Encoder);
  AVCodecContext* enc = avcodec_alloc_context3(ost->Encoder);
  if (!enc) FatalError("av_mallocz() failed");
  ost->EncoderContext = std::shared_ptr<AVCodecContext>(enc, FreeCodecContext);
  enc->codec_type = type;
  enc->codec_id = id;

  ost->MaxFrames = MatchPerStreamInt64(ctx.MaxFrames, oc, st, INT64_MAX);
  ost->CopyPriorStart = MatchPerStreamInt(ctx.CopyPriorStart, oc, st, -1);

  ost->BitstreamFilters = std::make_shared<std::vector<TBSFContextPtr>>();
  const std::string bsfError =
      AddBitstreamFilters(MatchPerStreamStr(ctx.BitstreamFilters, oc, st), *ost->BitstreamFilters);
  if (!bsfError.empty()) FatalError(bsfError);

  std::string tag = MatchPerStreamStr(ctx.CodecTags, oc, st);
  if (!tag.empty()) {
    enc->codec_tag = EngineParseCodecTag(tag);
    st->codecpar->codec_tag = enc->codec_tag;
  }
  double q = MatchPerStreamDouble(ctx.QScales, oc, st, -1.0);
  if (q >= 0) {
    enc->flags |= AV_CODEC_FLAG_QSCALE;
    enc->global_quality = static_cast<int>(std::trunc(FF_QP2LAMBDA * q));
  }
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  TOptionGroup& g = *ctx.Group;
  int64_t swsFlags = FOptions.SwsFlags();
  if (g.SwsOpts) av_opt_get_int(g.SwsOpts.get(), "sws_flags", 0, &swsFlags);
  ost->ScalerFlags = swsFlags;
  ost->ResamplerOptions.CopyFrom(g.SwrOpts.Get());
  if (av_get_exact_bits_per_sample(id) == 24) ost->ResamplerOptions.Set("output_sample_bits", "24");
  ost->ResampleOptions.CopyFrom(g.ResampleOpts.Get());

  ost->SourceIndex = source;
  if (source >= 0) {
    TInputStream* ist = InputStreams[static_cast<size_t>(source)].get();
    ost->SyncInput = ist;
    ist->Discard = 0;
    ist->Stream->discard = AVDISCARD_NONE;
  }
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewVideoStream(TFileOptionsContext& ctx, AVFormatContext* oc,
                                                int source) {
  TOutputStream* ost = NewOutputStream(ctx, oc, AVMEDIA_TYPE_VIDEO, source);
  AVStream* st = ost->Stream;
  AVCodecContext* enc = ost->Codec();
  std::string rate = MatchPerStreamStr(ctx.FrameRates, oc, st);
  if (!rate.empty() && av_parse_video_rate(&ost->FrameRate, rate.c_str()) < 0)
    FatalErrorFmt("Invalid framerate value: %s", rate.c_str());
  if (ost->StreamCopy) {
    ost->CopyInitialNonKeyframes = MatchPerStreamInt(ctx.CopyInitialNonKeyframes, oc, st, 0);
    return ost;
  }
  std::string size = MatchPerStreamStr(ctx.FrameSizes, oc, st);
  // A size no picture buffer can hold is refused here, before any scaler is built for it.
  if (!size.empty() && (av_parse_video_size(&enc->width, &enc->height, size.c_str()) < 0 ||
                        av_image_check_size(static_cast<unsigned>(enc->width),
                                            static_cast<unsigned>(enc->height), 0, nullptr) < 0))
    FatalErrorFmt("Invalid frame size: %s.", size.c_str());
  std::string aspect = MatchPerStreamStr(ctx.AspectRatios, oc, st);
  if (!aspect.empty()) {
    AVRational r{0, 0};
    if (av_parse_ratio(&r, aspect.c_str(), 255, 0, nullptr) < 0 || r.num <= 0 || r.den <= 0)
      FatalErrorFmt("Invalid aspect ratio: %s", aspect.c_str());
    ost->FrameAspectRatio = av_q2d(r);
  }
  enc->bits_per_raw_sample = FrameBitsPerRawSample;
  std::string pix = MatchPerStreamStr(ctx.PixelFormats, oc, st);
  if (!pix.empty() && pix[0] == '+') {
    ost->KeepPixFmt = 1;
    pix.erase(0, 1);
  }
  if (!pix.empty()) {
    enc->pix_fmt = av_get_pix_fmt(pix.c_str());
    if (enc->pix_fmt == AV_PIX_FMT_NONE)
      FatalErrorFmt("Unknown pixel format requested: %s.", pix.c_str());
  }
  st->sample_aspect_ratio = enc->sample_aspect_ratio;
  if (IntraOnly) enc->gop_size = 0;

  auto matrix = [&](const TSpecifierList& list, uint16_t** field, std::vector<uint16_t>& copy,
                    const char* allocMsg) {
    std::string text = MatchPerStreamStr(list, oc, st);
    if (text.empty()) return;
    auto* m = static_cast<uint16_t*>(av_mallocz(sizeof(uint16_t) * 64));
    if (!m) FatalError(allocMsg);
    *field = m;  // the codec context frees it
    int bad = 0;
    if (!ParseMatrix(text, m, &bad))
      FatalErrorFmt("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), bad);
    copy.assign(m, m + 64);
  };
  matrix(ctx.IntraMatrices, &enc->intra_matrix, ost->IntraMatrix,
         "Could not allocate memory for intra matrix.");
  matrix(ctx.InterMatrices, &enc->inter_matrix, ost->InterMatrix,
         "Could not allocate memory for inter matrix.");

  std::string rc = MatchPerStreamStr(ctx.RcOverrides, oc, st);
  if (!rc.empty()) {
    if (!ParseRcOverrides(rc, &ost->RcOverrides)) FatalError("error parsing rc_override");
    auto* arr = static_cast<RcOverride*>(av_malloc_array(ost->RcOverrides.size(), sizeof(RcOverride)));
    if (!arr) FatalError("av_mallocz() failed");
    std::memcpy(arr, ost->RcOverrides.data(), ost->RcOverrides.size() * sizeof(RcOverride));
    enc->rc_override = arr;  // the codec context frees it
    enc->rc_override_count = static_cast<int>(ost->RcOverrides.size());
  }
  enc->intra_dc_precision = IntraDcPrecision - 8;
  if (DoPsnr) enc->flags |= AV_CODEC_FLAG_PSNR;
  int passes = MatchPerStreamInt(ctx.Passes, oc, st, 0);
  if (passes & 1) {
    enc->flags |= AV_CODEC_FLAG_PASS1;
    ost->EncoderOptions.Set("flags", "+pass1", AV_DICT_APPEND);
  }
  if (passes & 2) {
    enc->flags |= AV_CODEC_FLAG_PASS2;
    ost->EncoderOptions.Set("flags", "+pass2", AV_DICT_APPEND);
  }
  ost->PassLogPrefix = MatchPerStreamStr(ctx.PassLogFiles, oc, st);
  ost->ForcedKeyFrames = MatchPerStreamStr(ctx.ForcedKeyFrames, oc, st);
  ost->ForceFps = MatchPerStreamInt(ctx.ForceFps, oc, st, 0);
  ost->TopFieldFirst = MatchPerStreamInt(ctx.TopFieldFirst, oc, st, -1);
  ost->FilterGraphText = MatchPerStreamStr(ctx.Filters, oc, st, "null");
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewAudioStream(TFileOptionsContext& ctx, AVFormatContext* oc,
                                                int source) {
  TOutputStream* ost = NewOutputStream(ctx, oc, AVMEDIA_TYPE_AUDIO, source);
  if (ost->StreamCopy) return ost;
  AVStream* st = ost->Stream;
  AVCodecContext* enc = ost->Codec();
  int channels = MatchPerStreamInt(ctx.AudioChannels, oc, st, 0);
  if (channels > 0) {
    av_channel_layout_uninit(&enc->ch_layout);
    enc->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    enc->ch_layout.nb_channels = channels;
  }
  std::string fmt = MatchPerStreamStr(ctx.SampleFormats, oc, st);
  if (!fmt.empty()) {
    enc->sample_fmt = av_get_sample_fmt(fmt.c_str());
    if (enc->sample_fmt == AV_SAMPLE_FMT_NONE)
      FatalErrorFmt("Invalid sample format \"%s\"", fmt.c_str());
  }
  enc->sample_rate = MatchPerStreamInt(ctx.AudioSampleRates, oc, st, enc->sample_rate);
  ost->FilterGraphText = MatchPerStreamStr(ctx.Filters, oc, st, "anull");

  const TInputStream* src = ost->SyncInput;
  const int thisFile = static_cast<int>(OutputFiles.size());
  for (const TAudioChannelMap& m : ctx.AudioChannelMaps) {
    bool sourceOk = m.ChannelIndex == -1 ||
                    (src && m.FileIndex == src->FileIndex && m.StreamIndex == src->Stream->index);
    bool fileOk = m.OutputFileIndex == -1 || m.OutputFileIndex == thisFile;
    bool streamOk = m.OutputStreamIndex == -1 || m.OutputStreamIndex == st->index;
    if (!(sourceOk && fileOk && streamOk)) continue;
    if (ost->AudioChannelsMapped < kMaxAudioChannelsMap)
      ost->AudioChannelsMap[ost->AudioChannelsMapped++] = m.ChannelIndex;
    else
      FFLogger().LogFmt(this, llFatal, "Max channel mapping for output %d.%d reached",
                        thisFile, st->index);
  }
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewSubtitleStream(TFileOptionsContext& ctx,
                                                   AVFormatContext* oc, int source) {
  TOutputStream* ost = NewOutputStream(ctx, oc, AVMEDIA_TYPE_SUBTITLE, source);
  AVStream* st = ost->Stream;
  ost->CopyInitialNonKeyframes = MatchPerStreamInt(ctx.CopyInitialNonKeyframes, oc, st, 0);
  if (!ost->StreamCopy) {
    AVCodecContext* enc = ost->Codec();
    std::string size = MatchPerStreamStr(ctx.FrameSizes, oc, st);
    if (!size.empty() && av_parse_video_size(&enc->width, &enc->height, size.c_str()) < 0)
      FatalErrorFmt("Invalid frame size: %s.", size.c_str());
  }
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewDataStream(TFileOptionsContext& ctx, AVFormatContext* oc,
                                               int source) {
  TOutputStream* ost = NewOutputStream(ctx, oc, AVMEDIA_TYPE_DATA, source);
  if (!ost->StreamCopy) FatalError("Data stream encoding not supported yet (only streamcopy)");
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewAttachmentStream(TFileOptionsContext& ctx,
                                                     AVFormatContext* oc, int source) {
  TOutputStream* ost = NewOutputStream(ctx, oc, AVMEDIA_TYPE_ATTACHMENT, source);
  ost->StreamCopy = 1;
  return ost;
}

int TCustomFFmpegOpt::SelectStreams(TFileOptionsContext& ctx, AVFormatContext* oc,
                                    int inputIndex,
                                    const std::function<bool(AVMediaType, int)>& create) {
  auto allowed = [&](const TInputStream* ist) {
    return inputIndex < 0 || ist->FileIndex == inputIndex;
  };
  if (!ctx.StreamMaps.empty()) {
    for (const TStreamMap& m : ctx.StreamMaps) {
      if (m.Disabled) continue;
      if (!m.LinkLabel.empty()) {
        if (inputIndex > 0) continue;  // a joined input brings no filter outputs of its own
        TOutputFilter* found = nullptr;
        for (auto& fg : FilterGraphs)
          for (auto& of : fg->Outputs) {
            if (found || !of->PendingLink) continue;
            const char* name = of->PendingLink->name;
            if (name && m.LinkLabel == name) found = of.get();
          }
        if (!found) {
          FLastErrMsg = "Output with label \"" + m.LinkLabel +
                        "\" does not exist in any defined filter graph, or was already used "
                        "elsewhere.";
          return -1;
        }
        ConfigureComplexOutput(found, ctx, oc);
        continue;
      }
      int fileIndex = m.FileIndex;
      // A joined input takes the maps written for the first input.
      if (inputIndex > 0 && fileIndex == 0) fileIndex = inputIndex;
      if (fileIndex < 0 || fileIndex >= static_cast<int>(InputFiles.size())) continue;
      if (inputIndex >= 0 && fileIndex != inputIndex) continue;
      if (m.StreamIndex >= InputFiles[fileIndex]->StreamCount) continue;
      int src = InputFiles[fileIndex]->FirstStreamIndex + m.StreamIndex;
      TInputStream* ist = InputStreams[static_cast<size_t>(src)].get();
      AVMediaType type = ist->Stream->codecpar->codec_type;
      if ((type == AVMEDIA_TYPE_SUBTITLE && ctx.SubtitleDisable) ||
          (type == AVMEDIA_TYPE_AUDIO && ctx.AudioDisable) ||
          (type == AVMEDIA_TYPE_VIDEO && ctx.VideoDisable) ||
          (type == AVMEDIA_TYPE_DATA && ctx.DataDisable))
        continue;
      if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO &&
          type != AVMEDIA_TYPE_DATA && type != AVMEDIA_TYPE_SUBTITLE &&
          type != AVMEDIA_TYPE_ATTACHMENT) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "Cannot map stream #%d:%d - unsupported type.",
                      m.FileIndex, m.StreamIndex);
        FLastErrMsg = buf;
        return -1;
      }
      if (!create(type, src)) return -1;
    }
    return 0;
  }

  const AVOutputFormat* of = oc->oformat;
  if (!ctx.VideoDisable && of->video_codec != AV_CODEC_ID_NONE) {
    int best = -1, bestArea = 0;
    int qcr = avformat_query_codec(of, of->video_codec, 0);
    for (size_t i = 0; i < InputStreams.size(); i++) {
      const TInputStream* ist = InputStreams[i].get();
      if (!allowed(ist) || ist->Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      bool pic = ist->Stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
      int area = ist->Stream->codecpar->width * ist->Stream->codecpar->height;
      if (qcr != MKTAG('A', 'P', 'I', 'C') && pic) area = 1;
      if (area > bestArea && (qcr != MKTAG('A', 'P', 'I', 'C') || pic)) {
        bestArea = area;
        best = static_cast<int>(i);
      }
    }
    if (best >= 0 && !create(AVMEDIA_TYPE_VIDEO, best)) return -1;
  }
  if (!ctx.AudioDisable && of->audio_codec != AV_CODEC_ID_NONE) {
    int best = -1, bestChannels = 0;
    for (size_t i = 0; i < InputStreams.size(); i++) {
      const TInputStream* ist = InputStreams[i].get();
      if (!allowed(ist) || ist->Stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
      int ch = ist->Stream->codecpar->ch_layout.nb_channels;
      if (ch > bestChannels) {
        bestChannels = ch;
        best = static_cast<int>(i);
      }
    }
    if (best >= 0 && !create(AVMEDIA_TYPE_AUDIO, best)) return -1;
  }
  std::string subName = CodecNameForType(ctx, 's');
  if (!ctx.SubtitleDisable && (of->subtitle_codec != AV_CODEC_ID_NONE || !subName.empty())) {
    for (size_t i = 0; i < InputStreams.size(); i++) {
      const TInputStream* ist = InputStreams[i].get();
      if (!allowed(ist) || ist->Stream->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
      if (!SubtitleFits(ist->Stream->codecpar->codec_id, of, subName)) continue;
      if (!create(AVMEDIA_TYPE_SUBTITLE, static_cast<int>(i))) return -1;
      break;
    }
  }
  return 0;
}
