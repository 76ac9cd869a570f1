#pragma once
// The per-file state of the player and what its modules share: the packet queues with their flush
// marker, the picture and subtitle queues, the events the component and the threads exchange, and
// the functions of the reading, decoding and display modules.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
}

#include "binding/FFmpegLogger.h"
#include "binding/av_handles.h"
#include "component/DisplaySurface.h"
#include "component/FFPlay.h"
#include "component/player_display.h"
#include "engine/media_texts.h"

namespace orvo {

inline constexpr int kPictureQueueSize = 2;
inline constexpr int kSubtitleQueueSize = 4;
inline constexpr int kAudioBufferSize = 288000;
inline constexpr int kAudioDeviceSamples = 1024;
inline constexpr int64_t kMaxQueueBytes = 15 * 1024 * 1024;
inline constexpr int64_t kMinAudioQueueBytes = 327680;
inline constexpr int kMinFrames = 5;
inline constexpr int kPacketOverhead = 72;
inline constexpr double kSyncThreshold = 0.01;
inline constexpr double kNoSyncThreshold = 10.0;
inline constexpr double kSkipFactor = 0.05;
inline constexpr double kLateGrace = 0.5;
inline constexpr int64_t kPositionStep = 10000;

// Held around SDL's subsystem and device calls, which are process-wide.
std::mutex& SdlLock();

// Wall clock in µs and seconds (a monotonic clock: only differences matter).
int64_t NowMicros();
inline double NowSeconds() { return NowMicros() / 1e6; }

// A manual-reset event.
class TManualEvent {
 public:
  explicit TManualEvent(bool initiallySet) : set_(initiallySet) {}
  void Set();
  void Reset();
  bool IsSet() const;
  // True when set within `timeout`.
  bool Wait(std::chrono::milliseconds timeout) const;
  // As Wait; on the main thread runs its pending calls meanwhile.
  bool WaitProcessing(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cond_;
  bool set_;
};

// The marker put into a queue after it is created and after each seek's flush; recognised by its
// data pointer.
const AVPacket* FlushPacket();
bool IsFlushPacket(const AVPacket* packet);

class PacketQueue {
 public:
  PacketQueue() = default;
  PacketQueue(const PacketQueue&) = delete;
  PacketQueue& operator=(const PacketQueue&) = delete;
  ~PacketQueue() { Flush(); }

  // Takes a reference to the packet's data (the flush marker is queued as it is). -1 when the
  // packet cannot be referenced.
  int Put(const AVPacket* packet);
  // Puts an empty packet (no data) of a stream: the end of the stream for its decoder.
  int PutEmpty(int streamIndex);
  // 1 with a packet, 0 when none and not blocking, -1 when aborted.
  int Get(PacketPtr& packet, bool block);
  void Flush();
  void Abort();
  void Start();  // clears the abort flag
  bool Aborted() const { return abort_.load(); }
  int Count() const { return count_.load(); }
  int64_t Size() const { return size_.load(); }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<PacketPtr> packets_;
  std::atomic<int> count_{0};
  std::atomic<int64_t> size_{0};
  std::atomic<bool> abort_{false};
};

struct VideoPicture {
  double Pts = 0;
  double TargetClock = 0;
  int64_t Pos = -1;
  std::unique_ptr<TOverlay> Overlay;
  int Width = 0;
  int Height = 0;
  bool Allocated = false;
  AVPixelFormat PixelFormat = AV_PIX_FMT_NONE;
  AVRational SampleAspect{0, 1};
  FramePtr Frame;  // the filter picture the overlay was copied from
};

struct SubtitlePicture {
  double Pts = 0;
  AVSubtitle Sub{};
};

// The play thread's event kinds.
enum class TPlayerEventKind { Refresh, Allocate, Redisplay, Resize, Expose, Quit };
struct TPlayerEvent {
  TPlayerEventKind Kind = TPlayerEventKind::Refresh;
  int Width = 0;
  int Height = 0;
};

// What the per-file machinery needs from its component; it lives as long as the component.
struct TPlayerCore {
  explicit TPlayerCore(TCustomPlayer& owner) : Owner(owner) {}

