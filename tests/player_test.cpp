// The player playing real files: timing, seeking, pausing, frame capture, sound level, stopping
// under load, repeated use and bad inputs. Sound goes to SDL's "dummy" driver, or to its "disk"
// driver when a test reads the samples back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "binding/FFmpegLogger.h"
#include "component/FFPlay.h"
#include "platform/main_thread.h"
#include "support/read_pictures.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::MediaOnce;
using testing::MediaPath;
using testing::TestMediaSpec;

// Sound to the dummy driver (before any player starts SDL's audio); libraries loaded as the
// program loads them at start-up.
class PlayerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    TFFPlayer player;
    ASSERT_TRUE(player.LoadLibraries()) << player.LastErrorMessage();
  }
};
[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new PlayerEnvironment);

constexpr int64_t kFrameUs = 40000;

// Sanitized builds run several times slower and are there for memory and thread faults; the
// pace of playback is held to the figure in the normal build.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kPaceTolerance = 0.10;
#else
constexpr double kPaceTolerance = 0.02;
#endif

const std::string& Clip() {
  return MediaOnce("clip.avi", testing::AviClip(320, 240, 3.0));
}

const std::string& AudioOnly() {
  TestMediaSpec spec;
  spec.container = "wav";
  spec.audioEncoder = "pcm_s16le";
  spec.channels = 1;
  spec.seconds = 1.5;
  return MediaOnce("tone.wav", spec);
}

const std::string& VideoOnly() {
  TestMediaSpec spec;
  spec.container = "avi";
  spec.videoEncoder = "mpeg4";
  spec.seconds = 1.0;
  return MediaOnce("silent.avi", spec);
}

int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

// Waits on the main thread, running the calls the player's events queue there.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return WaitProcessingCalls(done, timeout);
}

void Pump(std::chrono::milliseconds time) {
  WaitProcessingCalls([] { return false; }, time);
}

// What a player reported.
struct Recorder {
  std::mutex mutex;
  std::vector<TPlayState> states;
  std::vector<std::pair<Clock::time_point, int64_t>> positions;

  void Attach(TCustomPlayer& player, bool withPositions = true) {
    player.OnState = [this](TCustomPlayer&, TPlayState state) {
      std::lock_guard lock(mutex);
      states.push_back(state);
    };
    if (!withPositions) return;
    player.OnPosition = [this](TCustomPlayer&, int64_t pts) {
      std::lock_guard lock(mutex);
      positions.emplace_back(Clock::now(), pts);
    };
  }
  int Count(TPlayState state) {
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count(states.begin(), states.end(), state));
  }
  std::vector<TPlayState> States() {
    std::lock_guard lock(mutex);
    return states;
  }
  std::vector<std::pair<Clock::time_point, int64_t>> Positions() {
    std::lock_guard lock(mutex);
    return positions;
  }
};

