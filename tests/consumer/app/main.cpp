// SPDX-License-Identifier: LGPL-2.1-or-later
// Named settings and their positional inputs give the same bits; a bad field
// is rejected by name.
#include <cstdio>
#include <cstring>

#include "api/veltrax.hpp"

int main() {
    veltrax::Settings settings;  // the typical call
    settings.samples = 120;
    settings.noise = {veltrax::NoiseKind::Gaussian, 0.01};
    veltrax::RunOptions options;
    options.threads = 1;
    veltrax::Simulation named(veltrax::Build::Base), positional(veltrax::Build::Base);
    const std::vector<veltrax::Matrix> a = named.call(settings, options);
    const std::vector<veltrax::Matrix> b = positional.call(veltrax::inputs_of(settings), 5, options);
    for (std::size_t k = 0; k < a.size(); ++k)
        if (a[k].data.size() != b[k].data.size() ||
            std::memcmp(a[k].data.data(), b[k].data.data(), a[k].data.size() * sizeof(double)) != 0) {
            std::fprintf(stderr, "output %zu: named and positional calls differ\n", k + 1);
            return 1;
        }
    settings.dead_time = -1;
    try {
        named.call(settings);
        std::fprintf(stderr, "a negative dead time was accepted\n");
        return 1;
    } catch (const veltrax::Error& e) {
        std::printf("%s: %s\n", e.id().c_str(), e.what());
    }
    std::printf("squared error %.17g\n", a[4](0, 0));
    return 0;
}
