// Conversion engine against the floor of the same work: a bare decode, scale/resample, encode and
// mux loop written directly on the libraries with the same codec settings and thread counts.
// Each run goes in a child process of its own, so its peak memory is its own.
//
//   orvo_convert_bench [SECONDS]   (default 10: a 1280x720 25 fps clip with stereo sound)
//
// Prints, per scenario, wall time and peak resident memory of both and their ratios.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/av_handles.h"
#include "engine/FFmpeg.h"
#include "engine/presets.h"
#include "support/test_media.h"

namespace {

using namespace orvo;

struct TScenario {
  const char* Name;
  const char* Extension;
  const char* Format;
  const char* VideoEncoder;
  int Width, Height;
  const char* AudioEncoder;
  int SampleRate;
  int64_t AudioBitRate;
  int64_t VideoBitRate;   // 0: the preset decides
  const char* Preset;     // built-in preset name, or null
};

const TScenario kScenarios[] = {
    {"flv1 320x240 + mp3", "flv", "flv", "flv", 320, 240, "libmp3lame", 44100, 128000, 400000,
     nullptr},
    {"h264 640x360 veryfast + aac", "mp4", "mp4", "libx264", 640, 360, "aac", 44100, 128000, 0,
     "libx264-veryfast"},
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::_Exit(3);
}

void Check(int ret, const char* what) {
  if (ret < 0) Die(std::string(what) + ": " + std::to_string(ret));
}

// The engine, as the program drives it.
void RunEngine(const TScenario& s, const std::string& input, const std::string& output,
               int threads = 1) {
  TCustomFFmpeg engine;
  engine.DispatchOption("v", "-1");
  engine.DispatchOption("threads", std::to_string(threads));
  if (!engine.OpenInputFile(input)) Die(engine.LastErrorText());
  engine.DispatchOption("f", s.Format);
  engine.DispatchOption("vcodec", s.VideoEncoder);
  if (s.Preset) engine.DispatchOption("vpre", std::string(s.Preset).substr(8));  // "veryfast"
  if (s.VideoBitRate) engine.DispatchOption("b", std::to_string(s.VideoBitRate));
  engine.DispatchOption("s", std::to_string(s.Width) + "x" + std::to_string(s.Height));
  engine.DispatchOption("acodec", s.AudioEncoder);
  engine.DispatchOption("ar", std::to_string(s.SampleRate));
  engine.DispatchOption("ab", std::to_string(s.AudioBitRate));
  if (engine.OpenOutputFile(output, false) < 0) Die(engine.LastErrorText());
  engine.StartConvert(false, TThreadPriority::tpNormal);
  if (engine.Error()) Die(engine.ErrorText());
}

// The same conversion written directly on the libraries.
class TBareLoop {
 public:
  TBareLoop(const TScenario& s, const std::string& input, const std::string& output)
      : s_(s), input_(input), output_(output) {}

  void Run() {
    OpenInput();
    OpenOutput();
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    while (av_read_frame(ic_.get(), packet.get()) >= 0) {
      if (packet->stream_index == videoIn_) Decode(videoDec_.get(), packet.get(), frame.get(), true);
      if (packet->stream_index == audioIn_) Decode(audioDec_.get(), packet.get(), frame.get(), false);
      av_packet_unref(packet.get());
    }
    Decode(videoDec_.get(), nullptr, frame.get(), true);
    Decode(audioDec_.get(), nullptr, frame.get(), false);
    FlushAudio(true);
    Encode(videoEnc_.get(), videoOut_, nullptr);
    Encode(audioEnc_.get(), audioOut_, nullptr);
    Check(av_write_trailer(oc_.get()), "trailer");
  }

