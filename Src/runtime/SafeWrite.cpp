#include "runtime/SafeWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace {

std::string ErrText(const std::string& path, int err) { return path + ": " + strerror(err); }

// Names that the media library reads as plain files may carry a protocol prefix.
bool StatInput(const std::string& name, struct stat* st) {
  if (stat(name.c_str(), st) == 0) return true;
  for (const char* prefix : {"file:", "unicode:"}) {
    const size_t n = strlen(prefix);
    if (name.compare(0, n, prefix) == 0 && stat(name.c_str() + n, st) == 0) return true;
  }
  return false;
}

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file really written: a symbolic link is followed so that the link itself survives.
bool ResolveTarget(const std::string& path, std::string* finalPath, TWriteCheck* check) {
  struct stat lst;
  if (lstat(path.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) {
    *finalPath = path;
    return true;
  }
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
  if (!real) {
    check->Refusal = TWriteRefusal::NotRegular;
    check->Message = path + ": a symbolic link to nothing";
    return false;
  }
  *finalPath = real.get();
  return true;
}

mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(strtoul(line.c_str() + 6, nullptr, 8));
  return 022;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (!StatInput(a, &sa) || !StatInput(b, &sb)) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

TWriteCheck CheckWriteTarget(const std::string& path, const std::vector<std::string>& inputs,
                             bool replaceExisting) {
  TWriteCheck check;
  if (path.empty()) {
    check.Refusal = TWriteRefusal::BadPath;
    check.Message = "No output file name";
    return check;
  }
  std::string finalPath;
  if (!ResolveTarget(path, &finalPath, &check)) return check;
  struct stat st;
  if (stat(finalPath.c_str(), &st) == 0) {
    for (const std::string& input : inputs) {
      struct stat si;
      if (StatInput(input, &si) && si.st_dev == st.st_dev && si.st_ino == st.st_ino) {
        check.Refusal = TWriteRefusal::IsInput;
        check.Message = path + ": this is an input file and is never written";
        return check;
      }
    }
    if (S_ISDIR(st.st_mode)) {
      check.Refusal = TWriteRefusal::NotRegular;
      check.Message = ErrText(path, EISDIR);
      return check;
    }
    if (!S_ISREG(st.st_mode)) {
      check.Refusal = TWriteRefusal::NotRegular;
      check.Message = path + ": not a regular file";
      return check;
    }
    if (!replaceExisting) {
      check.Refusal = TWriteRefusal::Exists;
      check.Message = ErrText(path, EEXIST);
    }
    return check;
  }
  if (errno != ENOENT) {
    check.Refusal = TWriteRefusal::BadPath;
    check.Message = ErrText(path, errno);
    return check;
  }
  struct stat sd;
  const std::string dir = DirName(finalPath);
  const int dirErr = stat(dir.c_str(), &sd) != 0 ? errno : S_ISDIR(sd.st_mode) ? 0 : ENOTDIR;
  if (dirErr) {
    check.Refusal = TWriteRefusal::BadPath;
    check.Message = ErrText(path, dirErr);
  }
  return check;
}

TSafeFile::~TSafeFile() { Discard(); }

bool TSafeFile::Open(const std::string& path, const std::vector<std::string>& inputs,
                     bool replaceExisting, std::string* err) {
  Discard();
  FPath = path;
  FReplace = replaceExisting;
  TWriteCheck check = CheckWriteTarget(path, inputs, replaceExisting);
  FRefusal = check.Refusal;
  if (!check) {
    if (err) *err = check.Message;
    return false;
  }
  TWriteCheck unused;
  ResolveTarget(path, &FFinalPath, &unused);
  struct stat st;
  FTargetExisted = replaceExisting && stat(FFinalPath.c_str(), &st) == 0;
  std::string dir = DirName(FFinalPath);
  // A leading "./" or "/" keeps libraries that open by name from reading a protocol in it.
  if (dir[0] != '/' && dir.compare(0, 2, "./") != 0 && dir != ".") dir = "./" + dir;
  const std::string suffix = "-" + BaseName(FFinalPath);
  std::string name = dir + "/.trimora-XXXXXX" + suffix;
  if (name.size() >= PATH_MAX) {
    FRefusal = TWriteRefusal::BadPath;
    if (err) *err = ErrText(path, ENAMETOOLONG);
    return false;
  }
  std::vector<char> buf(name.begin(), name.end());
  buf.push_back('\0');
  const int fd = mkostemps(buf.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) {
    FRefusal = TWriteRefusal::BadPath;
    if (err) *err = ErrText(path, errno);
    return false;
  }
  FFd = fd;
  FTempPath = buf.data();
  return true;
}

FILE* TSafeFile::Stream() {
  if (!FStream && FFd >= 0) {
    FStream = fdopen(FFd, "wb");
    if (!FStream) return nullptr;
  }
  return FStream;
}

void TSafeFile::CloseFd() {
  if (FStream) {
    fclose(FStream);
    FStream = nullptr;
    FFd = -1;
  } else if (FFd >= 0) {
    close(FFd);
    FFd = -1;
  }
}

void TSafeFile::StartWriteBack() {
  if (!Replaces()) return;  // no sync follows for a new name
  if (FStream) fflush(FStream);
  int fd = FFd;
  if (fd < 0) {
    if (FWriteBackFd < 0) FWriteBackFd = open(FTempPath.c_str(), O_RDONLY | O_CLOEXEC);
    fd = FWriteBackFd;
  }
  // Only a hint: failures show in the sync that Commit waits for.
  if (fd >= 0) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void TSafeFile::CloseWriteBackFd() {
  if (FWriteBackFd >= 0) close(FWriteBackFd);
  FWriteBackFd = -1;
}

int TSafeFile::FinishContent(const struct stat* old) {
  int failure = 0;
  CloseWriteBackFd();
  if (FStream && fflush(FStream) != 0) failure = errno;
  // A writer that closed the descriptor reopens the file to sync it.
  int fd = FFd >= 0 ? FFd : open(FTempPath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && !failure) failure = errno;
  if (fd >= 0 && !failure) {
    mode_t mode = 0666 & ~CurrentUmask();
    if (old) {
      mode = old->st_mode & 07777;
      // Best effort: only a privileged writer may hand the file to its old owner.
      if (fchown(fd, old->st_uid, old->st_gid) != 0) {
      }
    }
    fchmod(fd, mode);
    // Replacing a file waits until the new content is on the disk, so that a crash leaves the
    // old file or the new one, never a truncated one. A new name has nothing of the user's to
    // lose, and the wait would make every cut slower than any other writer.
    if (old && fsync(fd) != 0) failure = errno;
  }
  if (fd >= 0 && fd != FFd) close(fd);
  if (FStream) {
    if (fclose(FStream) != 0 && !failure) failure = errno;
    FStream = nullptr;
    FFd = -1;
  } else if (FFd >= 0) {
    if (close(FFd) != 0 && !failure) failure = errno;
    FFd = -1;
  }
  return failure;
}

int TSafeFile::PlaceWithoutReplacing(const std::string& dest) {
  if (link(FTempPath.c_str(), dest.c_str()) == 0) {
    unlink(FTempPath.c_str());
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  // File systems without hard links still offer an exclusive rename.
  if (renameat2(AT_FDCWD, FTempPath.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE) != 0)
    return errno;
  return 0;
}

bool TSafeFile::Settle(int failure, std::string* err) {
  if (failure) {
    unlink(FTempPath.c_str());
    FTempPath.clear();
    if (err) *err = ErrText(FPath, failure);
    return false;
  }
  FTempPath.clear();
  return true;
}

bool TSafeFile::Commit(std::string* err) {
  if (!IsOpen()) {
    if (err) *err = FPath + ": not open for writing";
    return false;
  }
  struct stat old;
  const bool replacing =
      FReplace && stat(FFinalPath.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  int failure = FinishContent(replacing ? &old : nullptr);
  if (!failure) {
    struct stat now;
    if (stat(FFinalPath.c_str(), &now) == 0 && !S_ISREG(now.st_mode)) {
      failure = S_ISDIR(now.st_mode) ? EISDIR : EEXIST;
    } else if (FReplace) {
      if (rename(FTempPath.c_str(), FFinalPath.c_str()) != 0) failure = errno;
    } else {
      failure = PlaceWithoutReplacing(FFinalPath);
    }
  }
  if (!Settle(failure, err)) return false;
  if (replacing) {
    const int dirFd = open(DirName(FFinalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      fsync(dirFd);
      close(dirFd);
    }
  }
  return true;
}

bool TSafeFile::CommitBeside(const std::string& tag, std::string* placed, std::string* err) {
  struct stat old;
  if (!IsOpen() || !FReplace || stat(FFinalPath.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) {
    if (placed) *placed = FPath;
    return Commit(err);
  }
  int failure = FinishContent(nullptr);
  // Beside the name as given, unless that is a link: then beside the file it names, so the
  // new file stays on the file system it was written on.
  struct stat lst;
  const bool link = lstat(FPath.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
  const std::string& base = link ? FFinalPath : FPath;
  const std::string name = BaseName(base);
  const size_t dot = name.rfind('.');
  const size_t stemEnd = dot == std::string::npos || dot == 0 ? name.size() : dot;
  const std::string head = base.substr(0, base.size() - name.size()) + name.substr(0, stemEnd);
  const std::string ext = name.substr(stemEnd);
  constexpr int kMaxTries = 1000;
  std::string dest;
  for (int n = 1; !failure; n++) {
    if (n > kMaxTries) {
      failure = EEXIST;
      break;
    }
    dest = head + "_(" + tag + (n > 1 ? "_" + std::to_string(n) : std::string()) + ")" + ext;
    failure = PlaceWithoutReplacing(dest);
    if (failure != EEXIST) break;
    failure = 0;
  }
  if (!Settle(failure, err)) return false;
  if (placed) *placed = dest;
  return true;
}

void TSafeFile::Discard() {
  CloseWriteBackFd();
  CloseFd();
  if (!FTempPath.empty()) {
    unlink(FTempPath.c_str());
    FTempPath.clear();
  }
}

bool SafeWriteFile(const std::string& path, const void* data, size_t size,
                   const std::vector<std::string>& inputs, bool replaceExisting, std::string* err) {
  TSafeFile file;
  if (!file.Open(path, inputs, replaceExisting, err)) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(file.Fd(), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : EIO;
      file.Discard();
      if (err) *err = ErrText(path, e);
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return file.Commit(err);
}