// Aborts the test binary when a step does not end in time, so a dead-lock fails instead of hanging.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit, const char* what)
      : thread_([this, limit, what] {
          std::unique_lock lock(mutex_);
          if (!cond_.wait_for(lock, limit, [&] { return done_; })) {
            fprintf(stderr, "watchdog: %s did not finish\n", what);
            std::_Exit(3);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cond_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool done_ = false;
  std::thread thread_;
};

TEST(Player, PlaysAtRealTimeAndEndsOnce) {
  TFFPlayer player;
  TOffscreenSurface surface;
  Recorder rec;
  rec.Attach(player);
  int64_t openDuration = 0;
  int openWidth = 0, openHeight = 0;
  player.OnFileOpen = [&](TCustomPlayer&, int64_t duration, int32_t w, int32_t h, int32_t&,
                          int32_t&) {
    openDuration = duration;
    openWidth = w;
    openHeight = h;
  };
  ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
  EXPECT_NEAR(openDuration, 3000000, 100000);
  EXPECT_EQ(openWidth, 320);
  EXPECT_EQ(openHeight, 240);

  ASSERT_TRUE(WaitFor([&] { return rec.Count(TPlayState::psEnd) > 0; }, 8000ms));
  Pump(300ms);
  const auto states = rec.States();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front(), TPlayState::psPlay);
  EXPECT_EQ(rec.Count(TPlayState::psEnd), 1);

  // Position against the wall clock between 0.5 s and 2.5 s of the file.
  const auto positions = rec.Positions();
  const auto first = std::find_if(positions.begin(), positions.end(),
                                  [](const auto& p) { return p.second >= 500000; });
  const auto last = std::find_if(positions.rbegin(), positions.rend(),
                                 [](const auto& p) { return p.second <= 2500000; });
  ASSERT_NE(first, positions.end());
  ASSERT_NE(last, positions.rend());
  const double wall = std::chrono::duration<double>(last->first - first->first).count();
  const double media = (last->second - first->second) / 1e6;
  ASSERT_GT(wall, 1.5);
  EXPECT_NEAR(media / wall, 1.0, kPaceTolerance) << "media " << media << " s in " << wall << " s";
  EXPECT_EQ(positions.back().second, openDuration);
  EXPECT_GT(surface.ShownCount(), 60u);  // most of the 75 pictures

  player.Stop(true);
  EXPECT_EQ(rec.States().back(), TPlayState::psStop);
  EXPECT_EQ(player.CurrentPosition(), -1);
}

TEST(Player, AudioOnlyShowsWaveformAndRepeatsEndUntilSeek) {
  TFFPlayer player;
  TOffscreenSurface surface;
  Recorder rec;
  rec.Attach(player);
  int openWidth = 0;
  player.OnFileOpen = [&](TCustomPlayer&, int64_t, int32_t w, int32_t, int32_t&, int32_t&) {
    openWidth = w;
  };
  ASSERT_TRUE(player.Open(AudioOnly(), &surface)) << player.LastErrorMessage();
  EXPECT_EQ(openWidth, -1);
  ASSERT_TRUE(WaitFor([&] { return rec.Count(TPlayState::psEnd) >= 3; }, 6000ms));
  const auto shown = surface.Shown();
  ASSERT_FALSE(shown.empty());
  EXPECT_FALSE(shown.back().Overlay);
  TBitmap wave;
  surface.LastBitmap(wave);
  EXPECT_EQ(wave.Width(), 640);
  EXPECT_EQ(wave.Height(), 480);
  // Bars of the tone were drawn somewhere during playback.
  EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](const auto& s) { return s.MeanLuma > 2; }));

  player.Seek(0, true, 0);
  const int endsAfterSeek = rec.Count(TPlayState::psEnd);
  Pump(500ms);
  EXPECT_EQ(rec.Count(TPlayState::psEnd), endsAfterSeek);
  EXPECT_LT(player.CurrentPosition(), 1000000);
  player.Stop(true);
}

struct SeekCase {
  const char* name;
  int64_t target;
  int64_t expected;
};

TEST(Player, SeekLandsWithinOneFrame) {
  TFFPlayer player;
  TOffscreenSurface surface;
  ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
  Pump(300ms);
  // Paused, the picture a seek lands on stays on screen, so a slow machine cannot play past it
  // before it is looked at.
  player.Pause();
  const SeekCase cases[] = {
      {"forward", 2000000, 2000000},
      {"backward", 800000, 800000},
      {"to zero", 0, 0},
      {"odd frame", 1240000, 1240000},
      {"beyond the end", 10000000, 3000000 - kFrameUs},
  };
  for (const SeekCase& c : cases) {
    SCOPED_TRACE(c.name);
    player.Seek(0, true, c.target);
    int64_t pts = -2;
    player.CurrentFrame(&pts);
    EXPECT_NEAR(pts, c.expected, kFrameUs);
    Pump(100ms);
    EXPECT_NEAR(player.CurrentPosition(), c.expected, 200000);
  }
  player.Stop(true);
}

TEST(Player, SeekWhilePausedShowsNewPictureAndStaysPaused) {
  TFFPlayer player;
  TOffscreenSurface surface;
  ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
  Pump(400ms);
  player.Pause();
  ASSERT_TRUE(player.IsPaused());
  Pump(200ms);
  const int64_t held = player.CurrentPosition();
  Pump(500ms);
  EXPECT_EQ(player.CurrentPosition(), held) << "pause holds the position";

  player.Seek(0, true, 2000000);
  ASSERT_TRUE(WaitFor([&] { return std::llabs(player.CurrentPosition() - 2000000) < kFrameUs; },
                      2000ms))
      << player.CurrentPosition();
  int64_t pts = -1;
  player.CurrentFrame(&pts);
  EXPECT_NEAR(pts, 2000000, kFrameUs);
  const size_t shownAfterSeek = surface.ShownCount();
  Pump(500ms);
  EXPECT_TRUE(player.IsPaused());
  EXPECT_NEAR(player.CurrentPosition(), 2000000, kFrameUs);
  EXPECT_LE(surface.ShownCount(), shownAfterSeek + 1);

  player.Resume();
  Pump(600ms);
  EXPECT_GT(player.CurrentPosition(), 2400000);
  player.Stop(true);
}

