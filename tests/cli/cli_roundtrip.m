% SPDX-License-Identifier: LGPL-2.1-or-later
% bin/veltrax against the plug-ins: the calls of a scenario, run in one
% simulation, give bit-identical outputs to the same calls of a freshly
% cleared plug-in, and rejected calls give the same identifier and message.
1;

function c = gw_call(params, num, den, curve, T)
  if nargin < 5
    T = [];
  end
  c = struct('params', params, 'num', num, 'den', den, 'curve', curve, 'T', T);
end

function s = json_row(v)
  s = ['[' strjoin(arrayfun(@(x) sprintf('%.17g', x), v, 'UniformOutput', false), ', ') ']'];
end

% Every call written out in full; an empty denominator as "model".
function write_scenario(file, build, calls)
  parts = {};
  for k = 1:numel(calls)
    c = calls{k};
    f = sprintf('"params": %s, "curve": %s', json_row(c.params), json_row(c.curve));
    if isempty(c.den)
      f = [f sprintf(', "model": {"body_mass": %.17g, "cardiac_output": %.17g}', c.num(1), c.num(2))];
    else
      f = [f sprintf(', "numerator": %s, "denominator": %s', json_row(c.num), json_row(c.den))];
    end
    if ~isempty(c.T)
      f = [f ', "T": ' json_row(c.T)];
    end
    parts{end + 1} = ['{' f '}'];
  end
  fid = fopen(file, 'w');
  fprintf(fid, '{"build": %d, "calls": [\n  %s\n]}\n', build, strjoin(parts, sprintf(',\n  ')));
  fclose(fid);
end

function [status, text] = run_cli(args)
  cli = fullfile(getenv('VELTRAX_BUILD_DIR'), 'bin', 'veltrax');
  [status, text] = system(sprintf('"%s" %s 2>&1', cli, args));
end

function out = plugin_calls(build, calls)
  name = sprintf('veltrax%d', build);
  clear(name);  % back to the state at load
  out = cell(numel(calls), 1);
  for k = 1:numel(calls)
    c = calls{k};
    o = cell(1, 5);
    if isempty(c.T)
      [o{:}] = feval(name, c.params, c.num, c.den, c.curve);
    else
      [o{:}] = feval(name, c.params, c.num, c.den, c.curve, c.T);
    end
    o{5} = o{5}.';  % the sums file is one row
    out{k} = o;
  end
end

function same_bits(got, want, what)
  if ~isequal(size(got), size(want))
    error('%s: size %s, plug-in %s', what, mat2str(size(got)), mat2str(size(want)));
  end
  differ = find(typecast(got(:), 'uint64') ~= typecast(want(:), 'uint64'), 1);
  if ~isempty(differ)
    error('%s: element %d is %.17g, plug-in %.17g', what, differ, got(differ), want(differ));
  end
end

function check_outputs(dir, build, calls, label)
  names = {'time', 'trajectory', 'theta', 'search', 'sums'};
  want = plugin_calls(build, calls);
  for k = 1:numel(calls)
    for i = 1:5
      file = fullfile(dir, sprintf('call%d_%s.csv', k, names{i}));
      got = dlmread(file, ',', 1, 0);
      same_bits(got, want{k}{i}, sprintf('%s, call %d, %s', label, k, names{i}));
    end
  end
end

function check_scenario_file(file, build, calls, label, work)
  dir = fullfile(work, label);
  [status, text] = run_cli(sprintf('run "%s" -o "%s"', file, dir));
  if status ~= 0
    error('%s: veltrax run failed (%d): %s', label, status, text);
  end
  check_outputs(dir, build, calls, label);
end

function check_calls(build, calls, label, work)
  file = fullfile(work, [label '.json']);
  write_scenario(file, build, calls);
  check_scenario_file(file, build, calls, label, work);
end

% A scenario whose last call the gateway rejects: the CLI reports the
% plug-in's identifier and message, and the calls before it match.
function check_rejected(build, calls, label, work)
  file = fullfile(work, [label '.json']);
  write_scenario(file, build, calls);
  dir = fullfile(work, label);
  [status, text] = run_cli(sprintf('run "%s" -o "%s"', file, dir));
  name = sprintf('veltrax%d', build);
  try
    plugin_calls(build, calls);
    error('%s: the plug-in accepted the calls', label);
  catch err
  end
  message = regexprep(err.message, ['^' name ': '], '');
  expected = sprintf('call %d: %s: %s', numel(calls), err.identifier, message);
  if status ~= 1 || isempty(strfind(text, expected))
    error('%s: exit %d, stderr "%s"; expected exit 1 and "%s"', label, status, strtrim(text), expected);
  end
  if numel(calls) > 1
    check_outputs(dir, build, calls(1:end - 1), label);
  end
end

work = tempname();
mkdir(work);

third = {[1], [1 3 3 1]};
curve = [0.404 0.505 2.98 4.0];
body = [70 6.48];

