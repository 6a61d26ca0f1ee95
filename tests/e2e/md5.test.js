// The console's own MD5 module: the login digest must match what the service
// computes, so pin it to the RFC 1321 vectors, UTF-8 text and the padding
// boundaries, with node's crypto as the reference.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { md5Hex, md5Bytes } from '../../web/md5.js';

const rfcVectors = [
  ['', 'd41d8cd98f00b204e9800998ecf8427e'],
  ['a', '0cc175b9c0f1b6a831c399e269772661'],
  ['abc', '900150983cd24fb0d6963f7d28e17f72'],
  ['message digest', 'f96b697d7cb7938d525a2f31aaf161d0'],
  ['abcdefghijklmnopqrstuvwxyz', 'c3fcd3d76192e4007dfb496cca67e13b'],
  ['ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789', 'd174ab98d277d9f5a5611c2c9f419d9f'],
  ['12345678901234567890123456789012345678901234567890123456789012345678901234567890', '57edf4a22be3c955ac49da2e2107b67a'],
];

for (const [input, digest] of rfcVectors) {
  test(`md5Hex matches the RFC 1321 vector for ${JSON.stringify(input)}`, () => {
    assert.equal(md5Hex(input), digest);
  });
}

test('md5Hex of the default password is the digest the service expects at login', () => {
  assert.equal(md5Hex('73519046'), createHash('md5').update('73519046').digest('hex'));
});

const utf8Cases = [
  ['two-byte characters', 'pässwörd'],
  ['CJK text', '密码测试'],
  ['full-width punctuation', 'password error！'],
  ['astral plane emoji', 'key🔑🎥'],
];
for (const [name, text] of utf8Cases) {
  test(`md5Hex digests the UTF-8 bytes of ${name}`, () => {
    assert.equal(md5Hex(text), createHash('md5').update(text, 'utf8').digest('hex'));
  });
}

test('md5Hex is 32 lower-case hexadecimal characters', () => {
  for (const text of ['', 'x', 'ÄÖÜ', '0'.repeat(1000)]) assert.match(md5Hex(text), /^[0-9a-f]{32}$/);
});

test('md5Bytes is correct on both sides of every padding boundary', () => {
  for (const len of [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000]) {
    const data = new Uint8Array(len);
    for (let i = 0; i < len; i++) data[i] = (i * 131 + 7) & 0xff;
    const ours = Buffer.from(md5Bytes(data)).toString('hex');
    assert.equal(ours, createHash('md5').update(data).digest('hex'), `length ${len}`);
  }
});

test('md5Bytes handles a multi-megabyte input', () => {
  const data = new Uint8Array(3 * 1024 * 1024 + 17).fill(0xa5);
  assert.equal(Buffer.from(md5Bytes(data)).toString('hex'), createHash('md5').update(data).digest('hex'));
});
