// Cutting compressed image data into the payload sizes of consecutive IDAT chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrel::png {

// Appends to `sizes` part sizes that concatenate to `total` bytes, following the requested lengths in order:
// entries <= 0 are skipped, each part is min(length, remaining) except that the last entry takes everything left,
// and any remainder after the list becomes one more part. total == 0 gives no parts.
void split_sizes(const int64_t* lengths, size_t count, size_t total, std::vector<size_t>& sizes);

}  // namespace tavrel::png
