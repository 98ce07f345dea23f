// FFmpeg's C headers, for the video library's sources.
#ifndef MONTAGE_VIDEO_FFMPEG_HEADERS_H
#define MONTAGE_VIDEO_FFMPEG_HEADERS_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "ffmpeg_support.h"

#endif  // MONTAGE_VIDEO_FFMPEG_HEADERS_H
