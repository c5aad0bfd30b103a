function build_veltrax(outdir, varargin)
%BUILD_VELTRAX Build the veltrax plug-ins for MATLAB.
%   build_veltrax compiles veltrax1, veltrax2, veltrax3 and matprod with mex
%   into the folder of their help texts (mex/help in the source tree). Add
%   that folder to the path to use them:
%     addpath(fullfile(<source tree>, 'mex', 'help'))
%
%   build_veltrax(outdir) writes the plug-ins to outdir instead and copies
%   the help texts there, so that "help veltrax2" works beside them.
%
%   build_veltrax(outdir, opt1, ...) passes further options to every mex
%   call, e.g. build_veltrax([], '-v') for the full compiler commands.
%
%   Needs a C++20 compiler set up for mex (mex -setup C++; GCC 10 or later)
%   on Linux. The flags keep the results bit-identical to the Octave builds:
%   no fused multiply-add and no value-changing optimisations. The C++
%   runtime is linked statically, since MATLAB loads its own, often older,
%   one. -fno-gnu-unique keeps a plug-in unloadable, so that
%   "clear veltrax2" brings back its values at load.
%
%   See also mex, veltrax2.

root = fileparts(fileparts(mfilename('fullpath')));
helpdir = fullfile(root, 'mex', 'help');
if nargin < 1 || isempty(outdir)
    outdir = helpdir;
end

if ~isunix || ismac
    error('build_veltrax:platform', ...
          'build_veltrax supports Linux with GCC only (the flags are GCC flags)');
end

% Sources of the simulation core and of the matrix product, relative to the
% source tree; the same lists as the CMake targets veltrax_core and
% matprod_core.
veltrax_core = {
    'numeric/deviates.cpp'
    'numeric/linear_process.cpp'
    'process_model/process_model.cpp'
    'controller/estimator.cpp'
    'controller/prediction.cpp'
    'driver/arguments.cpp'
    'driver/search_team.cpp'
    'driver/run.cpp'
    'driver/snapshot.cpp'
    'driver/setpoint_schedule.cpp'
    'platform/resources.cpp'
    };
matprod_core = {
    'matprod/matprod.cpp'
    'platform/resources.cpp'
    };

veltrax_sources = in_tree(root, [{'mex/veltrax_mex.cpp'}; veltrax_core]);
matprod_sources = in_tree(root, [{'mex/matprod_mex.cpp'}; matprod_core]);

% VELTRAX_HOST_MATLAB and libut: Ctrl-C stops a call (MATLAB's interrupt query).
flags = {
    ['-I' root]
    '-DVELTRAX_HOST_MATLAB'
    'CXXFLAGS=$CXXFLAGS -std=c++20 -ffp-contract=off -fno-fast-math -fno-gnu-unique -fvisibility=hidden'
    'CXXOPTIMFLAGS=-O2'
    'LDFLAGS=$LDFLAGS -static-libstdc++ -static-libgcc'
    '-lut'
    }';

if ~exist(outdir, 'dir')
    mkdir(outdir);
end

for b = 1:3
    name = sprintf('veltrax%d', b);
    clear(name);  % a loaded plug-in cannot be replaced
    fprintf('Building %s\n', name);
    mex('-R2017b', '-output', name, '-outdir', outdir, flags{:}, ...
        sprintf('-DVELTRAX_BUILD=%d', b), varargin{:}, veltrax_sources{:});
end

% 32-bit compatible array dimensions: the product is created through
% mxCreateDoubleMatrix_700.
clear('matprod');
fprintf('Building matprod\n');
mex('-R2017b', '-compatibleArrayDims', '-output', 'matprod', '-outdir', outdir, ...
    flags{:}, varargin{:}, matprod_sources{:});

if ~strcmp(canonical(outdir), canonical(helpdir))
    names = {'veltrax1', 'veltrax2', 'veltrax3', 'matprod'};
    for k = 1:numel(names)
        copyfile(fullfile(helpdir, [names{k} '.m']), outdir);
    end
end
fprintf('The plug-ins are in %s\n', outdir);
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
