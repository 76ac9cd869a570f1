#pragma once
// Turns the chosen profile, the stored choices for it, the source's probe result and the row's
// edits into a task's output record (and, for audio-only profiles, the input's extra options),
// and chooses destination names. Plain arithmetic on texts and numbers, no windows.
#include <cstdint>
#include <string>

#include "app/UserPrompts.h"
#include "component/TaskOptions.h"

namespace orvo {

struct TlvFilesRecord;
class TCustomAVProbe;

// What the builder needs of the source's probe.
struct TSourcePicture {
  int VideoStreamCount = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BitRate = -1;  // of the first video stream, -1 unknown
};
// Reads those values from a probe loaded on the source.
TSourcePicture SourcePictureOf(TCustomAVProbe& probe);

struct TBuildContext {
  std::string SettingsFile;
  std::string FormatFile;
  TUserPrompts Prompts;  // the frame-size question
};

// Fills `out` (reset by the caller, with FileName and the row's crop set) and, for audio-only
// profiles, `in.ExtOptions`. May ask "Error output Video Size.Use the default size 320x240?".
void BuildOutputOptions(const TlvFilesRecord& row, int code, TOutputOptions& out,
                        const TSourcePicture& source, TInputOptions& in,
                        const TBuildContext& context);

// The destination of a source file in the stored output folder: name without extension +
// "_(new)" + suffix, or "_(new_k)" with the first k = 1, 2, ... that does not exist. An output
// folder that cannot be created is reported and replaced by the default one for later builds.
std::string MakeDestinationName(const std::string& sourcePath, const std::string& suffix,
                                const std::string& settingsFile, const TUserPrompts& prompts);

// Round to nearest with halves to even, as the builder's arithmetic wants.
int64_t RoundHalfEven(double value);

}  // namespace orvo
