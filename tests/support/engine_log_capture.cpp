#include "support/engine_log_capture.h"

namespace orvo::testing {

void EngineLogCapture::Start(TLogLevel level, TLogLevel keepUpTo) {
  savedLevel_ = Logger().LogLevel();
  keepUpTo_ = keepUpTo;
  Logger().SetLogLevel(level);
  Logger().TriggerEventInMainThread = false;
  Logger().OnLog = [this](const void* sender, uint32_t, TLogLevel lineLevel,
                          const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sender_ && sender == sender_() && lineLevel <= keepUpTo_)
      lines_.push_back({lineLevel, text});
  };
  started_ = true;
}

void EngineLogCapture::Stop() {
  if (!started_) return;
  started_ = false;
  Logger().OnLog = nullptr;
  Logger().TriggerEventInMainThread = true;
  Logger().SetLogLevel(savedLevel_);
}

void EngineLogCapture::Follow(const void* sender, bool forget) {
  std::lock_guard<std::mutex> lock(mutex_);
  sender_ = [sender] { return sender; };
  if (forget) lines_.clear();
}

void EngineLogCapture::FollowCurrent(std::function<const void*()> current) {
  std::lock_guard<std::mutex> lock(mutex_);
  sender_ = std::move(current);
}

void EngineLogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::vector<TLogLine> EngineLogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool EngineLogCapture::Logged(TLogLevel level, const std::string& text) const {
  return Count(level, text) > 0;
}

bool EngineLogCapture::LoggedContaining(const std::string& part) const {
  return !Containing(part).empty();
}

int EngineLogCapture::Count(TLogLevel level, const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const TLogLine& l : lines_) count += l.Level == level && l.Text == text;
  return count;
}

std::vector<std::string> EngineLogCapture::Containing(const std::string& part) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> found;
  for (const TLogLine& l : lines_)
    if (l.Text.find(part) != std::string::npos) found.push_back(l.Text);
  return found;
}

std::string EngineLogCapture::LastLines(size_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (size_t i = lines_.size() > count ? lines_.size() - count : 0; i < lines_.size(); ++i)
    text += lines_[i].Text + "\n";
  return text;
}

}  // namespace orvo::testing
