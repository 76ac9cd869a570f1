#include "app/GlobalUnit.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "app/SettingsStore.h"

namespace orvo {
namespace fs = std::filesystem;

namespace {

std::string WithSeparator(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
  std::string home = EnvOrEmpty("HOME");
  if (home.empty()) {
    if (const passwd* entry = getpwuid(getuid())) home = entry->pw_dir ? entry->pw_dir : "";
  }
  return home;
}

// The folder of the running executable.
fs::path ExecutableFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
}

}  // namespace

TGlobalObject::TGlobalObject() = default;

void TGlobalObject::InitPaths() {
  const std::string folder = GetSpecialFolder(kCommonAppDataFolder);
  std::error_code ec;
  fs::create_directories(folder, ec);
  SetSettingsFile(folder + kSettingsFileName);
  SetFormatFile(FindFormatFile());
  SetTitle("Orvo SWF Converter");
}

void TGlobalObject::SetTitle(const std::string& value) {
  if (!value.empty()) title_ = value;
}
void TGlobalObject::SetVersionText(const std::string& value) {
  if (!value.empty()) versionText_ = value;
}
void TGlobalObject::SetSettingsFile(const std::string& value) {
  if (value.size() > 3) settingsFile_ = value;
}
void TGlobalObject::SetFormatFile(const std::string& value) {
  if (value.size() > 3) formatFile_ = value;
}
void TGlobalObject::SetHelpUrl(const std::string& value) {
  if (!value.empty()) helpUrl_ = value;
}
void TGlobalObject::SetWebSiteUrl(const std::string& value) {
  if (!value.empty()) webSiteUrl_ = value;
}

std::string TGlobalObject::GetFileVersionText() {
  return " " + std::to_string(ORVO_VERSION_MAJOR) + "." + std::to_string(ORVO_VERSION_MINOR) +
         std::to_string(ORVO_VERSION_PATCH) + std::to_string(ORVO_VERSION_TWEAK) + " ";
}

bool TGlobalObject::IsDirWritable(const std::string& dir) {
  if (dir.empty()) return false;
  std::string pattern = WithSeparator(dir) + "DAXXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  close(fd);
  return unlink(pattern.c_str()) == 0;
}

std::string TGlobalObject::GetSpecialFolder(int id) {
  if (id == kCommonAppDataFolder) return SettingsFolder();
  if (id == kPersonalFolder) return WithSeparator(HomeFolder());
  return {};
}

std::string TGlobalObject::GetLoginName() {
  std::string name;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_name) name = entry->pw_name;
  if (name.empty()) name = EnvOrEmpty("USER");
  if (name.size() > 254) name.resize(254);
  return name;
}

std::string TGlobalObject::RightStr(const std::string& s, int n) {
  if (n <= 0) return {};
  if (static_cast<size_t>(n) >= s.size()) return s;
  return s.substr(s.size() - static_cast<size_t>(n));
}

std::string TGlobalObject::SettingsFolder() {
  if (std::string own = EnvOrEmpty("ORVO_CONFIG_DIR"); !own.empty()) return WithSeparator(own);
  std::string base = EnvOrEmpty("XDG_CONFIG_HOME");
  if (base.empty()) base = WithSeparator(HomeFolder()) + ".config";
  return WithSeparator(WithSeparator(base) + "orvoswfconverter");
}

std::string TGlobalObject::FindFormatFile() {
  std::vector<fs::path> candidates;
  const fs::path exeFolder = ExecutableFolder();
  if (!exeFolder.empty()) {
    candidates.push_back(exeFolder / kFormatFileName);
    candidates.push_back(exeFolder.parent_path() / "share" / "orvoswfconverter" / kFormatFileName);
  }
  candidates.push_back(fs::path(ORVO_INSTALL_DATA_DIR) / kFormatFileName);
  candidates.push_back(fs::path(ORVO_SOURCE_DATA_DIR) / kFormatFileName);
  std::error_code ec;
  for (const auto& path : candidates) {
    if (fs::is_regular_file(path, ec)) return path.string();
  }
  // Nothing found: readers of a missing catalogue fall back to their defaults.
  return (fs::path(ORVO_SOURCE_DATA_DIR) / kFormatFileName).string();
}

}  // namespace orvo
