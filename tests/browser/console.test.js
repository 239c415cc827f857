// The console in a real browser against the real server and simulated stations.
'use strict';
const nodeTest = require('node:test');
const { before, after } = nodeTest;
const assert = require('node:assert/strict');
const fs = require('fs');
const http = require('http');
const { launch, shot } = require('./browser');
const { System, until, freePort, findServer } = require('./system');

// Without the server there is nothing to test against: say so rather than fail obscurely.
const test = findServer() ? nodeTest : (name, fn) => nodeTest.skip(name + ' (nivaxel-server not built)', fn);

let sys, browser;
before(async () => { if (!findServer()) return; sys = await new System().start(); browser = await launch(); });
after(async () => { if (browser) await browser.close(); if (sys) await sys.stop(); });

async function signIn(page, name, password = name + '-password') {
  await page.goto(sys.base + '/');
  await page.fill('#signin-form [name=name]', name);
  await page.fill('#signin-form [name=password]', password);
  await page.click('#signin-form button[type=submit]');
}

async function alertsTotal() {
  return (await sys.get(await sys.session('anne'), '/api/alerts?limit=1')).total;
}

test('an operator sends to two stations and watches both acknowledge live', async () => {
  const a = sys.station('PC-A', 'anne'), b = sys.station('PC-B', 'paul');
  await a.wait('identified'); await b.wait('identified');
  const admin = await sys.session('anne');
  await until('two stations known', async () => (await sys.get(admin, '/api/stations')).total >= 2);

  const page = await browser.context.newPage();
  await signIn(page, 'otto');
  await page.waitForSelector('#stations tbody tr >> nth=1');
  await shot(page, 'console-stations');

  await page.click('nav a[data-page=nouvelle]');
  assert.equal(await page.inputValue('#compose [name=author]'), 'otto');
  await page.fill('#compose [name=subject]', 'Exercice incendie');
  await page.fill('#compose [name=date]', '09/12 10:42');
  await page.fill('#compose [name=lines]', 'Évacuation du bâtiment A à 10 h 45.\nRassemblement sur le parking.');
  await page.fill('#compose [name=computers]', 'PC-A, PC-B');
  await until('reach count', async () => /: 2$/.test(await page.textContent('#reach')));
  assert.equal(await page.locator('#warnings li').count(), 0);
  await shot(page, 'console-compose');
  await page.fill('#compose [name=lines]', 'Évacuation ☺ du bâtiment A.');
  await until('a warning for the smiley', async () => /U\+263A/.test(await page.textContent('#warnings')));
  await page.fill('#compose [name=lines]', 'Évacuation du bâtiment A à 10 h 45.\nRassemblement sur le parking.');

  await page.click('#compose button[type=submit]');
  await page.waitForSelector('#receipts tbody tr >> nth=1');
  await a.wait('alert'); await b.wait('alert');
  assert.match(a.seen('alert')[0].text, /M=Évacuation du bâtiment A à 10 h 45\./);
  await page.evaluate(() => { window.notReloaded = true; });
  a.ack(); b.ack();
  await page.waitForSelector('#receipts tbody tr[data-state=acknowledged] >> nth=1', { timeout: 10000 });
  assert.equal(await page.evaluate(() => window.notReloaded), true);
  await until('count of acknowledged', async () => (await page.textContent('#counts [data-state=acknowledged] b')) === '2');
  await shot(page, 'console-alert');
  // Every unread count at 0: no resend button, and nothing in its place.
  assert.doesNotMatch(await page.locator('#export').locator('..').textContent(), /null/);

  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#export')]);
  // The console's export is for a French spreadsheet; the API's keeps its documented header for scripts.
  const raw = fs.readFileSync(await download.path(), 'utf8');
  assert.equal(raw.charCodeAt(0), 0xFEFF);
  const csv = raw.slice(1).trim().split(/\r?\n/);
  assert.equal(csv[0], 'ordinateur,utilisateur,état,envoyée le,lue le,envoyée à,lue depuis,par le groupe');
  assert.deepEqual(csv.slice(1).map((l) => l.split(',').slice(0, 3).join(',')).sort(),
    ['PC-A,anne,lue', 'PC-B,paul,lue']);
  for (const l of csv.slice(1)) assert.match(l.split(',')[4], /^\d{4}-\d\d-\d\dT/);
  const id = page.url().split('/').pop();
  const api = await fetch(`${sys.base}/api/alerts/${id}/receipts.csv`, { headers: { Cookie: admin.cookie } }).then((r) => r.text());
  assert.equal(api.split('\r\n')[0], 'computer,user,state,sent_at,acknowledged_at,sent_address,acknowledged_address,directory_group');

  await page.click('nav a[data-page=historique]');
  await page.waitForSelector('#history tbody tr a');
  await shot(page, 'console-history');

  await page.click('#sign-out');
  await page.waitForSelector('#signin-form', { state: 'visible' });
  const status = await page.evaluate(async () => (await fetch('/api/session')).status);
  assert.equal(status, 401);
  await page.close();
});

