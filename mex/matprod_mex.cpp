// MEX gateway of matprod: R = A * B.
#include "matprod/matprod.hpp"
#include "mex.h"

namespace {
bool is_real_double(const mxArray* a) { return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a); }
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
    if (problem.id) mexErrMsgIdAndTxt(problem.id, "%s", problem.message);

    const double* a = mxGetPr(prhs[0]);
    const double* b = mxGetPr(prhs[1]);
    const mwSize m = mxGetM(prhs[0]);
    const mwSize n = mxGetN(prhs[0]);
    const mwSize p = mxGetM(prhs[1]);
    const mwSize q = mxGetN(prhs[1]);
    plhs[0] = mxCreateDoubleMatrix(m, q, mxREAL);
    double* r = mxGetPr(plhs[0]);
    matprod::matrix_product(a, b, r, m, n, p, q);
}
