#include "support/read_pictures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "binding/av_handles.h"

namespace orvo::testing {

double TRgbPicture::Mean(int x, int y, int w, int h, int channel) const {
  double sum = 0;
  int count = 0;
  for (int row = y; row < y + h && row < Height; ++row)
    for (int col = x; col < x + w && col < Width; ++col, ++count) sum += At(col, row)[channel];
  return count ? sum / count : 0;
}

std::vector<TRgbPicture> ReadRgbPictures(const std::string& path) {
  std::vector<TRgbPicture> pictures;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return pictures;
  InputFormatContextPtr input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return pictures;
  const AVCodec* codec = nullptr;
  const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream < 0 || !codec) return pictures;
  CodecContextPtr decoder(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(decoder.get(), input->streams[stream]->codecpar);
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return pictures;
  const AVRational timeBase = input->streams[stream]->time_base;

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  SwsContextPtr scaler;
  auto drain = [&] {
    while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      TRgbPicture picture;
      picture.Width = frame->width;
      picture.Height = frame->height;
      const int64_t pts = frame->best_effort_timestamp;
      picture.Time = pts == AV_NOPTS_VALUE ? 0 : pts * av_q2d(timeBase);
      picture.Rgb.resize(size_t(frame->width) * frame->height * 3);
      scaler.reset(sws_getCachedContext(scaler.release(), frame->width, frame->height,
                                        AVPixelFormat(frame->format), frame->width,
                                        frame->height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr,
                                        nullptr, nullptr));
      uint8_t* planes[4] = {picture.Rgb.data(), nullptr, nullptr, nullptr};
      int strides[4] = {frame->width * 3, 0, 0, 0};
      sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
      pictures.push_back(std::move(picture));
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == stream && avcodec_send_packet(decoder.get(), packet.get()) >= 0)
      drain();
    av_packet_unref(packet.get());
  }
  avcodec_send_packet(decoder.get(), nullptr);
  drain();
  return pictures;
}

}  // namespace orvo::testing
