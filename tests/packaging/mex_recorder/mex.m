function mex(varargin)
% Stands in for MATLAB's mex: records the arguments of each call.
% SPDX-License-Identifier: LGPL-2.1-or-later
  global recorded_mex_calls
  recorded_mex_calls{end+1} = varargin;
end
