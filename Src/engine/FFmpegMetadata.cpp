// What an output takes over besides its streams: attached files, metadata (automatic copies,
// "map_metadata" and "metadata"), chapters cut to the output's range, the "target" presets, and
// joining several inputs into one output.
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FFmpegOpt.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/time.h>
}

#include "runtime/MediaTexts.h"
#include "runtime/UnicodeProtocol.h"

namespace {

struct TIOClose {
  void operator()(AVIOContext* pb) const { UnicodeIOClose(&pb); }
};
using TReadIOPtr = std::unique_ptr<AVIOContext, TIOClose>;

// The name an attached file is known by: after the last "/", else the last "\".
std::string AttachmentName(const std::string& path) {
  size_t p = path.find_last_of('/');
  std::string name = p == std::string::npos ? std::string() : path.substr(p + 1);
  if (name.empty()) {
    p = path.find_last_of('\\');
    name = p == std::string::npos ? std::string() : path.substr(p + 1);
  }
  return name.empty() ? path : name;
}

}  // namespace

int TCustomFFmpegOpt::ParseMetaType(const std::string& text, char* type, int* index,
                                    std::string* streamSpec) {
  *type = 'g';
  streamSpec->clear();
  if (text.empty()) return 0;
  *type = text[0];
  switch (text[0]) {
    case 'g':
      return 0;
    case 's':
      if (text.size() > 1 && text[1] != ':') {
        FLastErrMsg = "Invalid metadata specifier " + text + ".";
        FFLogger().Log(this, llFatal, FLastErrMsg);
        return -1;
      }
      if (text.size() > 1) *streamSpec = text.substr(2);
      return 0;
    case 'c':
    case 'p':
      if (text.size() > 1 && text[1] == ':')
        *index = static_cast<int>(std::strtol(text.c_str() + 2, nullptr, 0));
      return 0;
    default:
      FLastErrMsg = "Invalid metadata type " + text + ".";
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return -1;
  }
}

int TCustomFFmpegOpt::CopyMetadata(const std::string& outSpec, const std::string& inSpec,
                                   TFileOptionsContext& ctx, AVFormatContext* ic,
                                   AVFormatContext* oc) {
  char typeIn = 'g', typeOut = 'g';
  int idxIn = 0, idxOut = 0;
  std::string streamIn, streamOut;
  if (ParseMetaType(inSpec, &typeIn, &idxIn, &streamIn) < 0 ||
      ParseMetaType(outSpec, &typeOut, &idxOut, &streamOut) < 0)
    return -1;
  if (!ic) {
    if (typeOut == 'g' || outSpec.empty()) ctx.MetadataGlobalManual = 1;
    if (typeOut == 's' || outSpec.empty()) ctx.MetadataStreamsManual = 1;
    if (typeOut == 'c' || outSpec.empty()) ctx.MetadataChaptersManual = 1;
    return 0;
  }
  for (char t : {typeIn, typeOut}) {
    if (t == 'g') ctx.MetadataGlobalManual = 1;
    if (t == 's') ctx.MetadataStreamsManual = 1;
    if (t == 'c') ctx.MetadataChaptersManual = 1;
  }
  auto checkIndex = [&](char type, int index, AVFormatContext* s) {
    unsigned count = type == 'c' ? s->nb_chapters : type == 'p' ? s->nb_programs : 1;
    if ((type == 'c' || type == 'p') && (index < 0 || static_cast<unsigned>(index) >= count)) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "Invalid %s index %d while processing metadata maps.",
                    type == 'c' ? "chapter" : "program", index);
      FLastErrMsg = buf;
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return false;
    }
    return true;
  };
  if (!checkIndex(typeIn, idxIn, ic) || !checkIndex(typeOut, idxOut, oc)) return -1;

  AVDictionary* src = nullptr;
  switch (typeIn) {
    case 'g': src = ic->metadata; break;
    case 'c': src = ic->chapters[idxIn]->metadata; break;
    case 'p': src = ic->programs[idxIn]->metadata; break;
    case 's': {
      bool found = false;
      for (unsigned i = 0; i < ic->nb_streams && !found; i++) {
        int r = avformat_match_stream_specifier(ic, ic->streams[i], streamIn.c_str());
        if (r < 0) {
          FLastErrMsg = ErrorText("check_stream_specifier", r);
          FFLogger().Log(this, llFatal, FLastErrMsg);
          return r;
        }
        if (r > 0) {
          src = ic->streams[i]->metadata;
          found = true;
        }
      }
      if (!found) {
        FLastErrMsg = "Stream specifier " + streamIn + " does not match  any streams.";
        FFLogger().Log(this, llFatal, FLastErrMsg);
        return -1;
      }
      break;
    }
  }
  switch (typeOut) {
    case 'g': return av_dict_copy(&oc->metadata, src, AV_DICT_DONT_OVERWRITE);
    case 'c': return av_dict_copy(&oc->chapters[idxOut]->metadata, src, AV_DICT_DONT_OVERWRITE);
    case 'p': return av_dict_copy(&oc->programs[idxOut]->metadata, src, AV_DICT_DONT_OVERWRITE);
    case 's':
      for (unsigned i = 0; i < oc->nb_streams; i++) {
        int r = avformat_match_stream_specifier(oc, oc->streams[i], streamOut.c_str());
        if (r < 0) {
          FLastErrMsg = ErrorText("check_stream_specifier", r);
          FFLogger().Log(this, llFatal, FLastErrMsg);
          return r;
        }
        if (r > 0 && (r = av_dict_copy(&oc->streams[i]->metadata, src, AV_DICT_DONT_OVERWRITE)) < 0)
          return r;
      }
      return 0;
  }
  return 0;
}

