// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/expand.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "experiments/format.hpp"

namespace veltrax::experiments {

namespace {

double drawn(const Individual& ind, Covariate c) { return ind.values[static_cast<int>(c)]; }

// The elements of a call's positional inputs that covariate `c` sets:
// those that change when only `c` changes.
std::vector<std::pair<std::size_t, std::size_t>> covariate_elements(const Settings& base, Covariate c) {
    Individual zero, one;
    zero.values.fill(std::numeric_limits<double>::quiet_NaN());
    one.values = zero.values;
    zero.values[static_cast<int>(c)] = 0.0;
    one.values[static_cast<int>(c)] = 1.0;
    Settings a = base, b = base;
    apply_individual(a, zero);
    apply_individual(b, one);
    const std::vector<Matrix> in_a = inputs_of(a), in_b = inputs_of(b);
    std::vector<std::pair<std::size_t, std::size_t>> elements;
    for (std::size_t i = 0; i < in_a.size(); ++i)
        for (std::size_t j = 0; j < in_a[i].numel(); ++j)
            if (in_a[i].data[j] != in_b[i].data[j]) elements.emplace_back(i, j);
    return elements;
}

// The call's positional inputs with the individual's drawn values where its
// covariates go; the file's own values stay everywhere else.
std::vector<Matrix> individual_inputs(const CallSetup& base, const Individual& ind) {
    std::vector<Matrix> inputs = base.inputs;
    for (int c = 0; c < kCovariates; ++c) {
        if (std::isnan(ind.values[c])) continue;
        for (const auto& [i, j] : covariate_elements(base.settings, static_cast<Covariate>(c)))
            if (i < inputs.size() && j < inputs[i].numel()) inputs[i].data[j] = ind.values[c];
    }
    return inputs;
}

bool fits_int(double v) {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

// The simulation's checks of a call with the individual's values: by
// position for a call that the file gives positionally (as the plug-ins
// check it), else by field.
void check_individual_call(const CallSetup& call, const Individual& ind) {
    if (call.given_positionally) {
        check_call(call.inputs);
        return;
    }
    const double dead_time = drawn(ind, Covariate::dead_time);
    if (!std::isnan(dead_time) && !fits_int(dead_time))
        throw Error("veltrax:notAnInteger",
                    "settings.dead_time must lie within the 32-bit integer range, drew " + format_number(dead_time));
    check_settings(call.settings);
}

std::optional<IndividualRejection> check_drawn_values(const Population& p, const Individual& ind) {
    if (!ind.valid) return IndividualRejection{0, {"veltrax:badIndividual", ind.reason}};
    for (Covariate c : {Covariate::plant_hill_midpoint, Covariate::plant_hill_exponent}) {
        const double v = drawn(ind, c);
        if (p.draws(c) && !(v > 0.0 && std::isfinite(v)))
            return IndividualRejection{0, {"veltrax:badIndividual", std::string(covariate_name(c)) +
                                                                        " must be positive and finite, drew " +
                                                                        format_number(v)}};
    }
    return std::nullopt;
}

}  // namespace

void check_population_fits(const std::vector<CallSetup>& calls, const Population& p) {
    if (!p.draws(Covariate::body_mass) && !p.draws(Covariate::cardiac_output)) return;
    for (std::size_t j = 0; j < calls.size(); ++j) {
        // A call rejected as written fails every individual with its own error.
        if (calls[j].rejected || calls[j].settings.builtin_model()) continue;
        throw Error("veltrax:badPopulation",
                    "the population draws body mass or cardiac output, but call " + std::to_string(j + 1) +
                        " simulates a linear process; they apply to the built-in model only");
    }
}

void apply_individual(Settings& s, const Individual& ind) {
    auto put = [&](Covariate c, auto& field) {
        const double v = drawn(ind, c);
        if (!std::isnan(v)) field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    };
    if (auto* body = std::get_if<BodyModel>(&s.process)) {
        put(Covariate::body_mass, body->body_mass);
        put(Covariate::cardiac_output, body->cardiac_output);
    }
    put(Covariate::plant_hill_midpoint, s.curve.plant_midpoint);
    put(Covariate::plant_hill_exponent, s.curve.plant_exponent);
    if (fits_int(drawn(ind, Covariate::dead_time))) put(Covariate::dead_time, s.dead_time);
    put(Covariate::noise_amplitude, s.noise.amplitude);
}

PopulationRun expand_individual(const std::vector<CallSetup>& calls, const Population& p, std::uint64_t k) {
    check_population_fits(calls, p);
    return individual_run(calls, p, draw_individual(p, k));
}

PopulationRun individual_run(const std::vector<CallSetup>& calls, const Population& p, Individual individual) {
    PopulationRun run;
    run.individual = std::move(individual);
    run.calls = calls;
    run.rejected = check_drawn_values(p, run.individual);
    for (std::size_t j = 0; j < run.calls.size(); ++j) {
        CallSetup& call = run.calls[j];
        call.inputs = individual_inputs(call, run.individual);
        apply_individual(call.settings, run.individual);
        if (run.rejected) continue;
        try {
            if (call.rejected) throw Error(call.rejected->id, call.rejected->message);
            check_individual_call(call, run.individual);
        } catch (const Error& e) {
            run.rejected = IndividualRejection{j + 1, {e.id(), e.what()}};
        }
    }
    return run;
}

PopulationRun expand_individual(const std::vector<std::vector<Matrix>>& calls, const Population& p,
                                std::uint64_t k) {
    std::vector<CallSetup> setups;
    for (const std::vector<Matrix>& inputs : calls) setups.push_back(call_setup_of_inputs(inputs));
    return expand_individual(setups, p, k);
}

std::vector<PopulationRun> expand_population(const std::vector<CallSetup>& calls, const Population& p,
                                             std::uint64_t first, std::uint64_t last) {
    check_population(p);
    check_population_fits(calls, p);
    if (last == 0) last = p.size;
    std::vector<PopulationRun> runs;
    if (first < 1 || first > last) return runs;
    runs.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::uint64_t k = first; k <= last; ++k) runs.push_back(expand_individual(calls, p, k));
    return runs;
}

}  // namespace veltrax::experiments
