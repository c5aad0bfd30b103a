% SPDX-License-Identifier: LGPL-2.1-or-later
% Runs matlab/build_veltrax.m with mex replaced by a recorder and checks the
% four calls it makes: options, build numbers, and the flags and source lists
% as CMake reads them (VELTRAX_COMPILE_FLAGS, VELTRAX_OPTIMIZE_FLAGS,
% VELTRAX_CORE_SOURCES, MATPROD_CORE_SOURCES); and that the help texts it
% writes equal those of the CMake build (VELTRAX_HELP_DIR).
root = getenv('VELTRAX_SOURCE_DIR');
outdir = fullfile(getenv('VELTRAX_SCRATCH'), 'out');
if exist(outdir, 'dir')
  confirm_recursive_rmdir(false, 'local');
  rmdir(outdir, 's');
end
here = fileparts(mfilename('fullpath'));
addpath(fullfile(root, 'matlab'));
warning('off', 'Octave:shadowed-function', 'local');
addpath(fullfile(here, 'mex_recorder'));
assert(strcmp(which('mex'), fullfile(here, 'mex_recorder', 'mex.m')));

global recorded_mex_calls
recorded_mex_calls = {};
build_veltrax(outdir, '-v');
calls = recorded_mex_calls;
assert(numel(calls), 4);

core = strsplit(getenv('VELTRAX_CORE_SOURCES'), ',');
matprod_core = strsplit(getenv('MATPROD_CORE_SOURCES'), ',');
in_tree = @(files) cellfun(@(f) fullfile(root, f), files, 'UniformOutput', false);
names = {'veltrax1', 'veltrax2', 'veltrax3', 'matprod'};
for k = 1:4
  args = calls{k};
  has = @(a) any(strcmp(args, a));
  after = @(a) args{find(strcmp(args, a), 1) + 1};
  assert(has('-R2017b'));
  assert(has('-compatibleArrayDims'), k == 4);
  assert(after('-output'), names{k});
  assert(after('-outdir'), outdir);
  assert(has(['-I' root]));
  assert(has('-v'));
  cxx = args(strncmp(args, 'CXXFLAGS=', 9));
  assert(numel(cxx), 1);
  assert(strncmp(cxx{1}, 'CXXFLAGS=$CXXFLAGS ', 19));
  assert(sort(strsplit(cxx{1}(20:end), ' ')), sort(strsplit(getenv('VELTRAX_COMPILE_FLAGS'), ' ')));
  assert(has(['CXXOPTIMFLAGS=' getenv('VELTRAX_OPTIMIZE_FLAGS')]));
  assert(has('LDFLAGS=$LDFLAGS -static-libstdc++ -static-libgcc'));
  builds = args(strncmp(args, '-DVELTRAX_BUILD=', 16));
  sources = args(!cellfun(@isempty, regexp(args, '\.cpp$')));
  if k <= 3
    assert(builds, {sprintf('-DVELTRAX_BUILD=%d', k)});
    assert(sources{1}, fullfile(root, 'mex', 'veltrax_mex.cpp'));
    assert(sort(sources(2:end)), sort(in_tree(core)));
  else
    assert(isempty(builds));
    assert(sources{1}, fullfile(root, 'mex', 'matprod_mex.cpp'));
    assert(sort(sources(2:end)), sort(in_tree(matprod_core)));
  end
end

for k = 1:4
  written = fullfile(outdir, [names{k} '.m']);
  assert(exist(written, 'file') == 2, sprintf('%s not written', written));
  if !isempty(getenv('VELTRAX_HELP_DIR'))   % empty in builds without the Octave plug-ins
    reference = fullfile(getenv('VELTRAX_HELP_DIR'), [names{k} '.m']);
    assert(strcmp(fileread(written), fileread(reference)), sprintf('%s differs from %s', written, reference));
  end
end
printf('build_veltrax makes the expected mex calls\n');
