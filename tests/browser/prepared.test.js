// Prepared alerts in the console against the real server, in a test clock
// where a "day" lasts 4 s and a reminder's minute 3 s: templates filled and
// sent by an operator, drafts kept per user, a recurring alert firing, the
// reminder of those who have not read.
'use strict';
const nodeTest = require('node:test');
const { before, after } = nodeTest;
const assert = require('node:assert/strict');
const { launch } = require('./browser');
const { System, until, findServer } = require('./system');

const test = findServer() ? nodeTest : (name, fn) => nodeTest.skip(name + ' (nivaxel-server not built)', fn);
const DAY = 4;
const MINUTE = 3;

let sys, browser, anne, otto;
async function call(s, method, p, body) {
  const r = await fetch(sys.base + p, { method, body: body && JSON.stringify(body),
    headers: { Cookie: s.cookie, 'X-CSRF-Token': s.csrf, 'Content-Type': 'application/json' } });
  return { status: r.status, body: await r.json().catch(() => null) };
}
const alertsAfter = async (first) => (await sys.get(anne, '/api/alerts?limit=100')).alerts.filter((a) => a.id > first);

before(async () => {
  if (!findServer()) return;
  sys = new System();
  sys.env = { NIVAXEL_TEST_DAY_SECONDS: String(DAY), NIVAXEL_TEST_MINUTE_SECONDS: String(MINUTE) };
  await sys.start();
  browser = await launch();
  anne = await sys.session('anne');
  otto = await sys.session('otto');
});
after(async () => { if (browser) await browser.close(); if (sys) await sys.stop(); });

async function signIn(name) {
  await browser.context.clearCookies();
  const page = await browser.context.newPage();
  await page.goto(sys.base + '/');
  await page.fill('#signin-form [name=name]', name);
  await page.fill('#signin-form [name=password]', name + '-password');
  await page.click('#signin-form button[type=submit]');
  await page.waitForSelector('#bar', { state: 'visible' });
  return page;
}

