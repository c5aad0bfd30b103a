% SPDX-License-Identifier: LGPL-2.1-or-later
% Installs the package file VELTRAX_PKG_FILE below VELTRAX_PKG_PREFIX,
% leaving the machine's package lists alone.
prefix = getenv('VELTRAX_PKG_PREFIX');
mkdir(prefix);
pkg('prefix', fullfile(prefix, 'share'), fullfile(prefix, 'lib'));
pkg('local_list', fullfile(prefix, 'octave_packages'));
pkg('install', '-local', getenv('VELTRAX_PKG_FILE'));

% The machine's own (global) packages may stand beside it in the list.
list = pkg('list');
ours = list(cellfun(@(p) strcmp(p.name, 'veltrax'), list));
if numel(ours) != 1 || !strcmp(ours{1}.version, '1.0.0') ...
   || !strncmp(ours{1}.dir, prefix, numel(prefix))
  error('the scratch package list should hold veltrax 1.0.0 below the prefix');
end
