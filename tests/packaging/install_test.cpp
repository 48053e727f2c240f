// The installed tree and the Debian package: exactly the expected files, programs that start
// from the prefix (and take a LibAV folder beside them first), desktop data that passes the
// freedesktop.org and AppStream validators, manual pages that keep up with --help.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Fixtures.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavdevice/version.h>
#include <libavfilter/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswresample/version.h>
#include <libswscale/version.h>
}

namespace fs = std::filesystem;

namespace {

const std::string kVersion = TRIMORA_PROJECT_VERSION;
const std::string kAppId = TRIMORA_APP_ID;

// Everything `cmake --install` lays down under the prefix, and nothing else.
const std::vector<std::string> kInstalledFiles = {
    "bin/trimora",
    "bin/trimora-cli",
    "share/applications/trimora.desktop",
    "share/icons/hicolor/scalable/apps/trimora.svg",
    "share/man/man1/trimora-cli.1.gz",
    "share/man/man1/trimora.1.gz",
    "share/metainfo/" + kAppId + ".metainfo.xml",
};

struct TRun {
  int Code = -1;
  std::string Out;
};

TRun Shell(const std::string& cmd, bool withStderr = true) {
  TRun r;
  FILE* p = popen((cmd + (withStderr ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
  const int st = pclose(p);
  r.Code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
std::string Quote(const fs::path& p) { return Quote(p.string()); }

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  std::string l;
  while (std::getline(in, l)) v.push_back(l);
  return v;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class TTempDir {
public:
  TTempDir() {
    std::string t = (fs::temp_directory_path() / "trimora-pkg-XXXXXX").string();
    if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
    FPath = t;
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const fs::path& Path() const { return FPath; }

private:
  fs::path FPath;
};

// Files and links below root, relative, sorted; folders are left out.
std::vector<std::string> FilesBelow(const fs::path& root) {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (!e.is_directory() || e.is_symlink()) files.push_back(fs::relative(e.path(), root).string());
  std::sort(files.begin(), files.end());
  return files;
}

// The build installed into a fresh DESTDIR with the package's prefix, /usr.
class Install : public ::testing::Test {
protected:
  void SetUp() override {
    TRun r = Shell("DESTDIR=" + Quote(FDest.Path()) + " " + Quote(std::string(TRIMORA_CMAKE)) + " --install " +
                   Quote(std::string(TRIMORA_BINARY_DIR)) + " --prefix /usr");
    ASSERT_EQ(r.Code, 0) << r.Out;
    FPrefix = FDest.Path() / "usr";
  }
  std::string Bin(const std::string& name) const { return (FPrefix / "bin" / name).string(); }
  // The window's program with no display at all: only an answer made before Qt starts works.
  TRun Headless(const std::string& args) const {
    return Shell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + Quote(Bin("trimora")) + " " + args);
  }
  std::string ManPage(const std::string& name) const {
    TRun r = Shell("gzip -dc " + Quote(FPrefix / "share/man/man1" / (name + ".1.gz")), false);
    EXPECT_EQ(r.Code, 0) << name;
    return r.Out;
  }

  TTempDir FDest;
  fs::path FPrefix;
};

TEST_F(Install, LaysDownExactlyTheExpectedFiles) {
  EXPECT_EQ(FilesBelow(FPrefix), kInstalledFiles);
  EXPECT_EQ(FilesBelow(FDest.Path()).size(), kInstalledFiles.size()) << "something installed outside the prefix";
  for (const std::string& f : kInstalledFiles) {
    struct stat st {};
    ASSERT_EQ(stat((FPrefix / f).c_str(), &st), 0) << f;
    const mode_t want = f.rfind("bin/", 0) == 0 ? 0755 : 0644;
    EXPECT_EQ(st.st_mode & 07777, want) << f;
  }
}

TEST_F(Install, ProgramsStartFromThePrefix) {
  TRun version = Headless("--version");
  EXPECT_EQ(version.Code, 0);
  EXPECT_EQ(version.Out, "trimora " + kVersion + "\n");

  TRun help = Headless("--help");
  EXPECT_EQ(help.Code, 0);
  EXPECT_EQ(help.Out.rfind("Usage: trimora ", 0), 0u) << help.Out;
  EXPECT_TRUE(Contains(help.Out, "--version")) << help.Out;
  EXPECT_TRUE(Contains(help.Out, "trimorafree/trimfree.ini")) << help.Out;
  // Found behind an option of Qt's as well.
  EXPECT_EQ(Headless("-style fusion --version").Out, version.Out);

  TRun bad = Shell("QT_QPA_PLATFORM=offscreen " + Quote(Bin("trimora")) + " --no-such-option");
  EXPECT_EQ(bad.Code, 2);
  EXPECT_TRUE(Contains(bad.Out, "unknown option: --no-such-option")) << bad.Out;

  const std::string clip = FixturePath(FixtureKind::H264Mp4);
  TRun info = Shell(Quote(Bin("trimora-cli")) + " info " + Quote(clip));
  EXPECT_EQ(info.Code, 0) << info.Out;
  EXPECT_TRUE(Contains(info.Out, "***FFDecoder.FileInfoText")) << info.Out;
  EXPECT_TRUE(Contains(info.Out, "h264")) << info.Out;
}

TEST_F(Install, CliAnswersVersion) {
  TRun r = Shell(Quote(Bin("trimora-cli")) + " --version", false);
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out, "trimora-cli " + kVersion + "\n");
}

TEST_F(Install, RunPathPrefersALibAVFolderBesideTheProgram) {
  const std::string lib = "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR);
  for (const char* name : {"trimora", "trimora-cli"}) {
    TRun dyn = Shell("readelf -d " + Quote(Bin(name)));
    ASSERT_EQ(dyn.Code, 0) << dyn.Out;
    EXPECT_TRUE(Contains(dyn.Out, "(RUNPATH)") && Contains(dyn.Out, "Library runpath: [$ORIGIN/LibAV]")) << dyn.Out;
    EXPECT_FALSE(Contains(dyn.Out, "(RPATH)")) << dyn.Out;
    EXPECT_FALSE(Contains(dyn.Out, TRIMORA_BINARY_DIR)) << "build folder in the run path: " << dyn.Out;
  }

  // Where the system's copy lives, then the same library put into LibAV beside the program.
  const std::regex resolved(lib + " => (\\S+)");
  std::smatch m;
  TRun before = Shell("ldd " + Quote(Bin("trimora-cli")));
  ASSERT_TRUE(std::regex_search(before.Out, m, resolved)) << before.Out;
  const fs::path systemCopy = m[1].str();
  ASSERT_FALSE(Contains(systemCopy.string(), FDest.Path().string())) << systemCopy;
  const fs::path libAV = FPrefix / "bin" / "LibAV";
  fs::create_directory(libAV);
  fs::copy_file(systemCopy, libAV / lib);

  for (const char* name : {"trimora", "trimora-cli"}) {
    TRun after = Shell("ldd " + Quote(Bin(name)));
    ASSERT_TRUE(std::regex_search(after.Out, m, resolved)) << after.Out;
    EXPECT_EQ(fs::path(m[1].str()), libAV / lib) << name;
  }
  TRun info = Shell(Quote(Bin("trimora-cli")) + " info " + Quote(FixturePath(FixtureKind::Wav)));
  EXPECT_EQ(info.Code, 0) << info.Out;
}

// Key=value lines of the [Desktop Entry] group.
std::map<std::string, std::string> DesktopKeys(const std::string& text) {
  std::map<std::string, std::string> keys;
  bool inGroup = false;
  for (const std::string& l : Lines(text)) {
    if (!l.empty() && l[0] == '[') inGroup = l == "[Desktop Entry]";
    const size_t eq = l.find('=');
    if (inGroup && eq != std::string::npos) keys[l.substr(0, eq)] = l.substr(eq + 1);
  }
  return keys;
}

std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  std::string item;
  while (std::getline(in, item, ';'))
    if (!item.empty()) v.push_back(item);
  return v;
}

TEST_F(Install, DesktopEntryPassesItsValidatorAndNamesWhatIsInstalled) {
  const fs::path entry = FPrefix / "share/applications/trimora.desktop";
  TRun v = Shell("desktop-file-validate " + Quote(entry));
  ASSERT_NE(v.Code, 127) << "desktop-file-validate is missing: run scripts/setup";
  EXPECT_EQ(v.Code, 0) << v.Out;
  EXPECT_EQ(v.Out, "") << "warnings or hints";

  auto keys = DesktopKeys(ReadFile(entry));
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Name"], "Trimora");
  EXPECT_EQ(keys["GenericName"], "Video Cutter");
  EXPECT_FALSE(keys["Comment"].empty());
  EXPECT_EQ(keys["Exec"], "trimora %f");
  EXPECT_TRUE(fs::exists(FPrefix / "bin" / keys["TryExec"])) << keys["TryExec"];
  EXPECT_TRUE(fs::exists(FPrefix / "share/icons/hicolor/scalable/apps" / (keys["Icon"] + ".svg"))) << keys["Icon"];
  EXPECT_EQ(keys["Categories"], "AudioVideo;Video;AudioVideoEditing;");

  // Every type must be one the MIME database knows, or file managers never offer the program;
  // the fixtures' own kinds must all be there.
  const std::vector<std::string> types = SplitList(keys["MimeType"]);
  std::set<std::string> known;
  for (const char* db : {"/usr/share/mime/types", "/usr/share/mime/aliases"})
    for (const std::string& l : Lines(ReadFile(db))) known.insert(l.substr(0, l.find(' ')));
  ASSERT_FALSE(known.empty()) << "no MIME database: run scripts/setup";
  for (const std::string& t : types) EXPECT_TRUE(known.count(t)) << "unknown MIME type " << t;
  for (const char* t : {"video/mp4", "video/x-matroska", "video/x-msvideo", "video/mp2t", "video/webm", "audio/mpeg",
                        "audio/x-wav", "audio/aac"})
    EXPECT_NE(std::find(types.begin(), types.end(), t), types.end()) << t;
}

TEST_F(Install, MetainfoPassesAppStreamPedanticValidation) {
  const fs::path info = FPrefix / "share/metainfo" / (kAppId + ".metainfo.xml");
  TRun v = Shell("appstreamcli validate --pedantic --explain --no-net " + Quote(info));
  ASSERT_NE(v.Code, 127) << "appstreamcli is missing: run scripts/setup";
  EXPECT_EQ(v.Code, 0) << v.Out;
  EXPECT_TRUE(Contains(v.Out, "Validation was successful")) << v.Out;

  const std::string xml = ReadFile(info);
  EXPECT_TRUE(Contains(xml, "<id>" + kAppId + "</id>"));
  EXPECT_TRUE(Contains(xml, "<launchable type=\"desktop-id\">trimora.desktop</launchable>"));
  EXPECT_TRUE(Contains(xml, "<release version=\"" + kVersion + "\"")) << "release list behind the version";
  EXPECT_TRUE(Contains(xml, "<binary>trimora-cli</binary>"));
}

// Command names of the synopsis lines of a usage text ("Usage: P cmd ..." / "       P cmd ...").
std::vector<std::string> UsageCommands(const std::string& usage, const std::string& program) {
  std::vector<std::string> names;
  const std::regex line("^(?:Usage:| *) " + program + " ([a-z][a-z0-9-]*)");
  std::smatch m;
  for (const std::string& l : Lines(usage))
    if (std::regex_search(l, m, line)) names.push_back(m[1]);
  return names;
}

// Long options named in a text, such as "--version".
std::set<std::string> LongOptions(const std::string& text) {
  std::set<std::string> opts;
  const std::regex opt("--[a-z][a-z-]*");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), opt); it != std::sregex_iterator(); ++it)
    opts.insert(it->str());
  return opts;
}

