// A stand-in for the alert server's API, in memory, for working on the pages
// alone (node fake-api.js PORT). It follows the API contract but checks no
// security: the browser tests run against the real server.
'use strict';
const http = require('http');
const fs = require('fs');
const path = require('path');

const web = path.join(__dirname, '../../console/web');
const types = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8', '.svg': 'image/svg+xml' };
const now = () => new Date().toISOString().replace(/\.\d+Z$/, 'Z');
const stations = [];
for (let i = 1; i <= 10000; i++) {
  stations.push({ computer: 'PC' + String(i).padStart(5, '0'), user: 'user' + (i % 700), address: `10.0.${i >> 8}.${i & 255}`,
    first_seen: '2026-12-01T08:00:00Z', last_seen: now(), online: i % 3 !== 0, alerts_sent: i % 5, acknowledged: i % 4 });
}
const alerts = [];
const audit = [];
const clients = new Set();
let session = null;

function send(res, status, body, type = 'application/json') {
  res.writeHead(status, { 'Content-Type': type });
  res.end(typeof body === 'string' || Buffer.isBuffer(body) ? body : JSON.stringify(body));
}
function emit(kind, data) { for (const c of clients) c.write(`event: ${kind}\ndata: ${JSON.stringify(data)}\n\n`); }
function countsOf(a) {
  const c = { queued: 0, sent: 0, acknowledged: 0, replaced: 0, 'not reached': 0, expired: 0, cancelled: 0 };
  for (const r of a.receipts) c[r.state]++;
  return c;
}
const view = (a) => { const { receipts, ...rest } = a; return { ...rest, counts: countsOf(a) }; };

http.createServer((req, res) => {
  const url = new URL(req.url, 'http://x');
  let body = '';
  req.on('data', (d) => { body += d; });
  req.on('end', () => {
    const p = url.pathname;
    const json = () => { try { return JSON.parse(body || '{}'); } catch (e) { return {}; } };
    if (p === '/' || p.startsWith('/console/')) {
      const f = path.join(web, p === '/' ? 'index.html' : path.basename(p));
      if (!fs.existsSync(f)) return send(res, 404, { error: 'no such page' });
      return send(res, 200, fs.readFileSync(f), types[path.extname(f)]);
    }
    if (p === '/api/session') {
      if (req.method === 'POST') {
        const b = json();
        if (b.password !== 'secret-pw') return send(res, 401, { error: 'wrong name or password' });
        session = { name: b.name, role: b.name === 'vera' ? 'viewer' : 'admin', scope: b.name === 'vera' ? 'read' : 'admin', csrf: 'x' };
        return send(res, 200, session);
      }
      if (req.method === 'DELETE') { session = null; return send(res, 200, {}); }
      return session ? send(res, 200, session) : send(res, 401, { error: 'not signed in' });
    }
    if (p === '/api/events') {
      res.writeHead(200, { 'Content-Type': 'text/event-stream' });
      res.write(': hello\n\n');
      clients.add(res);
      return res.on('close', () => clients.delete(res));
    }
    if (p === '/api/stations') {
      const q = (url.searchParams.get('q') || '').toLowerCase();
      const sort = url.searchParams.get('sort') || 'computer';
      const dir = url.searchParams.get('order') === 'desc' ? -1 : 1;
      const list = stations.filter((s) => !q || (s.computer + s.user + s.address).toLowerCase().includes(q))
        .sort((a, b) => (a[sort] < b[sort] ? -dir : a[sort] > b[sort] ? dir : 0));
      const off = +url.searchParams.get('offset') || 0, lim = +url.searchParams.get('limit') || 50;
      return send(res, 200, { stations: list.slice(off, off + lim), total: list.length });
    }
    if (p === '/api/groups') return send(res, 200, { groups: [{ name: 'Accueil', computers: ['PC00001'], users: [] }] });
    if (p === '/api/reach') { const b = json(); return send(res, 200, { stations: b.everyone ? stations.length : (b.computers || []).length + (b.users || []).length }); }
    if (p === '/api/audit') return send(res, 200, { entries: audit.slice().reverse(), total: audit.length });
    if (p === '/api/users') return send(res, 200, { users: [{ name: 'anne', role: 'admin' }, { name: 'vera', role: 'viewer' }] });
    if (p === '/api/alerts' && req.method === 'POST') {
      const b = json();
      const a = { id: alerts.length + 1, author: b.author, subject: b.subject, date: b.date || '', lines: b.lines,
        target: { everyone: !!b.everyone, computers: b.computers || [], users: b.users || [], groups: b.groups || [] },
        created_at: now(), created_by: session && session.name, starts_at: now(), expires_at: now(), cancelled_at: null, state: 'active',
        receipts: (b.computers || []).map((c) => ({ computer: c, user: 'anne', state: 'sent', first_sent_at: now(), last_sent_at: now(), sent_count: 1, acknowledged_at: null })) };
      alerts.push(a);
      audit.push({ time: now(), who: session.name, action: 'alert created', detail: 'alert ' + a.id, address: '127.0.0.1' });
      setTimeout(() => a.receipts.forEach((r, i) => setTimeout(() => {
        Object.assign(r, { state: 'acknowledged', acknowledged_at: now() });
        emit('receipt', { alert: a.id, ...r });
      }, 700 * (i + 1))), 300);
      return send(res, 201, view(a));
    }
    if (p === '/api/alerts') return send(res, 200, { alerts: alerts.slice().reverse().map(view), total: alerts.length });
    let m = p.match(/^\/api\/alerts\/(\d+)(\/receipts\.csv|\/cancel)?$/);
    if (m) {
      const a = alerts[m[1] - 1];
      if (!a) return send(res, 404, { error: 'no such alert' });
      if (m[2] === '/cancel') { a.state = 'cancelled'; a.cancelled_at = now(); emit('alert', view(a)); return send(res, 200, view(a)); }
      if (m[2]) return send(res, 200, 'computer,user,state,sent_at,acknowledged_at\r\n' + a.receipts.map((r) => [r.computer, r.user, r.state, r.first_sent_at, r.acknowledged_at || ''].join(',')).join('\r\n') + '\r\n', 'text/csv');
      return send(res, 200, { ...view(a), receipts: a.receipts });
    }
    send(res, 404, { error: 'not found' });
  });
}).listen(+process.argv[2] || 8099, '127.0.0.1');
