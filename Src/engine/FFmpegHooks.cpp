// Where a task lets others at its pictures and sound: the input-side pre-processing (frame and
// video input hooks, hook modules), the output hooks before encoding, the audio hooks, the
// preview pictures, and the hook modules themselves.
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "engine/FFmpeg.h"
#include "engine/Previewer.h"
#include "runtime/FFLog.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
}

namespace {

// Guards the preview flags and the preview state of every task. The main thread takes it when
// the flags change, so nobody may wait for the main thread while holding it.
std::mutex gPreviewLock;

// Hook-module libraries, loaded once per file name for the whole process and kept.
std::mutex gModuleLock;
std::map<std::string, void*> gModules;

constexpr size_t kMaxHookWords = 254;

void* LoadModuleLibrary(const std::string& fileName, std::string* err) {
  std::lock_guard<std::mutex> lock(gModuleLock);
  auto it = gModules.find(fileName);
  if (it != gModules.end()) return it->second;
  // A bare name of a file in the current folder means that file (dlopen would search the
  // system's library folders instead).
  std::string path = fileName;
  struct stat st;
  if (path.find('/') == std::string::npos && stat(path.c_str(), &st) == 0) path = "./" + path;
  dlerror();
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* e = dlerror();
    *err = e ? e : ("cannot load " + fileName);
    return nullptr;
  }
  gModules[fileName] = lib;
  return lib;
}

}  // namespace

std::vector<std::string> SplitHookModuleText(const std::string& text) {
  std::vector<std::string> words;
  if (text.find('|') != std::string::npos) {
    size_t pos = 0;
    while (words.size() < kMaxHookWords) {
      size_t bar = text.find('|', pos);
      words.push_back(text.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
      if (bar == std::string::npos) break;
      pos = bar + 1;
    }
    return words;
  }
  size_t pos = 0;
  while (words.size() < kMaxHookWords) {
    pos = text.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) break;
    size_t end = text.find_first_of(" \t", pos);
    words.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end;
  }
  return words;
}

// ---------------------------------------------------------------------------------------------
// Options

int TCustomFFmpeg::VideoHookOption(const std::string& arg) {
  std::vector<std::string> words = SplitHookModuleText(arg);
  std::string err;
  auto fail = [&](const std::string& text) {
    ParseError = "Failed to add video hook function: " + text;
    FFLogger().Log(this, llError, ParseError);
    return AVERROR(EINVAL);
  };
  if (words.empty() || words[0].empty()) return fail("no module file given");
  const std::string& file = words[0];
  void* lib = LoadModuleLibrary(file, &err);
  if (!lib) {
    FFLogger().Log(this, llError, err);
    return fail(err);
  }
  THookModule m;
  m.FileName = file;
  m.Process = reinterpret_cast<TVideoHookProcess>(dlsym(lib, "Process"));
  if (!m.Process) {
    err = FormatText("Failed to find Process entrypoint in %s\n", file.c_str());
    FFLogger().Log(this, llError, err);
    return fail(err);
  }
  auto configure = reinterpret_cast<TVideoHookConfigure>(dlsym(lib, "Configure"));
  if (!configure && words.size() > 1) {
    err = FormatText("Failed to find Configure entrypoint in %s\n", file.c_str());
    FFLogger().Log(this, llError, err);
    return fail(err);
  }
  m.Release = reinterpret_cast<TVideoHookRelease>(dlsym(lib, "Release"));
  if (configure) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    if (configure(&m.Context, static_cast<int>(words.size()), argv.data()) != 0) {
      err = FormatText("Failed to Configure %s\n", file.c_str());
      FFLogger().Log(this, llError, err);
      return fail(err);
    }
  }
  FHookModules.push_back(m);
  return 0;
}

void TCustomFFmpeg::BindHookOptions() {
  FVideoHookOption = [this](const std::string& arg) { return VideoHookOption(arg); };
  FVideoHookBitsPixelOption = [this](const std::string& arg) {
    return VideoHookBitsPixelOption(arg);
  };
}

