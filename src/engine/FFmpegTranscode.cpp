// The conversion run: per-stream state, mapping of output streams to input streams, opening the
// codecs and writing the headers, the reading loop in timestamp order, the end of each input
// (and of each segment in join mode), trailers and the final report.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/file_helpers.h"
#include "engine/FFmpeg.h"
#include "engine/transcode_state.h"

namespace orvo {

namespace {

int64_t Clock() { return av_gettime_relative(); }

// The frame limit of the stream's kind.
int FrameLimit(const TEngineOptions& o, AVMediaType kind) {
  switch (kind) {
    case AVMEDIA_TYPE_VIDEO: return o.MaxVideoFrames;
    case AVMEDIA_TYPE_AUDIO: return o.MaxAudioFrames;
    case AVMEDIA_TYPE_DATA: return o.MaxDataFrames;
    default: return std::numeric_limits<int32_t>::max();
  }
}

// Opens a codec under the process-wide codec lock.
int OpenCodec(AVCodecContext* ctx, const AVCodec* codec) {
  std::lock_guard<std::mutex> lock(GlobalCodecLock());
  return avcodec_open2(ctx, codec, nullptr);
}

}  // namespace

void TCustomFFmpeg::FailWithDump(const std::string& text) {
  DumpOutputs();
  Logger().Log(this, llError, text);
  throw FFmpegException(text);
}

void TCustomFFmpeg::DumpOutputs() {
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    AVFormatContext* oc = outputFiles_[i]->Context.get();
    av_dump_format(oc, int(i), oc->url ? oc->url : "", 1);
  }
}

