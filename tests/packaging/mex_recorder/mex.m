function mex(varargin)
% Stands in for MATLAB's mex: records the arguments of each call.
  global recorded_mex_calls
  recorded_mex_calls{end+1} = varargin;
end
