#include "engine/media_texts.h"
#include "binding/file_helpers.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace orvo {

namespace {

struct ErrorRow {
  int code;
  const char* text;
};

// The codes of earlier library generations keep their texts; the current libraries' codes for
// the same conditions map to the same texts.
const ErrorRow kErrorTexts[] = {
    {-1163346256, "Not yet implemented in FFmpeg"},
    {-10043, "Unsupported network protocol"},
    {-42, "Unknown format"},
    {-33, "Number syntax expected in filename"},
    {-32, "End of file"},
    {-22, "Invalid data found when processing input"},
    {-12, "Not enough memory"},
    {-5, "I/O error"},
    {-2, "No such file or directory"},
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
    {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
    {AVERROR(EILSEQ), "Unknown format"},
    {AVERROR(EDOM), "Number syntax expected in filename"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    {AVERROR(EINVAL), "Invalid data found when processing input"},
    {AVERROR(ENOMEM), "Not enough memory"},
    {AVERROR(EIO), "I/O error"},
    {AVERROR(ENOENT), "No such file or directory"},
    // Conditions of writing that a user must be able to read.
    {AVERROR(EACCES), "Permission denied"},
    {AVERROR(ENOSPC), "No space left on device"},
    {AVERROR(EFBIG), "File too large"},
    {AVERROR(EROFS), "Read-only file system"},
    {AVERROR(ENOTDIR), "Not a directory"},
    {AVERROR(EISDIR), "Is a directory"},
};

}  // namespace

std::string LibraryErrorText(int code) {
  for (const ErrorRow& row : kErrorTexts) {
    if (row.code == code) return row.text;
  }
  char text[64];
  std::snprintf(text, sizeof text, "Error number %d occurred", code);
  return text;
}

std::string ErrorText(const std::string& name, int code) {
  return name + ": " + LibraryErrorText(code);
}

std::string MediaKindName(int kind) {
  switch (kind) {
    case 0: return "Video";
    case 1: return "Audio";
    case 2: return "Data";
    case 3: return "Subtitle";
    case 4: return "Attachment";
    default: return "Unknown";
  }
}

std::string DurationText(int64_t us) {
  if (us == AV_NOPTS_VALUE) return "N/A";
  const int64_t hours = us / 1000000 / 60 / 60;
  const int64_t minutes = us / 1000000 / 60 % 60;
  const int64_t seconds = us / 1000000 % 60;
  const int64_t millis = us % 1000000 * 1000 / 1000000;
  char text[96];
  std::snprintf(text, sizeof text, "%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, hours,
                minutes, seconds, millis);
  return text;
}

std::string CodecText(AVCodecID id, uint32_t codecTag, bool encoder) {
  const AVCodec* codec = encoder ? avcodec_find_encoder(id) : avcodec_find_decoder(id);
  if (codec) {
    std::string text = codec->name ? codec->name : "";
    const std::string longName = TrimText(codec->long_name ? codec->long_name : "");
    if (!longName.empty()) text += "(" + longName + ")";
    return text;
  }
  if (id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
  // The libraries know many codecs by name that this build cannot decode or encode.
  if (const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id)) {
    const std::string name = TrimText(std::string(descriptor->name ? descriptor->name : "").substr(0, 32));
    if (!name.empty()) return name;
  }
  char text[64];
  const unsigned char bytes[4] = {static_cast<unsigned char>(codecTag & 0xFF),
                                  static_cast<unsigned char>((codecTag >> 8) & 0xFF),
                                  static_cast<unsigned char>((codecTag >> 16) & 0xFF),
                                  static_cast<unsigned char>((codecTag >> 24) & 0xFF)};
  bool printable = true;
  for (unsigned char b : bytes) printable = printable && b >= 32 && b <= 126;
  if (printable) {
    std::snprintf(text, sizeof text, "%c%c%c%c / 0x%04X", bytes[0], bytes[1], bytes[2], bytes[3],
                  codecTag);
  } else {
    std::snprintf(text, sizeof text, "0x%04x", codecTag);
  }
  return text;
}

std::string CodecText(const AVCodecParameters* par, bool encoder) {
  return CodecText(par->codec_id, par->codec_tag, encoder);
}

std::string CodecText(const AVCodecContext* ctx, bool encoder) {
  return CodecText(ctx->codec_id, ctx->codec_tag, encoder);
}

std::string MetadataValue(const AVDictionary* metadata, const std::string& key,
                          const std::string& defaultText) {
  const AVDictionaryEntry* entry = av_dict_get(metadata, key.c_str(), nullptr, AV_DICT_MATCH_CASE);
  return entry ? std::string(entry->value) : defaultText;
}

std::unique_ptr<TBitmap> NewBitmap(int width, int height) {
  return std::make_unique<TBitmap>(width, height);
}

TWholeFile ReadWholeFile(const std::string& fileName) {
  TWholeFile result;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(fileName.c_str(), "rb"), &std::fclose);
  if (!file) return result;
  try {
    char chunk[65536];
    size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
      result.Data.append(chunk, count);
    }
  } catch (const std::bad_alloc&) {
    result.Data = std::string();
    result.Status = -12;
    return result;
  } catch (const std::length_error&) {
    result.Data = std::string();
    result.Status = -12;
    return result;
  }
  if (std::ferror(file.get())) {
    result.Data = std::string();
    return result;
  }
  result.Status = 0;
  return result;
}

