// The PNG file writer, top to bottom: plan_file sizes every chunk (add_chunk) and finds where the image data goes;
// put_file writes the signature, then each chunk (put_record) with the image data parts (put_image_data) at their
// place. The plain file is the same layout over a header record and an end record.
#include "png/writer.h"

#include <algorithm>
#include <new>

#include "common/checked.h"
#include "png/chunk.h"
#include "png/reader.h"  // signature
#include "png/split.h"

namespace tavrel::png {
namespace {

constexpr uint8_t ihdr_type[4] = {'I', 'H', 'D', 'R'};
constexpr uint8_t idat_type[4] = {'I', 'D', 'A', 'T'};
constexpr uint8_t iend_type[4] = {'I', 'E', 'N', 'D'};

// The records of a plain file: the image data goes before the end.
constexpr KeptChunk plain_chunks[] = {{ChunkRole::header, false, {}, {}}, {ChunkRole::kept, true, Span(iend_type), {}}};

uint8_t* put_be32(uint8_t* out, uint32_t v) noexcept {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
    return out + 4;
}

// Adds a chunk of `type_size` and `data_size` bytes to `size`: chunk_too_long when its length field cannot hold
// data_size, out_of_memory when the sum does not fit 64 bits.
Error add_chunk(uint64_t& size, uint64_t type_size, uint64_t data_size) noexcept {
    if (data_size > max_chunk_data) return Error::chunk_too_long;
    uint64_t bytes = 0;
    if (add_overflows(chunk_size(0, data_size), type_size, &bytes) || add_overflows(size, bytes, &size))
        return Error::out_of_memory;
    return Error::ok;
}

uint8_t* put_image_data(uint8_t* out, std::span<const Span> parts) noexcept {
    if (parts.empty()) return out + put_chunk(out, idat_type, 4, nullptr, 0);
    for (const Span part : parts) out += put_chunk(out, idat_type, 4, part.data(), part.size());
    return out;
}

uint8_t* put_record(uint8_t* out, const KeptChunk& chunk, const ImageHeader& header) noexcept {
    switch (chunk.role) {
        case ChunkRole::image_data: return out;  // all of the image data went out at image_data_at
        case ChunkRole::header: {
            uint8_t ihdr[ihdr_size];
            put_ihdr_data(ihdr, header);
            return out + put_chunk(out, ihdr_type, 4, ihdr, ihdr_size);
        }
        case ChunkRole::kept:
            return out + put_chunk(out, chunk.type.data(), chunk.type.size(), chunk.data.data(), chunk.data.size());
    }
    return out;
}

}  // namespace

void put_ihdr_data(uint8_t* out, const ImageHeader& header) noexcept {
    out = put_be32(put_be32(out, header.width), header.height);
    const uint8_t rest[5] = {8, static_cast<uint8_t>(header.has_alpha ? 6 : 2), 0, 0, 0};
    std::copy(rest, rest + 5, out);
}

Error cut_image_data(Span data, std::span<const int64_t> lengths, std::vector<Span>& parts) noexcept {
    try {
        std::vector<size_t> sizes;
        split_sizes(lengths.data(), lengths.size(), data.size(), sizes);
        size_t offset = 0;
        for (const size_t n : sizes) {
            parts.push_back(data.subspan(offset, n));
            offset += n;
        }
    } catch (const std::bad_alloc&) {
        return Error::out_of_memory;
    }
    return Error::ok;
}

FileLayout plan_file(std::span<const KeptChunk> chunks, std::span<const Span> parts) noexcept {
    FileLayout layout;
    layout.size = sizeof signature;
    for (const Span part : parts) {
        if ((layout.error = add_chunk(layout.size, 4, part.size())) != Error::ok) return layout;
    }
    if (parts.empty()) layout.size += chunk_size(4, 0);
    layout.image_data_at = chunks.size();
    for (size_t i = 0; i < chunks.size(); ++i) {
        const KeptChunk& c = chunks[i];
        if (layout.image_data_at == chunks.size() && (c.role == ChunkRole::image_data || c.is_end))
            layout.image_data_at = i;
        Error e = Error::ok;
        switch (c.role) {
            case ChunkRole::image_data: break;
            case ChunkRole::header: e = add_chunk(layout.size, 4, ihdr_size); break;
            case ChunkRole::kept: e = add_chunk(layout.size, c.type.size(), c.data.size()); break;
        }
        if ((layout.error = e) != Error::ok) return layout;
    }
    return layout;
}

void put_file(uint8_t* out, const FileLayout& layout, std::span<const KeptChunk> chunks, std::span<const Span> parts,
              const ImageHeader& header) noexcept {
    out = std::copy(signature, signature + sizeof signature, out);
    for (size_t i = 0; i <= chunks.size(); ++i) {
        if (i == layout.image_data_at) out = put_image_data(out, parts);
        if (i < chunks.size()) out = put_record(out, chunks[i], header);
    }
}

FileLayout plan_plain_file(Span image_data) noexcept { return plan_file(plain_chunks, {&image_data, 1}); }

void put_plain_file(uint8_t* out, const FileLayout& layout, Span image_data, const ImageHeader& header) noexcept {
    put_file(out, layout, plain_chunks, {&image_data, 1}, header);
}

}  // namespace tavrel::png
