function run_builtin_tests()
% Runs the %!test blocks of the four help files, as found on the path, and
% raises an error when one fails.
% SPDX-License-Identifier: LGPL-2.1-or-later
  names = {'veltrax1', 'veltrax2', 'veltrax3', 'matprod'};
  failed = {};
  for k = 1:numel(names)
    [passed, total] = test(names{k}, 'quiet', stdout);
    printf('%s: %d of %d passed\n', names{k}, passed, total);
    if total == 0 || passed != total
      failed{end+1} = names{k};
    end
  end
  if !isempty(failed)
    error('built-in tests failed: %s', strjoin(failed, ', '));
  end
end
