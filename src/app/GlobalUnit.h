#pragma once
// The application globals: the two INI file paths, the title and the version text.
#include <string>

namespace orvo {

class TGlobalObject {
 public:
  TGlobalObject();

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

 private:
  std::string title_ = "Orvo SWF Converter";
  std::string versionText_ = " ver 1.30 ";
  std::string settingsFile_;
  std::string formatFile_;
  std::string helpUrl_ = "https://orvo.invalid/help";
  std::string webSiteUrl_ = "https://orvo.invalid/";
};

}  // namespace orvo
