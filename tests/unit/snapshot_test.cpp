// SPDX-License-Identifier: LGPL-2.1-or-later
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>

#include "api/internal.hpp"
#include "driver/snapshot.hpp"
#include "golden_cases.hpp"

using namespace veltrax;
using veltrax::testing::curve_default;

namespace {

std::vector<Matrix> linear_call(double n, bool gaussian = false) {
    Matrix p = gaussian ? Matrix::row({n, 0.1, 3, 2, 3, 3, 0.02, 10, 0.5, 0}) : Matrix::row({n, 0.1, 3, 2, 3, 3, 0.02, 10, 0.5});
    return {p, Matrix::row({1}), Matrix::row({1, 3, 3, 1}), curve_default()};
}

bool same_outputs(const std::vector<Matrix>& a, const std::vector<Matrix>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].rows != b[i].rows || a[i].cols != b[i].cols ||
            std::memcmp(a[i].data.data(), b[i].data.data(), a[i].data.size() * sizeof(double)) != 0)
            return false;
    return true;
}

bool same_state(const Simulation& a, const Simulation& b) {
    return std::memcmp(&state_of(a), &state_of(b), sizeof(SimulationState)) == 0;
}

// A simulation of each process and noise kind with histories, hold and preview in use.
Simulation busy(Build b) {
    auto run = [](Build build) {
        Simulation s(build);
        for (const auto& call : veltrax::testing::snapshot_golden_calls()) s.call(call);
        return s;
    };
    static const Simulation made[3] = {run(Build::Preview), run(Build::Base), run(Build::PreviewHold)};
    return made[static_cast<int>(b) - 1];
}

// Expects `snapshot` rejected as badSnapshot with `text` in the message,
// leaving the simulation as it was.
void expect_rejected(const std::vector<std::uint8_t>& snapshot, const std::string& text, Build b = Build::PreviewHold) {
    Simulation sim = busy(b);
    const Simulation before = sim;
    try {
        sim.load_state(snapshot);
        ADD_FAILURE() << "accepted; expected '" << text << "'";
    } catch (const Error& e) {
        EXPECT_EQ(e.id(), "veltrax:badSnapshot");
        EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
    EXPECT_TRUE(same_state(sim, before)) << text;
}

void put_le(std::vector<std::uint8_t>& s, std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rewrites the field length and the checksum after an edit.
std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> s) {
    put_le(s, 28, s.size() - kSnapshotHeaderSize - kSnapshotChecksumSize, 4);
    put_le(s, s.size() - 4, snapshot_checksum(s.data(), s.size() - 4), 4);
    return s;
}

// Offset of the first element of the named field.
std::size_t field_data(const std::vector<std::uint8_t>& s, const std::string& name) {
    std::size_t at = kSnapshotHeaderSize;
    while (at < s.size() - kSnapshotChecksumSize) {
        const std::size_t len = s[at];
        const std::string got(s.begin() + at + 1, s.begin() + at + 1 + len);
        const std::size_t type = s[at + 1 + len];
        std::uint32_t count;
        std::memcpy(&count, &s[at + 2 + len], 4);
        at += 6 + len;
        if (got == name) return at;
        at += count * (type == 1 ? 8 : type == 2 ? 4 : 1);
    }
    ADD_FAILURE() << "no field " << name;
    return 0;
}

}  // namespace

TEST(Snapshot, ChecksumIsCrc32) {
    const char text[] = "123456789";
    EXPECT_EQ(snapshot_checksum(reinterpret_cast<const std::uint8_t*>(text), 9), 0xCBF43926u);
}

// Outputs of a noisy linear call and a model call, then the state.
std::pair<std::vector<std::vector<Matrix>>, std::vector<std::uint8_t>> next_calls(Simulation s) {
    std::vector<std::vector<Matrix>> out;
    out.push_back(s.call(linear_call(3, true)));
    out.push_back(s.call({Matrix::row({3, 0.1, 2, 0, 3, 3, 0.01, 10, 0.5}), Matrix::row({70, 6.48}), Matrix(1, 0),
                          curve_default()}));
    return {out, s.save_state()};
}

