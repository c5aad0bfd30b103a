// SPDX-License-Identifier: LGPL-2.1-or-later
// The sweep report over an output folder of runs written by the library: a
// population of three (one ok, one missing, one failed), a plain run that ran
// away, a damaged run and one the manifest does not list.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "experiments/format.hpp"
#include "experiments/report.hpp"
#include "experiments/report_parts.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/strict_json.hpp"
#include "experiments/sweep.hpp"

using namespace veltrax;
using namespace veltrax::experiments;
namespace fs = std::filesystem;

namespace {

using Row = std::map<std::string, std::string>;

// sweep.csv as rows of named fields; quoted fields may hold commas and "".
std::vector<Row> read_csv(const std::string& text) {
    std::vector<std::vector<std::string>> lines(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            lines.back().back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            lines.back().emplace_back();
        } else if (!quoted && c == '\n') {
            lines.emplace_back(1);
        } else {
            lines.back().back() += c;
        }
    }
    lines.pop_back();  // after the last newline
    std::vector<Row> rows;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].size(), lines[0].size()) << "row " << i;
        Row r;
        for (std::size_t j = 0; j < lines[0].size() && j < lines[i].size(); ++j) r[lines[0][j]] = lines[i][j];
        rows.push_back(r);
    }
    return rows;
}

class Sweep : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("veltrax_report_test_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const fs::path& rel, const std::string& text) {
        fs::create_directories((dir_ / rel).parent_path());
        std::ofstream(dir_ / rel) << text;
    }
    std::string read(const fs::path& rel) {
        std::ifstream in(dir_ / rel);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // A run of one call of the built-in model, ten rows at r = 0.5 and
    // y = 0.5 but `last` in the last row.
    static RunResult run(const std::string& scenario, double last) {
        const CallSetup setup = call_setup_of_inputs({Matrix::row({10, 0.1, 2, 0, 3, 3, 0, 10, 0.1}), Matrix::row({70, 6.5}),
                                                   Matrix(1, 0), Matrix::row({50, 0.505, 2.98, 4})});
        std::vector<Matrix> out = {Matrix(10, 1), Matrix(10, 5), Matrix(10, 6), Matrix(10, 5), Matrix(3, 1)};
        for (std::size_t i = 0; i < 10; ++i) {
            out[0](i, 0) = static_cast<double>(i);
            out[1](i, 0) = 0.5;
            out[1](i, 2) = i == 9 ? last : 0.5;
        }
        RunResult r;
        r.scenario = scenario;
        r.path = scenario + ".json";
        r.calls.push_back(call_result(1, setup, std::move(out)));
        return r;
    }
    void store(const RunResult& r) {
        write_run_folder(check_run_place(dir_ / run_folder(r.scenario, r.individual_index())), r);
    }

    fs::path dir_;
};

}  // namespace

