function build_veltrax(outdir, varargin)
%BUILD_VELTRAX Build the veltrax plug-ins for MATLAB.
%   build_veltrax compiles veltrax1, veltrax2, veltrax3 and matprod with mex
%   into the folder of their help texts (mex/help in the source tree) and
%   writes the help texts veltrax1.m, veltrax2.m and veltrax3.m there from
%   the template veltrax.m.in. Add that folder to the path to use them:
%     addpath(fullfile(<source tree>, 'mex', 'help'))
%
%   build_veltrax(outdir) writes the plug-ins and their help texts to outdir
%   instead, so that "help veltrax2" works beside them.
%
%   build_veltrax(outdir, opt1, ...) passes further options to every mex
%   call, e.g. build_veltrax([], '-v') for the full compiler commands.
%
%   Needs a C++17 compiler set up for mex (mex -setup C++; GCC 8 or later)
%   on Linux. The compiler flags and the core sources are read from
%   cmake/compile-flags.txt and cmake/core-sources.txt, the lists that the
%   CMake build and the Octave package use, so the results are
%   bit-identical to theirs. The C++ runtime is linked statically, since
%   MATLAB loads its own, often older, one.
%
%   See also mex, veltrax2.

% SPDX-License-Identifier: LGPL-2.1-or-later

root = fileparts(fileparts(mfilename('fullpath')));
helpdir = fullfile(root, 'mex', 'help');
if nargin < 1 || isempty(outdir)
    outdir = helpdir;
end

if ~isunix || ismac
    error('build_veltrax:platform', ...
          'build_veltrax supports Linux with GCC only (the flags are GCC flags)');
end

flags = read_list(fullfile(root, 'cmake', 'compile-flags.txt'));
optimize = strncmp(flags, '-O', 2);
% VELTRAX_HOST_MATLAB and libut: Ctrl-C stops a call (MATLAB's interrupt query).
mexflags = {
    ['-I' root]
    '-DVELTRAX_HOST_MATLAB'
    ['CXXFLAGS=$CXXFLAGS ' strjoin(flags(~optimize)', ' ')]
    ['CXXOPTIMFLAGS=' strjoin(flags(optimize)', ' ')]
    'LDFLAGS=$LDFLAGS -static-libstdc++ -static-libgcc'
    '-lut'
    }';

% Core sources: "<library> <file>" per line.
entries = regexp(read_list(fullfile(root, 'cmake', 'core-sources.txt')), '\s+', 'split');
library = cellfun(@(e) e{1}, entries, 'UniformOutput', false);
files = cellfun(@(e) e{end}, entries, 'UniformOutput', false);
veltrax_sources = in_tree(root, [{'mex/veltrax_mex.cpp'}; files(strcmp(library, 'veltrax_core') | strcmp(library, 'veltrax_settings'))]);
matprod_sources = in_tree(root, [{'mex/matprod_mex.cpp'}; files(strcmp(library, 'matprod_core'))]);

if ~exist(outdir, 'dir')
    mkdir(outdir);
end

for b = 1:3
    name = sprintf('veltrax%d', b);
    clear(name);  % a loaded plug-in cannot be replaced
    fprintf('Building %s\n', name);
    % -ldl: the core's power function looks up the C library's own (dlvsym).
    mex('-R2017b', '-output', name, '-outdir', outdir, mexflags{:}, ...
        sprintf('-DVELTRAX_BUILD=%d', b), varargin{:}, veltrax_sources{:}, '-ldl');
    write_help_text(fullfile(helpdir, 'veltrax.m.in'), b, fullfile(outdir, [name '.m']));
end

% 32-bit compatible array dimensions: the product is created through
% mxCreateDoubleMatrix_700.
clear('matprod');
fprintf('Building matprod\n');
mex('-R2017b', '-compatibleArrayDims', '-output', 'matprod', '-outdir', outdir, ...
    mexflags{:}, varargin{:}, matprod_sources{:});

if ~strcmp(canonical(outdir), canonical(helpdir))
    copyfile(fullfile(helpdir, 'matprod.m'), outdir);
end
fprintf('The plug-ins are in %s\n', outdir);
end

function lines = read_list(file)
% The lines of a list file, without comments and blank lines, as a column.
lines = strtrim(regexp(fileread(file), '\r?\n', 'split'))';
lines = lines(~cellfun(@isempty, lines) & ~strncmp(lines, '#', 1));
end

function write_help_text(template, build, output)
% The help text of one build: a template line that starts with {digits}
% belongs only to the builds named by the digits; @N@ is the build number.
lines = regexp(fileread(template), '\n', 'split');
keep = true(size(lines));
for k = 1:numel(lines)
    tag = regexp(lines{k}, '^\{([0-9]+)\}', 'tokens', 'once');
    if ~isempty(tag)
        keep(k) = any(tag{1} == sprintf('%d', build));
        lines{k} = lines{k}(numel(tag{1}) + 3:end);
    end
end
text = strrep(strjoin(lines(keep), sprintf('\n')), '@N@', sprintf('%d', build));
fid = fopen(output, 'w');
if fid < 0
    error('build_veltrax:write', 'cannot write %s', output);
end
fwrite(fid, text);
fclose(fid);
end

function paths = in_tree(root, files)
% Full paths of source files, checked to exist.
paths = cell(size(files));
for k = 1:numel(files)
    paths{k} = fullfile(root, files{k});
    if ~exist(paths{k}, 'file')
        error('build_veltrax:missingSource', 'source file %s not found', paths{k});
    end
end
end

function p = canonical(p)
% Absolute form of a folder name, for comparing two of them.
here = pwd;
cd(p);
p = pwd;
cd(here);
end
