% orvread against Octave's own fread on the same small spectra:
%     python bench/make_small.py DIR && octave bench/octave_small.m DIR [ROUNDS]
% (orvread built first: bash bindings/matlab/build.sh). The floor opens each file, seeks to its
% values and reads them with fread (it knows where they are: DIR/layout.txt); orvread reads the
% whole block: kind, x, values, parameters. Prints the per-file time of each, best and median of
% the rounds, and their ratio.
addpath(fullfile(fileparts(mfilename('fullpath')), '..', 'bindings', 'matlab'));
args = argv();
dir = args{1};
rounds = 7;
if numel(args) > 1
  rounds = str2double(args{2});
end
layout = load(fullfile(dir, 'layout.txt'));
listing = glob(fullfile(dir, '*.orv'));

function v = floor_read(f, layout)
  h = fopen(f, 'r');
  fseek(h, layout(1), 'bof');
  v = fread(h, layout(2), 'float32=>double');
  fclose(h);
end

assert(isequal(orvread(listing{1}).values, floor_read(listing{1}, layout)));
times = zeros(rounds, 2);
for r = 1:rounds
  tic;
  for k = 1:numel(listing)
    floor_read(listing{k}, layout);
  end
  times(r, 1) = toc / numel(listing);
  tic;
  for k = 1:numel(listing)
    orvread(listing{k}, 'AB 2D NONE');
  end
  times(r, 2) = toc / numel(listing);
end
best = min(times);
middle = median(times);
printf('%d files of %d points, %d rounds; per file, best (median):\n', numel(listing), layout(2), rounds);
printf('  fread     %7.1f us (%7.1f)\n', 1e6 * best(1), 1e6 * middle(1));
printf('  orvread   %7.1f us (%7.1f)   %.2fx fread (%.2fx)\n', 1e6 * best(2), 1e6 * middle(2), ...
       best(2) / best(1), middle(2) / middle(1));
