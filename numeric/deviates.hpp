// SPDX-License-Identifier: LGPL-2.1-or-later
// Uniform and Gaussian deviates for the measurement noise.
#pragma once

#include <cstdint>

namespace veltrax {

// Moduli of the two generators; a seeded generator's state stays in
// 1 .. modulus - 1, except that a seed equal to kNoiseModulus2 leaves the
// second generator at 0.
constexpr std::int32_t kNoiseModulus1 = 2147483563;
constexpr std::int32_t kNoiseModulus2 = 2147483399;

// State of both generators. `noise_seed` is the first generator's state; a
// value <= 0 asks for seeding on the next draw.
struct NoiseState {
    std::int32_t noise_seed = -1;
    std::int32_t second_generator_state = 123456789;
    std::int32_t shuffle_output = 0;
    std::int32_t shuffle_table[32] = {};
    std::int32_t gauss_saved_flag = 0;
    double gauss_saved_value = 0.0;
};

// Largest seed the generators take.
constexpr std::int32_t kMaxNoiseSeed = kNoiseModulus1 - 1;

// The generators as at load, to be seeded with `seed` (1 .. kMaxNoiseSeed) on
// the first draw; at load that seed is 1.
inline NoiseState noise_state_for_seed(std::int32_t seed) {
    NoiseState s;
    s.noise_seed = -seed;
    return s;
}

// Next uniform deviate in [1/2147483563, 0x3F7FFFFE as float]; single precision
// is part of the contract, callers widen before scaling.
float uniform_deviate(NoiseState& s, std::int32_t* seed);

// Next standard normal deviate (polar method, values handed out in pairs).
double gaussian_deviate(NoiseState& s, std::int32_t* seed);

}  // namespace veltrax