// Roff writes a minus as "\-".
std::string Roff(std::string s) {
  std::string r;
  for (char c : s) r += c == '-' ? std::string("\\-") : std::string(1, c);
  return r;
}

TEST_F(Install, ManualPagesRenderCleanAndCoverTheUsageTexts) {
  for (const char* name : {"trimora", "trimora-cli"}) {
    const fs::path gz = FPrefix / "share/man/man1" / (std::string(name) + ".1.gz");
    TRun lint = Shell("gzip -dc " + Quote(gz) + " | LC_ALL=C.UTF-8 groff -man -ww -z");
    EXPECT_EQ(lint.Code, 0) << name;
    EXPECT_EQ(lint.Out, "") << name << ": roff warnings";
    TRun shown = Shell("MANWIDTH=80 man -l " + Quote(gz), false);
    EXPECT_EQ(shown.Code, 0) << name;
    EXPECT_TRUE(Contains(shown.Out, "EXIT STATUS")) << name;
    EXPECT_TRUE(Contains(shown.Out, "trimorafree/trimfree.ini")) << name;
    EXPECT_TRUE(Contains(shown.Out, "Trimora " + kVersion)) << name;
  }

  const std::string cliPage = ManPage("trimora-cli");
  TRun cliHelp = Shell(Quote(Bin("trimora-cli")) + " --help", false);
  ASSERT_EQ(cliHelp.Code, 0);
  const std::vector<std::string> commands = UsageCommands(cliHelp.Out, "trimora-cli");
  ASSERT_GE(commands.size(), 3u) << cliHelp.Out;
  for (const std::string& c : commands)
    EXPECT_TRUE(Contains(cliPage, ".SS " + c + "\n")) << "command " << c << " missing from data/trimora-cli.1.in";
  for (const std::string& o : LongOptions(cliHelp.Out))
    EXPECT_TRUE(Contains(cliPage, Roff(o))) << "option " << o << " missing from data/trimora-cli.1.in";
  EXPECT_TRUE(Contains(cliPage, Roff("--version")));

  const std::string guiPage = ManPage("trimora");
  const std::set<std::string> guiOptions = LongOptions(Headless("--help").Out);
  EXPECT_TRUE(guiOptions.count("--help") && guiOptions.count("--version"));
  for (const std::string& o : guiOptions)
    EXPECT_TRUE(Contains(guiPage, Roff(o))) << "option " << o << " missing from data/trimora.1.in";
}

