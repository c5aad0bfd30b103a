// SPDX-License-Identifier: LGPL-2.1-or-later
// Snapshots: the whole state of one simulation as bytes, the format of the
// plug-ins' 'getstate' and of the command-line tool's --save-state. A
// snapshot carries a format version, byte-order and floating-point marks, its
// build and a checksum; Simulation::save_state and load_state write and read
// it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/build.hpp"

namespace veltrax {

struct SnapshotInfo {
    Build build = Build::Base;
    unsigned format_version = 0;
};

// What a valid snapshot holds (its build and format version). Throws Error
// "veltrax:badSnapshot" (truncated, corrupted, foreign, of a newer format
// version or with values out of range; the message says which check failed).
SnapshotInfo check_snapshot(const std::vector<std::uint8_t>& snapshot);

// The bytes of a snapshot file, not yet checked. Throws Error
// "veltrax:fileError" when it cannot be read, "veltrax:badSnapshot" when it is
// larger than 16 MiB (no snapshot is).
std::vector<std::uint8_t> read_snapshot_file(const std::string& path);

}  // namespace veltrax