test('an administrator\'s template is filled and sent by an operator in two clicks; drafts stay their owner\'s', async () => {
  const st = sys.station('PC-HALL', 'hugo');
  await st.wait('identified');
  const page = await signIn('anne');
  await page.goto(sys.base + '/#/nouvelle');
  await page.fill('#compose [name=subject]', 'Fuite de gaz : {lieu}');
  await page.fill('#compose [name=lines]', 'Quittez {lieu} par la sortie {sortie}.\nNe touchez à aucun interrupteur.');
  await page.fill('#compose [name=computers]', 'PC-HALL');
  await page.fill('#compose [name=saved_name]', 'Fuite de gaz');
  await page.click('#save-template');
  await page.waitForSelector('#templates tr[data-template="Fuite de gaz"]');
  assert.equal(await page.textContent('#templates tr[data-template="Fuite de gaz"] td:nth-child(4)'), 'lieu, sortie');

  // The operator: "Utiliser", fill in, "Envoyer".
  const op = await signIn('otto');
  await op.goto(sys.base + '/#/modeles');
  await op.click('#templates tr[data-template="Fuite de gaz"] >> text=Utiliser');
  await op.fill('#use-template [name=lieu]', 'le bâtiment B');
  await op.click('#use-template button[type=submit]');
  assert.match(await op.textContent('#template-status'), /Remplissez « sortie »/);
  await op.fill('#use-template [name=sortie]', 'nord');
  await op.click('#use-template button[type=submit]');
  await op.waitForSelector('#alert-state');
  const id = Number(op.url().split('/').pop());
  const sent = await sys.get(otto, `/api/alerts/${id}`);
  assert.equal(sent.subject, 'Fuite de gaz : le bâtiment B');
  assert.deepEqual(sent.lines, ['Quittez le bâtiment B par la sortie nord.', 'Ne touchez à aucun interrupteur.']);
  assert.equal(sent.created_by, 'otto');
  await st.wait('alert');
  assert.match(st.seen('alert')[0].text, /Quittez le bâtiment B par la sortie nord\./);
  const audit = (await sys.get(anne, '/api/audit')).entries;
  assert.ok(audit.some((e) => e.who === 'anne' && e.action === 'save template'));
  assert.ok(audit.some((e) => e.who === 'otto' && e.action === 'create alert' && e.detail === `alert ${id}: ${sent.subject} (template Fuite de gaz)`));

  // Refusals: templates are written by administrators only, their names are unique, every part is filled in.
  const tpl = (await sys.get(otto, '/api/templates')).templates[0];
  const refused = {
    operatorWrites: (await call(otto, 'POST', '/api/templates', { name: 'X', alert: tpl.alert })).status,
    sameName: (await call(anne, 'POST', '/api/templates', { name: 'FUITE DE GAZ', alert: tpl.alert })).status,
    noTarget: (await call(anne, 'POST', '/api/templates', { name: 'Y', alert: { author: 'a', subject: 's', lines: ['l'] } })).status,
    unfilled: (await call(otto, 'POST', `/api/templates/${tpl.id}/send`, { values: { lieu: 'B', sortie: ' ' } })).body.error,
  };
  console.log('template refusals:', JSON.stringify(refused));
  assert.deepEqual(refused, { operatorWrites: 403, sameName: 409, noTarget: 400, unfilled: 'placeholder sortie needs a value' });

  // A draft: saved, listed and restored for its owner only.
  await op.goto(sys.base + '/#/nouvelle');
  await op.fill('#compose [name=subject]', 'Exercice incendie jeudi');
  await op.fill('#compose [name=lines]', 'Rendez-vous au point de rassemblement.');
  await op.fill('#compose [name=users]', 'hugo');
  await op.click('#save-draft');
  await op.waitForSelector('#drafts a');
  const draft = (await sys.get(otto, '/api/drafts')).drafts[0];
  assert.equal(draft.name, 'Exercice incendie jeudi');
  assert.deepEqual((await sys.get(anne, '/api/drafts')).drafts, []);
  assert.equal((await call(anne, 'PUT', `/api/drafts/${draft.id}`, { name: 'pris', alert: {} })).status, 404);
  await op.goto(sys.base + '/#/postes');
  await op.goto(`${sys.base}/#/nouvelle/brouillon-${draft.id}`);
  await op.waitForSelector('#view[data-restored]');
  assert.equal(await op.inputValue('#compose [name=users]'), 'hugo');
  assert.equal(await op.inputValue('#compose [name=lines]'), 'Rendez-vous au point de rassemblement.');
  await page.close();
  await op.close();
});