TEST_F(Sweep, ReportMergesTheMetricsOfTheRunsAndSaysWhatIsMissing) {
    write_manifest(dir_, {{{"pop", 3}, {"plain", 0}, {"broken", 0}}});
    const Population p =
        parse_population(parse_json_strict(R"({"size": 3, "seed": 9, "body_mass": {"dist": "normal", "mean": 70, "sd": 5}})"));
    RunResult one = run("pop", 0.5);
    one.individual = drawn_individual(p, draw_individual(p, 1));
    store(one);
    RunResult three = run("pop", 0.5);
    three.calls.clear();
    three.individual = drawn_individual(p, draw_individual(p, 3));
    three.failure = RunFailure{1, "veltrax:badDeadTime", "dead time 8, b_order 3: d + nb > 9"};
    store(three);
    store(run("plain", 1.0));  // runs away in its last row
    store(run("broken", 0.5));
    write("broken/metrics.csv", "scenario,individual\nbroken,\n");
    store(run("stray", 0.5));
    // A run folder of the version before the runaway column.
    const std::string stray = read("stray/metrics.csv");
    write("stray/metrics.csv", std::regex_replace(stray, std::regex(",[^,\n]*\n"), "\n"));
    // The report takes each run's metrics as written: an edited value shows.
    const std::string plain = read("plain/metrics.csv");
    write("plain/metrics.csv", std::regex_replace(plain, std::regex(",0.5,0.25,"), ",12345,0.25,"));

    ReportOptions no_plots;
    no_plots.plots = false;
    const ReportResult r = write_report(dir_, no_plots);
    EXPECT_EQ(r.expected, 5u);
    EXPECT_EQ(r.ok, 3u);  // pop 1, plain and the run that the manifest does not list
    EXPECT_EQ(r.failed, 1u);
    EXPECT_EQ(r.unreadable, 1u);
    EXPECT_EQ(r.runaway, 1u);
    EXPECT_EQ(r.missing, std::vector<std::string>{"pop/individual_000002"});
    EXPECT_EQ(r.unexpected, std::vector<std::string>{"stray"});

    const std::vector<Row> rows = read_csv(read("sweep.csv"));
    ASSERT_EQ(rows.size(), 6u);
    // Sorted by scenario name (byte order), then individual.
    const std::vector<std::string> order = {"broken", "plain", "pop", "pop", "pop", "stray"};
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].at("scenario"), order[i]);
    EXPECT_EQ(rows[0].at("status"), "unreadable");
    EXPECT_NE(rows[0].at("error_message").find("metrics.csv"), std::string::npos);
    EXPECT_EQ(rows[1].at("iae"), "12345");
    EXPECT_EQ(rows[1].at("runaway"), "1");
    EXPECT_EQ(rows[2].at("individual"), "1");
    EXPECT_EQ(rows[2].at("drawn_body_mass"), format_number(draw_individual(p, 1).values[0]));
    EXPECT_EQ(rows[2].at("runaway"), "0");
    EXPECT_EQ(rows[3].at("status"), "missing");
    EXPECT_EQ(rows[4].at("status"), "failed");
    EXPECT_EQ(rows[4].at("error_message"), "dead time 8, b_order 3: d + nb > 9");
    EXPECT_EQ(rows[5].at("status"), "ok");
    EXPECT_EQ(rows[5].at("runaway"), "");

    const std::string page = read("report.html");
    EXPECT_NE(page.find("5 runs expected (sweep.json), 5 found: 3 ok, 1 failed, 1 unreadable, 1 missing"),
              std::string::npos);
    EXPECT_NE(page.find("Run-away calls (1)"), std::string::npos);
    EXPECT_NE(page.find("plain call 1"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
}

// Beyond 1000 runs the bands are a bounded sample, while the charts keep
// the group's first runs, named, to draw one at a time.
TEST(ReportBands, SampleOfManyRunsStaysBoundedAndListsTheFirstRuns) {
    report_parts::BandSample sample("pop");
    for (int run = 0; run < 1500; ++run) {
        if (!sample.offer(10)) continue;
        report_parts::FirstCall call;
        call.t = call.setpoint = call.u = std::vector<double>(10);
        call.y = std::vector<double>(10, run);
        call.run = std::to_string(run);
        sample.take(std::move(call));
    }
    const report_parts::BandGroup g = sample.group();
    EXPECT_EQ(g.runs, 1500u);
    EXPECT_EQ(g.sampled, report_parts::kMaxBandRuns);
    ASSERT_EQ(g.listed.size(), report_parts::kListedRuns);
    EXPECT_EQ(g.listed.front().run, "0");
    EXPECT_EQ(g.listed.back().run, std::to_string(report_parts::kListedRuns - 1));
}

TEST_F(Sweep, ManifestOfAnotherSweepIsRefused) {
    const SweepManifest m{{{"a", 0}, {"pop", 10}}};
    write_manifest(dir_, m);
    write_manifest(dir_, m);  // every shard writes the same one
    EXPECT_EQ(read_manifest(dir_).scenarios.size(), 2u);
    try {
        write_manifest(dir_, {{{"a", 0}}});
        ADD_FAILURE() << "overwrote another sweep's manifest";
    } catch (const Error& e) {
        EXPECT_EQ(e.id(), "veltrax:badSweep");
    }
    write("sweep.json", R"({"sweep": 1, "scenarios": [{"name": "../up"}]})");
    EXPECT_THROW(write_report(dir_), Error);
}

TEST_F(Sweep, OnlyOneOfSweepsStartedAtOnceTakesTheFolder) {
    for (int round = 0; round < 10; ++round) {
        const fs::path out = dir_ / std::to_string(round);
        std::atomic<int> ready{0}, taken{0};
        std::vector<std::thread> sweeps;
        for (int t = 0; t < 4; ++t)
            sweeps.emplace_back([&, t] {
                for (++ready; ready < 4;) std::this_thread::yield();
                try {
                    write_manifest(out, {{{"scenario_" + std::to_string(t), 0}}});
                    ++taken;
                } catch (const Error& e) {
                    EXPECT_EQ(e.id(), "veltrax:badSweep") << e.what();
                }
            });
        for (std::thread& s : sweeps) s.join();
        EXPECT_EQ(taken, 1) << "round " << round;
        EXPECT_EQ(read_manifest(out).scenarios.size(), 1u);
    }
}

// 1500 runs whose y is (k - 1) / 1499 throughout: the bands are taken over a
// fixed sample of 1000, close to the percentiles of all runs, the same every time.
TEST_F(Sweep, BandsOfManyRunsAreTakenOverAFixedSample) {
    if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) GTEST_SKIP() << "gnuplot not installed";
    const std::size_t n = 1500;
    write_manifest(dir_, {{{"pop", n}}});
    const Population p = parse_population(parse_json_strict(R"({"size": 1500, "seed": 9})"));
    RunResult first = run("pop", 0.5);
    first.individual = drawn_individual(p, draw_individual(p, 1));
    store(first);
    const std::string metrics = read("pop/individual_000001/metrics.csv");
    const std::string time = read("pop/individual_000001/call1_time.csv");
    for (std::size_t k = 1; k <= n; ++k) {
        const fs::path folder = fs::path("pop") / individual_folder(k);
        std::string trajectory = "setpoint,u,y,static_gain,v\n";
        for (int i = 0; i < 10; ++i) trajectory += "0.5,0," + format_number((k - 1) / 1499.0) + ",0,0\n";
        write(folder / "call1_trajectory.csv", trajectory);
        write(folder / "call1_time.csv", time);
        write(folder / "metrics.csv", metrics);
        write(folder / "summary.json", "{}");
    }
    write_report(dir_);
    const std::string page = read("report.html"), script = read("report.gp");
    EXPECT_NE(page.find("pop: 1500 runs; percentiles over a uniform sample of 1000 of them"), std::string::npos);
    const std::size_t row = script.find("\n0 0.5 ", script.find("$band1"));
    ASSERT_NE(row, std::string::npos);
    std::istringstream values(script.substr(row + 7));
    double y5, y50, y95;
    values >> y5 >> y50 >> y95;
    EXPECT_NEAR(y5, 0.05, 0.03);
    EXPECT_NEAR(y50, 0.5, 0.03);
    EXPECT_NEAR(y95, 0.95, 0.03);
    write_report(dir_);
    EXPECT_EQ(read("report.gp"), script);
}
