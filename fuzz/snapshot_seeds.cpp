// SPDX-License-Identifier: LGPL-2.1-or-later
// Writes the seed corpus of snapshot_fuzz: snapshot_seeds DIRECTORY. Real
// snapshots of each build, fresh and after calls of both processes and both
// kinds of noise, behind the control byte of snapshot_fuzz.cpp.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "api/veltrax.hpp"

int main(int argc, char** argv) {
    using veltrax::Build;
    using veltrax::Matrix;
    if (argc != 2) {
        std::fprintf(stderr, "usage: snapshot_seeds DIRECTORY\n");
        return 2;
    }
    const Matrix curve = Matrix::row({0.404, 0.505, 2.98, 4.0});
    const std::vector<Matrix> linear = {Matrix::row({21, 0.1, 3, 2, 3, 3, 0.02, 10, 0.5, 0}), Matrix::row({1}),
                                        Matrix::row({1, 3, 3, 1}), curve};
    const std::vector<Matrix> model = {Matrix::row({4, 0.1, 2, 0, 2, 4, 0.01, 10, 0.5}), Matrix::row({70, 6.48}),
                                       Matrix(1, 0), curve};
    const struct {
        Build build;
        int bits;
        const char* name;
    } builds[] = {{Build::Preview, 1, "v1"}, {Build::Base, 0, "v2"}, {Build::PreviewHold, 2, "v3"}};
    for (const auto& b : builds) {
        veltrax::Simulation sim(b.build);
        const char* stages[] = {"fresh", "linear", "model"};
        for (int stage = 0; stage < 3; ++stage) {
            if (stage == 1) sim.call(linear);
            if (stage == 2) sim.call(model);
            const std::vector<std::uint8_t> s = sim.save_state();
            const std::string path = std::string(argv[1]) + "/" + b.name + "-" + stages[stage];
            std::ofstream out(path, std::ios::binary);
            out.put(static_cast<char>(b.bits | 8 | (stage << 4)));
            out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
            if (!out) {
                std::fprintf(stderr, "snapshot_seeds: cannot write %s\n", path.c_str());
                return 1;
            }
        }
    }
    return 0;
}
