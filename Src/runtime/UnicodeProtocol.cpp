#include "runtime/UnicodeProtocol.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

namespace {

// Image-sequence extensions with their codecs, as FFmpeg's image demuxer knows them.
struct TImageExt {
  const char* Ext;
  AVCodecID Id;
};
const TImageExt kImageExts[] = {
    {"jpeg", AV_CODEC_ID_MJPEG},      {"jpg", AV_CODEC_ID_MJPEG},
    {"jps", AV_CODEC_ID_MJPEG},       {"ljpg", AV_CODEC_ID_LJPEG},
    {"jls", AV_CODEC_ID_JPEGLS},      {"png", AV_CODEC_ID_PNG},
    {"pns", AV_CODEC_ID_PNG},         {"mng", AV_CODEC_ID_PNG},
    {"ppm", AV_CODEC_ID_PPM},         {"pnm", AV_CODEC_ID_PPM},
    {"pgm", AV_CODEC_ID_PGM},         {"pgmyuv", AV_CODEC_ID_PGMYUV},
    {"pbm", AV_CODEC_ID_PBM},         {"pam", AV_CODEC_ID_PAM},
    {"mpg1-img", AV_CODEC_ID_MPEG1VIDEO}, {"mpg2-img", AV_CODEC_ID_MPEG2VIDEO},
    {"mpg4-img", AV_CODEC_ID_MPEG4},  {"ffv1-img", AV_CODEC_ID_FFV1},
    {"y", AV_CODEC_ID_RAWVIDEO},      {"raw", AV_CODEC_ID_RAWVIDEO},
    {"bmp", AV_CODEC_ID_BMP},         {"gif", AV_CODEC_ID_GIF},
    {"tga", AV_CODEC_ID_TARGA},       {"tiff", AV_CODEC_ID_TIFF},
    {"tif", AV_CODEC_ID_TIFF},        {"sgi", AV_CODEC_ID_SGI},
    {"ptx", AV_CODEC_ID_PTX},         {"pcx", AV_CODEC_ID_PCX},
    {"pix", AV_CODEC_ID_BRENDER_PIX}, {"sun", AV_CODEC_ID_SUNRAST},
    {"ras", AV_CODEC_ID_SUNRAST},     {"rs", AV_CODEC_ID_SUNRAST},
    {"im1", AV_CODEC_ID_SUNRAST},     {"im8", AV_CODEC_ID_SUNRAST},
    {"im24", AV_CODEC_ID_SUNRAST},    {"im32", AV_CODEC_ID_SUNRAST},
    {"sunras", AV_CODEC_ID_SUNRAST},  {"j2c", AV_CODEC_ID_JPEG2000},
    {"j2k", AV_CODEC_ID_JPEG2000},    {"jp2", AV_CODEC_ID_JPEG2000},
    {"jpc", AV_CODEC_ID_JPEG2000},    {"dpx", AV_CODEC_ID_DPX},
    {"exr", AV_CODEC_ID_EXR},         {"pic", AV_CODEC_ID_PICTOR},
    {"yuv10", AV_CODEC_ID_V210X},     {"xbm", AV_CODEC_ID_XBM},
    {"xface", AV_CODEC_ID_XFACE},     {"xwd", AV_CODEC_ID_XWD},
};
static_assert(sizeof(kImageExts) / sizeof(kImageExts[0]) == 48);

// The 8-bit code page that FFmpeg's image paths see. UTF-8 (the system's) converts nothing.
std::mutex gCodePageLock;
std::string gCodePage = "UTF-8";

bool IsUtf8Name(const std::string& cp) {
  return av_strcasecmp(cp.c_str(), "UTF-8") == 0 || av_strcasecmp(cp.c_str(), "UTF8") == 0;
}

std::string CurrentCodePage() {
  std::lock_guard<std::mutex> lock(gCodePageLock);
  return gCodePage;
}

// Whole-string conversion; false when a character has no counterpart.
bool Convert(const std::string& from, const std::string& to, const std::string& text,
             std::string& out) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    return false;
  std::string result(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* outPtr = result.data();
  size_t outLeft = result.size();
  const size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inLeft != 0)
    return false;
  result.resize(result.size() - outLeft);
  out = std::move(result);
  return true;
}

// A name in the code page, and whether it survived the trip there and back.
bool ToCodePage(const std::string& name, std::string& bytes) {
  const std::string cp = CurrentCodePage();
  if (IsUtf8Name(cp)) {
    bytes = name;
    return true;
  }
  std::string back;
  if (!Convert("UTF-8", cp, name, bytes) || !Convert(cp, "UTF-8", bytes, back) || back != name) {
    bytes = name;
    return false;
  }
  return true;
}

std::string FromCodePage(const std::string& bytes) {
  const std::string cp = CurrentCodePage();
  std::string name;
  if (IsUtf8Name(cp) || !Convert(cp, "UTF-8", bytes, name))
    return bytes;
  return name;
}

