% SPDX-License-Identifier: LGPL-2.1-or-later
% Runs the typical calls with the CMake-built plug-ins and compares them bit
% for bit with the results of the installed package.
plugins = getenv('VELTRAX_PLUGIN_DIR');
addpath(plugins);
names = {'veltrax1', 'veltrax2', 'veltrax3', 'matprod'};
for k = 1:numel(names)
  where = which(names{k});
  if !strcmp(where, fullfile(plugins, [names{k} '.mex']))
    error('%s resolves to %s, not to the CMake build', names{k}, where);
  end
end

saved = load(getenv('VELTRAX_RESULTS'));
from_package = saved.results;
from_cmake = typical_calls();

% Guard against comparing empty or degenerate runs.
assert(size(from_cmake.veltrax2_traj), [300 5]);
assert(all(from_cmake.veltrax2_sums > 0));
assert(all(isfinite(from_cmake.veltrax2_traj_model(:))));

bits = @(x) typecast(x(:), 'uint64');
fields = fieldnames(from_cmake);
assert(fieldnames(from_package), fields);
for k = 1:numel(fields)
  a = from_package.(fields{k});
  b = from_cmake.(fields{k});
  if !isequal(size(a), size(b)) || !isequal(bits(a), bits(b))
    error('%s differs between the package and the CMake build', fields{k});
  end
end
printf('%d results bit-identical\n', numel(fields));