double MeanDifference(const TBitmap& bitmap, const testing::TRgbPicture& picture) {
  double sum = 0;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      const uint8_t* rgb = picture.At(x, y);
      sum += std::abs(row[x * 3 + 2] - rgb[0]) + std::abs(row[x * 3 + 1] - rgb[1]) +
             std::abs(row[x * 3] - rgb[2]);
    }
  }
  return sum / (3.0 * bitmap.Width() * bitmap.Height());
}

TEST(Player, CurrentFrameIsThePictureOnScreen) {
  TFFPlayer player;
  int64_t pts = 0;
  EXPECT_EQ(player.CurrentFrame(&pts).Width(), 0);
  EXPECT_EQ(pts, -1);

  TOffscreenSurface surface;
  ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
  Pump(700ms);
  player.Pause();
  Pump(200ms);
  TBitmap& frame = player.CurrentFrame(&pts);
  ASSERT_EQ(frame.Width(), 320);
  ASSERT_EQ(frame.Height(), 240);

  const auto pictures = testing::ReadRgbPictures(Clip());
  ASSERT_FALSE(pictures.empty());
  const auto match = std::min_element(pictures.begin(), pictures.end(), [&](auto& a, auto& b) {
    return std::fabs(a.Time - pts / 1e6) < std::fabs(b.Time - pts / 1e6);
  });
  ASSERT_LT(std::fabs(match->Time - pts / 1e6), 0.001);
  const double same = MeanDifference(frame, *match);
  const auto other = match + 10 < pictures.end() ? match + 10 : match - 10;
  const double different = MeanDifference(frame, *other);
  EXPECT_LT(same, 4.0);
  EXPECT_GT(different, same * 2);
  player.Stop(true);
  EXPECT_EQ(player.CurrentFrame(&pts).Width(), 0);
}

// Plays the tone into SDL's disk driver and gives back the samples written.
std::vector<int16_t> PlayToDisk(const std::function<void(TFFPlayer&)>& setup,
                                std::vector<int64_t>* positions = nullptr) {
  const std::string out = MediaPath("sound.raw");
  std::filesystem::remove(out);
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
  {
    TFFPlayer player;
    setup(player);
    TOffscreenSurface surface;
    EXPECT_TRUE(player.Open(AudioOnly(), &surface)) << player.LastErrorMessage();
    for (int i = 0; i < 8; ++i) {
      Pump(100ms);
      if (positions) positions->push_back(player.CurrentPosition());
    }
    player.Stop(true);
  }
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  const std::string bytes = testing::ReadBytes(out);
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

int PeakOf(const std::vector<int16_t>& samples) {
  int peak = 0;
  for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  return peak;
}

TEST(Player, VolumeAndMuteShapeTheSamplesWritten) {
  const auto full = PlayToDisk([](TFFPlayer&) {});
  ASSERT_GT(full.size(), 10000u);
  const int fullPeak = PeakOf(full);
  ASSERT_GT(fullPeak, 1000);

  const auto half = PlayToDisk([](TFFPlayer& p) { p.SetAudioVolume(64); });
  ASSERT_GT(half.size(), 10000u);
  EXPECT_NEAR(PeakOf(half), fullPeak / 2, 1);

  std::vector<int64_t> positions;
  const auto muted = PlayToDisk([](TFFPlayer& p) { p.SetMute(true); }, &positions);
  ASSERT_GT(muted.size(), 10000u);
  EXPECT_EQ(PeakOf(muted), 0);
  ASSERT_GE(positions.size(), 2u);
  EXPECT_GT(positions.back(), positions.front() + 400000) << "muted sound still runs the clock";
}

TEST(Player, StopWhileEventsWaitForTheMainThreadNeverDeadlocks) {
  enum When { kPlaying, kSeeking, kAtEnd };
  for (When when : {kPlaying, kSeeking, kAtEnd}) {
    SCOPED_TRACE(when);
    TFFPlayer player;
    TOffscreenSurface surface;
    std::atomic<int> ends{0};
    player.OnPosition = [](TCustomPlayer&, int64_t) { std::this_thread::sleep_for(30ms); };
    player.OnState = [&](TCustomPlayer&, TPlayState s) {
      if (s == TPlayState::psEnd) ++ends;
      std::this_thread::sleep_for(30ms);
    };
    player.OnHook = [](TCustomPlayer&, TBitmap&, int64_t) {};
    player.Hook = true;
    ASSERT_TRUE(player.Open(when == kAtEnd ? VideoOnly() : Clip(), &surface));
    if (when == kAtEnd) {
      ASSERT_TRUE(WaitFor([&] { return ends > 0; }, 5000ms));
    } else {
      Pump(300ms);
    }
    if (when == kSeeking) player.Seek(0, false, 2000000);
    Watchdog guard(10s, "Stop(true)");
    player.Stop(true);
    EXPECT_TRUE(player.IsPaused());
  }
}

TEST(Player, RepeatedOpenSeekStopLeavesNoThreads) {
  const int before = ThreadCount();
  TFFPlayer player;
  TOffscreenSurface surface;
  Recorder rec;
  rec.Attach(player);
  {
    Watchdog guard(300s, "the open-seek-stop cycles");
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(player.Open(i % 3 == 2 ? AudioOnly() : Clip(), &surface))
          << i << ": " << player.LastErrorMessage();
      player.Seek(0, i % 2 == 0, 1000000 + i * 1000);
      if (i % 4 == 0) Pump(20ms);
      player.Stop(i % 5 != 0);
    }
    player.Stop(true);
  }
  EXPECT_EQ(rec.Count(TPlayState::psStop), 200);
  EXPECT_EQ(ThreadCount(), before);
}

