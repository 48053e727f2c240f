// The reports of a run: the stream mapping before the loop starts, the progress line (and the
// "progress" URL's key=value lines) at each interval and at the end, and the progress callback
// of the encoder component. It reads the output streams' run state and changes none.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "engine/FFmpeg.h"
#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

namespace {

constexpr size_t kMaxReportLine = 1023;  // a longer report line is cut

double Psnr(double meanSquaredShare) {
  return meanSquaredShare > 0 ? -10.0 * std::log10(meanSquaredShare) : 99.99;
}

// "PSNR=" with each plane's value and the whole picture's, from the errors the encoder gave,
// for the report line and the progress lines.
void AddPsnr(const TOutputStream* ost, std::string* line, std::string* progress) {
  const TOutputStreamRun& os = ost->Run;
  const AVCodecContext* enc = ost->Codec();
  const AVPixFmtDescriptor* desc = enc ? av_pix_fmt_desc_get(enc->pix_fmt) : nullptr;
  if (!desc || !(enc->flags & AV_CODEC_FLAG_PSNR) || os.PsnrPictures == 0) return;
  static const char kPlane[3] = {'Y', 'U', 'V'};
  double errorSum = 0, scaleSum = 0;
  *line += "PSNR=";
  for (int j = 0; j < std::min(os.PsnrPlanes, 3); j++) {
    const bool chroma = j > 0;
    const double samples =
        double(chroma ? AV_CEIL_RSHIFT(enc->width, desc->log2_chroma_w) : enc->width) *
        (chroma ? AV_CEIL_RSHIFT(enc->height, desc->log2_chroma_h) : enc->height);
    const double scale = samples * 255.0 * 255.0 * static_cast<double>(os.PsnrPictures);
    const double error = static_cast<double>(os.PsnrErrors[j]);
    errorSum += error;
    scaleSum += scale;
    *line += FormatText("%c:%2.2f ", kPlane[j], Psnr(error / scale));
    *progress += FormatText("stream_%d_%d_psnr_%c=%2.2f\n", ost->FileIndex, ost->Index,
                            kPlane[j] | 32, Psnr(error / scale));
  }
  *line += FormatText("*:%2.2f ", Psnr(errorSum / scaleSum));
  *progress += FormatText("stream_%d_%d_psnr_all=%2.2f\n", ost->FileIndex, ost->Index,
                          Psnr(errorSum / scaleSum));
}

}  // namespace

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

// The first report waits one interval; later ones come at most once per interval.
bool TCustomFFmpeg::ReportDue(int64_t now) {
  if (FLastReport == -1) {
    FLastReport = now;
    return false;
  }
  if (now - FLastReport < ProgressIntervalUs) return false;
  FLastReport = now;
  return true;
}

void TCustomFFmpeg::ReportProgress(const TEngineProgress& p, bool final) {
  const int64_t now = av_gettime_relative();
  if (!final && !ReportDue(now)) return;
  if (OnProgress) OnProgress(this, p);
}

// The output's size so far: the first output's file, or its final size once it is in place.
int64_t TCustomFFmpeg::ReportedSize() const {
  if (OutputFiles.empty()) return -1;
  AVFormatContext* oc = OutputFiles[0]->FormatContext();
  if (oc && oc->pb) {
    const int64_t size = avio_size(oc->pb);
    return size > 0 ? size : avio_tell(oc->pb);
  }
  return FFinalSize >= 0 ? FFinalSize : -1;  // the file is already closed and in place
}

// The streams' part of the report line: the first video stream's frames, rate and quality,
// the others' quality, and the latest muxed time.
TCustomFFmpeg::TStreamReport TCustomFFmpeg::ReportStreams(int fileIndex, bool final,
                                                          int64_t now) const {
  TStreamReport r;
  bool firstVideo = true;
  const double elapsed = (now - FStartTime) / 1e6;
  size_t first = 0, end = 0;
  StreamRange(final ? -1 : fileIndex, &first, &end);
  for (size_t i = first; i < end; i++) {
    const TOutputStream* ost = OutputStreams[i].get();
    const TOutputStreamRun& os = ost->Run;
    float sq = (ost->StreamCopy || os.Quality < 0) ? -1.f : os.Quality;
    if (ost->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (!firstVideo) {
        r.Line += FormatText("q=%2.1f ", sq);
        r.Progress += FormatText("stream_%d_%d_q=%.1f\n", ost->FileIndex, ost->Index, sq);
        if (final) AddPsnr(ost, &r.Line, &r.Progress);
      } else if (os.FrameCount >= 1) {
        firstVideo = false;
        r.FrameNumber = static_cast<int>(os.FrameCount);
        double f = elapsed > 1 ? os.FrameCount / elapsed : 0;
        r.FPS = static_cast<int>(std::lround(f));
        r.Quality = sq;
        r.Line += FormatText("frame=%5d fps=%3.*f q=%3.1f ", r.FrameNumber, f < 9.95, f, sq);
        r.Progress += FormatText("frame=%d\nfps=%.1f\n", r.FrameNumber, f);
        r.Progress += FormatText("stream_%d_%d_q=%.1f\n", ost->FileIndex, ost->Index, sq);
        if (final) {
          r.Line += "L";
          AddPsnr(ost, &r.Line, &r.Progress);
        }
      }
    }
    if (os.LastMuxDts != AV_NOPTS_VALUE) {
      r.LastPos = av_rescale_q(os.LastMuxDts, ost->Stream->time_base, AV_TIME_BASE_Q);
      if (!ost->Finished || final) r.Pts = std::max(r.Pts, r.LastPos);
    }
  }
  if (r.Pts == INT64_MIN) r.Pts = 0;
  return r;
}

