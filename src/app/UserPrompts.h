#pragma once
// The message boxes the application core may need while it works: the windows answer them with
// their boxes, the command-line tool with its own choices. Unset functions count as "no box":
// a warning is only logged and a question gets `DefaultAnswer`.
#include <functional>
#include <string>

namespace orvo {

struct TUserPrompts {
  std::function<void(const std::string& caption, const std::string& text)> Warn;
  std::function<bool(const std::string& caption, const std::string& text)> AskYesNo;
  bool DefaultAnswer = true;

  void ShowWarning(const std::string& caption, const std::string& text) const;
  bool Ask(const std::string& caption, const std::string& text) const;
};

}  // namespace orvo
