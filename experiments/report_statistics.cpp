// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's second part: what the page and the plots show, gathered run
// by run from the rows of sweep.csv.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "experiments/report_parts.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments::report_parts {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A number of sweep.csv; NaN for an empty field.
double number(const std::string& field) {
    double v = kNaN;
    if (!field.empty()) std::from_chars(field.data(), field.data() + field.size(), v);
    return v;
}

double number(const std::vector<std::string>& row, const char* column) { return number(row[sweep_column(column)]); }

// Worse first: the larger IAE, NaN last.
bool worse(const WorstCall& a, const WorstCall& b) {
    if (std::isnan(a.iae) || std::isnan(b.iae)) return !std::isnan(a.iae) && std::isnan(b.iae);
    return a.iae > b.iae;
}

WorstCall worst_call(const RunEntry& run, const std::vector<std::string>& row) {
    WorstCall w{run.folder,
                row[sweep_column("call")],
                number(row, "iae"),
                number(row, "ise"),
                number(row, "max_overshoot"),
                number(row, "max_settling_time"),
                number(row, "peak_control"),
                {}};
    for (int c = 0; c < kCovariates; ++c)
        w.covariates[c] = number(row[sweep_column(std::string("drawn_") + covariate_name(c))]);
    return w;
}

BandGroup make_group(const std::string& title, std::vector<FirstCall>&& calls) {
    BandGroup g;
    g.title = title;
    const std::size_t length = calls.front().t.size();
    for (FirstCall& c : calls) {
        if (c.t.size() == length)
            g.calls.push_back(std::move(c));
        else
            ++g.left_out;
    }
    return g;
}

}  // namespace

SweepStatistics::SweepStatistics(const ReportOptions& options, bool manifest) : options_(options), manifest_(manifest) {
    const std::vector<std::string>& columns = sweep_columns();
    for (std::size_t i = sweep_column("samples") + 1; i < columns.size(); ++i)
        if (columns[i] != "steps" && columns[i] != "runaway") all_metrics_.push_back({columns[i], {}});
}

bool SweepStatistics::wants_first_call(const std::string&) const { return groups.size() < kMaxBandGroups; }

void SweepStatistics::add(const RunEntry& run) {
    if (run.scenario != scenario_) close_scenario();
    scenario_ = run.scenario;
    switch (run.status) {
        case Status::ok: ++ok; break;
        case Status::failed: ++failed; break;
        case Status::unreadable: ++unreadable; break;
        case Status::missing: missing.push_back(run.folder); break;
    }
    if (manifest_ && run.status != Status::missing && !run.listed) unexpected.push_back(run.folder);
    if (run.status == Status::failed || run.status == Status::unreadable) {
        const std::size_t id = sweep_column("error_id");
        auto error = std::find_if(run.rows.begin(), run.rows.end(), [&](const auto& row) { return !row[id].empty(); });
        const std::vector<std::string>& row = error == run.rows.end() ? run.rows.front() : *error;
        if (bad.size() < kMaxListed)
            bad.push_back({run.folder, run.status, row[sweep_column("call")], row[id], row[sweep_column("error_message")]});
        ++bad_count;
    }
    add_calls(run);
    if (run.first_call) {
        candidates_.push_back(*run.first_call);
        ++candidate_runs_;
    } else if (run.status == Status::ok && number(run.rows.front(), "samples") > 0) {
        ++candidate_runs_;  // not read: its scenario can no longer be plotted
    }
}

// The calls that ran: their metrics, the worst, the run-away ones.
void SweepStatistics::add_calls(const RunEntry& run) {
    for (const std::vector<std::string>& row : run.rows) {
        if (row[sweep_column("samples")].empty()) continue;  // no call ran
        for (MetricValues& d : all_metrics_) {
            const double v = number(row, d.metric.c_str());
            if (std::isfinite(v)) d.values.push_back(v);
        }
        const WorstCall w = worst_call(run, row);
        const auto at = std::upper_bound(worst.begin(), worst.end(), w, worse);
        if (static_cast<std::size_t>(at - worst.begin()) < options_.worst) {
            worst.insert(at, w);
            if (worst.size() > options_.worst) worst.pop_back();
        }
        if (row[sweep_column("runaway")] == "1") {
            if (runaway.size() < kMaxListed) runaway.push_back(run.folder + " call " + row[sweep_column("call")]);
            ++runaway_count;
        }
    }
}

// Band groups: per scenario with two or more ok runs (at most
// kMaxBandGroups); when there is none, one of all ok runs.
void SweepStatistics::close_scenario() {
    if (candidate_runs_ >= 2) {
        if (groups.size() == kMaxBandGroups)
            ++skipped_groups;
        else
            groups.push_back(make_group(scenario_, std::move(candidates_)));
    } else if (candidate_runs_ == 1 && groups.empty() && !candidates_.empty()) {
        single_runs_.push_back(std::move(candidates_.front()));
    }
    if (!groups.empty()) single_runs_.clear();
    candidates_.clear();
    candidate_runs_ = 0;
}

void SweepStatistics::finish() {
    close_scenario();
    if (groups.empty() && !single_runs_.empty()) groups.push_back(make_group("all runs", std::move(single_runs_)));
    for (MetricValues& d : all_metrics_)
        if (!d.values.empty()) distributions.push_back(std::move(d));
}

}  // namespace veltrax::experiments::report_parts
