// The PNG codec's errors, as its reading and writing cores report them. The binding gives each its Python exception
// and message (src/module/errors.cpp); the core never words a message itself.
#pragma once

namespace tavrel::png {

enum class Error {
    ok = 0,

    // Reading: signature, chunk framing, header checks.
    caller_failed,       // a call back into the reader's caller (its byte source or image sink) failed and reported why
    bad_signature,       // the first 8 bytes are not the PNG signature
    eof_chunk_length,    // the stream ended inside a chunk's length field
    eof_chunk_type,      // ... its type
    eof_chunk_data,      // ... its data
    eof_chunk_crc,       // ... its CRC
    bad_crc,             // a chunk's CRC does not match its type and data
    ihdr_size,           // IHDR data is not 13 bytes long (the host's struct.error)
    dimension_overflow,  // IHDR width or height is 2^31 or more (the host's OverflowError)
    no_header,           // no IHDR before the end
    bad_depth,           // bit depth other than 8
    bad_color,           // colour type other than RGB (2) or RGBA (6)
    bad_configuration,   // compression, filter method or interlace other than 0

    // Decoding the image data.
    malformed_data,  // the image data cannot fill, or overfills, the image the header claims
    stream_error,    // zlib refused the image data (its code and message go with the error)
    bad_filter,      // a row's filter type is past 4 (the type goes with the error); also refused on writing

    // Writing.
    chunk_too_long,   // a chunk's data does not fit the 32-bit length field
    compress_failed,  // deflate failed where the stream was being made; the host's own zlib.compress words why

    out_of_memory,
};

}  // namespace tavrel::png
