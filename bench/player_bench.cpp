// What playing costs: a 1280x720 25 fps clip with sound plays in real time into a surface that
// only counts the pictures, on SDL's dummy audio driver; prints the process's user + system CPU
// seconds per played second and the pictures shown.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "binding/FFmpegLogger.h"
#include "component/FFPlay.h"
#include "platform/main_thread.h"
#include "support/test_media.h"

namespace {

using namespace orvo;

// Shows nothing; counts what it is given.
class TCountingSurface : public TDisplaySurface {
 public:
  bool SetVideoMode(int width, int height) override {
    width_ = width;
    height_ = height;
    return true;
  }
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  void DisplayOverlay(const TOverlay&, const TRect&) override { ++pictures; }
  void DisplayBitmap(const TBitmap&) override {}
  std::atomic<int> pictures{0};

 private:
  int width_ = 0;
  int height_ = 0;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void PlayOnce(const char* what, const std::string& file, double seconds) {
  TFFPlayer player;
  player.LoadLibraries();
  player.TriggerEventInMainThread = false;
  std::atomic<bool> ended{false};
  player.OnState = [&](TCustomPlayer&, TPlayState state) {
    if (state == TPlayState::psEnd) ended = true;
  };
  TCountingSurface surface;
  const double cpuBefore = CpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  if (!player.Open(file, &surface)) {
    std::printf("%s: %s\n", what, player.LastErrorMessage().c_str());
    return;
  }
  WaitProcessingCalls([&] { return ended.load(); },
                      std::chrono::milliseconds(int(seconds * 1000) + 10000));
  player.Stop(true);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  const double cpu = CpuSeconds() - cpuBefore;
  std::printf("%-28s %5.2f s played in %5.2f s, %4d pictures shown, CPU %5.2f s = %.3f s per "
              "played second (%.0f %% of one core)\n",
              what, seconds, wall, surface.pictures.load(), cpu, cpu / seconds,
              100 * cpu / seconds);
}

}  // namespace

int main() {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  SetMainThread();
  Logger().SetLogLevel(llError);
  constexpr double kSeconds = 10;
  orvo::testing::TestMediaSpec mpeg4 = orvo::testing::AviClip(1280, 720, kSeconds);
  orvo::testing::TestMediaSpec h264 = mpeg4;
  h264.container = "mp4";
  h264.videoEncoder = "libx264";
  h264.audioEncoder = "aac";
  std::printf("writing the clips...\n");
  const std::string mpeg4File = orvo::testing::WriteTestMedia(
      orvo::testing::MediaPath("bench-720p.avi"), mpeg4);
  const std::string h264File = orvo::testing::WriteTestMedia(
      orvo::testing::MediaPath("bench-720p.mp4"), h264);
  PlayOnce("720p25 MPEG-4 + MP2 (AVI)", mpeg4File, kSeconds);
  PlayOnce("720p25 H.264 + AAC (MP4)", h264File, kSeconds);
  return 0;
}
