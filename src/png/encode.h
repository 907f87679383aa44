// PNG image-data encoding core: building the filtered scanlines that get compressed into IDAT.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::png {

// Index of the first filter byte > 4 in filters[0..height), or height when all are valid (nullptr means all 0).
size_t first_bad_filter(const uint8_t* filters, size_t height) noexcept;

// Writes height rows of (filter byte, row filtered with it) into out (exactly height*(1+width*bpp) bytes), bpp 4 when
// alpha is non-null (pixels R,G,B from rgb then alpha[y*width+x]) else 3. filters nullptr means filter 0 everywhere;
// every filter byte must be <= 4. scratch holds 2*width*bpp bytes and is used only when alpha is non-null.
// The rows may be a block out of a taller image: prev_rgb (and prev_alpha with alpha) is then the row above the
// block, the predictor of its first row; nullptr for the image's first row.
void encode_scanlines(const uint8_t* rgb, const uint8_t* alpha, const uint8_t* filters, uint32_t width, uint32_t height,
                      uint8_t* out, uint8_t* scratch, const uint8_t* prev_rgb = nullptr,
                      const uint8_t* prev_alpha = nullptr) noexcept;

}  // namespace tavrel::png
