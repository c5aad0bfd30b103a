// SPDX-License-Identifier: LGPL-2.1-or-later
// Host-free C++ interface of the simulation and the matrix product: what the
// plug-ins do, on plain matrices, for programs, tests, the command-line tool
// and language bindings.
//
//   veltrax::Simulation sim(veltrax::Build::Base);    // veltrax2 as just loaded
//   veltrax::Settings settings;                        // the typical call
//   settings.dead_time = 2;
//   std::vector<veltrax::Matrix> out = sim.call(settings);
//   double squared_error = out[4](0, 0);
//
// The plug-ins' positional inputs work too (sim.call({params, num, den,
// curve})) and give the same bits.
//
// Errors: every rejected call throws veltrax::Error, whose id() is the
// identifier the plug-ins report ("veltrax:badOrder", ...) and what() a
// message naming the field of named settings, or the input as the plug-ins
// do for positional ones. A rejected call changes nothing; so does a call whose
// outputs do not fit into memory (veltrax:outOfMemory, before anything is
// allocated or run) or that RunOptions::cancelled stops
// (veltrax:interrupted).
//
// Thread safety: different Simulation objects may be used from different
// threads at the same time; one Simulation must not be used by two threads at
// once (a call is a sequence of state changes, as in the plug-in). The free
// functions are safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/build.hpp"
#include "api/controller.hpp"
#include "api/errors.hpp"
#include "api/options.hpp"
#include "api/plant.hpp"
#include "api/settings.hpp"
#include "api/snapshot.hpp"

namespace veltrax {

// Real double matrix, column-major: element (i, j) is data[i + rows * j].
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;

    Matrix() = default;
    // rows x cols zeros.
    Matrix(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c, 0.0) {}
    // Throws Error "veltrax:badMatrix" when values.size() != r * c.
    Matrix(std::size_t r, std::size_t c, std::vector<double> values);
    static Matrix row(std::initializer_list<double> values);
    static Matrix column(std::initializer_list<double> values);

    std::size_t numel() const { return data.size(); }
    double& operator()(std::size_t i, std::size_t j) { return data[i + rows * j]; }
    double operator()(std::size_t i, std::size_t j) const { return data[i + rows * j]; }
};

// What a call's inputs ask for, as the simulation reads them.
struct CallInfo {
    long sample_count = 0;        // rows of outputs 0 .. 3
    int a_order = 0;              // na
    int b_order = 0;              // nb; output 2 has na + nb columns
    bool gaussian_noise = false;  // positional: the parameter vector has exactly 10 columns
    bool builtin_model = false;   // positional: empty denominator
};

// Checks and decodes a call's inputs and the number of outputs it asks for
// exactly as a call does, without running anything. Throws Error for a rejected call.
CallInfo check_call(const std::vector<Matrix>& inputs, int outputs = 5);
CallInfo check_call(const Settings& settings);

// The positional inputs (params, num, den, curve[, T]) as named settings:
// integer parameters truncated toward zero, exactly 10 columns of the
// parameter vector as Gaussian noise, an empty denominator as the built-in
// model, T read from exactly five inputs; the conversion every positional
// call goes through. Throws Error as the plug-ins report it, naming the input
// by its position.
Settings settings_from_inputs(const std::vector<Matrix>& inputs);

// The positional inputs of these settings, all five: a call with them gives
// the same bits as a call with the settings. Gaussian noise is a parameter
// row of 10 columns, the built-in model an empty denominator.
std::vector<Matrix> inputs_of(const Settings& settings);

// One simulation: the state of one loaded plug-in of the given build. Copying
// a Simulation branches it: the copy continues exactly as the original would.
//
// A Simulation may close the loop with another controller instead
// (api/controller.hpp): the same plant, noise, schedule, time and sums, each
// call's control from the controller. Its calls return outputs 2 and 3
// (estimates, search record) without columns and NaN as the static gain.
class Simulation {
public:
    // The state at load.
    explicit Simulation(Build build = Build::Base);
    // The state at load, controlled by a copy of `controller` (clone()).
    explicit Simulation(const Controller& controller);
    Simulation(const Simulation& other);
    Simulation& operator=(const Simulation& other);
    Simulation(Simulation&&) noexcept;
    Simulation& operator=(Simulation&&) noexcept;
    ~Simulation();

    Build build() const { return build_; }
    // The controller of the loop, or null for the adaptive one of build().
    const Controller* controller() const;

    // Noise seeds run from 1 to kMaxSeed; a plug-in starts with seed 1.
    static constexpr long kMaxSeed = 2147483562;

    // One call with the plug-ins' positional inputs (params, num, den,
    // curve[, T]), as a plug-in called with `outputs` outputs: returns the
    // first max(1, outputs) of the five (t, trajectory, theta, search, sums);
    // the whole simulation runs whatever their number. Throws Error for a rejected, unaffordable or
    // interrupted call, leaving the state unchanged. RunOptions::schedule
    // replaces the built-in set-point schedule for this call (Error
    // "veltrax:badSchedule" when its steps are not in order).
    std::vector<Matrix> call(const std::vector<Matrix>& inputs, int outputs = 5, const RunOptions& options = {});
    // The same with named settings; returns all five outputs. Errors name
    // the field ("settings.dead_time"). With a controller of another kind
    // only the plant's fields and `samples` are checked (a dead time up to
    // 19), and its begin_call may reject the rest.
    std::vector<Matrix> call(const Settings& settings, const RunOptions& options = {});

