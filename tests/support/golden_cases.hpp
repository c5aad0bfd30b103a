// SPDX-License-Identifier: LGPL-2.1-or-later
// Representative runs whose outputs are kept bit for bit under tests/golden.
#pragma once

#include <string>
#include <vector>

#include "api/veltrax.hpp"

namespace veltrax::testing {

struct GoldenCase {
    std::string name;
    Build build;
    std::vector<std::vector<Matrix>> calls;  // in one simulation
};

inline Matrix curve_default() { return Matrix::row({0.404, 0.505, 2.98, 4.0}); }

inline std::vector<GoldenCase> golden_cases() {
    const Matrix third_num = Matrix::row({1});
    const Matrix third_den = Matrix::row({1, 3, 3, 1});
    const Matrix typical = Matrix::row({300, 0.1, 4, 2, 3, 3, 0, 10, 0.1});
    const Matrix noisy = Matrix::row({150, 0.05, 1, 1.5, 2, 2, 0.01, 5, 0.2});
    const Matrix gaussian = Matrix::row({150, 0.1, 0, 0, 1, 1, 0.02, 10, 0.1, 0});
    const Matrix model_params = Matrix::row({120, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1});
    const Matrix body = Matrix::row({70, 6.48});
    const Matrix empty(1, 0);
    const Matrix t_custom = Matrix::row({1, -0.8, 0.16});

    std::vector<GoldenCase> cases;
    cases.push_back({"v2_linear_two_calls", Build::Base,
                     {{typical, third_num, third_den, curve_default()}, {typical, third_num, third_den, curve_default()}}});
    cases.push_back({"v2_uniform_noise_custom_t", Build::Base,
                     {{noisy, Matrix::row({0.5, 1}), Matrix::row({2, 3, 1}), Matrix::row({0.45, 0.5, 3.0, 3.5}), t_custom}}});
    cases.push_back({"v2_gaussian_first_order_model", Build::Base,
                     {{gaussian, Matrix::row({1}), Matrix::row({1, 2, 1}), curve_default()}}});
    cases.push_back({"v2_model_two_calls", Build::Base,
                     {{model_params, body, empty, curve_default()}, {model_params, body, empty, curve_default()}}});
    cases.push_back({"v2_orders_shrink", Build::Base,
                     {{Matrix::row({80, 0.2, 3, 3, 6, 3, 0, 10, 0.1}), third_num, third_den, curve_default()},
                      {Matrix::row({80, 0.2, 0, 3, 2, 1, 0, 10, 0.1}), third_num, third_den, curve_default()}}});
    cases.push_back({"v2_widest_orders", Build::Base,
                     {{Matrix::row({100, 0.05, 5, 0, 6, 4, 0.003, 4, 0.25}), Matrix::row({2, 1}),
                       Matrix::row({1, 4, 6, 4, 1}), curve_default(), t_custom}}});
    cases.push_back({"v1_linear_two_calls", Build::Preview,
                     {{typical, third_num, third_den, curve_default()}, {typical, third_num, third_den, curve_default()}}});
    cases.push_back({"v1_model", Build::Preview, {{model_params, body, empty, curve_default()}}});
    cases.push_back({"v3_linear_two_calls", Build::PreviewHold,
                     {{typical, third_num, third_den, curve_default()}, {typical, third_num, third_den, curve_default()}}});
    cases.push_back({"v3_model_two_calls", Build::PreviewHold,
                     {{model_params, body, empty, curve_default()}, {model_params, body, empty, curve_default()}}});
    return cases;
}

// Calls of veltrax3 whose final state tests/golden/v3_snapshot_format1.bin
// holds: the model, then the linear process with Gaussian noise up to
// t = 105, the estimation hold running.
inline std::vector<std::vector<Matrix>> snapshot_golden_calls() {
    return {{Matrix::row({8, 0.1, 2, 0, 3, 3, 0.01, 10, 0.5, 0}), Matrix::row({70, 6.48}), Matrix(1, 0), curve_default()},
            {Matrix::row({21, 0.1, 3, 2, 3, 3, 0.02, 10, 0.5, 0}), Matrix::row({1}), Matrix::row({1, 3, 3, 1}),
             curve_default()}};
}

}  // namespace veltrax::testing
