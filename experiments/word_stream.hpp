// SPDX-License-Identifier: LGPL-2.1-or-later
// Uniform 64-bit words from Philox-4x64 under a fixed key, counter 0, 1,
// 2, ...: a stream that depends on its key alone. For the experiments
// library's own sources (Random123 is a private include there).
#pragma once

#include <Random123/philox.h>

#include <cstddef>
#include <cstdint>

namespace veltrax::experiments {

class WordStream {
public:
    WordStream(std::uint64_t a, std::uint64_t b) : key_{{a, b}} {}

    std::uint64_t next() {
        if (left_ == 0) {
            const r123::Philox4x64::ctr_type ctr = {{counter_++, 0, 0, 0}};
            block_ = r123::Philox4x64()(ctr, key_);
            left_ = 4;
        }
        return block_.v[4 - left_--];
    }
    // Uniform in 0 .. m - 1, m >= 1; the bias is below m / 2^64.
    std::size_t below(std::size_t m) { return static_cast<std::size_t>(next() % m); }

private:
    r123::Philox4x64::key_type key_;
    r123::Philox4x64::ctr_type block_{};
    std::uint64_t counter_ = 0;
    int left_ = 0;
};

}  // namespace veltrax::experiments
