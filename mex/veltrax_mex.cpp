// SPDX-License-Identifier: LGPL-2.1-or-later
// MEX gateway of veltrax1, veltrax2 and veltrax3: VELTRAX_BUILD selects the
// build. The simulation state is one static record, so it persists between
// calls until the host unloads the plug-in.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "api/call_request.hpp"
#include "api/errors.hpp"
#include "driver/errors.hpp"
#include "driver/run.hpp"
#include "driver/snapshot.hpp"
#include "mex.h"
#include "mex/host.hpp"

#ifndef VELTRAX_BUILD
#error "VELTRAX_BUILD must be 1, 2 or 3"
#endif

namespace {

constexpr veltrax::core::Build kBuild = static_cast<veltrax::core::Build>(VELTRAX_BUILD);
veltrax::SimulationState g_simulation;

const char* const kInputNames[5] = {"parameter vector", "numerator", "denominator", "curve parameters",
                                    "filter polynomial T"};

bool is_real_double(const mxArray* a) { return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a); }

// "2x3x4": every dimension of the array.
std::string size_text(const mxArray* a) {
    const mwSize* dims = mxGetDimensions(a);
    std::string text;
    for (mwSize d = 0; d < mxGetNumberOfDimensions(a); ++d) text += (d ? "x" : "") + std::to_string(dims[d]);
    return text;
}

// The five outputs, created by the host; destroyed unless handed out. All
// five exist before any is filled; they are zeroed in stretches between
// polls of the interrupt.
struct HostOutputs {
    const veltrax::core::RunOptions& options;
    mxArray* arrays[veltrax::kOutputCount] = {};
    ~HostOutputs() {
        for (mxArray*& a : arrays)
            if (a) mxDestroyArray(a);
    }
    veltrax::OutputViews operator()(const veltrax::OutputShape (&shapes)[veltrax::kOutputCount]) {
        for (int i = 0; i < veltrax::kOutputCount; ++i)
            arrays[i] = veltrax_host::create_uninitialised(shapes[i].rows, shapes[i].cols);
        double* data[veltrax::kOutputCount];
        for (int i = 0; i < veltrax::kOutputCount; ++i) {
            data[i] = mxGetPr(arrays[i]);
            const std::size_t n = shapes[i].rows * shapes[i].cols;
            for (std::size_t done = 0; done < n; done += veltrax::kZeroFillStretch) {
                if (done > 0) veltrax::poll_before_run(options, static_cast<long>(shapes[0].rows));
                std::memset(data[i] + done, 0, std::min(veltrax::kZeroFillStretch, n - done) * sizeof(double));
            }
        }
        return {data[0], data[1], data[2], data[3], data[4]};
    }
    void hand_out(int nlhs, mxArray* plhs[]) {
        const int handed = nlhs < 1 ? 1 : nlhs;
        for (int i = 0; i < handed; ++i) {
            plhs[i] = arrays[i];
            arrays[i] = nullptr;
        }
    }
};

