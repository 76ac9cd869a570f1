#pragma once
// The media library loader. The libraries are linked directly, so every library reports loaded
// and loading always succeeds; the loader keeps its interface because components ask it whether
// their libraries are usable, and loading still runs the one-time steps: the libraries'
// registration, installing the log callback (when avutil loads) and registering the wide-name
// protocol (when avformat loads).
#include <bitset>
#include <initializer_list>
#include <mutex>
#include <string>

namespace orvo {

enum TLibraryIndex : int {
  liAVCodec = 0,
  liAVDevice = 1,
  liAVFilter = 2,
  liAVFormat = 3,
  liAVUtil = 4,
  liSWScale = 5,
  liMSVCRT = 6,  // the C library shared with the media libraries
  liSDL = 7,
};
constexpr int kLibraryCount = 8;

// A set of libraries, a bit per TLibraryIndex.
class TLibrarySet {
 public:
  TLibrarySet() = default;
  TLibrarySet(std::initializer_list<TLibraryIndex> members) {
    for (auto m : members) bits_.set(m);
  }
  bool Contains(int index) const { return index >= 0 && index < kLibraryCount && bits_.test(index); }
  bool Empty() const { return bits_.none(); }
  TLibrarySet operator+(const TLibrarySet& other) const {
    TLibrarySet s;
    s.bits_ = bits_ | other.bits_;
    return s;
  }
  bool operator==(const TLibrarySet&) const = default;

 private:
  std::bitset<kLibraryCount> bits_;
};

extern const TLibrarySet ConverterLibraries;  // avcodec, avfilter, avformat, avutil, swscale, msvcrt
extern const TLibrarySet PlayerLibraries;     // ConverterLibraries + SDL

class TFFmpegLoader {
 public:
  void SetLibraryPath(const std::string& path) { libraryPath_ = path; }
  const std::string& LibraryPath() const { return libraryPath_; }

  // Loads each member in ascending index order; true when all are usable. A failure unloads the
  // whole set. The set must not be empty (std::invalid_argument).
  bool LoadLibraries(const TLibrarySet& set);
  void UnloadLibraries(const TLibrarySet& set);
  bool LoadLibrary(int index);
  void UnloadLibrary(int index);
  bool IsLoaded(int index) const;
  bool AreLoaded(const TLibrarySet& set) const;

  // The default file name of a library ("avcodec-59", ...), for messages.
  std::string DefaultLibraryFileName(int index) const;

  const std::string& LastError() const { return lastError_; }
  bool LogCallbackOnLoad = true;

 private:
  std::string libraryPath_;
  std::string lastError_;
  bool loaded_[kLibraryCount] = {};
  bool registered_[kLibraryCount] = {};
};

// The process-wide loader.
TFFmpegLoader& FFLoader();

// Held around every codec open and close, and around the stream-information probe, anywhere in
// the process: conversions, probes and playback may run at the same time.
std::mutex& GlobalCodecLock();

}  // namespace orvo