// Everything up to and including the first colon removed, twice: "unicode:utf8:" goes away.
std::string StripProtocolPrefix(const char* url) {
  std::string s(url);
  for (int i = 0; i < 2; ++i) {
    const auto colon = s.find(':');
    if (colon == std::string::npos)
      break;
    s.erase(0, colon + 1);
  }
  return s;
}

// The protocol's per-file state, owned by the AVIOContext's opaque pointer until close.
struct TUnicodeFile {
  int Fd = -1;
};

int UnicodeRead(void* opaque, uint8_t* buf, int size) {
  auto* f = static_cast<TUnicodeFile*>(opaque);
  ssize_t n;
  do {
    n = read(f->Fd, buf, static_cast<size_t>(size));
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    return AVERROR(errno);
  return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

int UnicodeWrite(void* opaque, uint8_t* buf, int size) {
  auto* f = static_cast<TUnicodeFile*>(opaque);
  int done = 0;
  // AVIO drops what a short write leaves, so write all of it.
  while (done < size) {
    const ssize_t n = write(f->Fd, buf + done, static_cast<size_t>(size - done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return AVERROR(errno);
    }
    done += static_cast<int>(n);
  }
  return done;
}

int64_t UnicodeSeek(void* opaque, int64_t pos, int whence) {
  auto* f = static_cast<TUnicodeFile*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st {};
    if (fstat(f->Fd, &st) != 0)
      return AVERROR(errno);
    return st.st_size;
  }
  whence &= ~AVSEEK_FORCE;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
    return AVERROR(EINVAL);
  const off_t r = lseek(f->Fd, static_cast<off_t>(pos), whence);
  return r < 0 ? AVERROR(errno) : static_cast<int64_t>(r);
}

constexpr int kIOBufferSize = 32768;

// FFmpeg's own callbacks, taken from a fresh context.
struct TDefaultIO {
  int (*Open)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
  int (*Close2)(AVFormatContext*, AVIOContext*) = nullptr;
};

const TDefaultIO& DefaultIO() {
  static TDefaultIO io;
  static std::once_flag once;
  std::call_once(once, [] {
    AVFormatContext* s = avformat_alloc_context();
    if (s) {
      io.Open = s->io_open;
      io.Close2 = s->io_close2;
      avformat_free_context(s);
    }
  });
  return io;
}

int FormatIOOpen(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                 AVDictionary** options) {
  const TDefaultIO& def = DefaultIO();
  if (!IsUnicodeURL(url))
    return def.Open ? def.Open(s, pb, url, flags, options)
                    : avio_open2(pb, url, flags, &s->interrupt_callback, options);
  if (pb == &s->pb && !s->oformat) {
    // The main input: avformat_close_input frees it with avio_close, which only knows
    // FFmpeg's own protocols. A plain path is a valid file name here.
    const std::string path = "file:" + StripProtocolPrefix(url);
    return avio_open2(pb, path.c_str(), flags, &s->interrupt_callback, options);
  }
  return UnicodeIOOpen(pb, url, flags, &s->interrupt_callback, options);
}

int FormatIOClose2(AVFormatContext* s, AVIOContext* pb) {
  if (IsUnicodeIO(pb))
    return UnicodeIOClose(&pb);
  const TDefaultIO& def = DefaultIO();
  if (def.Close2)
    return def.Close2(s, pb);
  return avio_close(pb);
}

}  // namespace

bool RegisterUnicodeProtocol() { return true; }
bool UnicodeProtocolAvailable() { return true; }

int IsImageSequenceName(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos)
    return 0;
  const std::string ext = name.substr(dot + 1);
  for (const TImageExt& e : kImageExts)
    if (av_strcasecmp(ext.c_str(), e.Ext) == 0)
      return e.Id;
  return 0;
}

bool NeedsUnicodeProtocol(const std::string& name) {
  const auto colon = name.find(':');
  if (colon != std::string::npos) {
    const std::string scheme = ":" + name.substr(0, colon) + ":";
    if (std::string(kKnownProtocols).find(scheme) != std::string::npos)
      return false;
  }
  std::string bytes;
  return !ToCodePage(name, bytes);
}

std::string FileNameToURL(const std::string& name) {
  if (!IsImageSequenceName(name))
    return name;
  if (UnicodeProtocolAvailable() && NeedsUnicodeProtocol(name))
    return kUnicodePrefix + name;
  std::string bytes;
  ToCodePage(name, bytes);
  return bytes;
}

std::string InputFileURL(const std::string& name) {
  struct stat st;
  if (!name.empty() && stat(name.c_str(), &st) == 0) {
    // FFmpeg reads "scheme:" before the first '/' as a protocol.
    const size_t colon = name.find(':'), slash = name.find('/');
    if (colon != std::string::npos && (slash == std::string::npos || colon < slash)) return "file:" + name;
  }
  return FileNameToURL(name);
}

