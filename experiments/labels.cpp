// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/labels.hpp"

#include <map>

#include "experiments/sweep_table.hpp"

namespace veltrax::experiments {

ColumnLabel column_label(const std::string& column) {
    static const std::map<std::string, ColumnLabel> labels = {
        {"N", {"sample periods", ""}},
        {"control_weight", {"control weight", ""}},
        {"dead_time", {"dead time", "samples"}},
        {"u_max", {"upper limit of the control", "control"}},
        {"a_order", {"estimated order of A", ""}},
        {"b_order", {"estimated order of B", ""}},
        {"noise_amplitude", {"measurement noise amplitude", "output"}},
        {"substeps_per_sample", {"Runge-Kutta steps per sample", ""}},
        {"rk4_step_size", {"Runge-Kutta step", "time"}},
        {"body_mass", {"body mass", "kg"}},
        {"cardiac_output", {"cardiac output", "l/min"}},
        {"plant_hill_midpoint", {"midpoint of the simulated curve", ""}},
        {"hill_midpoint", {"midpoint of the controller's curve", ""}},
        {"plant_hill_exponent", {"exponent of the simulated curve", ""}},
        {"hill_exponent", {"exponent of the controller's curve", ""}},
        {"samples", {"recorded samples", ""}},
        {"iae", {"integral of absolute error", "output × time"}},
        {"ise", {"integral of squared error", "output² × time"}},
        {"steps", {"set-point changes", ""}},
        {"max_overshoot", {"largest overshoot", "% of the step"}},
        {"max_undershoot", {"largest undershoot", "% of the step"}},
        {"max_settling_time", {"longest settling time", "time"}},
        {"time_in_band", {"time within the settling band", "time"}},
        {"total_control", {"integral of the control", "control × time"}},
        {"peak_control", {"largest control", "control"}},
        {"mdpe", {"median performance error", "%"}},
        {"mdape", {"median absolute performance error", "%"}},
        {"wobble", {"wobble", "%"}},
        {"divergence", {"divergence", "% per model hour"}},
        {"runaway", {"ran away (1) or not (0)", ""}},
    };
    const auto it = labels.find(column);
    if (it != labels.end()) return it->second;
    if (column.rfind("drawn_", 0) == 0) {
        const ColumnLabel l = column_label(column.substr(6));
        return {"drawn " + l.title, l.unit};
    }
    return {column, sweep_column_unit(column)};
}

std::string axis_title(const std::string& column) {
    const ColumnLabel l = column_label(column);
    return l.unit.empty() ? l.title : l.title + " (" + l.unit + ")";
}

}  // namespace veltrax::experiments
