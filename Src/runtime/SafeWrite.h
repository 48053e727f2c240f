#pragma once
// The one way the product writes a file that a user names: pictures, cut outputs and their side
// files. Rules:
//  - a target that is the same file as an input of the operation (same device and inode,
//    however the path is spelt) is refused before anything is written;
//  - an existing target that is not a regular file (device, FIFO, socket, directory) is refused;
//  - the content goes to a new file beside the target, which replaces the target only once it
//    is complete, so a failed or stopped write leaves whatever was there before;
//  - on failure only what this write created is removed.
// A symbolic link as target is followed: the file it names is replaced, the link stays.
#include <cstdio>
#include <string>
#include <vector>

enum class TWriteRefusal {
  None,        // may be written
  IsInput,     // the target is one of the operation's inputs
  Exists,      // the target exists and replacing was not allowed
  NotRegular,  // the target exists and is not a regular file
  BadPath,     // empty name, or a folder that cannot be reached
};

struct TWriteCheck {
  TWriteRefusal Refusal = TWriteRefusal::None;
  std::string Message;  // "" when Refusal is None
  explicit operator bool() const { return Refusal == TWriteRefusal::None; }
};

// True when both names reach the same existing file (device and inode).
bool SameFile(const std::string& a, const std::string& b);

// Checks a target before anything is written. `inputs` are every file the operation reads.
TWriteCheck CheckWriteTarget(const std::string& path, const std::vector<std::string>& inputs,
                             bool replaceExisting = true);

// A file being written safely. Open checks the target and creates the new file beside it;
// the caller writes through Fd(), Stream() or TempPath() (for libraries that open by name);
// Commit puts it in place. Destroying an uncommitted file removes only the new file.
class TSafeFile {
public:
  TSafeFile() = default;
  ~TSafeFile();
  TSafeFile(const TSafeFile&) = delete;
  TSafeFile& operator=(const TSafeFile&) = delete;

  // False with *err set (and the check's refusal in LastRefusal()) when the target is refused
  // or the new file cannot be created.
  bool Open(const std::string& path, const std::vector<std::string>& inputs,
            bool replaceExisting = true, std::string* err = nullptr);
  bool IsOpen() const { return !FTempPath.empty(); }
  // True when Commit replaces a file that existed at Open.
  bool Replaces() const { return IsOpen() && FTargetExisted; }
  TWriteRefusal LastRefusal() const { return FRefusal; }

  // The target as named, and the file that is really replaced (a link's target).
  const std::string& Path() const { return FPath; }
  const std::string& FinalPath() const { return FFinalPath; }
  // The new file beside the target; valid until Commit or Discard.
  const std::string& TempPath() const { return FTempPath; }
  int Fd() const { return FFd; }
  // A stdio stream on Fd(), made on first use; closed by Commit or Discard.
  FILE* Stream();
  // Closes the descriptor (for writers that reopen TempPath() themselves).
  void CloseFd();
  // When a file is being replaced: starts writing what was written so far to the disk without
  // waiting, so that the sync in Commit has little left. Writers of large files call it now and
  // then.
  void StartWriteBack();

  // Flushes and puts the new file in place of the target, or beside nothing (refusing to
  // replace a file that appeared meanwhile when replacing was not allowed). A file that is
  // replaced gets the new content only once it is on the disk. False with *err set leaves the
  // target as it was and the new file removed.
  bool Commit(std::string* err = nullptr);
  // For a write that ended early: a file that would be replaced stays as it is, and the new
  // one goes beside it under the first free name "<stem>_(<tag>)<ext>", "<stem>_(<tag>_2)<ext>",
  // ... (nothing is ever overwritten). Anything else is as Commit. *placed gets the name the
  // content now has: Path() when nothing was kept aside.
  bool CommitBeside(const std::string& tag, std::string* placed, std::string* err = nullptr);
  // Removes the new file; the target is untouched.
  void Discard();

private:
  void CloseWriteBackFd();
  // Flushes, gives the file its mode (an old file's, with its owner, when `old` is given, and
  // then syncs it) and closes it. 0 or an errno value.
  int FinishContent(const struct stat* old);
  // Puts the finished new file at `dest` unless something is there. 0 or an errno value.
  int PlaceWithoutReplacing(const std::string& dest);
  // Ends a commit: on failure removes the new file and sets *err.
  bool Settle(int failure, std::string* err);

  std::string FPath;
  std::string FFinalPath;
  std::string FTempPath;
  int FFd = -1;
  int FWriteBackFd = -1;  // a descriptor of the new file for StartWriteBack after CloseFd
  FILE* FStream = nullptr;
  bool FReplace = true;
  bool FTargetExisted = false;  // at Open: a file is being replaced
  TWriteRefusal FRefusal = TWriteRefusal::None;
};

// Writes a whole buffer safely in one call.
bool SafeWriteFile(const std::string& path, const void* data, size_t size,
                   const std::vector<std::string>& inputs, bool replaceExisting = true,
                   std::string* err = nullptr);
