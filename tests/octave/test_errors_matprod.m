% SPDX-License-Identifier: LGPL-2.1-or-later
% matprod: rejected calls and the empty products.
1;

function b = bits_equal(x, y)
  b = strcmp(class(x), class(y)) && isequal(size(x), size(y)) && isreal(x) == isreal(y) && ...
      issparse(x) == issparse(y) && isequal(typecast(x(:), 'uint64'), typecast(y(:), 'uint64'));
end

function expect_error(label, id, args)
  failed = false;
  try
    r = matprod(args{:});
  catch err
    failed = true;
    if ~strcmp(err.identifier, id)
      check(false, 'matprod: %s expected %s, got "%s" (%s)', label, id, err.identifier, err.message);
    end
  end
  if ~failed
    check(false, 'matprod: %s expected %s, the call succeeded', label, id);
  end
end

% Product summed over k in increasing order from 0, as the plug-in does.
function r = reference_product(a, b)
  r = zeros(rows(a), columns(b));
  for i = 1:rows(a)
    for j = 1:columns(b)
      s = 0;
      for k = 1:rows(b)
        s = s + a(i, k) * b(k, j);
      end
      r(i, j) = s;
    end
  end
end

a = [1 2 3; 4 5 6];
b = [1 0; 2 1; 0 3];

expect_error('no inputs', 'matprod:notEnoughInputs', {});
expect_error('1 input', 'matprod:notEnoughInputs', {a});
expect_error('1 int32 input', 'matprod:notEnoughInputs', {int32(a)});

kinds = {'int32', @(x) int32(x); 'single', @(x) single(x); 'logical', @(x) x ~= 0; 'char', @(x) char(x + 48); ...
         'complex', @(x) x + 1i; 'complex with zero imaginary part', @(x) complex(x); 'sparse', @(x) sparse(x); ...
         'uint8', @(x) uint8(x); 'int64', @(x) int64(x); 'cell', @(x) {x}; 'struct', @(x) struct('v', x)};
for k = 1:rows(kinds)
  expect_error([kinds{k, 1} ' A'], 'matprod:badInputType', {kinds{k, 2}(a), b});
  expect_error([kinds{k, 1} ' B'], 'matprod:badInputType', {a, kinds{k, 2}(b)});
end
expect_error('empty single B', 'matprod:badInputType', {zeros(2, 0), single(zeros(0, 2))});

expect_error('2x3 times 2x2', 'matprod:dimensionMismatch', {a, ones(2, 2)});
expect_error('row times row', 'matprod:dimensionMismatch', {[1 2], [3 4]});
expect_error('2x0 times 1x3', 'matprod:dimensionMismatch', {zeros(2, 0), ones(1, 3)});
expect_error('1x1 times 0x1', 'matprod:dimensionMismatch', {1, zeros(0, 1)});
expect_error('0x3 times 2x0', 'matprod:dimensionMismatch', {zeros(0, 3), zeros(2, 0)});

failed = false;
try
  [r1, r2] = matprod(a, b);
catch err
  failed = true;
  check(strcmp(err.identifier, 'matprod:tooManyOutputs'), 'matprod: 2 outputs gave %s', err.identifier);
end
check(failed, 'matprod: 2 outputs were accepted');

% Empty operands: zeros(m, q), also when the inner dimension is 0.
shapes = [0 3 4; 2 3 0; 2 0 3; 0 0 0; 0 0 5; 3 0 0; 1 0 1];  % m, n = p, q
for k = 1:rows(shapes)
  m = shapes(k, 1); n = shapes(k, 2); q = shapes(k, 3);
  r = matprod(ones(m, n), ones(n, q));
  check(bits_equal(r, zeros(m, q)), 'matprod: %dx%d times %dx%d is not zeros(%d, %d)', m, n, n, q, m, q);
end
% The same products after a product that leaves values behind.
r = matprod(ones(20, 20) * 3, ones(20, 20) * 5);
r = matprod(zeros(4, 0), zeros(0, 4));
check(bits_equal(r, zeros(4, 4)), 'matprod: 4x0 times 0x4 is not zeros(4, 4)');

% Rejected calls leave nothing behind: ordinary products still come out exact.
check(bits_equal(matprod(a, b), a * b), 'matprod: 2x3 times 3x2');
check(bits_equal(matprod(2, 3), 6), 'matprod: scalars');
matprod(a, b);
check(bits_equal(ans, a * b), 'matprod: the product of a call without outputs');
x = [0.1 -0.3 1e-17; 1e17 0.7 -1e17];
y = [0.2 1; 0.3 -0.1; 1 1e-3];
check(bits_equal(matprod(x, y), reference_product(x, y)), 'matprod: order of the sums');
check(bits_equal(matprod([-0 -0], [1; 1]), 0), 'matprod: a sum starts at +0');
