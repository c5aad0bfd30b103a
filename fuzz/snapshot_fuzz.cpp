// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target of the snapshot loader. The input is one control byte and
// a snapshot, loaded into a simulation of the chosen build (fresh, or after a
// call). The load must either succeed, and then saving gives the same bytes
// back, a short call runs, and the state it leaves saves to a valid snapshot;
// or throw veltrax::Error "veltrax:badSnapshot" with a message and leave the
// state byte for byte as it was. Anything else aborts.
//
// Control byte:
//   bits 0-1  build: 1 veltrax1, 2 veltrax3, 0 and 3 veltrax2
//   bit 2     the simulation runs a call before the load
//   bit 3     reseal: set the length field and the checksum to fit the bytes,
//             so that mutations reach the checks behind the checksum
//   bits 4-5  the call after a load: linear, linear with Gaussian noise,
//             built-in model, built-in model with Gaussian noise
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/internal.hpp"
#include "driver/snapshot.hpp"

namespace {

using veltrax::Matrix;

// VELTRAX_FUZZ_VERBOSE=1 prints the outcome of each input (triage).
const bool kVerbose = std::getenv("VELTRAX_FUZZ_VERBOSE") != nullptr;

[[noreturn]] void finding(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FINDING: %s %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<Matrix> short_call(unsigned kind) {
    const bool gaussian = kind & 1;
    Matrix p = gaussian ? Matrix::row({2, 0.1, 2, 2, 3, 3, 0.02, 10, 0.5, 0}) : Matrix::row({2, 0.1, 2, 2, 3, 3, 0.02, 10, 0.5});
    if (kind & 2) return {p, Matrix::row({70, 6.48}), Matrix(1, 0), Matrix::row({50, 0.505, 2.98, 4.0})};
    return {p, Matrix::row({1, 0.5}), Matrix::row({1, 3, 3, 1}), Matrix::row({0.404, 0.505, 2.98, 4.0})};
}

void reseal(std::vector<std::uint8_t>& s) {
    const std::size_t framing = veltrax::kSnapshotHeaderSize + veltrax::kSnapshotChecksumSize;
    if (s.size() < framing) return;
    const std::uint32_t body = static_cast<std::uint32_t>(s.size() - framing);
    const std::uint32_t crc = veltrax::snapshot_checksum(s.data(), s.size() - 4);
    for (int i = 0; i < 4; ++i) {
        s[28 + i] = static_cast<std::uint8_t>(body >> (8 * i));
        s[s.size() - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned control = data[0];
    const veltrax::Build build = (control & 3) == 1   ? veltrax::Build::Preview
                                 : (control & 3) == 2 ? veltrax::Build::PreviewHold
                                                      : veltrax::Build::Base;
    std::vector<std::uint8_t> snapshot(data + 1, data + size);
    if (control & 8) reseal(snapshot);

    veltrax::RunOptions one_thread;
    one_thread.threads = 1;
    veltrax::Simulation sim(build);
    if (control & 4) sim.call(short_call(0), 5, one_thread);
    veltrax::SimulationState before;
    std::memcpy(&before, &veltrax::state_of(sim), sizeof before);

    try {
        sim.load_state(snapshot);
    } catch (const veltrax::Error& e) {
        if (kVerbose) std::fprintf(stderr, "rejected: %s\n", e.what());
        if (e.id() != "veltrax:badSnapshot") finding("unexpected error", e.id() + " " + e.what());
        if (std::strlen(e.what()) == 0) finding("error without a message");
        if (std::memcmp(&before, &veltrax::state_of(sim), sizeof before) != 0) finding("rejected snapshot changed the state", e.what());
        return 0;
    }
    if (kVerbose) std::fprintf(stderr, "loaded, call kind %u\n", control >> 4);
    if (sim.save_state() != snapshot) finding("a loaded snapshot saves to other bytes");
    try {
        sim.call(short_call(control >> 4), 5, one_thread);
    } catch (const veltrax::Error& e) {
        finding("call after a load failed", e.id() + " " + e.what());
    }
    try {
        veltrax::check_snapshot(sim.save_state());
    } catch (const veltrax::Error& e) {
        finding("the state after a call saves to a bad snapshot", e.what());
    }
    return 0;
}
