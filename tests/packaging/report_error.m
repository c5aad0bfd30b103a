function report_error(err)
% Prints an error and where it was raised.
% SPDX-License-Identifier: LGPL-2.1-or-later
  fprintf(2, 'error: %s\n', err.message);
  for k = 1:numel(err.stack)
    fprintf(2, '  at %s, line %d\n', err.stack(k).name, err.stack(k).line);
  end
end
