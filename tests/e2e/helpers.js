// Support for the console tests: the real oxnode in a fresh working directory,
// headless Chromium through playwright-core, a simulated node on TCP 8000 and
// a TCP source that pushes bytes into a stream input. Every wait polls a
// condition against a deadline.
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const WEB_DIR = path.resolve(here, '../../web');
export const OUT_DIR = path.resolve(process.env.OXTEST_OUT || path.join(here, 'out'));
// OXTEST_CHROMIUM exists only to try the skip path; the tests use Debian's chromium.
export const CHROMIUM = process.env.OXTEST_CHROMIUM || '/usr/bin/chromium';
export const WEB_PORT = 8001;
export const NODE_PORT = 8000;
export const BASE_URL = `http://127.0.0.1:${WEB_PORT}/`;
export const DEFAULT_PASSWORD = '73519046';

export const md5 = (text) => createHash('md5').update(text, 'utf8').digest('hex');
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

/** Polls fn until it returns a truthy value; throws with what after the deadline. */
export async function until(fn, what, timeoutMs = 10000, stepMs = 100) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await fn();
      if (last) return last;
    } catch (err) {
      last = err;
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${last?.message ?? JSON.stringify(last)})`);
    await sleep(stepMs);
  }
}

function slug(text) {
  return text.toLowerCase().replace(/[^a-z0-9]+/g, '-').replace(/^-|-$/g, '');
}

function canConnect(port) {
  return new Promise((resolve) => {
    const s = net.connect({ host: '127.0.0.1', port });
    s.once('connect', () => {
      s.destroy();
      resolve(true);
    });
    s.once('error', () => resolve(false));
  });
}

// ------------------------------------------------------------------ oxnode

/**
 * Starts oxnode in a new temporary working directory holding a copy of the
 * console and appcfg.json with the given settings; resolves once the web
 * port accepts connections. stop() sends SIGTERM and resolves to the exit code.
 */
export async function startOxnode(name, cfg = {}) {
  const bin = process.env.OXNODE_BIN;
  if (!bin) throw new Error('OXNODE_BIN is not set');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'oxnode-e2e-'));
  fs.cpSync(WEB_DIR, path.join(dir, 'web'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'appcfg.json'), JSON.stringify({ localDevCfg: false, serverIP: '127.0.0.1', ...cfg }, null, 4));
  fs.mkdirSync(OUT_DIR, { recursive: true });
  const logPath = path.join(OUT_DIR, `${slug(name)}.oxnode.log`);
  const log = fs.openSync(logPath, 'w');
  const proc = spawn(path.resolve(bin), [], {
    cwd: dir,
    stdio: ['ignore', log, log],
    // The per-buffer line of the TCP output would fill the log while data flows.
    env: { ...process.env, QT_LOGGING_RULES: 'oxnode.tcp.send.debug=false' },
  });
  fs.closeSync(log);
  let exit = null;
  const exited = new Promise((resolve) => {
    proc.once('exit', (code, signal) => {
      exit = { code, signal };
      resolve(exit);
    });
  });
  const ox = {
    dir,
    logPath,
    proc,
    get exit() {
      return exit;
    },
    /** SIGTERM and wait; resolves to { code, signal }. */
    async stop(timeoutMs = 15000) {
      if (!exit) proc.kill('SIGTERM');
      const timer = sleep(timeoutMs).then(() => null);
      const result = await Promise.race([exited, timer]);
      if (!result) {
        proc.kill('SIGKILL');
        await exited;
        throw new Error(`oxnode did not end within ${timeoutMs} ms of SIGTERM (log: ${logPath})`);
      }
      fs.rmSync(dir, { recursive: true, force: true });
      return result;
    },
  };
  try {
    await until(async () => {
      if (exit) throw new Error(`oxnode ended early with ${JSON.stringify(exit)}; log: ${logPath}`);
      return canConnect(WEB_PORT);
    }, `oxnode to listen on ${WEB_PORT}`, 15000);
  } catch (err) {
    if (!exit) proc.kill('SIGKILL');
    throw err;
  }
  return ox;
}

/**
 * One API call outside the browser, as the console makes it. The service ends
 * its header lines with a bare line feed, which fetch() in node refuses, so
 * this goes through http with the lenient parser.
 */
export function apiCall(body) {
  const data = Buffer.from(JSON.stringify(body), 'utf8');
  return new Promise((resolve, reject) => {
    const req = http.request(
      `${BASE_URL}api/post`,
      { method: 'POST', insecureHTTPParser: true, headers: { 'Content-Length': data.length } },
      (res) => {
        let text = '';
        res.setEncoding('utf8');
        res.on('data', (c) => (text += c));
        res.on('end', () => {
          try {
            resolve(JSON.parse(text));
          } catch (err) {
            reject(err);
          }
        });
      },
    );
    req.on('error', reject);
    req.end(data);
  });
}

// ------------------------------------------------------------------ browser

let playwright = null;

/** Why the browser tests cannot run here, or '' when they can. */
export async function browserUnavailableReason() {
  if (!process.env.OXNODE_BIN) return 'OXNODE_BIN is not set (run tests/e2e/run.sh PATH_TO_OXNODE)';
  try {
    playwright = await import('playwright-core');
  } catch (err) {
    return `playwright-core is not installed (npm ci in tests/e2e): ${err.message}`;
  }
  if (!fs.existsSync(CHROMIUM)) return `${CHROMIUM} is missing (Debian package "chromium")`;
  try {
    const b = await launchBrowser('probe');
    await b.close();
  } catch (err) {
    return `${CHROMIUM} cannot start: ${String(err.message).split('\n')[0]}`;
  }
  return '';
}

/**
 * Headless Chromium with a fresh profile directory. Pages of one context
 * share cookies but not sessionStorage, so each page holds its own login.
 */
export async function launchBrowser(name, options = {}) {
  const { chromium } = playwright;
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), `oxnode-e2e-chromium-${slug(name)}-`));
  const context = await chromium.launchPersistentContext(userDataDir, {
    ...options,
    executablePath: CHROMIUM,
    headless: true,
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
    viewport: { width: 1400, height: 900 },
    permissions: ['clipboard-read', 'clipboard-write'],
    timeout: 30000,
  });
  context.setDefaultTimeout(10000);
  // A page load fetches six files; on a loaded machine with the sanitizer build
  // of oxnode that has taken longer than the default wait.
  context.setDefaultNavigationTimeout(30000);
  const errors = [];
  context.on('weberror', (e) => errors.push(String(e.error())));
  return {
    context,
    errors,
    async newPage() {
      const page = await context.newPage();
      page.on('pageerror', (e) => errors.push(e.message));
      return page;
    },
    async close() {
      await context.close().catch(() => {});
      fs.rmSync(userDataDir, { recursive: true, force: true });
    },
  };
}

export async function screenshot(page, name) {
  fs.mkdirSync(OUT_DIR, { recursive: true });
  const file = path.join(OUT_DIR, `${slug(name)}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
}