 private:
  void OpenInput() {
    AVFormatContext* raw = nullptr;
    Check(avformat_open_input(&raw, input_.c_str(), nullptr, nullptr), "open input");
    ic_.reset(raw);
    Check(avformat_find_stream_info(ic_.get(), nullptr), "stream info");
    videoIn_ = av_find_best_stream(ic_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audioIn_ = av_find_best_stream(ic_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    videoDec_ = OpenDecoder(ic_->streams[videoIn_]);
    audioDec_ = OpenDecoder(ic_->streams[audioIn_]);
  }

  static CodecContextPtr OpenDecoder(AVStream* st) {
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    Check(avcodec_parameters_to_context(ctx.get(), st->codecpar), "decoder parameters");
    ctx->thread_count = 1;
    ctx->pkt_timebase = st->time_base;
    Check(avcodec_open2(ctx.get(), codec, nullptr), "open decoder");
    return ctx;
  }

  void OpenOutput() {
    AVFormatContext* raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, s_.Format, output_.c_str()), "output");
    oc_.reset(raw);
    const bool globalHeader = oc_->oformat->flags & AVFMT_GLOBALHEADER;

    const AVCodec* vcodec = avcodec_find_encoder_by_name(s_.VideoEncoder);
    videoEnc_.reset(avcodec_alloc_context3(vcodec));
    AVCodecContext* v = videoEnc_.get();
    v->width = s_.Width;
    v->height = s_.Height;
    v->pix_fmt = vcodec->pix_fmts ? vcodec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    v->time_base = av_inv_q(ic_->streams[videoIn_]->r_frame_rate);
    v->framerate = ic_->streams[videoIn_]->r_frame_rate;
    v->sample_aspect_ratio = AVRational{1, 1};
    v->thread_count = 1;
    if (s_.VideoBitRate) v->bit_rate = s_.VideoBitRate;
    if (s_.Preset) {
      const TOptionsPreset* preset = FindOptionsPreset(s_.Preset);
      if (!preset) Die("no preset");
      ApplyPresetToCodecContext(v, s_.VideoEncoder, std::string(preset->Content));
    }
    if (globalHeader) v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(avcodec_open2(v, vcodec, nullptr), "open video encoder");
    videoOut_ = avformat_new_stream(oc_.get(), nullptr);
    Check(avcodec_parameters_from_context(videoOut_->codecpar, v), "video parameters");
    videoOut_->time_base = v->time_base;

    const AVCodec* acodec = avcodec_find_encoder_by_name(s_.AudioEncoder);
    audioEnc_.reset(avcodec_alloc_context3(acodec));
    AVCodecContext* a = audioEnc_.get();
    a->sample_rate = s_.SampleRate;
    a->sample_fmt = acodec->sample_fmts[0];
    av_channel_layout_default(&a->ch_layout, 2);
    a->bit_rate = s_.AudioBitRate;
    a->time_base = AVRational{1, s_.SampleRate};
    a->thread_count = 1;
    if (globalHeader) a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(avcodec_open2(a, acodec, nullptr), "open audio encoder");
    audioOut_ = avformat_new_stream(oc_.get(), nullptr);
    Check(avcodec_parameters_from_context(audioOut_->codecpar, a), "audio parameters");
    audioOut_->time_base = a->time_base;

    Check(avio_open(&oc_->pb, output_.c_str(), AVIO_FLAG_WRITE), "open file");
    Check(avformat_write_header(oc_.get(), nullptr), "header");

    sws_.reset(sws_getContext(videoDec_->width, videoDec_->height, videoDec_->pix_fmt, v->width,
                              v->height, v->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
    scaled_.reset(av_frame_alloc());
    scaled_->format = v->pix_fmt;
    scaled_->width = v->width;
    scaled_->height = v->height;
    Check(av_frame_get_buffer(scaled_.get(), 0), "scaled picture");

    SwrContext* swr = nullptr;
    Check(swr_alloc_set_opts2(&swr, &a->ch_layout, a->sample_fmt, a->sample_rate,
                              &audioDec_->ch_layout, audioDec_->sample_fmt,
                              audioDec_->sample_rate, 0, nullptr),
          "resampler");
    swr_.reset(swr);
    Check(swr_init(swr_.get()), "resampler init");
    fifo_.reset(av_audio_fifo_alloc(a->sample_fmt, a->ch_layout.nb_channels, 4096));
  }

  void Decode(AVCodecContext* dec, const AVPacket* packet, AVFrame* frame, bool video) {
    if (avcodec_send_packet(dec, packet) < 0 && packet) return;
    while (avcodec_receive_frame(dec, frame) >= 0) {
      if (video)
        Picture(frame);
      else
        Sound(frame);
      av_frame_unref(frame);
    }
  }

  void Picture(const AVFrame* frame) {
    Check(av_frame_make_writable(scaled_.get()), "writable");
    sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, scaled_->data,
              scaled_->linesize);
    scaled_->pts = videoPts_++;
    Encode(videoEnc_.get(), videoOut_, scaled_.get());
  }

  void Sound(const AVFrame* frame) {
    AVCodecContext* a = audioEnc_.get();
    const int room = swr_get_out_samples(swr_.get(), frame->nb_samples);
    FramePtr out(av_frame_alloc());
    out->format = a->sample_fmt;
    out->nb_samples = room;
    av_channel_layout_copy(&out->ch_layout, &a->ch_layout);
    Check(av_frame_get_buffer(out.get(), 0), "audio buffer");
    const int got = swr_convert(swr_.get(), out->data, room,
                                const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    Check(got, "resample");
    av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out->data), got);
    FlushAudio(false);
  }

