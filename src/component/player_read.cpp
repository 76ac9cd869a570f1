// Opening and closing a file, the read thread that fills the packet queues, seek and pause
// requests, and the refresh thread that paces the play thread.
#include <SDL.h>

#include <cstring>

#include "binding/FFmpegLoader.h"
#include "binding/UnicodeProtocol.h"
#include "component/player_state.h"
#include "platform/main_thread.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/time.h>
}

namespace orvo {

using std::chrono::milliseconds;

int64_t NowMicros() { return av_gettime_relative(); }

// ---- events -----------------------------------------------------------------------------------

void TManualEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  cond_.notify_all();
  WakeMainThreadWait();
}

void TManualEvent::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool TManualEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool TManualEvent::Wait(milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return cond_.wait_for(lock, timeout, [&] { return set_; });
}

bool TManualEvent::WaitProcessing(milliseconds timeout) const {
  if (!IsMainThread()) return Wait(timeout);
  return WaitProcessingCalls([&] { return IsSet(); }, timeout);
}

// ---- packet queues ----------------------------------------------------------------------------

namespace {
uint8_t kFlushText[] = "FLUSH";

AVPacket* MakeFlushPacket() {
  AVPacket* packet = av_packet_alloc();
  packet->data = kFlushText;
  packet->size = 0;
  return packet;
}
}  // namespace

const AVPacket* FlushPacket() {
  static const PacketPtr packet(MakeFlushPacket());
  return packet.get();
}

bool IsFlushPacket(const AVPacket* packet) { return packet && packet->data == kFlushText; }

int PacketQueue::Put(const AVPacket* packet) {
  PacketPtr copy(av_packet_alloc());
  if (!copy) return -1;
  if (IsFlushPacket(packet)) {
    copy->data = kFlushText;
  } else if (av_packet_ref(copy.get(), packet) < 0) {
    return -1;
  }
  const int64_t bytes = copy->size + kPacketOverhead;
  {
    std::lock_guard lock(mutex_);
    packets_.push_back(std::move(copy));
    count_ += 1;
    size_ += bytes;
  }
  cond_.notify_all();
  return 0;
}

int PacketQueue::PutEmpty(int streamIndex) {
  PacketPtr empty(av_packet_alloc());
  if (!empty) return -1;
  empty->stream_index = streamIndex;
  return Put(empty.get());
}

int PacketQueue::Get(PacketPtr& packet, bool block) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (abort_) return -1;
    if (!packets_.empty()) {
      packet = std::move(packets_.front());
      packets_.pop_front();
      count_ -= 1;
      size_ -= packet->size + kPacketOverhead;
      return 1;
    }
    if (!block) return 0;
    cond_.wait(lock);
  }
}

void PacketQueue::Flush() {
  std::deque<PacketPtr> gone;
  {
    std::lock_guard lock(mutex_);
    gone.swap(packets_);
    count_ = 0;
    size_ = 0;
  }
  // The flush marker's data is not the library's: it must not be unreferenced as such.
  for (auto& p : gone) {
    if (IsFlushPacket(p.get())) p->data = nullptr;
  }
}

void PacketQueue::Abort() {
  {
    std::lock_guard lock(mutex_);
    abort_ = true;
  }
  cond_.notify_all();
}

void PacketQueue::Start() {
  std::lock_guard lock(mutex_);
  abort_ = false;
}

PlayerState::~PlayerState() {
  for (auto& slot : SubQ) avsubtitle_free(&slot.Sub);
  av_channel_layout_uninit(&SwrLayout);
}

// ---- stream components ------------------------------------------------------------------------

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

int DecodeInterruptCallback(void* opaque) {
  return static_cast<PlayerState*>(opaque)->AbortRequest.load() ? 1 : 0;
}