  TCustomPlayer& Owner;
  TDisplaySurface* Surface = nullptr;  // set by Open, for the file's lifetime
  TOffscreenSurface OwnSurface;

  std::atomic<int> AudioVolume{128};
  std::atomic<bool> Mute{false};
  std::atomic<float> AspectRatio{0.0f};
  int DisplayMode = 1;  // for files without video: 1 waveform

  TManualEvent SeekDoneEvent{true};
  TManualEvent FrameReadyEvent{true};

  std::atomic<int64_t> CurrentPosition{-1};
  std::atomic<int64_t> LastReportedPosition{AV_NOPTS_VALUE};
  std::atomic<int64_t> LastAudioCallback{0};

  std::mutex HookLock;  // the video thread converts, Open resets
  TBitmapConverter HookConverter;
  bool OwnWindow = true;  // no surface of the application: the caption is set

  // The play thread's event queue.
  void PushEvent(const TPlayerEvent& event);
  void PushEvent(TPlayerEventKind kind) { PushEvent(TPlayerEvent{kind, 0, 0}); }
  TPlayerEvent WaitEvent();
  void ClearEvents();

  // Implemented by the component.
  void ReportState(TPlayState state);
  void ReportPosition(int64_t position);  // queues an OnPosition notification
  bool HasPositionHandler() const;
  void SetError(const std::string& message);  // stored in LastErrorMessage and logged
  void LogError(const std::string& message);  // logged only
  void Log(TLogLevel level, const std::string& message);

 private:
  std::mutex eventMutex_;
  std::condition_variable eventCond_;
  std::deque<TPlayerEvent> events_;
};

struct PlayerState {
  explicit PlayerState(TPlayerCore& core) : Core(core) {}
  PlayerState(const PlayerState&) = delete;
  PlayerState& operator=(const PlayerState&) = delete;
  ~PlayerState();

  TPlayerCore& Core;

  std::thread ReadThread, VideoThread, SubtitleThread, RefreshThread;

  std::atomic<bool> AbortRequest{false};
  std::atomic<int> Paused{0};
  int LastPaused = 0;  // read thread
  std::atomic<int> SeekRequest{0};
  int SeekFlags = 0;
  int64_t SeekTarget = 0;
  int64_t SeekRel = 0;
  std::mutex SeekMutex;  // guards the three above between the caller and the read thread
  std::atomic<int> ReadPauseReturn{0};
  // After a time seek the decoders drop what lies before the target (seconds; NaN: none), so the
  // first picture and sound are those of the target, not of the key frame before it.
  std::atomic<double> VideoSeekTarget{NAN};
  std::atomic<double> AudioSeekTarget{NAN};

  InputFormatContextPtr Ic;
  std::atomic<int> AudioStream{-1}, VideoStream{-1}, SubtitleStream{-1};
  int CodecWidth = 0, CodecHeight = 0;  // of the video decoder, set before the file counts as open
  // Read by the other threads while the read thread closes the streams one by one.
  std::atomic<AVStream*> AudioSt{nullptr};
  std::atomic<AVStream*> VideoSt{nullptr};
  std::atomic<AVStream*> SubtitleSt{nullptr};
  CodecContextPtr AudioCtx, VideoCtx, SubtitleCtx;

  // Clocks, in seconds.
  std::atomic<double> AudioClock{0};
  std::atomic<double> FrameTimer{0};
  std::atomic<double> FrameLastPts{0};
  std::atomic<double> FrameLastDelay{0};
  std::atomic<double> VideoClock{0};
  std::atomic<double> VideoCurrentPts{0};
  std::atomic<double> VideoCurrentPtsDrift{0};
  std::atomic<int64_t> VideoCurrentPos{-1};