int TCustomFFmpeg::VideoHookBitsPixelOption(const std::string& arg) {
  char* end = nullptr;
  long v = std::strtol(arg.c_str(), &end, 10);
  if (arg.empty() || *end || !TBitmap::ValidBits(static_cast<int>(v)) || v != int(v)) {
    ParseError = "Invalid BitsPixel " + arg;
    FFLogger().Log(this, llError, ParseError);
    return -1;
  }
  SetVideoHookBitsPixel(static_cast<int>(v));
  return 0;
}

void TCustomFFmpeg::SetVideoHookBitsPixel(int bits) {
  FHookConverter.SetBitsPixel(bits);
  FPreviewConverter.SetBitsPixel(bits);
}

void TCustomFFmpeg::ReleaseHookModules() {
  for (THookModule& m : FHookModules)
    if (m.Release) m.Release(m.Context);
  FHookModules.clear();
}

// ---------------------------------------------------------------------------------------------
// Pictures and sound

namespace {

// 8-bit planar YUV (with or without alpha) or gray: one byte per sample, each plane its own.
bool DeinterlaceableFormat(int format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                         AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_FLOAT)))
    return false;
  if (d->nb_components != 1 && !(d->flags & AV_PIX_FMT_FLAG_PLANAR)) return false;
  for (int c = 0; c < d->nb_components; c++)
    if (d->comp[c].depth != 8 || d->comp[c].step != 1 || d->comp[c].shift != 0 ||
        d->comp[c].offset != 0)
      return false;
  return true;
}

// Line interpolation in place: the top field's lines stay, every bottom-field line becomes the
// rounded mean of the lines above and below (the last line repeats the one above).
void DeinterlacePlanes(AVFrame* frame) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format));
  for (int p = 0; p < planes; p++) {
    const bool chroma = p == 1 || p == 2;
    const int w = chroma ? AV_CEIL_RSHIFT(frame->width, d->log2_chroma_w) : frame->width;
    const int h = chroma ? AV_CEIL_RSHIFT(frame->height, d->log2_chroma_h) : frame->height;
    uint8_t* base = frame->data[p];
    const int ls = frame->linesize[p];
    for (int y = 1; y < h; y += 2) {
      uint8_t* line = base + ptrdiff_t(y) * ls;
      const uint8_t* above = line - ls;
      if (y + 1 >= h) {
        std::memcpy(line, above, static_cast<size_t>(w));
        continue;
      }
      const uint8_t* below = line + ls;
      for (int x = 0; x < w; x++)
        line[x] = static_cast<uint8_t>((above[x] + below[x] + 1) >> 1);
    }
  }
}

}  // namespace

void TCustomFFmpeg::PreProcessVideo(TInputStream* ist, AVFrame* frame) {
  const bool videoHook = static_cast<bool>(OnVideoInputHook);
  if (!DoDeinterlace && !OnFrameInputHook && !(videoHook && FVideoInputHookOn) &&
      FHookModules.empty())
    return;
  // The decoder may still reference this picture: changes go into a private copy, which then
  // goes on to the filters.
  if (av_frame_make_writable(frame) < 0) {
    FFLogger().Log(this, llError, "memory malloc error in pre_process_video_frame().");
    return;
  }
  TInputStreamRun& s = ist->Run;
  if (DoDeinterlace) {
    if (DeinterlaceableFormat(frame->format)) {
      DeinterlacePlanes(frame);
    } else {
      FFLogger().Log(this, s.DeinterlaceWarned ? llVerbose : llWarning, "Deinterlacing failed.");
      s.DeinterlaceWarned = true;
    }
  }
  const int number = static_cast<int>(s.DecodedPictures);
  const int64_t pts = s.Pts;
  const auto fmt = static_cast<AVPixelFormat>(frame->format);
  if (OnFrameInputHook)
    OnFrameInputHook(this, frame->data, frame->linesize, fmt, frame->width, frame->height, number,
                     pts);
  if (videoHook) {
    if (FVideoInputHookOn) RunVideoHook(false, frame, number, pts);
    return;
  }
  if (FHookModules.empty()) return;
  TVideoHookPicture pic{};
  for (int k = 0; k < 4; k++) {
    pic.data[k] = frame->data[k];
    pic.linesize[k] = frame->linesize[k];
  }
  for (THookModule& m : FHookModules)
    m.Process(m.Context, &pic, frame->format, frame->width, frame->height, pts);
}