// ---------------------------------------------------------------------------------------------

void TBitmapConverter::Reset() {
  bitmap_.reset();
  buffer_.reset();
  bufferSize_ = 0;
  std::memset(bufferData_, 0, sizeof bufferData_);
  std::memset(bufferLinesize_, 0, sizeof bufferLinesize_);
  converted_ = false;
  usedDirectly_ = false;
  lastFormat_ = AV_PIX_FMT_NONE;
  lastWidth_ = lastHeight_ = 0;
  toRGB_.reset();
  fromRGB_.reset();
}

bool TBitmapConverter::EnsureBuffer(int width, int height) {
  const int size = av_image_get_buffer_size(kTargetFormat, width, height, 1);
  if (size <= 0) return false;
  if (static_cast<size_t>(size) > bufferSize_) {
    buffer_.reset(static_cast<uint8_t*>(av_malloc(size)));
    bufferSize_ = buffer_ ? static_cast<size_t>(size) : 0;
    if (!buffer_) return false;
  }
  return av_image_fill_arrays(bufferData_, bufferLinesize_, buffer_.get(), kTargetFormat, width,
                              height, 1) >= 0;
}

bool TBitmapConverter::PictureToBitmap(const uint8_t* const data[], const int linesize[],
                                       AVPixelFormat format, int height, int width) {
  converted_ = false;
  usedDirectly_ = false;
  if (width <= 0 || height <= 0 || !data || !data[0] || format == AV_PIX_FMT_NONE) return false;

  if (!bitmap_) bitmap_ = NewBitmap(width, height);
  if (bitmap_->Width() != width || bitmap_->Height() != height) bitmap_->SetSize(width, height);

  const uint8_t* rows;
  int rowStride;
  if (format == kTargetFormat && width % 2 == 0 && height % 2 == 0 &&
      linesize[0] == TBitmap::BytesPerLineFor(width)) {
    rows = data[0];
    rowStride = linesize[0];
    usedDirectly_ = true;
  } else {
    if (!EnsureBuffer(width, height)) return false;
    toRGB_.reset(sws_getCachedContext(toRGB_.release(), width, height, format, width, height,
                                      kTargetFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!toRGB_) return false;
    if (sws_scale(toRGB_.get(), data, linesize, 0, height, bufferData_, bufferLinesize_) <= 0) {
      return false;
    }
    rows = bufferData_[0];
    rowStride = bufferLinesize_[0];
  }

  // A buffer row may be shorter than the bitmap's padded row; copy the pixels only.
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    std::memcpy(bitmap_->ScanLine(y), rows + static_cast<ptrdiff_t>(y) * rowStride, rowBytes);
  }
  converted_ = true;
  lastFormat_ = format;
  lastWidth_ = width;
  lastHeight_ = height;
  return true;
}

bool TBitmapConverter::PictureToBitmap(const AVFrame* frame) {
  if (!frame) return false;
  return PictureToBitmap(frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format),
                         frame->height, frame->width);
}

bool TBitmapConverter::BitmapToPicture(uint8_t* const data[], const int linesize[],
                                       AVPixelFormat format, int height, int width) {
  if (!converted_ || !bitmap_ || !data || !data[0] || format != lastFormat_ ||
      width != lastWidth_ || height != lastHeight_ || bitmap_->Width() != width ||
      bitmap_->Height() != height) {
    return false;
  }
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  if (usedDirectly_) {
    for (int y = 0; y < height; ++y) {
      std::memcpy(data[0] + static_cast<ptrdiff_t>(y) * linesize[0], bitmap_->ScanLine(y), rowBytes);
    }
    return true;
  }
  for (int y = 0; y < height; ++y) {
    std::memcpy(bufferData_[0] + static_cast<ptrdiff_t>(y) * bufferLinesize_[0],
                bitmap_->ScanLine(y), rowBytes);
  }
  fromRGB_.reset(sws_getCachedContext(fromRGB_.release(), width, height, kTargetFormat, width,
                                      height, format, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!fromRGB_) return false;
  return sws_scale(fromRGB_.get(), bufferData_, bufferLinesize_, 0, height, data, linesize) > 0;
}

bool TBitmapConverter::BitmapToPicture(AVFrame* frame) {
  if (!frame) return false;
  return BitmapToPicture(frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format),
                         frame->height, frame->width);
}

}  // namespace orvo