TEST(Player, BadInputsFailWithTheirMessageOrPlayWhatTheyCan) {
  const std::string missing = MediaPath("no-such-file.avi");
  const std::string noise = testing::WriteRandomBytes(MediaPath("noise.bin"), 4096, 7);
  const std::string truncated =
      testing::WriteTruncatedCopy(Clip(), MediaPath("truncated.avi"), 60000);
  struct Case {
    const char* name;
    std::string path;
    bool disableVideo;
    std::string message;  // empty: plays
  } cases[] = {
      {"missing", missing, false, missing + ": No such file or directory"},
      {"not media", noise, false, noise + ": Invalid data found when processing input"},
      {"no stream to play", VideoOnly(), true,
       VideoOnly() + ": could not open codecs, no stream to play."},
      {"truncated", truncated, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFFPlayer player;
    TOffscreenSurface surface;
    Recorder rec;
    rec.Attach(player);
    player.DisableVideo = c.disableVideo;
    Watchdog guard(20s, c.name);
    const bool opened = player.Open(c.path, &surface);
    if (c.message.empty()) {
      ASSERT_TRUE(opened) << player.LastErrorMessage();
      EXPECT_TRUE(WaitFor([&] { return rec.Count(TPlayState::psEnd) > 0; }, 8000ms));
    } else {
      EXPECT_FALSE(opened);
      EXPECT_EQ(player.LastErrorMessage(), c.message);
      EXPECT_TRUE(player.IsPaused());
    }
    player.Stop(true);
  }
}

// Captures the messages the player logs while it lives.
class LogCapture {
 public:
  LogCapture() : savedTrigger_(Logger().TriggerEventInMainThread) {
    Logger().TriggerEventInMainThread = false;
    Logger().OnLog = [this](const void*, uint32_t, TLogLevel, const std::string& message) {
      std::lock_guard lock(mutex_);
      messages_.push_back(message);
    };
  }
  ~LogCapture() {
    Logger().OnLog = nullptr;
    Logger().TriggerEventInMainThread = savedTrigger_;
  }
  int CountStartingWith(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(messages_.begin(), messages_.end(), [&](auto& m) {
      return m.rfind(prefix, 0) == 0;
    }));
  }

 private:
  bool savedTrigger_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

double MeanLumaIn(const std::vector<uint8_t>& luma, int width, int x0, int y0, int w, int h) {
  double sum = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) sum += luma[static_cast<size_t>(y) * width + x];
  return sum / (w * h);
}

