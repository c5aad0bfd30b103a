%VELTRAX1 Adaptive predictive control loop simulation with set-point preview.
%   [t, traj, theta, search, sums] = veltrax1(params, num, den, curve)
%   [t, traj, theta, search, sums] = veltrax1(params, num, den, curve, T)
%
%   Runs params(1) sample periods of the closed loop: process, measurement
%   curve, parameter estimator and predictive controller. This build sees
%   the set-point schedule ahead over the controller's 10-step horizon
%   (preview) and records the cost of the move it applies. See also
%   veltrax2 (base build) and veltrax3 (preview and estimation hold).
%
%   Inputs (real double matrices)
%     params  at least 9 elements; integer elements are truncated toward zero
%             params(1)  N, number of sample periods, N >= 0
%             params(2)  control weight of the cost
%             params(3)  dead time in sample periods, >= 0
%             params(4)  upper control limit u_max; u_max <= 0 leaves the
%                        control unlimited above (it is never below 0)
%             params(5)  a_order, order of the estimated denominator, 0..6
%             params(6)  b_order, number of estimated numerator terms, >= 0
%             params(7)  noise amplitude added to the measurement; <= 0 for
%                        none
%             params(8)  Runge-Kutta steps per sample period, >= 1
%             params(9)  Runge-Kutta step size, positive and finite
%             A 1x10 row (exactly ten columns) draws Gaussian noise with
%             standard deviation params(7) instead of uniform noise in
%             [-params(7), params(7)]; params(10) itself is not read.
%             Limits: a_order + b_order <= 10, dead time + b_order <= 9.
%     num     numerator of the process transfer function, descending powers
%             of s, row vector of lower degree than den
%     den     denominator, descending powers of s, row vector of degree 1 to
%             10 with a nonzero leading coefficient.
%             den = [] selects the built-in drug-distribution model (eleven
%             tissue compartments, six blood pools; the process output is the
%             drug concentration in one tissue). num is then
%             [body_mass, cardiac_output] in kg and litres/minute, and the
%             model advances 60 model seconds per sample period. Both
%             values must be positive and give the model an integration
%             step of at least 1 s.
%     curve   [m, c, g, p]: the measurement is y = v^g / (m^g + v^g) of the
%             process output v; the controller models the curve with
%             midpoint c and exponent p (four elements)
%     T       optional, read only when exactly five inputs are given: the
%             three coefficients of the controller's observer filter,
%             nonzero leading coefficient; default [1 -1.6 0.64]
%
%   Outputs (one row per sample period)
%     t       N x 1, simulated time at the start of each sample period; a
%             sample period lasts params(8)*params(9) time units
%     traj    N x 5:
%               1 set-point, as previewed
%               2 control u after the limits
%               3 measured output y, clamped to [0, 1]
%               4 static gain of the estimated model
%               5 process output v before the measurement curve
%     theta   N x (a_order+b_order), estimates after each sample's update:
%             a_1 .. a_na, then b_0 .. b_(nb-1)
%     search  N x 5:
%               1 best move found by the search
%               2 cost at the best move
%               3 move applied after the limits
%               4 cost at the applied move
%               5 0 (not used by this build)
%     sums    3 x 1: sum of squared errors, sum of time-weighted absolute
%             errors, 60 x integral of the process input
%   Fewer outputs may be requested; the whole simulation runs regardless.
%
%   Set-point schedule over simulated time: 0.8 after loading, kept before
%   t = 100; 0.95 from 100 to 200; 0.9 after 200 up to 250; 0.95 after 250.
%   This build sees the schedule 10 time units ahead, so its set-point
%   column changes before those times.
%
%   Persistence: the time, the three sums, the set-point, the noise
%   generator, the process state, the model's drug amounts and the
%   estimator's history carry over from one call to the next, so a run can
%   be continued in pieces. "clear veltrax1" restores the values at load.
%   veltrax1, veltrax2 and veltrax3 each keep a state of their own.
%
%   Save, restore and branch: a text first input is a command.
%     s = veltrax1('getstate')    the whole state (noise generators, process,
%                                 model amounts, estimator, histories,
%                                 preview, sums, time) as a uint8 row vector
%     veltrax1('setstate', s)     replaces the state with the snapshot s; the
%                                 next call continues bit for bit as after
%                                 the call that ended in s, also after
%                                 "clear veltrax1" or in another session
%   A snapshot loads only into the plug-in that wrote it. A truncated,
%   corrupted, foreign or newer-format snapshot, another plug-in's snapshot
%   or an s that is not a uint8 vector raises veltrax:badSnapshot (the
%   message names the failed check) and leaves the state as it was; another
%   command raises veltrax:badCommand.
%
%   The move search runs on the CPUs this process may use; the environment
%   variable VELTRAX_THREADS sets a smaller number (use 1 when running
%   several simulations in parallel), e.g. setenv('VELTRAX_THREADS', '1').
%
%   Ctrl-C stops a call with the error veltrax:interrupted, and outputs too
%   large for the memory give veltrax:outOfMemory; the state is then as
%   before the call.
%
%   A rejected call leaves the state unchanged and raises an error with one
%   of the identifiers veltrax:notEnoughInputs, veltrax:tooManyOutputs,
%   veltrax:badInputType, veltrax:badParameterVector, veltrax:notAnInteger,
%   veltrax:badSampleCount, veltrax:badDeadTime, veltrax:badOrder,
%   veltrax:badStep, veltrax:badDenominator, veltrax:badNumerator,
%   veltrax:badModelParameters, veltrax:badCurveParameters or
%   veltrax:badFilter.
%
%   Example:
%     p = [300 0.1 4 2 3 3 0 10 0.1];
%     [t, traj, theta, search, sums] = veltrax1(p, 1, [1 3 3 1], ...
%                                               [0.404 0.505 2.98 4.0]);
%     plot(t, traj(:, [1 3]))
%
%   See also veltrax2, veltrax3, matprod.

