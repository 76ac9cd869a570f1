#include "support/test_media.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "binding/av_handles.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

namespace orvo::testing {
namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("test media: " + what); }

std::string ErrorText(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return text;
}

void Check(int err, const std::string& what) {
  if (err < 0) Fail(what + ": " + ErrorText(err));
}

void RegisterDevices() {
  static std::once_flag once;
  std::call_once(once, [] { avdevice_register_all(); });
}

// One decoded lavfi source: a graph opened through the lavfi input and its stream's decoder.
class LavfiSource {
 public:
  LavfiSource(const std::string& graph, AVMediaType type) : graph_(graph) {
    const AVInputFormat* lavfi = av_find_input_format("lavfi");
    if (!lavfi) Fail("the lavfi input is not available");
    AVFormatContext* raw = nullptr;
    Check(avformat_open_input(&raw, graph.c_str(), lavfi, nullptr), "cannot open lavfi graph '" + graph + "'");
    input_.reset(raw);
    const AVCodec* decoder = nullptr;
    stream_ = av_find_best_stream(raw, type, -1, -1, &decoder, 0);
    Check(stream_, "no stream in lavfi graph '" + graph + "'");
    decoder_.reset(avcodec_alloc_context3(decoder));
    if (!decoder_) Fail("cannot allocate a decoder for '" + graph + "'");
    const AVStream* st = raw->streams[stream_];
    Check(avcodec_parameters_to_context(decoder_.get(), st->codecpar), "cannot set up the decoder of '" + graph + "'");
    decoder_->pkt_timebase = st->time_base;
    Check(avcodec_open2(decoder_.get(), decoder, nullptr), "cannot open the decoder of '" + graph + "'");
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) Fail("out of memory");
  }

  // The next decoded frame (valid until the next call), or nullptr after the last one.
  AVFrame* Next() {
    for (;;) {
      av_frame_unref(frame_.get());
      int ret = avcodec_receive_frame(decoder_.get(), frame_.get());
      if (ret == 0) return frame_.get();
      if (ret == AVERROR_EOF) return nullptr;
      if (ret != AVERROR(EAGAIN)) Check(ret, "cannot decode '" + graph_ + "'");
      if (drained_) Fail("the decoder of '" + graph_ + "' stalled while draining");
      ret = av_read_frame(input_.get(), packet_.get());
      if (ret == AVERROR_EOF) {
        drained_ = true;
        Check(avcodec_send_packet(decoder_.get(), nullptr), "cannot drain the decoder of '" + graph_ + "'");
        continue;
      }
      Check(ret, "cannot read '" + graph_ + "'");
      if (packet_->stream_index == stream_) ret = avcodec_send_packet(decoder_.get(), packet_.get());
      av_packet_unref(packet_.get());
      Check(ret, "cannot decode '" + graph_ + "'");
    }
  }

 private:
  std::string graph_;
  InputFormatContextPtr input_;
  CodecContextPtr decoder_;
  PacketPtr packet_;
  FramePtr frame_;
  int stream_ = -1;
  bool drained_ = false;
};

// One output stream: a lavfi source, converted and encoded step by step into the muxer.
class Track {
 public:
  virtual ~Track() = default;
  // Decodes, converts and encodes the next source frame; the last step flushes the encoder.
  virtual void Step() = 0;
  bool Done() const { return done_; }
  void SetJump(double at, double seconds) {
    jumpAt_ = at;
    jumpSeconds_ = seconds;
  }
  // Where the encoder input stands, in seconds: the writer advances the track that lags most.
  double Position() const { return static_cast<double>(nextPts_) * av_q2d(encoder_->time_base); }