int TCustomFFmpegOpt::CopyChapters(TInputFile* ifile, TOutputFile* ofile, bool copyMetadata) {
  AVFormatContext* is = ifile->FormatContext.get();
  AVFormatContext* os = ofile->FormatContext();
  if (!is->nb_chapters) return 0;
  auto* grown = static_cast<AVChapter**>(
      av_realloc_array(os->chapters, os->nb_chapters + is->nb_chapters, sizeof(AVChapter*)));
  if (!grown) return AVERROR(ENOMEM);
  os->chapters = grown;
  for (unsigned i = 0; i < is->nb_chapters; i++) {
    const AVChapter* in = is->chapters[i];
    int64_t offset = av_rescale_q(ofile->StartTime - ifile->TsOffset, AV_TIME_BASE_Q, in->time_base);
    int64_t limit = ofile->Duration == INT64_MAX
                        ? INT64_MAX
                        : av_rescale_q(ofile->Duration, AV_TIME_BASE_Q, in->time_base);
    if (in->end < offset) continue;
    if (limit != INT64_MAX && in->start > limit + offset) break;
    auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (!out) return AVERROR(ENOMEM);
    os->chapters[os->nb_chapters++] = out;  // the container frees it from here on
    out->id = in->id;
    out->time_base = in->time_base;
    out->start = std::max<int64_t>(0, in->start - offset);
    out->end = std::min(limit, in->end - offset);
    if (copyMetadata && av_dict_copy(&out->metadata, in->metadata, 0) < 0)
      return AVERROR(ENOMEM);
  }
  return 0;
}

int TCustomFFmpegOpt::AddAttachments(TFileOptionsContext& ctx, AVFormatContext* oc) {
  for (const std::string& name : ctx.Attachments) {
    ReadStart = av_gettime_relative();
    AVIOInterruptCB cb = ReadInterrupt();
    AVIOContext* raw = nullptr;
    if (UnicodeIOOpen(&raw, FileNameToURL(name).c_str(), AVIO_FLAG_READ, &cb) < 0) {
      FLastErrMsg = "Could not open attachment file " + name + ".";
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return -1;
    }
    TReadIOPtr pb(raw);
    int64_t size = avio_size(pb.get());
    if (size <= 0) {
      FLastErrMsg = "Could not get size of the attachment " + name + ".";
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return -1;
    }
    uint8_t* data = nullptr;
    if (size < INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
      data = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!data) {
      FLastErrMsg = "Attachment " + name + " too large to fit into memory.";
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return -1;
    }
    TOutputStream* ost = NewAttachmentStream(ctx, oc, -1);
    AVCodecParameters* par = ost->Stream->codecpar;
    par->extradata = data;  // the stream frees it
    par->extradata_size = static_cast<int>(size);
    ost->StreamCopy = 0;
    ost->Finished = 1;
    ost->AttachmentFileName = name;
    ReadStart = av_gettime_relative();
    int got = avio_read(pb.get(), data, static_cast<int>(size));
    if (got != size) {
      FLastErrMsg = ErrorText(name, got < 0 ? got : AVERROR(EIO));
      FFLogger().Log(this, llFatal, FLastErrMsg);
      return -1;
    }
    av_dict_set(&ost->Stream->metadata, "filename", AttachmentName(name).c_str(),
                AV_DICT_DONT_OVERWRITE);
  }
  return 0;
}

