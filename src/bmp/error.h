// The BMP codec's errors, as its reading and writing cores report them. The binding gives each its Python exception
// and message (src/module/errors.cpp); the core never words a message itself.
#pragma once

namespace tavrel::bmp {

enum class Error {
    ok = 0,

    // Reading.
    bad_file_header,    // shorter than 14 bytes or not starting "BM"
    short_info_header,  // the info header's size field is cut short
    bad_info_size,      // an info header other than the 40-byte one
    bad_format,         // compressed, or not 24 bits per pixel
    short_pixels,       // the pixel rows end early

    // Writing.

    out_of_memory,
};

}  // namespace tavrel::bmp
