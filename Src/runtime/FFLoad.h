#pragma once
// The media library loader. The FFmpeg libraries are linked at build time (the executables look in
// LibAV beside themselves first), so loading a library means: it is mapped in the process under
// its file name, its major version is the one the program was built with, and its one-time set-up
// ran. Components check availability through CheckLoaded before they use a library.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>

// The library identifiers, in this order; msvcrt stands for the C runtime library.
enum class TLibrary : int { avcodec, avdevice, avfilter, avformat, avutil, swresample, swscale, msvcrt };
constexpr int LibraryCount = 8;

// A set of library identifiers.
class TLibraries {
public:
  constexpr TLibraries() = default;
  constexpr TLibraries(std::initializer_list<TLibrary> ids) {
    for (TLibrary id : ids)
      FBits |= Bit(id);
  }
  constexpr bool Contains(TLibrary id) const { return (FBits & Bit(id)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr TLibraries& Include(TLibrary id) { FBits |= Bit(id); return *this; }
  constexpr TLibraries& Exclude(TLibrary id) { FBits &= ~Bit(id); return *this; }
  constexpr uint32_t Bits() const { return FBits; }
  constexpr bool operator==(const TLibraries&) const = default;

private:
  static constexpr uint32_t Bit(TLibrary id) { return 1u << static_cast<int>(id); }
  uint32_t FBits = 0;
};

inline constexpr TLibraries AllLibraries{TLibrary::avcodec,    TLibrary::avdevice, TLibrary::avfilter,
                                         TLibrary::avformat,   TLibrary::avutil,   TLibrary::swresample,
                                         TLibrary::swscale,    TLibrary::msvcrt};
// What the decoder needs; the encoder and the player need all.
inline constexpr TLibraries DecoderLibraries{TLibrary::avcodec,    TLibrary::avformat, TLibrary::avutil,
                                             TLibrary::swresample, TLibrary::swscale,  TLibrary::msvcrt};

class TFFLoader {
public:
  // Major version of a library as present at run time; -1 when it has none.
  using TVersionProbe = std::function<int(TLibrary)>;

  explicit TFFLoader(bool hookLogger = true);
  ~TFFLoader();  // unloads all
  TFFLoader(const TFFLoader&) = delete;
  TFFLoader& operator=(const TFFLoader&) = delete;

  // "avcodec", ..., "swscale", "libc".
  static const char* LibraryBaseName(TLibrary id);
  // Major version the program was built with; -1 for the C runtime library.
  static int BuiltMajorVersion(TLibrary id);
  // Major version of the library mapped in the process.
  static int RuntimeMajorVersion(TLibrary id);

  // The library folder; with build-time linking the run path decides which copy is used, so
  // this only names where the libraries were meant to come from.
  std::string LibraryPath() const;
  void SetLibraryPath(const std::string& v);
  std::string LastErrMsg() const;

  // A set file name replaces the default (libavcodec.so.59, ..., libc.so.6); empty restores it.
  std::string LibraryFileName(TLibrary id) const;
  void SetLibraryFileName(TLibrary id, const std::string& fileName);

  bool LoadLib(TLibrary id);
  // In identifier order; at the first failure what this call loaded is unloaded again.
  bool LoadLibs(TLibraries ids);
  bool Loaded(TLibrary id) const;
  bool AllLoaded(TLibraries ids) const;
  // Throws std::runtime_error "Library %s not loaded." for the first missing one.
  void CheckLoaded(TLibraries ids) const;
  void UnloadLib(TLibrary id);
  void UnloadLibs(TLibraries ids);

  // Replaces the run-time version check (tests); an empty probe restores RuntimeMajorVersion.
  // The probe runs under the loader's lock: it must not call the loader.
  void SetVersionProbe(TVersionProbe probe);

private:
  struct TLibraryStatus {
    std::string FileName;   // replaces the default when set
    void* Handle = nullptr; // from dlopen, nullptr = not loaded
    bool Resolved = false;  // version checked and set-up done
  };

  bool LoadLibLocked(TLibrary id);
  void UnloadLibLocked(TLibrary id);
  std::string LibraryFileNameLocked(TLibrary id) const;
  void AfterLoad(TLibrary id);

  // Guards FStatus, FLibraryPath, FLastErrMsg and FVersionProbe. Public calls take it once and
  // the *Locked helpers run under it; the version probe and AfterLoad run under it too and do
  // not call back into the loader.
  mutable std::mutex FLock;
  TLibraryStatus FStatus[LibraryCount];
  std::string FLibraryPath;
  std::string FLastErrMsg;
  bool FHookLogger;
  TVersionProbe FVersionProbe;
};

// The process's loader; unloads everything at program end.
TFFLoader& FFLoader();
