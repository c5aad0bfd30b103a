function s = read_sweep(outdir)
  % S = READ_SWEEP(OUTDIR) reads the sweep that
  %   veltrax batch SCENARIO... -o OUTDIR --store netcdf [--shard K/N]
  % wrote: every shard file OUTDIR/sweep*.nc, the runs stored complete, in
  % the sweep's order. S has one element per run:
  %   scenario     name of the run's scenario
  %   individual   individual of its population (0: none)
  %   status       1 ok, 2 failed
  %   iae          integral of absolute error of each call (NaN: did not run)
  %   t, y, u      the first call's time, measurement and control
  % and prints how many runs there are and their median IAE. The file's
  % variables are described by their long_name and units attributes
  % (ncinfo), the scenarios by the global attribute "scenarios" (JSON).
  %
  % Octave needs its netcdf package (Debian: octave-netcdf); MATLAB has
  % ncread built in. NetCDF arrays come back with their dimensions reversed:
  % iae(call, run), trajectory(column, sample, call, run).
  %
  % SPDX-License-Identifier: LGPL-2.1-or-later
  if exist('OCTAVE_VERSION', 'builtin')
    pkg load netcdf
  end
  files = dir(fullfile(outdir, 'sweep*.nc'));
  if isempty(files)
    error('read_sweep:noStore', '%s holds no sweep*.nc file', outdir);
  end
  s = struct('scenario', {}, 'individual', {}, 'status', {}, 'iae', {}, 't', {}, 'y', {}, 'u', {});
  for f = 1:numel(files)
    file = fullfile(outdir, files(f).name);
    scenarios = jsondecode(ncreadatt(file, '/', 'scenarios'));
    complete = find(ncread(file, 'complete') == 1);
    scenario = double(ncread(file, 'scenario')) + 1;
    individual = double(ncread(file, 'individual'));
    status = double(ncread(file, 'status'));
    samples = ncread(file, 'samples');          % call x run
    iae = ncread(file, 'iae');
    time = ncread(file, 'time');                % sample x call x run
    trajectory = ncread(file, 'trajectory');    % column (setpoint u y static_gain v) x sample x call x run
    for r = complete(:)'
      n = samples(1, r);
      if isnan(n), n = 0; end
      s(end + 1) = struct('scenario', scenarios(scenario(r)).name, 'individual', individual(r), ...
                          'status', status(r), 'iae', iae(:, r), 't', time(1:n, 1, r), ...
                          'y', trajectory(3, 1:n, 1, r)', 'u', trajectory(2, 1:n, 1, r)');
    end
  end
  [~, order] = sortrows([{s.scenario}', num2cell([s.individual]')]);
  s = s(order);
  first = arrayfun(@(r) r.iae(1), s);
  fprintf('%d runs, median IAE of the first call %.4g\n', numel(s), median(first(~isnan(first))));
end