test('a daily alert fires once a "day" until its last day, or until cancelled', async () => {
  const st = sys.station('PC-TOUR', 'tess');
  await st.wait('identified');
  const start = Math.max(0, ...(await sys.get(anne, '/api/alerts?limit=1')).alerts.map((a) => a.id));
  const page = await signIn('otto');
  await page.goto(sys.base + '/#/nouvelle');
  await page.fill('#compose [name=subject]', 'Sauvegarde du soir');
  await page.fill('#compose [name=lines]', 'Fermez vos fichiers.');
  await page.fill('#compose [name=computers]', 'PC-TOUR');
  // Two seconds from now, in the browser's own time.
  await page.evaluate(() => {
    const d = new Date(Date.now() + 2000);
    const p = (n) => String(n).padStart(2, '0');
    const input = document.querySelector('#compose [name=starts]');
    input.step = 1;
    input.value = `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
    const t = new Date(Date.now() + 86400000);
    document.querySelector('#compose [name=until]').value = `${t.getFullYear()}-${p(t.getMonth() + 1)}-${p(t.getDate())}`;
  });
  await page.selectOption('#compose [name=every]', 'daily');
  await page.click('#compose button[type=submit]');
  await page.waitForSelector('#schedules tbody tr[data-schedule]');
  await st.wait('alert', 2, (3 * DAY + 5) * 1000);
  await page.click('#schedules tbody tr[data-schedule] button');
  await page.click('#confirm-yes');
  await page.waitForSelector('#schedules td[colspan]');
  await new Promise((r) => setTimeout(r, (DAY + 1) * 1000));
  const fired = (await alertsAfter(start)).filter((a) => a.subject === 'Sauvegarde du soir');
  console.log(`cancelled schedule: ${fired.length} alerts, ${st.seen('alert').length} received`);
  assert.equal(fired.length, 2);
  assert.equal(st.seen('alert').length, 2);

  // Through the API, with a last day half-way through the third "day": two, then it ends.
  const first = new Date(Date.now() + 1000);
  const r = await call(otto, 'POST', '/api/schedules', { every: 'daily', first_at: first.toISOString().replace(/\.\d{3}Z$/, 'Z'),
    until: new Date(first.getTime() + 1.5 * DAY * 1000).toISOString().replace(/\.\d{3}Z$/, 'Z'),
    alert: { author: 'otto', subject: 'Relevé', lines: ['Relevé des compteurs.'], computers: ['PC-TOUR'] } });
  assert.equal(r.status, 201);
  await until('the schedule ends', async () => (await sys.get(otto, '/api/schedules')).schedules.every((s) => s.id !== r.body.id), (3 * DAY + 3) * 1000);
  await new Promise((res) => setTimeout(res, (DAY + 1) * 1000));
  const ended = (await sys.get(otto, '/api/schedules?ended=1')).schedules.find((s) => s.id === r.body.id);
  console.log(`schedule with a last day: fired ${ended.fired} times`);
  assert.equal(ended.fired, 2);
  assert.equal((await call(otto, 'POST', `/api/schedules/${r.body.id}/cancel`, {})).status, 409);
  await page.close();
});

test('the reminder reaches only those who have read neither the alert nor an earlier reminder, at most as often as set', async () => {
  const [a, b, c] = [['PC-R1', 'ria'], ['PC-R2', 'rob'], ['PC-R3', 'rut']].map(([pc, u]) => sys.station(pc, u));
  await Promise.all([a, b, c].map((s) => s.wait('identified')));
  const page = await signIn('otto');
  await page.goto(sys.base + '/#/nouvelle');
  await page.fill('#compose [name=subject]', 'Confinement');
  await page.fill('#compose [name=lines]', 'Restez dans votre bureau.');
  await page.fill('#compose [name=computers]', 'PC-R1, PC-R2, PC-R3');
  await page.check('#compose [name=remind]');
  await page.fill('#compose [name=remind_after]', '1');
  await page.fill('#compose [name=remind_times]', '2');
  await page.click('#compose button[type=submit]');
  await page.waitForSelector('#reminder');
  const first = Number(page.url().split('/').pop());
  await Promise.all([a, b, c].map((s) => s.wait('alert')));
  a.ack();
  await until('PC-R1 read', async () => (await sys.get(otto, `/api/alerts/${first}`)).counts.acknowledged === 1);
  await b.wait('alert', 2, 4 * MINUTE * 1000);
  await new Promise((r) => setTimeout(r, 1200)); // past the server's grace for a tick racing a new alert
  b.ack(); // rob reads the first reminder
  const second = await until('the second reminder', async () => {
    const f = (await alertsAfter(first)).filter((x) => x.follows === first);
    return f.length === 2 && f;
  }, 4 * MINUTE * 1000);
  await new Promise((r) => setTimeout(r, 2 * MINUTE * 1000 + 500));
  const followUps = (await alertsAfter(first)).filter((x) => x.follows === first).sort((x, y) => x.id - y.id);
  const reached = followUps.map((f) => f.target.stations.map((s) => s.computer).sort());
  console.log(`reminders: ${followUps.length}, reached ${JSON.stringify(reached)}; alerts received ria ${a.seen('alert').length}, rob ${b.seen('alert').length}, rut ${c.seen('alert').length}`);
  assert.equal(second.length, 2);
  assert.deepEqual(reached, [['PC-R2', 'PC-R3'], ['PC-R3']]);
  assert.deepEqual([a, b, c].map((s) => s.seen('alert').length), [1, 2, 3]);
  const audit = (await sys.get(anne, '/api/audit')).entries.filter((e) => e.action === 'reminder');
  assert.equal(audit.length, 2);
  assert.match(audit[0].detail, new RegExp(`^alert ${followUps[1].id}: 2 of 2, to the 1 stations that had not read alert ${first}$`));
  await page.reload();
  await page.waitForSelector('#reminder');
  assert.match(await page.textContent('#reminder'), /2 faite\(s\)\.$/);
  await page.close();
});