// Package names of a Depends field, each with a version bound as dpkg-shlibdeps writes them:
// "libc6 (>= 2.34), libsdl2-2.0-0 (>= 2.0.12)" -> libc6, libsdl2-2.0-0.
std::vector<std::string> SplitDepends(const std::string& field) {
  std::vector<std::string> names;
  const std::regex item("([a-z0-9][a-z0-9.+-]*) \\(>= [^)]+\\)(, |$)");
  for (auto it = std::sregex_iterator(field.begin(), field.end(), item); it != std::sregex_iterator(); ++it)
    names.push_back((*it)[1]);
  return names;
}

// The Debian package made by CPack from the same build.
class Package : public ::testing::Test {
protected:
  void SetUp() override {
    TRun r = Shell(Quote(std::string(TRIMORA_CPACK)) + " -G DEB --config " +
                   Quote(std::string(TRIMORA_BINARY_DIR) + "/CPackConfig.cmake") + " -B " + Quote(FOut.Path()));
    ASSERT_EQ(r.Code, 0) << r.Out;
    for (const auto& e : fs::directory_iterator(FOut.Path()))
      if (e.path().extension() == ".deb") FDeb = e.path();
    ASSERT_FALSE(FDeb.empty()) << r.Out;
  }
  std::string Field(const std::string& name) const {
    TRun r = Shell("dpkg-deb -f " + Quote(FDeb) + " " + name, false);
    EXPECT_EQ(r.Code, 0) << name;
    while (!r.Out.empty() && r.Out.back() == '\n') r.Out.pop_back();
    return r.Out;
  }

