% SPDX-License-Identifier: LGPL-2.1-or-later
% Loading, persistence between calls, clear, and separate state per plug-in.
p = [120 0.1 4 2 3 3 0.01 10 0.1];
num = 1; den = [1 3 3 1]; curve = [0.404 0.505 2.98 4.0];

clear veltrax1 veltrax2 veltrax3
[t, tr, th, se, s] = veltrax2(p, num, den, curve);
assert(isequal(size(t), [120 1]) && isequal(size(tr), [120 5]) && isequal(size(th), [120 6]));
assert(isequal(size(se), [120 5]) && isequal(size(s), [3 1]));
assert(t(1) == 0 && abs(t(end) - 119) < 1e-9);

% A second identical call continues: time, sums, set-point, noise, process.
[t2, tr2, th2, se2, s2] = veltrax2(p, num, den, curve);
assert(abs(t2(1) - 120) < 1e-9);
assert(all(s2 > s));
assert(tr2(1, 1) == tr(end, 1));
assert(se2(1, 5) ~= se(1, 5));
assert(~isequal(tr2(:, 5), tr(:, 5)));

% Unloading restores the values at load: the first call again, bit for bit.
clear veltrax2
[t3, tr3, th3, se3, s3] = veltrax2(p, num, den, curve);
assert(isequal(t3, t) && isequal(tr3, tr) && isequal(th3, th) && isequal(se3, se) && isequal(s3, s));

% The three plug-ins keep separate state; clearing one leaves the others.
clear veltrax1 veltrax2 veltrax3
[~, a1] = veltrax1(p, num, den, curve);
[~, a2] = veltrax2(p, num, den, curve);
[~, a3] = veltrax3(p, num, den, curve);
assert(~isequal(a1, a2) && ~isequal(a2, a3));
clear veltrax2
[~, b2] = veltrax2(p, num, den, curve);
assert(isequal(b2, a2));
[~, b1] = veltrax1(p, num, den, curve);
[~, b3] = veltrax3(p, num, den, curve);
clear veltrax1 veltrax3
[~, c1] = veltrax1(p, num, den, curve);
[~, c3] = veltrax3(p, num, den, curve);
assert(isequal(c1, a1) && isequal(c3, a3));
assert(~isequal(b1, a1) && ~isequal(b3, a3));

% The thread count of the move search does not change a bit. A value that is
% not a positive integer gives one warning per call and the default.
old = getenv('VELTRAX_THREADS');
setenv('VELTRAX_THREADS', '1');
clear veltrax3
[o1{1:5}] = veltrax3(p, num, den, curve);
setenv('VELTRAX_THREADS', '3');
clear veltrax3
[o2{1:5}] = veltrax3(p, num, den, curve);
assert(isequal(o1, o2));
setenv('VELTRAX_THREADS', '-1');
clear veltrax3
lastwarn('');
shown = evalc('[o3{1:5}] = veltrax3(p, num, den, curve);');
[~, id] = lastwarn();
assert(strcmp(id, 'veltrax:badThreadCount') && numel(strfind(shown, 'is not a positive integer')) == 1, shown);
assert(isequal(o1, o3));
% Made an error by the user, the warning stops the call as the host's error.
warning('error', 'veltrax:badThreadCount');
err = [];
try
  veltrax3(p, num, den, curve);
catch err
end
warning('on', 'veltrax:badThreadCount');
check(~isempty(err), 'warning as error: the call went on');
check(strcmp(err.identifier, 'veltrax:badThreadCount'), 'warning as error: %s (%s)', err.identifier, err.message);
if isempty(old)
  unsetenv('VELTRAX_THREADS');
else
  setenv('VELTRAX_THREADS', old);
end

% The built-in model: empty denominator, body mass and cardiac output.
clear veltrax2
pm = [120 0.1 2 0 3 3 0.005 10 0.1];
[tm, trm] = veltrax2(pm, [70 6.48], [], [50 0.505 2.98 4.0]);
assert(trm(1, 5) == 0 && trm(60, 5) > trm(10, 5) && trm(60, 5) > 10);
% It settles on the set-point and follows the change at t = 100.
assert(all(abs(trm(60:100, 3) - 0.8) < 0.02));
assert(mean(trm(111:120, 3)) > 0.92);
[tm2, trm2] = veltrax2(pm, [70 6.48], [], [50 0.505 2.98 4.0]);
assert(trm2(1, 5) > 0);
clear veltrax2

% matprod
assert(isequal(matprod([1 2 3; 4 5 6], [7 8; 9 10; 11 12]), [58 64; 139 154]));
assert(isequal(matprod(3, [1 -2 4]), [3 -6 12]));
assert(isequal(size(matprod(zeros(0, 3), ones(3, 2))), [0 2]));
assert(isequal(size(matprod(ones(2, 3), zeros(3, 0))), [2 0]));
assert(isequal(matprod(zeros(2, 0), zeros(0, 3)), zeros(2, 3)));
