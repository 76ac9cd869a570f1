#pragma once
// Encoder presets: the built-in table, finding a preset by name or file, reading its
// "key=value" lines, and handing old H.264 option spellings to the installed encoder in the
// spelling it knows today.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace orvo {

// One named block of option lines, separated by line feeds.
struct TOptionsPreset {
  std::string_view Name;
  std::string_view Content;
};

// The built-in presets, in lookup order.
const std::array<TOptionsPreset, 40>& OptionsPresets();

// The first built-in preset whose name equals `name` without regard to ASCII case; null when none.
const TOptionsPreset* FindOptionsPreset(std::string_view name);

// The codec names of the option state at lookup time; empty means none is set.
struct TPresetCodecNames {
  std::string Video;
  std::string Audio;
  std::string Subtitle;
};

// A preset found by FindPreset: Name is the name as looked up (the table name tried, or the
// file name), Error the failure text (empty when found).
struct TPresetSource {
  std::string Name;
  std::string Content;
  std::string Error;
  bool FromTable = false;
};

// Looks a preset up for the option `kind` ("apre", "vpre", "spre", "fpre"): unless the kind
// begins with "f", the table under `value`, then under "<codec>-<value>" for the codec of the
// kind; otherwise, or when the table has neither, `value` is read as a file.
// Error: "Preset \"<value>\" not found" when there is no such file.
TPresetSource FindPreset(const std::string& kind, const std::string& value,
                         const TPresetCodecNames& codecs);

// The lines of a preset's content: the text is trimmed, CR LF and lone CR become LF, each line
// is trimmed and empty lines are dropped. There is no comment syntax.
std::vector<std::string> PresetLines(const std::string& content);

// Splits a line at its first "=" (key and value kept as they are). False when there is no "=",
// or the key or the value is empty.
bool SplitPresetLine(const std::string& line, std::string& key, std::string& value);

// Where a preset's lines go. SetCodecName gets 'v', 'a' or 's' for the keys "vcodec", "acodec",
// "scodec" (any case); every other line goes to SetOption, false meaning "not accepted".
struct TPresetTarget {
  std::function<void(char kind, const std::string& value)> SetCodecName;
  std::function<bool(const std::string& key, const std::string& value)> SetOption;
};

// Applies the lines in order and stops at the first bad one; the lines before it stay applied.
// Returns the failure text, empty on success:
//   "<name>: Invalid syntax: \"<line>\""
//   "<name>: Invalid option or argument: \"<line>\", parsed as \"<key>\" = \"<value>\""
std::string ApplyPresetContent(const std::string& name, const std::string& content,
                               const TPresetTarget& target);

// FindPreset followed by ApplyPresetContent. An empty kind or value does nothing. Returns the
// failure text, empty on success.
std::string LoadPreset(const std::string& kind, const std::string& value,
                       const TPresetCodecNames& codecs, const TPresetTarget& target);

// One option in the spelling of the installed libraries.
struct TCodecOption {
  std::string Key;
  std::string Value;
  bool operator==(const TCodecOption&) const = default;
};

// The current spelling(s) of an option of the old library generation for the named encoder.
// For the H.264 wrapper ("libx264", "libx264rgb") old names and flag values become its private
// options (see the table in presets.cpp); an option it no longer needs translating comes back
// unchanged, as does every option for other encoders. Nothing when the old value has no current
// spelling (an unknown partition flag); an empty list when nothing remains to set.
std::optional<std::vector<TCodecOption>> TranslateCodecOption(std::string_view encoder,
                                                              std::string_view key,
                                                              std::string_view value);

// Translates one option and sets the result on an unopened encoder context (its private options
// included; the context must be allocated for `encoder`). False when an option is unknown to the
// context or a value is refused; options set before a refused one stay set.
bool ApplyCodecOption(AVCodecContext* ctx, std::string_view encoder, const std::string& key,
                      const std::string& value);

// Applies every line of a preset to an unopened encoder context and returns the lines that were
// not accepted (bad syntax, codec-name lines, unknown options, refused values), in order.
std::vector<std::string> ApplyPresetToCodecContext(AVCodecContext* ctx, std::string_view encoder,
                                                   const std::string& content);

}  // namespace orvo
