#include "app/SettingsStore.h"

#include <cstdlib>

#include "app/GlobalUnit.h"

namespace orvo {

std::string FormatSection(int code) { return "formatInfo" + std::to_string(code); }

std::string DefaultOutputFolder() {
  const char* home = std::getenv("HOME");
  std::string folder = home && *home ? home : TGlobalObject::GetSpecialFolder(kPersonalFolder);
  if (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder + "/duzezoredizore";
}

std::vector<std::string> ParseCatalogueList(const std::string& value) {
  std::vector<std::string> entries;
  if (value.empty()) return entries;
  std::string current;
  for (const char c : value) {
    if (c == ',') {
      entries.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  entries.push_back(current);
  return entries;
}

TCatalogueList ReadCatalogueList(const TIniFile& catalogue, int code, const std::string& key) {
  TCatalogueList list;
  const std::string value = catalogue.ReadString(FormatSection(code), key, "null");
  if (value == "null") return list;
  list.Enabled = true;
  list.Entries = ParseCatalogueList(value);
  return list;
}

int ReadFormatCode(const TIniFile& settings) {
  return settings.ReadInteger(kSettingsSection, "FormatCode", 1);
}

int ReadPreviewVolume(const TIniFile& settings) {
  const int volume = settings.ReadInteger(kSettingsSection, "volume", 0);
  return volume < 0 || volume > 128 ? 64 : volume;
}

bool ReadMute(const TIniFile& settings) { return settings.ReadBool(kSettingsSection, "mute", false); }

std::string ReadOutputDir(const TIniFile& settings) {
  return settings.ReadString(kSettingsSection, "OutPutDir", DefaultOutputFolder());
}

std::string ReadSnapOutputDir(const TIniFile& settings) {
  return settings.ReadString(kSettingsSection, "SnapOutPutDir", DefaultOutputFolder());
}

bool ReadThreadPriority(const TIniFile& settings, TThreadPriority& priority) {
  switch (settings.ReadInteger(kSettingsSection, "priority", 1)) {
    case 0: priority = TThreadPriority::tpIdle; return true;
    case 1: priority = TThreadPriority::tpNormal; return true;
    case 2: priority = TThreadPriority::tpLower; return true;
    case 3: priority = TThreadPriority::tpLowest; return true;
    default: return false;
  }
}

std::string ReadFileExt(const TIniFile& catalogue, int code) {
  return catalogue.ReadString(FormatSection(code), "FileExt", "mp4");
}

std::string ReadProfileZoom(const TIniFile& settings, int code) {
  return settings.ReadString(FormatSection(code), "parazoom", "lbox");
}

bool ReadCategoryCollapsed(const TIniFile& settings, int category) {
  return settings.ReadBool(kListStateSection, std::to_string(category), true);
}

std::string CheckOutputFolders(TIniFile& settings) {
  std::string outputDir;
  for (const char* key : {"OutPutDir", "SnapOutPutDir"}) {
    std::string folder = settings.ReadString(kSettingsSection, key, DefaultOutputFolder());
    if (!TGlobalObject::IsDirWritable(folder)) {
      // The fallback is the home folder's; it is not created here.
      folder = DefaultOutputFolder();
      settings.WriteString(kSettingsSection, key, folder);
    }
    if (outputDir.empty()) outputDir = folder;
  }
  return outputDir;
}

}  // namespace orvo