bool IsExistingFileWithPattern(const std::string& name) {
  struct stat st;
  return name.find('%') != std::string::npos && IsImageSequenceName(name) && stat(name.c_str(), &st) == 0 &&
         S_ISREG(st.st_mode);
}

std::string URLToFileName(const std::string& url) {
  if (IsImageSequenceName(url) && UnicodeProtocolAvailable() &&
      url.compare(0, strlen(kUnicodePrefix), kUnicodePrefix) == 0 && url.size() >= 14)
    return StripProtocolPrefix(url.c_str());
  if (IsImageSequenceName(url))
    return FromCodePage(url);
  return url;
}

void SetFileNameCodePage(const std::string& charset) {
  std::lock_guard<std::mutex> lock(gCodePageLock);
  gCodePage = charset.empty() ? "UTF-8" : charset;
}

std::string FileNameCodePage() { return CurrentCodePage(); }

bool IsUnicodeURL(const char* url) { return url && strncmp(url, "unicode:", 8) == 0; }

bool IsUnicodeIO(const AVIOContext* pb) { return pb && pb->read_packet == UnicodeRead; }

int UnicodeIOOpen(AVIOContext** pb, const char* url, int flags, const AVIOInterruptCB* interruptCB,
                  AVDictionary** options) {
  if (!pb)
    return AVERROR(EINVAL);
  *pb = nullptr;
  if (!IsUnicodeURL(url))
    return avio_open2(pb, url, flags, interruptCB, options);

  const std::string path = StripProtocolPrefix(url);
  // "truncate" 0 as for the file protocol: a file is written over without being emptied first.
  bool truncate = true;
  if (options && *options) {
    if (const AVDictionaryEntry* e = av_dict_get(*options, "truncate", nullptr, 0))
      truncate = std::strcmp(e->value, "0") != 0;
    av_dict_set(options, "truncate", nullptr, 0);
  }
  int access;
  const bool canRead = flags & AVIO_FLAG_READ, canWrite = flags & AVIO_FLAG_WRITE;
  if (canRead && canWrite)
    access = O_RDWR | O_CREAT | (truncate ? O_TRUNC : 0);
  else if (canWrite)
    access = O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0);
  else
    access = O_RDONLY;  // an existing file only: never created, never truncated
  const int fd = open(path.c_str(), access | O_CLOEXEC, 0666);
  if (fd < 0)
    return AVERROR(errno);

  auto file = std::make_unique<TUnicodeFile>();
  file->Fd = fd;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
  AVIOContext* ctx = buffer ? avio_alloc_context(buffer, kIOBufferSize, canWrite ? 1 : 0,
                                                 file.get(), UnicodeRead, UnicodeWrite, UnicodeSeek)
                            : nullptr;
  if (!ctx) {
    av_free(buffer);
    close(fd);
    return AVERROR(ENOMEM);
  }
  file.release();  // owned by ctx->opaque from here until UnicodeIOClose
  *pb = ctx;
  return 0;
}

int UnicodeIOClose(AVIOContext** pb) {
  if (!pb || !*pb)
    return 0;
  AVIOContext* ctx = *pb;
  *pb = nullptr;
  if (!IsUnicodeIO(ctx))
    return avio_close(ctx);
  std::unique_ptr<TUnicodeFile> file(static_cast<TUnicodeFile*>(ctx->opaque));
  if (ctx->write_flag)
    avio_flush(ctx);
  int ret = ctx->error < 0 ? ctx->error : 0;
  av_freep(&ctx->buffer);
  avio_context_free(&ctx);
  if (close(file->Fd) != 0 && ret == 0)
    ret = AVERROR(errno);
  return ret;
}

void InstallUnicodeIO(AVFormatContext* s) {
  if (!s)
    return;
  DefaultIO();
  s->io_open = FormatIOOpen;
  s->io_close2 = FormatIOClose2;
}

int CloseFormatIO(AVFormatContext* s) {
  if (!s || !s->pb)
    return 0;
  AVIOContext* pb = s->pb;
  s->pb = nullptr;
  if (s->io_close2)
    return s->io_close2(s, pb);
  return UnicodeIOClose(&pb);
}

int OpenUserInput(AVFormatContext** s, const std::string& name, const AVIOInterruptCB* interrupt) {
  *s = avformat_alloc_context();
  if (!*s) return AVERROR(ENOMEM);
  if (interrupt) (*s)->interrupt_callback = *interrupt;
  InstallUnicodeIO(*s);
  AVDictionary* opts = nullptr;
  if (IsExistingFileWithPattern(name)) av_dict_set(&opts, "pattern_type", "none", 0);
  const int r = avformat_open_input(s, InputFileURL(name).c_str(), nullptr, &opts);
  av_dict_free(&opts);
  if (r < 0) return r;  // the context was freed
  (*s)->flags |= AVFMT_FLAG_GENPTS;
  return 0;
}
