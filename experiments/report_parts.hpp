// SPDX-License-Identifier: LGPL-2.1-or-later
// The parts of the sweep report, in the order they work: load (the runs of
// a sweep folder, one at a time), statistics (what the page and the plots
// show, gathered run by run), tables (sweep.csv and the page's tables),
// plots (report.gp and gnuplot) and page (report.html). For report*.cpp only.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/files.hpp"
#include "experiments/population.hpp"
#include "experiments/report.hpp"
#include "experiments/sweep.hpp"

namespace veltrax::experiments {
class NetcdfSweep;
}

namespace veltrax::experiments::report_parts {

constexpr std::size_t kMaxBandGroups = 8;
constexpr std::size_t kMaxListed = 50;
// Values of y, u, t and set-point kept per band group (32 MB): a larger
// group's bands are those of an evenly spread selection of its runs.
constexpr std::size_t kMaxBandValues = std::size_t{1} << 22;

enum class Status { ok, failed, missing, unreadable };
const char* status_name(Status s);

// ---- load -----------------------------------------------------------------

// The first call's time column, set-point, y and u, for the band plots.
struct FirstCall {
    std::vector<double> t, setpoint, y, u;
    std::string run;  // the run's folder name, NAME or NAME/individual_K
};

// One run as the report reads it.
struct RunEntry {
    std::string scenario;
    std::uint64_t individual = 0;
    std::string folder;                          // NAME or NAME/individual_K
    bool listed = false;                         // in the manifest
    Status status = Status::missing;
    std::vector<std::vector<std::string>> rows;  // its rows of sweep.csv, as fields
    std::optional<FirstCall> first_call;         // when asked for and the run is ok
    std::string description;                     // the scenario's, where known
    std::string controller;                      // where known
};

// The runs of a sweep folder: the manifest's and those found, by scenario
// name (byte order) and individual; from its run folders or from its
// NetCDF store's shard files.
class SweepFolder {
public:
    // Throws veltrax::Error "veltrax:badSweep" when OUTDIR or its manifest
    // cannot be read, or OUTDIR holds both run folders and shard files of
    // the sweep; the store's errors (experiments/netcdf_store.hpp).
    explicit SweepFolder(std::filesystem::path outdir);
    ~SweepFolder();

    bool has_manifest() const { return manifest_.has_value(); }
    std::size_t expected() const { return expected_; }
    // The shard files read, empty for run folders.
    std::vector<std::string> store_files() const;

    // Calls `visit` for every run in order, with the entry read from its
    // folder. `wants_first_call(scenario)` says whether to read the first
    // call's trajectory of an ok run.
    void for_each_run(const std::function<bool(const std::string& scenario)>& wants_first_call,
                      const std::function<void(RunEntry&&)>& visit) const;

private:
    void visit_scenario(const std::string& name, std::uint64_t listed, bool listed_plain,
                        const std::function<bool(const std::string&)>& wants_first_call,
                        const std::function<void(RunEntry&&)>& visit) const;
    // The same from the store (report_load_store.cpp).
    void for_each_stored_run(const std::function<bool(const std::string& scenario)>& wants_first_call,
                             const std::function<void(RunEntry&&)>& visit) const;

    std::filesystem::path outdir_;
    std::optional<SweepManifest> manifest_;
    std::size_t expected_ = 0;
    std::unique_ptr<NetcdfSweep> store_;
};

// ---- statistics -----------------------------------------------------------

// A call among the worst: its run, and the values the table shows.
struct WorstCall {
    std::string folder;
    std::string call;
    double iae, ise, max_overshoot, max_settling_time, peak_control;
    std::array<double, kCovariates> covariates;
};

// A failed or unreadable run, as the page lists it.
struct BadRun {
    std::string folder;
    Status status;
    std::string call, error_id, error_message;
};

struct BandGroup {
    std::string title;
    std::vector<FirstCall> calls;  // first calls of the group's ok runs, all of one length
    std::size_t left_out = 0;      // ok runs of another length
    std::size_t runs = 0;          // ok runs, of which `calls` may be a selection
};

// An evenly spread selection of first calls, offered one run after
// another: every stride-th is kept, the stride doubling (every second kept
// one dropped) whenever the kept ones reach twice the limit, which the
// first call's length sets through kMaxBandValues.
class EvenSelection {
public:
    bool wants_next() const { return offered_ % stride_ == 0; }
    void offer(std::optional<FirstCall>&& call);
    std::size_t offered() const { return offered_; }
    std::vector<FirstCall> take();

private:
    std::vector<FirstCall> kept_;
    std::size_t offered_ = 0, stride_ = 1;
};

struct MetricValues {
    std::string metric;
    std::vector<double> values;   // finite values over all calls
    std::size_t not_finite = 0;   // calls that ran with a NaN or infinite value
};

// What the page and the plots show, gathered run by run.
class SweepStatistics {
public:
    // `manifest`: the sweep folder has one, so runs found may be unexpected.
    SweepStatistics(const ReportOptions& options, bool manifest);

