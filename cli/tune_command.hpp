// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax tune SCENARIO [-o OUTDIR]: the settings of the scenario's "tune"
// block chosen over its population, and the result on a validation
// population beside the scenario's own settings.
#pragma once

#include <string>

namespace veltrax::cli {

struct TuneArgs {
    std::string scenario;
    std::string output;  // empty: write nothing
    unsigned threads = 0;
};

// Returns the exit status.
int tune_command(const TuneArgs& args);

}  // namespace veltrax::cli
