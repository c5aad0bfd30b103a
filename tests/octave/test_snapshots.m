% SPDX-License-Identifier: LGPL-2.1-or-later
% Snapshots: call A, getstate, a fresh load (clear, and another Octave),
% setstate, call B gives B bit for bit as A then B in one plug-in, for every
% build, both processes and both kinds of noise. Bad snapshots and bad
% commands are rejected with their identifiers and change nothing.
1;

function b = outputs_equal(r, s)
  % Same classes, shapes and bits.
  b = numel(r) == numel(s);
  for k = 1:min(numel(r), numel(s))
    b = b && strcmp(class(r{k}), class(s{k})) && isequal(size(r{k}), size(s{k})) && ...
        isequal(typecast(r{k}(:), 'uint64'), typecast(s{k}(:), 'uint64'));
  end
end

function r = run5(name, args)
  r = cell(1, 5);
  [r{1:5}] = feval(name, args{:});
end

function expect_error(id, text, nout, name, varargin)
  % The call with nout outputs fails with identifier id and text in its message.
  try
    if nout == 0
      feval(name, varargin{:});
    else
      r = cell(1, nout);
      [r{1:nout}] = feval(name, varargin{:});
    end
  catch err
    check(strcmp(err.identifier, id) && ~isempty(strfind(err.message, text)), ...
          '%s: expected %s "...%s...", got %s "%s"', name, id, text, err.identifier, err.message);
    return;
  end
  check(false, '%s: expected %s ("%s"), the call succeeded', name, id, text);
end

curve = [0.404 0.505 2.98 4.0];
% A ends at t = 100 with veltrax3's estimation hold running; B has other
% settings and the filter T.
cases = {};
for b = 1:3
  for proc = {{1, [1 3 3 1]}, {[70 6.48], []}}
    for gaussian = [false true]
      pa = [21 0.1 3 2 3 3 0.02 10 0.5];
      pb = [15 0.3 2 2 2 3 0.03 10 0.5];
      if gaussian
        pa(10) = 0; pb(10) = 0;
      end
      cases(end + 1, :) = {sprintf('veltrax%d', b), [{pa}, proc{1}, {curve}], ...
                           [{pb}, proc{1}, {curve, [1 -1.2 0.36]}]};
    end
  end
end

n = rows(cases);
expected = cell(n, 1);
snapshots = cell(n, 1);
for k = 1:n
  [name, a, b] = cases{k, :};
  clear(name);
  run5(name, a);
  expected{k} = run5(name, b);

  clear(name);
  first = run5(name, a);
  snapshots{k} = feval(name, 'getstate');
  check(isa(snapshots{k}, 'uint8') && rows(snapshots{k}) == 1, '%s: getstate is not a uint8 row', name);
  clear(name);
  feval(name, 'setstate', snapshots{k});
  check(isequal(feval(name, 'getstate'), snapshots{k}), '%s case %d: getstate after setstate differs', name, k);
  check(outputs_equal(run5(name, b), expected{k}), '%s case %d: B after setstate differs from A then B', name, k);

  % clear after setstate: the values at load again.
  clear(name);
  check(outputs_equal(run5(name, a), first), '%s case %d: clear after setstate does not restore the load', name, k);
end
clear veltrax1 veltrax2 veltrax3

% Another Octave loads each snapshot into its fresh plug-in and runs B.
work = tempname();
mkdir(work);
save('-binary', fullfile(work, 'in.mat'), 'cases', 'snapshots');
octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
command = sprintf(['"%s" --norc --no-history --no-window-system --eval ' ...
                   '"addpath(''%s''); addpath(''%s''); snapshot_continue(''%s'', ''%s'')"'], ...
                  octave, fileparts(which('veltrax2')), fileparts(which('check')), ...
                  fullfile(work, 'in.mat'), fullfile(work, 'out.mat'));
[status, text] = system(command);
check(status == 0, 'the second Octave failed: %s', text);
load(fullfile(work, 'out.mat'), 'results');
confirm_recursive_rmdir(false, 'local');
rmdir(work, 's');
for k = 1:n
  check(outputs_equal(results{k}, expected{k}), '%s case %d: B in another Octave differs', cases{k, 1}, k);
end

% Rejected commands and snapshots leave the state as it was.
clear veltrax1 veltrax2
veltrax2([20 0.1 4 2 3 3 0.02 10 0.1], 1, [1 3 3 1], curve);
s = veltrax2('getstate');
other = veltrax1('getstate');
future = s;
future(9) = 3;
corrupt = s;
corrupt(200) = bitxor(corrupt(200), uint8(4));
bad = {
  'veltrax:badSnapshot', 'is empty', {'setstate', uint8([])};
  'veltrax:badSnapshot', 'truncated', {'setstate', s(1:20)};
  'veltrax:badSnapshot', 'truncated', {'setstate', s(1:end - 1)};
  'veltrax:badSnapshot', 'after its end', {'setstate', [s uint8(0)]};
  'veltrax:badSnapshot', 'checksum does not match', {'setstate', corrupt};
  'veltrax:badSnapshot', 'not a veltrax snapshot', {'setstate', uint8(repmat('foreign data ', 1, 5))};
  'veltrax:badSnapshot', 'format version 3', {'setstate', future};
  'veltrax:badSnapshot', 'belongs to veltrax1, not to veltrax2', {'setstate', other};
  'veltrax:badSnapshot', 'got a 1x12403 double', {'setstate', double(s)};
  'veltrax:badSnapshot', 'got a 2x12403 uint8', {'setstate', [s; s]};
  'veltrax:badSnapshot', 'got a 1x12403x2 uint8', {'setstate', cat(3, s, s)};
  'veltrax:badSnapshot', 'must be a uint8 vector', {'setstate', char(s)};
  'veltrax:notEnoughInputs', 'needs the snapshot', {'setstate'};
  'veltrax:badCommand', 'one input after the command', {'setstate', s, s};
  'veltrax:badCommand', 'no further input', {'getstate', 1};
  'veltrax:badCommand', '''getstate'' or ''setstate''', {'getState'};
  'veltrax:badCommand', '''getstate'' or ''setstate''', {['getstate'; 'getstate']};
};
for k = 1:rows(bad)
  expect_error(bad{k, 1}, bad{k, 2}, 0, 'veltrax2', bad{k, 3}{:});
  check(isequal(veltrax2('getstate'), s), 'veltrax2: rejected %s changed the state', bad{k, 2});
end
expect_error('veltrax:tooManyOutputs', 'one output', 2, 'veltrax2', 'getstate');
expect_error('veltrax:tooManyOutputs', 'no output', 1, 'veltrax2', 'setstate', s);
check(isequal(veltrax2('getstate'), s), 'veltrax2: rejected outputs changed the state');
% A column vector loads as well.
clear veltrax2
veltrax2('setstate', s');
check(isequal(veltrax2('getstate'), s), 'veltrax2: a column snapshot did not load');
clear veltrax1 veltrax2