int TCustomFFmpegOpt::ApplyMetadata(TFileOptionsContext& ctx, TOutputFile* of) {
  AVFormatContext* oc = of->FormatContext();
  auto fail = [&](const std::string& msg) {
    FLastErrMsg = msg;
    FFLogger().Log(this, llFatal, msg);
    return -1;
  };
  char buf[256];

  for (const TSpecifierValue& e : ctx.MetadataMaps) {
    char* p = nullptr;
    long inIndex = std::strtol(e.Str.c_str(), &p, 0);
    if (inIndex >= static_cast<long>(InputFiles.size())) {
      std::snprintf(buf, sizeof buf, "Invalid input file index %ld while processing metadata maps",
                    inIndex);
      return fail(buf);
    }
    std::string inSpec = p && *p ? std::string(p + 1) : std::string();
    AVFormatContext* ic = inIndex >= 0 ? InputFiles[static_cast<size_t>(inIndex)]->FormatContext.get()
                                       : nullptr;
    int r = CopyMetadata(e.Specifier, inSpec, ctx, ic, oc);
    if (r < 0) return r;
  }

  int chapters = ctx.ChaptersInputFile;
  if (chapters >= static_cast<int>(InputFiles.size())) {
    if (chapters != INT32_MAX) {
      std::snprintf(buf, sizeof buf, "Invalid input file index %d in chapter mapping.", chapters);
      return fail(buf);
    }
    chapters = -1;
    for (size_t i = 0; i < InputFiles.size(); i++)
      if (InputFiles[i]->FormatContext->nb_chapters) {
        chapters = static_cast<int>(i);
        break;
      }
  }
  if (chapters >= 0 &&
      CopyChapters(InputFiles[static_cast<size_t>(chapters)].get(), of,
                   !ctx.MetadataChaptersManual) < 0)
    return fail("av_mallocz() failed");

  if (!ctx.MetadataGlobalManual && !InputFiles.empty()) {
    av_dict_copy(&oc->metadata, InputFiles[0]->FormatContext->metadata, AV_DICT_DONT_OVERWRITE);
    if (of->Duration != INT64_MAX) av_dict_set(&oc->metadata, "duration", nullptr, 0);
    av_dict_set(&oc->metadata, "creation_time", nullptr, 0);
  }
  if (!ctx.MetadataStreamsManual)
    for (size_t i = static_cast<size_t>(of->FirstStreamIndex); i < OutputStreams.size(); i++) {
      TOutputStream* ost = OutputStreams[i].get();
      if (ost->SourceIndex < 0) continue;
      av_dict_copy(&ost->Stream->metadata,
                   InputStreams[static_cast<size_t>(ost->SourceIndex)]->Stream->metadata,
                   AV_DICT_DONT_OVERWRITE);
    }

  for (const TSpecifierValue& e : ctx.Metadata) {
    size_t eq = e.Str.find('=');
    if (eq == std::string::npos) return fail("No \"=\" character in metadata string " + e.Str + ".");
    std::string key = e.Str.substr(0, eq);
    std::string val = e.Str.substr(eq + 1);
    const char* v = val.empty() ? nullptr : val.c_str();
    char type = 'g';
    int index = 0;
    std::string streamSpec;
    if (ParseMetaType(e.Specifier, &type, &index, &streamSpec) < 0) return -1;
    switch (type) {
      case 's':
        for (unsigned i = 0; i < oc->nb_streams; i++) {
          int r = avformat_match_stream_specifier(oc, oc->streams[i], streamSpec.c_str());
          if (r < 0) return fail(ErrorText("check_stream_specifier", r));
          if (r > 0) av_dict_set(&oc->streams[i]->metadata, key.c_str(), v, 0);
        }
        break;
      case 'c':
        if (index < 0 || static_cast<unsigned>(index) >= oc->nb_chapters) {
          std::snprintf(buf, sizeof buf, "Invalid chapter index %d in metadata specifier.", index);
          return fail(buf);
        }
        av_dict_set(&oc->chapters[index]->metadata, key.c_str(), v, 0);
        break;
      case 'g':
        av_dict_set(&oc->metadata, key.c_str(), v, 0);
        break;
      default:
        return fail("Invalid metadata specifier " + e.Specifier + ".");
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// "target"

int TCustomFFmpegOpt::OptTarget(TFileOptionsContext* ctx, const std::string& /*name*/,
                                const std::string& arg) {
  enum { kPal, kNtsc, kFilm, kUnknown } norm = kUnknown;
  std::string t = arg;
  const struct {
    const char* Prefix;
    decltype(norm) Norm;
  } prefixes[] = {{"pal-", kPal}, {"ntsc-", kNtsc}, {"film-", kFilm}};
  for (const auto& p : prefixes)
    if (t.compare(0, std::strlen(p.Prefix), p.Prefix) == 0) {
      norm = p.Norm;
      t.erase(0, std::strlen(p.Prefix));
      break;
    }
  const bool known = t == "vcd" || t == "svcd" || t == "dvd" || t.compare(0, 2, "dv") == 0;
  if (!known) {
    LogError(llError, "Unknown target: " + arg, true);
    return AVERROR(EINVAL);
  }
  if (norm == kUnknown) {
    for (const auto& f : InputFiles) {
      AVFormatContext* s = f->FormatContext.get();
      for (int i = 0; i < f->StreamCount && norm == kUnknown; i++) {
        AVStream* st = s->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        AVRational r = av_guess_frame_rate(s, st, nullptr);
        if (r.num <= 0 || r.den <= 0) continue;
        int64_t fr = int64_t(r.num) * 1000 / r.den;
        if (fr == 25000) norm = kPal;
        else if (fr == 29970 || fr == 23976) norm = kNtsc;
      }
      if (norm != kUnknown) break;
    }
    if (norm == kUnknown)
      FatalError("Could not determine norm (PAL/NTSC/NTSC-Film) for target.\r\nPlease prefix "
                 "target with \"pal-\", \"ntsc-\" or \"film-\",\r\nor set a framerate with \"-r "
                 "xxx\".");
    FFLogger().LogFmt(this, llInfo, "Assuming %s for target.", norm == kPal ? "PAL" : "NTSC");
  }
  ctx->TargetName = arg;
  const char* rate = norm == kPal ? "25" : norm == kNtsc ? "30000/1001" : "24000/1001";
  auto size = [&](const char* ntsc, const char* pal) { return norm == kPal ? pal : ntsc; };
  const char* gop = norm == kPal ? "15" : "18";
  TAVDictionary& codec = ctx->Group->CodecOpts;
  TAVDictionary& format = ctx->Group->FormatOpts;
  int ret = 0;
  auto opt = [&](const char* n, const std::string& v) {
    if (ret >= 0) ret = WriteOption(ctx, n, v);
  };
  if (t == "vcd") {
    opt("codec:v", "mpeg1video");
    opt("codec:a", "mp2");
    opt("f", "vcd");
    opt("s", size("352x240", "352x288"));
    opt("r", rate);
    codec.Set("g", gop);
    codec.Set("b:v", "1150000");
    codec.Set("maxrate", "1150000");
    codec.Set("minrate", "1150000");
    codec.Set("bufsize", "327680");
    codec.Set("b:a", "224000");
    opt("ar", "44100");
    opt("ac", "2");
    format.Set("packetsize", "2324");
    format.Set("muxrate", "1411200");
    ctx->MuxPreload = 0.44f;
  } else if (t == "svcd") {
    opt("codec:v", "mpeg2video");
    opt("codec:a", "mp2");
    opt("f", "svcd");
    opt("s", size("480x480", "480x576"));
    opt("r", rate);
    opt("pix_fmt", "yuv420p");
    codec.Set("g", gop);
    codec.Set("b:v", "2040000");
    codec.Set("maxrate", "2516000");
    codec.Set("minrate", "0");
    codec.Set("bufsize", "1835008");
    codec.Set("scan_offset", "1");
    codec.Set("b:a", "224000");
    opt("ar", "44100");
    format.Set("packetsize", "2324");
  } else if (t == "dvd") {
    opt("codec:v", "mpeg2video");
    opt("codec:a", "ac3");
    opt("f", "dvd");
    opt("s", size("720x480", "720x576"));
    opt("r", rate);
    opt("pix_fmt", "yuv420p");
    codec.Set("g", gop);
    codec.Set("b:v", "6000000");
    codec.Set("maxrate", "9000000");
    codec.Set("minrate", "0");
    codec.Set("bufsize", "1835008");
    codec.Set("b:a", "448000");
    opt("ar", "48000");
    format.Set("packetsize", "2048");
    format.Set("muxrate", "10080000");
  } else {
    opt("f", "dv");
    opt("s", size("720x480", "720x576"));
    opt("pix_fmt", t == "dv50" ? "yuv422p" : norm == kPal ? "yuv420p" : "yuv411p");
    opt("r", rate);
    opt("ar", "48000");
    opt("ac", "2");
  }
  return ret < 0 ? ret : 0;
}

// ---------------------------------------------------------------------------------------------
// Joining: the output made from input 0 takes the further inputs one after the other.

int TCustomFFmpegOpt::JoinInput(TFileOptionsContext& ctx, int inputIndex) {
  TOutputFile* base = OutputFiles[0].get();
  AVFormatContext* oc = base->FormatContext();
  const size_t first = static_cast<size_t>(base->FirstStreamIndex);
  const size_t count = oc->nb_streams;
  const int newIndex = static_cast<int>(OutputFiles.size());
  std::vector<std::unique_ptr<TOutputStream>> clones;
  for (size_t i = first; i < first + count && i < OutputStreams.size(); i++) {
    const TOutputStream* o = OutputStreams[i].get();
    auto c = std::make_unique<TOutputStream>();
    c->FileIndex = newIndex;
    c->Index = o->Index;
    c->SourceIndex = -1;
    c->Stream = o->Stream;
    c->BitstreamFilters = o->BitstreamFilters;
    c->Encoder = o->Encoder;
    c->EncoderContext = o->EncoderContext;
    c->MaxFrames = o->MaxFrames;
    c->FrameRate = o->FrameRate;
    c->ForceFps = o->ForceFps;
    c->TopFieldFirst = o->TopFieldFirst;
    c->FrameAspectRatio = o->FrameAspectRatio;
    c->ForcedKeyFrames = o->ForcedKeyFrames;
    std::memcpy(c->AudioChannelsMap, o->AudioChannelsMap, sizeof c->AudioChannelsMap);
    c->AudioChannelsMapped = o->AudioChannelsMapped;
    c->PassLogPrefix = o->PassLogPrefix;
    c->FilterGraphText = o->FilterGraphText;
    c->ScalerFlags = o->ScalerFlags;
    c->EncoderOptions.CopyFrom(o->EncoderOptions.Get());
    c->ResamplerOptions.CopyFrom(o->ResamplerOptions.Get());
    c->ResampleOptions.CopyFrom(o->ResampleOptions.Get());
    c->Finished = o->Finished;
    c->AttachmentFileName = o->AttachmentFileName;
    c->CopyInitialNonKeyframes = o->CopyInitialNonKeyframes;
    c->CopyPriorStart = o->CopyPriorStart;
    c->KeepPixFmt = o->KeepPixFmt;
    c->StreamCopy = o->StreamCopy;
    c->IntraMatrix = o->IntraMatrix;
    c->InterMatrix = o->InterMatrix;
    c->RcOverrides = o->RcOverrides;
    clones.push_back(std::move(c));
  }
  auto bind = [&](AVMediaType type, int src) -> bool {
    for (size_t k = 0; k < clones.size(); k++) {
      TOutputStream* c = clones[k].get();
      const TOutputStream* o = OutputStreams[first + k].get();
      if (c->SourceIndex >= 0 || o->SourceIndex < 0) continue;
      if (c->Stream->codecpar->codec_type != type) continue;
      TInputStream* ist = InputStreams[static_cast<size_t>(src)].get();
      c->SourceIndex = src;
      c->SyncInput = ist;
      ist->Discard = 0;
      ist->Stream->discard = AVDISCARD_NONE;
      return true;
    }
    return true;  // more sources than the output has streams for: left unused
  };
  if (SelectStreams(ctx, oc, inputIndex, bind) < 0) return -1;
  for (size_t k = 0; k < clones.size(); k++)
    if (clones[k]->SourceIndex < 0 && OutputStreams[first + k]->SourceIndex >= 0) {
      FLastErrMsg = "Cannot join files with diffrent steams state";
      FFLogger().Log(this, llError, FLastErrMsg);
      return -1;
    }
  auto of = std::make_unique<TOutputFile>();
  of->Container = base->Container;
  of->Options.CopyFrom(base->Options.Get());
  of->FirstStreamIndex = static_cast<int>(OutputStreams.size());
  of->Duration = base->Duration;
  of->StartTime = base->StartTime;
  of->FileSizeLimit = base->FileSizeLimit;
  of->Shortest = base->Shortest;
  of->FileName = base->FileName;
  for (auto& c : clones) OutputStreams.push_back(std::move(c));
  OutputFiles.push_back(std::move(of));
  return newIndex;
}

int TCustomFFmpegOpt::JoinInputs(TFileOptionsContext& ctx) {
  for (size_t n = 1; n < InputFiles.size(); n++)
    if (JoinInput(ctx, static_cast<int>(n)) < 0) return -1;
  int64_t total = 0;
  for (const auto& f : InputFiles)
    if (f->FormatContext->duration != AV_NOPTS_VALUE) total += f->FormatContext->duration;
  LongestOutputDuration = total ? total : -1;
  return 0;
}
