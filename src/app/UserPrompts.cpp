#include "app/UserPrompts.h"

#include "binding/FFmpegLogger.h"

namespace orvo {

void TUserPrompts::ShowWarning(const std::string& caption, const std::string& text) const {
  if (Warn) {
    Warn(caption, text);
    return;
  }
  Logger().Log(nullptr, llWarning, caption + ": " + text);
}

bool TUserPrompts::Ask(const std::string& caption, const std::string& text) const {
  if (AskYesNo) return AskYesNo(caption, text);
  return DefaultAnswer;
}

}  // namespace orvo
