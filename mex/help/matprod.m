%MATPROD Product of two real double matrices.
%   R = matprod(A, B)
%
%   Returns R = A*B for a real double m x n matrix A and a real double
%   n x q matrix B; R is m x q. Each element is summed over the inner
%   dimension in increasing order, so the results do not depend on the
%   BLAS in use. Empty matrices are allowed: a zero inner dimension gives
%   zeros.
%
%   Inputs
%     A   real double matrix, m x n (not complex, not sparse)
%     B   real double matrix, n x q
%   Output
%     R   m x q
%
%   matprod keeps no state between calls, reads no environment variables
%   and uses one thread.
%
%   Errors: matprod:notEnoughInputs (fewer than two inputs),
%   matprod:badInputType (an input that is not a real double matrix),
%   matprod:dimensionMismatch (columns of A differ from rows of B),
%   matprod:tooManyOutputs (more than one output requested),
%   matprod:outOfMemory (R does not fit into memory), matprod:interrupted
%   (Ctrl-C).
%
%   Example:
%     R = matprod([1 2; 3 4], [5; 6])   % [17; 39]
%
%   See also veltrax1, veltrax2, veltrax3.

% SPDX-License-Identifier: LGPL-2.1-or-later

%!assert (matprod ([1 2; 3 4], [5; 6]), [17; 39])
%!assert (matprod ([1 2 3], [4; 5; 6]), 32)
%!assert (size (matprod (zeros (2, 0), zeros (0, 3))), [2 3])
%!assert (matprod (zeros (2, 0), zeros (0, 3)), zeros (2, 3))

%!test
%! a = reshape (1:6, 2, 3) / 7;
%! b = reshape (1:12, 3, 4) / 11;
%! r = zeros (2, 4);
%! for i = 1:2
%!   for j = 1:4
%!     for k = 1:3
%!       r(i, j) = r(i, j) + a(i, k) * b(k, j);
%!     endfor
%!   endfor
%! endfor
%! assert (matprod (a, b), r);

%!error id=matprod:notEnoughInputs matprod (1)
%!error id=matprod:badInputType matprod (single (1), 1)
%!error id=matprod:badInputType matprod (1, 1i)
%!error id=matprod:dimensionMismatch matprod (ones (2, 3), ones (2, 3))
%!error id=matprod:tooManyOutputs [a, b] = matprod (1, 1);