 protected:
  Track(AVFormatContext* out, const AVCodec* codec) : out_(out), codec_(codec) {
    encoder_.reset(avcodec_alloc_context3(codec));
    packet_.reset(av_packet_alloc());
    if (!encoder_ || !packet_) Fail("out of memory");
    if (out->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  // Opens the encoder (settings made) and adds its stream to the muxer.
  void OpenAndAddStream(const std::map<std::string, std::string>& metadata) {
    Check(avcodec_open2(encoder_.get(), codec_, nullptr), std::string("cannot open encoder '") + codec_->name + "'");
    stream_ = avformat_new_stream(out_, nullptr);
    if (!stream_) Fail("cannot add a stream");
    Check(avcodec_parameters_from_context(stream_->codecpar, encoder_.get()), "cannot copy the encoder parameters");
    stream_->time_base = encoder_->time_base;  // a hint; the muxer may choose its own at the header
    for (const auto& [key, value] : metadata)
      Check(av_dict_set(&stream_->metadata, key.c_str(), value.c_str(), 0), "cannot set stream tag '" + key + "'");
  }

  // Sends one frame (nullptr: end of stream) and writes every packet it gives.
  void Encode(AVFrame* frame) {
    const std::string name = codec_->name;
    Check(avcodec_send_frame(encoder_.get(), frame), "cannot encode with '" + name + "'");
    for (;;) {
      int ret = avcodec_receive_packet(encoder_.get(), packet_.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      Check(ret, "cannot encode with '" + name + "'");
      // Video packets last one frame; the encoder's time base is one frame.
      if (packet_->duration == 0 && encoder_->codec_type == AVMEDIA_TYPE_VIDEO) packet_->duration = 1;
      av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
      if (jumpSeconds_ != 0) Jump(packet_.get());
      packet_->stream_index = stream_->index;
      Check(av_interleaved_write_frame(out_, packet_.get()), "cannot write a '" + name + "' packet");
    }
  }

  // Moves a packet stamped at or after the jump point by the jump.
  void Jump(AVPacket* packet) const {
    const AVRational tb = stream_->time_base;
    const int64_t at = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (at == AV_NOPTS_VALUE || double(at) * av_q2d(tb) < jumpAt_) return;
    const int64_t shift = av_rescale_q(std::llround(jumpSeconds_ * 1000000.0), AVRational{1, 1000000}, tb);
    if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift;
  }

  AVFormatContext* out_;
  const AVCodec* codec_;
  double jumpAt_ = 0;
  double jumpSeconds_ = 0;
  CodecContextPtr encoder_;
  AVStream* stream_ = nullptr;
  PacketPtr packet_;
  int64_t nextPts_ = 0;
  bool done_ = false;
};

// Locale-independent, so a host program's numeric locale cannot break the graph text.
std::string SecondsText(double seconds) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 6);
  return std::string(text, result.ptr);
}

class VideoTrack final : public Track {
 public:
  VideoTrack(AVFormatContext* out, const AVCodec* codec, const TestMediaSpec& recipe) : Track(out, codec) {
    source_ = std::make_unique<LavfiSource>(
        !recipe.videoSource.empty()
            ? recipe.videoSource
            : "testsrc=size=" + std::to_string(recipe.width) + "x" + std::to_string(recipe.height) +
                  ":rate=" + std::to_string(recipe.frameRate.num) + "/" +
                  std::to_string(recipe.frameRate.den) + ":duration=" + SecondsText(recipe.seconds),
        AVMEDIA_TYPE_VIDEO);
    AVCodecContext* enc = encoder_.get();
    enc->width = recipe.width;
    enc->height = recipe.height;
    enc->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    enc->time_base = av_inv_q(recipe.frameRate);
    enc->framerate = recipe.frameRate;
    enc->gop_size = 12;
    enc->bit_rate = 400000;
    if (recipe.sampleAspect.num > 0 && recipe.sampleAspect.den > 0) enc->sample_aspect_ratio = recipe.sampleAspect;
    if (std::strcmp(codec->name, "libx264") == 0) av_opt_set(enc->priv_data, "preset", "ultrafast", 0);
    OpenAndAddStream(recipe.videoMetadata);
    stream_->avg_frame_rate = recipe.frameRate;
    stream_->sample_aspect_ratio = enc->sample_aspect_ratio;
  }