%!shared p, num, den, curve
%! p = [30 0.1 4 2 3 3 0 10 0.1];
%! num = 1; den = [1 3 3 1]; curve = [0.404 0.505 2.98 4.0];

%!test
%! clear veltrax1
%! [t, traj, theta, search, sums] = veltrax1(p, num, den, curve);
%! assert(size(t), [30 1]);
%! assert(size(traj), [30 5]);
%! assert(size(theta), [30 6]);
%! assert(size(search), [30 5]);
%! assert(size(sums), [3 1]);
%! assert(t, (0:29)');
%! assert(all(search(:, 5) == 0));
%! assert(all(search(:, 4) >= 0));
%! assert(any(search(:, 4) > 0));
%! assert(all(traj(:, 3) >= 0 & traj(:, 3) <= 1));

%!test
%! ## Two calls continue one run; clearing starts it again.
%! clear veltrax1
%! [t1, traj1, ~, ~, s1] = veltrax1(p, num, den, curve);
%! [t2, ~, ~, ~, s2] = veltrax1(p, num, den, curve);
%! assert(t2(1), t1(end) + 1);
%! assert(all(s2 >= s1));
%! clear veltrax1
%! [t3, traj3, ~, ~, s3] = veltrax1(p, num, den, curve);
%! assert(t3, t1);
%! assert(traj3, traj1);
%! assert(s3, s1);

%!test
%! clear veltrax1
%! [~, traj] = veltrax1([20 p(2:end)], [70 5], [], curve);
%! assert(size(traj), [20 5]);
%! assert(all(isfinite(traj(:))));

%!test
%! ## The previewed set-point reaches 0.95 before t = 100.
%! clear veltrax1
%! [t, traj] = veltrax1([110 p(2:end)], num, den, curve);
%! assert(traj(t < 90, 1), 0.8 * ones(90, 1));
%! assert(traj(t == 99, 1), 0.95);

%!test
%! ## A rejected call leaves the state as it was.
%! clear veltrax1
%! try
%!   veltrax1([p(1:2) 7 p(4:9)], num, den, curve);
%! catch
%! end
%! t = veltrax1(p, num, den, curve);
%! assert(t(1), 0);

%!error id=veltrax:notEnoughInputs veltrax1(p, num, den)
%!error id=veltrax:badParameterVector veltrax1(p(1:8), num, den, curve)
%!error id=veltrax:badOrder veltrax1([p(1:4) 7 p(6:9)], num, den, curve)
%!error id=veltrax:badDeadTime veltrax1([p(1:2) 7 p(4:9)], num, den, curve)
%!error id=veltrax:badDenominator veltrax1(p, num, [0 1], curve)
%!error id=veltrax:badNumerator veltrax1(p, [1 1 1 1], den, curve)
%!error id=veltrax:badModelParameters veltrax1(p, 70, [], curve)
%!error id=veltrax:badFilter veltrax1(p, num, den, curve, [0 1 1])
%!error id=veltrax:badInputType veltrax1(single(p), num, den, curve)
%!error id=veltrax:tooManyOutputs [a,b,c,d,e,f] = veltrax1(p, num, den, curve);
