// SPDX-License-Identifier: LGPL-2.1-or-later
#include "api/veltrax.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "api/call_request.hpp"
#include "api/files.hpp"
#include "api/internal.hpp"
#include "driver/open_loop.hpp"
#include "driver/run.hpp"
#include "driver/snapshot.hpp"
#include "matprod/matprod.hpp"
#include "numeric/vpow/pow.hpp"

namespace veltrax {

static_assert(Simulation::kMaxSeed == kMaxNoiseSeed);
static_assert(static_cast<int>(Build::Preview) == static_cast<int>(core::Build::Preview) &&
              static_cast<int>(Build::Base) == static_cast<int>(core::Build::Base) &&
              static_cast<int>(Build::PreviewHold) == static_cast<int>(core::Build::PreviewHold));

struct Simulation::State {
    SimulationState core;
    std::unique_ptr<Controller> controller;  // null: the adaptive controller of the build

    State() = default;
    State(const State& other) : core(other.core), controller(other.controller ? other.controller->clone() : nullptr) {}
    State& operator=(const State& other) {
        core = other.core;
        controller = other.controller ? other.controller->clone() : nullptr;
        return *this;
    }
};

SimulationState& SimulationAccess::state(Simulation& sim) { return sim.state_->core; }
const SimulationState& SimulationAccess::state(const Simulation& sim) { return sim.state_->core; }

core::Build core_build(Build build) { return static_cast<core::Build>(static_cast<int>(build)); }

namespace {

core::SetpointSchedule core_schedule(const SetpointSchedule& schedule) {
    core::SetpointSchedule s;
    for (const SetpointStep& step : schedule.steps) s.steps.push_back({step.time, step.value, step.after, step.ramp});
    return s;
}

}  // namespace

core::RunOptions core_options(const RunOptions& options, CoreOptionData& data, bool linear) {
    core::RunOptions o;
    o.threads = options.threads;
    o.progress = options.progress;
    o.progress_context = options.progress_context;
    o.cancelled = options.cancelled;
    o.cancel_context = options.cancel_context;
    o.warning = options.warning;
    o.warning_context = options.warning_context;
    if (options.schedule) {
        data.schedule = core_schedule(*options.schedule);
        o.schedule = &data.schedule;
    }
    if (options.plant_models && !options.plant_models->empty()) {
        check_plant_models(*options.plant_models, !linear);
        data.models = core_plant_models(*options.plant_models);
        o.plant_models = &data.models;
    }
    return o;
}

Matrix::Matrix(std::size_t r, std::size_t c, std::vector<double> values) : rows(r), cols(c), data(std::move(values)) {
    if (data.size() != r * c) throw Error("veltrax:badMatrix", "matrix data does not match its shape");
}

Matrix Matrix::row(std::initializer_list<double> values) { return Matrix(1, values.size(), values); }

Matrix Matrix::column(std::initializer_list<double> values) { return Matrix(values.size(), 1, values); }

namespace {

// The matrices as a host hands its inputs over (a call reads at most five).
struct InputViews {
    InputView views[5];
    int count;
    explicit InputViews(const std::vector<Matrix>& inputs) : count(static_cast<int>(inputs.size())) {
        for (int i = 0; i < count && i < 5; ++i) views[i] = {inputs[i].data.data(), inputs[i].rows, inputs[i].cols};
    }
    CallRequest request(int outputs) const { return call_request(count, views, outputs); }
};

// Outputs as matrices; all five are allocated before any is filled, and
// zeroed in stretches between polls of the cancellation hook.
struct MatrixOutputs {
    const core::RunOptions& options;
    std::vector<Matrix> matrices;
    OutputViews operator()(const OutputShape (&shapes)[kOutputCount]) {
        matrices.resize(kOutputCount);
        for (int k = 0; k < kOutputCount; ++k) {
            matrices[k].rows = shapes[k].rows;
            matrices[k].cols = shapes[k].cols;
            matrices[k].data.reserve(shapes[k].rows * shapes[k].cols);
        }
        for (Matrix& m : matrices) {
            while (m.data.size() < m.rows * m.cols) {
                if (!m.data.empty()) poll_before_run(options, static_cast<long>(shapes[0].rows));
                m.data.resize(std::min(m.rows * m.cols, m.data.size() + kZeroFillStretch), 0.0);
            }
        }
        return {matrices[0].data.data(), matrices[1].data.data(), matrices[2].data.data(), matrices[3].data.data(),
                matrices[4].data.data()};
    }
};

[[noreturn]] void throw_problem(const matprod::Problem& problem) { throw Error(problem.id, problem.message); }

// work(), with the core's errors thrown as the public Error.
template <class Work>
decltype(auto) with_public_errors(Work&& work) {
    try {
        return work();
    } catch (const core::Error& e) {
        throw Error(e.id(), e.what());
    }
}

// The five outputs of a checked request run on `sim`.
std::vector<Matrix> run_request(Build build, SimulationState& sim, const CallRequest& request,
                                const core::RunOptions& options) {
    MatrixOutputs out{options, {}};
    with_public_errors([&] { run_gateway_call(core_build(build), sim, request, out, options); });
    return std::move(out.matrices);
}

// The first max(1, requested) of the five outputs, as a plug-in hands them out.
std::vector<Matrix> first_outputs(std::vector<Matrix>&& all, int requested) {
    all.resize(static_cast<std::size_t>(std::max(1, requested)));
    return std::move(all);
}

CallInfo call_info(const CallRequest& request) {
    const RunConfig& c = request.config;
    CallInfo info;
    info.sample_count = c.sample_count;
    info.a_order = c.a_order;
    info.b_order = c.b_order;
    info.gaussian_noise = c.gaussian_noise;
    info.builtin_model = !c.linear_process;
    return info;
}

}  // namespace

Settings settings_from_inputs(const std::vector<Matrix>& inputs) {
    const InputViews in(inputs);
    return settings_from_inputs(in.count, in.views);
}

std::vector<Matrix> inputs_of(const Settings& s) {
    std::vector<double> params = {static_cast<double>(s.samples), s.control_weight, static_cast<double>(s.dead_time),
                                  s.u_max, static_cast<double>(s.a_order), static_cast<double>(s.b_order),
                                  s.noise.amplitude, static_cast<double>(s.rk4_steps), s.rk4_step};
    if (s.noise.kind == NoiseKind::Gaussian) params.push_back(0.0);
    std::vector<Matrix> in;
    in.emplace_back(1, params.size(), params);
    if (const auto* tf = std::get_if<TransferFunction>(&s.process)) {
        in.emplace_back(1, tf->numerator.size(), tf->numerator);
        in.emplace_back(1, tf->denominator.size(), tf->denominator);
    } else {
        const BodyModel& b = std::get<BodyModel>(s.process);
        in.push_back(Matrix::row({b.body_mass, b.cardiac_output}));
        in.emplace_back(1, 0);
    }
    in.push_back(Matrix::row({s.curve.plant_midpoint, s.curve.midpoint, s.curve.plant_exponent, s.curve.exponent}));
    in.push_back(Matrix::row({s.observer[0], s.observer[1], s.observer[2]}));
    return in;
}

CallInfo check_call(const std::vector<Matrix>& inputs, int outputs) {
    return call_info(InputViews(inputs).request(outputs));
}

CallInfo check_call(const Settings& settings) { return call_info(call_request(settings)); }

SetpointSchedule builtin_setpoint_schedule() {
    SetpointSchedule s;
    for (const core::SetpointStep& step : core::builtin_setpoint_schedule().steps)
        s.steps.push_back({step.time, step.value, step.after, step.ramp});
    return s;
}

double setpoint_in_force(const SetpointSchedule* schedule, double t, double before) {
    static const core::SetpointSchedule builtin = core::builtin_setpoint_schedule();
    double value = before;
    if (schedule)
        core::setpoint_at(core_schedule(*schedule), t, 0.0, &value);
    else
        core::setpoint_at(builtin, t, 0.0, &value);
    return value;
}

void check_setpoint_schedule(const SetpointSchedule& schedule) {
    with_public_errors([&] { check_setpoint_schedule(core_schedule(schedule)); });
}

Simulation::Simulation(Build build) : build_(build), state_(std::make_unique<State>()) {}
Simulation::Simulation(const Controller& controller) : build_(Build::Base), state_(std::make_unique<State>()) {
    state_->controller = controller.clone();
}
Simulation::Simulation(const Simulation& other)
    : build_(other.build_), state_(std::make_unique<State>(*other.state_)) {}
Simulation& Simulation::operator=(const Simulation& other) {
    if (this != &other) {
        build_ = other.build_;
        *state_ = *other.state_;
    }
    return *this;
}
Simulation::Simulation(Simulation&&) noexcept = default;
Simulation& Simulation::operator=(Simulation&&) noexcept = default;
Simulation::~Simulation() = default;

const Controller* Simulation::controller() const { return state_->controller.get(); }

namespace {

// A call of `request` (of `settings`) with a controller of another kind.
std::vector<Matrix> run_controlled(SimulationState& sim, Controller& controller, const CallRequest& request,
                                   const Settings& settings, const RunOptions& options) {
    CoreOptionData data;
    const core::RunOptions o = core_options(options, data, request.config.linear_process);
    MatrixOutputs out{o, {}};
    with_public_errors([&] {
        if (o.schedule) check_setpoint_schedule(*o.schedule);
        const OutputViews views = allocate_outputs(request.config, false, out);
        Observation observation;
        observation.schedule = options.schedule;
        auto control = [&](const core::Observation& c) {
            observation.sample = c.sample;
            observation.time = c.time;
            observation.setpoint = c.setpoint;
            for (int k = 0; k < kPreviewSamples; ++k) observation.preview[k] = c.preview[k];
            observation.measured = c.measured;
            observation.previous_control = c.previous_control;
            observation.sample_period = c.sample_period;
            observation.u_max = c.u_max;
            return controller.control(observation);
        };
        controller.begin_call(settings);
        try {
            run_external_call(sim, request, views, control, o);
        } catch (...) {
            controller.end_call(false);
            throw;
        }
        controller.end_call(true);
    });
    return std::move(out.matrices);
}

}  // namespace

std::vector<Matrix> Simulation::call(const std::vector<Matrix>& inputs, int outputs, const RunOptions& options) {
    const CallRequest request = InputViews(inputs).request(outputs);
    if (state_->controller)
        return first_outputs(
            run_controlled(state_->core, *state_->controller, request, settings_from_inputs(inputs), options), outputs);
    CoreOptionData data;
    return first_outputs(
        run_request(build_, state_->core, request, core_options(options, data, request.config.linear_process)),
        outputs);
}

std::vector<Matrix> Simulation::call(const Settings& settings, const RunOptions& options) {
    if (state_->controller)
        return run_controlled(state_->core, *state_->controller, plant_request(settings, true), settings, options);
    const CallRequest request = call_request(settings);
    CoreOptionData data;
    return run_request(build_, state_->core, request, core_options(options, data, request.config.linear_process));
}

std::vector<Matrix> call_with_core_options(Simulation& sim, const std::vector<Matrix>& inputs, int outputs,
                                           const core::RunOptions& options) {
    const CallRequest request = InputViews(inputs).request(outputs);
    return first_outputs(run_request(sim.build(), state_of(sim), request, options), outputs);
}

std::vector<std::uint8_t> Simulation::save_state() const {
    if (state_->controller)
        throw Error("veltrax:badSnapshot",
                    "a simulation with a controller other than the adaptive one has no snapshot; a Plant's holds "
                    "the plant");
    return save_snapshot(core_build(build_), state_->core);
}

void Simulation::load_state(const std::vector<std::uint8_t>& snapshot) { load_state(snapshot.data(), snapshot.size()); }

void Simulation::load_state(const std::uint8_t* data, std::size_t size) {
    with_public_errors([&] {
        if (!state_->controller) return load_snapshot(core_build(build_), data, size, state_->core);
        // The plant and the loop of any build's snapshot.
        const auto loaded = std::make_unique<SimulationState>();
        load_snapshot(check_snapshot(data, size).build, data, size, *loaded);
        state_->core.config = loaded->config;
        state_->core.run = loaded->run;
        state_->core.plant = loaded->plant;
    });
}

namespace {

[[noreturn]] void file_error(const char* verb, const std::string& path, const std::string& why) {
    throw Error("veltrax:fileError", std::string("cannot ") + verb + " '" + path + "': " + why);
}

// Larger files are no snapshot; they are not read whole.
constexpr std::size_t kMaxSnapshotFile = std::size_t{16} << 20;

// Writes `bytes` to `path` by the project's rule for files (api/files.hpp):
// through a temporary file, flushed to disk and renamed, for a regular file.
void write_file_atomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    FileWriter file(path, "veltrax:fileError");
    file.write(bytes.data(), bytes.size());
    file.commit();
}

}  // namespace