  void Step() override {
    const AVFrame* in = source_->Next();
    if (!in) {
      Encode(nullptr);
      done_ = true;
      return;
    }
    AVCodecContext* enc = encoder_.get();
    if (!scaler_) {
      scaler_.reset(sws_getContext(in->width, in->height, static_cast<AVPixelFormat>(in->format), enc->width,
                                   enc->height, enc->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr));
      if (!scaler_) Fail(std::string("cannot convert pictures to ") + av_get_pix_fmt_name(enc->pix_fmt));
    }
    // A fresh frame each time: the encoder may keep a reference to the previous one.
    FramePtr frame(av_frame_alloc());
    if (!frame) Fail("out of memory");
    frame->format = enc->pix_fmt;
    frame->width = enc->width;
    frame->height = enc->height;
    Check(av_frame_get_buffer(frame.get(), 0), "cannot allocate a picture");
    Check(sws_scale(scaler_.get(), in->data, in->linesize, 0, in->height, frame->data, frame->linesize),
          "cannot convert a picture");
    frame->pts = nextPts_++;
    frame->sample_aspect_ratio = enc->sample_aspect_ratio;
    Encode(frame.get());
  }

 private:
  std::unique_ptr<LavfiSource> source_;
  SwsContextPtr scaler_;
};

class AudioTrack final : public Track {
 public:
  AudioTrack(AVFormatContext* out, const AVCodec* codec, const TestMediaSpec& recipe) : Track(out, codec) {
    const std::string name = codec->name;
    source_ = std::make_unique<LavfiSource>(
        !recipe.audioSource.empty()
            ? recipe.audioSource
            : "sine=frequency=440:sample_rate=" + std::to_string(recipe.sampleRate) +
                  ":duration=" + SecondsText(recipe.seconds),
        AVMEDIA_TYPE_AUDIO);
    AVCodecContext* enc = encoder_.get();
    enc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    if (codec->supported_samplerates) {
      const int* rate = codec->supported_samplerates;
      while (*rate && *rate != recipe.sampleRate) ++rate;
      if (!*rate) Fail("encoder '" + name + "' does not take " + std::to_string(recipe.sampleRate) + " Hz");
    }
    enc->sample_rate = recipe.sampleRate;
    av_channel_layout_default(&enc->ch_layout, recipe.channels);
    if (codec->ch_layouts) {
      const AVChannelLayout* layout = codec->ch_layouts;
      while (layout->nb_channels && av_channel_layout_compare(layout, &enc->ch_layout) != 0) ++layout;
      if (!layout->nb_channels)
        Fail("encoder '" + name + "' does not take " + std::to_string(recipe.channels) + " channels");
    }
    enc->time_base = AVRational{1, recipe.sampleRate};
    enc->bit_rate = 128000;
    OpenAndAddStream(recipe.audioMetadata);

    // Encoders without a fixed frame size (PCM) take any count; feed them modest chunks.
    frameSize_ = enc->frame_size > 0 ? enc->frame_size : 1024;
    shortLastFrame_ = enc->frame_size <= 0 ||
                      (codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
    fifo_.reset(av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, frameSize_));
    if (!fifo_) Fail("out of memory");
  }

  void Step() override {
    const AVFrame* in = source_->Next();
    if (in) {
      Convert(in);
      Drain(false);
      return;
    }
    if (resampler_) Convert(nullptr);  // what the resampler still holds
    Drain(true);
    Encode(nullptr);
    done_ = true;
  }

 private:
  // Resamples a source frame (nullptr: flush) into the FIFO in the encoder's format.
  void Convert(const AVFrame* in) {
    AVCodecContext* enc = encoder_.get();
    if (!resampler_) {
      AVChannelLayout inLayout{};
      if (in->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&inLayout, in->ch_layout.nb_channels);
      else
        Check(av_channel_layout_copy(&inLayout, &in->ch_layout), "cannot copy a channel layout");
      SwrContext* raw = nullptr;
      int ret = swr_alloc_set_opts2(&raw, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, &inLayout,
                                    static_cast<AVSampleFormat>(in->format), in->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&inLayout);
      resampler_.reset(raw);
      Check(ret, "cannot set up the resampler");
      Check(swr_init(resampler_.get()), "cannot set up the resampler");
    }
    const int inCount = in ? in->nb_samples : 0;
    const int capacity = swr_get_out_samples(resampler_.get(), inCount);
    Check(capacity, "cannot resample");
    if (capacity == 0) return;
    FramePtr buffer = AllocFrame(capacity);
    const int got = swr_convert(resampler_.get(), buffer->extended_data, capacity,
                                in ? const_cast<const uint8_t**>(in->extended_data) : nullptr, inCount);
    Check(got, "cannot resample");
    if (got > 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(buffer->extended_data), got) < got)
      Fail("cannot queue resampled sound");
  }