void TCustomFFmpeg::RunVideoHook(bool output, AVFrame* frame, int frameNumber, int64_t pts) {
  TFormatConverter& conv = output ? FPreviewConverter : FHookConverter;
  bool& on = output ? FVideoOutputHookOn : FVideoInputHookOn;
  TVideoHook& hook = output ? OnVideoOutputHook : OnVideoInputHook;
  if (output) FPreviewHoldsPicture = false;
  if (!conv.ToRGB(frame, true)) {
    FFLogger().Log(this, llError, conv.LastErrMsg());
    on = false;
    return;
  }
  bool update = true, stop = false;
  try {
    hook(this, conv.Bitmap(), frameNumber, pts, update, stop);
  } catch (const std::exception& e) {
    FFLogger().Log(this, llError, std::string("Error occurs VideoHook event: ") + e.what());
    update = false;
  } catch (...) {
    FFLogger().Log(this, llError, "Error occurs VideoHook event: unknown error");
    update = false;
  }
  bool failed = false;
  if (update) {
    // A picture used as it is was drawn on directly; any other goes back through swscale.
    if (!conv.BitmapToPicture() || (!conv.LastUsedAsIs() && !conv.FromRGB(frame))) {
      FFLogger().Log(this, llError, conv.LastErrMsg());
      failed = true;
    }
  }
  // The bitmap now shows what will be encoded only when it went back into the picture.
  if (output) FPreviewHoldsPicture = update && !failed;
  if (stop || failed) on = false;
}

AVFrame* TCustomFFmpeg::OutputHooks(AVFrame* frame, int frameNumber, int64_t pts) {
  FPreviewHoldsPicture = false;
  const bool videoHook = OnVideoOutputHook && FVideoOutputHookOn;
  if (!videoHook && !OnFrameOutputHook) return frame;
  // Each encoded copy of a duplicated picture starts from the filtered picture.
  AVFrame* copy = FHookFrame.get();
  av_frame_unref(copy);
  if (av_frame_ref(copy, frame) < 0 || av_frame_make_writable(copy) < 0) {
    av_frame_unref(copy);
    FFLogger().Log(this, llError, "hook buf malloc error.");
    return frame;
  }
  if (videoHook) RunVideoHook(true, copy, frameNumber, pts);
  if (OnFrameOutputHook) {
    OnFrameOutputHook(this, copy->data, copy->linesize, static_cast<AVPixelFormat>(copy->format),
                      copy->width, copy->height, frameNumber, pts);
    FPreviewHoldsPicture = false;  // the planes may have changed after the bitmap was made
  }
  return copy;
}

void TCustomFFmpeg::RunAudioHook(bool output, AVFrame* frame, int channels, int sampleRate,
                                 int64_t pts) {
  TAudioHook& hook = output ? OnAudioOutputHook : OnAudioInputHook;
  if (!hook || channels < 1 || frame->nb_samples < 1) return;
  if (av_frame_make_writable(frame) < 0) {
    FFLogger().Log(this, llError, "hook buf malloc error.");
    return;
  }
  const auto fmt = static_cast<AVSampleFormat>(frame->format);
  const int bps = av_get_bytes_per_sample(fmt);
  if (bps <= 0) return;
  const int size = channels * frame->nb_samples * bps;
  if (!av_sample_fmt_is_planar(fmt) || channels == 1) {
    hook(this, pts, frame->extended_data[0], size, sampleRate, channels,
         av_get_packed_sample_fmt(fmt));
    return;
  }
  // The first plane holds one channel only: hand over all of them interleaved, then take the
  // handler's changes back into the planes.
  FAudioHookBuffer.resize(static_cast<size_t>(size));
  uint8_t* buf = FAudioHookBuffer.data();
  const int n = frame->nb_samples;
  for (int c = 0; c < channels; c++) {
    const uint8_t* src = frame->extended_data[c];
    for (int i = 0; i < n; i++)
      std::memcpy(buf + (static_cast<size_t>(i) * channels + c) * bps, src + size_t(i) * bps, bps);
  }
  hook(this, pts, buf, size, sampleRate, channels, av_get_packed_sample_fmt(fmt));
  for (int c = 0; c < channels; c++) {
    uint8_t* dst = frame->extended_data[c];
    for (int i = 0; i < n; i++)
      std::memcpy(dst + size_t(i) * bps, buf + (static_cast<size_t>(i) * channels + c) * bps, bps);
  }
}

