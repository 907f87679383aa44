#include "png/split.h"

namespace tavrel::png {

void split_sizes(const int64_t* lengths, size_t count, size_t total, std::vector<size_t>& sizes) {
    size_t offset = 0;
    for (size_t idx = 0; idx < count && offset < total; ++idx) {
        if (lengths[idx] <= 0) continue;
        const size_t left = total - offset;
        const auto want = static_cast<uint64_t>(lengths[idx]);
        const size_t take = (idx == count - 1 || want >= left) ? left : static_cast<size_t>(want);
        sizes.push_back(take);
        offset += take;
    }
    if (offset < total) sizes.push_back(total - offset);
}

}  // namespace tavrel::png