// The key=value lines of the "progress" URL.
void TCustomFFmpeg::WriteProgressURL(std::string progress, int64_t totalSize, int64_t pts,
                                     bool final) {
  const int64_t ap = std::llabs(pts);
  if (totalSize < 0)
    progress += "total_size=N/A\n";
  else
    progress += FormatText("total_size=%" PRId64 "\n", totalSize);
  progress += FormatText("out_time_ms=%" PRId64 "\n", pts);
  progress += FormatText("out_time=%02d:%02d:%02d.%06d\n", static_cast<int>(ap / 3600000000LL),
                         static_cast<int>(ap / 60000000LL % 60),
                         static_cast<int>(ap / 1000000 % 60), static_cast<int>(ap % 1000000));
  progress += FormatText("dup_frames=%d\ndrop_frames=%d\n", DupFrames, DropFrames);
  progress += FormatText("progress=%s\n", final ? "end" : "continue");
  avio_write(ProgressAVIO.get(), reinterpret_cast<const unsigned char*>(progress.data()),
             static_cast<int>(progress.size()));
  avio_flush(ProgressAVIO.get());
  if (final) ProgressAVIO.reset();
}

void TCustomFFmpeg::Report(int fileIndex, bool final, int64_t now) {
  if (!final && !(PrintStats > 0) && !ProgressAVIO && !OnProgress) return;
  if (!final && !ReportDue(now)) return;
  const int64_t totalSize = ReportedSize();
  const TStreamReport r = ReportStreams(fileIndex, final, now);
  std::string line = r.Line;
  if (totalSize < 0)
    line += "size=N/A time=";
  else
    line += FormatText("size=%8.0fkB time=", totalSize / 1024.0);
  const int64_t ap = std::llabs(r.Pts);
  line += FormatText("%02d:%02d:%02d.%03d ", static_cast<int>(ap / 3600000000LL),
                     static_cast<int>(ap / 60000000LL % 60), static_cast<int>(ap / 1000000 % 60),
                     static_cast<int>(ap / 1000 % 1000));
  const double bitrate = r.Pts > 0 && totalSize >= 0 ? totalSize * 8 / (r.Pts / 1000.0) : -1;
  if (bitrate < 0)
    line += "bitrate=N/A";
  else
    line += FormatText("bitrate=%6.1fkbits/s", bitrate);
  if (DupFrames || DropFrames) line += FormatText(" dup=%d drop=%d", DupFrames, DropFrames);
  LastReportText = line.substr(0, kMaxReportLine);

  if (ProgressAVIO) WriteProgressURL(r.Progress, totalSize, r.Pts, final);
  if (FDupDropNew && OnProgress) {
    FFLogger().Log(this, llInfo, LastReportText);
    FDupDropNew = false;
  }
  if (OnProgress) {
    TEngineProgress p;
    p.FileIndex = final ? -1 : fileIndex;
    p.TotalDuration = LongestOutputDuration;
    p.CurrentDuration = r.LastPos;
    p.CurrentSize = totalSize < 0 ? 0 : totalSize;
    p.BitRate = static_cast<float>(bitrate);
    p.Quality = r.Quality;
    p.FPS = r.FPS;
    p.FrameNumber = r.FrameNumber;
    OnProgress(this, p);
  }
  if ((PrintStats > 0 && !OnProgress) || final) FFLogger().Log(this, llInfo, LastReportText);
  if (final) LogFinalSizes(totalSize);
}

void TCustomFFmpeg::LogFinalSizes(int64_t totalSize) {
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