    // Restarts the noise generators as if the plug-in had just been loaded
    // with this seed (1 .. kMaxSeed). The rest of the state stays. Throws
    // Error "veltrax:badSeed" otherwise.
    void seed_noise(long seed);

    // Snapshots of the whole state (noise generators, process and model,
    // estimator, histories, preview, sums, time) in the plug-ins' format
    // (api/snapshot.hpp). Saving a state and loading it into a Simulation of
    // the same build, in this process or another, continues bit for bit as the
    // original would.
    //
    // save_state: the snapshot. Reads the state only: it may run at the same
    // time as other const uses of this Simulation, not with call or a load.
    // A Simulation with another controller has none (Error
    // "veltrax:badSnapshot"; a Plant's snapshot holds a plant); it loads the
    // plant, time, set-point and sums of any build's snapshot, its controller
    // staying as it is.
    std::vector<std::uint8_t> save_state() const;
    // load_state: replaces the state by the snapshot's. Throws Error
    // "veltrax:badSnapshot" (truncated, corrupted, foreign, of a newer format
    // version, of another build, or with values out of range; the message says
    // which check failed) and then leaves the state as it was.
    void load_state(const std::vector<std::uint8_t>& snapshot);
    void load_state(const std::uint8_t* data, std::size_t size);
    // The same through a file. save_state_file writes a temporary file beside
    // `path`, flushes it to the disk and renames it, so `path` holds the old
    // or the new snapshot and never a part; a symbolic link is followed, a
    // character device or named pipe written through, and anything else but
    // a regular file refused. Throws Error "veltrax:fileError"
    // when the file cannot be read or written, and load_state_file also as
    // load_state does.
    void save_state_file(const std::string& path) const;
    void load_state_file(const std::string& path);

private:
    friend struct SimulationAccess;  // this project's own tests and benchmarks
    struct State;
    Build build_;
    std::unique_ptr<State> state_;
};

// The matrix-product plug-in: R = A * B for inputs {A, B} (further inputs are
// ignored), as the plug-in called with `outputs` outputs. Throws Error
// "matprod:..." as the plug-in reports it. Of the options only the
// cancellation hook is used.
Matrix call_matprod(const std::vector<Matrix>& inputs, int outputs = 1, const RunOptions& options = {});

// A sequence of calls in one simulation, which starts as just loaded or from
// a snapshot of its build. The job makes max(calls.size(), settings.size())
// calls: call c runs settings[c] where that holds a value, else the
// positional inputs calls[c].
struct BatchJob {
    Build build = Build::Base;
    std::vector<std::vector<Matrix>> calls;
    std::vector<std::optional<Settings>> settings;
    std::vector<std::uint8_t> initial_state;  // empty: the state at load
    // Noise seed applied after the initial state (Simulation::seed_noise);
    // 0: none.
    long seed = 0;
    // Set-point schedule of each call (not owned; must outlive the batch);
    // a null or missing entry takes the schedule of the batch's RunOptions.
    std::vector<const SetpointSchedule*> schedules;
    // Plant models of each call (not owned); a null or missing entry takes
    // those of the batch's RunOptions.
    std::vector<const PlantModels*> plant_models;
    // A controller of another kind, cloned for the job; null: the adaptive
    // controller of `build`. It is called from the thread that runs the job.
    std::shared_ptr<const Controller> controller;
};

struct BatchResult {
    std::vector<std::vector<Matrix>> outputs;  // five outputs of every call that ran
    bool ok = true;
    std::string error_id;  // of the first failing call; later calls do not run
    std::string error_message;
};

// Runs independent jobs on up to `threads` threads (0: VELTRAX_THREADS or the
// CPUs this process may run on; fewer when no more threads can be started),
// each on its own simulation with a one-thread search. Results equal running
// the jobs one after another; a failing job fails alone.
std::vector<BatchResult> run_batch(const std::vector<BatchJob>& jobs, unsigned threads = 0);

// How this build computes here, one line per fact; today the power function:
// "power: avx512 with table loads (glibc 2.36 verified, self-check passed)",
// or the scalar path and why (numeric/vpow/pow.hpp). The first call chooses
// the path, as the first simulation would.
std::string build_info();

// Receives the result of job `job` as soon as it ends, on the thread that
// called run_batch, one result at a time.
using BatchSink = std::function<void(std::size_t job, BatchResult&& result)>;

// The same, handing each result to `sink` instead of keeping it. `options`
// apply to every call, but each searches on one thread; its cancellation hook
// (asked on every thread of the batch) ends the running jobs with
// veltrax:interrupted and starts no further job, which then gets no sink
// call. An exception from `sink` starts no further job and is rethrown once
// the running ones have ended.
void run_batch(const std::vector<BatchJob>& jobs, unsigned threads, const RunOptions& options, const BatchSink& sink);

}  // namespace veltrax
