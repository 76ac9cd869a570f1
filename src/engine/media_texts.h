#pragma once
// Texts for library error codes, media kinds, durations and codecs, a metadata lookup, and the
// converter between decoded pictures and 24-bit bitmaps. Everything here is reentrant except a
// TBitmapConverter, which belongs to one user at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "binding/av_handles.h"
#include "platform/bitmap.h"

namespace orvo {

// The text of a library error code: "End of file", "No such file or directory", ...;
// "Error number %d occurred" for codes without a text of their own.
std::string LibraryErrorText(int code);
// name + ": " + LibraryErrorText(code).
std::string ErrorText(const std::string& name, int code);

// 0 "Video", 1 "Audio", 2 "Data", 3 "Subtitle", 4 "Attachment", otherwise "Unknown".
std::string MediaKindName(int kind);

// Microseconds as "hh:mm:ss.zzz" (hours not wrapped); "N/A" for AV_NOPTS_VALUE.
std::string DurationText(int64_t us);

// A codec's description: the encoder's or decoder's name, with "(long name)" when it has one;
// without such a codec "mpeg2ts" for the transport stream pseudo codec, else the codec's
// registered name, else the tag as four characters and hex ("FMP4 / 0x34504D46") or hex only.
std::string CodecText(AVCodecID id, uint32_t codecTag, bool encoder);
std::string CodecText(const AVCodecParameters* par, bool encoder);
std::string CodecText(const AVCodecContext* ctx, bool encoder);

// The value of the entry whose key equals `key` exactly (case included); `defaultText` when none.
std::string MetadataValue(const AVDictionary* metadata, const std::string& key,
                          const std::string& defaultText = std::string());

// A bitmap of that size, black.
std::unique_ptr<TBitmap> NewBitmap(int width, int height);

// Reads a whole file. Status 0; -1 when the file cannot be opened or read; -12 when the memory
// for it cannot be had. Data holds the bytes (std::string keeps a terminating zero after them).
struct TWholeFile {
  int Status = -1;
  std::string Data;
};
TWholeFile ReadWholeFile(const std::string& fileName);

// Turns decoded pictures into 24-bit bitmaps and, for frame hooks that draw on the bitmap, back.
// Scalers are cached between calls; a picture already in the bitmap's layout is copied without
// scaling.
class TBitmapConverter {
 public:
  TBitmapConverter() = default;
  TBitmapConverter(const TBitmapConverter&) = delete;
  TBitmapConverter& operator=(const TBitmapConverter&) = delete;

  // The pixel format of the bitmap's rows.
  static constexpr AVPixelFormat kTargetFormat = AV_PIX_FMT_BGR24;

  // Fills Bitmap() from the picture (plane pointers and line sizes as in AVFrame). False when the
  // picture is empty or cannot be converted.
  bool PictureToBitmap(const uint8_t* const data[], const int linesize[], AVPixelFormat format,
                       int height, int width);
  bool PictureToBitmap(const AVFrame* frame);

  // Writes the bitmap back into the picture last passed to PictureToBitmap (the caller hands the
  // same picture again): straight into it when it was used directly, otherwise through the
  // buffer and the "fromRGB" scaler. False when there is nothing to write back or the picture
  // does not match the last conversion.
  bool BitmapToPicture(uint8_t* const data[], const int linesize[], AVPixelFormat format,
                       int height, int width);
  bool BitmapToPicture(AVFrame* frame);

  // The bitmap of the last conversion; null before the first one.
  TBitmap* Bitmap() const { return bitmap_.get(); }
  // Whether the last conversion used the caller's picture without scaling.
  bool UsedPictureDirectly() const { return usedDirectly_; }

  // Frees the bitmap, the buffer and both scalers.
  void Reset();

 private:
  bool EnsureBuffer(int width, int height);

  std::unique_ptr<TBitmap> bitmap_;
  AvBufferPtr buffer_;
  size_t bufferSize_ = 0;
  uint8_t* bufferData_[4] = {};
  int bufferLinesize_[4] = {};
  // The picture last converted: its format and size, and whether it was used directly.
  bool converted_ = false;
  bool usedDirectly_ = false;
  AVPixelFormat lastFormat_ = AV_PIX_FMT_NONE;
  int lastWidth_ = 0;
  int lastHeight_ = 0;
  SwsContextPtr toRGB_;
  SwsContextPtr fromRGB_;
};

}  // namespace orvo
