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

// p-quantile of sorted values: linear between the order statistics at (n - 1) p.
double quantile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return kNaN;
    const double h = static_cast<double>(sorted.size() - 1) * p;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    if (lo + 1 >= sorted.size()) return sorted.back();
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[lo + 1] - sorted[lo]);
}

// SplitMix64: the sample's fixed sequence of random numbers.
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The first call's samples in an ok run's first row; 0 when none or not call 1.
std::size_t first_call_samples(const RunEntry& run) {
    const std::vector<std::string>& row = run.rows.front();
    const double n = number(row, "samples");
    return row[sweep_column("call")] == "1" && n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

bool BandSample::offer(std::size_t samples) {
    if (seen_ == 0) {
        length_ = samples;
        capacity_ = std::clamp(kBandValues / samples, kMinBandRuns, kMaxBandRuns);
    }
    if (samples != length_) {
        ++left_out_;
        return false;
    }
    ++seen_;
    pending_ = seen_ <= capacity_ ? seen_ - 1 : next_random(random_) % seen_;
    if (*pending_ < capacity_) return true;
    pending_.reset();
    return false;
}

void BandSample::take(std::optional<FirstCall>&& call) {
    if (!pending_) return;
    const std::size_t slot = *pending_;
    pending_.reset();
    if (!call) {  // unreadable: not one of the runs
        --seen_;
        return;
    }
    if (listed_.size() < kListedRuns && seen_ <= capacity_) {
        FirstCall shown;
        shown.run = call->run;
        shown.y = call->y;
        shown.u = call->u;
        listed_.push_back(std::move(shown));
    }
    if (t_.empty()) {
        t_ = std::move(call->t);
        setpoint_ = std::move(call->setpoint);
        disturbances_ = std::move(call->disturbances);
    }
    if (slot == y_.size()) {
        y_.push_back(std::move(call->y));
        u_.push_back(std::move(call->u));
    } else {
        y_[slot] = std::move(call->y);
        u_[slot] = std::move(call->u);
    }
}

BandGroup BandSample::group() const {
    BandGroup g;
    g.title = title_;
    g.runs = seen_;
    g.sampled = y_.size();
    g.left_out = left_out_;
    g.disturbances = disturbances_;
    g.listed = listed_;
    std::vector<double> y, u;
    for (std::size_t i = 0; i < t_.size(); ++i) {
        y.clear();
        u.clear();
        for (std::size_t r = 0; r < y_.size(); ++r) {
            if (std::isfinite(y_[r][i])) y.push_back(y_[r][i]);
            if (std::isfinite(u_[r][i])) u.push_back(u_[r][i]);
        }
        std::sort(y.begin(), y.end());
        std::sort(u.begin(), u.end());
        g.rows.push_back({t_[i], setpoint_[i], quantile(y, 0.05), quantile(y, 0.5), quantile(y, 0.95),
                          quantile(u, 0.05), quantile(u, 0.5), quantile(u, 0.95)});
    }
    return g;
}

SweepStatistics::SweepStatistics(const ReportOptions& options, bool manifest) : options_(options), manifest_(manifest) {
    const std::vector<std::string>& columns = sweep_columns();
    for (std::size_t i = sweep_column("samples") + 1; i < columns.size(); ++i)
        if (columns[i] != "steps" && columns[i] != "runaway") all_metrics_.push_back({columns[i]});
}

bool SweepStatistics::banded(const std::string& scenario) const {
    return std::find(no_bands.begin(), no_bands.end(), scenario) == no_bands.end();
}

void SweepStatistics::switch_to(const std::string& scenario) {
    if (scenario == scenario_) return;
    close_scenario();
    scenario_ = scenario;
}

bool SweepStatistics::wants_first_call(const RunEntry& run) {
    switch_to(run.scenario);
    const std::size_t samples = first_call_samples(run);
    if (groups.size() >= kMaxBandGroups || samples == 0 || !banded(scenario_)) return false;
    if (!sample_) sample_.emplace(scenario_);
    return sample_->offer(samples);
}

void SweepStatistics::add(RunEntry& run) {
    if (run.scenario != counted_scenario_ || scenario_count == 0) {
        counted_scenario_ = run.scenario;
        if (scenarios.size() < kMaxListed) scenarios.push_back({run.scenario, run.controller, run.description});
        ++scenario_count;
    } else if (!scenarios.empty() && scenarios.back()[0] == run.scenario) {
        if (scenarios.back()[1].empty()) scenarios.back()[1] = run.controller;
        if (scenarios.back()[2].empty()) scenarios.back()[2] = run.description;
    }
    switch_to(run.scenario);
    switch (run.status) {
        case Status::ok: ++ok; break;
        case Status::failed: ++failed; break;
        case Status::unreadable: ++unreadable; break;
        case Status::missing:
            if (missing.size() < kMaxListed) missing.push_back(run.folder);
            ++missing_count;
            break;
    }
    if (manifest_ && run.status != Status::missing && !run.listed) {
        if (unexpected.size() < kMaxListed) unexpected.push_back(run.folder);
        ++unexpected_count;
    }
    if (run.status == Status::failed || run.status == Status::unreadable) {
        const std::size_t id = sweep_column("error_id");
        auto error = std::find_if(run.rows.begin(), run.rows.end(), [&](const auto& row) { return !row[id].empty(); });
        const std::vector<std::string>& row = error == run.rows.end() ? run.rows.front() : *error;
        if (bad.size() < kMaxListed)
            bad.push_back({run.folder, run.status, row[sweep_column("call")], row[id], row[sweep_column("error_message")]});
        ++bad_count;
    }
    add_calls(run);
    if (run.status == Status::ok && number(run.rows.front(), "samples") > 0 && banded(run.scenario)) {
        if (++candidate_runs_ == 1 && run.first_call) first_run_ = *run.first_call;
    }
    if (sample_) sample_->take(std::move(run.first_call));
}

// The calls that ran: their metrics' ranges, the worst, the run-away ones.
void SweepStatistics::add_calls(const RunEntry& run) {
    bool ran_away = false;
    for (const std::vector<std::string>& row : run.rows) {
        if (row[sweep_column("samples")].empty()) continue;  // no call ran
        for (MetricRange& d : all_metrics_) {
            const std::string& field = row[sweep_column(d.metric)];
            const double v = number(field);
            if (!std::isfinite(v)) {
                if (!field.empty()) ++d.not_finite;
                continue;
            }
            d.lo = d.count == 0 ? v : std::min(d.lo, v);
            d.hi = d.count == 0 ? v : std::max(d.hi, v);
            ++d.count;
        }
        const WorstCall w = worst_call(run, row);
        const auto at = std::upper_bound(worst.begin(), worst.end(), w, worse);
        if (static_cast<std::size_t>(at - worst.begin()) < options_.worst) {
            worst.insert(at, w);
            if (worst.size() > options_.worst) worst.pop_back();
        }
        if (row[sweep_column("runaway")] == "1") {
            if (runaway.size() < kMaxListed) runaway.push_back(run.folder + " call " + row[sweep_column("call")]);
            if (!ran_away) ++runaway_runs;
            ran_away = true;
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
        else if (sample_ && !sample_->empty())
            groups.push_back(sample_->group());
    } else if (candidate_runs_ == 1 && groups.empty() && first_run_) {
        if (!single_runs_) single_runs_.emplace("all runs");
        if (single_runs_->offer(first_run_->t.size())) single_runs_->take(std::move(first_run_));
    }
    if (!groups.empty()) single_runs_.reset();
    sample_.reset();
    first_run_.reset();
    candidate_runs_ = 0;
}

void SweepStatistics::finish() {
    close_scenario();
    if (groups.empty() && single_runs_ && !single_runs_->empty()) groups.push_back(single_runs_->group());
    for (const MetricRange& d : all_metrics_) {
        if (d.not_finite > 0) not_finite.push_back(d);
        if (d.count > 0) distributions.push_back(d);
    }
}

}  // namespace veltrax::experiments::report_parts