// s = veltraxN('getstate') and veltraxN('setstate', s): the state as a
// snapshot in a uint8 row vector, and back.
void state_command(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    char command[16] = "";
    if (mxGetM(prhs[0]) > 1 || mxGetString(prhs[0], command, sizeof command) != 0) command[0] = '\0';
    char message[256];
    if (std::strcmp(command, "getstate") == 0) {
        if (nrhs > 1) throw veltrax::Error("veltrax:badCommand", "'getstate' takes no further input");
        if (nlhs > 1) throw veltrax::Error("veltrax:tooManyOutputs", "'getstate' has one output");
        const std::vector<std::uint8_t> snapshot = veltrax::save_snapshot(kBuild, g_simulation);
        mxArray* out = mxCreateNumericMatrix(1, snapshot.size(), mxUINT8_CLASS, mxREAL);
        std::memcpy(mxGetData(out), snapshot.data(), snapshot.size());
        plhs[0] = out;
    } else if (std::strcmp(command, "setstate") == 0) {
        if (nrhs < 2) throw veltrax::Error("veltrax:notEnoughInputs", "'setstate' needs the snapshot as input 2");
        if (nrhs > 2) throw veltrax::Error("veltrax:badCommand", "'setstate' takes one input after the command");
        if (nlhs > 0) throw veltrax::Error("veltrax:tooManyOutputs", "'setstate' has no output");
        const mxArray* s = prhs[1];
        if (!mxIsUint8(s) || mxIsComplex(s) || mxGetNumberOfDimensions(s) != 2 ||
            (mxGetM(s) > 1 && mxGetN(s) > 1)) {
            std::snprintf(message, sizeof message, "snapshot (input 2) must be a uint8 vector, got a %s %s%s",
                          size_text(s).c_str(), mxIsComplex(s) ? "complex " : "", mxGetClassName(s));
            throw veltrax::Error("veltrax:badSnapshot", message);
        }
        veltrax::load_snapshot(kBuild, static_cast<const std::uint8_t*>(mxGetData(s)), mxGetNumberOfElements(s),
                               g_simulation);
    } else {
        throw veltrax::Error("veltrax:badCommand",
                             "a text first input is a command: 'getstate' or 'setstate' (a call of the simulation "
                             "takes the parameter vector, a real double matrix)");
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void mexFunction(int nlhs, mxArray* plhs[], int nrhs,
                                                                    const mxArray* prhs[]) {
    veltrax::core::RunOptions options;
    options.warning = &veltrax_host::warn;
    options.cancelled = &veltrax_host::interrupt_pending;

    char id[64] = "";
    char message[512] = "";
    try {
        // The thread count is settled first: a warning about VELTRAX_THREADS
        // that the user turned into an error leaves as the host's error,
        // before anything.
        options.threads = veltrax::resolve_threads(0, options);
        if (nrhs >= 1 && mxIsChar(prhs[0])) return state_command(nlhs, plhs, nrhs, prhs);
        const int read = nrhs == 5 ? 5 : (nrhs < 4 ? nrhs : 4);
        veltrax::InputView views[5];
        for (int i = 0; i < read; ++i) {
            if (!is_real_double(prhs[i])) {
                std::snprintf(message, sizeof message, "input %d (%s) must be a real double matrix, got %s%s", i + 1,
                              kInputNames[i], mxIsComplex(prhs[i]) ? "complex " : "",
                              mxIsSparse(prhs[i]) ? "sparse" : mxGetClassName(prhs[i]));
                throw veltrax::Error("veltrax:badInputType", message);
            }
            views[i] = {mxGetPr(prhs[i]), mxGetM(prhs[i]), mxGetN(prhs[i])};
        }
        HostOutputs outputs{options};
        veltrax::run_gateway_call(kBuild, g_simulation, veltrax::call_request(nrhs, views, nlhs), outputs, options);
        outputs.hand_out(nlhs, plhs);
    } catch (const veltrax_host::HostException& e) {
        std::rethrow_exception(e.raised);
    } catch (const veltrax::Error& e) {  // the inputs' checks
        std::snprintf(id, sizeof id, "%s", e.id().c_str());
        std::snprintf(message, sizeof message, "%s", e.what());
    } catch (const veltrax::core::Error& e) {  // the run's and the snapshots'
        if (e.id() == "veltrax:interrupted") veltrax_host::take_interrupt();
        std::snprintf(id, sizeof id, "%s", e.id().c_str());
        std::snprintf(message, sizeof message, "%s", e.what());
    } catch (const std::bad_alloc&) {
        std::snprintf(id, sizeof id, "veltrax:outOfMemory");
        std::snprintf(message, sizeof message, "not enough memory");
    } catch (const std::exception& e) {
        std::snprintf(id, sizeof id, "veltrax:internal");
        std::snprintf(message, sizeof message, "%s", veltrax_host::without_name(e.what()));
    }
    if (id[0] != '\0') mexErrMsgIdAndTxt(id, "%s", message);
}
