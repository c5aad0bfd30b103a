// SPDX-License-Identifier: LGPL-2.1-or-later
// Prints the power path this process selects and why; with an expectation
// in VELTRAX_EXPECT_POW_PATH (avx512, avx2, scalar, or vector for either
// vector path) it fails when another path is selected. Without one, or with
// "any", it exits 77: skipped.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "numeric/vpow/pow.hpp"

using namespace veltrax::vpow;

int main() {
    const PowPath path = pow_path();
    const char* name = pow_path_name(path);
    std::printf("%s\n%s", pow_summary().c_str(), pow_selection_report().c_str());
    const char* expected = std::getenv("VELTRAX_EXPECT_POW_PATH");
    if (expected == nullptr || *expected == '\0' || std::strcmp(expected, "any") == 0) {
        std::printf("skipped: no power path expected here (VELTRAX_EXPECT_POW_PATH); selected: %s\n", name);
        return 77;
    }
    const bool vector = path == PowPath::Avx2 || path == PowPath::Avx512;
    const bool known = std::strcmp(expected, "vector") == 0 || std::strcmp(expected, "avx512") == 0 ||
                       std::strcmp(expected, "avx2") == 0 || std::strcmp(expected, "scalar") == 0;
    if (!known) {
        std::printf("FAIL: VELTRAX_EXPECT_POW_PATH=%s is not avx512, avx2, scalar, vector or any\n", expected);
        return 1;
    }
    if (std::strcmp(expected, "vector") == 0 ? !vector : std::strcmp(expected, name) != 0) {
        std::printf("FAIL: the %s path is expected on this machine, the %s path was selected (reasons above)\n",
                    expected, name);
        return 1;
    }
    std::printf("selected the expected %s path\n", name);
    return 0;
}
