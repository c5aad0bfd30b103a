// A gateway call whose move search is the literal one (every evaluation where
// it is written), for comparison with the product.
#pragma once

#include <vector>

#include "api/veltrax.hpp"
#include "bench/literal_search.hpp"

namespace veltrax::testing {

inline std::vector<Matrix> literal_call(Build build, Simulation& sim, const std::vector<Matrix>& inputs) {
    ArgView views[5];
    const int nrhs = static_cast<int>(inputs.size());
    for (int i = 0; i < nrhs && i < 5; ++i) views[i] = {inputs[i].data.data(), inputs[i].rows, inputs[i].cols};
    const CallRequest request = decode_call(nrhs, views, 5);
    OutputShape shapes[5];
    output_shapes(request, shapes);
    std::vector<Matrix> out;
    for (const OutputShape& s : shapes) out.emplace_back(s.rows, s.cols);
    const OutputViews views_out{out[0].data.data(), out[1].data.data(), out[2].data.data(), out[3].data.data(),
                                out[4].data.data()};
    LiteralSearch<> search;
    switch (build) {
        case Build::V1: run_call_with<Build::V1>(sim, request, views_out, search); break;
        case Build::V2: run_call_with<Build::V2>(sim, request, views_out, search); break;
        case Build::V3: run_call_with<Build::V3>(sim, request, views_out, search); break;
    }
    return out;
}

}  // namespace veltrax::testing