test('a wrong password is refused, and admins see it in the audit log', async () => {
  const page = await browser.context.newPage();
  await signIn(page, 'anne', 'not-her-password');
  await until('error text', async () => (await page.textContent('#signin-error')) === 'Nom ou mot de passe incorrect.');
  assert.equal(await page.isVisible('#bar'), false);
  await shot(page, 'console-signin');
  await signIn(page, 'anne');
  await page.click('nav a[data-page=journal]');
  await page.waitForSelector('#audit tbody tr');
  assert.match(await page.textContent('#audit'), /anne.*Connexion échouée.*mot de passe incorrect/s);
  await shot(page, 'console-audit');
  await page.click('nav a[data-page=utilisateurs]');
  await page.waitForSelector('#users tbody tr >> nth=2');
  await shot(page, 'console-users');
  await page.click('nav a[data-page=groupes]');
  await page.fill('#group-set [name=name]', 'Accueil');
  await page.fill('#group-set [name=computers]', 'PC-A, PC-C');
  await page.click('#group-set button[type=submit]');
  await page.waitForSelector('#groups tbody tr:has-text("PC-A, PC-C")');
  await page.click('#token-add button[type=submit]');
  await until('a new token shown once', async () => /^[A-Za-z0-9_-]{20,}$/.test((await page.textContent('#new-token code').catch(() => '')) || ''));
  await shot(page, 'console-groups');
  await page.click('#sign-out');
  await page.close();
});

test('a viewer cannot send', async () => {
  const before = await alertsTotal();
  const page = await browser.context.newPage();
  await signIn(page, 'vera');
  await page.waitForSelector('#bar', { state: 'visible' });
  assert.equal(await page.isVisible('nav a[data-page=nouvelle]'), false);
  await page.goto(sys.base + '/#/nouvelle');
  await page.waitForSelector('#compose');
  assert.equal(await page.isDisabled('#compose button[type=submit]'), true);
  // The server is what refuses, whatever the page shows.
  const status = await page.evaluate(async () => {
    const s = await (await fetch('/api/session')).json();
    const r = await fetch('/api/alerts', { method: 'POST', headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': s.csrf },
      body: JSON.stringify({ author: 'vera', subject: 'x', lines: ['x'], everyone: true }) });
    return r.status;
  });
  assert.equal(status, 403);
  assert.equal(await alertsTotal(), before);
  await page.click('#sign-out');
  await page.close();
});

test('a forged cross-site request is refused and writes nothing', async () => {
  const before = await alertsTotal();
  const page = await browser.context.newPage();
  await signIn(page, 'anne');
  await page.waitForSelector('#bar', { state: 'visible' });

  // Another site, open in the same browser, posts to the console.
  const evilPort = await freePort();
  const body = JSON.stringify({ author: 'x', subject: 'forged', lines: ['forged'], everyone: true });
  const evil = http.createServer((req, res) => {
    res.setHeader('Content-Type', 'text/html');
    res.end(`<form id=f method=post enctype=text/plain action="${sys.base}/api/alerts"><input name='${body.slice(0, -1)}' value='"}'></form>
      <script>fetch(${JSON.stringify(sys.base + '/api/alerts')}, {method:'POST', credentials:'include', mode:'no-cors',
        headers:{'Content-Type':'text/plain'}, body:${JSON.stringify(body)}}).finally(() => document.getElementById('f').submit());</script>`);
  }).listen(evilPort, '127.0.0.1');
  const other = await browser.context.newPage();
  await other.goto(`http://127.0.0.1:${evilPort}/`);
  await other.waitForURL(/\/api\/alerts/, { timeout: 5000 }).catch(() => {});
  await other.close();
  evil.close();

  // The same with the session cookie itself but from another origin and without the page's token.
  const s = await sys.session('anne');
  const r = await fetch(sys.base + '/api/alerts', { method: 'POST', body,
    headers: { Cookie: s.cookie, 'Content-Type': 'application/json', Origin: `http://127.0.0.1:${evilPort}` } });
  assert.equal(r.status, 403);
  assert.equal(await alertsTotal(), before);
  await page.click('#sign-out');
  await page.close();
});
