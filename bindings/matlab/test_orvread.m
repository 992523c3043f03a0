% Tests of orvread, run by scripts/octave_tests.sh: octave test_orvread.m SAMPLE CORPUS_DIR
% (the corpus: a file of every kind, fuzz/make_corpus.py's seeds).
addpath(fileparts(mfilename('fullpath')));
args = argv();
sample = args{1};
corpus = args{2};
seed = @(name) fullfile(corpus, name);
% The builder's values: sin(0.3 k + phase) to 4 decimals, as float32.
wave = @(n, phase) round(sin(0.3 * (0:n - 1)' + phase) * 1e4) / 1e4;
near = @(a, b) assert(max(abs(a(:) - b(:))) < 1e-6);

% A spectrum: a column beside its x axis, parameters by code.
s = orvread(sample);
assert(strcmp(s.kind, 'spectrum') && strcmp(s.block, 'AB 2D NONE'));
assert(isequal(size(s.values), [1024 1]) && isequal(size(s.x), [1024 1]));
assert(s.parameters.NPT == 1024 && ischar(s.parameters.DXU));
assert(isequal(orvread(sample, 'ab').values, s.values));
assert(strcmp(orvread(sample, 'SSC 2D NONE').block, 'SSC 2D NONE'));

% Failures: an identifier per code.
codes = {};
for call = {{sample, 'TR'}, {'/nonexistent.orv'}, {sample, 'NOTATYPE'}}
  try
    orvread(call{1}{:});
  catch err
    codes{end + 1} = err.identifier;
  end
end
assert(isequal(codes, {'orvelio:not_found', 'orvelio:io', 'orvelio:invalid_request'}));
cut = [tempname() '.orv'];
f = fopen(sample, 'r'); bytes = fread(f, 300, 'uint8=>uint8'); fclose(f);
f = fopen(cut, 'w'); fwrite(f, bytes); fclose(f);
try
  orvread(cut);
  assert(false);
catch err
  assert(any(strcmp(err.identifier, {'orvelio:truncated', 'orvelio:corrupt'})));
  assert(~isempty(strfind(err.message, 'at byte')));
end

% 3D kinds keep the library's element order: image (y, x, spectral), pixel k = iy * 3 + ix.
im = orvread(seed('0004-image.orv'));
assert(isequal(size(im.values), [2 3 6]));
for k = 0:4
  near(squeeze(im.values(floor(k / 3) + 1, mod(k, 3) + 1, :)), wave(6, k));
end
assert(all(im.values(2, 3, :) == 0));
assert(isequal(im.coordinates.mapX', [-10 -7.5 -5]));
tr = orvread(seed('0006-image-traces.orv'));
near(reshape(tr.values(:, :, 2)', [], 1), wave(6, 1));
assert(isequal(tr.coordinates.labels', {'trace 0', 'trace 1', 'trace 2'}));
ts = orvread(seed('0007-time-resolved.orv'));
assert(isequal(ts.coordinates.time', [0.5 1.5 3]));
near(ts.values(3, :)', wave(6, 2));

% Maps: regions with their points' positions and values.
m = orvread(seed('0009-multi-region.orv'));
r = m.coordinates.regions;
assert(numel(r) == 2 && ~isempty(strfind(r(1).title, '2 x 2')));
assert(isequal(size(r(1).values), [4 6]) && r(2).mapX == 0.5);
near(r(2).values', wave(6, 4));
disp('orvread: all tests passed');