  // Encodes whole frames from the FIFO; at the end also the rest, short or padded with silence.
  void Drain(bool final) {
    for (;;) {
      const int queued = av_audio_fifo_size(fifo_.get());
      if (queued == 0 || (queued < frameSize_ && !final)) return;
      const int count = std::min(queued, frameSize_);
      FramePtr frame = AllocFrame(shortLastFrame_ ? count : frameSize_);
      if (count < frame->nb_samples)
        av_samples_set_silence(frame->extended_data, count, frame->nb_samples - count,
                               encoder_->ch_layout.nb_channels, encoder_->sample_fmt);
      if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->extended_data), count) < count)
        Fail("cannot read queued sound");
      frame->pts = nextPts_;
      nextPts_ += frame->nb_samples;
      Encode(frame.get());
    }
  }

  FramePtr AllocFrame(int samples) {
    FramePtr frame(av_frame_alloc());
    if (!frame) Fail("out of memory");
    frame->format = encoder_->sample_fmt;
    frame->sample_rate = encoder_->sample_rate;
    frame->nb_samples = samples;
    Check(av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout), "cannot copy a channel layout");
    Check(av_frame_get_buffer(frame.get(), 0), "cannot allocate sound buffers");
    return frame;
  }

  std::unique_ptr<LavfiSource> source_;
  SwrContextPtr resampler_;
  AudioFifoPtr fifo_;
  int frameSize_ = 0;
  bool shortLastFrame_ = false;
};

const AVCodec* FindEncoder(const std::string& name, AVMediaType type) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
  if (!codec) Fail("unknown encoder '" + name + "'");
  if (codec->type != type)
    Fail("encoder '" + name + "' is not a" + (type == AVMEDIA_TYPE_VIDEO ? " video" : "n audio") + " encoder");
  return codec;
}

void Validate(const TestMediaSpec& recipe) {
  if (recipe.videoEncoder.empty() && recipe.audioEncoder.empty()) Fail("neither a video nor an audio encoder given");
  if (!(recipe.seconds > 0)) Fail("the duration must be positive");
  if (!recipe.videoEncoder.empty()) {
    if (recipe.width <= 0 || recipe.height <= 0) Fail("the picture size must be positive");
    if (recipe.frameRate.num <= 0 || recipe.frameRate.den <= 0) Fail("the frame rate must be positive");
  }
  if (!recipe.audioEncoder.empty() && (recipe.sampleRate <= 0 || recipe.channels <= 0))
    Fail("the sample rate and the channel count must be positive");
}

}  // namespace

