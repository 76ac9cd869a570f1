#include "engine/media_texts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include "support/test_media.h"

namespace orvo {
namespace {

TEST(MediaTexts, DurationText) {
  const struct {
    int64_t us;
    const char* text;
  } cases[] = {
      {3723004000LL, "01:02:03.004"},
      {360000000000LL, "100:00:00.000"},
      {AV_NOPTS_VALUE, "N/A"},
      {0, "00:00:00.000"},
      {59999999, "00:00:59.999"},
      {86400000000LL + 61001000, "24:01:01.001"},
  };
  for (const auto& c : cases) EXPECT_EQ(DurationText(c.us), c.text) << c.us;
}

TEST(MediaTexts, ErrorTexts) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {-1163346256, "Not yet implemented in FFmpeg"},
      {-10043, "Unsupported network protocol"},
      {-42, "Unknown format"},
      {-33, "Number syntax expected in filename"},
      {-32, "End of file"},
      {-22, "Invalid data found when processing input"},
      {-12, "Not enough memory"},
      {-5, "I/O error"},
      {-2, "No such file or directory"},
      {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
      {AVERROR_EOF, "End of file"},
      {AVERROR(ENOENT), "No such file or directory"},
      {AVERROR(EIO), "I/O error"},
      {AVERROR(ENOMEM), "Not enough memory"},
      {AVERROR(EINVAL), "Invalid data found when processing input"},
      {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
      {AVERROR(EILSEQ), "Unknown format"},
      {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
      {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
      {AVERROR(ENOSPC), "No space left on device"},
      {AVERROR(EACCES), "Permission denied"},
      {-7, "Error number -7 occurred"},
      {0, "Error number 0 occurred"},
  };
  for (const auto& c : cases) EXPECT_EQ(LibraryErrorText(c.code), c.text) << c.code;
  EXPECT_EQ(ErrorText("/tmp/a b.avi", -2), "/tmp/a b.avi: No such file or directory");
}

TEST(MediaTexts, MediaKindNames) {
  const char* names[] = {"Video", "Audio", "Data", "Subtitle", "Attachment"};
  for (int kind = 0; kind < 5; ++kind) EXPECT_EQ(MediaKindName(kind), names[kind]);
  EXPECT_EQ(MediaKindName(-1), "Unknown");
  EXPECT_EQ(MediaKindName(5), "Unknown");
}

TEST(MediaTexts, CodecText) {
  // A codec the library has: name and long name.
  EXPECT_EQ(CodecText(AV_CODEC_ID_MPEG4, 0, false), "mpeg4(MPEG-4 part 2)");
  // The transport stream pseudo codec has neither decoder nor encoder.
  EXPECT_EQ(CodecText(AV_CODEC_ID_MPEG2TS, 0, false), "mpeg2ts");
  // A decode-only codec asked for its encoder falls back to the codec's registered name.
  ASSERT_EQ(avcodec_find_encoder(AV_CODEC_ID_VP6), nullptr);
  EXPECT_EQ(CodecText(AV_CODEC_ID_VP6, 0, true), "vp6");
  EXPECT_NE(CodecText(AV_CODEC_ID_VP6, 0, false).find("vp6("), std::string::npos);

  // No codec at all: the tag decides.
  EXPECT_EQ(CodecText(AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 'D'), false), "XVID / 0x44495658");
  EXPECT_EQ(CodecText(AV_CODEC_ID_NONE, MKTAG(' ', '~', 'a', 'Z'), false), " ~aZ / 0x5A617E20");
  EXPECT_EQ(CodecText(AV_CODEC_ID_NONE, MKTAG('A', 'B', 'C', 0), false), "0x434241");
  EXPECT_EQ(CodecText(AV_CODEC_ID_NONE, MKTAG('A', 'B', 0x7F, 'D'), false), "0x447f4241");
  EXPECT_EQ(CodecText(AV_CODEC_ID_NONE, 1, false), "0x0001");

  // The parameter and context forms read the same fields.
  CodecContextPtr ctx(avcodec_alloc_context3(nullptr));
  ASSERT_TRUE(ctx);
  ctx->codec_id = AV_CODEC_ID_NONE;
  ctx->codec_tag = MKTAG('D', 'I', 'V', '3');
  EXPECT_EQ(CodecText(ctx.get(), false), "DIV3 / 0x33564944");
  std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> par(
      avcodec_parameters_alloc(), [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
  ASSERT_TRUE(par);
  par->codec_id = AV_CODEC_ID_PCM_S16LE;
  EXPECT_EQ(CodecText(par.get(), true), "pcm_s16le(PCM signed 16-bit little-endian)");
}

TEST(MediaTexts, MetadataValueMatchesKeyExactly) {
  AVDictionary* raw = nullptr;
  av_dict_set(&raw, "Title", "upper", AV_DICT_MATCH_CASE);
  av_dict_set(&raw, "title", "lower", AV_DICT_MATCH_CASE);
  av_dict_set(&raw, "titles", "longer", AV_DICT_MATCH_CASE);
  std::unique_ptr<AVDictionary, DictionaryDeleter> dict(raw);
  EXPECT_EQ(MetadataValue(dict.get(), "Title", "-"), "upper");
  EXPECT_EQ(MetadataValue(dict.get(), "title", "-"), "lower");
  EXPECT_EQ(MetadataValue(dict.get(), "TITLE", "-"), "-");
  EXPECT_EQ(MetadataValue(dict.get(), "titl", "-"), "-");
  EXPECT_EQ(MetadataValue(nullptr, "title", "none"), "none");
}

TEST(MediaTexts, ReadWholeFile) {
  const std::string bytes("ab\0cd\xff", 6);
  const std::string path = testing::WriteBytes(testing::TestMediaDir() + "/whole.bin", bytes);
  TWholeFile file = ReadWholeFile(path);
  EXPECT_EQ(file.Status, 0);
  EXPECT_EQ(file.Data, bytes);
  EXPECT_EQ(file.Data.c_str()[6], '\0');

  TWholeFile missing = ReadWholeFile(testing::TestMediaDir() + "/no such file");
  EXPECT_EQ(missing.Status, -1);
  EXPECT_TRUE(missing.Data.empty());
}

// A frame with its own buffers; align 1 keeps line sizes at width * bytes per pixel.
FramePtr MakeFrame(AVPixelFormat format, int width, int height, int align) {
  FramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), align) < 0) return nullptr;
  return frame;
}

void FillBgrPattern(AVFrame* frame) {
  for (int y = 0; y < frame->height; ++y) {
    uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (int x = 0; x < frame->width; ++x) {
      row[3 * x] = static_cast<uint8_t>(x);
      row[3 * x + 1] = static_cast<uint8_t>(y);
      row[3 * x + 2] = static_cast<uint8_t>(x ^ y);
    }
  }
}

void ExpectBitmapHoldsPattern(const TBitmap& bitmap) {
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      ASSERT_EQ(row[3 * x], static_cast<uint8_t>(x)) << x << "," << y;
      ASSERT_EQ(row[3 * x + 1], static_cast<uint8_t>(y)) << x << "," << y;
      ASSERT_EQ(row[3 * x + 2], static_cast<uint8_t>(x ^ y)) << x << "," << y;
    }
  }
}

