// Engine state, its reset, and the pass-through of option names into the libraries' default
// option contexts.
#include "engine/FFmpeg.h"
#include "engine/ConvertThread.h"
#include "engine/transcode_state.h"
#include "binding/file_helpers.h"

#include <algorithm>
#include <cctype>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "binding/FFmpegLogger.h"

namespace orvo {

namespace {

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() { ResetOptions(); }

TCustomFFmpeg::~TCustomFFmpeg() {
  if (worker_) {
    StopConvert(true);
    worker_.reset();
  }
  if (terminateThread_.joinable()) terminateThread_.join();
  run_.reset();
  CloseFiles();
}

void TCustomFFmpeg::ResetOptions() {
  opt_ = TEngineOptions{};
  progressTotal_ = -1;
  recordedNames_.clear();
  privateOptions_.clear();
  FrameHookRelease(frameHooks_);
  ResetDefaultContexts();
}

void TCustomFFmpeg::ResetDefaultContexts() {
  for (size_t kind = 0; kind < codecDefaults_.size(); ++kind) {
    CodecContextPtr ctx(avcodec_alloc_context3(nullptr));
    if (!ctx) throw FFmpegException("avcodec_alloc_context failed");
    ctx->codec_type = static_cast<AVMediaType>(kind);
    codecDefaults_[kind] = std::move(ctx);
  }
  formatDefaults_.reset(avformat_alloc_context());
  if (!formatDefaults_) throw FFmpegException("avformat_alloc_context failed");
  scalerDefaults_.reset(sws_getContext(16, 16, static_cast<AVPixelFormat>(0), 16, 16,
                                       static_cast<AVPixelFormat>(0), opt_.SwsFlags, nullptr,
                                       nullptr, nullptr));
  if (!scalerDefaults_) throw FFmpegException("sws_getContext failed");
}

AVCodecContext* TCustomFFmpeg::DefaultCodecContext(int kind) const {
  if (kind < 0 || kind >= static_cast<int>(codecDefaults_.size())) return nullptr;
  return codecDefaults_[kind].get();
}

// Looks the name up in the private classes of the registered encoders. An encoder whose class
// knows it gets a throw-away context to check the value; the first one that takes the value
// decides the option's kind.
bool TCustomFFmpeg::SetPrivateEncoderOption(const std::string& name, const std::string& value,
                                            bool& found) {
  void* iter = nullptr;
  while (const AVCodec* codec = av_codec_iterate(&iter)) {
    if (!av_codec_is_encoder(codec) || !codec->priv_class) continue;
    const AVClass* cls = codec->priv_class;
    const AVOption* o = av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    if (!o || o->type == AV_OPT_TYPE_CONST) continue;
    found = true;
    CodecContextPtr probe(avcodec_alloc_context3(codec));
    if (!probe || !probe->priv_data) continue;
    if (av_opt_set(probe->priv_data, name.c_str(), value.c_str(), 0) >= 0) {
      privateOptions_.push_back({name, value, codec->type});
      return true;
    }
  }
  return false;
}

// The same for the private classes of the muxers (e.g. the MPEG program stream's "muxrate").
bool TCustomFFmpeg::SetPrivateMuxerOption(const std::string& name, const std::string& value,
                                          bool& found) {
  void* iter = nullptr;
  while (const AVOutputFormat* format = av_muxer_iterate(&iter)) {
    if (!format->priv_class) continue;
    const AVClass* cls = format->priv_class;
    const AVOption* o = av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    if (!o || o->type == AV_OPT_TYPE_CONST) continue;
    found = true;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, format, nullptr, nullptr) < 0 || !raw) continue;
    OutputFormatContextPtr probe(raw);
    if (av_opt_set(probe->priv_data, name.c_str(), value.c_str(), 0) >= 0) {
      privateOptions_.push_back({name, value, AVMEDIA_TYPE_UNKNOWN, true});
      return true;
    }
  }
  return false;
}

bool TCustomFFmpeg::SetDefaultOption(const std::string& rawName, const std::string& rawValue) {
  const std::string name = TrimText(rawName);
  const std::string value = TrimText(rawValue);
  if (name.empty() || value.empty()) return false;

  const AVOption* found = nullptr;
  int ret = 0;

  // 1. Every media kind whose flag the option carries, looked up in the video context.
  for (size_t kind = 0; kind < codecDefaults_.size(); ++kind) {
    const int flag = kDefaultContextFlags[kind];
    const AVOption* o = av_opt_find(codecDefaults_[0].get(), name.c_str(), nullptr, flag, 0);
    if (!o) continue;
    found = o;
    ret = av_opt_set(codecDefaults_[kind].get(), name.c_str(), value.c_str(), 0);
    if (ret < 0) break;
  }
  // 2. The format context, then the scaler.
  if (!found) {
    if (const AVOption* o = av_opt_find(formatDefaults_.get(), name.c_str(), nullptr, 0, 0)) {
      found = o;
      ret = av_opt_set(formatDefaults_.get(), name.c_str(), value.c_str(), 0);
    }
  }
  if (!found) {
    if (const AVOption* o = av_opt_find(scalerDefaults_.get(), name.c_str(), nullptr, 0, 0)) {
      found = o;
      ret = av_opt_set(scalerDefaults_.get(), name.c_str(), value.c_str(), 0);
    }
  }
  // 3. "a", "v", "s" prefixed names of a codec option of that kind.
  if (!found && name.size() > 1) {
    AVCodecContext* ctx = nullptr;
    if (name[0] == 'a') ctx = codecDefaults_[AVMEDIA_TYPE_AUDIO].get();
    if (name[0] == 'v') ctx = codecDefaults_[AVMEDIA_TYPE_VIDEO].get();
    if (name[0] == 's') ctx = codecDefaults_[AVMEDIA_TYPE_SUBTITLE].get();
    const std::string rest = name.substr(1);
    if (ctx) {
      if (const AVOption* o = av_opt_find(ctx, rest.c_str(), nullptr, 0, 0)) {
        found = o;
        ret = av_opt_set(ctx, rest.c_str(), value.c_str(), 0);
      }
    }
  }
  // Options of an encoder's own class count as known too.
  std::string recorded;
  if (found) {
    recorded = found->name;
  } else {
    bool known = false;
    if (SetPrivateEncoderOption(name, value, known)) return true;
    if (SetPrivateMuxerOption(name, value, known)) return true;
    if (!known) return false;  // nobody knows it: ignored without a message
    ret = -1;
    recorded = name;
  }
  if (ret < 0) {
    av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(),
           name.c_str());
    return false;
  }
  recordedNames_.push_back(recorded);
  if (codecDefaults_[AVMEDIA_TYPE_VIDEO]->debug != 0 || formatDefaults_->debug != 0)
    Logger().SetLogLevel(llDebug);
  return true;
}

}  // namespace orvo