% Two calls in one simulation: the second goes on from the first (time,
% sums, estimates, noise), with other settings and a filter T.
for b = 1:3
  check_calls(b, {gw_call([60 0.1 4 2 3 3 0.01 10 0.1], third{:}, curve), ...
                  gw_call([50 0.3 2 2 2 2 0.01 10 0.1], third{:}, [0.45 0.5 3.0 3.5], [1 -0.8 0.16])}, ...
              sprintf('linear_b%d', b), work);
  check_calls(b, {gw_call([40 0.1 2 0 3 3 0.005 10 0.1], body, [], curve), ...
                  gw_call([40 0.1 2 0 3 3 0.005 10 0.1], body, [], curve)}, ...
              sprintf('model_b%d', b), work);
end
% Ten parameters select Gaussian noise; a linear call after a model call.
check_calls(2, {gw_call([50 0.1 0 0 1 1 0.02 10 0.1 0], [1], [1 2 1], curve), ...
                gw_call([50 0.1 0 0 1 1 0.02 10 0.1 0], [1], [1 2 1], curve)}, 'gaussian', work);
check_calls(3, {gw_call([30 0.1 2 0 3 3 0.005 10 0.1], body, [], curve), ...
                gw_call([30 0.2 4 2 6 3 0 5 0.2], [2 1], [1 4 6 4 1], curve)}, 'model_then_linear', work);

% The shipped examples mean these plug-in calls.
examples = fullfile(getenv('VELTRAX_SOURCE_DIR'), 'examples', 'scenarios');
check_scenario_file(fullfile(examples, 'linear_third_order.json'), 2, ...
                    {gw_call([300 0.1 4 2 3 3 0 10 0.1], third{:}, curve)}, 'linear_third_order', work);
check_scenario_file(fullfile(examples, 'drug_model.json'), 2, ...
                    {gw_call([300 0.1 2 0 3 3 0.005 10 0.1], body, [], [50 curve(2:4)])}, 'drug_model', work);
check_scenario_file(fullfile(examples, 'two_calls.json'), 2, ...
                    {gw_call([150 0.1 4 2 3 3 0.01 10 0.1], third{:}, curve, [1 -0.8 0.16]), ...
                     gw_call([150 0.3 4 2 3 3 0.01 10 0.1], third{:}, curve, [1 -0.8 0.16])}, 'two_calls', work);

typical = [30 0.1 4 2 3 3 0 10 0.1];
check_rejected(2, {gw_call(typical, third{:}, curve), gw_call([30 0.1 4 2 7 3 0 10 0.1], third{:}, curve)}, ...
               'bad_order', work);
check_rejected(1, {gw_call(typical(1:8), third{:}, curve)}, 'short_params', work);
check_rejected(3, {gw_call(typical, [1], [0 1], curve)}, 'zero_denominator', work);
check_rejected(2, {gw_call(typical, [1 2 3 4], [1 3 3 1], curve)}, 'improper', work);
check_rejected(2, {gw_call(typical, third{:}, curve), gw_call(typical, [70 -1], [], curve)}, 'bad_model', work);
check_rejected(2, {gw_call(typical, third{:}, curve, [0 1 1])}, 'bad_filter', work);
check_rejected(2, {gw_call(typical, third{:}, curve(1:3))}, 'short_curve', work);

% State files are the plug-ins' snapshots: the plug-in's state after A,
% written with fwrite, lets the tool run B as the plug-in runs it after A, and
% the tool's final state is the plug-in's after A and B, byte for byte.
a = gw_call([40 0.1 3 2 3 3 0.02 10 0.5 0], third{:}, curve);
b = gw_call([30 0.3 2 2 2 3 0.02 10 0.5], third{:}, curve, [1 -1.2 0.36]);
want = plugin_calls(3, {a, b});
after_ab = veltrax3('getstate');
plugin_calls(3, {a});
fid = fopen(fullfile(work, 'plugin.state'), 'w');
fwrite(fid, veltrax3('getstate'));
fclose(fid);
write_scenario(fullfile(work, 'b.json'), 3, {b});
[status, text] = run_cli(sprintf('run "%s" -o "%s" --load-state "%s" --save-state "%s"', fullfile(work, 'b.json'), ...
                                 fullfile(work, 'resumed'), fullfile(work, 'plugin.state'), fullfile(work, 'tool.state')));
if status ~= 0
  error('resumed: veltrax run failed (%d): %s', status, text);
end
names = {'time', 'trajectory', 'theta', 'search', 'sums'};
for i = 1:5
  got = dlmread(fullfile(work, 'resumed', ['call1_' names{i} '.csv']), ',', 1, 0);
  same_bits(got, want{2}{i}, ['resumed from the plug-in''s state, ' names{i}]);
end
fid = fopen(fullfile(work, 'tool.state'), 'r');
saved = fread(fid, Inf, 'uint8=>uint8');
fclose(fid);
if ~isequal(saved', after_ab)
  error('the tool''s final state differs from the plug-in''s after the same calls');
end
clear veltrax3
veltrax3('setstate', saved);
if ~isequal(veltrax3('getstate'), after_ab)
  error('the tool''s state file does not load into the plug-in');
end
clear veltrax3

confirm_recursive_rmdir(false);
rmdir(work, 's');
