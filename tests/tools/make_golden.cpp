// SPDX-License-Identifier: LGPL-2.1-or-later
// Records the outputs of the golden cases, searched the literal way:
// make_golden <directory>.
#include <cstdio>
#include <fstream>

#include "../support/golden_cases.hpp"
#include "../support/golden_io.hpp"
#include "../support/literal_call.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_golden DIRECTORY\n");
        return 2;
    }
    for (const auto& gc : veltrax::testing::golden_cases()) {
        veltrax::Simulation sim(gc.build);
        std::ofstream os(std::string(argv[1]) + "/" + gc.name + ".txt");
        for (const auto& call : gc.calls) veltrax::testing::write_outputs(os, veltrax::testing::literal_call(sim, call));
        std::printf("%s\n", gc.name.c_str());
    }
    veltrax::Simulation sim(veltrax::Build::PreviewHold);
    for (const auto& call : veltrax::testing::snapshot_golden_calls()) sim.call(call);
    sim.save_state_file(std::string(argv[1]) + "/v3_snapshot_format1.bin");
    std::printf("v3_snapshot_format1\n");
    return 0;
}
