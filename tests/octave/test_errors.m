% SPDX-License-Identifier: LGPL-2.1-or-later
% Rejected calls of veltrax1..3: every check raises its identifier, and a
% rejected call leaves the plug-in's state as it was.
1;

function b = bits_equal(x, y)
  % Same class, shape and bits (NaN equals NaN, -0 differs from 0).
  b = strcmp(class(x), class(y)) && isequal(size(x), size(y)) && ...
      isequal(typecast(x(:), 'uint64'), typecast(y(:), 'uint64'));
end

function b = outputs_equal(r, s)
  b = numel(r) == numel(s);
  for k = 1:min(numel(r), numel(s))
    b = b && bits_equal(r{k}, s{k});
  end
end

function r = run5(name, args)
  r = cell(1, 5);
  [r{1:5}] = feval(name, args{:});
end

function expect_error(label, id, name, args)
  failed = false;
  try
    r = feval(name, args{:});
  catch err
    failed = true;
    if ~strcmp(err.identifier, id)
      check(false, '%s: %s expected %s, got "%s" (%s)', name, label, id, ...
            err.identifier, err.message);
    end
    if isempty(err.message)
      check(false, '%s: %s raised %s without a message', name, label, id);
    end
  end
  if ~failed
    check(false, '%s: %s expected %s, the call succeeded', name, label, id);
  end
end

function expect_too_many_outputs(name, args)
  failed = false;
  try
    [a, b, c, d, e, g] = feval(name, args{:});
  catch err
    failed = true;
    if ~strcmp(err.identifier, 'veltrax:tooManyOutputs')
      check(false, '%s: 6 outputs gave "%s" (%s)', name, err.identifier, err.message);
    end
  end
  if ~failed
    check(false, '%s: 6 outputs were accepted', name);
  end
end

function p = with(p, k, v)
  p(k) = v;
end

