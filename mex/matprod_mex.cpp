// SPDX-License-Identifier: LGPL-2.1-or-later
// MEX gateway of matprod: R = A * B.
#include "matprod/matprod.hpp"
#include "mex/host.hpp"

namespace {
bool is_real_double(const mxArray* a) { return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a); }

// Raises the problem's error through the host; does not return.
void fail(const matprod::Problem& problem) { mexErrMsgIdAndTxt(problem.id, "%s", problem.message); }
}  // namespace

extern "C" __attribute__((visibility("default"))) void mexFunction(int nlhs, mxArray* plhs[], int nrhs,
                                                                    const mxArray* prhs[]) {
    if (nrhs >= 2) {
        for (int i = 0; i < 2; ++i)
            if (!is_real_double(prhs[i]))
                mexErrMsgIdAndTxt("matprod:badInputType", "input %d (%s) must be a real double matrix, got %s%s",
                                  i + 1, i == 0 ? "A" : "B", mxIsComplex(prhs[i]) ? "complex " : "",
                                  mxIsSparse(prhs[i]) ? "sparse" : mxGetClassName(prhs[i]));
    }
    const matprod::Problem problem =
        matprod::check_shapes(nrhs, nlhs, nrhs >= 2 ? mxGetN(prhs[0]) : 0, nrhs >= 2 ? mxGetM(prhs[1]) : 0);
    if (problem.id) return fail(problem);

    const double* a = mxGetPr(prhs[0]);
    const double* b = mxGetPr(prhs[1]);
    const mwSize m = mxGetM(prhs[0]);
    const mwSize n = mxGetN(prhs[0]);
    const mwSize p = mxGetM(prhs[1]);
    const mwSize q = mxGetN(prhs[1]);
    const matprod::Problem memory = matprod::check_memory(m, q);
    if (memory.id) return fail(memory);
    mxArray* r = nullptr;
    try {
        r = veltrax_host::create_uninitialised(m, q);
    } catch (const std::bad_alloc&) {
        return fail(matprod::out_of_memory(m, q));
    }
    if (!matprod::matrix_product(a, b, mxGetPr(r), m, n, p, q, &veltrax_host::interrupt_pending, nullptr)) {
        mxDestroyArray(r);
        veltrax_host::take_interrupt();
        return fail(matprod::interrupted());
    }
    plhs[0] = r;
}