void TCustomFFmpeg::Transcode() {
  run_ = std::make_unique<TTranscodeState>();
  TTranscodeState& run = *run_;
  const TEngineOptions& o = opt_;
  const int slots = static_cast<int>(outputFiles_.size());

  // 1. Input stream and file states.
  for (size_t i = 0; i < inputFiles_.size(); ++i) {
    TInputFileState file;
    file.FirstStream = static_cast<int>(run.InputStreams.size());
    file.StreamCount = static_cast<int>(inputFiles_[i].Context->nb_streams);
    run.InputFiles.push_back(file);
    for (TInputStream& setup : inputStreams_) {
      if (setup.FileIndex != int(i)) continue;
      TInputStreamState ist;
      ist.FileIndex = int(i);
      ist.StreamIndex = setup.Stream->index;
      ist.Stream = setup.Stream;
      ist.Decoder = setup.Codec.get();
      ist.DecoderByName = setup.Decoder;
      if (o.RateEmu) ist.WallClockStart = Clock();
      run.InputStreams.push_back(std::move(ist));
    }
  }

  // 2. Streams per output slot and the stream maps.
  int totalOutputStreams = 0;
  for (int k = 0; k < slots; ++k) {
    const int count = static_cast<int>(outputFiles_[size_t(k)]->Streams.size());
    if (count == 0) {
      AVFormatContext* oc = outputFiles_[size_t(k)]->Context.get();
      av_dump_format(oc, k, oc->url ? oc->url : "", 1);
      throw FFmpegException(FormatText("Output file #%d does not contain any stream", k));
    }
    totalOutputStreams += count;
  }
  const auto streamExists = [this](int file, int stream) {
    return file >= 0 && file < int(inputFiles_.size()) && stream >= 0 &&
           stream < int(inputFiles_[size_t(file)].Context->nb_streams);
  };
  if (!o.StreamMaps.empty()) {
    if (int(o.StreamMaps.size()) != totalOutputStreams)
      throw FFmpegException("Number of stream maps must match number of output streams");
    for (const TStreamMap& map : o.StreamMaps) {
      if (!streamExists(map.FileIndex, map.StreamIndex))
        throw FFmpegException(
            FormatText("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex));
      if (!streamExists(map.SyncFileIndex, map.SyncStreamIndex))
        throw FFmpegException(FormatText("Could not find sync stream #%d.%d", map.SyncFileIndex,
                                     map.SyncStreamIndex));
    }
  }

  // 3. Output stream states and their sources. The codec table runs over the created streams;
  // a file standing in several join slots has its streams once.
  {
    size_t codecIndex = 0;
    int mapIndex = 0;
    for (int k = 0; k < slots; ++k) {
      TOutputFile& file = *outputFiles_[size_t(k)];
      const bool repeated = k > 0 && outputFiles_[size_t(k)] == outputFiles_[size_t(k - 1)];
      if (repeated) codecIndex -= file.Streams.size();
      for (size_t j = 0; j < file.Streams.size(); ++j, ++codecIndex) {
        TOutputStream& setup = file.Streams[j];
        TOutputStreamState ost;
        ost.FileIndex = k;
        ost.Index = static_cast<int>(j);
        ost.Stream = setup.Stream;
        ost.Encoder = setup.Codec.get();
        ost.EncoderByName = codecIndex < outputCodecs_.size() ? outputCodecs_[codecIndex] : nullptr;
        ost.StreamCopy = setup.StreamCopy;
        ost.StreamQuality = setup.Quality;
        const AVMediaType kind = ost.Encoder->codec_type;
        if (!o.StreamMaps.empty()) {
          const TStreamMap& map = o.StreamMaps[size_t(mapIndex++)];
          ost.SourceIndex = run.InputFiles[size_t(map.FileIndex)].FirstStream + map.StreamIndex;
          ost.SyncIndex =
              run.InputFiles[size_t(map.SyncFileIndex)].FirstStream + map.SyncStreamIndex;
          const AVMediaType sourceKind =
              run.InputStreams[size_t(ost.SourceIndex)].Stream->codecpar->codec_type;
          if (sourceKind != kind) {
            DumpOutputs();
            throw FFmpegException(FormatText(
                "Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", map.FileIndex,
                map.StreamIndex, MediaKindName(sourceKind).c_str(), k, int(j),
                MediaKindName(kind).c_str()));
          }
        } else {
          int best = -1;
          int bestScore = -1;
          for (size_t i = 0; i < run.InputStreams.size(); ++i) {
            const TInputStreamState& ist = run.InputStreams[i];
            if (!ist.Discard || ist.Stream->discard == AVDISCARD_ALL) continue;
            if (ist.Stream->codecpar->codec_type != kind) continue;
            if (joinMode_ && ist.FileIndex != k) continue;
            if (o.OptProgramId) {
              const AVProgram* program = nullptr;
              AVFormatContext* ic = inputFiles_[size_t(ist.FileIndex)].Context.get();
              for (unsigned p = 0; p < ic->nb_programs; ++p) {
                if (ic->programs[p]->id == o.OptProgramId) program = ic->programs[p];
              }
              bool inProgram = false;
              for (unsigned s = 0; program && s < program->nb_stream_indexes; ++s)
                inProgram = inProgram || int(program->stream_index[s]) == ist.StreamIndex;
              if (!inProgram) continue;
            }
            // The libraries' own choice of the file's best stream of that kind comes first.
            const int score =
                av_find_best_stream(inputFiles_[size_t(ist.FileIndex)].Context.get(), kind, -1,
                                    -1, nullptr, 0) == ist.StreamIndex
                    ? 1
                    : 0;
            if (score > bestScore) best = int(i), bestScore = score;
          }
          if (best < 0 && !o.OptProgramId && !joinMode_) {
            for (size_t i = 0; i < run.InputStreams.size(); ++i) {
              const TInputStreamState& ist = run.InputStreams[i];
              if (ist.Stream->codecpar->codec_type == kind &&
                  ist.Stream->discard != AVDISCARD_ALL)
                best = int(i);
            }
          }
          if (best < 0) {
            DumpOutputs();
            throw FFmpegException(
                FormatText("Could not find input stream matching output stream #%d.%d (%s)", k,
                       int(j), MediaKindName(kind).c_str()));
          }
          ost.SourceIndex = ost.SyncIndex = best;
        }
        run.InputStreams[size_t(ost.SourceIndex)].Discard = false;
        ost.Report = true;
        run.OutputStreams.push_back(std::move(ost));
      }
    }
  }

  // 4. Stream settings from their sources: copied streams take the input's parameters, the
  // others get their conversion set up.
  for (TOutputStreamState& ost : run.OutputStreams) {
    TInputStreamState& ist = run.InputStreams[size_t(ost.SourceIndex)];
    AVStream* st = ost.Stream;
    const bool firstUse = !joinMode_ || ost.FileIndex == 0;
    if (firstUse) {
      av_dict_copy(&st->metadata, ist.Stream->metadata, AV_DICT_DONT_OVERWRITE);
      st->disposition = ist.Stream->disposition;
    }
    const AVCodecParameters* in = ist.Stream->codecpar;
    AVCodecContext* enc = ost.Encoder;
    if (ost.StreamCopy) {
      if (int64_t(in->extradata_size) + 8 > std::numeric_limits<int32_t>::max())
        throw FFmpegException("icodec.extradata_size is invalid (too large)");
      if (in->codec_type == AVMEDIA_TYPE_VIDEO) {
        if (OnCustomHook)
          throw FFmpegException(
              "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
        if (opt_.UsingVHook)
          throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
        if (PreviewFlags() != 0)
          throw FFmpegException(
              "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
      } else if (in->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (o.AudioVolume != 256)
          throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
      } else if (in->codec_type != AVMEDIA_TYPE_SUBTITLE) {
        throw FFmpegException("invalid codec_type of output stream");
      }
      if (!firstUse) continue;
      const uint32_t wantedTag = st->codecpar->codec_tag;
      if (avcodec_parameters_copy(st->codecpar, in) < 0)
        throw FFmpegException("av_mallocz fail");
      // Keep the input's tag only where the container would read it as the same codec.
      const AVOutputFormat* format = outputFiles_[size_t(ost.FileIndex)]->Context->oformat;
      if (wantedTag) {
        st->codecpar->codec_tag = wantedTag;
      } else if (format->codec_tag) {
        unsigned int tag = 0;
        const bool sameCodec = av_codec_get_id(format->codec_tag, in->codec_tag) == in->codec_id;
        const bool noTagForCodec = !av_codec_get_tag2(format->codec_tag, in->codec_id, &tag);
        if (!sameCodec && !noTagForCodec) st->codecpar->codec_tag = 0;
      }
      if (in->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (in->codec_id == AV_CODEC_ID_AC3 ||
            (in->codec_id == AV_CODEC_ID_MP3 && in->block_align == 1))
          st->codecpar->block_align = 0;
      }
      st->time_base = ist.Stream->time_base;
      st->avg_frame_rate = ist.Stream->avg_frame_rate;
      st->r_frame_rate = ist.Stream->r_frame_rate;
      if (in->codec_type == AVMEDIA_TYPE_VIDEO && in->sample_aspect_ratio.num == 0)
        st->codecpar->sample_aspect_ratio = st->sample_aspect_ratio;
      else
        st->sample_aspect_ratio = in->sample_aspect_ratio;
      continue;
    }
    enc->bits_per_raw_sample = ist.Decoder->bits_per_raw_sample;
    enc->chroma_sample_location = ist.Decoder->chroma_sample_location;
    switch (enc->codec_type) {
      case AVMEDIA_TYPE_AUDIO: SetupAudioOutput(ost, ist); break;
      case AVMEDIA_TYPE_VIDEO: SetupVideoOutput(ost, ist); break;
      case AVMEDIA_TYPE_SUBTITLE: break;
      default: throw FFmpegException("invalid codec_type of output stream");
    }
    ist.DecodingNeeded = true;
    ost.EncodingNeeded = true;
  }

  // 6. Encoders (in join mode the first slot's stand for every slot).
  for (TOutputStreamState& ost : run.OutputStreams) {
    if (!ost.EncodingNeeded || (joinMode_ && ost.FileIndex != 0)) continue;
    AVCodecContext* enc = ost.Encoder;
    const AVCodec* codec = ost.EncoderByName ? ost.EncoderByName : avcodec_find_encoder(enc->codec_id);
    const std::string kind = MediaKindName(enc->codec_type);
    if (!codec) {
      FailWithDump(FormatText("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                 int(enc->codec_id), ost.FileIndex, ost.Index, kind.c_str()));
    }
    if (OpenCodec(enc, codec) < 0) {
      FailWithDump(FormatText(
          "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect "
          "parameters such as bit_rate, rate, width or height. Please check error log message "
          "to find out more detail information.",
          ost.FileIndex, ost.Index, kind.c_str()));
    }
    ost.EncoderOpen = true;
    run.ExtraBytes += enc->extradata_size;
    const AVFormatContext* oc = outputFiles_[size_t(ost.FileIndex)]->Context.get();
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO && enc->initial_padding > 0 && enc->sample_rate > 0 &&
        !(oc->oformat->flags & AVFMT_TS_NEGATIVE))
      ost.EncoderShift =
          av_rescale_q(enc->initial_padding, AVRational{1, enc->sample_rate}, enc->time_base);
    if (avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0)
      throw FFmpegException("avcodec_parameters_from_context failed");
    ost.Stream->time_base = enc->time_base;
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO) ost.Stream->avg_frame_rate = enc->framerate;
  }
  // Later join slots write through the first slot's encoder.
  if (joinMode_) {
    for (TOutputStreamState& ost : run.OutputStreams) {
      if (ost.FileIndex == 0) continue;
      const TOutputStreamState& first = run.OutputStreams[size_t(ost.Index)];
      ost.EncoderOpen = first.EncoderOpen;
    }
  }

  // Bitstream filters handed over by the setup, after the encoders fixed the parameters.
  for (TOutputStreamState& ost : run.OutputStreams) {
    if (joinMode_ && ost.FileIndex != 0) continue;
    TOutputFile& file = *outputFiles_[size_t(ost.FileIndex)];
    AVCodecParameters* par = ost.Stream->codecpar;
    AVRational timeBase = ost.Stream->time_base;
    for (const TBitstreamFilterEntry& entry : file.Streams[size_t(ost.Index)].BitstreamFilters) {
      AVBSFContext* raw = nullptr;
      if (av_bsf_alloc(entry.Filter, &raw) < 0) throw FFmpegException("av_bsf_alloc failed");
      BsfContextPtr bsf(raw);
      avcodec_parameters_copy(bsf->par_in, par);
      bsf->time_base_in = timeBase;
      const size_t eq = entry.Text.find('=');
      if (eq != std::string::npos && bsf->priv_data)
        av_set_options_string(bsf->priv_data, entry.Text.c_str() + eq + 1, "=", ":");
      const int ret = av_bsf_init(bsf.get());
      if (ret < 0)
        throw FFmpegException(FormatText("%s failed for stream %d, codec %s: %s", entry.Filter->name,
                                     ost.Index, ost.StreamCopy ? "copy" : avcodec_get_name(par->codec_id),
                                     LibraryErrorText(ret).c_str()));
      par = bsf->par_out;
      timeBase = bsf->time_base_out;
      ost.BsfNames.emplace_back(entry.Filter->name);
      ost.Bsfs.push_back(std::move(bsf));
    }
    if (!ost.Bsfs.empty()) {
      avcodec_parameters_copy(ost.Stream->codecpar, ost.Bsfs.back()->par_out);
      ost.Stream->time_base = ost.Bsfs.back()->time_base_out;
    }
  }

  // 7. Decoders.
  for (TInputStreamState& ist : run.InputStreams) {
    if (!ist.DecodingNeeded) continue;
    const std::string kind = MediaKindName(ist.Stream->codecpar->codec_type);
    const AVCodec* codec =
        ist.DecoderByName ? ist.DecoderByName : avcodec_find_decoder(ist.Stream->codecpar->codec_id);
    if (!codec) {
      FailWithDump(FormatText("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                 int(ist.Stream->codecpar->codec_id), ist.FileIndex, ist.StreamIndex, kind.c_str()));
    }
    if (OpenCodec(ist.Decoder, codec) < 0) {
      FailWithDump(FormatText("Error while opening decoder for input stream #%d.%d (%s)",
                                      ist.FileIndex, ist.StreamIndex, kind.c_str()));
    }
    ist.DecoderOpen = true;
  }

  // 8. Timestamps: a stream that reorders pictures starts that many frames early.
  for (TInputStreamState& ist : run.InputStreams) {
    const AVRational rate = ist.Stream->avg_frame_rate;
    const int delay = ist.Decoder ? ist.Decoder->has_b_frames : 0;
    ist.Pts = rate.num && rate.den ? -std::llround(delay * 1000000.0 / av_q2d(rate)) : 0;
    ist.NextPts = AV_NOPTS_VALUE;
    ist.IsStart = true;
  }

  // 9. Metadata maps.
  for (const TMetaDataMap& map : o.MetaDataMaps) {
    if (map.OutFile < 0 || map.OutFile >= slots) {
      FailWithDump(FormatText("Invalid output file index %d map_meta_data(%d,%d)",
                                      map.OutFile, map.OutFile, map.InFile));
    }
    if (map.InFile < 0 || map.InFile >= int(inputFiles_.size())) {
      FailWithDump(FormatText("Invalid input file index %d map_meta_data(%d,%d)",
                                      map.InFile, map.OutFile, map.InFile));
    }
    av_dict_copy(&outputFiles_[size_t(map.OutFile)]->Context->metadata,
                 inputFiles_[size_t(map.InFile)].Context->metadata, AV_DICT_DONT_OVERWRITE);
  }

  // 10. Chapters, shifted by the start and cut at the recording time.
  for (size_t i = 0; i < inputFiles_.size(); ++i) {
    const TInputFile& input = inputFiles_[i];
    AVFormatContext* ic = input.Context.get();
    if (ic->nb_chapters == 0) continue;
    for (int k = 0; k < slots; ++k) {
      if (k > 0 && outputFiles_[size_t(k)] == outputFiles_[size_t(k - 1)]) continue;
      AVFormatContext* oc = outputFiles_[size_t(k)]->Context.get();
      for (unsigned c = 0; c < ic->nb_chapters; ++c) {
        const AVChapter* in = ic->chapters[c];
        const int64_t tsOff =
            av_rescale_q(o.StartTime - input.TsOffset, AV_TIME_BASE_Q, in->time_base);
        const bool hasLimit = o.RecordingTime != std::numeric_limits<int64_t>::max();
        const int64_t rt = hasLimit ? av_rescale_q(o.RecordingTime, AV_TIME_BASE_Q, in->time_base)
                                    : std::numeric_limits<int64_t>::max();
        if (in->end < tsOff) continue;
        if (hasLimit && in->start > rt + tsOff) break;
        auto** chapters = static_cast<AVChapter**>(
            av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
        if (!chapters) throw FFmpegException("av_realloc fail");
        oc->chapters = chapters;
        auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!out) throw FFmpegException("av_mallocz fail");
        oc->chapters[oc->nb_chapters++] = out;
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = std::max<int64_t>(0, in->start - tsOff);
        out->end = std::min(rt, in->end - tsOff);
        av_dict_copy(&out->metadata, in->metadata, 0);
      }
    }
  }

  // 11. Headers.
  for (int k = 0; k < slots; ++k) {
    if (joinMode_ && k > 0) break;
    AVFormatContext* oc = outputFiles_[size_t(k)]->Context.get();
    if (avformat_write_header(oc, nullptr) < 0) {
      FailWithDump(FormatText(
          "Could not write header for output file #%d (incorrect codec parameters ?)", k));
    }
    outputFiles_[size_t(k)]->HeaderWritten = true;
  }
  {
    bool allRtp = slots > 0;
    for (int k = 0; k < slots; ++k)
      allRtp = allRtp && std::strcmp(outputFiles_[size_t(k)]->Context->oformat->name, "rtp") == 0;
    if (allRtp) {
      std::vector<AVFormatContext*> contexts;
      for (int k = 0; k < slots; ++k) contexts.push_back(outputFiles_[size_t(k)]->Context.get());
      char sdp[2048];
      if (av_sdp_create(contexts.data(), int(contexts.size()), sdp, sizeof sdp) == 0)
        Logger().Log(this, llInfo, "SDP:\r\n" + TrimText(sdp));
    }
  }

  // 12. What goes where.
  for (int k = 0; k < slots; ++k) {
    if (joinMode_ && k > 0) break;
    AVFormatContext* oc = outputFiles_[size_t(k)]->Context.get();
    av_dump_format(oc, k, oc->url ? oc->url : "", 1);
  }
  if (o.Verbose >= 0) {
    Logger().Log(this, llVerbose, "Stream mapping:");
    for (const TOutputStreamState& ost : run.OutputStreams) {
      const TInputStreamState& source = run.InputStreams[size_t(ost.SourceIndex)];
      const TInputStreamState& sync = run.InputStreams[size_t(ost.SyncIndex)];
      Logger().Log(this, llVerbose,
                   FormatText("  Stream #%d.%d -> #%d.%d (%s)", source.FileIndex, source.StreamIndex,
                          joinMode_ ? 0 : ost.FileIndex, ost.Index,
                          MediaKindName(ost.Encoder->codec_type).c_str()));
      if (ost.SyncIndex != ost.SourceIndex)
        Logger().Log(this, llVerbose,
                     FormatText(" [sync #%d.%d (%s)]", sync.FileIndex, sync.StreamIndex,
                            MediaKindName(sync.Stream->codecpar->codec_type).c_str()));
    }
  }

  // 13.
  run.StartClock = Clock();
  run.LastReportClock = run.StartClock;

  ReadLoop();

  // After the loop: drain what is left, trailers, the final report.
  for (size_t i = 0; i < run.InputStreams.size(); ++i) {
    TInputStreamState& ist = run.InputStreams[i];
    if (ist.DecodingNeeded && !ist.Flushed) ProcessPacket(ist, int(i), nullptr);
  }
  for (int k = 0; k < slots; ++k) {
    if (joinMode_ && k > 0) break;
    TOutputFile& file = *outputFiles_[size_t(k)];
    if (!file.HeaderWritten) continue;
    const int ret = av_write_trailer(file.Context.get());
    file.HeaderWritten = false;
    if (ret < 0)
      throw FFmpegException("av_write_trailer(): " + LibraryErrorText(ret));
  }
  PrintReport(true, -1);
  CloseOpenCodecs();
  finished_ = !stopRequested_;
  run_.reset();
}

void TCustomFFmpeg::ReadLoop() {
  TTranscodeState& run = *run_;
  const TEngineOptions& o = opt_;
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");

  while (!stopRequested_) {
    WaitWhilePaused();
    if (stopRequested_) break;

    // 1. The input whose streams are furthest behind.
    int fileIndex = -1;
    bool limitReached = false;
    if (!joinMode_) {
      double smallestOpts = 1e100;
      double smallestIpts = 1e100;
      for (const TOutputStreamState& ost : run.OutputStreams) {
        const TInputStreamState& ist = run.InputStreams[size_t(ost.SourceIndex)];
        if (ist.PastRecordingTime || run.InputFiles[size_t(ist.FileIndex)].NoPacket) continue;
        const double opts = ost.EndPts == AV_NOPTS_VALUE
                                ? 0.0
                                : double(ost.EndPts) * av_q2d(ost.Stream->time_base);
        const double ipts = double(ist.Pts);
        if (!run.InputFiles[size_t(ist.FileIndex)].Eof) {
          if (o.InputSync ? ipts < smallestIpts : opts < smallestOpts) {
            smallestIpts = ipts;
            smallestOpts = opts;
            fileIndex = ist.FileIndex;
          }
        }
        if (ost.FrameNumber >= FrameLimit(o, ost.Encoder->codec_type)) {
          limitReached = true;
          break;
        }
      }
    } else {
      fileIndex = run.JoinSegment;
      for (const TOutputStreamState& ost : run.OutputStreams) {
        if (ost.FileIndex != run.JoinSegment) continue;
        if (ost.FrameNumber >= FrameLimit(o, ost.Encoder->codec_type)) {
          limitReached = true;
          break;
        }
      }
    }
    if (limitReached) fileIndex = -1;

    // 2.
    if (fileIndex < 0) {
      bool anyNoPacket = false;
      for (const TInputFileState& file : run.InputFiles) anyNoPacket = anyNoPacket || file.NoPacket;
      if (joinMode_ || !anyNoPacket) break;
      for (TInputFileState& file : run.InputFiles) file.NoPacket = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }

    // 3. File size limit.
    if (o.LimitFileSize > 0 && !outputFiles_.empty()) {
      AVIOContext* pb = outputFiles_[0]->Context->pb;
      if (pb && avio_tell(pb) >= o.LimitFileSize) break;
    }

    // 4. Read.
    TInputFile& input = inputFiles_[size_t(fileIndex)];
    TInputFileState& fileState = run.InputFiles[size_t(fileIndex)];
    AVFormatContext* ic = input.Context.get();
    const int ret = av_read_frame(ic, packet.get());
    if (ret == AVERROR(EAGAIN)) {
      fileState.NoPacket = true;
      continue;
    }
    if (ret < 0) {
      if (EndOfInput(fileIndex)) break;
      continue;
    }
    for (TInputFileState& file : run.InputFiles) file.NoPacket = false;

    // 5.
    if (o.DoPktDump) av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet.get(), o.DoHexDump,
                                      ic->streams[packet->stream_index]);

    // 6. Streams nobody takes.
    const int istIndex = fileState.FirstStream + packet->stream_index;
    if (packet->stream_index >= fileState.StreamCount ||
        run.InputStreams[size_t(istIndex)].Discard) {
      av_packet_unref(packet.get());
      continue;
    }
    TInputStreamState& ist = run.InputStreams[size_t(istIndex)];
    AVStream* st = ist.Stream;

    // 7. The file's offset and scale.
    const int64_t offset = av_rescale_q(input.TsOffset, AV_TIME_BASE_Q, st->time_base);
    if (packet->dts != AV_NOPTS_VALUE) packet->dts += offset;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts += offset;
    if (packet->stream_index < MAX_STREAMS) {
      const double scale = input.TsScale[size_t(packet->stream_index)];
      if (scale != 0) {
        if (packet->pts != AV_NOPTS_VALUE) packet->pts = std::llround(double(packet->pts) * scale);
        if (packet->dts != AV_NOPTS_VALUE) packet->dts = std::llround(double(packet->dts) * scale);
      }
    }

    // 8. Timestamp jumps of formats that allow them are folded into the file's offset.
    if (packet->dts != AV_NOPTS_VALUE && ist.NextPts != AV_NOPTS_VALUE &&
        (ic->iformat->flags & AVFMT_TS_DISCONT) && !o.CopyTs) {
      const int64_t pktDts = av_rescale_q(packet->dts, st->time_base, AV_TIME_BASE_Q);
      const int64_t delta = pktDts - ist.NextPts;
      if (std::fabs(double(delta)) > double(o.DtsDeltaThreshold) * 1000000.0 ||
          pktDts + 1 < ist.Pts) {
        input.TsOffset -= delta;
        if (o.Verbose >= 3)
          Logger().Log(this, llVerbose,
                       FormatText("timestamp discontinuity %" PRId64 ", new offset= %" PRId64, delta,
                              input.TsOffset));
        const int64_t shift = av_rescale_q(delta, AV_TIME_BASE_Q, st->time_base);
        packet->dts -= shift;
        if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift;
      }
    }

    // 9. Recording time.
    if (o.RecordingTime != std::numeric_limits<int64_t>::max() && packet->pts != AV_NOPTS_VALUE &&
        av_compare_ts(packet->pts, st->time_base, o.RecordingTime + o.StartTime,
                      AV_TIME_BASE_Q) >= 0) {
      ist.PastRecordingTime = true;
      av_packet_unref(packet.get());
      continue;
    }

    // 10.
    if (ProcessPacket(ist, istIndex, packet.get()) < 0) {
      const std::string text =
          FormatText("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
                 MediaKindName(st->codecpar->codec_type).c_str());
      if (o.ExitOnError) throw FFmpegException(text);
      if (o.Verbose >= 0) Logger().Log(this, llVerbose, text);
      av_packet_unref(packet.get());
      continue;
    }

    // 11.
    av_packet_unref(packet.get());
    const int64_t now = Clock();
    if (now - run.LastReportClock > ProgressInterval) {
      PrintReport(false, fileIndex);
      run.LastReportClock = now;
    }
  }
}

bool TCustomFFmpeg::EndOfInput(int fileIndex) {
  TTranscodeState& run = *run_;
  run.InputFiles[size_t(fileIndex)].Eof = true;
  if (!joinMode_) return opt_.OptShortest;

  // Join mode: the segment ends. Its decoders are drained into the encoders. The encoders stay
  // open for the next segment and are drained once, after the last: an encoder opened afresh
  // would start a new stream (new headers a global-header container cannot carry, priming
  // samples at every boundary).
  const int segment = run.JoinSegment;
  const bool last = segment + 1 >= int(inputFiles_.size());
  const TInputFileState& file = run.InputFiles[size_t(segment)];
  run.KeepEncodersOpen = !last;
  for (int i = file.FirstStream; i < file.FirstStream + file.StreamCount; ++i) {
    TInputStreamState& ist = run.InputStreams[size_t(i)];
    if (!ist.DecodingNeeded) continue;
    ProcessPacket(ist, i, nullptr);
    if (ist.DecoderOpen) avcodec_flush_buffers(ist.Decoder);
    ist.Flushed = true;
  }
  run.KeepEncodersOpen = false;
  // Later segments continue from this one's clocks, counts and unencoded sound.
  const int perSlot = static_cast<int>(outputFiles_[0]->Streams.size());
  if (!last) {
    for (int j = 0; j < perSlot; ++j) {
      TOutputStreamState& current = run.OutputStreams[size_t(segment * perSlot + j)];
      TOutputStreamState& next = run.OutputStreams[size_t((segment + 1) * perSlot + j)];
      std::swap(current.Fifo, next.Fifo);
    }
  }
  for (int k = segment + 1; k < int(outputFiles_.size()); ++k) {
    for (int j = 0; j < perSlot; ++j) {
      const TOutputStreamState& previous = run.OutputStreams[size_t((k - 1) * perSlot + j)];
      TOutputStreamState& next = run.OutputStreams[size_t(k * perSlot + j)];
      next.SyncOpts = previous.SyncOpts;
      next.FrameNumber = previous.FrameNumber;
      next.EndPts = previous.EndPts;
      next.EncoderShift = previous.EncoderShift;
      next.LastDts = previous.LastDts;
    }
  }
  if (last) return true;

  // The next segment starts where this one's input ended. The written packets end later by
  // what the drained encoders add (priming and padding of sound frames), which would open a
  // gap in the pictures at every boundary.
  int64_t end = 0;
  for (TOutputStreamState& ost : run.OutputStreams) {
    if (ost.FileIndex != segment) continue;
    const TInputStreamState& source = run.InputStreams[size_t(ost.SourceIndex)];
    if (source.NextPts != AV_NOPTS_VALUE) end = std::max(end, source.NextPts);
    else if (ost.EndPts != AV_NOPTS_VALUE)
      end = std::max(end, av_rescale_q(ost.EndPts, ost.Stream->time_base, AV_TIME_BASE_Q));
    ost.Report = false;
  }
  inputFiles_[size_t(segment + 1)].TsOffset += end;
  run.JoinSegment = segment + 1;
  return false;
}


}  // namespace orvo
