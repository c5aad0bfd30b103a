// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's first part for a sweep in the NetCDF store: the manifest's
// runs in order, each from the shard file that holds it, or missing.
#include "experiments/netcdf_store.hpp"
#include "experiments/report_parts.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments::report_parts {

namespace {

RunEntry missing_run(const SweepManifest& m, std::size_t scenario, std::uint64_t individual, const std::string& why) {
    RunEntry run;
    run.scenario = m.scenarios[scenario].name;
    run.individual = individual;
    run.folder = run_folder(run.scenario, individual).string();
    run.listed = true;
    run.rows = {placeholder_fields(run.scenario, individual, "missing", "", why)};
    return run;
}

}  // namespace

void SweepFolder::for_each_stored_run(const std::function<bool(const RunEntry&)>& wants_first_call,
                                      const std::function<void(RunEntry&&)>& visit, const Cancel& cancel) const {
    const SweepManifest& m = *manifest_;
    const std::vector<std::string>& descriptions = store_->descriptions();
    // The manifest's next run: scenario j, individual k (0 without population).
    std::size_t j = 0;
    std::uint64_t k = m.scenarios.empty() || m.scenarios[0].individuals == 0 ? 0 : 1;
    const auto advance = [&] {
        if (m.scenarios[j].individuals != 0 && k < m.scenarios[j].individuals) {
            ++k;
            return;
        }
        ++j;
        k = j < m.scenarios.size() && m.scenarios[j].individuals != 0 ? 1 : 0;
    };
    const auto missing_until = [&](std::size_t scenario, std::uint64_t individual) {
        while (j < m.scenarios.size() && (j < scenario || (j == scenario && k < individual))) {
            cancel.check();
            visit(missing_run(m, j, k, "in no shard file"));
            advance();
        }
    };
    store_->for_each_run([&](StoredRun&& stored) {
        cancel.check();
        missing_until(stored.scenario, stored.individual);
        if (!stored.complete) {
            visit(missing_run(m, stored.scenario, stored.individual, "not complete in " + stored.file));
        } else {
            RunEntry run;
            run.scenario = m.scenarios[stored.scenario].name;
            run.individual = stored.individual;
            run.folder = run_folder(run.scenario, stored.individual).string();
            run.listed = true;
            run.status = stored.ok ? Status::ok : Status::failed;
            run.description = descriptions[stored.scenario];
            run.controller = stored.controller;
            run.rows = std::move(stored.rows);
            if (stored.ok && wants_first_call(run)) {  // runs not sampled for the bands are not read
                StoredSignals s = store_->first_call(stored);
                if (!s.t.empty()) {
                    FirstCall& c = run.first_call.emplace();
                    c.t = std::move(s.t);
                    c.setpoint = std::move(s.setpoint);
                    c.y = std::move(s.y);
                    c.u = std::move(s.u);
                    c.run = run.folder;
                }
            }
            visit(std::move(run));
        }
        if (j < m.scenarios.size()) advance();
    });
    missing_until(m.scenarios.size(), 0);
}

}  // namespace veltrax::experiments::report_parts