// Every byte of the state reaches the snapshot or is padding: a new double
// or array left out of the snapshot leaves a gap of 8 bytes or more, and a
// left-out integer changes what the next calls give.
TEST(Snapshot, StoresEveryFieldOfTheState) {
    const Simulation sim = busy(Build::PreviewHold);
    const std::vector<std::uint8_t> base = sim.save_state();
    const auto expected = next_calls(sim);
    std::size_t gap = 0;
    for (std::size_t b = 0; b <= sizeof(SimulationState); ++b) {
        bool stored = b == sizeof(SimulationState);
        if (!stored) {
            Simulation changed = sim;
            auto* bytes = reinterpret_cast<unsigned char*>(&state_of(changed));
            bytes[b] = bytes[b] == 0;  // keeps bools valid, and turns flags and counters on or off
            stored = changed.save_state() != base;
            if (!stored) {
                const auto got = next_calls(changed);
                EXPECT_TRUE(got.second == expected.second && same_outputs(got.first[0], expected.first[0]) &&
                            same_outputs(got.first[1], expected.first[1]))
                    << "byte " << b << " of SimulationState is not saved but changes the next calls";
            }
        }
        if (stored) {
            EXPECT_LT(gap, 8u) << "bytes " << b - gap << " .. " << b - 1 << " of SimulationState are not saved";
            gap = 0;
        } else {
            ++gap;
        }
    }
}

// Saved by format version 1 (make_golden): still loads, saves to the same
// bytes and continues as the run that wrote it.
TEST(Snapshot, FormatVersion1FileLoadsAndContinues) {
    Simulation loaded(Build::PreviewHold);
    loaded.load_state_file(VELTRAX_GOLDEN_DIR "/v3_snapshot_format1.bin");
    Simulation straight(Build::PreviewHold);
    for (const auto& call : veltrax::testing::snapshot_golden_calls()) straight.call(call);
    EXPECT_EQ(loaded.save_state(), straight.save_state());
    EXPECT_TRUE(same_outputs(loaded.call(linear_call(12)), straight.call(linear_call(12))));
}

// Every seed the API takes gives a state that saves and loads; the seed equal
// to the second generator's modulus leaves that generator at 0.
TEST(Snapshot, SeededStatesLoad) {
    for (long seed : {1L, static_cast<long>(kNoiseModulus2), static_cast<long>(kMaxNoiseSeed)}) {
        Simulation sim(Build::Base);
        sim.seed_noise(seed);
        sim.call(linear_call(5));
        Simulation loaded(Build::Base);
        loaded.load_state(sim.save_state());
        EXPECT_TRUE(same_outputs(loaded.call(linear_call(5)), sim.call(linear_call(5)))) << "seed " << seed;
    }
}

TEST(Snapshot, RejectsBrokenFraming) {
    const std::vector<std::uint8_t> good = busy(Build::PreviewHold).save_state();
    auto edited = [&good](const std::function<void(std::vector<std::uint8_t>&)>& edit) {
        std::vector<std::uint8_t> s = good;
        edit(s);
        return resealed(s);
    };
    expect_rejected(edited([](auto& s) { put_le(s, 12, 0x0D0C0B0Au, 4); }), "other byte order");
    expect_rejected(edited([](auto& s) { put_le(s, 16, 0x3FF0000000000000u, 8); }), "floating-point layout");
    expect_rejected(edited([](auto& s) { put_le(s, 8, 0, 2); }), "format version 0");
    expect_rejected(edited([](auto& s) { put_le(s, 10, 4, 2); }), "names build 4");
    expect_rejected(edited([](auto& s) { put_le(s, 24, 3, 4); }), "has 3 fields");
    expect_rejected(edited([](auto& s) { s[kSnapshotHeaderSize + 1] = 'X'; }),
                    "field 1 is 'Xonfig.sample_count', expected 'config.sample_count'");
    expect_rejected(edited([&](auto& s) { s[field_data(s, "run.sim_time") - 5] = 2; }),
                    "'run.sim_time' holds 1 of type int32, expected 1 of type double");
    expect_rejected(edited([&](auto& s) { s[field_data(s, "ref_preview") - 4] = 19; }), "holds 19 of type double");
    expect_rejected(edited([&](auto& s) { s[field_data(s, "config.linear_process")] = 2; }), "a bool of value 2");
    expect_rejected(edited([](auto& s) { s.insert(s.end() - 4, 0); }), "1 bytes after its last field");
    expect_rejected(edited([](auto& s) { s.erase(s.end() - 6); }), "fields end inside field 'ref_preview'");
}

