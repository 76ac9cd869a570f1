#include "app/GlobalUnit.h"

namespace orvo {

TGlobalObject::TGlobalObject() = default;

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

}  // namespace orvo
