// The player component: opening and stopping, the play thread with its event loop, and the event
// thread that delivers position and state notifications through a coalescing ring.
#include "component/FFPlay.h"

#include <SDL.h>

#include <cmath>
#include <cstdlib>
#include <deque>
#include <exception>
#include <optional>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "component/player_state.h"
#include "platform/main_thread.h"

namespace orvo {
namespace {

// A timed wait for a lock, made of plain attempts: ThreadSanitizer does not follow timed locks.
bool TryLockFor(std::timed_mutex& mutex, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    if (mutex.try_lock()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace


using std::chrono::milliseconds;

// SDL's subsystem bookkeeping and device table are process-wide and not meant for concurrent use.
std::mutex& SdlLock() {
  static std::mutex lock;
  return lock;
}

namespace {

enum TNotifyKind { nkPosition = 1, nkState = 2, nkStop = 3 };
struct TNotifyEntry {
  TNotifyKind Kind = nkPosition;
  TPlayState State = TPlayState::psPlay;
  int64_t Position = 0;
};
constexpr size_t kRingSize = 10;

}  // namespace

// ---- the play thread's event queue --------------------------------------------------------------

void TPlayerCore::PushEvent(const TPlayerEvent& event) {
  {
    std::lock_guard lock(eventMutex_);
    events_.push_back(event);
  }
  eventCond_.notify_one();
}

TPlayerEvent TPlayerCore::WaitEvent() {
  std::unique_lock lock(eventMutex_);
  eventCond_.wait(lock, [&] { return !events_.empty(); });
  TPlayerEvent event = events_.front();
  events_.pop_front();
  return event;
}

void TPlayerCore::ClearEvents() {
  std::lock_guard lock(eventMutex_);
  events_.clear();
}

// ---- the component's private part ---------------------------------------------------------------

struct TCustomPlayer::TImpl {
  explicit TImpl(TCustomPlayer& owner) : Core(owner) {}

  TPlayerCore Core;

  mutable std::mutex StateMutex;  // guards State
  std::shared_ptr<PlayerState> State;
  std::timed_mutex StateLock;     // one event of the play thread against a forced close
  TManualEvent PlayThreadDoneEvent{true};
  TManualEvent EventThreadDoneEvent{true};
  std::thread PlayThread;
  std::thread EventThread;
  std::atomic<bool> SdlStarted{false};
  std::atomic<bool> Destroying{false};

  std::mutex QueueLock;
  std::deque<TNotifyEntry> Ring;
  TManualEvent NotifyEvent{false};
  std::atomic<TPlayState> PlayState{TPlayState::psStop};

  mutable std::mutex ErrorLock;
  std::string LastErrorMessage;

  std::mutex SnapshotLock;
  TBitmapConverter SnapshotConverter;
  TBitmap Snapshot;
  std::string FileName;

  std::shared_ptr<PlayerState> CurrentState() const {
    std::lock_guard lock(StateMutex);
    return State;
  }

  void QuitSdl() {
    if (SdlStarted.exchange(false)) {
      std::lock_guard lock(SdlLock());
      SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
  }

  // Closes the open file (with StateLock held, or before the play thread runs).
  void CloseFile() {
    std::shared_ptr<PlayerState> state = CurrentState();
    if (!state) return;
    StreamClose(*state);
    {
      std::lock_guard lock(StateMutex);
      State.reset();
    }
    Core.LastReportedPosition = AV_NOPTS_VALUE;
    Core.CurrentPosition = -1;
    Core.SeekDoneEvent.Set();
    Core.FrameReadyEvent.Set();
    QuitSdl();
  }

  void Queue(const TNotifyEntry& entry) {
    {
      std::lock_guard lock(QueueLock);
      if (Ring.empty() || Ring.back().Kind != entry.Kind) {
        if (Ring.size() == kRingSize) Ring.pop_front();
        Ring.push_back(entry);
      } else {
        Ring.back() = entry;
      }
    }
    NotifyEvent.Set();
  }

  void Deliver(TCustomPlayer& owner, const std::function<void()>& call) {
    if (Destroying) return;
    try {
      if (owner.TriggerEventInMainThread) {
        RunInMainThread(call);
      } else {
        call();
      }
    } catch (const std::exception& e) {
      Logger().Log(&owner, llError, e.what());
    } catch (...) {
      Logger().Log(&owner, llError, "unknown exception in an event handler");
    }
  }

  void EventThreadRun(TCustomPlayer& owner) {
    for (;;) {
      std::optional<TNotifyEntry> entry;
      {
        std::lock_guard lock(QueueLock);
        if (!Ring.empty()) {
          entry = Ring.front();
          Ring.pop_front();
        }
        if (Ring.empty()) NotifyEvent.Reset();
      }
      if (!entry) {
        NotifyEvent.Wait(milliseconds(1000));
        continue;
      }
      if (entry->Kind == nkPosition) {
        const int64_t position = entry->Position;
        Deliver(owner, [&] {
          if (owner.OnPosition) owner.OnPosition(owner, position);
        });
      } else if (entry->Kind == nkState) {
        const TPlayState state = entry->State;
        Deliver(owner, [&] {
          if (owner.OnState) owner.OnState(owner, state);
        });
        if (state == TPlayState::psStop) break;
      } else {
        break;
      }
    }
    EventThreadDoneEvent.Set();
  }

  void EventLoop() {
    for (;;) {
      const TPlayerEvent event = Core.WaitEvent();
      std::lock_guard lock(StateLock);
      std::shared_ptr<PlayerState> state = CurrentState();
      if (!state) return;
      PlayerState& is = *state;
      switch (event.Kind) {
        case TPlayerEventKind::Quit:
          CloseFile();
          return;
        case TPlayerEventKind::Resize:
          if (Core.Surface && Core.Surface->SetVideoMode(event.Width, event.Height)) {
            Core.Owner.ScreenWidth = event.Width;
            Core.Owner.ScreenHeight = event.Height;
            is.Width = Core.Surface->Width();
            is.Height = Core.Surface->Height();
            is.SurfaceOpened = true;
          }
          if (is.Paused) VideoRefresh(is, false);
          break;
        case TPlayerEventKind::Expose:
          if (is.Paused) {
            VideoRefresh(is, false);
          } else {
            VideoDisplay(is);
          }
          break;
        case TPlayerEventKind::Allocate:
          VideoOpen(is, false);
          AllocPicture(is);
          break;
        case TPlayerEventKind::Refresh:
          VideoRefresh(is, true);
          is.RefreshPending = false;
          break;
        case TPlayerEventKind::Redisplay:
          VideoOpen(is, true);
          VideoDisplay(is);
          break;
      }
    }
  }

  void PlayThreadRun(TCustomPlayer& owner) {
    Core.ReportState(TPlayState::psPlay);
    try {
      EventLoop();
    } catch (const std::exception& e) {
      Logger().Log(&owner, llFatal, std::string("PlayThread Exception: ") + e.what());
      std::lock_guard lock(StateLock);
      CloseFile();
    }
    PlayThreadDoneEvent.Set();
    Core.ReportState(TPlayState::psStop);
  }

  // Waits for the play thread after a quit was pushed; closes the file from here when the play
  // thread cannot get to it.
  void WaitForEnd() {
    int attempts = 1;
    for (;;) {
      if (PlayThreadDoneEvent.WaitProcessing(milliseconds(100))) return;
      if (IsMainThread()) ProcessPendingCalls();
      std::shared_ptr<PlayerState> state = CurrentState();
      if (!state) return;
      if (!TryLockFor(StateLock, milliseconds(100))) continue;
      ++attempts;
      if ((attempts > 10 && state->Reading) || attempts > 20) {
        state.reset();
        CloseFile();
        StateLock.unlock();
        return;
      }
      Core.PushEvent(TPlayerEventKind::Quit);
      StateLock.unlock();
    }
  }

  void JoinThreads() {
    auto done = [&] { return PlayThreadDoneEvent.IsSet() && EventThreadDoneEvent.IsSet(); };
    if (IsMainThread()) {
      WaitProcessingCalls(done);
    } else {
      while (!done()) std::this_thread::sleep_for(milliseconds(10));
    }
    if (PlayThread.joinable()) PlayThread.join();
    if (EventThread.joinable()) EventThread.join();
  }
};

// ---- what the per-file machinery asks of the component -----------------------------------------

void TPlayerCore::ReportState(TPlayState state) {
  TCustomPlayer::TImpl& impl = *Owner.impl_;
  impl.PlayState = state;
  if (Owner.OnState) {
    impl.Queue(TNotifyEntry{nkState, state, 0});
  } else if (state == TPlayState::psStop) {
    impl.Queue(TNotifyEntry{nkStop, state, 0});
  }
}

void TPlayerCore::ReportPosition(int64_t position) {
  Owner.impl_->Queue(TNotifyEntry{nkPosition, TPlayState::psPlay, position});
}

bool TPlayerCore::HasPositionHandler() const { return static_cast<bool>(Owner.OnPosition); }

void TPlayerCore::SetError(const std::string& message) {
  {
    std::lock_guard lock(Owner.impl_->ErrorLock);
    Owner.impl_->LastErrorMessage = message;
  }
  Logger().Log(&Owner, llError, message);
}

void TPlayerCore::LogError(const std::string& message) { Logger().Log(&Owner, llError, message); }

void TPlayerCore::Log(TLogLevel level, const std::string& message) {
  Logger().Log(&Owner, level, message);
}

// ---- the component --------------------------------------------------------------------------------

TCustomPlayer::TCustomPlayer() : impl_(std::make_unique<TImpl>(*this)) {}

TCustomPlayer::~TCustomPlayer() {
  impl_->Destroying = true;
  Stop(true);
}

bool TCustomPlayer::LibrariesLoaded() const { return FFLoader().AreLoaded(PlayerLibraries); }

bool TCustomPlayer::LoadLibraries(const std::string& libraryFolder) {
  FFLoader().SetLibraryPath(libraryFolder);
  if (FFLoader().LoadLibraries(PlayerLibraries)) return true;
  std::lock_guard lock(impl_->ErrorLock);
  impl_->LastErrorMessage = FFLoader().LastError();
  return false;
}

bool TCustomPlayer::Open(const std::string& fileName, TDisplaySurface* surface, bool startPaused) {
  TImpl& impl = *impl_;
  if (!LibrariesLoaded()) {
    impl.Core.SetError("libav or libsdl not loaded.");
    return false;
  }
  Stop(true);

  // The driver named by the property applies to this open only.
  const char* driver = AudioDriver == TAudioDriver::adDirectSound ? "pulseaudio"
                       : AudioDriver == TAudioDriver::adWaveOut   ? "alsa"
                                                                  : nullptr;
  {
    std::lock_guard lock(SdlLock());
    std::optional<std::string> saved;
    if (driver) {
      if (const char* old = std::getenv("SDL_AUDIODRIVER")) saved = old;
      setenv("SDL_AUDIODRIVER", driver, 1);
    }
    // The program's own signal handling stays as it is.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    const bool started = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (driver) {
      if (saved) {
        setenv("SDL_AUDIODRIVER", saved->c_str(), 1);
      } else {
        unsetenv("SDL_AUDIODRIVER");
      }
    }
    if (!started) {
      const std::string reason = SDL_GetError();
      impl.Core.SetError("Could not initialize SDL with ScreenHandle(0): " + reason);
      return false;
    }
    impl.SdlStarted = true;
  }
  if (DisableDisplay) DisableVideo = true;

  impl.Core.Surface = surface ? surface : &impl.Core.OwnSurface;
  impl.Core.OwnWindow = surface == nullptr;
  impl.Core.ClearEvents();
  {
    std::lock_guard lock(impl.QueueLock);
    impl.Ring.clear();
  }
  impl.Core.LastReportedPosition = AV_NOPTS_VALUE;
  impl.Core.CurrentPosition = -1;

  std::shared_ptr<PlayerState> state = StreamOpen(impl.Core, fileName, startPaused);
  if (!state) {
    impl.QuitSdl();
    return false;
  }
  {
    std::lock_guard lock(impl.StateMutex);
    impl.State = state;
  }
  impl.FileName = fileName;
  probe_.AttachContext(state->Ic.get());

  auto fileOpen = [&] {
    {
      std::lock_guard lock(impl.Core.HookLock);
      impl.Core.HookConverter.Reset();
    }
    {
      std::lock_guard lock(impl.SnapshotLock);
      impl.SnapshotConverter.Reset();
      impl.Snapshot.SetSize(0, 0);
    }
    if (OnFileOpen) {
      const int64_t duration = state->IsImageSequence ? 0 : state->FileDuration.load();
      int32_t width = -1, height = -1;
      if (state->VideoStream >= 0 && state->CodecWidth > 0) {
        width = state->CodecWidth;
        height = state->CodecHeight;
      }
      OnFileOpen(*this, duration, width, height, ScreenWidth, ScreenHeight);
    }
  };
  if (TriggerEventInMainThread) {
    RunInMainThread(fileOpen);
  } else {
    fileOpen();
  }

  impl.PlayThreadDoneEvent.Reset();
  impl.EventThreadDoneEvent.Reset();
  impl.EventThread = std::thread([this] { impl_->EventThreadRun(*this); });
  impl.PlayThread = std::thread([this] { impl_->PlayThreadRun(*this); });
  return true;
}

void TCustomPlayer::Stop(bool wait) {
  TImpl& impl = *impl_;
  if (std::shared_ptr<PlayerState> state = impl.CurrentState()) {
    if (state->Paused) TogglePause(*state, [&] { return impl.CurrentState() != nullptr; });
    impl.Core.PushEvent(TPlayerEventKind::Quit);
    if (wait) impl.WaitForEnd();
  }
  if (wait) impl.JoinThreads();
}

void TCustomPlayer::Pause() {
  std::shared_ptr<PlayerState> state = impl_->CurrentState();
  if (!state || state->Paused) return;
  TogglePause(*state, [&] { return impl_->CurrentState() != nullptr; });
  impl_->Core.ReportState(TPlayState::psPause);
}

void TCustomPlayer::Resume() {
  std::shared_ptr<PlayerState> state = impl_->CurrentState();
  if (!state || !state->Paused) return;
  TogglePause(*state, [&] { return impl_->CurrentState() != nullptr; });
  impl_->Core.ReportState(TPlayState::psResume);
}

bool TCustomPlayer::IsPaused() const {
  std::shared_ptr<PlayerState> state = impl_->CurrentState();
  return !state || state->Paused;
}

void TCustomPlayer::Seek(int32_t seekFlags, bool wait, int64_t target) {
  std::shared_ptr<PlayerState> state = impl_->CurrentState();
  if (!state) return;
  if (seekFlags & AVSEEK_FLAG_BYTE) {
    RequestSeek(*state, seekFlags, wait, 0, target);
    return;
  }
  const int64_t requested = target;
  const int64_t duration = state->FileDuration;
  if (duration >= 0 && duration < target) target = duration;
  target += state->FileStartTime;
  RequestSeek(*state, seekFlags & 255, wait, requested <= 0 ? 1 : 0, target);
}

TBitmap& TCustomPlayer::CurrentFrame(int64_t* pts) {
  TImpl& impl = *impl_;
  std::lock_guard lock(impl.SnapshotLock);
  std::shared_ptr<PlayerState> state = impl.CurrentState();
  if (!state || state->VideoStream < 0) {
    impl.Snapshot.SetSize(0, 0);
    if (pts) *pts = -1;
    return impl.Snapshot;
  }
  PlayerState& is = *state;
  impl.Snapshot.SetSize(is.CodecWidth, is.CodecHeight);
  std::lock_guard pictures(is.PictLock);
  const int index = is.PictSize > 0 ? is.PictRIndex : is.ShownIndex.load();
  if (index < 0) {
    if (pts) *pts = -1;
    return impl.Snapshot;
  }
  VideoPicture& slot = is.PictQ[index];
  if (pts) *pts = std::llround(slot.Pts * 1e6) - is.FileStartTime;
  if (slot.Overlay) {
    TOverlay& overlay = *slot.Overlay;
    std::lock_guard overlayLock(overlay);
    const uint8_t* const planes[4] = {overlay.Plane(0), overlay.Plane(1), overlay.Plane(2), nullptr};
    const int pitches[4] = {overlay.Pitch(0), overlay.Pitch(1), overlay.Pitch(2), 0};
    if (impl.SnapshotConverter.PictureToBitmap(planes, pitches, AV_PIX_FMT_YUV420P, slot.Height,
                                               slot.Width)) {
      impl.Snapshot.Assign(*impl.SnapshotConverter.Bitmap());
    } else {
      impl.Snapshot.SetSize(0, 0);
    }
  }
  return impl.Snapshot;
}

int64_t TCustomPlayer::CurrentPosition() const { return impl_->Core.CurrentPosition; }

std::string TCustomPlayer::LastErrorMessage() const {
  std::lock_guard lock(impl_->ErrorLock);
  return impl_->LastErrorMessage;
}

float TCustomPlayer::AspectRatio() const { return impl_->Core.AspectRatio; }

void TCustomPlayer::SetAspectRatio(float value) {
  if (impl_->Core.AspectRatio.exchange(value) != value && impl_->CurrentState()) {
    impl_->Core.PushEvent(TPlayerEventKind::Redisplay);
  }
}

int TCustomPlayer::AudioVolume() const { return impl_->Core.AudioVolume; }
void TCustomPlayer::SetAudioVolume(int value) { impl_->Core.AudioVolume = std::clamp(value, 0, 128); }
bool TCustomPlayer::Mute() const { return impl_->Core.Mute; }
void TCustomPlayer::SetMute(bool value) { impl_->Core.Mute = value; }

}  // namespace orvo