TEST(Player, FrameHookDrawsOnThePictureAndAFailingHookLeavesItAsDecoded) {
  // The rectangle the painting hook fills with white, and an inner part away from its edges,
  // where chroma subsampling and scaling blur the border.
  constexpr int kRectX = 64, kRectY = 48, kRectW = 96, kRectH = 64;
  enum HookKind { kNone, kPaint, kThrow };
  struct Run {
    int64_t pts = -1;
    int width = 0, height = 0;
    std::vector<uint8_t> planes[3];
  };
  const auto pictures = testing::ReadRgbPictures(Clip());
  ASSERT_FALSE(pictures.empty());

  auto play = [&](HookKind kind, Run& run) {
    LogCapture log;
    TFFPlayer player;
    TOffscreenSurface surface;
    std::mutex mutex;
    std::vector<int64_t> hookPts;
    TBitmap seen;
    int64_t seenPts = -1;
    player.Hook = true;
    if (kind == kPaint) {
      player.OnHook = [&](TCustomPlayer&, TBitmap& bitmap, int64_t pts) {
        {
          std::lock_guard lock(mutex);
          hookPts.push_back(pts);
          if (seenPts < 0 && pts >= 200000) {
            seen.Assign(bitmap);
            seenPts = pts;
          }
        }
        for (int y = kRectY; y < kRectY + kRectH && y < bitmap.Height(); ++y) {
          uint8_t* row = bitmap.ScanLine(y);
          for (int x = kRectX; x < kRectX + kRectW && x < bitmap.Width(); ++x)
            row[x * 3] = row[x * 3 + 1] = row[x * 3 + 2] = 255;
        }
      };
    } else if (kind == kThrow) {
      player.OnHook = [&](TCustomPlayer&, TBitmap&, int64_t pts) {
        {
          std::lock_guard lock(mutex);
          hookPts.push_back(pts);
        }
        throw std::runtime_error("painter failed");
      };
    }
    Watchdog guard(20s, "the hook run");
    ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
    ASSERT_TRUE(WaitFor([&] { return player.CurrentPosition() >= 600000; }, 3000ms))
        << "playback goes on";
    player.Pause();
    player.Seek(0, true, 1000000);
    ASSERT_TRUE(WaitFor([&] { return std::llabs(player.CurrentPosition() - 1000000) < kFrameUs; },
                        2000ms));
    Pump(200ms);
    player.CurrentFrame(&run.pts);
    ASSERT_TRUE(surface.LastOverlay(run.width, run.height, run.planes));
    player.Stop(true);

    std::lock_guard lock(mutex);
    if (kind == kNone) {
      EXPECT_EQ(log.CountStartingWith("Error occurs OnHook: "), 0);
      return;
    }
    // The pictures went through the handler in order, with their times in µs.
    ASSERT_GE(hookPts.size(), 15u);
    EXPECT_EQ(hookPts[0], 0);
    for (size_t i = 1; i < 10; ++i) {
      const int64_t step = hookPts[i] - hookPts[i - 1];
      EXPECT_TRUE(step > 0 && step % kFrameUs == 0) << i << ": " << step;
    }
    if (kind == kThrow) {
      EXPECT_EQ(log.CountStartingWith("Error occurs OnHook: painter failed"),
                static_cast<int>(hookPts.size()));
      return;
    }
    EXPECT_EQ(log.CountStartingWith("Error occurs OnHook: "), 0);
    // The handler gets the decoded picture at its own size.
    ASSERT_EQ(seen.Width(), 320);
    ASSERT_EQ(seen.Height(), 240);
    const auto match = std::min_element(pictures.begin(), pictures.end(), [&](auto& a, auto& b) {
      return std::fabs(a.Time - seenPts / 1e6) < std::fabs(b.Time - seenPts / 1e6);
    });
    ASSERT_LT(std::fabs(match->Time - seenPts / 1e6), 0.001);
    EXPECT_LT(MeanDifference(seen, *match), 4.0);
  };

  Run plain, painted, failed;
  play(kNone, plain);
  play(kPaint, painted);
  play(kThrow, failed);
  ASSERT_EQ(plain.width, 320);
  ASSERT_EQ(plain.height, 240);
  ASSERT_EQ(painted.pts, plain.pts);
  ASSERT_EQ(failed.pts, plain.pts);

  // The failing hook shows the picture exactly as decoded.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(failed.planes[i] == plain.planes[i]) << "plane " << i;

  // The painting hook shows white in its rectangle and the decoded picture elsewhere.
  const double inside = MeanLumaIn(painted.planes[0], 320, kRectX + 4, kRectY + 4, kRectW - 8,
                                   kRectH - 8);
  const double insidePlain = MeanLumaIn(plain.planes[0], 320, kRectX + 4, kRectY + 4, kRectW - 8,
                                        kRectH - 8);
  EXPECT_NEAR(inside, 235, 3);
  EXPECT_LT(insidePlain, 200) << "the pattern must differ from the paint";
  double outside = 0;
  int count = 0;
  for (int y = 0; y < 240; ++y) {
    for (int x = 0; x < 320; ++x) {
      if (x >= kRectX - 4 && x < kRectX + kRectW + 4 && y >= kRectY - 4 && y < kRectY + kRectH + 4)
        continue;
      outside += std::abs(painted.planes[0][y * 320 + x] - plain.planes[0][y * 320 + x]);
      ++count;
    }
  }
  EXPECT_LT(outside / count, 3.0);
}

