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
#include <utility>
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
// A band's percentiles are taken over at most this many runs (all of them
// up to there), fewer for long calls: about kBandValues samples of y and of
// u each, and at least kMinBandRuns runs.
constexpr std::size_t kMaxBandRuns = 1000;
constexpr std::size_t kMinBandRuns = 100;
constexpr std::size_t kBandValues = std::size_t{1} << 22;
// Runs of a band group the interactive charts can draw one by one.
constexpr std::size_t kListedRuns = 20;

enum class Status { ok, failed, missing, unreadable };
const char* status_name(Status s);

// What stops the report: ReportOptions' hook, asked between runs and while
// waiting; throws veltrax::Error "veltrax:interrupted" when it says so.
struct Cancel {
    bool (*cancelled)(void*) = nullptr;
    void* context = nullptr;
    bool operator()() const { return cancelled && cancelled(context); }
    void check() const;
};

// ---- load -----------------------------------------------------------------

// The first call's time column, set-point, y and u, for the band plots.
struct FirstCall {
    std::vector<double> t, setpoint, y, u;
    std::string run;  // the run's folder name, NAME or NAME/individual_K
    // Windows of its disturbances and changes (summary.json), for the plots.
    std::vector<std::pair<double, double>> disturbances;
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
// NetCDF store's shard files. Memory: one run at a time, and a bit per
// individual found (at most kMaxPopulationSize per scenario).
class SweepFolder {
public:
    // Throws veltrax::Error "veltrax:badSweep" when OUTDIR or its manifest
    // cannot be read, or OUTDIR holds both run folders and shard files of
    // the sweep; the store's errors (experiments/netcdf_store.hpp).
    explicit SweepFolder(std::filesystem::path outdir);
    ~SweepFolder();

    bool has_manifest() const { return manifest_.has_value(); }
    const std::optional<SweepManifest>& manifest() const { return manifest_; }
    std::size_t expected() const { return expected_; }
    // The shard files read, empty for run folders.
    std::vector<std::string> store_files() const;

    // Calls `visit` for every run in order, with the entry read from its
    // folder. `wants_first_call(run)` says whether to read the first call's
    // trajectory of an ok run (its rows are read). Asks `cancel` before
    // every run.
    void for_each_run(const std::function<bool(const RunEntry&)>& wants_first_call,
                      const std::function<void(RunEntry&&)>& visit, const Cancel& cancel) const;

private:
    struct Visit;
    void visit_scenario(const std::string& name, std::uint64_t listed, bool listed_plain, const Visit& v) const;
    // The same from the store (report_load_store.cpp).
    void for_each_stored_run(const std::function<bool(const RunEntry&)>& wants_first_call,
                             const std::function<void(RunEntry&&)>& visit, const Cancel& cancel) const;

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

// Per sample: t, the set-point of the group's first run, and 5, 50 and 95 %
// of y and of u over the runs.
using BandRow = std::array<double, 8>;

struct BandGroup {
    std::string title;
    std::size_t runs = 0;       // ok runs of the group's length
    std::size_t sampled = 0;    // of them, those the percentiles are taken over
    std::size_t left_out = 0;   // ok runs of another length
    std::vector<BandRow> rows;
    // Windows of the first run's disturbances and changes, shaded in the plots.
    std::vector<std::pair<double, double>> disturbances;
    // The group's first kListedRuns runs (t and set-point left empty), which
    // the interactive charts offer to draw over the bands.
    std::vector<FirstCall> listed;
};

// The ok runs' first calls of one length, or a uniform sample of them:
// every run while there are at most `capacity`, then each later run i
// (counting from 1) replaces a kept one with probability capacity / i
// (reservoir sampling, from a fixed seed: the same runs give the same
// sample). Keeps the first run's time and set-point.
class BandSample {
public:
    explicit BandSample(std::string title) : title_(std::move(title)) {}

    bool empty() const { return seen_ == 0 && !pending_; }
    std::size_t length() const { return length_; }
    // Whether the report should read an ok run whose first call has
    // `samples` rows: runs of another length are counted as left out.
    bool offer(std::size_t samples);
    // The run offered last, as read; nothing: it could not be read.
    void take(std::optional<FirstCall>&& call);
    // The percentiles over the runs kept.
    BandGroup group() const;

private:
    std::string title_;
    std::size_t length_ = 0, capacity_ = 0;
    std::uint64_t seen_ = 0, left_out_ = 0;
    std::uint64_t random_ = 0x5eedULL;
    std::optional<std::size_t> pending_;  // slot of the run offered last; capacity_: none
    std::vector<double> t_, setpoint_;
    std::vector<std::pair<double, double>> disturbances_;
    std::vector<std::vector<double>> y_, u_;
    std::vector<FirstCall> listed_;  // the first kListedRuns runs taken
};

// The metrics' ranges over all calls: what the histograms need before a
// second pass over sweep.csv counts their bins.
struct MetricRange {
    std::string metric;
    std::size_t count = 0;  // finite values
    double lo = 0.0, hi = 0.0;
    std::size_t not_finite = 0;  // calls that ran with a NaN or infinite value
};

// What the page and the plots show, gathered run by run.
class SweepStatistics {
public:
    // `manifest`: the sweep folder has one, so runs found may be unexpected.
    SweepStatistics(const ReportOptions& options, bool manifest);

