#pragma once
// The player component: plays one file, pictures into a display surface and sound through the
// audio device (SDL2), with pause, seek, volume, mute, a frame hook and frame capture, and reports
// file-open, position and state changes as events. The per-file machinery (reading, queues,
// decoding, synchronisation, display) lives in the player_* modules.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "component/AVProbe.h"
#include "component/DisplaySurface.h"
#include "component/FFBaseComponent.h"
#include "platform/bitmap.h"

namespace orvo {

enum class TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };
enum class TAudioDriver { adDefault, adDirectSound, adWaveOut };
enum class TVideoDriver { vdDefault, vdDirectDraw, vdGDI };

class TCustomPlayer;
struct PlayerState;
struct TPlayerCore;

using TFileOpenEvent =
    std::function<void(TCustomPlayer& sender, int64_t duration, int32_t frameWidth,
                       int32_t frameHeight, int32_t& screenWidth, int32_t& screenHeight)>;
using THookEvent = std::function<void(TCustomPlayer& sender, TBitmap& bitmap, int64_t pts)>;
using TPlayStateEvent = std::function<void(TCustomPlayer& sender, TPlayState state)>;
using TPositionEvent = std::function<void(TCustomPlayer& sender, int64_t pts)>;

class TCustomPlayer : public TFFBaseComponent {
 public:
  TCustomPlayer();
  ~TCustomPlayer() override;

  bool LibrariesLoaded() const;
  bool LoadLibraries(const std::string& libraryFolder = std::string());

  // Opens and starts playing. `surface` receives the pictures (not owned; it must outlive the
  // file); null plays into an off-screen surface of the player's own. False with
  // LastErrorMessage() when the file cannot be played.
  bool Open(const std::string& fileName, TDisplaySurface* surface = nullptr,
            bool startPaused = false);
  // Closes the file; with `wait` returns only when every player thread has ended, running the
  // main thread's pending calls meanwhile.
  void Stop(bool wait);
  void Pause();
  void Resume();
  bool IsPaused() const;
  // SeekFlags as the libraries': 1 backward, 2 byte, 4 any frame. Target in µs from the start.
  void Seek(int32_t seekFlags, bool wait, int64_t target);
  // The picture on screen (or next due) as a 24-bit bitmap owned by the player, overwritten by the
  // next call; 0 x 0 without video. `pts` gets its time in µs from the start, -1 without video.
  TBitmap& CurrentFrame(int64_t* pts = nullptr);

  TAVProbe& Probe() { return probe_; }
  // µs from the file's start at the last position report; -1 when closed or before the first.
  int64_t CurrentPosition() const;
  std::string LastErrorMessage() const;
  const std::string& Version() const { return version_; }
  std::string About;

  // Properties (the published ones of the old component).
  float AspectRatio() const;
  void SetAspectRatio(float value);  // a change while open redisplays
  TAudioDriver AudioDriver = TAudioDriver::adDefault;
  TVideoDriver VideoDriver = TVideoDriver::vdDefault;
  int AudioVolume() const;  // 0..128, read by every audio callback
  void SetAudioVolume(int value);
  bool Mute() const;
  void SetMute(bool value);
  bool DisableAudio = false;
  bool DisableVideo = false;
  bool DisableDisplay = false;
  int32_t FrameWidth = 0;
  int32_t FrameHeight = 0;
  bool Hook = false;
  int32_t ScreenWidth = 0;
  int32_t ScreenHeight = 0;
  bool TriggerEventInMainThread = true;

  TFileOpenEvent OnFileOpen;
  THookEvent OnHook;
  TPositionEvent OnPosition;
  TPlayStateEvent OnState;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
  TAVProbe probe_;
  std::string version_ = "2.3";
  friend struct PlayerState;
  friend struct TPlayerCore;
  friend struct TPlayerAccess;
};

class TFFPlayer : public TCustomPlayer {
 public:
  using TCustomPlayer::TCustomPlayer;
};

}  // namespace orvo
