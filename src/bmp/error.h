// The BMP codec's errors, as its reading and writing cores report them. The binding gives each its Python exception
// and message (src/module/errors.cpp); the core never words a message itself.
#pragma once

namespace tavrel::bmp {

enum class Error {
    ok = 0,
    caller_failed,  // the stream, the pixel source or the sink failed and has reported why

    // Reading.
    bad_file_header,    // shorter than 14 bytes or not starting "BM"
    short_info_header,  // the info header's size field is cut short
    info_size_length,   // the size field came back longer than its 4 bytes (the host's unpacking error)
    bad_info_size,      // an info header other than the 40-byte one
    info_length,        // the other 36 bytes of the info header are not all there (the host's unpacking error)
    bad_format,         // compressed, or not 24 bits per pixel
    negative_pixels,    // width * |height| * 3 below zero: the negative size of the pixel buffer
    pixels_past_index,  // width * |height| * 3 beyond an index-sized integer
    short_pixels,       // the pixel rows end early

    // Writing.
    field_range,  // a header value outside the range its field is packed in (the host's packing error)
};

}  // namespace tavrel::bmp