bool StreamComponentOpen(PlayerState& is, int index) {
  AVFormatContext* ic = is.Ic.get();
  if (index < 0 || index >= static_cast<int>(ic->nb_streams)) return false;
  AVStream* st = ic->streams[index];
  const AVCodecParameters* par = st->codecpar;

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), par) < 0) {
    is.Core.LogError("avcodec_open() failed.");
    return false;
  }
  ctx->pkt_timebase = st->time_base;
  ctx->workaround_bugs = 1;
  ctx->err_recognition = 1;
  ctx->error_concealment = 3;
  ctx->lowres = 0;
  ctx->idct_algo = FF_IDCT_AUTO;
  ctx->skip_frame = AVDISCARD_DEFAULT;
  ctx->skip_idct = AVDISCARD_DEFAULT;
  ctx->skip_loop_filter = AVDISCARD_DEFAULT;
  ctx->thread_count = 1;
  {
    std::lock_guard lock(GlobalCodecLock());
    if (!codec || avcodec_open2(ctx.get(), codec, nullptr) < 0) {
      is.Core.LogError("avcodec_open() failed.");
      return false;
    }
  }
  auto closeCodec = [&] {
    std::lock_guard lock(GlobalCodecLock());
    ctx.reset();
  };

  if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
    const int streamChannels = ctx->ch_layout.nb_channels;
    const int channels = streamChannels == 1 || streamChannels == 2 ? streamChannels : 2;
    SDL_AudioSpec wanted{};
    SDL_AudioSpec obtained{};
    wanted.freq = ctx->sample_rate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<Uint8>(channels);
    wanted.silence = 0;
    wanted.samples = kAudioDeviceSamples;
    wanted.callback = AudioCallback;
    wanted.userdata = &is;
    SDL_AudioDeviceID device = 0;
    if (ctx->sample_rate > 0) {
      std::lock_guard lock(SdlLock());
      device = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    }
    if (device == 0) {
      is.Core.LogError(std::string("SDL_OpenAudio() failed: ") + SDL_GetError());
      closeCodec();
      return false;
    }
    is.AudioDevice = device;
    is.AudioHwBufSize = static_cast<int>(obtained.size);
    is.AudioChannels = obtained.channels;
    is.AudioRate = obtained.freq;
    is.SwrFormat = -1;
  }

  st->discard = AVDISCARD_DEFAULT;
  switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      is.AudioStream = index;
      is.AudioSt = st;
      is.AudioCtx = std::move(ctx);
      is.AudioDuration = st->duration != AV_NOPTS_VALUE
                             ? av_rescale_q(st->duration, st->time_base, AVRational{1, 1000000})
                             : -1;
      is.AudioBuf.assign(kAudioBufferSize, 0);
      is.AudioBufSize = 0;
      is.AudioBufIndex = 0;
      is.AudioFrame.reset(av_frame_alloc());
      is.AudioQ.Start();
      is.AudioQ.Put(FlushPacket());
      SDL_PauseAudioDevice(is.AudioDevice, 0);
      break;
    case AVMEDIA_TYPE_VIDEO:
      is.VideoStream = index;
      is.VideoSt = st;
      is.CodecWidth = ctx->width;
      is.CodecHeight = ctx->height;
      is.VideoCtx = std::move(ctx);
      is.VideoQ.Start();
      is.VideoQ.Put(FlushPacket());
      is.VideoThread = std::thread(VideoThread, &is);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      is.SubtitleStream = index;
      is.SubtitleSt = st;
      is.SubtitleCtx = std::move(ctx);
      is.SubtitleQ.Start();
      is.SubtitleQ.Put(FlushPacket());
      is.SubtitleThread = std::thread(SubtitleThread, &is);
      break;
    default:
      break;
  }
  return true;
}

void StreamComponentClose(PlayerState& is, int index) {
  AVFormatContext* ic = is.Ic.get();
  if (index < 0 || index >= static_cast<int>(ic->nb_streams)) return;
  const AVMediaType type = ic->streams[index]->codecpar->codec_type;
  CodecContextPtr ctx;
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      is.VideoQ.Abort();
      {
        std::lock_guard lock(is.PictLock);
      }
      is.PictCond.notify_all();
      if (is.VideoThread.joinable()) is.VideoThread.join();
      is.VideoQ.Flush();
      ctx = std::move(is.VideoCtx);
      break;
    case AVMEDIA_TYPE_AUDIO:
      is.AudioQ.Abort();
      if (is.AudioDevice) {
        std::lock_guard lock(SdlLock());
        SDL_CloseAudioDevice(is.AudioDevice);
      }
      is.AudioDevice = 0;
      is.AudioQ.Flush();
      is.Swr.reset();
      ctx = std::move(is.AudioCtx);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      is.SubtitleQ.Abort();
      {
        std::lock_guard lock(is.SubLock);
        is.SubtitleStreamChanged = true;
      }
      is.SubCond.notify_all();
      if (is.SubtitleThread.joinable()) is.SubtitleThread.join();
      is.SubtitleQ.Flush();
      ctx = std::move(is.SubtitleCtx);
      break;
    default:
      break;
  }
  ic->streams[index]->discard = AVDISCARD_ALL;
  {
    std::lock_guard lock(GlobalCodecLock());
    ctx.reset();
  }
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      is.VideoSt = nullptr;
      is.VideoStream = -1;
      break;
    case AVMEDIA_TYPE_AUDIO:
      is.AudioSt = nullptr;
      is.AudioStream = -1;
      is.AudioDuration = -1;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      is.SubtitleSt = nullptr;
      is.SubtitleStream = -1;
      break;
    default:
      break;
  }
}

