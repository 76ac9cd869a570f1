#pragma once
// Starting a batch and following it: one task per checked row of the file list with its input and
// output records, the frame hook that draws the row's adjustments and watermarks, and the values
// the progress window and the list show. Window work goes through callbacks, so the main window
// and the command-line tool share this code.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/UserPrompts.h"
#include "component/FFmpegVCL.h"

namespace orvo {

class TFileList;

// What one progress report shows.
struct TProgressView {
  int Row = -1;
  int Percent = 0;            // progress bar
  std::string RowProgress;    // "Progress" column: percent + "%"
  std::string TimeText;       // "Current Time:"  seconds + " Second"
  std::string LengthText;     // "Length:"        seconds + " Second"
  std::string SizeText;       // "File Size:"     kilobytes + " kb"
  std::string ProgressText;   // "Progress:"      "[task/count]"
  std::string OutputText;     // "File:"          the source path, shortened past 50 characters
};

struct TBatchCallbacks {
  TUserPrompts Prompts;
  std::function<void(const TProgressView&)> Progress;
  // A row's "Progress" column changed to a final text ("100%").
  std::function<void(int row, const std::string& text)> RowProgress;
  // The whole run is over (after the task list was emptied).
  std::function<void()> RunEnded;
  // A task ended; `row` is its list row. Failed or stopped tasks carry their message.
  std::function<void(int row, const TTerminateInfo& info)> TaskEnded;
  // After-conversion actions, asked after the last task of the batch finished.
  std::function<bool()> OpenFolderWanted;
  std::function<bool()> ShutDownWanted;
  std::function<void(const std::string& folder)> OpenFolder;
  std::function<void()> ShutDown;
};

class TBatchConversion {
 public:
  TBatchConversion(TFFmpegVCL& component, TFileList& files, std::string settingsFile,
                   std::string formatFile, TBatchCallbacks callbacks);
  ~TBatchConversion();
  TBatchConversion(const TBatchConversion&) = delete;
  TBatchConversion& operator=(const TBatchConversion&) = delete;

  // Builds the tasks of the checked rows (the component's events are wired to this object).
  // Returns false, after the warning "Please select a file by clicking the check box!", when no
  // row is checked. Does not start the tasks: the progress window (or the tool) calls
  // component.StartTask(1).
  bool Prepare();

  // The command line converts with a profile and a zoom of its own instead of the stored
  // "FormatCode" and the profile's stored zoom; -1 and "" keep the stored ones.
  int ProfileCodeOverride = -1;
  std::string ZoomOverride;

  // Entry t is the list row of task t.
  const std::vector<int>& TaskRows() const { return taskRows_; }
  int CheckedCount() const { return static_cast<int>(taskRows_.size()); }

  // The handlers, public so that tests and other front ends can drive them.
  void HandleProgress(const TProgressInfo& info);
  void HandleTerminate(const TTerminateInfo& info);
  void HandleCustomHook(THookInfo& info);

  // The progress values of a report for a row caption.
  static TProgressView MakeProgressView(const TProgressInfo& info, int row, int tasksCount,
                                        const std::string& caption);
  // "File:" text: the caption when shorter than 51 characters, else its first 44 characters,
  // ".." and its extension.
  static std::string ShortOutputText(const std::string& caption);

 private:
  TFFmpegVCL& component_;
  TFileList& files_;
  std::string settingsFile_;
  std::string formatFile_;
  TBatchCallbacks callbacks_;
  std::vector<int> taskRows_;
};

}  // namespace orvo
