// The alert server with a fresh database, console users, and simulated
// stations, for the browser tests.
'use strict';
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const readline = require('readline');

const ROOT = path.resolve(__dirname, '../..');

function serverPath() {
  const found = findServer();
  if (!found) throw new Error('nivaxel-server is not built (looked in build/bench/server, dist, build/native/server)');
  return found;
}

function findServer() {
  const candidates = [process.env.NIVAXEL_SERVER, path.join(ROOT, 'build/bench/server/nivaxel-server'),
    path.join(ROOT, 'dist/nivaxel-server'), path.join(ROOT, 'build/native/server/nivaxel-server')];
  return candidates.find((p) => p && fs.existsSync(p)) || null;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

async function until(what, fn, timeoutMs = 10000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    try { const v = await fn(); if (v) return v; } catch (e) { if (Date.now() > end) throw e; }
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}

class Station {
  constructor(port, computer, user) {
    this.computer = computer; this.user = user; this.events = [];
    this.proc = spawn('python3', [path.join(__dirname, 'station.py'), '--port', String(port), '--computer', computer, '--user', user],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    readline.createInterface({ input: this.proc.stdout }).on('line', (l) => { try { this.events.push(JSON.parse(l)); } catch (e) { /* not ours */ } });
  }
  seen(event) { return this.events.filter((e) => e.event === event); }
  wait(event, count = 1, timeoutMs = 10000) { return until(`${this.computer}: ${event}`, () => this.seen(event).length >= count, timeoutMs); }
  ack() { this.proc.stdin.write('ack\n'); }
  stop() { this.proc.kill(); }
}

class System {
  async start() {
    this.bin = serverPath();
    this.data = fs.mkdtempSync(path.join(os.tmpdir(), 'nv-console-'));
    this.port = await freePort();
    this.adminPort = await freePort();
    this.base = `http://127.0.0.1:${this.adminPort}`;
    this.stations = [];
    if (this.seed) this.seed(this.data);
    for (const [name, role] of [['anne', 'admin'], ['otto', 'operator'], ['vera', 'viewer']]) this.addUser(name, role, name + '-password');
    this.log = fs.openSync(path.join(this.data, 'server.log'), 'w');
    this.proc = spawn(this.bin, ['serve', '--data', this.data, '--port', String(this.port), '--admin', `127.0.0.1:${this.adminPort}`, ...(this.serverArgs || [])],
      { stdio: ['ignore', this.log, this.log], env: { ...process.env, ...(this.env || {}) } });
    await until('the admin listener', async () => (await fetch(this.base + '/')).ok);
    return this;
  }
  addUser(name, role, password) {
    const r = spawnSync(this.bin, ['user', 'add', name, '--role', role, '--data', this.data], { input: `${password}\n${password}\n` });
    if (r.status !== 0) throw new Error(`user add ${name}: ${r.stderr}`);
  }
  station(computer, user) { const s = new Station(this.port, computer, user); this.stations.push(s); return s; }
  // The API as a signed-in browser would use it, outside any page.
  async session(name) {
    const r = await fetch(this.base + '/api/session', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ name, password: name + '-password' }) });
    if (!r.ok) throw new Error('sign-in failed: ' + r.status);
    const cookie = r.headers.get('set-cookie').split(';')[0];
    const { csrf } = await r.json();
    return { cookie, csrf };
  }
  async get(s, p) {
    const r = await fetch(this.base + p, { headers: { Cookie: s.cookie } });
    if (!r.ok) throw new Error(`GET ${p}: ${r.status}`);
    return r.json();
  }
  async stop() {
    for (const s of this.stations) s.stop();
    if (this.proc) {
      this.proc.kill('SIGTERM');
      await new Promise((r) => { if (this.proc.exitCode !== null) r(); else this.proc.once('exit', r); });
    }
    if (this.log) fs.closeSync(this.log);
    fs.rmSync(this.data, { recursive: true, force: true });
  }
}

module.exports = { System, until, freePort, findServer };
