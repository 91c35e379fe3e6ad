#include "FragmentedMp4Writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// OpenCV's FFmpeg writer: an intra frame at most every 12 frames, no quantiser below 3
// (coarser steps clip DCT coefficients), and twice fps x pixels bits a second.
constexpr int kGopSize = 12;
constexpr int kMinQuantiser = 3;
constexpr double kBitsPerPixelAndFrame = 2.0;
// Each frame its own fragment, the first index empty (it comes before any frame), and the
// fragments' offsets counted from their own index, so each stands alone.
constexpr const char* kMovFlags = "frag_every_frame+empty_moov+default_base_moof";

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

struct FragmentedMp4Writer::Codec {
    AVFormatContext* format = nullptr;
    AVCodecContext* encoder = nullptr;
    AVStream* stream = nullptr;
    SwsContext* convert = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int64_t nextPts = 0;
    bool headerWritten = false;

    ~Codec() {
        sws_freeContext(convert);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&encoder);
        if (format != nullptr) {
            avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }
};

FragmentedMp4Writer::FragmentedMp4Writer() = default;

FragmentedMp4Writer::~FragmentedMp4Writer() { release(); }

bool FragmentedMp4Writer::fail(const std::string& what, int code) {
    failure = what + (code < 0 ? ": " + avError(code) : std::string());
    return false;
}

bool FragmentedMp4Writer::open(const std::string& path, int width, int height, double fps) {
    release();
    failure.clear();
    written = 0;
    if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0 || !(fps > 0.0)) {
        return fail("frame size and rate must be even and positive", 0);
    }
    auto c = std::make_unique<Codec>();
    int code = avformat_alloc_output_context2(&c->format, nullptr, "mp4", path.c_str());
    if (code < 0) {
        return fail("no MP4 muxer", code);
    }
    const AVCodec* mpeg4 = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    c->stream = mpeg4 != nullptr ? avformat_new_stream(c->format, nullptr) : nullptr;
    c->encoder = c->stream != nullptr ? avcodec_alloc_context3(mpeg4) : nullptr;
    if (c->encoder == nullptr) {
        return fail("no MPEG-4 encoder", 0);
    }
    const AVRational rate = av_d2q(fps, 1000000);
    AVCodecContext& e = *c->encoder;
    e.width = width;
    e.height = height;
    e.pix_fmt = AV_PIX_FMT_YUV420P;
    e.time_base = av_inv_q(rate);
    e.framerate = rate;
    e.gop_size = kGopSize;
    e.qmin = kMinQuantiser;
    e.bit_rate = static_cast<int64_t>(std::min(kBitsPerPixelAndFrame * fps * width * height, double{INT_MAX}));
    e.bit_rate_tolerance = static_cast<int>(e.bit_rate);
    e.codec_tag = MKTAG('m', 'p', '4', 'v');
    if ((c->format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        e.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if ((code = avcodec_open2(c->encoder, mpeg4, nullptr)) < 0) {
        return fail("cannot open the MPEG-4 encoder", code);
    }
    if ((code = avcodec_parameters_from_context(c->stream->codecpar, c->encoder)) < 0) {
        return fail("cannot describe the stream", code);
    }
    c->stream->time_base = e.time_base;
    c->stream->avg_frame_rate = rate;
    if ((code = avio_open(&c->format->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) {
        return fail(path, code);
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", kMovFlags, 0);
    // Each packet leaves the I/O buffer at once: what was encoded is in the file.
    av_dict_set(&options, "flush_packets", "1", 0);
    code = avformat_write_header(c->format, &options);
    av_dict_free(&options);
    if (code < 0) {
        return fail("cannot write the MP4 header", code);
    }
    c->headerWritten = true;
    c->frame = av_frame_alloc();
    c->packet = av_packet_alloc();
    if (c->frame == nullptr || c->packet == nullptr) {
        return fail("out of memory", AVERROR(ENOMEM));
    }
    c->frame->format = e.pix_fmt;
    c->frame->width = width;
    c->frame->height = height;
    if ((code = av_frame_get_buffer(c->frame, 0)) < 0) {
        return fail("out of memory", code);
    }
    // Bicubic, as OpenCV's writer converts.
    c->convert = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                nullptr, nullptr, nullptr);
    if (c->convert == nullptr) {
        return fail("no colour conversion to YUV 4:2:0", 0);
    }
    codec = std::move(c);
    return true;
}

bool FragmentedMp4Writer::isOpened() const { return codec != nullptr; }

bool FragmentedMp4Writer::drainEncoder() {
    Codec& c = *codec;
    for (;;) {
        const int code = avcodec_receive_packet(c.encoder, c.packet);
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) {
            return true;
        }
        if (code < 0) {
            return fail("encoding failed", code);
        }
        av_packet_rescale_ts(c.packet, c.encoder->time_base, c.stream->time_base);
        c.packet->stream_index = c.stream->index;
        const int wrote = av_write_frame(c.format, c.packet);
        av_packet_unref(c.packet);
        if (wrote < 0) {
            return fail("writing the frame failed", wrote);
        }
        if (c.format->pb->error < 0) {
            return fail("writing the frame failed", c.format->pb->error);
        }
    }
}

bool FragmentedMp4Writer::write(const cv::Mat& bgr) {
    if (!codec) {
        return fail("not open", 0);
    }
    Codec& c = *codec;
    if (bgr.type() != CV_8UC3 || bgr.cols != c.encoder->width || bgr.rows != c.encoder->height) {
        return fail("frame is not 8-bit BGR of the opened size", 0);
    }
    int code = av_frame_make_writable(c.frame);
    if (code < 0) {
        return fail("out of memory", code);
    }
    const uint8_t* source[1] = {bgr.data};
    const int step[1] = {static_cast<int>(bgr.step[0])};
    sws_scale(c.convert, source, step, 0, bgr.rows, c.frame->data, c.frame->linesize);
    c.frame->pts = c.nextPts++;
    if ((code = avcodec_send_frame(c.encoder, c.frame)) < 0) {
        return fail("encoding failed", code);
    }
    if (!drainEncoder()) {
        return false;
    }
    ++written;
    return true;
}

void FragmentedMp4Writer::release() {
    if (!codec) {
        return;
    }
    if (codec->headerWritten) {
        // Frames the encoder still holds, then the fragments' index (mfra).
        if (avcodec_send_frame(codec->encoder, nullptr) >= 0) {
            drainEncoder();
        }
        av_write_trailer(codec->format);
    }
    codec.reset();
}
