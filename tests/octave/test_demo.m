% SPDX-License-Identifier: LGPL-2.1-or-later
% The example script runs and writes its plots.
addpath(fullfile(getenv('VELTRAX_SOURCE_DIR'), 'examples'));
out = tempname();
closed_loop_demo(out);
for f = {'linear_closed_loop', 'linear_estimates', 'model_closed_loop', 'model_concentration', 'three_builds'}
  info = dir(fullfile(out, [f{1} '.png']));
  assert(numel(info) == 1 && info.bytes > 1000, 'missing plot %s', f{1});
end
confirm_recursive_rmdir(false);
rmdir(out, 's');
