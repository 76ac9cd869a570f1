#pragma once
// The application globals: the two INI file paths, the title and the version text, and the few
// file-system helpers the windows share.
#include <string>

namespace orvo {

// Shell folder ids the program asks for.
constexpr int kCommonAppDataFolder = 0x23;
constexpr int kPersonalFolder = 0x05;

class TGlobalObject {
 public:
  TGlobalObject();

  // Points both file paths at their folders (the settings folder is created when missing) and
  // sets the title. The settings folder is $ORVO_CONFIG_DIR when set, else
  // $XDG_CONFIG_HOME/orvoswfconverter/, else ~/.config/orvoswfconverter/.
  void InitPaths();

  const std::string& Title() const { return title_; }
  const std::string& VersionText() const { return versionText_; }
  const std::string& SettingsFile() const { return settingsFile_; }
  const std::string& FormatFile() const { return formatFile_; }
  const std::string& HelpUrl() const { return helpUrl_; }
  const std::string& WebSiteUrl() const { return webSiteUrl_; }

  // Setters ignore unsuitable values: the file paths keep their old value when the new one has
  // 3 characters or fewer, the other fields when the new one is empty.
  void SetTitle(const std::string& value);
  void SetVersionText(const std::string& value);
  void SetSettingsFile(const std::string& value);
  void SetFormatFile(const std::string& value);
  void SetHelpUrl(const std::string& value);
  void SetWebSiteUrl(const std::string& value);

  // " major.minorpatchtweak " from the program's version: 3.6.0.0 gives " 3.600 ".
  static std::string GetFileVersionText();

  // True only when a uniquely named file (prefix "DA") can be created in dir and deleted again.
  // A folder that does not exist is not writable.
  static bool IsDirWritable(const std::string& dir);
  // The folder with a trailing separator: kCommonAppDataFolder is the settings folder,
  // kPersonalFolder the home folder; empty for any other id or when there is none.
  static std::string GetSpecialFolder(int id);
  // The current user's login name, at most 254 characters.
  static std::string GetLoginName();
  // The last n characters of s (all of s when shorter).
  static std::string RightStr(const std::string& s, int n);

  // The settings folder described at InitPaths, with a trailing separator.
  static std::string SettingsFolder();
  // The shipped profile catalogue: beside the executable, in ../share/orvoswfconverter/ of it,
  // in the installed data folder, or in the source tree of a build; the first that exists.
  static std::string FindFormatFile();

 private:
  std::string title_ = "Orvo SWF Converter";
  std::string versionText_ = " ver 1.30 ";
  std::string settingsFile_;
  std::string formatFile_;
  std::string helpUrl_ = "https://orvo.invalid/help";
  std::string webSiteUrl_ = "https://orvo.invalid/";
};

}  // namespace orvo
