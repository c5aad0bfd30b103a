function check(condition, varargin)
  % check(CONDITION, FORMAT, ...): fails the test with the message unless
  % CONDITION holds. The message is printed as well, since the runner's
  % report of the error may not show it.
  % SPDX-License-Identifier: LGPL-2.1-or-later
  if ~condition
    msg = sprintf(varargin{:});
    fprintf(2, 'FAIL: %s\n', msg);
    error('test:failed', '%s', msg);
  end
end
