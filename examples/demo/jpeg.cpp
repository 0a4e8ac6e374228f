#include "jpeg.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace demo {
namespace {

// libjpeg reports errors by calling error_exit, which must not return: it
// jumps back to the call that started the work.
struct ErrorJump {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
void onError(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorJump*>(info->err)->jump, 1); }
void noMessages(j_common_ptr) {}

// Destination that appends to a vector; libjpeg's own memory destination
// mallocs a buffer per picture.
struct VectorDest {
    jpeg_destination_mgr mgr;
    std::vector<char>* out;
};
constexpr size_t kChunk = 16 * 1024;

void initDest(j_compress_ptr c) {
    auto* d = reinterpret_cast<VectorDest*>(c->dest);
    d->out->resize(kChunk);
    d->mgr.next_output_byte = reinterpret_cast<JOCTET*>(d->out->data());
    d->mgr.free_in_buffer = d->out->size();
}
boolean growDest(j_compress_ptr c) {
    auto* d = reinterpret_cast<VectorDest*>(c->dest);
    size_t const used = d->out->size();
    d->out->resize(used + kChunk);
    d->mgr.next_output_byte = reinterpret_cast<JOCTET*>(d->out->data() + used);
    d->mgr.free_in_buffer = kChunk;
    return TRUE;
}
void termDest(j_compress_ptr c) {
    auto* d = reinterpret_cast<VectorDest*>(c->dest);
    d->out->resize(d->out->size() - d->mgr.free_in_buffer);
}

} // namespace

bool encodeJpeg(unsigned char const* rgb, unsigned width, unsigned height, int quality, std::vector<char>& out) {
    jpeg_compress_struct c{};
    ErrorJump err{};
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onError;
    err.mgr.output_message = noMessages;
    VectorDest dest{};
    dest.out = &out;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        out.clear();
        return false;
    }
    jpeg_create_compress(&c);
    dest.mgr.init_destination = initDest;
    dest.mgr.empty_output_buffer = growDest;
    dest.mgr.term_destination = termDest;
    c.dest = &dest.mgr;
    c.image_width = width;
    c.image_height = height;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.dct_method = JDCT_IFAST;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(c.next_scanline) * width * 3);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return true;
}

bool decodeJpegEighth(char const* data, size_t size, GreyPicture& out) {
    jpeg_decompress_struct d{};
    ErrorJump err{};
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onError;
    err.mgr.output_message = noMessages;
    out.luma.clear();
    out.width = out.height = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        out.luma.clear();
        out.width = out.height = 0;
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<unsigned char const*>(data), static_cast<unsigned long>(size));
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) longjmp(err.jump, 1);
    d.scale_num = 1;
    d.scale_denom = 8;
    d.out_color_space = JCS_GRAYSCALE;
    d.dct_method = JDCT_IFAST;
    jpeg_start_decompress(&d);
    out.width = d.output_width;
    out.height = d.output_height;
    out.luma.resize(static_cast<size_t>(out.width) * out.height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = out.luma.data() + static_cast<size_t>(d.output_scanline) * out.width;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

} // namespace demo
