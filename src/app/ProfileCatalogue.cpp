#include "app/ProfileCatalogue.h"

namespace orvo {
namespace {

// The display names are the product's own texts, spelling included.
const char* const kCategoryNames[kProfileCategories] = {
    "Flash Video",
    "General Video formates",
    "General Audio formates",
};

const std::vector<const char*> kProfiles[kProfileCategories] = {
    {
        "Flash Video Format (*.flv)",
        "Flash SWF Format (*.swf)",
    },
    {
        "MPEG-1 Video (*.mpg)",
        "MPEG-2 Video (*.mpg)",
        "MPEG-4 Video (*.mp4)",
        "H.264/MPEG-4 AVC Video (*.mp4)",
        "AVI Video (*.avi)",
        "WMV Video (*.wmv)",
        "Divx Video (*.avi)",
        "Xvid Video (*.avi)",
        "DV - NTSC -Digital Video Format (*.dv)",
        "DV - PAL -Digital Video Format (*.dv)",
    },
    {
        "MP3 MPEG Layer-3 Audio (*.mp3)",
        "AAC Advenced Audio Codec (*.aac)",
        "M4A MPEG-4 Audio (*.m4a)",
        "WMA - Windows Meida Audio (*.wma)",
        "WAV - Waveform Audio (*.wav)",
        "OGG Vorbis Audio Codec (*.ogg)",
        "AC-3 Audio Codec (*.ac3)",
    },
};

bool ValidCategory(int category) { return category >= 0 && category < kProfileCategories; }

}  // namespace

std::string CategoryName(int category) {
  return ValidCategory(category) ? kCategoryNames[category] : "";
}

std::vector<TProfileName> CategoryProfiles(int category) {
  std::vector<TProfileName> profiles;
  if (!ValidCategory(category)) return profiles;
  const std::vector<const char*>& names = kProfiles[category];
  for (size_t position = 0; position < names.size(); ++position)
    profiles.push_back({category * 100 + int(position), names[position]});
  return profiles;
}

std::vector<int> AllProfileCodes() {
  std::vector<int> codes;
  for (int category = 0; category < kProfileCategories; ++category) {
    for (const TProfileName& profile : CategoryProfiles(category)) codes.push_back(profile.Code);
  }
  return codes;
}

std::string ProfileDisplayName(int code) {
  if (code < 0) return "";
  const int category = code / 100;
  const int position = code % 100;
  if (!ValidCategory(category) || size_t(position) >= kProfiles[category].size()) return "";
  return kProfiles[category][size_t(position)];
}

}  // namespace orvo
