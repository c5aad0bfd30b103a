function r = typical_calls()
% Results of a few calls of each plug-in, each from the state at load, as
% one struct of double matrices.
% SPDX-License-Identifier: LGPL-2.1-or-later
  p = [300 0.1 4 2 3 3 0 10 0.1];
  curve = [0.404 0.505 2.98 4.0];
  for k = 1:3
    f = sprintf('veltrax%d', k);
    clear(f);
    % The typical call, then the same run continued with Gaussian noise and
    % an own observer filter.
    [r.([f '_t']), r.([f '_traj']), r.([f '_theta']), r.([f '_search']), r.([f '_sums'])] = ...
        feval(f, p, 1, [1 3 3 1], curve);
    [~, r.([f '_traj_noise']), ~, r.([f '_search_noise']), r.([f '_sums_noise'])] = ...
        feval(f, [100 0.1 4 2 3 3 0.01 10 0.1 0], 1, [1 3 3 1], curve, [1 -1.5 0.56]);
    % The built-in drug-distribution model.
    clear(f);
    [~, r.([f '_traj_model']), r.([f '_theta_model']), ~, r.([f '_sums_model'])] = ...
        feval(f, [60 0.1 4 2 3 3 0 10 0.1], [70 5], [], curve);
    clear(f);
  end
  a = reshape(sin(1:35), 5, 7);
  b = reshape(cos(1:28), 7, 4) * 1e3;
  r.matprod = matprod(a, b);
end