// One seek request as the read thread carries it out.
void DoSeek(PlayerState& is, bool& eofLatch) {
  AVFormatContext* ic = is.Ic.get();
  int64_t target, rel;
  int flags;
  {
    std::lock_guard lock(is.SeekMutex);
    target = is.SeekTarget;
    rel = is.SeekRel;
    flags = is.SeekFlags;
  }
  const int64_t minimum = rel > 0 ? target - rel + 2 : INT64_MIN;
  const int64_t maximum = rel < 0 ? target - rel - 2 : INT64_MAX;
  int rc = avformat_seek_file(ic, -1, minimum, target, maximum, flags);
  if (rc < 0) rc = av_seek_frame(ic, -1, target, flags);
  if (rc < 0) rc = av_seek_frame(ic, -1, target, flags ^ AVSEEK_FLAG_BACKWARD);
  if (rc < 0) {
    is.Core.LogError(is.FileName + ": error while seeking");
    if (is.VideoStream >= 0) is.Core.FrameReadyEvent.Set();
  } else {
    // Marked before the flush markers go in: the video thread may take the marker and decode
    // its first new picture at once, and that picture must clear the mark, not precede it.
    is.FlushSeen = false;
    is.AfterSeek = true;
    const bool bytes = (flags & AVSEEK_FLAG_BYTE) != 0;
    is.VideoSeekTarget = bytes ? NAN : target / 1e6;
    is.AudioSeekTarget = bytes ? NAN : target / 1e6;
    if (is.AudioStream >= 0) {
      is.AudioQ.Flush();
      is.AudioQ.Put(FlushPacket());
    }
    if (is.SubtitleStream >= 0) {
      is.SubtitleQ.Flush();
      is.SubtitleQ.Put(FlushPacket());
    }
    if (is.VideoStream >= 0) {
      is.FlushSeen = false;
      is.VideoQ.Flush();
      is.VideoQ.Put(FlushPacket());
      is.Core.FrameReadyEvent.Reset();
    }
  }
  is.EOFReported = false;
  is.Drained = false;
  is.EndSignalled = false;
  is.SeekRequest = 0;
  if (rc < 0) is.AfterSeek = true;
  is.Core.SeekDoneEvent.Set();
  eofLatch = false;
}

void ReadLoop(PlayerState& is) {
  AVFormatContext* ic = is.Ic.get();
  bool eofLatch = false;
  while (!is.AbortRequest) {
    const int paused = is.Paused;
    if (paused != is.LastPaused) {
      is.LastPaused = paused;
      if (paused) {
        is.ReadPauseReturn = av_read_pause(ic);
      } else {
        av_read_play(ic);
      }
    }
    if (is.SeekRequest) DoSeek(is, eofLatch);

    const int64_t total = is.AudioQ.Size() + is.VideoQ.Size() + is.SubtitleQ.Size();
    const bool wanted = (is.AudioStream >= 0 && is.AudioQ.Size() <= kMinAudioQueueBytes) ||
                        (is.VideoStream >= 0 && is.VideoQ.Count() <= kMinFrames) ||
                        (is.SubtitleStream >= 0 && is.SubtitleQ.Count() <= kMinFrames);
    if (total > kMaxQueueBytes || !wanted) {
      SleepMs(10);
      continue;
    }
    if (eofLatch || (ic->pb && avio_feof(ic->pb))) {
      // The video thread answers a pending seek itself once it has decoded what was read:
      // small files are read to their end long before their pictures are decoded.
      if (is.VideoStream >= 0) is.VideoQ.PutEmpty(is.VideoStream);
      SleepMs(10);
      if (is.AudioQ.Size() == 0 && is.VideoQ.Size() == 0 && is.SubtitleQ.Size() == 0) {
        is.Drained = true;
      }
      continue;
    }

    PacketPtr packet(av_packet_alloc());
    is.Reading = true;
    const int rc = av_read_frame(ic, packet.get());
    is.Reading = false;
    if (is.AbortRequest) break;
    if (rc == AVERROR(EAGAIN)) {
      SleepMs(10);
      continue;
    }
    if (rc < 0) {
      if (is.VideoStream >= 0 && rc != AVERROR_EOF) is.Core.FrameReadyEvent.Set();
      if (!is.IsImageSequence && !is.EOFReported) {
        is.EOFReported = true;
        if (rc == AVERROR_EOF) {
          is.Core.Log(llInfo, "reach end of file: " + is.FileName);
        } else {
          is.Core.LogError("error #" + std::to_string(rc) + " while reading file: " + is.FileName);
        }
      }
      if (rc == AVERROR_EOF) {
        eofLatch = true;
        continue;
      }
      if (ic->pb && ic->pb->error) break;
      SleepMs(100);
      continue;
    }
    if (packet->stream_index == is.AudioStream) {
      is.AudioQ.Put(packet.get());
    } else if (packet->stream_index == is.VideoStream) {
      is.VideoQ.Put(packet.get());
    } else if (packet->stream_index == is.SubtitleStream) {
      is.SubtitleQ.Put(packet.get());
    }
  }
  while (!is.AbortRequest) SleepMs(100);
}

