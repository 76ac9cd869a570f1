#pragma once
#include <QMainWindow>
#include <memory>

#include "app/GlobalUnit.h"

class QPlainTextEdit;

namespace orvo {

// The main window. It owns the application globals and loads the media libraries when created.
class TfrmMain : public QMainWindow {
  Q_OBJECT

 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  TGlobalObject& Globals() { return *globals_; }
  // The log view stays hidden; it collects library load failures and log lines.
  QPlainTextEdit* LogView() const { return memLog_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void AddLogLine(const QString& line);

  std::unique_ptr<TGlobalObject> globals_;
  QPlainTextEdit* memLog_ = nullptr;
  bool shownOnce_ = false;
};

}  // namespace orvo
