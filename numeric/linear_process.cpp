// SPDX-License-Identifier: LGPL-2.1-or-later
#include "numeric/linear_process.hpp"

namespace veltrax {

void normalise_transfer_function(LinearProcess& lp, const double* num, int num_degree, const double* den,
                                 int den_degree) {
    lp.num_degree = num_degree;
    lp.den_degree = den_degree;
    for (int k = 0; k <= num_degree; ++k) lp.num_coeffs[k] = num[k] / den[0];
    for (int k = den_degree; k >= 0; --k) lp.den_coeffs[k] = den[k] / den[0];
    lp.state_order = den_degree;
}

void advance_linear_process(LinearProcess& lp, double input, long steps, double h) {
    Rk4Work work;
    auto f = [&lp, input](const double* x, double* dxdt) { linear_process_derivative(lp, input, x, dxdt); };
    for (long s = 0; s < steps; ++s) rk4_step(lp.process_state, h, lp.process_state_next, lp.state_order, work, f);
}

double linear_process_output(const LinearProcess& lp) {
    double y = 0.0;
    for (int k = 0; k <= lp.num_degree; ++k) y = y + lp.num_coeffs[lp.num_degree - k] * lp.process_state[k];
    return y;
}

}  // namespace veltrax