TEST(Player, FileOpenReportsTheFileAndTakesTheScreenSize) {
  struct Case {
    const char* name;
    std::string path;
    int64_t duration;
    int32_t width, height;
  } cases[] = {
      {"video", Clip(), 3000000, 320, 240},
      {"audio only", AudioOnly(), 1500000, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFFPlayer player;
    TOffscreenSurface surface;
    int calls = 0;
    int64_t duration = 0;
    int32_t width = 0, height = 0, givenWidth = -1, givenHeight = -1;
    player.OnFileOpen = [&](TCustomPlayer&, int64_t d, int32_t w, int32_t h, int32_t& sw,
                            int32_t& sh) {
      ++calls;
      duration = d;
      width = w;
      height = h;
      givenWidth = sw;
      givenHeight = sh;
      sw = 400;
      sh = 300;
    };
    ASSERT_TRUE(player.Open(c.path, &surface)) << player.LastErrorMessage();
    EXPECT_EQ(calls, 1);
    EXPECT_NEAR(duration, c.duration, 100000);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    EXPECT_EQ(givenWidth, 0);
    EXPECT_EQ(givenHeight, 0);
    EXPECT_EQ(player.ScreenWidth, 400);
    EXPECT_EQ(player.ScreenHeight, 300);
    ASSERT_TRUE(WaitFor([&] { return surface.ShownCount() > 2; }, 3000ms));
    EXPECT_EQ(surface.Width(), 400);
    EXPECT_EQ(surface.Height(), 300);
    const TRect area = surface.Shown().back().Area;
    EXPECT_EQ(area.Width, 400);
    EXPECT_EQ(area.Height, 300);
    player.Stop(true);
  }
}

// The event thread delivers on the main thread; while that thread is busy, what is queued
// meanwhile collapses to the newest entry of each kind.
TEST(Player, NotificationsQueuedWhileTheMainThreadIsBusyArriveAsTheNewest) {
  {
    TFFPlayer player;
    TOffscreenSurface surface;
    Recorder rec;
    rec.Attach(player);
    ASSERT_TRUE(player.TriggerEventInMainThread);
    ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
    ASSERT_TRUE(WaitFor([&] { return rec.Positions().size() >= 3; }, 3000ms));
    Pump(100ms);
    const auto busyStart = Clock::now();
    const int64_t before = player.CurrentPosition();
    std::this_thread::sleep_for(300ms);  // busy: no calls run here
    const int64_t newest = player.CurrentPosition();
    ASSERT_GT(newest, before + 200000) << "playback went on meanwhile";
    Pump(60ms);  // the first pump after the busy period
    std::vector<int64_t> delivered;
    for (const auto& [time, pts] : rec.Positions())
      if (time >= busyStart) delivered.push_back(pts);
    // The report in delivery when the busy period began may come first; everything made during
    // it arrives as one call with the newest value; later ones were made after it.
    ASSERT_FALSE(delivered.empty());
    EXPECT_NE(std::find(delivered.begin(), delivered.end(), newest), delivered.end())
        << "the newest position arrives";
    EXPECT_LE(std::count_if(delivered.begin(), delivered.end(),
                            [&](int64_t pts) { return pts <= newest; }),
              2);
    player.Stop(true);
  }
  {
    // State changes only (no position handler), made from another thread so that nothing pumps.
    TFFPlayer player;
    TOffscreenSurface surface;
    Recorder rec;
    rec.Attach(player, false);
    ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
    ASSERT_TRUE(WaitFor([&] { return rec.Count(TPlayState::psPlay) == 1; }, 3000ms));
    Pump(200ms);
    const size_t known = rec.States().size();
    std::thread changer([&] {
      player.Pause();  // taken at once; its delivery waits for the main thread
      std::this_thread::sleep_for(100ms);
      player.Resume();
      player.Pause();
      player.Resume();  // the last three collapse into this one
    });
    changer.join();
    ASSERT_TRUE(WaitFor([&] { return rec.States().size() >= known + 2; }, 2000ms));
    Pump(200ms);
    const auto states = rec.States();
    const std::vector<TPlayState> after(states.begin() + known, states.end());
    EXPECT_EQ(after, (std::vector<TPlayState>{TPlayState::psPause, TPlayState::psResume}));
    EXPECT_FALSE(player.IsPaused());
    player.Stop(true);
  }
}

TEST(Player, AspectRatioFitsThePictureAndAChangeRedisplays) {
  TFFPlayer player;
  TOffscreenSurface surface;
  player.ScreenWidth = 640;
  player.ScreenHeight = 360;
  ASSERT_EQ(player.AspectRatio(), 0.0f);
  ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
  ASSERT_TRUE(WaitFor([&] { return surface.ShownCount() > 3; }, 3000ms));
  EXPECT_EQ(surface.Width(), 640);
  EXPECT_EQ(surface.Height(), 360);
  const TRect boxed = surface.Shown().back().Area;
  EXPECT_EQ(boxed.Left, 80);
  EXPECT_EQ(boxed.Top, 0);
  EXPECT_EQ(boxed.Width, 480);
  EXPECT_EQ(boxed.Height, 360);

  player.Pause();
  Pump(200ms);
  struct Case {
    float aspect;
    TRect area;
  } cases[] = {
      {-1.0f, {0, 0, 640, 360}},    // fill
      {1.0f, {140, 0, 360, 360}},   // square, centred
      {2.4f, {0, 47, 640, 266}},    // wider than the surface: full width, centred vertically
      {0.0f, {80, 0, 480, 360}},    // back to the picture's own
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.aspect);
    const size_t shown = surface.ShownCount();
    player.SetAspectRatio(c.aspect);
    ASSERT_TRUE(WaitFor([&] { return surface.ShownCount() > shown; }, 2000ms))
        << "a change redisplays while paused";
    const TRect area = surface.Shown().back().Area;
    EXPECT_EQ(area.Left, c.area.Left);
    EXPECT_EQ(area.Top, c.area.Top);
    EXPECT_EQ(area.Width, c.area.Width);
    EXPECT_EQ(area.Height, c.area.Height);
  }
  EXPECT_TRUE(player.IsPaused());
  player.Stop(true);
}

