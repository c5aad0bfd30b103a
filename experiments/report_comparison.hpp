// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's comparison part: for each comparison the manifest lists, the
// metrics of its controllers' runs, paired by individual and call
// (experiments/comparison.hpp): comparison.csv, a section of report.html and,
// with plots, report_comparison_K.png. For report*.cpp only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "experiments/comparison.hpp"
#include "experiments/report_parts.hpp"

namespace veltrax::experiments::report_parts {

class ComparisonPart {
public:
    // The comparisons of OUTDIR's manifest (none without one).
    explicit ComparisonPart(std::filesystem::path outdir);

    bool empty() const { return groups_.empty(); }
    // A run of the sweep, in the report's pass; an ok run of a comparison
    // gives the metrics of its calls.
    void add(const RunEntry& run);
    // Writes comparison.csv and, with `plots`, report_comparison.gp into the
    // work folder, naming them and the images to come in `files`; returns
    // the page's section.
    std::string write(const ReportFolder& folder, bool plots, std::vector<std::string>& files);
    // Runs gnuplot on the script write() wrote, if it wrote one, in the work
    // folder; `cancel` ends it.
    void plot(const ReportFolder& folder, const Cancel& cancel);

private:
    struct Group {
        ComparisonEntry entry;
        std::map<std::pair<std::uint64_t, std::string>, std::size_t> units;  // (individual, call) -> unit
        std::vector<std::vector<std::vector<double>>> values;                 // [controller][unit]
        std::vector<MetricComparison> result;
    };

    std::filesystem::path outdir_;
    std::vector<Group> groups_;
    std::map<std::string, std::pair<std::size_t, std::size_t>> runs_;  // NAME@CONTROLLER -> (group, controller)
    bool plot_pending_ = false;
};

}  // namespace veltrax::experiments::report_parts