  TTempDir FOut;
  fs::path FDeb;
};

TEST_F(Package, HoldsTheInstalledFilesAndNamesTheLibrariesItNeeds) {
  TRun list = Shell("dpkg-deb -c " + Quote(FDeb), false);
  ASSERT_EQ(list.Code, 0);
  std::vector<std::string> files;
  for (const std::string& l : Lines(list.Out)) {
    // "-rwxr-xr-x root/root 12345 2026-01-01 00:00 ./usr/bin/trimora"
    if (l.empty() || l[0] == 'd') continue;
    const size_t dot = l.find(" ./");
    ASSERT_NE(dot, std::string::npos) << l;
    files.push_back(l.substr(dot + 3));
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> want;
  for (const std::string& f : kInstalledFiles) want.push_back("usr/" + f);
  EXPECT_EQ(files, want) << list.Out;

  EXPECT_EQ(Field("Package"), "trimora");
  EXPECT_EQ(Field("Version"), kVersion);
  EXPECT_EQ(Field("Section"), "video");
  EXPECT_EQ(Field("Architecture") + "\n", Shell("dpkg --print-architecture", false).Out);

  // Worked out by dpkg-shlibdeps: every library the programs link, under its package name.
  const std::string dependsText = Field("Depends");
  const std::vector<std::string> names = SplitDepends(dependsText);
  const std::set<std::string> depends(names.begin(), names.end());
  for (const std::string& pkg :
       {"libavcodec" + std::to_string(LIBAVCODEC_VERSION_MAJOR), "libavformat" + std::to_string(LIBAVFORMAT_VERSION_MAJOR),
        "libavutil" + std::to_string(LIBAVUTIL_VERSION_MAJOR), "libavfilter" + std::to_string(LIBAVFILTER_VERSION_MAJOR),
        "libavdevice" + std::to_string(LIBAVDEVICE_VERSION_MAJOR),
        "libswscale" + std::to_string(LIBSWSCALE_VERSION_MAJOR),
        "libswresample" + std::to_string(LIBSWRESAMPLE_VERSION_MAJOR)})
    EXPECT_TRUE(depends.count(pkg)) << pkg << " not in Depends: " << dependsText;
  for (const char* pkg : {"libjpeg62-turbo", "libqt6widgets6", "libqt6gui6", "libqt6core6", "libc6", "libstdc++6"})
    EXPECT_TRUE(depends.count(pkg)) << pkg << " not in Depends: " << dependsText;

  // And, found the other way round, the package of every library a program links directly.
  TTempDir root;
  ASSERT_EQ(Shell("dpkg-deb -x " + Quote(FDeb) + " " + Quote(root.Path())).Code, 0);
  const std::regex needed("\\(NEEDED\\)\\s+Shared library: \\[([^\\]]+)\\]");
  for (const char* name : {"trimora", "trimora-cli"}) {
    const std::string exe = (root.Path() / "usr/bin" / name).string();
    const std::string dynamic = Shell("readelf -d " + Quote(exe)).Out;
    const std::string resolved = Shell("ldd " + Quote(exe)).Out;
    int libraries = 0;
    for (auto it = std::sregex_iterator(dynamic.begin(), dynamic.end(), needed); it != std::sregex_iterator(); ++it) {
      const std::string soname = (*it)[1];
      std::smatch m;
      ASSERT_TRUE(std::regex_search(resolved, m, std::regex(std::regex_replace(soname, std::regex("[.+]"), "\\$&") +
                                                            " => (\\S+)")))
          << soname << " not found: " << resolved;
      // "libjpeg62-turbo:amd64: /lib/x86_64-linux-gnu/libjpeg.so.62" (merged /usr: try both)
      std::string path = fs::canonical(m[1].str()).string();
      TRun owner = Shell("dpkg -S " + Quote(path) + " || dpkg -S " + Quote(path.substr(4)), false);
      ASSERT_EQ(owner.Code, 0) << path;
      const std::string pkg = owner.Out.substr(0, owner.Out.find_first_of(":,"));
      EXPECT_TRUE(depends.count(pkg)) << name << " links " << soname << " of " << pkg << ", not in Depends: " << dependsText;
      ++libraries;
    }
    EXPECT_GE(libraries, 8) << name << ": " << dynamic;
  }

  // The packaged programs are stripped and keep the run path.
  for (const char* name : {"trimora", "trimora-cli"}) {
    const fs::path exe = root.Path() / "usr/bin" / name;
    EXPECT_FALSE(Contains(Shell("readelf -S " + Quote(exe)).Out, ".symtab")) << name << " not stripped";
    EXPECT_TRUE(Contains(Shell("readelf -d " + Quote(exe)).Out, "Library runpath: [$ORIGIN/LibAV]")) << name;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
