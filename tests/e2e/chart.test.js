// The console's chart samples and line geometry: bounded however long the page
// stays open, and drawn where the values say.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { SERIES_CAPACITY, Series, SeriesSet, linePath } from '../../web/chart.js';

test('a series keeps only its newest samples, oldest first, however many arrive', () => {
  const s = new Series(4);
  for (let i = 0; i < 4 * 3 + 2; i++) s.push(i * 1000, i);
  assert.deepEqual(s.samples(), [[10000, 10], [11000, 11], [12000, 12], [13000, 13]]);
  const day = new Series();
  for (let i = 0; i < 86400; i++) day.push(i * 1000, i);
  assert.equal(day.samples().length, SERIES_CAPACITY);
  assert.equal(day.times.length, SERIES_CAPACITY, 'the storage never grows');
});

test('the series of streams or nodes that are gone are dropped', () => {
  const set = new SeriesSet(8);
  for (const key of [0, 1, 2]) set.record(key, 1000, key);
  set.retain(new Set([1]));
  assert.equal(set.size, 1);
  assert.ok(set.get(1));
  assert.equal(set.get(0), undefined);
});

// 100 x 20 box, a 10 s window ending at 10 s, padding 0: x runs from the first sample to now; y runs 20 (low) to 0 (high).
const box = { width: 100, height: 20, now: 10000, windowMs: 10000, gapMs: 6000, pad: 0 };
const paths = [
  ['no samples draw nothing', [], {}, ''],
  ['a rise goes up', [[0, 1], [5000, 2], [10000, 3]], {}, 'M0 20 L50 10 L100 0'],
  ['the floor is the bottom', [[5000, 4], [10000, 8]], { floor: 0 }, 'M0 10 L100 0'],
  ['zero all along lies on the floor', [[5000, 0], [10000, 0]], { floor: 0 }, 'M0 20 L100 20'],
  ['a constant without floor sits at mid height', [[5000, 40], [10000, 40]], {}, 'M0 10 L100 10'],
  ['a single sample is drawn at the right end', [[10000, 5]], {}, 'M100 10'],
  ['samples before the window are left out, the rest fill the box', [[-1000, 99], [5000, 1], [10000, 2]], {}, 'M0 20 L100 0'],
  ['a pause in the samples leaves a gap', [[0, 1], [1000, 2], [9000, 1], [10000, 2]], {}, 'M0 20 L10 0 M90 20 L100 0'],
];
for (const [name, samples, opts, expected] of paths) {
  test(`chart line: ${name}`, () => {
    assert.equal(linePath(samples, { ...box, ...opts }), expected);
  });
}