bool OpenInput(PlayerState& is) {
  TCustomPlayer& owner = is.Core.Owner;
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) {
    is.Core.SetError("av_mallocz() failed.");
    return false;
  }
  raw->interrupt_callback.callback = DecodeInterruptCallback;
  raw->interrupt_callback.opaque = &is;
  AVDictionary* options = nullptr;
  if (owner.FrameWidth > 0 && owner.FrameHeight > 0) {
    av_dict_set(&options, "video_size",
                (std::to_string(owner.FrameWidth) + "x" + std::to_string(owner.FrameHeight)).c_str(),
                0);
  }
  av_dict_set(&options, "framerate", "25", 0);
  const int rc = avformat_open_input(&raw, ToLibraryFileName(is.FileName).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc < 0) {
    is.Core.SetError(ErrorText(is.FileName, rc));
    return false;
  }
  is.Ic.reset(raw);
  AVFormatContext* ic = raw;

  int info;
  {
    std::lock_guard lock(GlobalCodecLock());
    info = avformat_find_stream_info(ic, nullptr);
  }
  if (info < 0) {
    is.Core.SetError(is.FileName + ": could not find codec parameters");
    return false;
  }
  if (ic->pb) ic->pb->eof_reached = 0;

  const std::string demuxer = ic->iformat && ic->iformat->name ? ic->iformat->name : "";
  is.IsImageSequence = demuxer == "image2";
  is.IsCaptureDevice = demuxer == "vfwcap" || demuxer == "vfwcapture";
  is.FileStartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  is.FileDuration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;

  for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
  auto best = [&](AVMediaType type) {
    const int index = av_find_best_stream(ic, type, -1, -1, nullptr, 0);
    return index >= 0 ? index : -1;
  };
  const int audioIndex = owner.DisableAudio ? -1 : best(AVMEDIA_TYPE_AUDIO);
  const int videoIndex = owner.DisableVideo ? -1 : best(AVMEDIA_TYPE_VIDEO);
  const int subtitleIndex = owner.DisableVideo ? -1 : best(AVMEDIA_TYPE_SUBTITLE);

  if (audioIndex >= 0) StreamComponentOpen(is, audioIndex);
  if (videoIndex >= 0) StreamComponentOpen(is, videoIndex);
  if (subtitleIndex >= 0) StreamComponentOpen(is, subtitleIndex);

  if (is.AudioStream < 0 && is.VideoStream < 0) {
    is.Core.SetError(is.FileName + ": could not open codecs, no stream to play.");
    return false;
  }
  return true;
}

void ReadThread(PlayerState* state) {
  PlayerState& is = *state;
  if (OpenInput(is)) {
    is.OpenStatus = 1;
    ReadLoop(is);
  }
  if (is.OpenStatus != 1) is.OpenStatus = -1;
  if (is.Ic) {
    StreamComponentClose(is, is.AudioStream);
    StreamComponentClose(is, is.VideoStream);
    StreamComponentClose(is, is.SubtitleStream);
    TAVProbe& probe = is.Core.Owner.Probe();
    if (probe.FormatContext() == is.Ic.get()) probe.CloseFile();
    is.Ic.reset();
  }
  if (is.OpenStatus == -1) is.OpenStatus = -2;
  is.ReadDone = true;
}

