// SPDX-License-Identifier: LGPL-2.1-or-later
// The starting brackets of the move search and its constants.
#pragma once

namespace veltrax {

// Every start's cost must undercut this to replace the move of the previous
// sample period (two units in the last place below 1e30).
constexpr double kInitialBestCost = 9.999999999999997e29;
constexpr double kSearchTolerance = 1e-6;
constexpr int kStartsPerSide = 50;
constexpr int kSearchStarts = 2 * kStartsPerSide;

// Start k of the move search for index 0 .. 99: -50 .. -1, then 1 .. 50.
constexpr int search_start_value(int index) {
    return index < kStartsPerSide ? index - kStartsPerSide : index - kStartsPerSide + 1;
}

// The fast search hands out the starts in chunks of consecutive k.
constexpr int kStartsPerChunk = 5;
constexpr int kSearchChunks = kSearchStarts / kStartsPerChunk;

// What the search of one start found: the abscissa and its cost.
struct StartOutcome {
    double cost;
    double move;
};

}  // namespace veltrax
