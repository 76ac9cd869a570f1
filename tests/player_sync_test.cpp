// Pictures and sound stay together: a clip whose every second starts with a white picture and a
// tone burst plays into an off-screen surface and SDL's "disk" audio driver; the time each flash
// is shown and the time its burst reaches the audio output are at most one frame apart.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "binding/FFmpegLogger.h"
#include "component/FFPlay.h"
#include "platform/main_thread.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 44100;
constexpr int kSeconds = 6;

// Every second: one white picture (the first of the second) and 40 ms of a 1 kHz tone.
const std::string& FlashClip() {
  testing::TestMediaSpec recipe = testing::AviClip(320, 240, kSeconds);
  recipe.audioEncoder = "pcm_s16le";
  recipe.sampleRate = kRate;
  recipe.channels = 1;
  recipe.videoSource =
      "color=c=black:s=320x240:r=25:d=" + std::to_string(kSeconds) +
      ",format=yuv420p,geq=lum='if(eq(mod(N\\,25)\\,0)\\,235\\,16)':cb=128:cr=128";
  recipe.audioSource = "aevalsrc='if(lt(mod(t\\,1)\\,0.04)\\,0.8*sin(2*PI*1000*t)\\,0)':s=" +
                       std::to_string(kRate) + ":d=" + std::to_string(kSeconds);
  return testing::MediaOnce("flash-clip.avi", recipe);
}

off_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

TEST(PlayerSyncTest, FlashesAndToneBurstsStayWithinOneFrame) {
  const std::string clip = FlashClip();
  const std::string audioFile = testing::MediaPath("sync-audio.raw");
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", audioFile.c_str(), 1);

  TFFPlayer player;
  ASSERT_TRUE(player.LoadLibraries());
  player.TriggerEventInMainThread = false;
  std::atomic<bool> ended{false};
  player.OnState = [&](TCustomPlayer&, TPlayState state) {
    if (state == TPlayState::psEnd) ended = true;
  };
  TOffscreenSurface surface;

  // When the audio file grew past each size: the disk driver writes each device buffer as it
  // plays it, so this is when the samples were heard.
  std::vector<std::pair<Clock::time_point, off_t>> growth;
  std::atomic<bool> watching{true};
  std::thread watcher([&] {
    off_t last = -1;
    while (watching) {
      const off_t size = FileSize(audioFile);
      if (size != last) {
        growth.emplace_back(Clock::now(), size);
        last = size;
      }
      std::this_thread::sleep_for(500us);
    }
  });

  ASSERT_TRUE(player.Open(clip, &surface)) << player.LastErrorMessage();
  const bool reachedEnd = WaitProcessingCalls([&] { return ended.load(); }, 20s);
  player.Stop(true);
  watching = false;
  watcher.join();
  unsetenv("SDL_AUDIODRIVER");
  unsetenv("SDL_DISKAUDIOFILE");
  ASSERT_TRUE(reachedEnd);

  // The onsets of the bursts in the played samples (mono 16-bit: the stream's own channels).
  std::vector<int16_t> samples(size_t(FileSize(audioFile) / 2));
  std::ifstream(audioFile, std::ios::binary)
      .read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2));
  std::vector<size_t> onsets;
  size_t quietSince = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) > 8000) {
      if (i - quietSince > size_t(kRate) / 2) onsets.push_back(i);
      quietSince = i;
    }
  }
  ASSERT_GE(onsets.size(), size_t(kSeconds - 1));

  // When a sample was heard. The driver writes each device buffer (1024 samples) when it starts
  // playing it and then waits for it to play, so near the sample the file grows along
  // time = start + (bytes - one buffer) / byte rate. Writes reach the file late (stdio buffering)
  // but never early, so the earliest start seen around the sample is the true one; looking only
  // near it keeps the pace's slow drift out.
  constexpr double kBufferSeconds = 1024.0 / kRate;
  auto heardAt = [&](size_t sample) {
    const double sampleTime = double(sample) / kRate;
    Clock::time_point best = Clock::time_point::max();
    for (const auto& [time, bytes] : growth) {
      const double writeStart = double(bytes) / 2 / kRate - kBufferSeconds;
      if (bytes == 0 || std::fabs(writeStart - sampleTime) > 0.5) continue;
      best = std::min(best, time - std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(writeStart)));
    }
    if (best == Clock::time_point::max()) return best;
    return best + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(sampleTime));
  };

  std::vector<Clock::time_point> flashes;
  bool lit = false;
  for (const auto& shown : surface.Shown()) {
    const bool bright = shown.Overlay && shown.MeanLuma > 128;
    if (bright && !lit) flashes.push_back(shown.Time);
    lit = bright;
  }
  ASSERT_GE(flashes.size(), size_t(kSeconds - 1));

  int compared = 0;
  for (const size_t onset : onsets) {
    const Clock::time_point heard = heardAt(onset);
    ASSERT_NE(heard, Clock::time_point::max());
    const auto nearest = std::min_element(flashes.begin(), flashes.end(), [&](auto a, auto b) {
      return std::abs((a - heard).count()) < std::abs((b - heard).count());
    });
    const double apart = std::chrono::duration<double>(*nearest - heard).count();
    std::printf("burst %zu: picture - sound = %+.1f ms\n", onset, apart * 1000);
    EXPECT_LE(std::fabs(apart), 0.040) << "burst at sample " << onset;
    ++compared;
  }
  EXPECT_GE(compared, kSeconds - 1);
}

}  // namespace
}  // namespace orvo

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvo::SetMainThread();
  orvo::Logger().SetLogLevel(orvo::llError);
  return RUN_ALL_TESTS();
}