// ---------------------------------------------------------------------------------------------
// Preview

void TCustomFFmpeg::SetPreviewFlags(int flags) {
  std::shared_ptr<TPreviewer> gone;  // freed after the lock is released
  std::lock_guard<std::mutex> lock(gPreviewLock);
  if ((FPreviewFlags & 1) && !(flags & 1)) gone = std::move(FPreviewer);
  FPreviewFlags = flags;
  FPreviewFlagsChanged = true;
}

void TCustomFFmpeg::ChangePreviewFlags(int mask, bool on) {
  std::shared_ptr<TPreviewer> gone;
  std::lock_guard<std::mutex> lock(gPreviewLock);
  const int flags = on ? (FPreviewFlags | mask) : (FPreviewFlags & ~mask);
  if ((FPreviewFlags & 1) && !(flags & 1)) gone = std::move(FPreviewer);
  FPreviewFlags = flags;
  FPreviewFlagsChanged = true;
}

void TCustomFFmpeg::ResetPreview() {
  std::shared_ptr<TPreviewer> gone;
  std::lock_guard<std::mutex> lock(gPreviewLock);
  gone = std::move(FPreviewer);
  FLastPreview = -1;
}

// Decides and converts under the preview lock, then hands the picture over without it: the
// hand-off waits for the main thread, which takes the same lock when the flags change.
void TCustomFFmpeg::DoPreview(AVFrame* frame, int frameNumber, int64_t pts) {
  enum { kNone, kEvent, kWindow } target = kNone;
  std::shared_ptr<TPreviewer> previewer, gone;
  {
    std::lock_guard<std::mutex> lock(gPreviewLock);
    int flags = FPreviewFlags;
    if (!flags) return;
    const int64_t now = av_gettime_relative();
    if (FLastPreview >= 0 && now - FLastPreview <= PreviewIntervalUs) return;
    const bool ready = FPreviewHoldsPicture && !FPreviewFlagsChanged;
    if ((flags & 2) && PreviewCallbackAssigned()) {
      if (ready || FPreviewConverter.ToRGB(frame, true)) {
        target = kEvent;
      } else {
        FFLogger().Log(this, llError, FPreviewConverter.LastErrMsg());
        flags &= ~2;
      }
    } else if (flags & 1) {
      if (ready || FPreviewConverter.ToRGB(frame, true)) {
        if (!FPreviewer) FPreviewer = std::make_shared<TPreviewer>();
        previewer = FPreviewer;
        target = kWindow;
      } else {
        FFLogger().Log(this, llError, FPreviewConverter.LastErrMsg());
        flags &= ~1;
        gone = std::move(FPreviewer);
      }
    }
    FLastPreview = now;
    FPreviewFlags = flags;
    FPreviewFlagsChanged = false;
  }
  FPreviewHoldsPicture = false;
  const TBitmap& bitmap = FPreviewConverter.Bitmap();
  if (target == kEvent) {
    if (OnPreviewBitmap) OnPreviewBitmap(this, bitmap, pts, frameNumber);
  } else if (target == kWindow) {
    if (!previewer->ShowPicture(bitmap, frameNumber, pts)) {
      std::lock_guard<std::mutex> lock(gPreviewLock);
      // Unless the flags were changed meanwhile (a new window asked for), the window is gone
      // for this task.
      if (FPreviewer == previewer) {
        FPreviewFlags = FPreviewFlags & ~1;
        gone = std::move(FPreviewer);
      }
    }
    previewer.reset();
  }
}