TEST(BitmapConverter, MatchingLayoutIsUsedDirectlyOtherwiseConverted) {
  TBitmapConverter converter;
  EXPECT_EQ(converter.Bitmap(), nullptr);

  FramePtr even = MakeFrame(AV_PIX_FMT_BGR24, 640, 480, 1);
  ASSERT_TRUE(even);
  ASSERT_EQ(even->linesize[0], TBitmap::BytesPerLineFor(640));
  FillBgrPattern(even.get());
  ASSERT_TRUE(converter.PictureToBitmap(even.get()));
  EXPECT_TRUE(converter.UsedPictureDirectly());
  ASSERT_NE(converter.Bitmap(), nullptr);
  EXPECT_EQ(converter.Bitmap()->Width(), 640);
  EXPECT_EQ(converter.Bitmap()->Height(), 480);
  ExpectBitmapHoldsPattern(*converter.Bitmap());

  // Odd width: rows of 1923 bytes do not match the bitmap's padded 1924.
  FramePtr odd = MakeFrame(AV_PIX_FMT_BGR24, 641, 480, 1);
  ASSERT_TRUE(odd);
  FillBgrPattern(odd.get());
  ASSERT_TRUE(converter.PictureToBitmap(odd.get()));
  EXPECT_FALSE(converter.UsedPictureDirectly());
  EXPECT_EQ(converter.Bitmap()->Width(), 641);
  ExpectBitmapHoldsPattern(*converter.Bitmap());

  // Even size but line size padded beyond the bitmap's row: converted as well.
  FramePtr padded = MakeFrame(AV_PIX_FMT_BGR24, 322, 240, 64);
  ASSERT_TRUE(padded);
  ASSERT_NE(padded->linesize[0], TBitmap::BytesPerLineFor(322));
  FillBgrPattern(padded.get());
  ASSERT_TRUE(converter.PictureToBitmap(padded.get()));
  EXPECT_FALSE(converter.UsedPictureDirectly());
  ExpectBitmapHoldsPattern(*converter.Bitmap());

  EXPECT_FALSE(converter.PictureToBitmap(nullptr));
  converter.Reset();
  EXPECT_EQ(converter.Bitmap(), nullptr);
}

