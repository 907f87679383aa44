// PNG writing once the image data is compressed: the layout of a file (where each kept chunk and the image data parts
// go, the IHDR written for the image, the file's size in checked arithmetic) and the writing of its bytes, every chunk
// framed with its length, type, data and CRC, into a buffer the caller allocated for that size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "png/decode.h"  // Span
#include "png/error.h"

namespace tavrel::png {

// The image a file is written for: its IHDR says 8-bit samples, RGB or RGBA, no interlace.
struct ImageHeader {
    uint32_t width = 0, height = 0;  // each below 2^31
    bool has_alpha = false;
};

// Bytes of IHDR data.
inline constexpr size_t ihdr_size = 13;

// Writes the IHDR data of `header` at out (ihdr_size bytes).
void put_ihdr_data(uint8_t* out, const ImageHeader& header) noexcept;

// What a chunk record kept from a source becomes in the file written from it.
enum class ChunkRole : uint8_t {
    image_data,  // an IDAT record: the new image data goes out at the first one, the others write nothing
    header,      // an IHDR record: written anew for the image
    kept,        // any other: its type and data written as they are
};

struct KeptChunk {
    ChunkRole role = ChunkRole::kept;
    bool is_end = false;  // an IEND record (kept)
    Span type, data;      // kept records only
};

// Where the image data goes in a file, and the file's size.
struct FileLayout {
    Error error = Error::ok;   // chunk_too_long: some data does not fit the length field; out_of_memory: the size
    size_t image_data_at = 0;  // index of the chunk the image data parts go before (the chunk count: after the last)
    uint64_t size = 0;         // bytes of the whole file, signature included
};

// Appends to `parts` the pieces of `data` the IDAT lengths ask for (split_sizes): out_of_memory when that fails.
Error cut_image_data(Span data, std::span<const int64_t> lengths, std::vector<Span>& parts) noexcept;

// Lays out a file of the signature and the chunks in their order, the image data parts (one empty part when there
// are none) framed as IDAT chunks in place of the first IDAT record, else just before the first IEND, else at the end.
FileLayout plan_file(std::span<const KeptChunk> chunks, std::span<const Span> parts) noexcept;

// Writes the file plan_file laid out for the same chunks and parts at out (layout.size bytes).
void put_file(uint8_t* out, const FileLayout& layout, std::span<const KeptChunk> chunks, std::span<const Span> parts,
              const ImageHeader& header) noexcept;

// The plain file: the signature, the IHDR, one IDAT chunk of all the image data, the IEND.
FileLayout plan_plain_file(Span image_data) noexcept;
void put_plain_file(uint8_t* out, const FileLayout& layout, Span image_data, const ImageHeader& header) noexcept;

}  // namespace tavrel::png
