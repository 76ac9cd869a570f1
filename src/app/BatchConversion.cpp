#include "app/BatchConversion.h"

#include <algorithm>
#include <filesystem>

#include "app/FileList.h"
#include "app/OutputBuilder.h"
#include "app/SettingsStore.h"
#include "app/WaterMark.h"
#include "platform/main_thread.h"

namespace orvo {

TBatchConversion::TBatchConversion(TFFmpegVCL& component, TFileList& files,
                                   std::string settingsFile, std::string formatFile,
                                   TBatchCallbacks callbacks)
    : component_(component),
      files_(files),
      settingsFile_(std::move(settingsFile)),
      formatFile_(std::move(formatFile)),
      callbacks_(std::move(callbacks)) {
  component_.OnProgress = [this](TCustomFFmpegVCL&, TProgressInfo* info) {
    if (info) HandleProgress(*info);
  };
  component_.OnTerminate = [this](TCustomFFmpegVCL&, const TTerminateInfo& info) {
    HandleTerminate(info);
  };
  component_.OnCustomHook = [this](TCustomFFmpegVCL&, THookInfo* info) {
    if (info) HandleCustomHook(*info);
  };
}

TBatchConversion::~TBatchConversion() {
  component_.OnProgress = nullptr;
  component_.OnTerminate = nullptr;
  component_.OnCustomHook = nullptr;
}

bool TBatchConversion::Prepare() {
  const TIniFile settings(settingsFile_);
  const TIniFile catalogue(formatFile_);
  TThreadPriority priority;
  if (ReadThreadPriority(settings, priority)) component_.ThreadPriority = priority;

  const std::vector<int> checked = files_.CheckedRows();
  if (checked.empty()) {
    callbacks_.Prompts.ShowWarning("Warning", "Please select a file by clicking the check box!");
    return false;
  }
  taskRows_.clear();
  taskRows_.reserve(checked.size());
  component_.ClearTasks();

  const int code = ProfileCodeOverride >= 0 ? ProfileCodeOverride : ReadFormatCode(settings);
  const std::string suffix = "." + ReadFileExt(catalogue, code);
  const TBuildContext context{settingsFile_, formatFile_, callbacks_.Prompts};
  TAVProbe& probe = component_.Probe();

  for (const int rowIndex : checked) {
    TFileRow& row = files_.Row(rowIndex);
    TlvFilesRecord& record = *row.Record;

    TInputOptions input;
    InitInputOptions(input);
    input.FileName = row.Caption;
    // A file that went away since it was added is skipped with a word, rather than converted
    // with the options of another file.
    if (!probe.LoadFile(row.Caption)) {
      callbacks_.Prompts.ShowWarning(
          "Warning", "Cannot open " + row.Caption + ": " + probe.LastErrorMessage());
      continue;
    }
    input.StartTime = record.TrimStart;

    const std::string destination =
        MakeDestinationName(probe.FileName(), suffix, settingsFile_, callbacks_.Prompts);
    record.Zoom = ZoomOverride.empty() ? ReadProfileZoom(settings, code) : ZoomOverride;

    TOutputOptions output;
    InitOutputOptions(output);
    output.FileName = destination;
    if (record.HasCrop()) {
      output.CropTop = record.CropTop;
      output.CropBottom = record.CropBottom;
      output.CropLeft = record.CropLeft;
      output.CropRight = record.CropRight;
    }
    if (record.TrimLength > 0) output.RecordingTime = record.TrimLength;
    BuildOutputOptions(record, code, output, SourcePictureOf(probe), input, context);
    probe.CloseFile();

    const int task = component_.AddTask(row.Caption, &input);
    if (task < 0) {
      callbacks_.Prompts.ShowWarning("Warning", component_.LastErrMsg());
      continue;
    }
    output.CustomHook = record.NeedsFrameHook();
    if (!component_.SetOutputFile(task, destination, &output)) {
      callbacks_.Prompts.ShowWarning("Warning", component_.LastErrMsg());
      component_.RemoveTask(task);
      continue;
    }
    taskRows_.push_back(rowIndex);
  }
  return !taskRows_.empty();
}

std::string TBatchConversion::ShortOutputText(const std::string& caption) {
  if (caption.size() < 51) return caption;
  return caption.substr(0, 44) + ".." + std::filesystem::path(caption).extension().string();
}

TProgressView TBatchConversion::MakeProgressView(const TProgressInfo& info, int row,
                                                 int tasksCount, const std::string& caption) {
  TProgressView view;
  view.Row = row;
  // An unknown or zero total shows 0 rather than a division by it.
  int64_t percent = info.TotalDuration > 0 ? info.CurrentDuration * 100 / info.TotalDuration : 0;
  view.Percent = static_cast<int>(std::clamp<int64_t>(percent, 0, 100));
  view.RowProgress = std::to_string(view.Percent) + "%";
  view.TimeText = std::to_string(info.CurrentDuration / 1000000) + " Second";
  view.LengthText = std::to_string(std::max<int64_t>(info.TotalDuration, 0) / 1000000) + " Second";
  view.SizeText = std::to_string(info.CurrentSize / 1000) + " kb";
  view.ProgressText =
      "[" + std::to_string(info.TaskIndex + 1) + "/" + std::to_string(tasksCount) + "]";
  view.OutputText = ShortOutputText(caption);
  return view;
}

void TBatchConversion::HandleProgress(const TProgressInfo& info) {
  if (info.TaskIndex < 0 || info.TaskIndex >= static_cast<int>(taskRows_.size())) return;
  const int row = taskRows_[info.TaskIndex];
  TFileRow& fileRow = files_.Row(row);
  const TProgressView view =
      MakeProgressView(info, row, component_.TasksCount(), fileRow.Caption);
  fileRow.Progress = view.RowProgress;
  if (callbacks_.Progress) callbacks_.Progress(view);
}

void TBatchConversion::HandleTerminate(const TTerminateInfo& info) {
  // Threaded runs tell the end on a thread of their own: the list and the window's callbacks
  // belong to the main thread.
  RunInMainThread([this, &info] {
    if (info.TaskIndex < 0) {
      component_.ClearTasks();
      if (callbacks_.RunEnded) callbacks_.RunEnded();
      return;
    }
    if (info.TaskIndex >= static_cast<int>(taskRows_.size())) return;
    const int row = taskRows_[info.TaskIndex];
    if (callbacks_.TaskEnded) callbacks_.TaskEnded(row, info);
    if (!info.Finished) return;
    files_.Row(row).Progress = "100%";
    if (callbacks_.RowProgress) callbacks_.RowProgress(row, "100%");
    if (info.TaskIndex + 1 != CheckedCount()) return;
    if (callbacks_.OpenFolderWanted && callbacks_.OpenFolderWanted() && callbacks_.OpenFolder)
      callbacks_.OpenFolder(ReadOutputDir(TIniFile(settingsFile_)));
    if (callbacks_.ShutDownWanted && callbacks_.ShutDownWanted() && callbacks_.ShutDown)
      callbacks_.ShutDown();
  });
}

void TBatchConversion::HandleCustomHook(THookInfo& info) {
  // The component holds the frame's canvas lock for the whole call; only the row's record is
  // read and only the frame is drawn into.
  if (!info.Bitmap || info.TaskIndex < 0 || info.TaskIndex >= static_cast<int>(taskRows_.size()))
    return;
  RenderWaterMarks(*info.Bitmap, files_.Record(taskRows_[info.TaskIndex]), info.PTS);
}

}  // namespace orvo
