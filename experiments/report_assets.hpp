// SPDX-License-Identifier: LGPL-2.1-or-later
// The files that report.html's interactive charts load from report_assets/:
// the charting library (uPlot, MIT licence, with its licence text), its
// style sheet and the page's own script and style. A build without them
// (experiments/CMakeLists.txt, VELTRAX_REPORT_CHARTS) has none, and the
// page shows the PNG plots alone.
#pragma once

#include <string_view>
#include <vector>

namespace veltrax::experiments {

struct ReportAsset {
    std::string_view name;  // file name in report_assets/
    std::string_view text;
};

const std::vector<ReportAsset>& report_assets();

}  // namespace veltrax::experiments
