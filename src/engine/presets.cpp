#include "engine/presets.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <optional>

extern "C" {
#include <libavutil/opt.h>
}

#include "binding/file_helpers.h"
#include "engine/media_texts.h"

namespace orvo {
namespace {

// The H.264 encoder presets of the old command-line generation, kept verbatim: their old option
// spellings are translated when they reach an encoder (TranslateCodecOption).
constexpr std::array<TOptionsPreset, 40> kPresets = {{
    {"libx264-baseline",
       "coder=0\n"
       "bf=0\n"
       "flags2=-wpred-dct8x8\n"
       "wpredp=0"},
    {"libx264-default",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=hex\n"
       "subq=7\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=3\n"
       "directpred=1\n"
       "trellis=1\n"
       "flags2=+mixed_refs+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-fast",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=hex\n"
       "subq=6\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=2\n"
       "directpred=1\n"
       "trellis=1\n"
       "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-fast_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-faster",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=hex\n"
       "subq=4\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=2\n"
       "directpred=1\n"
       "trellis=1\n"
       "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip\n"
       "wpredp=1"},
    {"libx264-faster_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
       "wpredp=1"},
    {"libx264-fastfirstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=3\n"
       "trellis=0\n"
       "flags2=-bpyramid-wpred-mixed_refs-dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-hq",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=umh\n"
       "subq=8\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=4\n"
       "directpred=3\n"
       "trellis=1\n"
       "flags2=+wpred+mixed_refs+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-ipod320",
       "coder=0\n"
       "bf=0\n"
       "flags2=-wpred-dct8x8\n"
       "level=13\n"
       "maxrate=768000\n"
       "bufsize=3000000\n"
       "wpredp=0"},
    {"libx264-ipod640",
       "coder=0\n"
       "bf=0\n"
       "refs=1\n"
       "flags2=-wpred-dct8x8\n"
       "level=30\n"
       "maxrate=10000000\n"
       "bufsize=10000000\n"
       "wpredp=0"},
    {"libx264-lossless_fast",
       "coder=0\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8+parti4x4+partp8x8-partp4x4-partb8x8\n"
       "me_method=hex\n"
       "subq=3\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "directpred=1\n"
       "flags2=+fastpskip\n"
       "cqp=0\n"
       "wpredp=0"},
    {"libx264-lossless_max",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
       "me_method=esa\n"
       "subq=8\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "refs=16\n"
       "directpred=1\n"
       "flags2=+mixed_refs+dct8x8+fastpskip\n"
       "cqp=0\n"
       "wpredp=2"},
    {"libx264-lossless_medium",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
       "me_method=hex\n"
       "subq=5\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "directpred=1\n"
       "flags2=+fastpskip\n"
       "cqp=0\n"
       "wpredp=2"},
    {"libx264-lossless_slow",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
       "me_method=umh\n"
       "subq=6\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "refs=2\n"
       "directpred=1\n"
       "flags2=+dct8x8+fastpskip\n"
       "cqp=0\n"
       "wpredp=2"},
    {"libx264-lossless_slower",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
       "me_method=umh\n"
       "subq=8\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "refs=4\n"
       "directpred=1\n"
       "flags2=+mixed_refs+dct8x8+fastpskip\n"
       "cqp=0\n"
       "wpredp=2"},
    {"libx264-lossless_ultrafast",
       "coder=0\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
       "me_method=dia\n"
       "subq=0\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "directpred=1\n"
       "flags2=+fastpskip\n"
       "cqp=0"},
    {"libx264-main",
       "flags2=-dct8x8"},
    {"libx264-max",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
       "me_method=tesa\n"
       "subq=10\n"
       "me_range=24\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=16\n"
       "directpred=3\n"
       "trellis=2\n"
       "flags2=+wpred+mixed_refs+dct8x8-fastpskip\n"
       "wpredp=2"},
    {"libx264-medium",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=hex\n"
       "subq=7\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=3\n"
       "directpred=1\n"
       "trellis=1\n"
       "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-medium_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-normal",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=hex\n"
       "subq=6\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=2\n"
       "directpred=3\n"
       "trellis=0\n"
       "flags2=+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-placebo",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
       "me_method=tesa\n"
       "subq=10\n"
       "me_range=24\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=16\n"
       "refs=16\n"
       "directpred=3\n"
       "trellis=2\n"
       "flags2=+bpyramid+mixed_refs+wpred+dct8x8-fastpskip\n"
       "wpredp=2"},
    {"libx264-placebo_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
       "me_method=tesa\n"
       "subq=10\n"
       "me_range=24\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=16\n"
       "refs=16\n"
       "directpred=3\n"
       "trellis=2\n"
       "flags2=+bpyramid+mixed_refs+wpred+dct8x8-fastpskip\n"
       "wpredp=2"},
    {"libx264-slow",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=umh\n"
       "subq=8\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=5\n"
       "directpred=3\n"
       "trellis=1\n"
       "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-slow_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=3\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-slower",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
       "me_method=umh\n"
       "subq=9\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=8\n"
       "directpred=3\n"
       "trellis=2\n"
       "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-slower_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=3\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-slowfirstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=hex\n"
       "subq=6\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=3\n"
       "trellis=0\n"
       "flags2=+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-superfast",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=1\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree\n"
       "wpredp=0"},
    {"libx264-superfast_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=1\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree\n"
       "wpredp=0"},
    {"libx264-ultrafast",
       "coder=0\n"
       "flags=-loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=0\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=0\n"
       "i_qfactor=0.71\n"
       "b_strategy=0\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=0\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree\n"
       "wpredp=0"},
    {"libx264-ultrafast_firstpass",
       "coder=0\n"
       "flags=-loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=0\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=0\n"
       "i_qfactor=0.71\n"
       "b_strategy=0\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=0\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree\n"
       "wpredp=0"},
    {"libx264-veryfast",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
       "me_method=hex\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree\n"
       "wpredp=0"},
    {"libx264-veryfast_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree\n"
       "wpredp=0"},
    {"libx264-veryslow",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
       "me_method=umh\n"
       "subq=10\n"
       "me_range=24\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=8\n"
       "refs=16\n"
       "directpred=3\n"
       "trellis=2\n"
       "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-veryslow_firstpass",
       "coder=1\n"
       "flags=+loop\n"
       "cmp=+chroma\n"
       "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\n"
       "subq=2\n"
       "me_range=24\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=2\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=8\n"
       "refs=1\n"
       "directpred=3\n"
       "trellis=0\n"
       "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
       "wpredp=2"},
    {"libx264-psp",
       "coder=1\n"
       "flags=+loop\n"
       "level=30\n"
       "cmp=+chroma\n"
       "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n"
       "me_method=umh\n"
       "subq=7\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=2\n"
       "b=1250000\n"
       "maxrate=1500000\n"
       "bufsize=4000000\n"
       "bt=256000\n"
       "sc_threshold=40"},
    {"libx264-ps3",
       "coder=1\n"
       "flags=+loop\n"
       "level=30\n"
       "cmp=+chroma\n"
       "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n"
       "me_method=umh\n"
       "subq=7\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=2\n"
       "maxrate=3500000\n"
       "bufsize=4000000\n"
       "bt=256000\n"
       "sc_threshold=40"},
    {"libx264-ipod",
       "coder=0\n"
       "flags=+loop\n"
       "level=30\n"
       "cmp=+chroma\n"
       "partitions=+parti4x4+parti8x8+partp8x8\n"
       "me_method=umh\n"
       "subq=7\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=2\n"
       "b=1000000\n"
       "maxrate=1250000\n"
       "bufsize=4000000\n"
       "bt=256000\n"
       "sc_threshold=40"},
    {"libx264-mp4",
       "coder=1\n"
       "flags=+loop\n"
       "level=30\n"
       "cmp=+chroma\n"
       "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n"
       "me_method=umh\n"
       "subq=7\n"
       "me_range=16\n"
       "g=250\n"
       "keyint_min=25\n"
       "sc_threshold=40\n"
       "i_qfactor=0.71\n"
       "b_strategy=1\n"
       "qcomp=0.6\n"
       "qmin=10\n"
       "qmax=51\n"
       "qdiff=4\n"
       "bf=3\n"
       "refs=1\n"
       "directpred=1\n"
       "trellis=2\n"
       "b=1250000\n"
       "maxrate=1500000\n"
       "bufsize=4000000\n"
       "bt=256000\n"
       "sc_threshold=40"},
}};

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// One element of a flags value such as "+mixed_refs-wpred": its sign text ("+", "-", or empty
// for a leading element without sign) and its name.
struct TFlagToken {
  std::string Sign;
  std::string Name;
  bool Set() const { return Sign != "-"; }
};

std::vector<TFlagToken> FlagTokens(std::string_view value) {
  std::vector<TFlagToken> tokens;
  size_t i = 0;
  while (i < value.size()) {
    TFlagToken token;
    if (value[i] == '+' || value[i] == '-') token.Sign = std::string(1, value[i++]);
    size_t end = value.find_first_of("+-", i);
    if (end == std::string_view::npos) end = value.size();
    token.Name = std::string(value.substr(i, end - i));
    i = end;
    if (!token.Name.empty()) tokens.push_back(std::move(token));
  }
  return tokens;
}

std::string JoinFlags(const std::vector<TFlagToken>& tokens) {
  std::string text;
  for (const auto& token : tokens) text += token.Sign + token.Name;
  return text;
}

bool IsX264(std::string_view encoder) {
  return encoder == "libx264" || encoder == "libx264rgb";
}

// The first of the names the encoder's private options or the common codec options know; the
// first name when none does (so that setting it fails visibly).
std::string KnownName(std::string_view encoder, std::initializer_list<const char*> names) {
  const AVCodec* codec = avcodec_find_encoder_by_name(std::string(encoder).c_str());
  const AVClass* privateClass = codec ? codec->priv_class : nullptr;
  const AVClass* commonClass = avcodec_get_class();
  for (const char* name : names) {
    if (privateClass &&
        av_opt_find(&privateClass, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr)
      return name;
    if (av_opt_find(&commonClass, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr)
      return name;
  }
  return *names.begin();
}

// Old "flags2" bits that the H.264 wrapper now has as Boolean options of its own.
struct TFlagOption {
  const char* Flag;
  const char* Option;
};
constexpr TFlagOption kX264Flags2[] = {
    {"mixed_refs", "mixed-refs"}, {"wpred", "weightb"}, {"dct8x8", "8x8dct"},
    {"fastpskip", "fast-pskip"},  {"mbtree", "mbtree"}, {"psy", "psy"},
    {"aud", "aud"},               {"ssim", "ssim"},
};

// Old partition flags and the wrapper's partition names.
constexpr TFlagOption kX264Partitions[] = {
    {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"},
    {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"},
};

// Old motion-estimation methods the wrapper has no name for, by the method it used for them.
constexpr TFlagOption kX264MotionMethods[] = {
    {"epzs", "dia"}, {"full", "esa"}, {"zero", "hex"}, {"log", "hex"},
    {"phods", "hex"}, {"x1", "hex"},  {"iter", "hex"},
};

// Old spellings for the H.264 wrapper (libx264), by what the old wrapper did with them:
//   coder=0|1                 -> coder (private; 0 CAVLC, 1 CABAC)
//   flags=[+-]loop            -> deblock=true|false (the flag no longer reaches the encoder);
//                                other flags stay in "flags"
//   partitions=[+-]partXnxn   -> partitions=<list of i4x4,i8x8,p4x4,p8x8,b8x8> or "none"
//   me_method=dia|hex|umh|esa|tesa stays; epzs -> dia, full -> esa, other old methods -> hex
//   directpred=N              -> direct-pred=N
//   flags2=[+-]bpyramid       -> b-pyramid=normal|none
//          [+-]mixed_refs     -> mixed-refs=1|0      [+-]wpred     -> weightb=1|0
//          [+-]dct8x8         -> 8x8dct=1|0          [+-]fastpskip -> fast-pskip=1|0
//          [+-]mbtree, psy, aud, ssim -> the option of that name =1|0;
//          other flags stay in "flags2"
//   cqp=N                     -> qp=N
//   wpredp=N                  -> wpredp (weightp where the wrapper has no wpredp)
//   b_strategy, sc_threshold, level, subq, me_range, trellis, cmp, g, keyint_min, i_qfactor,
//   qcomp, qmin, qmax, qdiff, bf, refs, b, maxrate, bufsize, bt: unchanged (known as they are).
std::optional<std::vector<TCodecOption>> TranslateX264(std::string_view encoder,
                                                       std::string_view key,
                                                       std::string_view value) {
  std::vector<TCodecOption> out;
  const std::string v(value);
  if (key == "flags") {
    // The loop filter flag no longer reaches the encoder; its own deblocking switch does.
    std::vector<TFlagToken> rest;
    for (const auto& token : FlagTokens(value)) {
      if (token.Name == "loop")
        out.push_back({"deblock", token.Set() ? "true" : "false"});
      else
        rest.push_back(token);
    }
    if (!rest.empty()) out.insert(out.begin(), {"flags", JoinFlags(rest)});
    return out;
  }
  if (key == "flags2") {
    std::vector<TFlagToken> rest;
    for (const auto& token : FlagTokens(value)) {
      if (token.Name == "bpyramid") {
        out.push_back({"b-pyramid", token.Set() ? "normal" : "none"});
        continue;
      }
      const auto* hit = std::find_if(std::begin(kX264Flags2), std::end(kX264Flags2),
                                     [&](const TFlagOption& f) { return token.Name == f.Flag; });
      if (hit != std::end(kX264Flags2))
        out.push_back({hit->Option, token.Set() ? "1" : "0"});
      else
        rest.push_back(token);
    }
    if (!rest.empty()) out.insert(out.begin(), {"flags2", JoinFlags(rest)});
    return out;
  }
  if (key == "partitions") {
    // The old flags started from no partitions; the wrapper takes the full list.
    std::vector<std::string> chosen;
    for (const auto& token : FlagTokens(value)) {
      const auto* hit =
          std::find_if(std::begin(kX264Partitions), std::end(kX264Partitions),
                       [&](const TFlagOption& f) { return token.Name == f.Flag; });
      if (hit == std::end(kX264Partitions)) return std::nullopt;
      std::erase(chosen, std::string(hit->Option));
      if (token.Set()) chosen.emplace_back(hit->Option);
    }
    std::string list;
    for (const auto& name : chosen) list += (list.empty() ? "" : ",") + name;
    out.push_back({"partitions", list.empty() ? "none" : list});
    return out;
  }
  if (key == "me_method") {
    std::string method = v;
    for (const auto& m : kX264MotionMethods)
      if (method == m.Flag) method = m.Option;
    out.push_back({KnownName(encoder, {"me_method", "motion-est"}), method});
    return out;
  }
  if (key == "directpred") {
    // Same numbering: 0 none, 1 spatial, 2 temporal, 3 auto.
    out.push_back({"direct-pred", v});
    return out;
  }
  if (key == "cqp") {
    out.push_back({"qp", v});
    return out;
  }
  if (key == "wpredp") {
    out.push_back({KnownName(encoder, {"wpredp", "weightp"}), v});
    return out;
  }
  out.push_back({std::string(key), v});
  return out;
}

}  // namespace

const std::array<TOptionsPreset, 40>& OptionsPresets() { return kPresets; }

const TOptionsPreset* FindOptionsPreset(std::string_view name) {
  for (const auto& preset : kPresets)
    if (SameText(preset.Name, name)) return &preset;
  return nullptr;
}

TPresetSource FindPreset(const std::string& kind, const std::string& value,
                         const TPresetCodecNames& codecs) {
  TPresetSource source;
  if (kind.empty() || kind[0] != 'f') {
    std::string name = value;
    const TOptionsPreset* preset = FindOptionsPreset(name);
    if (!preset) {
      std::string codec;
      if (kind == "vpre" && !codecs.Video.empty())
        codec = codecs.Video;
      else if (kind == "apre" && !codecs.Audio.empty())
        codec = codecs.Audio;
      else if (!codecs.Subtitle.empty())
        codec = codecs.Subtitle;
      if (!codec.empty()) {
        name = codec + "-" + value;
        preset = FindOptionsPreset(name);
      }
    }
    if (preset) {
      source.Name = name;
      source.Content = std::string(preset->Content);
      source.FromTable = true;
      return source;
    }
  }
  source.Name = value;
  if (!FileExists(value)) {
    source.Error = "Preset " + Quoted(value) + " not found";
    return source;
  }
  TWholeFile file = ReadWholeFile(value);
  if (file.Status != 0) {
    source.Error = "Preset " + Quoted(value) + " cannot be read";
    return source;
  }
  source.Content = std::move(file.Data);
  return source;
}

std::vector<std::string> PresetLines(const std::string& content) {
  std::vector<std::string> lines;
  const std::string text = TrimText(content);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = TrimText(std::string_view(text).substr(start, end - start));
    if (!line.empty()) lines.push_back(std::move(line));
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
      ++end;
    start = end + 1;
  }
  return lines;
}

bool SplitPresetLine(const std::string& line, std::string& key, std::string& value) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos) {
    key = line;
    value.clear();
    return false;
  }
  key = line.substr(0, eq);
  value = line.substr(eq + 1);
  return !key.empty() && !value.empty();
}

std::string ApplyPresetContent(const std::string& name, const std::string& content,
                               const TPresetTarget& target) {
  for (const auto& line : PresetLines(content)) {
    std::string key;
    std::string value;
    if (!SplitPresetLine(line, key, value)) return name + ": Invalid syntax: " + Quoted(line);
    if (SameText(key, "vcodec") || SameText(key, "acodec") || SameText(key, "scodec")) {
      if (target.SetCodecName)
        target.SetCodecName(static_cast<char>(std::tolower(static_cast<unsigned char>(key[0]))),
                            value);
      continue;
    }
    if (!target.SetOption || !target.SetOption(key, value))
      return name + ": Invalid option or argument: " + Quoted(line) + ", parsed as " +
             Quoted(key) + " = " + Quoted(value);
  }
  return std::string();
}

std::string LoadPreset(const std::string& kind, const std::string& value,
                       const TPresetCodecNames& codecs, const TPresetTarget& target) {
  if (kind.empty() || value.empty()) return std::string();
  TPresetSource source = FindPreset(kind, value, codecs);
  if (!source.Error.empty()) return source.Error;
  return ApplyPresetContent(source.Name, source.Content, target);
}

std::optional<std::vector<TCodecOption>> TranslateCodecOption(std::string_view encoder,
                                                              std::string_view key,
                                                              std::string_view value) {
  if (!IsX264(encoder)) return std::vector<TCodecOption>{{std::string(key), std::string(value)}};
  return TranslateX264(encoder, key, value);
}

bool ApplyCodecOption(AVCodecContext* ctx, std::string_view encoder, const std::string& key,
                      const std::string& value) {
  if (!ctx) return false;
  const auto options = TranslateCodecOption(encoder, key, value);
  if (!options) return false;
  for (const auto& option : *options) {
    if (av_opt_find(ctx, option.Key.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN) == nullptr)
      return false;
    if (av_opt_set(ctx, option.Key.c_str(), option.Value.c_str(), AV_OPT_SEARCH_CHILDREN) < 0)
      return false;
  }
  return true;
}

std::vector<std::string> ApplyPresetToCodecContext(AVCodecContext* ctx, std::string_view encoder,
                                                   const std::string& content) {
  std::vector<std::string> rejected;
  for (const auto& line : PresetLines(content)) {
    std::string key;
    std::string value;
    // Codec-name lines choose an encoder; they have no place in an encoder's context.
    const bool accepted = SplitPresetLine(line, key, value) && !SameText(key, "vcodec") &&
                          !SameText(key, "acodec") && !SameText(key, "scodec") &&
                          ApplyCodecOption(ctx, encoder, TrimText(key), TrimText(value));
    if (!accepted) rejected.push_back(line);
  }
  return rejected;
}

}  // namespace orvo
