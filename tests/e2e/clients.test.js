// The rows of the console's client list, from "getStreamClients" replies.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { clientRows, formatBytes, formatPeer } from '../../web/clients.js';

test('a reply becomes one row per client, inputs first, with the peer as closeStreamClient takes it', () => {
  const rows = clientRows({
    inList: [{ type: 'sr_tcp', clients: [{ address: '10.0.0.2', port: 4000, since: 5, bytesReceived: 9, bytesSent: 1 }] }],
    outList: [
      { type: 'st_oxdp', clients: [{ address: '::1', port: 7, bytesSent: 3, bytesQueued: 2, rtt: 1.5, loss: 4 }] },
      { type: 'st_lat', clients: [] },
    ],
  });
  assert.deepEqual(rows, [
    { type: 'sr_tcp', endpoint: 'TCP in', input: true, peer: '10.0.0.2:4000', since: 5, bytes: 9, queued: 0, rtt: null, loss: null },
    { type: 'st_oxdp', endpoint: 'SRT out', input: false, peer: '[::1]:7', since: 0, bytes: 3, queued: 2, rtt: 1.5, loss: 4 },
  ]);
});

test('whatever the reply holds, no row is made of it unless it is a client object', () => {
  for (const data of [undefined, null, 7, {}, { inList: 'x' }, { outList: [null, 3, { clients: 'no' }, { clients: [null, 1] }] }])
    assert.deepEqual(clientRows(data), []);
  assert.equal(formatPeer(undefined, undefined), ':0');
});

test('byte counts read with a binary prefix', () => {
  const cases = [[0, '0 B'], [1023, '1023 B'], [1024, '1.00 KiB'], [5 * 1024 * 1024, '5.00 MiB'], [-1, '0 B'], ['x', '0 B']];
  for (const [n, want] of cases) assert.equal(formatBytes(n), want, String(n));
});
