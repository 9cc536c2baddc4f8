#include "jpeg_encoder.h"

#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE declared first
#include <cstdlib>

#include <jpeglib.h>
#include <jerror.h>

// libjpeg-turbo's extension, in every libjpeg-turbo since 1.1: it reads BGR rows as they are.
#ifndef JCS_EXTENSIONS
#error "libjpeg without JCS_EXT_BGR; libjpeg-turbo is needed"
#endif

namespace {

constexpr int kQuality = 95;
constexpr int kRowsPerCall = 16;  // one MCU row of 4:2:0

}  // namespace

struct JpegEncoder::State {
    jpeg_compress_struct compress{};
    jpeg_error_mgr errors{};
    jpeg_destination_mgr destination{};
    std::jmp_buf failure{};
    char message[JMSG_LENGTH_MAX] = {};

    // Plain malloc'd memory: libjpeg may call back into us from its own frames, where a
    // throwing allocation could not unwind.
    unsigned char* buffer = nullptr;
    std::size_t capacity = 0;
    std::size_t size = 0;

    bool created = false;

    State() {
        compress.err = jpeg_std_error(&errors);
        errors.error_exit = &State::on_error;
        errors.output_message = [](j_common_ptr) {};  // warnings would go to stderr
        compress.client_data = this;
        created = create();
        destination.init_destination = &State::on_start;
        destination.empty_output_buffer = &State::on_full;
        destination.term_destination = &State::on_finish;
        compress.dest = &destination;
    }

    ~State() {
        if (created) {
            jpeg_destroy_compress(&compress);
        }
        std::free(buffer);
    }

    static State& of(j_common_ptr info) { return *static_cast<State*>(info->client_data); }
    static State& of(j_compress_ptr info) { return *static_cast<State*>(info->client_data); }

    [[noreturn]] static void on_error(j_common_ptr info) {
        State& state = of(info);
        (*info->err->format_message)(info, state.message);
        std::longjmp(state.failure, 1);
    }

    // libjpeg reports even a failed start through error_exit.
    bool create() {
        if (setjmp(failure) != 0) {
            return false;
        }
        jpeg_create_compress(&compress);
        return true;
    }

    bool grow(std::size_t wanted) {
        auto* bigger = static_cast<unsigned char*>(std::realloc(buffer, wanted));
        if (bigger == nullptr) {
            return false;
        }
        buffer = bigger;
        capacity = wanted;
        return true;
    }

    static void on_start(j_compress_ptr info) {
        State& state = of(info);
        // A picture at quality 95 rarely needs more than a byte per pixel.
        const std::size_t guess = std::size_t{info->image_width} * info->image_height + 4096;
        if (state.capacity < guess && !state.grow(guess)) {
            ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
        }
        state.destination.next_output_byte = state.buffer;
        state.destination.free_in_buffer = state.capacity;
    }

    static boolean on_full(j_compress_ptr info) {
        State& state = of(info);
        // libjpeg calls this with the whole buffer used, whatever free_in_buffer says.
        const std::size_t used = state.capacity;
        if (!state.grow(state.capacity * 2)) {
            ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
        }
        state.destination.next_output_byte = state.buffer + used;
        state.destination.free_in_buffer = state.capacity - used;
        return TRUE;
    }

    static void on_finish(j_compress_ptr info) {
        State& state = of(info);
        state.size = state.capacity - state.destination.free_in_buffer;
    }

    // Runs libjpeg over the image; no object with a destructor may live in this frame,
    // because an error leaves it through longjmp.
    bool compress_rows(const cv::Mat& image) {
        if (setjmp(failure) != 0) {
            jpeg_abort_compress(&compress);
            return false;
        }
        const bool colour = image.channels() == 3;
        compress.image_width = static_cast<JDIMENSION>(image.cols);
        compress.image_height = static_cast<JDIMENSION>(image.rows);
        compress.input_components = colour ? 3 : 1;
        compress.in_color_space = colour ? JCS_EXT_BGR : JCS_GRAYSCALE;
        jpeg_set_defaults(&compress);
        jpeg_set_quality(&compress, kQuality, TRUE);
        jpeg_start_compress(&compress, TRUE);

        JSAMPROW rows[kRowsPerCall];
        while (compress.next_scanline < compress.image_height) {
            const JDIMENSION first = compress.next_scanline;
            int count = 0;
            for (; count < kRowsPerCall && first + static_cast<JDIMENSION>(count) < compress.image_height; ++count) {
                rows[count] = const_cast<JSAMPROW>(image.ptr<unsigned char>(static_cast<int>(first) + count));
            }
            jpeg_write_scanlines(&compress, rows, static_cast<JDIMENSION>(count));
        }
        jpeg_finish_compress(&compress);
        return true;
    }
};

JpegEncoder::JpegEncoder() : state_(std::make_unique<State>()) {}

JpegEncoder::~JpegEncoder() = default;

bool JpegEncoder::encode(const cv::Mat& image, std::string& error) {
    state_->size = 0;  // a failed call leaves no picture behind
    if (image.empty() || image.dims != 2 || (image.type() != CV_8UC3 && image.type() != CV_8UC1)) {
        error = "not an 8-bit BGR or grey image";
        return false;
    }
    if (!state_->created) {
        error = "libjpeg could not start";
        return false;
    }
    if (!state_->compress_rows(image)) {
        error = state_->message;
        return false;
    }
    return true;
}

const unsigned char* JpegEncoder::data() const { return state_->buffer; }

std::size_t JpegEncoder::size() const { return state_->size; }
