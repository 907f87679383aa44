// PNG image-data decoding cores: bounded inflation of the IDAT parts as one stream and in-place row reconstruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "png/parts.h"

namespace tavrel::png {

enum class InflateStatus { ok, too_long, wrong_length, stream_error };

// What zlib said when it refused a stream: its return code and message, the two things the host's zlib module builds
// its error from. code is Z_BUF_ERROR when the input ran out before the end of the stream (zlib itself then gives no
// message), Z_MEM_ERROR when zlib could not get the memory for its state.
struct ZlibFault {
    int code = 0;
    char message[201] = {};  // zlib's msg, cut at the 200 characters the host prints of it; empty when zlib gave none
};

// Inflates one zlib stream whose bytes are parts[0..nparts) joined in order (any part may be empty) into
// out[0..expected), feeding the parts to the inflater one after another (no joined copy). ok: the stream ended with
// exactly `expected` bytes; too_long: it would produce more (nothing is written past out+expected); wrong_length: it
// ended with fewer; stream_error: any zlib error or input exhausted before the end, with zlib's code and message in
// *fault (fault may be nullptr). Bytes after the end of the stream are ignored. Allocates nothing sized by `expected`
// or by the input: only the inflaters' own state.
//
// With ISA-L a stream it inflates to exactly `expected` bytes is ok; any other outcome is zlib's own. A stream ISA-L
// fails on late is judged by zlib from the last block the walk over the deflate blocks finds sound among those ISA-L
// got through (zlib's window primed with the output before it), or, under a wrong checksum, by the walk alone; where
// that cannot decide, or would cost more than inflating again, by a zlib pass from the start. Before ISA-L runs, the
// two header bytes are checked as zlib checks them (method, window size, header check, no preset dictionary). ISA-L,
// like any inflater but zlib, may accept a few damaged or hand-made streams that zlib refuses when their checksum
// matches; such a stream is ok here.
InflateStatus inflate_bounded(const Span* parts, size_t nparts, uint8_t* out, size_t expected,
                              ZlibFault* fault = nullptr) noexcept;

// Runs the same zlib stream to its end while keeping none of its output: ok when it ends cleanly (its length is not
// judged), stream_error as above. For data that cannot fill the image it claims, where only the stream's soundness
// is left to decide; memory stays at the inflaters' state and a small scratch buffer, however much it inflates to.
// When ISA-L runs the stream to its end, a walk over the deflate blocks in which zlib reads every block header (no
// output written) confirms that zlib takes the data, or gives the header zlib refuses; so every status here is
// zlib's own. Anything else goes to zlib's full pass, as above.
InflateStatus inflate_discard(const Span* parts, size_t nparts, ZlibFault* fault = nullptr) noexcept;

// Fills *fault (when not nullptr) with zlib's code and message, the message cut to fit.
void record_zlib_fault(ZlibFault* fault, int code, const char* message) noexcept;

// "isa-l" or "zlib": which inflater handles valid streams in this build.
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
