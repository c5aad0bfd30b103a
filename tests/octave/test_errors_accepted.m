% Extreme values that the checks accept: every call ends, returns outputs of
% the documented shapes, and the plug-in keeps working.
1;

function check_shapes(name, label, r, n, columns_theta)
  expected = {[n 1], [n 5], [n columns_theta], [n 5], [3 1]};
  for k = 1:5
    x = r{k};
    if ~isa(x, 'double') || ~isreal(x) || issparse(x) || ~isequal(size(x), expected{k})
      check(false, '%s: %s: output %d is %s %s, expected double %dx%d', name, label, k, class(x), ...
            mat2str(size(x)), expected{k}(1), expected{k}(2));
    end
  end
end

function p = with(p, k, v)
  p(k) = v;
end

p = [3 0.1 2 1 3 3 0.005 10 0.1];
num = [1 0.5];
den = [1 3 3 1];
curve = [0.404 0.505 2.98 4];
model = [70.001 6.48];

% {label, inputs, N, a_order + b_order}
cases = {
  'NaN control weight', {with(p, 2, NaN), num, den, curve}, 3, 6
  'negative control weight', {with(p, 2, -1), num, den, curve}, 3, 6
  '-Inf control weight', {with(p, 2, -Inf), num, den, curve}, 3, 6
  'Inf control weight', {with(p, 2, Inf), num, den, curve}, 3, 6
  'NaN upper control limit', {with(p, 4, NaN), num, den, curve}, 3, 6
  'negative upper control limit', {with(p, 4, -1), num, den, curve}, 3, 6
  'huge noise', {with(p, 7, 1e300), num, den, curve}, 3, 6
  'huge Gaussian noise', {[with(p, 7, 1e300), 0], num, den, curve}, 3, 6
  'Inf Gaussian noise', {[with(p, 7, Inf), 0], num, den, curve}, 3, 6
  'NaN noise', {with(p, 7, NaN), num, den, curve}, 3, 6
  'negative noise', {with(p, 7, -1), num, den, curve}, 3, 6
  'NaN curve', {p, num, den, NaN(1, 4)}, 3, 6
  'Inf curve', {p, num, den, Inf(1, 4)}, 3, 6
  'zero curve', {p, num, den, zeros(1, 4)}, 3, 6
  'negative exponents', {p, num, den, [0.404 0.505 -2.98 -4]}, 3, 6
  'Inf numerator', {p, [Inf 1], den, curve}, 3, 6
  'NaN numerator', {p, NaN, den, curve}, 3, 6
  'NaN in the denominator', {p, num, [1 NaN 3 1], curve}, 3, 6
  'Inf leading denominator', {p, 1, [Inf 1], curve}, 3, 6
  'denominator of degree 10', {p, ones(1, 10), [1 ones(1, 10) * 0.1], curve}, 3, 6
  'NaN T', {p, num, den, curve, [NaN 0 0]}, 3, 6
  'tiny T', {p, num, den, curve, [1e-300 1 1]}, 3, 6
  'Inf T', {p, num, den, curve, [Inf 1 1]}, 3, 6
  'tiny step', {with(p, 9, realmin), num, den, curve}, 3, 6
  'huge step', {with(p, 9, 1e300), num, den, curve}, 3, 6
  'largest finite step', {with(p, 9, realmax), num, den, curve}, 3, 6
  'fractional integers', {[3.9 0.1 2.9 1 3.9 3.9 0.005 10.9 0.1], num, den, curve}, 3, 6
  'N = 0', {with(p, 1, 0), num, den, curve}, 0, 6
  'N = -0.5', {with(p, 1, -0.5), num, den, curve}, 0, 6
  'N = 0, built-in model', {with(p, 1, 0), model, [], curve}, 0, 6
  'no model orders', {with(with(p, 5, 0), 6, 0), num, den, curve}, 3, 0
  'largest orders', {with(with(with(p, 3, 0), 5, 6), 6, 4), num, den, curve}, 3, 10
  'b_order 9', {with(with(with(p, 3, 0), 5, 0), 6, 9), num, den, curve}, 3, 9
  'dead time 9', {with(with(p, 3, 9), 6, 0), num, den, curve}, 3, 3
  'parameters as 3x3', {reshape(p, 3, 3), num, den, curve}, 3, 6
  'parameters as a column of 10', {[p 0]', num, den, curve}, 3, 6
  '12 parameters', {[p 1 2 3], num, den, curve}, 3, 6
  'curve as 2x2', {p, num, den, reshape(curve, 2, 2)}, 3, 6
  'built-in model', {p, model, [], curve}, 3, 6
  'built-in model, column', {p, model', zeros(1, 0), curve}, 3, 6
  'built-in model, heavy body', {p, [1e6 6.48], [], curve}, 3, 6
  'built-in model, NaN control weight', {with(p, 2, NaN), model, [], NaN(1, 4)}, 3, 6
  'built-in model, huge noise', {with(p, 7, 1e300), model, [], curve}, 3, 6
};

for name = {'veltrax1', 'veltrax2', 'veltrax3'}
  name = name{1};
  clear(name);
  for k = 1:rows(cases)
    r = cell(1, 5);
    [r{1:5}] = feval(name, cases{k, 2}{:});
    check_shapes(name, cases{k, 1}, r, cases{k, 3}, cases{k, 4});
  end
  % After all of that the plug-in still serves calls, and a reload starts over.
  r = cell(1, 5);
  [r{1:5}] = feval(name, p, num, den, curve);
  check_shapes(name, 'good call', r, 3, 6);
  clear(name);
  [r{1:5}] = feval(name, p, num, den, curve);
  check(all(isfinite(r{2}(:))), '%s: a good call after a reload is not finite', name);
  clear(name);
end
