// SPDX-License-Identifier: LGPL-2.1-or-later
// Snapshots: the whole state of one simulation as bytes, to save, restore
// and branch a run.
//
// Layout (integers little-endian whatever the machine; doubles as the eight
// bytes of their IEEE-754 bits, so every value comes back bit for bit):
//
//   offset  size  contents
//    0       8    magic "VLTXSNAP" (a plant's snapshot: "VLTXPLNT")
//    8       2    format version (kSnapshotFormatVersion)
//   10       2    build: 1, 2 or 3 (veltrax1, veltrax2, veltrax3); 0 for a plant
//   12       4    byte-order mark 0x0A0B0C0D
//   16       8    floating-point mark: the bits of kSnapshotFloatMark
//   24       4    number of fields
//   28       4    length of the fields in bytes (L)
//   32       L    the fields, in the order of the list in snapshot.cpp
//   32 + L   4    CRC-32 of bytes 0 .. 32 + L - 1 (the checksum of zlib and PNG)
//
// A field: name length (1 byte), name ("run.sim_time", ...), type (1 byte:
// 1 double, 2 int32, 3 bool as one byte 0 or 1), element count (4 bytes),
// then the elements. Arrays are stored whole, two-dimensional ones row by row.
//
// Format version 2 adds the field "plant.applied", the plant's input delay.
// Version 1 kept only the controller's history of u, from which the delay
// follows whenever the adaptive controller drove the plant; a snapshot is
// written in version 1 whenever that holds, so that the plug-ins' snapshots
// keep their bytes, and a version-1 snapshot loads with the delay derived.
//
// A loader accepts a snapshot only when everything matches: magic, byte order,
// a format version it knows, the floating-point mark, the length, the
// checksum, the build, each field's name, type and count, and every integer
// within the range the simulation relies on. There is one encoding per state:
// saving a loaded snapshot gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/build.hpp"

namespace veltrax {

struct SimulationState;
struct OpenLoopState;

constexpr std::uint16_t kSnapshotFormatVersion = 2;
constexpr std::uint16_t kPlantSnapshotFormatVersion = 1;
constexpr std::size_t kSnapshotHeaderSize = 32;
constexpr std::size_t kSnapshotChecksumSize = 4;
constexpr double kSnapshotFloatMark = -0x1.23456789abcdep+100;

namespace core {
struct SnapshotInfo {
    Build build = Build::Base;
    unsigned format_version = 0;
};
}  // namespace core

// The snapshot of `state`, which belongs to `build`.
std::vector<std::uint8_t> save_snapshot(core::Build build, const SimulationState& state);

// Checks a snapshot completely and tells what it holds. Throws
// Error("veltrax:badSnapshot", message naming the check that failed).
core::SnapshotInfo check_snapshot(const std::uint8_t* data, std::size_t size);

// Replaces `state` by the snapshot when it passes every check and belongs to
// `build`; otherwise throws as check_snapshot does and leaves `state` as it was.
void load_snapshot(core::Build build, const std::uint8_t* data, std::size_t size, SimulationState& state);

// A plant's snapshot: its settings, the loop's time, set-point and sums, the
// plant. load_plant_snapshot throws as check_snapshot does, leaving `state`
// as it was; the settings it does not hold keep their values.
std::vector<std::uint8_t> save_plant_snapshot(const OpenLoopState& state);
void load_plant_snapshot(const std::uint8_t* data, std::size_t size, OpenLoopState& state);

// CRC-32 (reflected polynomial 0xEDB88320, initial value and final xor all ones).
std::uint32_t snapshot_checksum(const std::uint8_t* data, std::size_t size);

}  // namespace veltrax