void Simulation::save_state_file(const std::string& path) const { write_file_atomically(path, save_state()); }

void Simulation::load_state_file(const std::string& path) { load_state(read_snapshot_file(path)); }

SnapshotInfo check_snapshot(const std::vector<std::uint8_t>& snapshot) {
    const core::SnapshotInfo info =
        with_public_errors([&] { return check_snapshot(snapshot.data(), snapshot.size()); });
    return {static_cast<Build>(static_cast<int>(info.build)), info.format_version};
}

std::vector<std::uint8_t> read_snapshot_file(const std::string& path) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    const std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
    if (!f) file_error("read", path, std::strerror(errno));
    std::vector<std::uint8_t> bytes;
    std::uint8_t buf[65536];
    for (;;) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
        bytes.insert(bytes.end(), buf, buf + n);
        if (bytes.size() > kMaxSnapshotFile)
            throw Error("veltrax:badSnapshot", "snapshot file '" + path + "' is larger than " +
                                                   std::to_string(kMaxSnapshotFile >> 20) + " MiB: no snapshot");
        if (n < sizeof buf) break;
    }
    if (std::ferror(f.get())) file_error("read", path, std::strerror(errno));
    return bytes;
}

void Simulation::seed_noise(long seed) {
    if (seed < 1 || seed > kMaxSeed)
        throw Error("veltrax:badSeed",
                    "seed must be an integer from 1 to " + std::to_string(kMaxSeed) + ", got " + std::to_string(seed));
    state_->core.plant.noise = noise_state_for_seed(static_cast<std::int32_t>(seed));
}

