// SPDX-License-Identifier: LGPL-2.1-or-later
#include "api/plant.hpp"

#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "api/call_request.hpp"
#include "api/internal.hpp"
#include "api/veltrax.hpp"
#include "driver/open_loop.hpp"
#include "driver/snapshot.hpp"

namespace veltrax {

struct Plant::State {
    Settings settings;
    std::optional<core::SetpointSchedule> schedule;
    OpenLoopState start;  // as made, before its first sample period
    OpenLoopState now;
    // Plant models (shared by copies, never changed) and their state.
    std::shared_ptr<const core::PlantModels> models;
    std::optional<PlantModelRun> models_start, models_now;

    PlantModelRun* run_models() { return models_now ? &*models_now : nullptr; }
    double step(double u) { return step_open_loop(now, u, schedule_or_null(), run_models()); }

    const core::SetpointSchedule* schedule_or_null() const { return schedule ? &*schedule : nullptr; }
};

namespace {

void check_seed(long seed) {
    if (seed < 1 || seed > Simulation::kMaxSeed)
        throw Error("veltrax:badSeed", "seed must be an integer from 1 to " + std::to_string(Simulation::kMaxSeed) +
                                           ", got " + std::to_string(seed));
}

[[noreturn]] void bad_control(double u, const std::string& which) {
    throw Error("veltrax:badControl", which + " must be a finite number, got " +
                                          (std::isnan(u) ? "NaN" : u > 0 ? "Inf" : "-Inf"));
}

}  // namespace

Plant::Plant(const Settings& settings, long seed, const SetpointSchedule* schedule, const PlantModels* models)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    const CallRequest request = plant_request(settings, false);
    if (seed != 0) check_seed(seed);
    if (schedule) {
        check_setpoint_schedule(*schedule);
        core::SetpointSchedule copy;
        for (const SetpointStep& step : schedule->steps) copy.steps.push_back({step.time, step.value, step.after, step.ramp});
        s.schedule = std::move(copy);
    }
    s.settings = settings;
    s.start.config = request.config;
    configure_process(s.start.plant, s.start.config, request.process);
    if (seed != 0) s.start.plant.noise = noise_state_for_seed(static_cast<std::int32_t>(seed));
    if (models && !models->empty()) {
        check_plant_models(*models, settings.builtin_model());
        s.models = std::make_shared<const core::PlantModels>(core_plant_models(*models));
        s.models_start.emplace(*s.models, s.start.plant, s.start.config);
    }
    reset();
}

Plant::Plant(const Plant& other) : state_(std::make_unique<State>(*other.state_)) {}
Plant& Plant::operator=(const Plant& other) {
    if (this != &other) *state_ = *other.state_;
    return *this;
}
Plant::Plant(Plant&&) noexcept = default;
Plant& Plant::operator=(Plant&&) noexcept = default;
Plant::~Plant() = default;

double Plant::reset() {
    state_->now = state_->start;
    state_->models_now = state_->models_start;
    return begin_open_sample(state_->now, state_->schedule_or_null(), state_->run_models());
}

double Plant::reset(long seed) {
    check_seed(seed);
    state_->start.plant.noise = noise_state_for_seed(static_cast<std::int32_t>(seed));
    return reset();
}

double Plant::step(double control) {
    if (!std::isfinite(control)) bad_control(control, "control");
    return state_->step(control);
}

double Plant::time() const { return state_->now.run.sim_time; }
double Plant::setpoint() const { return state_->now.run.setpoint; }
double Plant::process_output() const { return state_->now.plant.process_output; }
double Plant::measured() const { return state_->now.plant.measured_output; }
double Plant::control() const { return state_->now.plant.applied[0]; }
double Plant::disturbance() const { return state_->models_now ? state_->models_now->disturbance() : 0.0; }
const Settings& Plant::settings() const { return state_->settings; }

std::array<double, 3> Plant::sums() const {
    const RunState& r = state_->now.run;
    return {r.sum_sq_error, r.sum_time_abs_error, 60.0 * r.input_integral};
}

namespace {

void no_snapshot_with_models(const std::shared_ptr<const core::PlantModels>& models) {
    if (models) throw Error("veltrax:badPlantModels", "a plant with plant models has no snapshot");
}

}  // namespace

std::vector<std::uint8_t> Plant::save_state() const {
    no_snapshot_with_models(state_->models);
    return save_plant_snapshot(state_->now);
}

void Plant::load_state(const std::vector<std::uint8_t>& snapshot) { load_state(snapshot.data(), snapshot.size()); }

void Plant::load_state(const std::uint8_t* data, std::size_t size) {
    no_snapshot_with_models(state_->models);
    try {
        load_plant_snapshot(data, size, state_->now);
    } catch (const core::Error& e) {
        throw Error(e.id(), e.what());
    }
}

void step_plants(Plant* const* plants, std::size_t count, const double* controls, double* measured) {
    for (std::size_t k = 0; k < count; ++k) {
        if (!plants[k]) throw Error("veltrax:badPlant", "plant " + std::to_string(k) + " is missing");
        if (!std::isfinite(controls[k])) bad_control(controls[k], "control " + std::to_string(k));
    }
    for (std::size_t k = 0; k < count; ++k) {
        Plant::State& s = *plants[k]->state_;
        measured[k] = s.step(controls[k]);
    }
}

}  // namespace veltrax