// Fills a YUV 4:2:0 picture: left half red, right half blue (BT.601 limited range).
void FillRedBlue(AVFrame* frame) {
  for (int y = 0; y < frame->height; ++y) {
    for (int x = 0; x < frame->width; ++x) {
      frame->data[0][y * frame->linesize[0] + x] = x < frame->width / 2 ? 81 : 41;
    }
  }
  for (int y = 0; y < frame->height / 2; ++y) {
    for (int x = 0; x < frame->width / 2; ++x) {
      const bool left = x < frame->width / 4;
      frame->data[1][y * frame->linesize[1] + x] = left ? 90 : 240;
      frame->data[2][y * frame->linesize[2] + x] = left ? 240 : 110;
    }
  }
}

// Compares a bitmap pixel with 0xRRGGBB within a tolerance per channel.
::testing::AssertionResult PixelNear(const TBitmap& bitmap, int x, int y, uint32_t rgb, int tolerance) {
  const uint8_t* p = bitmap.ScanLine(y) + 3 * x;
  const int want[3] = {static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                       static_cast<int>((rgb >> 16) & 0xFF)};
  for (int c = 0; c < 3; ++c) {
    if (std::abs(p[c] - want[c]) > tolerance) {
      return ::testing::AssertionFailure()
             << "pixel " << x << "," << y << " BGR " << int(p[0]) << "," << int(p[1]) << ","
             << int(p[2]) << " far from " << std::hex << rgb;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(BitmapConverter, YuvRoundTripThroughBitmapToPicture) {
  TBitmapConverter converter;
  FramePtr frame = MakeFrame(AV_PIX_FMT_YUV420P, 160, 120, 0);
  ASSERT_TRUE(frame);
  EXPECT_FALSE(converter.BitmapToPicture(frame.get())) << "nothing converted yet";
  FillRedBlue(frame.get());

  ASSERT_TRUE(converter.PictureToBitmap(frame.get()));
  EXPECT_FALSE(converter.UsedPictureDirectly());
  TBitmap& bitmap = *converter.Bitmap();
  EXPECT_TRUE(PixelNear(bitmap, 20, 60, 0xFF0000, 8));
  EXPECT_TRUE(PixelNear(bitmap, 140, 60, 0x0000FF, 8));

  // Draw a green square on the bitmap as a frame hook would, and write it back.
  for (int y = 40; y < 80; ++y) {
    uint8_t* row = bitmap.ScanLine(y);
    for (int x = 60; x < 100; ++x) {
      row[3 * x] = 0;
      row[3 * x + 1] = 255;
      row[3 * x + 2] = 0;
    }
  }
  ASSERT_TRUE(converter.BitmapToPicture(frame.get()));
  // The picture itself now carries the square: convert it afresh.
  TBitmapConverter check;
  ASSERT_TRUE(check.PictureToBitmap(frame.get()));
  EXPECT_TRUE(PixelNear(*check.Bitmap(), 80, 60, 0x00FF00, 12));
  EXPECT_TRUE(PixelNear(*check.Bitmap(), 20, 60, 0xFF0000, 12));
  EXPECT_TRUE(PixelNear(*check.Bitmap(), 140, 60, 0x0000FF, 12));
  EXPECT_TRUE(PixelNear(*check.Bitmap(), 40, 10, 0xFF0000, 12));

  // A picture of another size is not the one last converted.
  FramePtr other = MakeFrame(AV_PIX_FMT_YUV420P, 162, 120, 0);
  ASSERT_TRUE(other);
  EXPECT_FALSE(converter.BitmapToPicture(other.get()));
}

TEST(BitmapConverter, DirectPictureGetsBitmapBackExactly) {
  TBitmapConverter converter;
  FramePtr frame = MakeFrame(AV_PIX_FMT_BGR24, 64, 32, 1);
  ASSERT_TRUE(frame);
  FillBgrPattern(frame.get());
  ASSERT_TRUE(converter.PictureToBitmap(frame.get()));
  ASSERT_TRUE(converter.UsedPictureDirectly());
  converter.Bitmap()->Fill(0x123456);
  ASSERT_TRUE(converter.BitmapToPicture(frame.get()));
  for (int y = 0; y < 32; ++y) {
    const uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (int x = 0; x < 64; ++x) {
      ASSERT_EQ(row[3 * x], 0x56);
      ASSERT_EQ(row[3 * x + 1], 0x34);
      ASSERT_EQ(row[3 * x + 2], 0x12);
    }
  }
}

}  // namespace
}  // namespace orvo
