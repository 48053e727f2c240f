#include "FFLoad.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include <dlfcn.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "FFLog.h"

namespace {

const char* const BaseNames[LibraryCount] = {"avcodec",    "avdevice", "avfilter", "avformat",
                                             "avutil",     "swresample", "swscale", "libc"};

const char* const DefaultFileNames[LibraryCount] = {
    "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR),
    "libavdevice.so." AV_STRINGIFY(LIBAVDEVICE_VERSION_MAJOR),
    "libavfilter.so." AV_STRINGIFY(LIBAVFILTER_VERSION_MAJOR),
    "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR),
    "libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR),
    "libswresample.so." AV_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR),
    "libswscale.so." AV_STRINGIFY(LIBSWSCALE_VERSION_MAJOR),
    "libc.so.6"};

int Index(TLibrary id) { return static_cast<int>(id); }

std::string LoadLibraryError(const std::string& name, const std::string& reason) {
  return "Load library " + name + " error: " + reason;
}

} // namespace

TFFLoader::TFFLoader(bool hookLogger) : FHookLogger(hookLogger) {}

TFFLoader::~TFFLoader() { UnloadLibs(AllLibraries); }

const char* TFFLoader::LibraryBaseName(TLibrary id) {
  const int i = Index(id);
  return i >= 0 && i < LibraryCount ? BaseNames[i] : "";
}

int TFFLoader::BuiltMajorVersion(TLibrary id) {
  switch (id) {
  case TLibrary::avcodec: return LIBAVCODEC_VERSION_MAJOR;
  case TLibrary::avdevice: return LIBAVDEVICE_VERSION_MAJOR;
  case TLibrary::avfilter: return LIBAVFILTER_VERSION_MAJOR;
  case TLibrary::avformat: return LIBAVFORMAT_VERSION_MAJOR;
  case TLibrary::avutil: return LIBAVUTIL_VERSION_MAJOR;
  case TLibrary::swresample: return LIBSWRESAMPLE_VERSION_MAJOR;
  case TLibrary::swscale: return LIBSWSCALE_VERSION_MAJOR;
  case TLibrary::msvcrt: break;
  }
  return -1;
}

int TFFLoader::RuntimeMajorVersion(TLibrary id) {
  // The version functions answer from the library actually mapped, not from the headers.
  switch (id) {
  case TLibrary::avcodec: return static_cast<int>(avcodec_version() >> 16);
  case TLibrary::avdevice: return static_cast<int>(avdevice_version() >> 16);
  case TLibrary::avfilter: return static_cast<int>(avfilter_version() >> 16);
  case TLibrary::avformat: return static_cast<int>(avformat_version() >> 16);
  case TLibrary::avutil: return static_cast<int>(avutil_version() >> 16);
  case TLibrary::swresample: return static_cast<int>(swresample_version() >> 16);
  case TLibrary::swscale: return static_cast<int>(swscale_version() >> 16);
  case TLibrary::msvcrt: break;
  }
  return -1;
}

std::string TFFLoader::LibraryPath() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLibraryPath;
}

void TFFLoader::SetLibraryPath(const std::string& v) {
  std::lock_guard<std::mutex> guard(FLock);
  FLibraryPath = v;
}

std::string TFFLoader::LastErrMsg() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLastErrMsg;
}

std::string TFFLoader::LibraryFileNameLocked(TLibrary id) const {
  const int i = Index(id);
  if (i < 0 || i >= LibraryCount)
    return std::string();
  if (!FStatus[i].FileName.empty())
    return FStatus[i].FileName;
  return DefaultFileNames[i];
}

std::string TFFLoader::LibraryFileName(TLibrary id) const {
  std::lock_guard<std::mutex> guard(FLock);
  return LibraryFileNameLocked(id);
}

void TFFLoader::SetLibraryFileName(TLibrary id, const std::string& fileName) {
  const int i = Index(id);
  if (i < 0 || i >= LibraryCount)
    return;
  std::lock_guard<std::mutex> guard(FLock);
  FStatus[i].FileName = fileName;
}

void TFFLoader::SetVersionProbe(TVersionProbe probe) {
  std::lock_guard<std::mutex> guard(FLock);
  FVersionProbe = std::move(probe);
}

bool TFFLoader::LoadLib(TLibrary id) {
  std::lock_guard<std::mutex> guard(FLock);
  return LoadLibLocked(id);
}

