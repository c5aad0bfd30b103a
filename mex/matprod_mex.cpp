// SPDX-License-Identifier: LGPL-2.1-or-later
// MEX gateway of matprod: R = A * B.
#include <cstdio>
#include <exception>
#include <new>

#include "matprod/matprod.hpp"
#include "mex/host.hpp"

namespace {
bool is_real_double(const mxArray* a) { return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a); }

// The product into plhs[0], or why there is none. Host errors are raised
// only by the caller, outside the code that may throw.
matprod::Problem product(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    matprod::Problem problem;
    if (nrhs >= 2) {
        for (int i = 0; i < 2; ++i) {
            if (is_real_double(prhs[i])) continue;
            problem.id = "matprod:badInputType";
            std::snprintf(problem.message, sizeof problem.message, "input %d (%s) must be a real double matrix, got %s%s",
                          i + 1, i == 0 ? "A" : "B", mxIsComplex(prhs[i]) ? "complex " : "",
                          mxIsSparse(prhs[i]) ? "sparse" : mxGetClassName(prhs[i]));
            return problem;
        }
    }
    problem = matprod::check_shapes(nrhs, nlhs, nrhs >= 2 ? mxGetN(prhs[0]) : 0, nrhs >= 2 ? mxGetM(prhs[1]) : 0);
    if (problem.id) return problem;

    const double* a = mxGetPr(prhs[0]);
    const double* b = mxGetPr(prhs[1]);
    const mwSize m = mxGetM(prhs[0]);
    const mwSize n = mxGetN(prhs[0]);
    const mwSize p = mxGetM(prhs[1]);
    const mwSize q = mxGetN(prhs[1]);
    problem = matprod::check_memory(m, q);
    if (problem.id) return problem;
    mxArray* r = nullptr;
    try {
        r = veltrax_host::create_uninitialised(m, q);
    } catch (const std::bad_alloc&) {
        return matprod::out_of_memory(m, q);
    }
    if (!matprod::matrix_product(a, b, mxGetPr(r), m, n, p, q, &veltrax_host::interrupt_pending, nullptr)) {
        mxDestroyArray(r);
        veltrax_host::take_interrupt();
        return matprod::interrupted();
    }
    plhs[0] = r;
    return problem;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) void mexFunction(int nlhs, mxArray* plhs[], int nrhs,
                                                                    const mxArray* prhs[]) {
    matprod::Problem problem;
    try {
        problem = product(nlhs, plhs, nrhs, prhs);
    } catch (const std::bad_alloc&) {
        problem.id = "matprod:outOfMemory";
        std::snprintf(problem.message, sizeof problem.message, "not enough memory");
    } catch (const std::exception& e) {
        problem.id = "matprod:internal";
        std::snprintf(problem.message, sizeof problem.message, "%s", veltrax_host::without_name(e.what()));
    }
    if (problem.id) mexErrMsgIdAndTxt(problem.id, "%s", problem.message);
}
