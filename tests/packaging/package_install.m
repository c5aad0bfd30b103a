% SPDX-License-Identifier: LGPL-2.1-or-later
% Installs the package file VELTRAX_PKG_FILE below VELTRAX_PKG_PREFIX,
% leaving the machine's package lists alone.
prefix = getenv('VELTRAX_PKG_PREFIX');
mkdir(prefix);
pkg('prefix', fullfile(prefix, 'share'), fullfile(prefix, 'lib'));
pkg('local_list', fullfile(prefix, 'octave_packages'));
pkg('install', '-local', getenv('VELTRAX_PKG_FILE'));

list = pkg('list');
if numel(list) != 1 || !strcmp(list{1}.name, 'veltrax') || !strcmp(list{1}.version, '1.0.0')
  error('the scratch package list should hold veltrax 1.0.0 alone');
end
