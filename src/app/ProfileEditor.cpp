#include "app/ProfileEditor.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <utility>

#include "app/ProfileCatalogue.h"
#include "app/SettingsStore.h"
#include "app/text_numbers.h"

namespace orvo {
namespace {

// The conversion the OK handler depends on: a failure ends the storing.
int StoreInteger(const std::string& text) {
  if (const std::optional<int> value = ParseInteger(text)) return *value;
  throw ProfileStoreError("'" + text + "' is not a valid integer value");
}

constexpr char kAsSource[] = "as source";

const std::pair<const char*, const char*> kVideoEncoders[] = {
    {"mpeg-4", "mpeg4"},
    {"3gp", "3gp"},
    {"3g2", "3g2"},
    {"xvid", "libxvid"},
    {"mov", "mov"},
    {"wmv1", "wmv1"},
    {"wmv2", "wmv2"},
    {"wmv3", "wmv3"},
    {"flv", "flv"},
    {"swf", "swf"},
    {"msmpeg4", "msmpeg4"},
    {"msmpeg4v1", "msmpeg4v1"},
    {"msmpeg4v2", "msmpeg4v2"},
    {"h264", "libx264"},
    {"mpeg1video", "mpeg1video"},
    {"mpeg2video", "mpeg2video"},
    {"h263", "h263"},
    {"h263p", "h263p"},
    {"rawvideo", "rawvideo"},
    {"rv10", "rv10"},
    {"rv20", "rv20"},
    {"dvvideo", "dvvideo"},
    {"huffyuv", "huffyuv"},
    {"ljpeg", "ljpeg"},
    {"mjpeg", "mjpeg"},
    {"svq1", "svq1"},
    {"zlib", "zlib"},
};

const std::pair<const char*, const char*> kAudioEncoders[] = {
    {"mp3", "libmp3lame"},
    {"ogg", "vorbis"},
    {"mp2", "mp2"},
    {"aac", "libfaac"},
    {"ac-3", "ac3"},
    {"flac", "flac"},
    {"alac", "alac"},
    {"libamr_nb", "libopencore_amrnb"},
    {"adpcm_swf", "adpcm_swf"},
    {"adpcm_yamaha", "adpcm_yamaha"},
    {"pcm-8bit", "pcm_s8"},
    {"pcm-16bit", "pcm_s16be"},
    {"pcm-24bit", "pcm_s24be"},
    {"pcm-32bit", "pcm_s32be"},
    {"pcm-32bit float", "pcm_f32be"},
    {"pcm-64bit float", "pcm_f64be"},
    {"ccitt a-law(8-bit)", "pcm_alaw"},
    {"ccitt mu-law(8-bit)", "pcm_mulaw"},
    {"ima adpcm(4-bit)", "adpcm_ima_qt"},
    {"gsm", "libgsm"},
    {"pcm_s16", "pcm_s16le"},
    {"pcm_u16", "pcm_u16le"},
    {"pcm_alaw", "pcm_alaw"},
    {"pcm_mulaw ", "pcm_mulaw"},  // the entry as the catalogue spells it, blank included
    {"adpcm_ms", "adpcm_ms"},
    {"adpcm_ima_wav", "adpcm_ima_wav"},
    {"wma1", "wmav1"},
    {"wma2", "wmav2"},
};

template <size_t N>
std::string LookUp(const std::pair<const char*, const char*> (&table)[N], const std::string& entry) {
  const std::string key = LowerCase(entry);
  for (const auto& [name, value] : table) {
    if (key == name) return value;
  }
  return "";
}

// Volume percentages and the engine volume they stand for (256 leaves the level unchanged).
std::optional<int> VolumeValue(int percent) {
  static const int kPercents[] = {25, 50, 75, 100, 125, 150, 175, 200, 250, 300, 350, 400};
  for (int p : kPercents) {
    if (p == percent) return p * 256 / 100;
  }
  return std::nullopt;
}

// How one box is fed: its catalogue list, its index key and, for the boxes that restore a
// typed value, the value key with the editor's default.
struct TBoxKeys {
  TChoiceBox TProfileEditorModel::*Box;
  const char* List;
  const char* Index;
  const char* Value;         // null: selected by index only
  const char* TypedDefault;  // the editor's default for Value
};

const TBoxKeys kBoxes[] = {
    {&TProfileEditorModel::VideoSize, "VideoSize", "iVideoSize", "paraVideoSize", "320x240"},
    {&TProfileEditorModel::VideoBitRate, "VideoBitRate", "iVideoBitRate", "paraVideoBitRate", "800"},
    {&TProfileEditorModel::FrameRate, "FrameRate", "iFrameRate", "paraFrameRate", "25"},
    {&TProfileEditorModel::VideoEncoder, "VideoEncoder", "iVideoEncoder", nullptr, nullptr},
    {&TProfileEditorModel::SampleRate, "SampleRate", "iSampleRate", "paraSampleRate", "44100"},
    {&TProfileEditorModel::AudioBitRate, "AudioBitRate", "iAudioBitRate", "paraAudioBitRate", "96"},
    {&TProfileEditorModel::Channel, "Channel", "iChannel", nullptr, nullptr},
    {&TProfileEditorModel::Volume, "Volume", "iVolume", nullptr, nullptr},
    {&TProfileEditorModel::AudioEncoder, "AudioEncoder", "iAudioEncoder", nullptr, nullptr},
};

const char* const kZoomValues[] = {"full", "lbox", "pan", "center"};

// The H.264 extras copied from the catalogue: each must be an integer above 0.
const char* const kPositiveExtras[] = {"paraMaxBitrate", "paraBufferSize", "paraLevel",
                                       "paraQscale", "paraGop"};

// The entry of a pick list that is selected, null when none is.
const std::string* Selected(const TChoiceBox& box) {
  if (box.ItemIndex < 0 || size_t(box.ItemIndex) >= box.Entries.size()) return nullptr;
  return &box.Entries[size_t(box.ItemIndex)];
}

}  // namespace

void TChoiceBox::Select(int i) {
  if (i >= 0 && size_t(i) < Entries.size()) {
    ItemIndex = i;
    Text = Entries[size_t(i)];
  } else {
    ItemIndex = -1;
    Text.clear();
  }
}

void TChoiceBox::SetTyped(const std::string& text) {
  ItemIndex = -1;
  Text = text;
}

void TChoiceBox::Clear() {
  Entries.clear();
  ItemIndex = -1;
  Text.clear();
}

const std::vector<std::string>& ZoomEntries() {
  static const std::vector<std::string> entries = {"Full screen", "Letterbox", "Pan and Scan"};
  return entries;
}

std::string VideoEncoderValue(const std::string& entry) { return LookUp(kVideoEncoders, entry); }
std::string AudioEncoderValue(const std::string& entry) { return LookUp(kAudioEncoders, entry); }

namespace {

// Fills every box from the catalogue, selects the stored choices and sets the enabling.
void FillBoxes(TProfileEditorModel& m, const TIniFile& settings, const TIniFile& catalogue,
               bool restoreTyped) {
  const std::string section = FormatSection(m.FormatCode);
  for (const TBoxKeys& keys : kBoxes) {
    TChoiceBox& box = m.*keys.Box;
    box.Clear();
    const TCatalogueList list = ReadCatalogueList(catalogue, m.FormatCode, keys.List);
    if (list.Enabled) box.Entries = list.Entries;
    const int index = settings.ReadInteger(section, keys.Index, 0);
    if (restoreTyped && keys.Value && index < 0)
      box.SetTyped(settings.ReadString(section, keys.Value, keys.TypedDefault));
    else
      box.Select(index);
  }

  m.Zoom.Entries = ZoomEntries();
  const std::string zoom = settings.ReadString(section, "paraZoom", "full");
  int zoomIndex = -1;
  for (int i = 0; i < int(std::size(kZoomValues)); ++i) {
    if (zoom == kZoomValues[i]) zoomIndex = i;
  }
  m.Zoom.Select(zoomIndex);

  const bool video = !m.VideoEncoder.Entries.empty();
  for (TChoiceBox* box : {&m.VideoSize, &m.VideoBitRate, &m.FrameRate, &m.VideoEncoder, &m.Zoom})
    box->Enabled = video;
  const bool audio = !m.AudioEncoder.Entries.empty();
  for (TChoiceBox* box : {&m.SampleRate, &m.AudioBitRate, &m.AudioEncoder, &m.Channel, &m.Volume})
    box->Enabled = audio;
  if (m.AudioBitRate.Entries.empty()) m.AudioBitRate.Enabled = false;
}

}  // namespace

void TProfileEditorModel::Load(const TIniFile& settings, const TIniFile& catalogue) {
  FormatCode = ReadFormatCode(settings);
  FormatName = settings.ReadString(kSettingsSection, "FormatName", "iPod Video MPEG-4");
  FillBoxes(*this, settings, catalogue, true);
}

void TProfileEditorModel::Reload(int code, const std::string& name, const TIniFile& settings,
                                 const TIniFile& catalogue) {
  FormatCode = code;
  FormatName = name;
  FillBoxes(*this, settings, catalogue, false);
}

void TProfileEditorModel::Default(const TIniFile& catalogue) {
  const std::string section = FormatSection(FormatCode);
  for (const TBoxKeys& keys : kBoxes) (this->*keys.Box).Select(catalogue.ReadInteger(section, keys.Index, 0));
  Zoom.Select(0);
}

void TProfileEditorModel::Store(TIniFile& settings, const TIniFile& catalogue) const {
  const std::string section = FormatSection(FormatCode);

  // 1, 2, 3.
  settings.WriteString(section, "Description", FormatName);
  for (const TBoxKeys& keys : kBoxes) settings.WriteInteger(section, keys.Index, (this->*keys.Box).ItemIndex);
  settings.WriteString(section, "paraVideoSize", VideoSize.Text);
  settings.WriteString(section, "paraVideoBitRate", VideoBitRate.Text);
  settings.WriteString(section, "paraFrameRate", FrameRate.Text);

  // 4. An unselected zoom box keeps what is stored.
  if (Zoom.ItemIndex >= 0 && Zoom.ItemIndex < int(std::size(kZoomValues)))
    settings.WriteString(section, "paraZoom", kZoomValues[Zoom.ItemIndex]);

  // 5. The video encoder; the H.264 encoder takes its extra values from the catalogue.
  if (const std::string* entry = Selected(VideoEncoder)) {
    const std::string value = VideoEncoderValue(*entry);
    if (!value.empty()) settings.WriteString(section, "paraVideoEncoder", value);
    if (LowerCase(*entry) == "h264") {
      const std::string bitExact = catalogue.ReadString(section, "paraBitExact", "");
      if (LowerCase(bitExact) == "true") settings.WriteString(section, "paraBitExact", bitExact);
      for (const char* key : kPositiveExtras) {
        const std::string text = catalogue.ReadString(section, key, "");
        if (text.empty()) continue;
        const int extra = StoreInteger(text);
        if (extra > 0) settings.WriteInteger(section, key, extra);
      }
      const std::string coder = catalogue.ReadString(section, "paraCoder", "");
      if (!coder.empty()) {
        const int value = StoreInteger(coder);
        if (value >= 0) settings.WriteInteger(section, "paraCoder", value);
      }
    }
  }

  // 6, 7.
  settings.WriteString(section, "paraSampleRate", SampleRate.Text);
  settings.WriteString(section, "paraAudioBitRate", AudioBitRate.Text);
  if (const std::string* entry = Selected(Channel)) {
    if (*entry == kAsSource) settings.WriteString(section, "paraChannel", kAsSource);
    else if (*entry == "mono 1 channel") settings.WriteString(section, "paraChannel", "1");
    else if (*entry == "stereo 2 channels") settings.WriteString(section, "paraChannel", "2");
  }

  // 8. The percentage without its sign; no selection fails the conversion like a bad entry.
  const std::string* volumeEntry = Selected(Volume);
  const std::string volumeText =
      volumeEntry && !volumeEntry->empty() ? volumeEntry->substr(0, volumeEntry->size() - 1) : "";
  if (const std::optional<int> volume = VolumeValue(StoreInteger(volumeText)))
    settings.WriteInteger(section, "paraVolume", *volume);

  // 9. GSM sound is always 8000 Hz mono.
  if (const std::string* entry = Selected(AudioEncoder)) {
    const std::string value = AudioEncoderValue(*entry);
    if (!value.empty()) settings.WriteString(section, "paraAudioEncoder", value);
    if (LowerCase(*entry) == "gsm") {
      settings.WriteString(section, "paraSampleRate", "8000");
      settings.WriteString(section, "paraChannel", "1");
    }
  }

  // 10. The edited profile becomes the current one.
  settings.WriteString(kSettingsSection, "FormatName", FormatName);
  settings.WriteString(kSettingsSection, "FormatCode", std::to_string(FormatCode));
}

TFrameSizeCheck CheckFrameSize(const std::string& text) {
  TFrameSizeCheck check;
  if (LowerCase(text).find(kAsSource) != std::string::npos) return check;
  const size_t x = text.rfind('x');
  const std::optional<int> width =
      x == std::string::npos ? std::nullopt : ParseInteger(text.substr(0, x));
  const std::optional<int> height =
      x == std::string::npos ? std::nullopt : ParseInteger(text.substr(x + 1));
  // A negative size is no size at all.
  if (!width || !height || *width < 0 || *height < 0) {
    check.result = TFrameSizeCheck::Invalid;
    return check;
  }
  auto even = [](int v) {
    const int rounded = v - v % 2;
    return rounded == 0 ? 2 : rounded;
  };
  if (*width % 2 == 0 && *height % 2 == 0 && *width != 0 && *height != 0) return check;
  check.result = TFrameSizeCheck::Corrected;
  check.corrected = std::to_string(even(*width)) + "x" + std::to_string(even(*height));
  return check;
}

bool CheckVideoBitRate(const std::string& text) {
  return text == kAsSource || ParseInteger(text).has_value();
}

bool CheckAudioBitRate(const std::string& text) {
  return text == kAsSource || ParseNumber(text).has_value();
}

bool CheckSampleRate(const std::string& text) {
  return text == kAsSource || ParseInteger(text).has_value();
}

bool WriteFirstStartSettings(const std::string& settingsFile, const std::string& formatFile) {
  std::error_code ec;
  if (std::filesystem::exists(settingsFile, ec) || ec) return false;
  const TIniFile catalogue(formatFile);
  std::vector<int> codes;
  for (int code : AllProfileCodes()) {
    if (catalogue.SectionExists(FormatSection(code))) codes.push_back(code);
  }
  // Without a catalogue there are no defaults to store; a later start tries again.
  if (codes.empty()) return false;

  TIniFile settings(settingsFile);
  for (int code : codes) {
    TProfileEditorModel model;
    model.Reload(code, ProfileDisplayName(code), settings, catalogue);
    model.Default(catalogue);
    try {
      model.Store(settings, catalogue);
    } catch (const ProfileStoreError&) {
      // A catalogue entry that does not convert ends this profile only, as OK would.
    }
  }
  settings.WriteString(kSettingsSection, "FormatCode", std::to_string(kDefaultProfileCode));
  settings.WriteString(kSettingsSection, "FormatName", ProfileDisplayName(kDefaultProfileCode));
  return std::filesystem::exists(settingsFile, ec);
}

}  // namespace orvo
