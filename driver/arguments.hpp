// Decoding and checking of a gateway call's inputs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrax {

// One input as the host hands it over: column-major doubles and the shape.
struct ArgView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t numel() const { return rows * cols; }
};

// Everything a call takes, decoded and checked.
struct CallRequest {
    int nrhs = 0;
    std::int32_t sample_count = 0;
    double control_weight = 0.0;
    std::int32_t dead_time = 0;
    double u_max = 0.0;
    std::int32_t a_order = 0;
    std::int32_t b_order = 0;
    double noise_amplitude = 0.0;
    std::int32_t substeps_per_sample = 0;
    double rk4_step_size = 0.0;
    bool gaussian_noise = false;

    bool linear_process = true;
    int num_degree = 0;
    int den_degree = 0;
    const double* num = nullptr;  // linear mode
    const double* den = nullptr;
    double body_mass = 0.0;  // built-in model
    double cardiac_output = 0.0;

    double plant_hill_midpoint = 0.0;
    double hill_midpoint = 0.0;
    double plant_hill_exponent = 0.0;
    double hill_exponent = 0.0;

    bool has_filter = false;  // exactly five inputs
    double filter[3] = {};
};

// Limits of the fixed arrays.
constexpr int kMaxAOrder = 6;
constexpr int kMaxBLength = 9;   // dead time + b_order
constexpr int kMaxOrderSum = 10; // a_order + b_order
constexpr int kMaxDenominatorDegree = 10;

// Checks the inputs (nrhs of them) and the number of requested outputs and
// decodes them; throws veltrax::Error naming the first problem. Reads no
// state, so a rejected call changes nothing.
CallRequest decode_call(int nrhs, const ArgView* args, int nlhs);

}  // namespace veltrax
