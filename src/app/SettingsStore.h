#pragma once
// Typed access to the settings file and the profile catalogue with the readers' defaults, so
// every window and tool reads a key the same way. Nothing is cached: each call reads the file.
#include <string>
#include <vector>

#include "platform/threads.h"
#include "platform/ini_file.h"

namespace orvo {

inline constexpr char kSettingsSection[] = "settings";
inline constexpr char kListStateSection[] = "lstformat";
inline constexpr char kSettingsFileName[] = "orvoswfconverter.ini";
inline constexpr char kFormatFileName[] = "orvoswfformat.ini";

// "formatInfo" followed by the profile code: the section of a profile in both files.
std::string FormatSection(int code);

// The output and snapshot folder used when nothing is stored: $HOME/duzezoredizore.
std::string DefaultOutputFolder();

// A catalogue list split at every ",": entries are not trimmed, a trailing "," gives an empty last
// entry and an empty value gives no entries.
std::vector<std::string> ParseCatalogueList(const std::string& value);

// One choice list of a catalogue profile. "null" (and a missing key) disables the control.
struct TCatalogueList {
  bool Enabled = false;
  std::vector<std::string> Entries;
};
TCatalogueList ReadCatalogueList(const TIniFile& catalogue, int code, const std::string& key);

// Settings keys with their readers' defaults.
int ReadFormatCode(const TIniFile& settings);          // "FormatCode", 1
int ReadPreviewVolume(const TIniFile& settings);       // "volume", 0; outside 0..128 gives 64
bool ReadMute(const TIniFile& settings);               // "mute", false
std::string ReadOutputDir(const TIniFile& settings);   // "OutPutDir", DefaultOutputFolder()
std::string ReadSnapOutputDir(const TIniFile& settings);  // "SnapOutPutDir", the same
// "priority" (default 1) as a thread priority: 0 idle, 1 normal, 2 lower, 3 lowest. Other
// values give false and leave `priority` alone.
bool ReadThreadPriority(const TIniFile& settings, TThreadPriority& priority);
// The catalogue's "FileExt" of a profile, default "mp4".
std::string ReadFileExt(const TIniFile& catalogue, int code);
// The stored zoom of a profile ("paraZoom"), default "lbox".
std::string ReadProfileZoom(const TIniFile& settings, int code);
// Whether a category of the profile list is collapsed ("lstformat", key = category), default true.
bool ReadCategoryCollapsed(const TIniFile& settings, int category);

// The folder check made when the main window is first shown: OutPutDir and then SnapOutPutDir
// are replaced by $HOME/duzezoredizore (written back) when not writable. Returns OutPutDir.
std::string CheckOutputFolders(TIniFile& settings);

}  // namespace orvo
