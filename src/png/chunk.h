// PNG chunk framing on the writing side: length, type, data, CRC.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::png {

// Largest data length the 4-byte length field can carry.
inline constexpr uint64_t max_chunk_data = 0xFFFFFFFFu;

// Bytes of a framed chunk: 4 (length) + type + data + 4 (CRC).
inline constexpr uint64_t chunk_size(uint64_t type_len, uint64_t data_len) noexcept { return 8 + type_len + data_len; }

// CRC-32 of the PNG standard (zlib's crc32) over data, continuing from crc (0 to start). With ISA-L its
// carry-less-multiply CRC, several times faster than zlib's on long chunks, gives the same value.
uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) noexcept;

// Writes the chunk at out (chunk_size(type_len, data_len) bytes): the data length big-endian, the type, the data and
// the CRC-32 over type and data. data_len must be at most max_chunk_data. Returns the number of bytes written.
size_t put_chunk(uint8_t* out, const uint8_t* type, size_t type_len, const uint8_t* data, size_t data_len) noexcept;

}  // namespace tavrel::png