  void FlushAudio(bool last) {
    AVCodecContext* a = audioEnc_.get();
    const int frameSize = a->frame_size > 0 ? a->frame_size : 1024;
    while (av_audio_fifo_size(fifo_.get()) >= frameSize ||
           (last && av_audio_fifo_size(fifo_.get()) > 0)) {
      FramePtr f(av_frame_alloc());
      f->format = a->sample_fmt;
      f->nb_samples = frameSize;
      av_channel_layout_copy(&f->ch_layout, &a->ch_layout);
      Check(av_frame_get_buffer(f.get(), 0), "audio frame");
      const int n = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->data), frameSize);
      if (n < frameSize)
        av_samples_set_silence(f->data, n, frameSize - n, a->ch_layout.nb_channels, a->sample_fmt);
      f->pts = audioPts_;
      audioPts_ += frameSize;
      Encode(a, audioOut_, f.get());
    }
  }

  void Encode(AVCodecContext* enc, AVStream* st, const AVFrame* frame) {
    if (avcodec_send_frame(enc, frame) < 0) return;
    PacketPtr packet(av_packet_alloc());
    while (avcodec_receive_packet(enc, packet.get()) >= 0) {
      av_packet_rescale_ts(packet.get(), enc->time_base, st->time_base);
      packet->stream_index = st->index;
      Check(av_interleaved_write_frame(oc_.get(), packet.get()), "write");
    }
  }

  const TScenario& s_;
  std::string input_, output_;
  InputFormatContextPtr ic_;
  OutputFormatContextPtr oc_;
  int videoIn_ = -1, audioIn_ = -1;
  CodecContextPtr videoDec_, audioDec_, videoEnc_, audioEnc_;
  AVStream* videoOut_ = nullptr;
  AVStream* audioOut_ = nullptr;
  SwsContextPtr sws_;
  FramePtr scaled_;
  SwrContextPtr swr_;
  AudioFifoPtr fifo_;
  int64_t videoPts_ = 0, audioPts_ = 0;
};

struct TMeasure {
  double Seconds = 0;
  double PeakMiB = 0;
};

// Runs the work in a child process; its wall time and peak resident memory.
TMeasure InChild(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    work();
    std::_Exit(0);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    Die("a run failed");
  TMeasure m;
  m.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.PeakMiB = double(usage.ru_maxrss) / 1024.0;
  return m;
}

}  // namespace

int main(int argc, char* argv[]) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  FFLoader().LoadLibraries(ConverterLibraries);
  Logger().SetLogLevel(llQuiet);
  av_log_set_level(AV_LOG_QUIET);

  testing::TestMediaSpec recipe;
  recipe.container = "matroska";
  recipe.videoEncoder = "mpeg4";
  recipe.width = 1280;
  recipe.height = 720;
  recipe.audioEncoder = "aac";
  recipe.seconds = seconds;
  std::printf("input: %.0f s 1280x720 25 fps mpeg4 + aac 44.1 kHz stereo (matroska)\n", seconds);
  const std::string dir = testing::TestMediaDir();
  const std::string input = testing::WriteTestMedia(dir + "/bench-input.mkv", recipe);

  std::printf("%-30s %10s %10s %7s %11s %11s %7s\n", "scenario", "engine s", "bare s", "ratio",
              "engine MiB", "bare MiB", "ratio");
  for (const TScenario& s : kScenarios) {
    const std::string engineOut = dir + "/bench-engine." + s.Extension;
    const std::string bareOut = dir + "/bench-bare." + s.Extension;
    // Alternate the two and keep each one's best of three, against noise of the machine.
    TMeasure engine{1e9, 1e9}, bare{1e9, 1e9};
    for (int round = 0; round < 3; ++round) {
      const TMeasure e = InChild([&] { RunEngine(s, input, engineOut); });
      const TMeasure b = InChild([&] { TBareLoop(s, input, bareOut).Run(); });
      engine.Seconds = std::min(engine.Seconds, e.Seconds);
      engine.PeakMiB = std::min(engine.PeakMiB, e.PeakMiB);
      bare.Seconds = std::min(bare.Seconds, b.Seconds);
      bare.PeakMiB = std::min(bare.PeakMiB, b.PeakMiB);
    }
    std::printf("%-30s %10.2f %10.2f %7.3f %11.1f %11.1f %7.3f\n", s.Name, engine.Seconds,
                bare.Seconds, engine.Seconds / bare.Seconds, engine.PeakMiB, bare.PeakMiB,
                engine.PeakMiB / bare.PeakMiB);
    std::fflush(stdout);
  }

  // Codec threads: the same H.264 conversion with one codec thread and with the libraries'
  // automatic choice (the task component's default).
  const TScenario& h264 = kScenarios[1];
  const std::string out = dir + "/bench-threads." + h264.Extension;
  double one = 1e9, automatic = 1e9;
  for (int round = 0; round < 3; ++round) {
    one = std::min(one, InChild([&] { RunEngine(h264, input, out, 1); }).Seconds);
    automatic = std::min(automatic, InChild([&] { RunEngine(h264, input, out, 0); }).Seconds);
  }
  std::printf("\n%s, engine: threads 1 %.2f s, threads 0 (automatic) %.2f s, speed-up %.2f\n",
              h264.Name, one, automatic, one / automatic);
  return 0;
}
