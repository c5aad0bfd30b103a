% SPDX-License-Identifier: LGPL-2.1-or-later
% Loads the installed package in a fresh session, checks the help texts and
% the four functions, and saves the results of the typical calls.
prefix = getenv('VELTRAX_PKG_PREFIX');
pkg('prefix', fullfile(prefix, 'share'), fullfile(prefix, 'lib'));
pkg('local_list', fullfile(prefix, 'octave_packages'));
pkg('load', 'veltrax');

names = {'veltrax1', 'veltrax2', 'veltrax3', 'matprod'};
for k = 1:numel(names)
  where = which(names{k});
  if !strncmp(where, prefix, numel(prefix)) || !strcmp(where(end-3:end), '.mex')
    error('%s resolves to %s, not to a MEX file of the package', names{k}, where);
  end
end

usage = {'[t, traj, theta, search, sums] = veltrax1(params, num, den, curve)', ...
         '[t, traj, theta, search, sums] = veltrax2(params, num, den, curve)', ...
         '[t, traj, theta, search, sums] = veltrax3(params, num, den, curve)', ...
         'R = matprod(A, B)'};
for k = 1:numel(names)
  text = evalc(sprintf('help %s', names{k}));
  if isempty(strfind(text, usage{k}))
    error('help %s lacks the usage line; it printed:\n%s', names{k}, text);
  end
end

% The plug-ins run, keep their state between calls, and clear resets it.
p = [30 0.1 4 2 3 3 0 10 0.1];
curve = [0.404 0.505 2.98 4.0];
for k = 1:3
  f = names{k};
  clear(f);
  [t1, traj1, theta1, search1, sums1] = feval(f, p, 1, [1 3 3 1], curve);
  assert(size(traj1), [30 5]);
  assert(size(theta1), [30 6]);
  assert(size(search1), [30 5]);
  assert(size(sums1), [3 1]);
  t2 = feval(f, p, 1, [1 3 3 1], curve);
  assert(t2(1), t1(end) + 1);
  clear(f);
  [t3, traj3] = feval(f, p, 1, [1 3 3 1], curve);
  assert(t3, t1);
  assert(traj3, traj1);
end
try
  veltrax2(p, 1, [1 3 3 1]);
  error('veltrax2 accepted three inputs');
catch err
  assert(err.identifier, 'veltrax:notEnoughInputs');
end
assert(matprod([1 2; 3 4], [5; 6]), [17; 39]);

run_builtin_tests();

results = typical_calls();
save('-binary', getenv('VELTRAX_RESULTS'), 'results');
