// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/report_assets.hpp"

namespace veltrax::experiments {

const std::vector<ReportAsset>& report_assets() {
    static const std::vector<ReportAsset> assets = {
#if __has_include("experiments/report_assets.inc")
#include "experiments/report_assets.inc"
#endif
    };
    return assets;
}

}  // namespace veltrax::experiments
