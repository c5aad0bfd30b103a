% Closed-loop simulations with the three plug-ins, their performance sums and
% plots. Run from the repository root after building (bash scripts/demo.sh
% does both):
%   octave-cli --eval "addpath('build/octave'); addpath('examples'); closed_loop_demo('results')"
%
% SPDX-License-Identifier: LGPL-2.1-or-later
function closed_loop_demo(out_dir)
  if nargin < 1
    out_dir = 'results';
  end
  if ~exist(out_dir, 'dir')
    mkdir(out_dir);
  end
  curve = [0.404 0.505 2.98 4.0];   % measurement curve m, c, g, p
  samples = 'time (sample periods)';

  % 1. A third-order process 1/(s+1)^3 under veltrax2: 300 sample periods of
  %    one time unit (10 Runge-Kutta steps of 0.1), control weight 0.1, dead
  %    time 4, control limited to [0, 2], third-order model, no noise.
  p = [300 0.1 4 2 3 3 0 10 0.1];
  clear veltrax2
  [t, traj, theta, search, sums] = veltrax2(p, 1, [1 3 3 1], curve);
  report('veltrax2, linear process 1/(s+1)^3', sums);
  gnuplot_png(fullfile(out_dir, 'linear_closed_loop.png'), ...
              'veltrax2 on 1/(s+1)^3: set-point, measured output and control (limited to [0, 2])', ...
              samples, 'set-point, measured output y (0 to 1); control u', ...
              t, traj(:, [1 3 2]), {'set-point', 'measured output y', 'control u'});
  gnuplot_png(fullfile(out_dir, 'linear_estimates.png'), ...
              'veltrax2 on 1/(s+1)^3: parameter estimates', samples, 'estimate', t, theta, ...
              {'a_1', 'a_2', 'a_3', 'b_0', 'b_1', 'b_2'});

  % 2. The built-in drug-distribution model (empty denominator; body mass
  %    70 kg, cardiac output 6.48 l/min): 300 sample periods of 60 model
  %    seconds, enough for every set-point step; control weight 0.1, no
  %    upper limit on the infusion. The measurement curve has its midpoint at
  %    a concentration of 50 dose units per kg.
  pm = [300 0.1 2 0 3 3 0.005 10 0.1];
  clear veltrax2
  [tm, trm, thm, sem, sumsm] = veltrax2(pm, [70 6.48], [], [50 0.505 2.98 4.0]);
  report('veltrax2, built-in drug-distribution model', sumsm);
  minutes = 'time (sample periods of 60 model seconds, so also minutes)';
  gnuplot_png(fullfile(out_dir, 'model_closed_loop.png'), ...
              'veltrax2 on the built-in model: set-point, measured output and infusion', ...
              minutes, 'set-point, measured output y (0 to 1)', tm, trm(:, [1 3 2]), ...
              {'set-point', 'measured output y', 'infusion u (right axis)'}, ...
              struct('y2', 3, 'y2label', 'infusion u (dose units per second)'));
  gnuplot_png(fullfile(out_dir, 'model_concentration.png'), ...
              'veltrax2 on the built-in model: tissue concentration', minutes, ...
              'concentration v (dose units per kg)', tm, trm(:, 5), {'process output v'});

  % 3. The three builds side by side on the same process: veltrax1 and
  %    veltrax3 see the set-point schedule ten samples ahead.
  clear veltrax1 veltrax2 veltrax3
  [t1, tr1, ~, ~, s1] = veltrax1(p, 1, [1 3 3 1], curve);
  [t2, tr2, ~, ~, s2] = veltrax2(p, 1, [1 3 3 1], curve);
  [t3, tr3, ~, se3, s3] = veltrax3(p, 1, [1 3 3 1], curve);
  report('veltrax1 (set-point preview)', s1);
  report('veltrax2 (base build)', s2);
  report('veltrax3 (preview and estimation hold)', s3);
  gnuplot_png(fullfile(out_dir, 'three_builds.png'), ...
              'The three builds on 1/(s+1)^3: measured outputs', samples, 'measured output y (0 to 1)', ...
              t2, [tr2(:, 1) tr1(:, 3) tr2(:, 3) tr3(:, 3)], ...
              {'set-point (veltrax2)', 'veltrax1', 'veltrax2', 'veltrax3'});

  printf('\nplots in %s/:\n', out_dir);
  plots = {'linear_closed_loop.png', 'set-point, measured output and control of veltrax2 on 1/(s+1)^3'
           'linear_estimates.png',   'the six parameter estimates of that run'
           'model_closed_loop.png',  'set-point, measured output and infusion on the built-in model'
           'model_concentration.png', 'the tissue concentration of that run'
           'three_builds.png',       'the measured outputs of the three builds against the set-point'};
  for k = 1:rows(plots)
    printf('  %-24s %s\n', plots{k, 1}, plots{k, 2});
  end
end

function report(name, sums)
  printf('%s\n  sum of squared errors          %.6g\n  time-weighted absolute errors  %.6g\n  60 x input integral            %.6g\n', ...
         name, sums(1), sums(2), sums(3));
end