std::string WriteTestMedia(const std::string& path, const TestMediaSpec& recipe) {
  Validate(recipe);
  RegisterDevices();
  const AVCodec* videoCodec = recipe.videoEncoder.empty() ? nullptr : FindEncoder(recipe.videoEncoder, AVMEDIA_TYPE_VIDEO);
  const AVCodec* audioCodec = recipe.audioEncoder.empty() ? nullptr : FindEncoder(recipe.audioEncoder, AVMEDIA_TYPE_AUDIO);

  AVFormatContext* raw = nullptr;
  Check(avformat_alloc_output_context2(&raw, nullptr, recipe.container.empty() ? nullptr : recipe.container.c_str(),
                                       path.c_str()),
        "unknown container '" + recipe.container + "'");
  OutputFormatContextPtr out(raw);

  bool created = false;
  try {
    std::vector<std::unique_ptr<Track>> tracks;
    const int pairs = recipe.secondPair ? 2 : 1;
    for (int pair = 0; pair < pairs; ++pair) {
      if (videoCodec) tracks.push_back(std::make_unique<VideoTrack>(out.get(), videoCodec, recipe));
      if (audioCodec) tracks.push_back(std::make_unique<AudioTrack>(out.get(), audioCodec, recipe));
    }
    if (recipe.jumpSeconds != 0)
      for (const auto& track : tracks) track->SetJump(recipe.jumpAt, recipe.jumpSeconds);

    for (const auto& [key, value] : recipe.metadata)
      Check(av_dict_set(&out->metadata, key.c_str(), value.c_str(), 0), "cannot set tag '" + key + "'");
    for (const TestProgram& program : recipe.programs) {
      AVProgram* made = av_new_program(out.get(), program.id);
      if (!made) Fail("cannot add program " + std::to_string(program.id));
      for (const auto& [key, value] : program.metadata)
        Check(av_dict_set(&made->metadata, key.c_str(), value.c_str(), 0), "cannot set program tag '" + key + "'");
      for (int index : program.streams) {
        if (index < 0 || index >= static_cast<int>(out->nb_streams))
          Fail("program " + std::to_string(program.id) + " names missing stream " + std::to_string(index));
        av_program_add_stream_index(out.get(), program.id, static_cast<unsigned>(index));
      }
    }

    if (!(out->oformat->flags & AVFMT_NOFILE)) {
      Check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot create '" + path + "'");
      created = true;
    }
    Check(avformat_write_header(out.get(), nullptr), "cannot write the header of '" + path + "'");

    // Interleave by advancing whichever stream lags behind.
    for (;;) {
      Track* next = nullptr;
      for (const auto& track : tracks)
        if (!track->Done() && (!next || track->Position() < next->Position())) next = track.get();
      if (!next) break;
      next->Step();
    }
    Check(av_write_trailer(out.get()), "cannot finish '" + path + "'");
    if (out->pb) Check(avio_closep(&out->pb), "cannot close '" + path + "'");
  } catch (...) {
    out.reset();
    if (created) std::remove(path.c_str());  // no half-written file for the next test to trip on
    throw;
  }
  return path;
}

namespace {

struct TemporaryFolder {
  TemporaryFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvo-test-media-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
      throw std::runtime_error("test media: cannot create a folder like '" + pattern + "': " + std::strerror(errno));
    path = buffer.data();
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

}  // namespace

const std::string& TestMediaDir() {
  static const TemporaryFolder folder;  // destroyed, and so removed, at process exit
  return folder.path;
}

std::string MediaPath(const std::string& name) { return TestMediaDir() + "/" + name; }

TestMediaSpec AviClip(int width, int height, double seconds) {
  TestMediaSpec recipe;
  recipe.container = "avi";
  recipe.videoEncoder = "mpeg4";
  recipe.audioEncoder = "mp2";
  recipe.width = width;
  recipe.height = height;
  recipe.seconds = seconds;
  return recipe;
}

const std::string& MediaOnce(const std::string& name, const TestMediaSpec& recipe) {
  static std::map<std::string, std::string> made;  // name -> path; the tests run on one thread
  std::string& path = made[name];
  if (path.empty()) path = WriteTestMedia(MediaPath(name), recipe);
  return path;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) throw std::runtime_error("test media: cannot write '" + path + "'");
  return path;
}

std::string WriteRandomBytes(const std::string& path, size_t count, unsigned seed) {
  // mt19937's output is fixed by the standard, unlike the distributions: same seed, same bytes.
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return WriteBytes(path, bytes);
}

std::string WriteTruncatedCopy(const std::string& source, const std::string& path, size_t keepBytes) {
  std::ifstream in(source, std::ios::binary);
  if (!in) throw std::runtime_error("test media: cannot read '" + source + "'");
  std::string bytes(keepBytes, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(keepBytes));
  if (in.bad()) throw std::runtime_error("test media: cannot read '" + source + "'");
  bytes.resize(static_cast<size_t>(in.gcount()));
  return WriteBytes(path, bytes);
}

}  // namespace orvo::testing
