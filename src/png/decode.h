// PNG image-data decoding cores: bounded zlib inflation of the IDAT parts and in-place row reconstruction.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::png {

enum class InflateStatus { ok, too_long, wrong_length, stream_error };

struct Span {
    const uint8_t* data;
    size_t size;
};

// Inflates one zlib stream whose bytes are parts[0..nparts) joined in order (any part may be empty) into
// out[0..expected). ok: the stream ended with exactly `expected` bytes; too_long: it would produce more (nothing is
// written past out+expected); wrong_length: it ended with fewer; stream_error: any zlib error or input exhausted before
// the end. Bytes after the end of the stream are ignored. Allocates nothing sized by `expected`: at most the inflater's
// own state and, with libdeflate, one copy of the compressed bytes when they come in several non-empty parts. With
// libdeflate a stream it inflates to exactly `expected` bytes is ok; any other outcome is decided by zlib. So every
// status but ok is zlib's own. libdeflate is more lenient than zlib in a few ways that only damaged or hand-made
// streams reach (code-length repeats running past the declared counts, more than 286 length or 30 distance codes,
// the fixed code's reserved symbols): such a stream with a matching checksum is ok here, a stream_error with zlib.
InflateStatus inflate_bounded(const Span* parts, size_t nparts, uint8_t* out, size_t expected) noexcept;

// Runs the same zlib stream to its end while keeping none of its output: ok when it ends cleanly (its length is not
// judged), stream_error as above. For data that cannot fill the image it claims, where only the stream's soundness
// is left to decide; memory stays at zlib's inflate state and a small scratch buffer, however much it inflates to.
InflateStatus inflate_discard(const Span* parts, size_t nparts) noexcept;

// "libdeflate" or "zlib": which inflater handles valid streams in this build.
const char* inflate_backend() noexcept;

struct ReconstructResult {
    bool ok;
    size_t bad_row;       // valid when !ok: index of the first row with a filter byte > 4
    unsigned bad_filter;  // valid when !ok: that filter byte
};

// raw holds height rows of (1 + width*channels) bytes (filter byte, filtered samples); channels is 3 or 4.
// Reconstructs each row, records its filter byte in filters[y] (filters may be nullptr), and writes the samples into
// rgb (width*height*3 bytes, top row first) and, when channels == 4, alpha (width*height bytes; nullptr when
// channels == 3). raw is working space: its samples are left unspecified (RGBA rows are reconstructed in place, RGB
// rows straight into rgb). Stops at the first row whose filter byte is > 4 and reports it; earlier rows are complete.
ReconstructResult reconstruct_image(uint8_t* raw, uint32_t width, uint32_t height, unsigned channels, uint8_t* rgb,
                                    uint8_t* alpha, uint8_t* filters) noexcept;

// RGB only, with no second buffer of the image's size: buf holds height rows of (1 + width*3) bytes as inflated and
// receives the width*height*3 bytes of pixel rows, top row first, in their place. Row y's pixels land before its
// filtered bytes, over them, and never past them, so each row is first copied to `row` (1 + width*3 bytes). Filters and
// the result as for reconstruct_image; on a bad filter byte buf holds earlier rows' pixels and is otherwise
// unspecified.
ReconstructResult reconstruct_rgb_in_place(uint8_t* buf, uint32_t width, uint32_t height, uint8_t* filters,
                                           uint8_t* row) noexcept;

// The same for RGBA: buf holds height rows of (1 + width*4) bytes as inflated and receives the width*height*3 bytes of
// RGB pixel rows in their place; the alpha samples go to alpha (width*height bytes). rows holds 2 * (1 + width*4)
// bytes: each row is reconstructed there, the previous one kept beside it as the predictor.
ReconstructResult reconstruct_rgba_in_place(uint8_t* buf, uint32_t width, uint32_t height, uint8_t* alpha,
                                            uint8_t* filters, uint8_t* rows) noexcept;

}  // namespace tavrel::png