void RefreshThread(PlayerState* state) {
  PlayerState& is = *state;
  while (!is.AbortRequest) {
    if (!is.RefreshPending.exchange(true)) is.Core.PushEvent(TPlayerEventKind::Refresh);
    SleepMs(is.AudioStream >= 0 && is.ShowMode != 0 ? 20 : 5);
  }
}

// Waits, polling every 10 ms, keeping the main thread's calls flowing when on it.
void WaitUntil(const std::function<bool()>& done) {
  if (IsMainThread()) {
    WaitProcessingCalls(done);
  } else {
    while (!done()) SleepMs(10);
  }
}

}  // namespace

std::shared_ptr<PlayerState> StreamOpen(TPlayerCore& core, const std::string& fileName,
                                        bool startPaused) {
  auto is = std::make_shared<PlayerState>(core);
  if (startPaused) {
    is->Paused = 1;
    is->StartPausedFrames = 1;
  }
  is->FileName = fileName;
  is->XLeft = is->YTop = 0;
  is->SampleArray.assign(kSampleArraySize, 0);
  try {
    is->ReadThread = std::thread(ReadThread, is.get());
  } catch (const std::system_error&) {
    core.SetError("SDL_CreateThread() failed.");
    return nullptr;
  }
  WaitUntil([&] { return is->OpenStatus != 0; });
  if (is->OpenStatus > 0) {
    if (is->VideoStream < 0 && !core.Owner.DisableDisplay) is->ShowMode = core.DisplayMode;
    is->RefreshThread = std::thread(RefreshThread, is.get());
    return is;
  }
  WaitUntil([&] { return is->OpenStatus != -1; });
  is->ReadThread.join();
  return nullptr;
}

void StreamClose(PlayerState& is) {
  is.AbortRequest = true;
  // The read thread's last steps may log through the main thread.
  WaitUntil([&] { return is.ReadDone.load(); });
  if (is.ReadThread.joinable()) is.ReadThread.join();
  if (is.RefreshThread.joinable()) is.RefreshThread.join();
  std::lock_guard lock(is.PictLock);
  for (auto& slot : is.PictQ) {
    slot.Frame.reset();
    slot.Overlay.reset();
    slot.Allocated = false;
  }
}

void RequestSeek(PlayerState& is, int seekFlags, bool wait, int64_t relativeOffset,
                 int64_t target) {
  if (is.SeekRequest) return;
  is.PausedAtSeek = is.Paused != 0;
  {
    std::lock_guard lock(is.SeekMutex);
    is.SeekTarget = target;
    is.SeekRel = relativeOffset;
    is.SeekFlags = seekFlags & 15;
  }
  is.Core.SeekDoneEvent.Reset();
  is.SeekRequest = 1;
  if (!wait) return;
  while (!is.Core.SeekDoneEvent.WaitProcessing(milliseconds(100))) {
    if (is.AbortRequest) return;
  }
  // A picture that never comes (nothing decodable after the target) must not hold the caller.
  if (is.VideoStream >= 0) {
    for (int slice = 0; slice < 50; ++slice) {
      if (is.Core.FrameReadyEvent.WaitProcessing(milliseconds(100)) || is.AbortRequest) return;
    }
  }
}

void TogglePause(PlayerState& is, const std::function<bool()>& stillOpen) {
  if (!is.Core.SeekDoneEvent.WaitProcessing(milliseconds(250))) is.Core.SeekDoneEvent.Set();
  if (!stillOpen()) return;
  if (is.Paused) {
    const double now = NowSeconds();
    is.FrameTimer = is.FrameTimer + now + is.VideoCurrentPtsDrift - is.VideoCurrentPts;
    if (is.ReadPauseReturn != AVERROR(ENOSYS)) is.VideoCurrentPts = is.VideoCurrentPtsDrift + now;
    is.VideoCurrentPtsDrift = is.VideoCurrentPts - now;
    is.Paused = 0;
  } else {
    if (is.VideoStream >= 0 && !is.Core.FrameReadyEvent.WaitProcessing(milliseconds(250))) {
      is.Core.FrameReadyEvent.Set();
    }
    if (!stillOpen()) return;
    is.Paused = 1;
  }
}

}  // namespace orvo