Matrix call_matprod(const std::vector<Matrix>& inputs, int outputs, const RunOptions& options) {
    const int count = static_cast<int>(inputs.size());
    const matprod::Problem problem =
        matprod::check_shapes(count, outputs, count >= 2 ? inputs[0].cols : 0, count >= 2 ? inputs[1].rows : 0);
    if (problem.id) throw_problem(problem);
    const Matrix& a = inputs[0];
    const Matrix& b = inputs[1];
    const matprod::Problem memory = matprod::check_memory(a.rows, b.cols);
    if (memory.id) throw_problem(memory);
    Matrix r;
    try {
        r.data.reserve(a.rows * b.cols);
    } catch (const std::bad_alloc&) {
        throw_problem(matprod::out_of_memory(a.rows, b.cols));
    }
    r.rows = a.rows;
    r.cols = b.cols;
    r.data.resize(a.rows * b.cols);
    if (!matprod::matrix_product(a.data.data(), b.data.data(), r.data.data(), a.rows, a.cols, b.rows, b.cols,
                                 options.cancelled, options.cancel_context))
        throw_problem(matprod::interrupted());
    return r;
}

namespace {

// One job of a batch, its calls searching on one thread.
BatchResult run_job(const BatchJob& job, const RunOptions& options) {
    BatchResult result;
    try {
        Simulation sim = job.controller ? Simulation(*job.controller) : Simulation(job.build);
        if (!job.initial_state.empty()) sim.load_state(job.initial_state);
        if (job.seed != 0) sim.seed_noise(job.seed);
        const std::size_t calls = std::max(job.calls.size(), job.settings.size());
        for (std::size_t c = 0; c < calls; ++c) {
            RunOptions call_options = options;
            call_options.threads = 1;
            if (c < job.schedules.size() && job.schedules[c]) call_options.schedule = job.schedules[c];
            if (c < job.plant_models.size() && job.plant_models[c]) call_options.plant_models = job.plant_models[c];
            if (c < job.settings.size() && job.settings[c])
                result.outputs.push_back(sim.call(*job.settings[c], call_options));
            else
                result.outputs.push_back(sim.call(c < job.calls.size() ? job.calls[c] : std::vector<Matrix>{}, 5,
                                                  call_options));
        }
    } catch (const Error& e) {
        result.ok = false;
        result.error_id = e.id();
        result.error_message = e.what();
    } catch (const std::bad_alloc&) {
        result.ok = false;
        result.error_id = "veltrax:outOfMemory";
        result.error_message = "not enough memory";
    }
    return result;
}

// Results on their way from the workers to the sink on the calling thread,
// at most `limit` at a time.
struct ResultQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::size_t, BatchResult>> results;
    std::size_t limit = 0;
    unsigned working = 0;  // workers still running
    bool stop = false;     // the sink failed: workers start no further job
};

}  // namespace

