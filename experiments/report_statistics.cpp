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

BandGroup make_group(const std::string& title, std::vector<FirstCall>&& calls, std::size_t runs) {
    BandGroup g;
    g.title = title;
    g.runs = runs;
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

void EvenSelection::offer(std::optional<FirstCall>&& call) {
    if (wants_next() && call) {
        kept_.push_back(std::move(*call));
        const std::size_t limit = std::max<std::size_t>(2, kMaxBandValues / (4 * std::max<std::size_t>(1, kept_[0].t.size())));
        if (kept_.size() >= 2 * limit) {
            for (std::size_t i = 1; 2 * i < kept_.size(); ++i) kept_[i] = std::move(kept_[2 * i]);
            kept_.resize((kept_.size() + 1) / 2);
            stride_ *= 2;
        }
    }
    ++offered_;
}

std::vector<FirstCall> EvenSelection::take() {
    std::vector<FirstCall> k = std::move(kept_);
    *this = EvenSelection();
    return k;
}

SweepStatistics::SweepStatistics(const ReportOptions& options, bool manifest) : options_(options), manifest_(manifest) {
    const std::vector<std::string>& columns = sweep_columns();
    for (std::size_t i = sweep_column("samples") + 1; i < columns.size(); ++i)
        if (columns[i] != "steps" && columns[i] != "runaway") all_metrics_.push_back({columns[i], {}});
}

bool SweepStatistics::wants_first_call(const std::string& scenario) const {
    return groups.size() < kMaxBandGroups && (scenario != scenario_ || candidates_.wants_next());
}

void SweepStatistics::add(const RunEntry& run) {
    if (run.scenario != scenario_ || scenario_count == 0) {
        close_scenario();
        if (scenarios.size() < kMaxListed) scenarios.push_back({run.scenario, run.controller, run.description});
        ++scenario_count;
    } else if (!scenarios.empty() && scenarios.back()[0] == run.scenario) {
        if (scenarios.back()[1].empty()) scenarios.back()[1] = run.controller;
        if (scenarios.back()[2].empty()) scenarios.back()[2] = run.description;
    }
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
    if (run.first_call || (run.status == Status::ok && number(run.rows.front(), "samples") > 0)) {
        std::optional<FirstCall> call = run.first_call;  // none: not read, or not chosen
        candidates_.offer(std::move(call));
        ++candidate_runs_;
    }
}

// The calls that ran: their metrics, the worst, the run-away ones.
void SweepStatistics::add_calls(const RunEntry& run) {
    bool ran_away = false;
    for (const std::vector<std::string>& row : run.rows) {
        if (row[sweep_column("samples")].empty()) continue;  // no call ran
        for (MetricValues& d : all_metrics_) {
            const std::string& field = row[sweep_column(d.metric)];
            const double v = number(field);
            if (std::isfinite(v))
                d.values.push_back(v);
            else if (!field.empty())
                ++d.not_finite;
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
    std::vector<FirstCall> calls = candidates_.take();
    if (candidate_runs_ >= 2) {
        if (groups.size() == kMaxBandGroups)
            ++skipped_groups;
        else if (!calls.empty())
            groups.push_back(make_group(scenario_, std::move(calls), candidate_runs_));
    } else if (candidate_runs_ == 1 && groups.empty() && !calls.empty()) {
        single_runs_.offer(std::move(calls.front()));
    }
    if (!groups.empty()) single_runs_.take();
    candidate_runs_ = 0;
}

void SweepStatistics::finish() {
    close_scenario();
    if (groups.empty()) {
        const std::size_t runs = single_runs_.offered();
        std::vector<FirstCall> calls = single_runs_.take();
        if (!calls.empty()) groups.push_back(make_group("all runs", std::move(calls), runs));
    }
    for (MetricValues& d : all_metrics_) {
        if (d.not_finite > 0) not_finite.push_back({d.metric, {}, d.not_finite});
        if (!d.values.empty()) distributions.push_back(std::move(d));
    }
}

}  // namespace veltrax::experiments::report_parts
