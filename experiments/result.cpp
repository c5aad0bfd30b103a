// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/result.hpp"

namespace veltrax::experiments {

CallResult call_result(std::size_t call, const CallSetup& setup, std::vector<Matrix> outputs,
                       const MetricOptions& options) {
    CallResult r;
    r.call = call;
    r.setup = setup;
    r.outputs = std::move(outputs);
    r.metrics = compute_metrics(r.outputs.at(0), r.outputs.at(1), setup.settings.sample_period(),
                                setup.settings.builtin_model(), options);
    return r;
}

DrawnIndividual drawn_individual(const Population& p, const Individual& individual) {
    DrawnIndividual d;
    d.population_seed = p.seed;
    for (int c = 0; c < kCovariates; ++c) d.drawn[c] = p.draws(static_cast<Covariate>(c));
    for (const PlantCovariate& c : p.plant) d.plant.push_back(c.name);
    d.individual = individual;
    return d;
}

}  // namespace veltrax::experiments
