% SPDX-License-Identifier: LGPL-2.1-or-later
% Ctrl-C during a call: a real SIGINT to this Octave stops a long call of
% veltrax2 (in the move search), of veltrax3 (in one long Runge-Kutta
% period) and of matprod with their "interrupted" errors, long before the
% calls would end; the statement assigns nothing and the plug-in's state is
% as before the call.
1;

% Calls f() and sends SIGINT to this Octave one second later; returns the
% error and the seconds from the signal to the end of the call, both read
% from the system clock. f must be in the plug-in within that second: a
% signal that arrives elsewhere is Octave's own interrupt, which no catch
% sees and which ends Octave (said here before it does).
function [err, latency] = interrupt(label, f)
  stamp = [tempname() '.time'];
  system(sprintf('(sleep 1; date +%%s.%%N > %s; kill -INT %d) > /dev/null 2>&1 &', stamp, getpid()));
  err = [];
  returned = false;
  unwind_protect
    try
      f();
    catch err
    end
    returned = true;
  unwind_protect_cleanup
    if ~returned
      fprintf(2, 'FAIL: %s: Octave took the interrupt itself, outside the plug-in\n', label);
    end
  end_unwind_protect
  ended = time();
  for k = 1:100
    if exist(stamp, 'file') break; end
    pause(0.1);
  end
  latency = ended - str2double(fileread(stamp));
  delete(stamp);
end

function expect_interrupted(label, id, err, latency)
  check(~isempty(err), '%s: the call was not interrupted', label);
  check(strcmp(err.identifier, id), '%s: %s (%s), expected %s', label, err.identifier, err.message, id);
  check(latency < 1, '%s: the call ended %.1f s after the signal', label, latency);
  printf('%s: %s %.3f s after SIGINT: %s\n', label, err.identifier, latency, err.message);
end

p = [300 0.1 4 2 3 3 0.01 10 0.1]; num = 1; den = [1 3 3 1]; curve = [0.404 0.505 2.98 4.0];
long = p; long(1) = 200000;       % several minutes
slow = p; slow(1) = 3; slow(8) = 2e9; slow(9) = 1e-9;  % 2e9 Runge-Kutta steps per sample period

clear veltrax2
a = cell(1, 5); b = cell(1, 5);
[a{:}] = veltrax2(p, num, den, curve);
[err, latency] = interrupt('veltrax2', @() veltrax2(long, num, den, curve));
expect_interrupted('veltrax2, N = 200000', 'veltrax:interrupted', err, latency);
[b{:}] = veltrax2(p, num, den, curve);
clear veltrax2
want = cell(1, 5);
[want{:}] = veltrax2(p, num, den, curve);
check(isequal(a, want), 'veltrax2: the first call differs');
[want{:}] = veltrax2(p, num, den, curve);
check(isequal(b, want), 'veltrax2: the call after the interrupted one differs from the second call');

clear veltrax3
[err, latency] = interrupt('veltrax3', @() veltrax3(slow, num, den, curve));
expect_interrupted('veltrax3, 2e9 steps per sample', 'veltrax:interrupted', err, latency);
[a{:}] = veltrax3(p, num, den, curve);
clear veltrax3
[want{:}] = veltrax3(p, num, den, curve);
check(isequal(a, want), 'veltrax3: the call after the interrupted one differs from a first call');

% The interrupted statement assigns nothing. The inputs exist before the
% signal is armed: making them takes more than a second on a busy machine.
product_a = rand(3000);
product_b = rand(3000);
[err, latency] = interrupt('matprod', @() evalin('base', 'product_result = matprod(product_a, product_b);'));
expect_interrupted('matprod, 3000 x 3000', 'matprod:interrupted', err, latency);
check(~exist('product_result', 'var'), 'matprod: the interrupted statement assigned its output');
check(isequal(matprod([1 2; 3 4], [5; 6]), [17; 39]), 'matprod after an interrupted call');
