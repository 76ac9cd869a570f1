#include "app/FileList.h"

#include <filesystem>

#include "app/OutputBuilder.h"
#include "app/SettingsStore.h"
#include "component/AVProbe.h"
#include "component/FFmpegVCL.h"

namespace orvo {

bool TlvFilesRecord::NeedsFrameHook() const {
  if (Brightness != kNeutralBrightness || Contrast != kNeutralContrast ||
      Saturation != kNeutralSaturation || Exposure != kNeutralExposure)
    return true;
  if (WaterMarks.empty() || !WaterMarks.front()) return false;
  return !WaterMarks.front()->Text.empty() || !WaterMarks.front()->ImageFile.empty();
}

int TFileList::AddFiles(const std::vector<std::string>& paths, TFFmpegVCL& component,
                        const std::string& settingsFile, const std::string& formatFile,
                        const TUserPrompts& prompts) {
  component.ClearTasks();
  const TIniFile settings(settingsFile);
  const TIniFile catalogue(formatFile);
  const int code = ReadFormatCode(settings);
  const std::string fileExt = ReadFileExt(catalogue, code);
  const std::string zoom = ReadProfileZoom(settings, code);

  int added = 0;
  for (const std::string& path : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) continue;
    bool known = false;
    for (const TFileRow& row : rows_) known = known || row.Caption == path;
    if (known) continue;

    const std::string destination =
        MakeDestinationName(path, "_ipod." + fileExt, settingsFile, prompts);
    TInputOptions input;
    InitInputOptions(input);
    input.FileName = path;
    const int task = component.AddTask(path, &input);
    if (task < 0) continue;  // not a file the libraries can open

    int64_t duration = -1;
    if (TAVProbe* probe = component.AVProbes(task, 0)) {
      TFileStreamInfo info;
      if (probe->GetFileStreamInfo(info)) duration = info.Duration;
    }
    AddRow(path, destination, duration, zoom);
    ++added;
    component.RemoveTask(task);
    component.ClearTasks();
  }
  if (added > 0) Select(0);
  return added;
}

int TFileList::AddRow(const std::string& path, const std::string& destFile, int64_t durationUs,
                      const std::string& zoom) {
  TFileRow row;
  row.Caption = path;
  const std::string seconds = std::to_string(durationUs / 1000000);
  row.Length = seconds;
  row.TrimmedLength = seconds;
  row.Destination = std::filesystem::path(destFile).filename().string();
  row.Checked = true;
  row.Record = std::make_unique<TlvFilesRecord>();
  row.Record->SourceFile = path;
  row.Record->DestFile = destFile;
  row.Record->Zoom = zoom;
  rows_.push_back(std::move(row));
  return Count() - 1;
}

bool TFileList::RemoveSelected() {
  if (selected_ < 0 || selected_ >= Count()) return false;
  rows_.erase(rows_.begin() + selected_);
  if (rows_.empty())
    selected_ = -1;
  else if (selected_ >= Count())
    selected_ = Count() - 1;
  return true;
}

void TFileList::Clear() {
  rows_.clear();
  selected_ = -1;
}

void TFileList::CheckAll() {
  for (TFileRow& row : rows_) row.Checked = true;
}

void TFileList::UncheckAll() {
  for (TFileRow& row : rows_) row.Checked = false;
}

void TFileList::ReverseCheck() {
  for (TFileRow& row : rows_) row.Checked = !row.Checked;
}

void TFileList::SetSelectedChecked(bool checked) {
  if (selected_ >= 0 && selected_ < Count()) rows_[selected_].Checked = checked;
}

void TFileList::Select(int index) { selected_ = index >= 0 && index < Count() ? index : -1; }

std::vector<int> TFileList::CheckedRows() const {
  std::vector<int> checked;
  for (int i = 0; i < Count(); ++i)
    if (rows_[i].Checked) checked.push_back(i);
  return checked;
}

}  // namespace orvo