/** Opens the console and logs in; resolves when the streams table shows. */
export async function login(page, password = DEFAULT_PASSWORD, user = 'admin', base = BASE_URL) {
  if (!page.url().startsWith(base)) await page.goto(base);
  await page.locator('#login-view').waitFor({ state: 'visible' });
  await page.fill('#login-user', user);
  await page.fill('#login-pass', password);
  await page.click('#login-form button[type=submit]');
  await page.locator('#streams-view').waitFor({ state: 'visible' });
}

export const text = (page, selector) => page.locator(selector).first().textContent();

// ------------------------------------------------------------------ TCP peers

/** A simulated node on the node port: zero-terminated JSON frames. */
export class SimNode {
  constructor(sn, id) {
    this.sn = sn;
    this.id = id;
    this.received = [];
    this.sessionToken = '';
    this.buffer = Buffer.alloc(0);
    this.keepAliveTimer = null;
  }

  async connect() {
    this.socket = net.connect({ host: '127.0.0.1', port: NODE_PORT });
    this.socket.on('data', (chunk) => {
      this.buffer = Buffer.concat([this.buffer, chunk]);
      let zero;
      while ((zero = this.buffer.indexOf(0)) >= 0) {
        const frame = this.buffer.subarray(0, zero).toString('utf8');
        this.buffer = this.buffer.subarray(zero + 1);
        try {
          this.received.push(JSON.parse(frame));
        } catch {
          this.received.push({ unparsable: frame });
        }
      }
    });
    this.socket.on('error', () => {});
    await new Promise((resolve, reject) => {
      this.socket.once('connect', resolve);
      this.socket.once('error', reject);
    });
  }

  send(obj) {
    this.socket.write(Buffer.concat([Buffer.from(JSON.stringify(obj), 'utf8'), Buffer.from([0])]));
  }

  async login(nodeToken = DEFAULT_PASSWORD) {
    this.send({ cmd: 'nodeLogin', token: md5(nodeToken), sn: this.sn, id: this.id });
    const reply = await until(() => this.received.find((m) => m.cmd === 'setToken'), 'the setToken reply', 5000, 20);
    this.sessionToken = String(reply.data?.token ?? reply.token ?? '');
    if (!this.sessionToken) throw new Error(`setToken without a token: ${JSON.stringify(reply)}`);
    return reply;
  }

  sendStatus(data, extra = {}) {
    this.send({ cmd: 'nodeStatus', sessionToken: this.sessionToken, ...extra, data });
  }

  startKeepAlive(periodMs = 1000) {
    this.stopKeepAlive();
    this.keepAliveTimer = setInterval(() => this.send({ cmd: 'keepAlive', sessionToken: this.sessionToken }), periodMs);
  }

  stopKeepAlive() {
    clearInterval(this.keepAliveTimer);
    this.keepAliveTimer = null;
  }

  close() {
    this.stopKeepAlive();
    this.socket?.destroy();
  }
}

/**
 * Pushes bytes into a TCP input at about bytesPerSecond until stop(); drains
 * the input's keep-alive newlines. Resolves once connected.
 */
export async function startTcpSource(port, bytesPerSecond) {
  const socket = net.connect({ host: '127.0.0.1', port });
  socket.on('data', () => {});
  socket.on('error', () => {});
  await new Promise((resolve, reject) => {
    socket.once('connect', resolve);
    socket.once('error', reject);
  });
  const chunk = Buffer.alloc(32 * 1024, 0x47);
  const periodMs = 20;
  const perTick = Math.max(1, Math.round((bytesPerSecond * periodMs) / 1000 / chunk.length));
  let sent = 0;
  const timer = setInterval(() => {
    // Do not queue without bound if the service reads slower than we write.
    if (socket.writableLength > 4 * 1024 * 1024) return;
    for (let i = 0; i < perTick; i++) {
      socket.write(chunk);
      sent += chunk.length;
    }
  }, periodMs);
  return {
    get sent() {
      return sent;
    },
    stop() {
      clearInterval(timer);
      socket.destroy();
    },
  };
}
