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
#include <libavutil/time.h>
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
    const TOutputStreamRun& os = ost->Run;
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
