// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/expand.hpp"

#include <cmath>
#include <cstdio>
#include <new>

namespace veltrax::experiments {

namespace {

// Where each covariate goes: input, element.
struct Slot {
    int input;
    std::size_t element;
};
constexpr Slot kSlots[kCovariates] = {{1, 0}, {1, 1}, {3, 0}, {3, 2}, {0, 2}, {0, 6}};

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

PopulationRun expand_one(const std::vector<CallInputs>& calls, const Population& p, std::uint64_t k) {
    PopulationRun run;
    run.individual = draw_individual(p, k);
    run.calls = apply_individual(calls, run.individual);
    auto reject = [&](std::size_t call, const std::string& id, const std::string& message) {
        run.valid = false;
        run.error_call = call;
        run.error_id = id;
        run.error_message = message;
    };
    if (!run.individual.valid) {
        reject(0, "veltrax:badIndividual", run.individual.reason);
        return run;
    }
    for (Covariate c : {Covariate::plant_hill_midpoint, Covariate::plant_hill_exponent}) {
        const double v = run.individual.values[static_cast<int>(c)];
        if (p.draws(c) && !(v > 0.0 && std::isfinite(v))) {
            reject(0, "veltrax:badIndividual",
                   std::string(covariate_name(c)) + " must be positive and finite, drew " + num(v));
            return run;
        }
    }
    for (std::size_t j = 0; j < run.calls.size(); ++j) {
        try {
            check_call(run.calls[j]);
        } catch (const Error& e) {
            reject(j + 1, e.id(), e.what());
            return run;
        }
    }
    return run;
}

}  // namespace

void check_population_fits(const std::vector<CallInputs>& calls, const Population& p) {
    if (!p.draws(Covariate::body_mass) && !p.draws(Covariate::cardiac_output)) return;
    for (std::size_t j = 0; j < calls.size(); ++j) {
        const CallInputs& in = calls[j];
        if (in.size() >= 3 && in[2].numel() == 0) continue;
        throw Error("veltrax:badPopulation",
                    "the population draws body mass or cardiac output, but call " + std::to_string(j + 1) +
                        " simulates a linear process; they apply to the built-in model only");
    }
}

std::vector<CallInputs> apply_individual(const std::vector<CallInputs>& calls, const Individual& ind) {
    std::vector<CallInputs> out = calls;
    for (CallInputs& in : out) {
        for (int c = 0; c < kCovariates; ++c) {
            const double v = ind.values[c];
            if (std::isnan(v)) continue;
            const Slot s = kSlots[c];
            if (static_cast<std::size_t>(s.input) < in.size() && s.element < in[s.input].numel())
                in[s.input].data[s.element] = v;
        }
    }
    return out;
}

PopulationRun expand_individual(const std::vector<CallInputs>& calls, const Population& p,
                                std::uint64_t k) {
    check_population_fits(calls, p);
    return expand_one(calls, p, k);
}

std::vector<PopulationRun> expand_population(const std::vector<CallInputs>& calls, const Population& p,
                                             std::uint64_t first, std::uint64_t last) {
    check_population(p);
    check_population_fits(calls, p);
    if (last == 0) last = p.size;
    std::vector<PopulationRun> runs;
    if (first < 1 || first > last) return runs;
    runs.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::uint64_t k = first; k <= last; ++k) runs.push_back(expand_one(calls, p, k));
    return runs;
}

}  // namespace veltrax::experiments