  // Audio (the device's callback thread).
  std::vector<uint8_t> AudioBuf;
  std::atomic<int> AudioBufSize{0};
  std::atomic<int> AudioBufIndex{0};
  SwrContextPtr Swr;
  int SwrFormat = -1, SwrRate = 0;
  AVChannelLayout SwrLayout{};
  FramePtr AudioFrame;
  bool AudioPacketPending = false;  // the decoder may hold more sound
  int AudioChannels = 0;  // of the device
  int AudioRate = 0;
  uint32_t AudioDevice = 0;
  int AudioHwBufSize = 0;
  PacketQueue AudioQ;

  // Waveform.
  std::mutex SampleLock;
  std::vector<int16_t> SampleArray;
  int SampleArrayIndex = 0;
  int LastStart = 0;
  std::atomic<int> ShowMode{0};

  // Subtitles.
  std::mutex SubLock;
  std::condition_variable SubCond;
  SubtitlePicture SubQ[kSubtitleQueueSize];
  int SubSize = 0, SubRIndex = 0, SubWIndex = 0;
  bool SubtitleStreamChanged = false;
  PacketQueue SubtitleQ;

  // Pictures.
  std::mutex PictLock;
  std::condition_variable PictCond;
  VideoPicture PictQ[kPictureQueueSize];
  int PictSize = 0, PictRIndex = 0, PictWIndex = 0;
  // The slot shown last (-1: none yet); it stays valid while nothing is queued (play thread).
  std::atomic<int> ShownIndex{-1};
  PacketQueue VideoQ;

  std::string FileName;
  // Display rectangle (play thread).
  int Width = 0, Height = 0, XLeft = 0, YTop = 0;
  bool SurfaceOpened = false;
  TBitmap WaveBitmap;

  // pts choice (video thread).
  int64_t FaultyPts = 0, FaultyDts = 0, LastDtsForFault = INT64_MIN, LastPtsForFault = INT64_MIN;

  // The filter chain's output (written by the video thread, read by the play thread).
  std::atomic<int> FilterWidth{0}, FilterHeight{0};
  std::atomic<int> FilterFormat{AV_PIX_FMT_NONE};
  std::atomic<double> SkipFrames{1.0};
  double SkipFramesIndex = 0;
  std::atomic<bool> RefreshPending{false};

  std::atomic<int> OpenStatus{0};
  std::atomic<bool> ReadDone{false};
  std::atomic<int64_t> FileStartTime{0};
  std::atomic<int64_t> FileDuration{-1};
  std::atomic<int64_t> AudioDuration{-1};
  std::atomic<bool> IsImageSequence{false}, IsCaptureDevice{false};
  std::atomic<bool> EOFReported{false}, EndSignalled{false}, Drained{false}, Reading{false};
  std::atomic<int> StartPausedFrames{0};
  std::atomic<bool> PausedAtSeek{false}, AfterSeek{false}, FlushSeen{false};
  std::mutex ReportLock;  // the play and video threads both report
};

// Reading (player_read.cpp).
std::shared_ptr<PlayerState> StreamOpen(TPlayerCore& core, const std::string& fileName,
                                        bool startPaused);
void StreamClose(PlayerState& is);
void RequestSeek(PlayerState& is, int seekFlags, bool wait, int64_t relativeOffset,
                 int64_t target);
void TogglePause(PlayerState& is, const std::function<bool()>& stillOpen);

// Decoding and synchronisation (player_decode.cpp).
void VideoThread(PlayerState* is);
void AudioCallback(void* opaque, uint8_t* stream, int length);
double GetAudioClock(PlayerState& is);
double GetVideoClock(PlayerState& is);
double GetMasterClock(PlayerState& is);
void VideoRefresh(PlayerState& is, bool consume);
void ReportPosition(PlayerState& is);

// Display, subtitles and the frame hook (player_video.cpp).
int VideoOpen(PlayerState& is, bool force);
void AllocPicture(PlayerState& is);
void VideoDisplay(PlayerState& is);
void HookPicture(PlayerState& is, const AVFrame* source, TOverlay& overlay, double pts);
void SubtitleThread(PlayerState* is);

}  // namespace orvo
