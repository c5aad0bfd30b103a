// SPDX-License-Identifier: LGPL-2.1-or-later
// The analysis of a sweep's sensitivity designs: the manifest (sweep.json)
// names the scenarios with a design and holds it, sweep.csv (as `veltrax
// report` writes it) each run's metrics. The indices come from those two
// files alone, so shards, resumed runs and sweeps started in Python are
// analysed alike.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "experiments/design.hpp"
#include "experiments/sensitivity_analysis.hpp"
#include "experiments/sweep.hpp"

namespace veltrax::experiments {

struct MetricAnalysis {
    std::string metric;
    std::size_t finite = 0;  // runs with a finite value
    SobolIndices sobol;      // a sobol design's
    MorrisIndices morris;    // a morris design's
};

struct DesignAnalysis {
    std::string scenario;
    Design design;
    std::size_t ok = 0;  // runs of the design that sweep.csv holds as ok
    std::vector<MetricAnalysis> metrics;  // in the design's order
};

// The designs of `manifest`, analysed from the text of sweep.csv: for each,
// the design's call of every ok run, by run number (the `individual`
// column). A run that is missing or failed, or whose metric is not finite,
// counts as described at sobol_indices and morris_indices. Throws
// veltrax::Error "veltrax:badSweep" when the manifest's design or the table
// cannot be read.
std::vector<DesignAnalysis> analyze_designs(const SweepManifest& manifest, std::string_view sweep_csv);

// The same from OUTDIR/sweep.json and OUTDIR/sweep.csv.
std::vector<DesignAnalysis> analyze_designs(const std::filesystem::path& outdir);

// sensitivity.csv: a header and one row per design, metric and input:
// scenario, method, metric, input, S1, S1_conf, ST, ST_conf (sobol), mu,
// mu_star, mu_star_conf, sigma (morris), used, dropped (sobol: base
// samples; morris: elementary effects).
std::string sensitivity_csv(const std::vector<DesignAnalysis>& analyses);

}  // namespace veltrax::experiments
