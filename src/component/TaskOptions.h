#pragma once
// The records an application describes a conversion task with: one for the input file, one for
// each output file, and how each record turns into option calls on the task's engine.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

namespace orvo {

class TCustomFFmpeg;

constexpr int64_t NOPTS = AV_NOPTS_VALUE;

struct TStreamInfo {
  double Timestamp = -1.0;  // local date-time, days since 1899-12-30; 0: now; < 0: none
  int32_t Year = -1;
  int32_t Track = -1;
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;
};

struct TInputOptions {
  std::string FileName;    // empty: the name given to AddTask
  std::string FileFormat;  // forced container
  int64_t StartTime = NOPTS;  // µs; the input is opened there
  int32_t ProgramID = -1;     // -1: none
  std::string ExtOptions;     // extra "key=value" lines
};

struct TOutputOptions {
  std::string FileName;  // empty: the name given to SetOutputFile
  std::string FileFormat;
  int32_t PacketSize = -1;
  int32_t MuxRate = -1;
  float MuxDelay = -1.0f;
  float MuxPreload = -1.0f;
  std::string AudioCodec;
  std::string AudioPreset;
  bool DisableAudio = false;
  int32_t AudioVolume = -1;
  int32_t AudioChannels = -1;
  int32_t AudioSampleRate = -1;
  int32_t AudioBitrate = -1;
  int32_t AudioBitrateTolerance = -1;
  std::string AudioLanguage;
  int32_t AudioSync = 0;
  std::string AudioTag;
  std::string VideoCodec;
  std::string VideoPreset;
  bool DisableVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string FrameAspectRatio;
  int32_t CropTop = -1;
  int32_t CropBottom = -1;
  int32_t CropLeft = -1;
  int32_t CropRight = -1;
  int32_t GopSize = -1;
  int32_t VideoBitrate = -1;
  int32_t VideoMaxRate = -1;
  int32_t VideoMinRate = -1;
  int32_t VideoBitrateTolerance = -1;
  int32_t VideoBufSize = -1;
  int32_t VideoSync = -1;
  std::string VideoTag;
  std::string VideoFilters;
  std::string VideoLanguage;
  std::string SubtitleCodec;
  std::string SubtitlePreset;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool InputSync = false;
  bool CopyTimestamp = false;
  int64_t StartTime = NOPTS;      // µs; earlier decoded material is dropped
  int64_t RecordingTime = NOPTS;  // µs; also the progress total
  TStreamInfo Info;
  int32_t TargetType = 0;   // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int32_t NormType = 0;     // 0 automatic, 1 PAL, 2 NTSC
  int32_t NormDefault = 1;  // 1 PAL, else NTSC
  bool CustomHook = false;
  bool Join = false;
  std::string ExtOptions;
};

// The initialisers: every field at its default.
void InitInputOptions(TInputOptions& options);
void InitOutputOptions(TOutputOptions& options);

// One line of the extra options: the key lower-cased, the value as written.
using TExtraOption = std::pair<std::string, std::string>;
// The lines of an extra options text: trimmed, "<CRLF>" tokens and every line break kinds
// become line ends, each line split at its first "=".
std::vector<TExtraOption> ParseExtraOptions(const std::string& text);

// Applies an input record before the file is opened. Raises FFmpegException.
void ApplyInputOptions(TCustomFFmpeg& engine, const TInputOptions& options);

// What an output record leaves for after the file is opened: the stream options of the extra
// lines waiting for "newaudio", "newvideo", "newsubtitle".
class TPendingStreamOptions {
 public:
  // The first pending value of key (removed), else the record's default for it.
  std::string Take(const std::string& key);

 private:
  // The record's default for key ("def_" + key); null when absent.
  const std::string* Default(const std::string& key) const;
  friend void ApplyOutputOptions(TCustomFFmpeg&, const TOutputOptions&, TPendingStreamOptions&,
                                 int64_t);
  friend void AddExtraStreams(TCustomFFmpeg&, const TOutputOptions&, TPendingStreamOptions&);
  std::vector<TExtraOption> Defaults;  // "def_" entries without the prefix
  std::vector<TExtraOption> Pool;
};

// Applies an output record up to opening the file (the hook flag and the open are the
// caller's). `localBiasMinutes` is the time zone's base bias for Info.Timestamp (UTC = local +
// bias). Raises FFmpegException.
void ApplyOutputOptions(TCustomFFmpeg& engine, const TOutputOptions& options,
                        TPendingStreamOptions& pending, int64_t localBiasMinutes);
// After the file is opened: the streams of the "newaudio", "newvideo", "newsubtitle" lines.
void AddExtraStreams(TCustomFFmpeg& engine, const TOutputOptions& options,
                     TPendingStreamOptions& pending);

// The time zone's base bias in minutes (UTC = local + bias), without daylight saving time.
int64_t LocalBaseBiasMinutes();

}  // namespace orvo
