#include "binding/FFmpegLoader.h"

#include <stdexcept>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libswscale/swscale.h>
}

#include "binding/FFmpegLogger.h"
#include "binding/UnicodeProtocol.h"

namespace orvo {

const TLibrarySet ConverterLibraries{liAVCodec, liAVFilter, liAVFormat, liAVUtil, liSWScale, liMSVCRT};
const TLibrarySet PlayerLibraries = ConverterLibraries + TLibrarySet{liSDL};

namespace {

struct LibraryRow {
  const char* baseName;
  int version;  // negative: no suffix
};

// The linked libraries' major versions name them, as the file names of a run-time load would.
const LibraryRow kLibraries[kLibraryCount] = {
    {"avcodec", LIBAVCODEC_VERSION_MAJOR}, {"avdevice", LIBAVDEVICE_VERSION_MAJOR},
    {"avfilter", LIBAVFILTER_VERSION_MAJOR}, {"avformat", LIBAVFORMAT_VERSION_MAJOR},
    {"avutil", LIBAVUTIL_VERSION_MAJOR},   {"swscale", LIBSWSCALE_VERSION_MAJOR},
    {"c", -1},                             {"SDL2", -1},
};

// Registration of a linked library: only the devices need it (the lavfi input among them).
void RegisterLibrary(int index) {
  if (index == liAVDevice) avdevice_register_all();
}

void CheckSetNotEmpty(const TLibrarySet& set) {
  if (set.Empty()) throw std::invalid_argument("library set must not be empty");
}

}  // namespace

std::string TFFmpegLoader::DefaultLibraryFileName(int index) const {
  const LibraryRow& row = kLibraries[index];
  std::string name = std::string("lib") + row.baseName + ".so";
  if (row.version >= 0) name += "." + std::to_string(row.version);
  return name;
}

bool TFFmpegLoader::LoadLibrary(int index) {
  if (index < 0 || index >= kLibraryCount) {
    lastError_ = "Load library #" + std::to_string(index) + " error: no such library";
    return false;
  }
  if (!loaded_[index]) {
    if (!registered_[index]) {
      RegisterLibrary(index);
      registered_[index] = true;
    }
    loaded_[index] = true;
  }
  // These run on every successful load, also when the library was loaded before.
  if (index == liAVUtil && LogCallbackOnLoad) Logger().HookLibraryLog();
  if (index == liAVFormat) RegisterUnicodeProtocol();
  return true;
}

void TFFmpegLoader::UnloadLibrary(int index) {
  if (index >= 0 && index < kLibraryCount) loaded_[index] = false;
}

bool TFFmpegLoader::IsLoaded(int index) const {
  return index >= 0 && index < kLibraryCount && loaded_[index];
}

bool TFFmpegLoader::AreLoaded(const TLibrarySet& set) const {
  CheckSetNotEmpty(set);
  for (int i = 0; i < kLibraryCount; ++i) {
    if (set.Contains(i) && !IsLoaded(i)) return false;
  }
  return true;
}

bool TFFmpegLoader::LoadLibraries(const TLibrarySet& set) {
  CheckSetNotEmpty(set);
  for (int i = 0; i < kLibraryCount; ++i) {
    if (set.Contains(i) && !LoadLibrary(i)) {
      UnloadLibraries(set);
      return false;
    }
  }
  return true;
}

void TFFmpegLoader::UnloadLibraries(const TLibrarySet& set) {
  CheckSetNotEmpty(set);
  for (int i = 0; i < kLibraryCount; ++i) {
    if (set.Contains(i)) UnloadLibrary(i);
  }
}

TFFmpegLoader& FFLoader() {
  static TFFmpegLoader loader;
  return loader;
}

std::mutex& GlobalCodecLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace orvo
