#pragma once
// The window's global helper object, the settings file and the small file-system helpers
// used for the output folder.
#include <QString>

// Shell folder identifiers still understood by SpecialFolder.
constexpr int CSIDL_PROFILE = 0x28;
constexpr int CSIDL_COMMON_APPDATA = 0x23;

// Configuration values: the product's web page and the share pages built from it
// (%1 is the percent-encoded web page address).
namespace AppConfig {
inline constexpr const char* ProductTitle = "Trimora Free";
inline constexpr const char* ApplicationTitle = "Trimora";
inline constexpr const char* WebPage = "https://www.example.com/trimora";
struct TShareSite {
  const char* Hint;
  const char* ObjectName;
  const char* UrlTemplate;
};
inline constexpr TShareSite ShareSites[7] = {
    {"Facebook", "btnFacebook", "https://www.example.com/share/facebook?u=%1"},
    {"Google", "btnGoogle", "https://www.example.com/share/google?url=%1"},
    {"Twitter", "btnTwitter", "https://www.example.com/share/twitter?url=%1"},
    {"Reddit", "btnReddit", "https://www.example.com/share/reddit?url=%1"},
    {"Stumbleupon", "btnStumbleupon", "https://www.example.com/share/stumbleupon?url=%1"},
    {"Digg", "btnDigg", "https://www.example.com/share/digg?url=%1"},
    {"Delicious", "btnDelicious", "https://www.example.com/share/delicious?url=%1"},
};
}  // namespace AppConfig

class TGlobalObject {
public:
  const QString& SettingsFile() const { return FSettingsFile; }
  void SetSettingsFile(const QString& v) {
    if (v.length() > 3) FSettingsFile = v;
  }
  const QString& ProductTitle() const { return FProductTitle; }
  void SetProductTitle(const QString& v) {
    if (!v.isEmpty()) FProductTitle = v;
  }
  const QString& VersionText() const { return FVersionText; }
  void SetVersionText(const QString& v) {
    if (!v.isEmpty()) FVersionText = v;
  }
  const QString& WebPage() const { return FWebPage; }
  void SetWebPage(const QString& v) {
    if (!v.isEmpty()) FWebPage = v;
  }

  // The folder with a trailing "/", or empty for folders this system does not have.
  static QString SpecialFolder(int csidl);
  // " major.minorpatchtweak " of the compiled-in version.
  static QString GetVersionText();
  static QString UserName();
  // A temporary file can be created in the folder and removed again.
  static bool FolderWriteTest(const QString& dir);
  static QString RightStr(const QString& s, int n);

private:
  QString FSettingsFile;
  QString FProductTitle;
  QString FVersionText;
  QString FWebPage;
};

// True when the folder lies on a CD or DVD file system (iso9660 or udf).
bool IsOnCdRom(const QString& path);
// Value of $HOME (the user-profile folder), without a trailing "/".
QString UserProfileDir();

// The INI file, section "settings": opened, read or written and closed around every access.
class TSettingsFile {
public:
  explicit TSettingsFile(QString path) : FPath(std::move(path)) {}
  QString ReadString(const QString& key, const QString& def) const;
  int ReadInteger(const QString& key, int def) const;
  bool ReadBool(const QString& key, bool def) const;
  void WriteString(const QString& key, const QString& value) const;
  void WriteInteger(const QString& key, int value) const;
  // Stored as 1 / 0 like every INI file of this kind.
  void WriteBool(const QString& key, bool value) const;

private:
  QString FPath;
};
