#pragma once
// What the Settings dialog does without its widgets: the ten choice boxes of one profile, filled
// from the catalogue and the stored choices, the catalogue defaults, the input checks of the
// editable boxes, and storing the choices into the profile's settings section. The dialog wires
// its combo boxes to a TProfileEditorModel; the first start stores every profile's defaults
// through the same model.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace orvo {

// One combo box: its entries, the selected entry (-1 none) and its text (a typed value in an
// editable box, else the selected entry's text).
struct TChoiceBox {
  std::vector<std::string> Entries;
  int ItemIndex = -1;
  std::string Text;
  bool Enabled = true;

  // Selects entry i and takes its text; an index outside the entries selects nothing and
  // empties the text.
  void Select(int i);
  // A typed value: no entry selected.
  void SetTyped(const std::string& text);
  void Clear();
};

// Raised by Store when a value that must be an integer is not one (a volume box without a
// selection, an H.264 extra that is not a number). The keys written before stay written.
class ProfileStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TProfileEditorModel {
 public:
  TChoiceBox VideoSize, VideoBitRate, FrameRate, VideoEncoder, Zoom;
  TChoiceBox SampleRate, AudioBitRate, AudioEncoder, Channel, Volume;

  // The profile being edited.
  std::string FormatName;
  int FormatCode = 1;

  // Loading when the dialog is shown: the current profile from the settings ("FormatCode",
  // default 1; "FormatName", default "iPod Video MPEG-4"), the entries from the catalogue and the
  // stored choices, typed values restored where an index is negative.
  void Load(const TIniFile& settings, const TIniFile& catalogue);
  // Another profile chosen in the dialog's list: boxes selected by the stored indices only.
  void Reload(int code, const std::string& name, const TIniFile& settings,
              const TIniFile& catalogue);
  // "&Default": the catalogue's default indices; zoom entry 0.
  void Default(const TIniFile& catalogue);
  // "&Ok" steps 1 to 9 into "formatInfo" + FormatCode, then FormatName and FormatCode into the
  // settings section. Raises ProfileStoreError as described above.
  void Store(TIniFile& settings, const TIniFile& catalogue) const;
};

// The entries of the zoom box.
const std::vector<std::string>& ZoomEntries();
// The stored value of a video or audio encoder entry (lower-cased lookup), "" when not in the
// table.
std::string VideoEncoderValue(const std::string& entry);
std::string AudioEncoderValue(const std::string& entry);

// Checks of an editable box when it loses focus.
struct TFrameSizeCheck {
  enum Result { Accepted, Invalid, Corrected } result = Accepted;
  std::string corrected;  // "WxH" when Corrected
};
// "as source" (any case) is accepted; "W x H" with integer parts; odd or zero parts are rounded
// toward zero to even numbers (0 becomes 2).
TFrameSizeCheck CheckFrameSize(const std::string& text);
// Integer or "as source"; the audio bit rate also takes a decimal number.
bool CheckVideoBitRate(const std::string& text);
bool CheckAudioBitRate(const std::string& text);
bool CheckSampleRate(const std::string& text);

// First start: when `settingsFile` does not exist, writes it with every catalogue profile's
// defaults as "&Default" followed by "&Ok" would store them, and the default profile (code 1) as
// the current one. Returns true when it wrote the file.
bool WriteFirstStartSettings(const std::string& settingsFile, const std::string& formatFile);

}  // namespace orvo
