// SPDX-License-Identifier: LGPL-2.1-or-later
#include "numeric/deviates.hpp"

#include <cmath>
#include <cstring>

namespace veltrax {
namespace {

constexpr std::int32_t kM1 = kNoiseModulus1, kA1 = 40014, kQ1 = 53668, kR1 = 12211;
constexpr std::int32_t kM2 = kNoiseModulus2, kA2 = 40692, kQ2 = 52774, kR2 = 3791;
constexpr std::int32_t kSlotDivisor = 67108862;
constexpr std::int32_t kWrapAddend = 2147483562;
constexpr double kScale = 0x1.000000aa00007p-31;  // 1/2147483563
constexpr double kCap = 0.99999988;
constexpr std::uint32_t kCapBits = 0x3F7FFFFEu;

inline void schrage(std::int32_t& s, std::int32_t m, std::int32_t a, std::int32_t q, std::int32_t r) {
    const std::int32_t k = s / q;
    s = a * (s - k * q) - k * r;
    if (s < 0) s += m;
}

}  // namespace

float uniform_deviate(NoiseState& st, std::int32_t* seed) {
    if (*seed <= 0) {
        // -*seed of INT32_MIN would overflow; it cannot be reached (seed stays
        // in 1 .. kM1-1 after seeding, -1 at load) but keep the negation safe.
        const std::int64_t neg = -static_cast<std::int64_t>(*seed);
        *seed = neg < 1 ? 1 : static_cast<std::int32_t>(neg > 2147483647 ? 2147483647 : neg);
        st.second_generator_state = *seed;
        for (int j = 39; j >= 0; --j) {
            schrage(*seed, kM1, kA1, kQ1, kR1);
            if (j < 32) st.shuffle_table[j] = *seed;
        }
        st.shuffle_output = st.shuffle_table[0];
    }
    schrage(*seed, kM1, kA1, kQ1, kR1);
    schrage(st.second_generator_state, kM2, kA2, kQ2, kR2);
    const std::int32_t j = st.shuffle_output / kSlotDivisor;
    st.shuffle_output = st.shuffle_table[j] - st.second_generator_state;
    st.shuffle_table[j] = *seed;
    if (st.shuffle_output < 1) st.shuffle_output += kWrapAddend;
    const double v = st.shuffle_output * kScale;
    if (v > kCap) {
        float capped;
        std::memcpy(&capped, &kCapBits, sizeof capped);
        return capped;
    }
    return static_cast<float>(v);
}

double gaussian_deviate(NoiseState& st, std::int32_t* seed) {
    if (st.gauss_saved_flag != 0) {
        st.gauss_saved_flag = 0;
        return st.gauss_saved_value;
    }
    double w1, w2, s;
    do {
        w1 = 2.0 * static_cast<double>(uniform_deviate(st, seed)) - 1.0;
        w2 = 2.0 * static_cast<double>(uniform_deviate(st, seed)) - 1.0;
        s = w1 * w1 + w2 * w2;
    } while (!(s > 0.0 && s < 1.0));
    const double fac = std::sqrt(-2.0 * std::log(s) / s);
    st.gauss_saved_value = w1 * fac;
    st.gauss_saved_flag = 1;
    return w2 * fac;
}

}  // namespace veltrax
