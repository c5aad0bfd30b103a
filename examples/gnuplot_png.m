function gnuplot_png(file, title_text, xlabel_text, ylabel_text, x, ys, labels)
  % gnuplot_png(FILE, TITLE, XLABEL, YLABEL, X, YS, LABELS)
  % Writes a PNG line plot of the columns of YS against X through gnuplot's
  % pngcairo terminal (works without a display). LABELS is a cell array with
  % one legend entry per column.
  data = [tempname() '.dat'];
  script = [tempname() '.gp'];
  dlmwrite(data, [x(:) ys], 'delimiter', ' ', 'precision', 17);
  fid = fopen(script, 'w');
  fprintf(fid, 'set terminal pngcairo size 900,500 enhanced font "Sans,10"\n');
  fprintf(fid, 'set output "%s"\n', file);
  fprintf(fid, 'set title "%s"\nset xlabel "%s"\nset ylabel "%s"\n', title_text, xlabel_text, ylabel_text);
  fprintf(fid, 'set grid\nset key outside right top\n');
  parts = cell(1, columns(ys));
  for k = 1:columns(ys)
    parts{k} = sprintf('"%s" using 1:%d with lines lw 1.5 title "%s"', data, k + 1, labels{k});
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