TEST(Player, OperationsWithoutAFileAndSeekBeyondTheEnd) {
  TFFPlayer player;
  TOffscreenSurface surface;
  {
    Watchdog guard(5s, "operations without a file");
    player.Seek(0, true, 1000000);
    player.Seek(2, true, 1000);
    player.Pause();
    player.Resume();
  }
  EXPECT_TRUE(player.IsPaused());
  EXPECT_EQ(player.CurrentPosition(), -1);

  Recorder rec;
  rec.Attach(player);
  ASSERT_TRUE(player.Open(Clip(), &surface)) << player.LastErrorMessage();
  EXPECT_FALSE(player.IsPaused());
  Pump(300ms);
  const auto seekTime = Clock::now();
  player.Seek(0, false, 3600000000LL);
  // The natural end is more than 2.5 s away. The end may be reported as soon as everything is
  // read, a picture before the last one is shown.
  ASSERT_TRUE(WaitFor(
      [&] {
        return rec.Count(TPlayState::psEnd) > 0 && player.CurrentPosition() >= 3000000 - kFrameUs;
      },
      1500ms))
      << player.CurrentPosition();
  EXPECT_LT(Clock::now() - seekTime, 1500ms);
  EXPECT_LE(player.CurrentPosition(), 3000000);
  int64_t pts = -1;
  player.CurrentFrame(&pts);
  EXPECT_NEAR(pts, 3000000 - kFrameUs, kFrameUs);

  player.Stop(true);
  EXPECT_EQ(player.CurrentPosition(), -1);
  EXPECT_TRUE(player.IsPaused());
  player.Seek(0, true, 0);  // closed again: nothing happens
  EXPECT_EQ(player.CurrentPosition(), -1);
}

}  // namespace
}  // namespace orvo