    // Whether the runs of `scenario` may still be plotted.
    bool wants_first_call(const std::string& scenario) const;
    void add(const RunEntry& run);
    // After the last run.
    void finish();

    std::size_t ok = 0, failed = 0, unreadable = 0;
    std::vector<std::string> missing, unexpected;
    std::vector<BadRun> bad;                   // the first kMaxListed
    std::size_t bad_count = 0;
    std::vector<std::string> runaway;          // the first kMaxListed, "FOLDER call K"
    std::size_t runaway_count = 0;             // calls
    std::size_t runaway_runs = 0;              // runs with a run-away call
    std::vector<std::array<std::string, 3>> scenarios;  // the first kMaxListed: name, controller, description
    std::size_t scenario_count = 0;
    std::vector<WorstCall> worst;              // sorted, at most options.worst
    std::vector<BandGroup> groups;
    std::size_t skipped_groups = 0;            // scenarios with bands beyond kMaxBandGroups
    std::vector<MetricValues> distributions;   // metrics with values
    std::vector<MetricValues> not_finite;      // metrics with NaN or infinite values (values left empty)

private:
    void add_calls(const RunEntry& run);
    void close_scenario();

    ReportOptions options_;
    bool manifest_;
    std::vector<MetricValues> all_metrics_;
    std::string scenario_;                  // the scenario whose runs come now
    EvenSelection candidates_;              // its ok runs' first calls
    std::size_t candidate_runs_ = 0;        // its ok runs with samples
    EvenSelection single_runs_;             // first calls of scenarios with one ok run
};

// ---- tables ---------------------------------------------------------------

// sweep.csv, written run by run.
class SweepTable {
public:
    explicit SweepTable(const std::filesystem::path& path);
    void add(const RunEntry& run);
    void close() { file_.close(); }

private:
    OutputFile file_;
};

// The page's tables and lists, as HTML.
std::string html_escaped(const std::string& s);
// "<h2>TITLE (TOTAL)</h2>" and the first kMaxListed items after `intro`.
std::string html_list(const std::string& title, const std::vector<std::string>& items, std::size_t total,
                      const std::string& intro = "");
std::string bad_runs_table(const SweepStatistics& stats);
std::string worst_calls_table(const SweepStatistics& stats);

// ---- plots ----------------------------------------------------------------

// Bins of a histogram: 20 of equal width between the least and the largest
// value, one when they are equal.
struct Histogram {
    std::vector<double> centers;
    std::vector<std::size_t> counts;
    double width = 1.0;
};
Histogram histogram_of(std::vector<double> values);

// Writes report.gp (files named in `written`) and runs gnuplot in `outdir`.
void write_plots(const std::filesystem::path& outdir, const SweepStatistics& stats, std::vector<std::string>& written);

// ---- charts ---------------------------------------------------------------

// Writes report_assets/ (the charting library and the page's script) and
// report_data.js; false in a build without the library, which writes
// nothing.
bool write_charts(const std::filesystem::path& outdir, const SweepStatistics& stats, std::vector<std::string>& written);
// The page's part for the charts: the scripts to load, or why there are none.
std::string charts_section(bool charts);

// ---- page -----------------------------------------------------------------

// `plots`: the PNG files are there; `charts`: report_assets/ is;
// `comparisons`: the comparison part's section.
std::string report_page(const SweepStatistics& stats, const ReportResult& result, bool plots, bool charts,
                        const std::string& comparisons = "");

}  // namespace veltrax::experiments::report_parts
