#include "app/WinMain.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QWidget>

#include "app/ProfileEditor.h"
#include "app/SettingsStore.h"
#include "binding/FFmpegLoader.h"

namespace orvo {

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent), globals_(std::make_unique<TGlobalObject>()) {
  globals_->InitPaths();
  // Without stored choices a video profile would convert as sound only: the first start stores
  // every profile's catalogue defaults.
  WriteFirstStartSettings(globals_->SettingsFile(), globals_->FormatFile());
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  memLog_ = new QPlainTextEdit(central);
  memLog_->setObjectName("memLog");
  memLog_->setReadOnly(true);
  memLog_->setVisible(false);
  layout->addWidget(memLog_);
  setCentralWidget(central);
  setWindowTitle(QString::fromStdString(globals_->Title()));
  resize(800, 600);

  // A failed load is not fatal here: it is noted in the log and every component refuses work
  // until its libraries are usable.
  if (!FFLoader().LoadLibraries(PlayerLibraries)) AddLogLine(QString::fromStdString(FFLoader().LastError()));
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  globals_->SetVersionText(TGlobalObject::GetFileVersionText());
  setWindowTitle(QString::fromStdString(globals_->Title() + globals_->VersionText()));
  TIniFile settings(globals_->SettingsFile());
  CheckOutputFolders(settings);
}

void TfrmMain::AddLogLine(const QString& line) { memLog_->appendPlainText(line); }

}  // namespace orvo
