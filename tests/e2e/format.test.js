// Figures the console shows: the service reports "bitRate" in bytes per
// second, operators read bits per second.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { formatBitRate, formatDuration } from '../../web/format.js';

const rates = [
  ['zero', 0, '0 bit/s'],
  ['one byte is eight bits', 1, '8 bit/s'],
  ['just under a kilobit', 124, '992 bit/s'],
  ['one kilobit', 125, '1.00 kbit/s'],
  ['rounding up to the next prefix', 124_990, '1.00 Mbit/s'],
  ['a typical video stream', 500_000, '4.00 Mbit/s'],
  ['tens of megabits', 5_000_000, '40.0 Mbit/s'],
  ['hundreds of megabits', 50_000_000, '400 Mbit/s'],
  ['gigabits', 250_000_000, '2.00 Gbit/s'],
  ['negative (after a counter wrap)', -5000, '0 bit/s'],
  ['missing', undefined, '0 bit/s'],
  ['not a number', 'abc', '0 bit/s'],
];
for (const [name, input, expected] of rates) {
  test(`formatBitRate shows ${name} as ${expected}`, () => {
    assert.equal(formatBitRate(input), expected);
  });
}

const durations = [
  [0, '0s'],
  [59, '59s'],
  [61, '1m 1s'],
  [3600, '1h 0m 0s'],
  [90061, '1d 1h 1m'],
  [-3, '0s'],
  [undefined, '0s'],
];
for (const [input, expected] of durations) {
  test(`formatDuration(${input}) is ${expected}`, () => {
    assert.equal(formatDuration(input), expected);
  });
}