    // Whether to read the first call of this ok run for the bands.
    bool wants_first_call(const RunEntry& run);
    // The run, after wants_first_call when it is ok; its first call is taken.
    void add(RunEntry& run);
    // Scenarios without band plots: sensitivity designs, whose runs are
    // points of a design rather than a population.
    std::vector<std::string> no_bands;
    // After the last run.
    void finish();

    std::size_t ok = 0, failed = 0, unreadable = 0;
    std::vector<std::string> missing, unexpected;   // the first kMaxListed
    std::size_t missing_count = 0, unexpected_count = 0;
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
    std::vector<MetricRange> distributions;    // metrics with values
    std::vector<MetricRange> not_finite;       // metrics with NaN or infinite values

private:
    void add_calls(const RunEntry& run);
    void close_scenario();

    ReportOptions options_;
    bool manifest_;
    std::vector<MetricRange> all_metrics_;
    std::string scenario_;                  // the scenario whose runs come now
    std::string counted_scenario_;          // the last one counted in `scenarios`
    void switch_to(const std::string& scenario);

    bool banded(const std::string& scenario) const;  // not one of no_bands
    std::optional<BandSample> sample_;      // its ok runs' first calls
    std::size_t candidate_runs_ = 0;        // its ok runs with samples
    std::optional<FirstCall> first_run_;    // the first of them
    std::optional<BandSample> single_runs_; // first calls of scenarios with one ok run
};

// ---- tables ---------------------------------------------------------------

// sweep.csv, written run by run.
class SweepTable {
public:
    SweepTable(const std::filesystem::path& path, const std::filesystem::path& shown);
    void add(const RunEntry& run);
    void close() { file_.close(false); }

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

// Where the report's files are made before they are put in place.
struct ReportFolder {
    std::filesystem::path work;    // a hidden folder of this report in OUTDIR
    std::filesystem::path outdir;  // as given, for messages
};

// Writes report.gp into the work folder, counting the histograms' bins in a
// second pass over its sweep.csv, and runs gnuplot there. The PNG files
// made are named in `pngs`.
// The bins of one metric's histogram over [lo, hi]: 20 of equal width, one
// when they are equal.
struct Histogram {
    const MetricRange* range;
    std::size_t column;
    std::size_t bins;
    double width;
    std::vector<std::size_t> count;

    explicit Histogram(const MetricRange& r);
    void add(double x);
    double center(std::size_t b) const;
};
// The bins of stats.distributions, counted in one pass over the calls' rows
// of `table` (sweep.csv).
std::vector<Histogram> histograms(const std::filesystem::path& table, const SweepStatistics& stats,
                                  const Cancel& cancel);

void write_plots(const ReportFolder& folder, const SweepStatistics& stats, const std::vector<Histogram>& bins,
                 const Cancel& cancel, std::vector<std::string>& pngs);

// ---- charts ---------------------------------------------------------------

// Writes report_assets/ (the charting library, the page's script and
// report_data.js) into the work folder, naming what it made in `files`;
// false in a build without the library, which writes nothing.
bool write_charts(const ReportFolder& folder, const SweepStatistics& stats, const std::vector<Histogram>& bins,
                  std::vector<std::string>& files);
// The page's part for the charts: the scripts to load, or why there are none.
std::string charts_section(bool charts);

// A gnuplot string in single quotes.
std::string gp_string(const std::string& s);

// ---- sections of sensitivity designs and tunings --------------------------

// A section of the page and, with plots, the gnuplot script of its PNG files.
struct ExtraSection {
    std::string html;
    std::vector<std::string> tables;  // files it made in the work folder ("sensitivity.csv")
    std::string script;               // file name of the script ("sensitivity.gp"); empty: no plots
    std::string gnuplot;              // its text
    std::vector<std::string> pngs;    // the files it draws
};

// The sweep's sensitivity designs (sweep.json), analysed from the sweep.csv
// just made in the work folder: makes sensitivity.csv there (in `tables`);
// the indices as tables and plots (bars with intervals, Morris mu*-sigma).
ExtraSection sensitivity_section(const ReportFolder& folder, const std::optional<SweepManifest>& manifest, bool plots);

// A tuning's folder (OUTDIR/tune.json): settings, objectives, the history
// and the validation population's bands with the default and the chosen
// settings.
ExtraSection tuning_section(const std::filesystem::path& outdir, bool plots);

// Writes the section's script into the work folder and runs gnuplot there.
void write_section_plots(const ReportFolder& folder, const ExtraSection& section, const Cancel& cancel);

// ---- page -----------------------------------------------------------------

// `plots`: the PNG files are there; `charts`: report_assets/ is;
// `comparisons`: the comparison part's section; `extra`: HTML of further
// sections, after the standard ones.
std::string report_page(const SweepStatistics& stats, const ReportResult& result, bool plots, bool charts,
                        const std::string& comparisons = "", const std::string& extra = "");

}  // namespace veltrax::experiments::report_parts