// Integers the code indexes with or counts on, out of range: what a later
// call would read out of bounds or overflow on.
TEST(Snapshot, RejectsIntegersOutOfRange) {
    const std::vector<std::pair<std::function<void(SimulationState&)>, std::string>> cases = {
        {[](SimulationState& s) { s.run.estimation_hold = 11; }, "'run.estimation_hold' is 11, outside 0 .. 10"},
        {[](SimulationState& s) { s.plant.noise.shuffle_output = -1; }, "'noise.shuffle_output' is -1"},
        {[](SimulationState& s) { s.plant.noise.shuffle_table[31] = -7; }, "'noise.shuffle_table' is -7"},
        {[](SimulationState& s) { s.plant.noise.second_generator_state = -1; }, "'noise.second_generator_state' is -1"},
        {[](SimulationState& s) { s.plant.noise.noise_seed = kNoiseModulus1; }, "'noise.seed' is 2147483563"},
        {[](SimulationState& s) { s.plant.noise.gauss_saved_flag = 2; }, "'noise.gauss_saved_flag' is 2"},
        {[](SimulationState& s) { s.config.a_order = 7; }, "'config.a_order' is 7"},
        {[](SimulationState& s) { s.config.b_order = 8; }, "'config.b_order' is 8, outside 0 .. 7"},
        {[](SimulationState& s) { s.config.dead_time = 7; }, "'config.dead_time' is 7, outside 0 .. 6"},
        {[](SimulationState& s) { s.config.sample_count = -1; }, "'config.sample_count' is -1"},
        {[](SimulationState& s) { s.plant.linear.den_degree = 11; }, "'linear.den_degree' is 11"},
        {[](SimulationState& s) { s.plant.linear.num_degree = 3; }, "'linear.num_degree' is 3, outside 0 .. 2"},
        {[](SimulationState& s) { s.plant.linear.state_order = 10; }, "'linear.state_order' is 10, outside 3 .. 3"},
        {[](SimulationState& s) { s.prediction.len.f_len = 10; }, "prediction lengths do not follow from the orders"},
    };
    for (const auto& [edit, text] : cases) {
        Simulation source = busy(Build::PreviewHold);
        edit(state_of(source));
        expect_rejected(source.save_state(), text);
    }
}

// A folder is refused and no temporary file is left behind; the
// command-line tests cover the other file errors.
TEST(Snapshot, FailedFileWriteLeavesNothing) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("veltrax_snapshot_test_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "target");
    Simulation sim = busy(Build::Base);
    for (const auto& [action, text] : {std::pair<std::function<void()>, std::string>{
                                           [&] { sim.save_state_file((dir / "target").string()); }, "it is a folder"},
                                       {[&] { sim.load_state_file((dir / "target").string()); }, "Is a directory"}}) {
        try {
            action();
            ADD_FAILURE() << "no error; expected " << text;
        } catch (const Error& e) {
            EXPECT_EQ(e.id(), "veltrax:fileError");
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "a temporary file is left";
    fs::remove_all(dir);
}
