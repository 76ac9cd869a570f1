#pragma once
// The main window's file list without its widget: one row per source file with its check box,
// its column texts and its record of edits (trim, crop, zoom, watermarks, adjustments). The list
// widget mirrors this model; the editing dialogs read and write the selected row's record.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/WaterMark.h"

namespace orvo {

class TFFmpegVCL;
struct TUserPrompts;

struct TlvFilesRecord {
  std::string SourceFile;
  std::string DestFile;
  int64_t TrimStart = 0;   // µs; 0 from the beginning
  int64_t TrimLength = 0;  // µs; 0 up to the end
  std::string Zoom;        // "full", "lbox" or "pan"
  int32_t CropTop = 0, CropLeft = 0, CropBottom = 0, CropRight = 0;  // source pixels, even
  int32_t ViewCropTop = 0, ViewCropLeft = 0, ViewCropBottom = 0, ViewCropRight = 0;
  std::vector<std::unique_ptr<TWmRec>> WaterMarks;  // drawing order
  int32_t Brightness = kNeutralBrightness;
  int32_t Contrast = kNeutralContrast;
  int32_t Saturation = kNeutralSaturation;
  int32_t Exposure = kNeutralExposure;
  bool ProcessText = false;
  bool ProcessImage = false;

  bool HasCrop() const { return CropTop > 0 || CropLeft > 0 || CropBottom > 0 || CropRight > 0; }
  // Whether a conversion of this row needs the frame hook: an adjustment off neutral, or a first
  // watermark with a text or an image file.
  bool NeedsFrameHook() const;
};

// One row: the caption is the source path; the other columns are "Length", "Trimmed Length",
// "Destination File" and "Progress".
struct TFileRow {
  std::string Caption;
  std::string Length;
  std::string TrimmedLength;
  std::string Destination;
  std::string Progress;
  bool Checked = true;
  std::unique_ptr<TlvFilesRecord> Record;
};

class TFileList {
 public:
  // Adds files as the Add action does after its open dialog: each path not yet a row caption
  // (exact comparison) and not a folder is probed through a task of `component`; files that
  // cannot be opened are skipped silently. Rows start checked with zoom = the current profile's
  // stored zoom. Returns the number of rows added; the first row is selected when any was added.
  int AddFiles(const std::vector<std::string>& paths, TFFmpegVCL& component,
               const std::string& settingsFile, const std::string& formatFile,
               const TUserPrompts& prompts);
  // Adds a row for a file already known (no probing); returns its index.
  int AddRow(const std::string& path, const std::string& destFile, int64_t durationUs,
             const std::string& zoom);

  // Removes the selected row and selects the row that took its place (or the new last row).
  // Returns false when nothing was selected.
  bool RemoveSelected();
  void Clear();

  void CheckAll();
  void UncheckAll();
  void ReverseCheck();
  void SetSelectedChecked(bool checked);

  int Count() const { return static_cast<int>(rows_.size()); }
  bool Empty() const { return rows_.empty(); }
  TFileRow& Row(int index) { return rows_.at(index); }
  const TFileRow& Row(int index) const { return rows_.at(index); }
  TlvFilesRecord& Record(int index) { return *rows_.at(index).Record; }
  int Selected() const { return selected_; }
  void Select(int index);  // -1 or out of range: none
  // Indices of the checked rows in list order.
  std::vector<int> CheckedRows() const;

 private:
  std::vector<TFileRow> rows_;
  int selected_ = -1;
};

}  // namespace orvo
