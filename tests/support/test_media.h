#pragma once
// Synthetic media for the tests, written with the project's own code from the libraries' lavfi
// sources (testsrc for pictures, sine for sound): decoded, scaled or resampled, encoded and
// muxed at test time, so every test runs on real files without shipping any.
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

namespace orvo::testing {

struct TestProgram {
  int id = 1;                                  // program number (service id)
  std::map<std::string, std::string> metadata; // e.g. "service_name", "service_provider"
  std::vector<int> streams;                    // output stream indexes in the program
};

struct TestMediaSpec {
  std::string container;  // muxer short name: "avi", "matroska", "mp4", "mpegts", "flv", "mp3", "wav", ...
  std::string videoEncoder;  // encoder name ("mpeg4", "mpeg2video", "flv", "libx264", ...); empty: no video
  int width = 320;
  int height = 240;
  AVRational frameRate{25, 1};
  AVRational sampleAspect{0, 1};  // {0,1}: none stored
  std::string audioEncoder;  // "aac", "mp2", "libmp3lame", "pcm_s16le", ...; empty: no audio
  int sampleRate = 44100;
  int channels = 2;
  double seconds = 1.0;
  std::map<std::string, std::string> metadata;       // container tags
  std::map<std::string, std::string> videoMetadata;  // e.g. {"language", "eng"}
  std::map<std::string, std::string> audioMetadata;
  // A second video+audio pair, for containers with several programs (MPEG-TS).
  bool secondPair = false;
  std::vector<TestProgram> programs;
  // A timestamp jump: every packet from `jumpAt` seconds of media on is stamped `jumpSeconds`
  // later (a discontinuity, as MPEG-TS carries them).
  double jumpAt = 0;
  double jumpSeconds = 0;
  // Other lavfi graphs in place of testsrc and sine (they must give the recipe's size, rate and
  // duration themselves), e.g. flashes and tone bursts for synchronisation checks.
  std::string videoSource;
  std::string audioSource;
};

// Writes the file and returns its path; throws std::runtime_error with the library's message
// when any step fails.
std::string WriteTestMedia(const std::string& path, const TestMediaSpec& recipe);

// A fresh folder for one test binary's files, removed at process exit.
const std::string& TestMediaDir();
// `name` inside that folder.
std::string MediaPath(const std::string& name);

// The usual clip of the engine tests: AVI with MPEG-4 pictures and MP2 sound.
TestMediaSpec AviClip(int width, int height, double seconds);
// Writes `recipe` to MediaPath(name) on the first call for `name`; later calls give the same
// path without writing again.
const std::string& MediaOnce(const std::string& name, const TestMediaSpec& recipe);

// Small non-media fixtures.
std::string WriteBytes(const std::string& path, const std::string& bytes);
std::string WriteRandomBytes(const std::string& path, size_t count, unsigned seed);
// The whole file ("" when it cannot be read).
std::string ReadBytes(const std::string& path);
// Copies the first `keepBytes` bytes of a file.
std::string WriteTruncatedCopy(const std::string& source, const std::string& path, size_t keepBytes);

}  // namespace orvo::testing
