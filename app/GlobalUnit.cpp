#include "GlobalUnit.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <linux/magic.h>
#include <pwd.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#ifndef TRIMORA_VERSION_MAJOR
#define TRIMORA_VERSION_MAJOR 0
#endif
#ifndef TRIMORA_VERSION_MINOR
#define TRIMORA_VERSION_MINOR 0
#endif
#ifndef TRIMORA_VERSION_PATCH
#define TRIMORA_VERSION_PATCH 0
#endif
#ifndef TRIMORA_VERSION_TWEAK
#define TRIMORA_VERSION_TWEAK 0
#endif

QString UserProfileDir() {
  const char* home = std::getenv("HOME");
  QString dir = (home && *home) ? QString::fromLocal8Bit(home) : QDir::homePath();
  while (dir.length() > 1 && dir.endsWith('/')) dir.chop(1);
  return dir;
}

QString TGlobalObject::SpecialFolder(int csidl) {
  QString dir;
  if (csidl == CSIDL_COMMON_APPDATA)
    dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  else if (csidl == CSIDL_PROFILE)
    dir = UserProfileDir();
  if (dir.isEmpty()) return dir;
  if (!dir.endsWith('/')) dir += '/';
  return dir;
}

QString TGlobalObject::GetVersionText() {
  // An empty definition (a version without that part) counts as 0.
  return QStringLiteral(" %1.%2%3%4 ")
      .arg(TRIMORA_VERSION_MAJOR + 0)
      .arg(TRIMORA_VERSION_MINOR + 0)
      .arg(TRIMORA_VERSION_PATCH + 0)
      .arg(TRIMORA_VERSION_TWEAK + 0);
}

QString TGlobalObject::UserName() {
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name)
    return QString::fromLocal8Bit(pw->pw_name).left(252);
  if (const char* user = std::getenv("USER")) return QString::fromLocal8Bit(user).left(252);
  return QString();
}

bool TGlobalObject::FolderWriteTest(const QString& dir) {
  if (dir.isEmpty()) return false;
  std::string tmpl = QDir(dir).filePath(QStringLiteral("DAXXXXXX")).toStdString();
  int fd = mkstemp(tmpl.data());
  if (fd < 0) return false;
  close(fd);
  return unlink(tmpl.c_str()) == 0;
}

QString TGlobalObject::RightStr(const QString& s, int n) {
  if (n <= 0) return QString();
  return s.length() <= n ? s : s.right(n);
}

bool IsOnCdRom(const QString& path) {
  struct statfs st {};
  if (statfs(path.toLocal8Bit().constData(), &st) != 0) return false;
  const auto type = static_cast<unsigned long>(st.f_type);
  return type == ISOFS_SUPER_MAGIC || type == UDF_SUPER_MAGIC;
}

namespace {
QVariant ReadValue(const QString& path, const QString& key) {
  if (path.isEmpty()) return {};
  QSettings ini(path, QSettings::IniFormat);
  ini.beginGroup(QStringLiteral("settings"));
  return ini.value(key);
}

void WriteValue(const QString& path, const QString& key, const QVariant& value) {
  if (path.isEmpty()) return;
  QSettings ini(path, QSettings::IniFormat);
  ini.beginGroup(QStringLiteral("settings"));
  ini.setValue(key, value);
  ini.endGroup();
  ini.sync();
}

// A hand-edited value with an unquoted comma comes back as a list.
QString VariantText(const QVariant& v) {
  if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(',');
  return v.toString();
}
}  // namespace

QString TSettingsFile::ReadString(const QString& key, const QString& def) const {
  QVariant v = ReadValue(FPath, key);
  return v.isValid() ? VariantText(v) : def;
}

int TSettingsFile::ReadInteger(const QString& key, int def) const {
  QVariant v = ReadValue(FPath, key);
  if (!v.isValid()) return def;
  bool ok = false;
  int n = VariantText(v).trimmed().toInt(&ok);
  return ok ? n : def;
}

bool TSettingsFile::ReadBool(const QString& key, bool def) const {
  QVariant v = ReadValue(FPath, key);
  if (!v.isValid()) return def;
  QString text = VariantText(v).trimmed();
  if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return true;
  if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) return false;
  bool ok = false;
  int n = text.toInt(&ok);
  return ok ? n != 0 : def;
}

void TSettingsFile::WriteString(const QString& key, const QString& value) const {
  WriteValue(FPath, key, value);
}

void TSettingsFile::WriteInteger(const QString& key, int value) const {
  WriteValue(FPath, key, value);
}

void TSettingsFile::WriteBool(const QString& key, bool value) const {
  WriteValue(FPath, key, value ? 1 : 0);
}
