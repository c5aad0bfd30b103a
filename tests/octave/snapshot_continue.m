function snapshot_continue(in, out)
  % The second Octave of test_snapshots.m: loads each case's snapshot into
  % its freshly loaded plug-in and runs the case's call B.
% SPDX-License-Identifier: LGPL-2.1-or-later
  load(in, 'cases', 'snapshots');
  results = cell(size(snapshots));
  for k = 1:numel(snapshots)
    name = cases{k, 1};
    clear(name);
    feval(name, 'setstate', snapshots{k});
    results{k} = cell(1, 5);
    [results{k}{1:5}] = feval(name, cases{k, 3}{:});
  end
  save('-binary', out, 'results');
end
