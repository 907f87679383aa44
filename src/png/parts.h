// The IDAT parts of a zlib stream read as one byte sequence, by the inflaters (in pieces) and the block walk (byte by
// byte).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavrel::png {

// One stretch of bytes, such as the data of one IDAT chunk.
using Span = std::span<const uint8_t>;

// A position in parts[0..nparts), any of which may be empty.
struct PartsCursor {
    const Span* parts = nullptr;
    size_t nparts = 0;
    size_t index = 0;
    size_t offset = 0;

    // Steps over used-up and empty parts; false when no byte is left.
    bool settle() noexcept {
        while (index < nparts && offset >= parts[index].size()) {
            ++index;
            offset = 0;
        }
        return index < nparts;
    }
    // The bytes left in the current part (settle first).
    Span rest() const noexcept { return index < nparts ? parts[index].subspan(offset) : Span(); }

    bool next(uint8_t& b) noexcept {
        if (!settle()) return false;
        b = parts[index][offset++];
        return true;
    }
    // The next non-empty piece of at most `most` bytes, stepped over; false when every part is used up.
    bool next_piece(size_t most, Span& piece) noexcept {
        if (!settle()) return false;
        piece = rest().first(rest().size() < most ? rest().size() : most);
        offset += piece.size();
        return true;
    }
    bool skip(size_t n) noexcept {
        Span piece;
        while (n != 0) {
            if (!next_piece(n, piece)) return false;
            n -= piece.size();
        }
        return true;
    }
};

// The first bytes of the parts joined into out[0..n): how many there were (fewer than n when the parts are shorter).
inline size_t first_bytes(const Span* parts, size_t nparts, uint8_t* out, size_t n) noexcept {
    PartsCursor in{parts, nparts};
    size_t have = 0;
    while (have < n && in.next(out[have])) ++have;
    return have;
}

}  // namespace tavrel::png
