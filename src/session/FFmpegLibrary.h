// FFmpeg's libraries, loaded when a media file is first looked into
// rather than when the program starts: with what they link, they are some
// 130 shared libraries, which cost every run of every command 80 ms of
// loading before it did anything. Internal to src/session.
// Thread: any; loaded once for the process. Errors: none loaded (and
// `why` naming the library or function and the loader's reason) when a
// library or one of the functions the session calls is missing.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <string>

namespace session {

// Every FFmpeg function the session calls.
#define TESSALINE_FFMPEG_FUNCTIONS(X)   \
  X(av_audio_fifo_alloc)                \
  X(av_audio_fifo_free)                 \
  X(av_audio_fifo_read)                 \
  X(av_audio_fifo_size)                 \
  X(av_audio_fifo_write)                \
  X(av_channel_layout_copy)             \
  X(av_channel_layout_default)          \
  X(av_dict_get)                        \
  X(av_dict_set)                        \
  X(av_find_best_stream)                \
  X(av_frame_alloc)                     \
  X(av_frame_free)                      \
  X(av_frame_get_buffer)                \
  X(av_find_input_format)               \
  X(av_frame_unref)                     \
  X(av_free)                            \
  X(av_freep)                           \
  X(av_interleaved_write_frame)         \
  X(av_log_set_level)                   \
  X(av_malloc)                          \
  X(av_new_packet)                      \
  X(av_pix_fmt_desc_get)                \
  X(av_packet_alloc)                    \
  X(av_packet_clone)                    \
  X(av_packet_free)                     \
  X(av_packet_rescale_ts)               \
  X(av_packet_unref)                    \
  X(av_read_frame)                      \
  X(av_samples_alloc_array_and_samples) \
  X(av_strerror)                        \
  X(av_write_trailer)                   \
  X(avcodec_alloc_context3)             \
  X(avcodec_find_decoder)               \
  X(avcodec_find_encoder)               \
  X(avcodec_find_encoder_by_name)       \
  X(avcodec_free_context)               \
  X(avcodec_get_name)                   \
  X(avcodec_open2)                      \
  X(avcodec_parameters_copy)            \
  X(avcodec_parameters_from_context)    \
  X(avcodec_parameters_to_context)      \
  X(avcodec_receive_frame)              \
  X(avcodec_receive_packet)             \
  X(avcodec_send_frame)                 \
  X(avcodec_send_packet)                \
  X(avformat_alloc_context)             \
  X(avformat_alloc_output_context2)     \
  X(avformat_close_input)               \
  X(avformat_find_stream_info)          \
  X(avformat_free_context)              \
  X(avformat_new_stream)                \
  X(avformat_open_input)                \
  X(avformat_write_header)              \
  X(avio_alloc_context)                 \
  X(avio_context_free)                  \
  X(avio_flush)                         \
  X(avio_seek)                          \
  X(swr_alloc_set_opts2)                \
  X(swr_convert)                        \
  X(swr_free)                           \
  X(swr_get_out_samples)                \
  X(swr_init)

// libswscale's, which only the covers need: without it the rest works,
// and swscaleMissing says why it is not there.
#define TESSALINE_SWSCALE_FUNCTIONS(X) \
  X(sws_freeContext)                   \
  X(sws_getContext)                    \
  X(sws_scale)

struct FFmpeg {
#define TESSALINE_FFMPEG_POINTER(name) decltype(&::name) name = nullptr;
  TESSALINE_FFMPEG_FUNCTIONS(TESSALINE_FFMPEG_POINTER)
  TESSALINE_SWSCALE_FUNCTIONS(TESSALINE_FFMPEG_POINTER)
#undef TESSALINE_FFMPEG_POINTER
  std::string swscaleMissing;  // empty: the sws_ functions are there
  // The demuxers a file's first bytes may name, looked up once (a look
  // goes through them all); none where this FFmpeg lacks one.
  const AVInputFormat *mov = nullptr, *flac = nullptr, *ogg = nullptr, *wav = nullptr,
                      *aiff = nullptr;
};

// The functions, loaded on the first call; none when they cannot be.
const FFmpeg* loadFFmpeg(std::string* why);
// The functions once loadFFmpeg() gave them (MediaInput::open does, and
// every use of FFmpeg starts there).
const FFmpeg& ff();

}  // namespace session