function c = bad_calls(p, num, den, curve, T)
  % {label, identifier, inputs}; elements are numbered from 1 in the labels.
  c = {};
  add = @(c, label, id, args) [c; {label, id, args}];

  c = add(c, 'no inputs', 'veltrax:notEnoughInputs', {});
  c = add(c, '1 input', 'veltrax:notEnoughInputs', {p});
  c = add(c, '2 inputs', 'veltrax:notEnoughInputs', {p, num});
  c = add(c, '3 inputs', 'veltrax:notEnoughInputs', {p, num, den});

  % Every non-double kind in each position.
  good = {p, num, den, curve, T};
  kinds = {'sparse', @(x) sparse(x); 'complex', @(x) x + 1i; 'complex with zero imaginary part', ...
           @(x) complex(x); 'char', @(x) char(65 + zeros(size(x))); ...
           'logical', @(x) true(size(x)); 'cell', @(x) {x}; 'struct', @(x) struct('v', x); ...
           'single', @(x) single(x); 'int8', @(x) int8(x); 'uint8', @(x) uint8(x); 'int16', @(x) int16(x); ...
           'uint16', @(x) uint16(x); 'int32', @(x) int32(x); 'uint32', @(x) uint32(x); ...
           'int64', @(x) int64(x); 'uint64', @(x) uint64(x); 'function handle', @(x) @sin};
  for pos = 1:5
    for k = 1:rows(kinds)
      args = good(1:max(4, pos));
      args{pos} = kinds{k, 2}(good{pos});
      id = 'veltrax:badInputType';
      if pos == 1 && strcmp(kinds{k, 1}, 'char')
        id = 'veltrax:badCommand';  % text first: a command, and this one is unknown
      end
      c = add(c, sprintf('%s input %d', kinds{k, 1}, pos), id, args);
    end
  end
  c = add(c, 'empty char numerator', 'veltrax:badInputType', {p, '', den, curve});
  c = add(c, 'empty logical denominator', 'veltrax:badInputType', {p, num, logical([]), curve});

  c = add(c, '8 parameters', 'veltrax:badParameterVector', {p(1:8), num, den, curve});
  c = add(c, '8 parameters in a column', 'veltrax:badParameterVector', {p(1:8)', num, den, curve});
  c = add(c, 'empty parameter vector', 'veltrax:badParameterVector', {[], num, den, curve});
  c = add(c, '1x0 parameter vector', 'veltrax:badParameterVector', {zeros(1, 0), num, den, curve});
  c = add(c, 'short parameters and bad curve', 'veltrax:badParameterVector', {p(1:8), num, den, []});

  names = {1, 'N'; 3, 'dead time'; 5, 'a_order'; 6, 'b_order'; 8, 'substeps'};
  for k = 1:rows(names)
    for v = [NaN, Inf, -Inf, 2^31, -2^31 - 1, 1e300, -1e300]
      c = add(c, sprintf('%s = %g', names{k, 2}, v), 'veltrax:notAnInteger', ...
              {with(p, names{k, 1}, v), num, den, curve});
    end
  end
  c = add(c, 'NaN N and bad step', 'veltrax:notAnInteger', {with(with(p, 1, NaN), 9, 0), num, den, curve});

  c = add(c, 'N = -1', 'veltrax:badSampleCount', {with(p, 1, -1), num, den, curve});
  c = add(c, 'N = -1.5', 'veltrax:badSampleCount', {with(p, 1, -1.5), num, den, curve});
  c = add(c, 'N = -2^31', 'veltrax:badSampleCount', {with(p, 1, -2^31), num, den, curve});
  c = add(c, 'N = -2^31 - 0.5', 'veltrax:badSampleCount', {with(p, 1, -2^31 - 0.5), num, den, curve});

  c = add(c, 'dead time = -1', 'veltrax:badDeadTime', {with(p, 3, -1), num, den, curve});
  c = add(c, 'dead time = -2^31', 'veltrax:badDeadTime', {with(p, 3, -2^31), num, den, curve});
  c = add(c, 'dead time 7 + b_order 3', 'veltrax:badDeadTime', {with(p, 3, 7), num, den, curve});
  c = add(c, 'dead time 10 + b_order 0', 'veltrax:badDeadTime', {with(with(p, 3, 10), 6, 0), num, den, curve});
  c = add(c, 'dead time 2^31 - 0.5', 'veltrax:badDeadTime', {with(p, 3, 2^31 - 0.5), num, den, curve});

  c = add(c, 'a_order = -1', 'veltrax:badOrder', {with(p, 5, -1), num, den, curve});
  c = add(c, 'a_order = 7', 'veltrax:badOrder', {with(p, 5, 7), num, den, curve});
  c = add(c, 'a_order = 2^31 - 0.5', 'veltrax:badOrder', {with(p, 5, 2^31 - 0.5), num, den, curve});
  c = add(c, 'b_order = -1', 'veltrax:badOrder', {with(p, 6, -1), num, den, curve});
  c = add(c, 'a_order 6 + b_order 5', 'veltrax:badOrder', {with(with(with(p, 3, 0), 5, 6), 6, 5), num, den, curve});
  c = add(c, 'a_order 1 + b_order 2^31 - 1', 'veltrax:badOrder', ...
          {with(with(with(p, 3, 0), 5, 1), 6, 2^31 - 1), num, den, curve});
  c = add(c, 'a_order 6 + b_order 2^31 - 1', 'veltrax:badOrder', ...
          {with(with(with(p, 3, 0), 5, 6), 6, 2^31 - 1), num, den, curve});

  c = add(c, 'substeps = 0', 'veltrax:badStep', {with(p, 8, 0), num, den, curve});
  c = add(c, 'substeps = 0.9', 'veltrax:badStep', {with(p, 8, 0.9), num, den, curve});
  c = add(c, 'substeps = -1', 'veltrax:badStep', {with(p, 8, -1), num, den, curve});
  for v = [0, -0, -0.1, Inf, -Inf, NaN, -realmin]
    c = add(c, sprintf('step size = %g', v), 'veltrax:badStep', {with(p, 9, v), num, den, curve});
  end

  c = add(c, 'column denominator', 'veltrax:badDenominator', {p, num, den', curve});
  c = add(c, '2x2 denominator', 'veltrax:badDenominator', {p, num, [1 3; 3 1], curve});
  c = add(c, '1 denominator coefficient', 'veltrax:badDenominator', {p, num, 1, curve});
  c = add(c, '12 denominator coefficients', 'veltrax:badDenominator', {p, num, ones(1, 12), curve});
  c = add(c, 'leading denominator 0', 'veltrax:badDenominator', {p, num, [0 1 1], curve});
  c = add(c, 'leading denominator -0', 'veltrax:badDenominator', {p, num, [-0 1 1], curve});
  c = add(c, 'bad denominator and empty numerator', 'veltrax:badDenominator', {p, [], [0 1], curve});

  c = add(c, 'empty numerator', 'veltrax:badNumerator', {p, [], den, curve});
  c = add(c, '1x0 numerator', 'veltrax:badNumerator', {p, zeros(1, 0), den, curve});
  c = add(c, 'column numerator', 'veltrax:badNumerator', {p, [1; 2], den, curve});
  c = add(c, '2x2 numerator', 'veltrax:badNumerator', {p, [1 2; 3 4], den, curve});
  c = add(c, 'numerator as long as denominator', 'veltrax:badNumerator', {p, [1 2 3 4], den, curve});
  c = add(c, 'numerator longer than denominator', 'veltrax:badNumerator', {p, 1:5, den, curve});
  c = add(c, '11 over 11 coefficients', 'veltrax:badNumerator', {p, ones(1, 11), ones(1, 11), curve});

  c = add(c, 'built-in model, 1 element', 'veltrax:badModelParameters', {p, 70, [], curve});
  c = add(c, 'built-in model, empty', 'veltrax:badModelParameters', {p, [], [], curve});
  c = add(c, 'built-in model from 1x0 denominator', 'veltrax:badModelParameters', {p, 70, zeros(1, 0), curve});
  c = add(c, 'built-in model from 2x0 denominator', 'veltrax:badModelParameters', {p, 70, zeros(2, 0), curve});
  for v = [0, -0, -70, NaN, Inf, -Inf]
    c = add(c, sprintf('body mass %g', v), 'veltrax:badModelParameters', {p, [v 6.48], [], curve});
    c = add(c, sprintf('cardiac output %g', v), 'veltrax:badModelParameters', {p, [70 v], [], curve});
  end
  c = add(c, 'body mass 0.5, integration step below 1 s', 'veltrax:badModelParameters', {p, [0.5 6.48], [], curve});

  c = add(c, '3 curve parameters', 'veltrax:badCurveParameters', {p, num, den, curve(1:3)});
  c = add(c, 'empty curve', 'veltrax:badCurveParameters', {p, num, den, []});
  c = add(c, 'built-in model, 3 curve parameters', 'veltrax:badCurveParameters', {p, [70 6.48], [], curve(1:3)});
  c = add(c, 'bad curve and bad T', 'veltrax:badCurveParameters', {p, num, den, [], []});

  c = add(c, 'T of 2 coefficients', 'veltrax:badFilter', {p, num, den, curve, T(1:2)});
  c = add(c, 'empty T', 'veltrax:badFilter', {p, num, den, curve, []});
  c = add(c, 'leading T 0', 'veltrax:badFilter', {p, num, den, curve, [0 T(2:3)]});
  c = add(c, 'leading T -0', 'veltrax:badFilter', {p, num, den, curve, [-0 T(2:3)]});
end

p = [4 0.1 2 1 3 3 0.005 10 0.1];
num = [1 0.5];
den = [1 3 3 1];
curve = [0.404 0.505 2.98 4];
T = [1 -1.2 0.36];
cases = bad_calls(p, num, den, curve, T);
good_a = {p, num, den, curve, T};
good_g = {[3 0.2 4 1 2 2 0.01 1 60], [70.001 6.48], [], curve};

% Called by name: a function handle would keep the plug-in loaded through clear.
for name = {'veltrax1', 'veltrax2', 'veltrax3'}
  name = name{1};
  if strcmp(name, 'veltrax2')
    subset = cases;
  else
    % One case of each identifier.
    [~, first] = unique(cases(:, 2), 'first');
    subset = cases(sort(first), :);
  end

  clear(name);
  a_fresh = run5(name, good_a);
  clear(name);
  g_fresh = run5(name, good_g);
  a_after_g = run5(name, good_a);
  check(~outputs_equal(a_fresh, a_after_g), '%s: the state does not carry over', name);

  % Bad calls right after the load, then A.
  clear(name);
  for k = 1:rows(subset)
    expect_error(subset{k, 1}, subset{k, 2}, name, subset{k, 3});
  end
  expect_too_many_outputs(name, good_a);
  check(outputs_equal(run5(name, good_a), a_fresh), '%s: rejected calls changed the state at load', name);

  % G, bad calls, A equals G, A.
  clear(name);
  check(outputs_equal(run5(name, good_g), g_fresh), '%s: G after a fresh load differs', name);
  for k = 1:rows(subset)
    expect_error(subset{k, 1}, subset{k, 2}, name, subset{k, 3});
  end
  expect_too_many_outputs(name, good_a);
  check(outputs_equal(run5(name, good_a), a_after_g), '%s: rejected calls changed the state after G', name);

  % Fewer outputs run the whole simulation: the next call sees the same state.
  for nout = 0:4
    clear(name);
    if nout == 0
      feval(name, good_g{:});
    else
      r = cell(1, nout);
      [r{1:nout}] = feval(name, good_g{:});
      check(outputs_equal(r, g_fresh(1:nout)), '%s: %d outputs differ from the first of 5', name, nout);
    end
    check(outputs_equal(run5(name, good_a), a_after_g), '%s: the call with %d outputs left another state', ...
           name, nout);
  end

  % Inputs past the fifth are ignored, and so is T unless there are exactly 5.
  base = good_a(1:4);
  clear(name);
  four = run5(name, base);
  clear(name);
  check(outputs_equal(run5(name, [base, {T, 'ignored'}]), four), '%s: 6 inputs differ from 4', name);
  clear(name);
  check(outputs_equal(run5(name, [base, {{}, struct(), int8(7)}]), four), '%s: 7 inputs differ from 4', name);
  clear(name);
  check(outputs_equal(run5(name, [base, {[1 -1.6 0.64]}]), four), '%s: the default T differs from 4 inputs', name);
  clear(name);
  check(~outputs_equal(run5(name, good_a), four), '%s: T has no effect', name);
  clear(name);
end

% The process survived all of it: one more good call.
r = run5('veltrax2', good_a);
check(isequal(size(r{2}), [4 5]), 'veltrax2: the last good call');
