// SPDX-License-Identifier: LGPL-2.1-or-later
// The sweep report over a hand-made output folder: a population of three
// (one ok, one missing, one failed), a plain run and a damaged run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "experiments/report.hpp"
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
    // A run of one call with three rows; r = 0.5, y = 0.5, 0.6, `y3`.
    void run(const fs::path& folder, const std::string& extra, double y3) {
        write(folder / "summary.json", R"({"scenario": "x.json", "build": 2, "ok": true, "calls": [
            {"call": 1, "samples": 3, "inputs": {"params": [3, 0.1, 2, 0, 3, 3, 0, 10, 0.1],
             "numerator": [70, 6.5], "denominator": [], "curve": [50, 0.505, 2.98, 4]},
             "sample_period": 1, "builtin_model": true}])" + extra + "}");
        write(folder / "call1_time.csv", "t\n0\n1\n2\n");
        write(folder / "call1_trajectory.csv",
              "setpoint,u,y,static_gain,v\n0.5,1,0.5,0,0\n0.5,2,0.6,0,0\n0.5,0,"
              + std::to_string(y3) + ",0,0\n");
    }

    fs::path dir_;
};

}  // namespace

TEST_F(Sweep, ReportMergesRunsAndSaysWhatIsMissing) {
    write_manifest(dir_, {{{"pop", 3}, {"plain", 0}, {"broken", 0}}});
    run("pop/individual_000001", R"(, "individual": {"index": 1, "seed": 9, "covariates": {"body_mass": 70.5}})", 0.4);
    write("pop/individual_000003/summary.json", R"({"build": 2, "ok": false, "calls": [],
        "error": {"call": 1, "id": "veltrax:badDeadTime", "message": "dead time 8, b_order 3: d + nb > 9"},
        "individual": {"index": 3, "seed": 9, "covariates": {"body_mass": 61}}})");
    run("plain", "", 0.5);
    run("broken", "", 0.5);
    write("broken/call1_trajectory.csv", "setpoint,u,y,static_gain,v\n0.5,1,0.5,0,0\n");
    run("stray", "", 0.5);

    ReportOptions no_plots;
    no_plots.plots = false;
    const ReportResult r = write_report(dir_, no_plots);
    EXPECT_TRUE(r.manifest);
    EXPECT_EQ(r.expected, 5u);
    EXPECT_EQ(r.ok, 3u);  // pop 1, plain and the run that the manifest does not list
    EXPECT_EQ(r.failed, 1u);
    EXPECT_EQ(r.unreadable, 1u);
    EXPECT_EQ(r.missing, std::vector<std::string>{"pop/individual_000002"});
    EXPECT_EQ(r.unexpected, std::vector<std::string>{"stray"});

    const std::vector<Row> rows = read_csv(read("sweep.csv"));
    ASSERT_EQ(rows.size(), 6u);
    // Sorted by scenario name (byte order), then individual.
    const std::vector<std::string> order = {"broken", "plain", "pop", "pop", "pop", "stray"};
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].at("scenario"), order[i]);

    EXPECT_EQ(rows[0].at("status"), "unreadable");
    EXPECT_NE(rows[0].at("error_message").find("call1_trajectory.csv"), std::string::npos);

    // Individual 1: y = 0.5, 0.6, 0.4 at r = 0.5, T = 1. IAE 0.2, ISE 0.02;
    // PE 0, 20, -20: MDPE 0, MDAPE 20, wobble 20; |PE| rises 10 per row, 600 an hour.
    const Row& one = rows[2];
    EXPECT_EQ(one.at("individual"), "1");
    EXPECT_EQ(one.at("call"), "1");
    EXPECT_EQ(one.at("status"), "ok");
    EXPECT_EQ(one.at("dead_time"), "2");
    EXPECT_EQ(one.at("body_mass"), "70");
    EXPECT_EQ(one.at("drawn_body_mass"), "70.5");
    EXPECT_EQ(one.at("drawn_cardiac_output"), "");
    EXPECT_NEAR(std::stod(one.at("iae")), 0.2, 1e-12);
    EXPECT_NEAR(std::stod(one.at("ise")), 0.02, 1e-12);
    EXPECT_EQ(one.at("total_control"), "3");
    EXPECT_EQ(one.at("mdpe"), "0");
    EXPECT_NEAR(std::stod(one.at("mdape")), 20.0, 1e-9);
    EXPECT_NEAR(std::stod(one.at("wobble")), 20.0, 1e-9);
    EXPECT_NEAR(std::stod(one.at("divergence")), 600.0, 1e-9);
    EXPECT_EQ(one.at("max_overshoot"), "NaN");  // no set-point change

    EXPECT_EQ(rows[3].at("individual"), "2");
    EXPECT_EQ(rows[3].at("status"), "missing");
    EXPECT_EQ(rows[3].at("iae"), "");
    EXPECT_EQ(rows[4].at("status"), "failed");
    EXPECT_EQ(rows[4].at("call"), "1");
    EXPECT_EQ(rows[4].at("error_id"), "veltrax:badDeadTime");
    EXPECT_EQ(rows[4].at("error_message"), "dead time 8, b_order 3: d + nb > 9");
    EXPECT_EQ(rows[4].at("drawn_body_mass"), "61");

    const std::string page = read("report.html");
    EXPECT_NE(page.find("5 runs expected (sweep.json), 5 found: 3 ok, 1 failed, 1 unreadable, 1 missing"),
              std::string::npos);
    EXPECT_NE(page.find("pop/individual_000002"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
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