bool TFFLoader::LoadLibLocked(TLibrary id) {
  const int i = Index(id);
  if (i < 0 || i >= LibraryCount)
    return false;
  TLibraryStatus& status = FStatus[i];
  if (status.Resolved)
    return true;
  const std::string name = LibraryFileNameLocked(id);
  if (!status.Handle) {
    // The libraries are linked in: only a library already mapped under this name is the one the
    // program runs with. Never map a second copy beside it.
    dlerror();
    status.Handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!status.Handle) {
      const char* err = dlerror();
      FLastErrMsg = LoadLibraryError(name, err ? err : "not the library this program runs with");
      return false;
    }
  }
  try {
    const int built = BuiltMajorVersion(id);
    if (built >= 0) {
      const int found = FVersionProbe ? FVersionProbe(id) : RuntimeMajorVersion(id);
      if (found != built) {
        FLastErrMsg = LoadLibraryError(name, "major version " + std::to_string(found) + " found, " +
                                                 std::to_string(built) + " required");
        UnloadLibLocked(id);
        return false;
      }
    }
    AfterLoad(id);
    status.Resolved = true;
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
  }
  if (!status.Resolved)
    UnloadLibLocked(id);
  return status.Resolved;
}

// One-time set-up when a library becomes loaded. Registration of codecs, formats and filters and
// the lock manager are gone from FFmpeg: it registers and locks internally.
void TFFLoader::AfterLoad(TLibrary id) {
  switch (id) {
  case TLibrary::avutil:
    if (FHookLogger)
      FFLogger().InstallAVLogCallback();
    break;
  case TLibrary::avdevice:
    // Device formats are found only after this.
    avdevice_register_all();
    break;
  case TLibrary::avcodec:
    // The SVT-AV1 encoder prints its whole set-up on every open; keep to its errors unless the
    // user asked otherwise.
    setenv("SVT_LOG", "1", 0);
    break;
  case TLibrary::avformat:
    // The "unicode" file protocol is served per format context through io_open/io_close2.
    break;
  default:
    break;
  }
}

bool TFFLoader::LoadLibs(TLibraries ids) {
  std::lock_guard<std::mutex> guard(FLock);
  TLibraries loadedNow;
  for (int i = 0; i < LibraryCount; ++i) {
    const TLibrary id = static_cast<TLibrary>(i);
    if (!ids.Contains(id))
      continue;
    const bool wasLoaded = FStatus[i].Resolved;
    if (!LoadLibLocked(id)) {
      // Leave alone what was loaded before this call: other components rely on it.
      for (int j = 0; j < LibraryCount; ++j)
        if (loadedNow.Contains(static_cast<TLibrary>(j)))
          UnloadLibLocked(static_cast<TLibrary>(j));
      return false;
    }
    if (!wasLoaded)
      loadedNow.Include(id);
  }
  return true;
}

bool TFFLoader::Loaded(TLibrary id) const {
  const int i = Index(id);
  if (i < 0 || i >= LibraryCount)
    return false;
  std::lock_guard<std::mutex> guard(FLock);
  return FStatus[i].Handle && FStatus[i].Resolved;
}

bool TFFLoader::AllLoaded(TLibraries ids) const {
  for (int i = 0; i < LibraryCount; ++i)
    if (ids.Contains(static_cast<TLibrary>(i)) && !Loaded(static_cast<TLibrary>(i)))
      return false;
  return true;
}

void TFFLoader::CheckLoaded(TLibraries ids) const {
  for (int i = 0; i < LibraryCount; ++i) {
    const TLibrary id = static_cast<TLibrary>(i);
    if (ids.Contains(id) && !Loaded(id))
      throw std::runtime_error(std::string("Library ") + LibraryBaseName(id) + " not loaded.");
  }
}

void TFFLoader::UnloadLib(TLibrary id) {
  std::lock_guard<std::mutex> guard(FLock);
  UnloadLibLocked(id);
}

void TFFLoader::UnloadLibLocked(TLibrary id) {
  const int i = Index(id);
  if (i < 0 || i >= LibraryCount)
    return;
  TLibraryStatus& status = FStatus[i];
  status.Resolved = false;
  if (status.Handle) {
    // Drops only our reference; the linked library stays mapped.
    dlclose(status.Handle);
    status.Handle = nullptr;
  }
}

void TFFLoader::UnloadLibs(TLibraries ids) {
  std::lock_guard<std::mutex> guard(FLock);
  for (int i = 0; i < LibraryCount; ++i)
    if (ids.Contains(static_cast<TLibrary>(i)))
      UnloadLibLocked(static_cast<TLibrary>(i));
}

TFFLoader& FFLoader() {
  static TFFLoader loader(true);
  return loader;
}
