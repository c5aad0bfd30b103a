function gnuplot_png(file, title_text, xlabel_text, ylabel_text, x, ys, labels, opts)
  % gnuplot_png(FILE, TITLE, XLABEL, YLABEL, X, YS, LABELS)
  % gnuplot_png(FILE, TITLE, XLABEL, YLABEL, X, YS, LABELS, OPTS)
  % Writes a PNG line plot of the columns of YS against X through gnuplot's
  % pngcairo terminal (works without a display). LABELS is a cell array with
  % one legend entry per column. Each line has its own colour and dash
  % pattern, and the y ranges leave a margin above and below the data, so
  % that values at a limit stay visible. OPTS, a struct, may set
  %   y2       indices of the columns drawn against a second y axis
  %   y2label  the name of that axis
  %
  % SPDX-License-Identifier: LGPL-2.1-or-later
  if nargin < 8
    opts = struct();
  end
  y2 = [];
  if isfield(opts, 'y2')
    y2 = opts.y2;
  end
  data = [tempname() '.dat'];
  script = [tempname() '.gp'];
  dlmwrite(data, [x(:) ys], 'delimiter', ' ', 'precision', 17);
  fid = fopen(script, 'w');
  fprintf(fid, 'set terminal pngcairo size 900,500 enhanced font "Sans,10"\n');
  fprintf(fid, 'set output "%s"\n', file);
  fprintf(fid, 'set title "%s"\nset xlabel "%s"\nset ylabel "%s"\n', title_text, xlabel_text, ylabel_text);
  fprintf(fid, 'set grid\nset key outside right top\n');
  fprintf(fid, 'set autoscale yfix\nset autoscale y2fix\nset offsets 0, 0, graph 0.05, graph 0.05\n');
  if ~isempty(y2)
    fprintf(fid, 'set y2label "%s"\nset y2tics\nset ytics nomirror\n', opts.y2label);
  end
  dashes = [1 2 4 5 3];   % solid, dashed, dash-dot, dash-dot-dot, dotted
  parts = cell(1, columns(ys));
  for k = 1:columns(ys)
    axis = 'x1y1';
    if any(y2 == k)
      axis = 'x1y2';
    end
    parts{k} = sprintf('"%s" using 1:%d axes %s with lines lw 1.5 lc %d dt %d title "%s"', ...
                       data, k + 1, axis, k, dashes(mod(k - 1, numel(dashes)) + 1), labels{k});
  end
  fprintf(fid, 'plot %s\n', strjoin(parts, ', \\\n     '));
  fclose(fid);
  [status, output] = system(sprintf('gnuplot "%s"', script));
  delete(data);
  delete(script);
  if status ~= 0
    error('gnuplot_png:failed', 'gnuplot failed for %s: %s', file, output);
  end
end
