// Number formatting of the console, kept apart from the page so that it can be
// tested without a browser.

const RATE_UNITS = ['bit/s', 'kbit/s', 'Mbit/s', 'Gbit/s', 'Tbit/s'];

/** A stream's "bitRate" (bytes per second) as bits per second with an SI prefix. */
export function formatBitRate(bytesPerSecond) {
  const n = Number(bytesPerSecond);
  let v = Number.isFinite(n) && n > 0 ? n * 8 : 0;
  let i = 0;
  while (v >= 1000 && i < RATE_UNITS.length - 1) {
    v /= 1000;
    i++;
  }
  const digitsFor = (x) => (i === 0 ? 0 : x < 10 ? 2 : x < 100 ? 1 : 0);
  let text = v.toFixed(digitsFor(v));
  // 999.6 kbit/s rounds to "1000": show it as 1.00 Mbit/s instead.
  if (Number(text) >= 1000 && i < RATE_UNITS.length - 1) {
    v /= 1000;
    i++;
    text = v.toFixed(digitsFor(v));
  }
  return `${text} ${RATE_UNITS[i]}`;
}

/** A node's run time in seconds as days, hours, minutes and seconds. */
export function formatDuration(seconds) {
  const n = Number(seconds);
  let s = Number.isFinite(n) && n > 0 ? Math.floor(n) : 0;
  const d = Math.floor(s / 86400);
  s -= d * 86400;
  const hh = Math.floor(s / 3600);
  s -= hh * 3600;
  const mm = Math.floor(s / 60);
  s -= mm * 60;
  if (d) return `${d}d ${hh}h ${mm}m`;
  if (hh) return `${hh}h ${mm}m ${s}s`;
  if (mm) return `${mm}m ${s}s`;
  return `${s}s`;
}