// With more than one thread, every thread of the batch computes jobs and the
// calling thread hands their results to the sink, so that a sink that waits
// (writing files, syncing them to disk) leaves no core idle.
void run_batch(const std::vector<BatchJob>& jobs, unsigned threads, const RunOptions& options, const BatchSink& sink) {
    std::atomic<std::size_t> next{0};
    auto cancelled = [&options] { return options.cancelled && options.cancelled(options.cancel_context); };
    CoreOptionData unused;
    RunOptions plain = options;
    plain.schedule = nullptr;
    plain.plant_models = nullptr;
    const unsigned n = std::min<std::size_t>(resolve_threads(threads, core_options(plain, unused)),
                                             std::max<std::size_t>(jobs.size(), 1));
    if (n <= 1) {
        for (std::size_t j = 0; j < jobs.size() && !cancelled(); ++j) sink(j, run_job(jobs[j], options));
        return;
    }
    ResultQueue queue;
    queue.limit = 2 * static_cast<std::size_t>(n);
    auto worker = [&] {
        for (;;) {
            if (cancelled()) break;
            const std::size_t j = next.fetch_add(1);
            if (j >= jobs.size()) break;
            BatchResult result = run_job(jobs[j], options);
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.changed.wait(lock, [&queue] { return queue.results.size() < queue.limit || queue.stop; });
            if (queue.stop) break;
            queue.results.emplace_back(j, std::move(result));
            queue.changed.notify_all();
        }
        const std::lock_guard<std::mutex> lock(queue.mutex);
        --queue.working;
        queue.changed.notify_all();
    };
    std::vector<std::thread> pool;
    pool.reserve(n);
    for (unsigned t = 0; t < n; ++t) {
        try {
            const std::lock_guard<std::mutex> lock(queue.mutex);
            pool.emplace_back(worker);
            ++queue.working;
        } catch (const std::exception&) {
            break;  // the threads that started run the jobs
        }
    }
    if (pool.empty()) {  // no thread could be started: the caller runs the jobs
        for (std::size_t j = 0; j < jobs.size() && !cancelled(); ++j) sink(j, run_job(jobs[j], options));
        return;
    }
    std::exception_ptr sink_failure;
    for (;;) {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.changed.wait(lock, [&queue] { return !queue.results.empty() || queue.working == 0; });
        if (queue.results.empty()) break;
        std::pair<std::size_t, BatchResult> done = std::move(queue.results.front());
        queue.results.pop_front();
        queue.changed.notify_all();
        lock.unlock();
        if (sink_failure) continue;  // results of jobs that were running are dropped
        try {
            sink(done.first, std::move(done.second));
        } catch (...) {
            sink_failure = std::current_exception();
            next.store(jobs.size());
            const std::lock_guard<std::mutex> stop(queue.mutex);
            queue.stop = true;
            queue.changed.notify_all();
        }
    }
    for (std::thread& t : pool) t.join();
    if (sink_failure) std::rethrow_exception(sink_failure);
}

std::string build_info() { return vpow::pow_summary(); }

std::vector<BatchResult> run_batch(const std::vector<BatchJob>& jobs, unsigned threads) {
    std::vector<BatchResult> results(jobs.size());
    run_batch(jobs, threads, RunOptions{}, [&results](std::size_t j, BatchResult&& r) { results[j] = std::move(r); });
    return results;
}

}  // namespace veltrax
