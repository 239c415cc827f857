// Faults an administrator met in the console, each against the real server
// and simulated stations: history filters and search, the compose page's
// counts and checks, the French of what it shows.
'use strict';
const nodeTest = require('node:test');
const { before, after } = nodeTest;
const assert = require('node:assert/strict');
const { launch } = require('./browser');
const { System, until, findServer } = require('./system');

const test = findServer() ? nodeTest : (name, fn) => nodeTest.skip(name + ' (nivaxel-server not built)', fn);

let sys, browser, admin;
const ids = {};
async function call(method, p, body, s = admin) {
  const r = await fetch(sys.base + p, { method, body: body && JSON.stringify(body),
    headers: { Cookie: s.cookie, 'X-CSRF-Token': s.csrf, 'Content-Type': 'application/json' } });
  return { status: r.status, body: await r.json().catch(() => null) };
}

before(async () => {
  if (!findServer()) return;
  sys = await new System().start();
  browser = await launch();
  admin = await sys.session('anne');
  // One station online, one that was seen once and left.
  const gone = sys.station('PC-OFF', 'olga');
  await gone.wait('identified');
  gone.stop();
  const s = sys.station('PC-S', 'sam');
  await s.wait('identified');
  await until('PC-OFF offline', async () => (await sys.get(admin, '/api/stations')).stations.some((x) => x.computer === 'PC-OFF' && !x.online));
  await call('PUT', '/api/groups/Etage', { computers: ['PC-S'], users: [] });
  const send = async (subject, target) => (await call('POST', '/api/alerts', { author: 'anne', subject, lines: [subject], ...target })).body.id;
  ids.everyone = await send('Évacuation générale', { everyone: true });
  ids.group = await send('Réunion à l\'étage', { groups: ['Etage'] });
  ids.other = await send('Autre poste', { computers: ['PC-OFF'] });
  await s.wait('alert', 2);
});
after(async () => { if (browser) await browser.close(); if (sys) await sys.stop(); });

async function signIn(page, name) {
  await page.context().clearCookies();
  await page.goto(sys.base + '/');
  await page.fill('#signin-form [name=name]', name);
  await page.fill('#signin-form [name=password]', name + '-password');
  await page.click('#signin-form button[type=submit]');
  await page.waitForSelector('#bar', { state: 'visible' });
}

test('the history finds alerts by local day, without accents, and by the station that received them', async () => {
  // A time zone whose day differs from UTC's right now.
  const timezoneId = new Date().getUTCHours() < 12 ? 'Etc/GMT+12' : 'Etc/GMT-14';
  const far = await launch({ timezoneId });
  try {
    const page = await far.context.newPage();
    await signIn(page, 'anne');
    await page.goto(sys.base + '/#/historique');
    const listed = async () => { await page.waitForSelector('#history[data-settled]'); return (await page.locator('#history tbody td:first-child a').allTextContents()).map(Number); };
    const search = async (fields) => {
      for (const name of ['q', 'target', 'from', 'to']) await page.fill(`#history-filter [name=${name}]`, fields[name] || '');
      await page.evaluate(() => { delete document.getElementById('history').dataset.settled; });
      await page.click('#history-filter button[type=submit]');
      return listed();
    };
    const created = await page.evaluate(() => new Date().toLocaleDateString('sv')); // the browser's own day, yyyy-mm-dd
    const utcDay = new Date().toISOString().slice(0, 10);
    console.log(`time zone ${timezoneId}: local day ${created}, UTC day ${utcDay}`);
    assert.notEqual(created, utcDay);
    assert.deepEqual((await search({ from: created, to: created })).sort(), Object.values(ids).sort());
    assert.deepEqual(await search({ from: utcDay, to: utcDay }), []);
    assert.deepEqual(await search({ q: 'evacuation' }), [ids.everyone]);
    assert.deepEqual(await search({ q: 'REUNION A L\'ETAGE' }), [ids.group]);
    assert.deepEqual((await search({ target: 'pc-s' })).sort(), [ids.everyone, ids.group].sort());
    assert.deepEqual(await search({ target: 'PC-OFF' }), [ids.other]);
    // Sorted by subject from the keyboard, both ways.
    await search({});
    const subjects = async () => { await listed(); return page.locator('#history tbody td:nth-child(4)').allTextContents(); };
    const bySubject = async (key) => {
      await page.evaluate(() => { delete document.getElementById('history').dataset.settled; });
      await page.focus('#history th[data-label="Objet"] button');
      await page.keyboard.press(key);
      return subjects();
    };
    const fold = (list) => list.map((s) => s.replace(/^Exercice /, '').toLowerCase());
    const up = fold(await bySubject('Enter'));
    const down = fold(await bySubject('Space'));
    console.log(`history by subject: ${up.length} rows, ${up[0]} .. ${up[up.length - 1]}`);
    assert.ok(up.length > 2);
    assert.deepEqual(up, [...up].sort());
    assert.deepEqual(down, [...up].reverse());
    assert.equal(await page.getAttribute('#history th[data-label="Objet"]', 'aria-sort'), 'descending');
  } finally { await far.close(); }
});

test('composing: the checks follow the form, the audience is counted right, and "everyone" is confirmed', async () => {
  const before = (await sys.get(admin, '/api/alerts?limit=1')).total;
  const stations = (await sys.get(admin, '/api/stations')).stations;
  const online = stations.filter((x) => x.online).length;
  assert.ok(online < stations.length, 'one station must be offline for the counts to differ');
  const page = await browser.context.newPage();
  await signIn(page, 'otto');
  await page.click('nav a[data-page=nouvelle]');
  await page.click('#compose button[type=submit]');
  assert.match(await page.textContent('#compose-status'), /nécessaires/);
  await page.fill('#compose [name=subject]', 'Alerte incendie');
  await page.fill('#compose [name=lines]', 'Quittez le bâtiment.');
  await page.fill('#compose [name=computers]', 'PC-S, PC-TYPO');
  await until('the complaint goes once the form is complete', async () => (await page.textContent('#compose-status')) === '');
  await until('the unknown name flagged', async () => /PC-TYPO/.test(await page.textContent('#unknown')));
  assert.doesNotMatch(await page.textContent('#unknown'), /PC-S\b/);
  await page.click('#compose button[type=submit]');
  assert.match(await page.textContent('#confirm-text'), /PC-TYPO/);
  await page.click('#confirm-no');

  await page.check('#compose input[name=group][value=Etage]');
  await page.check('#compose input[value=everyone]');
  assert.equal(await page.isChecked('#compose input[name=group][value=Etage]'), false);
  assert.equal(await page.isDisabled('#compose [name=computers]'), true);
  const reach = `Postes visés : ${stations.length} · en ligne maintenant : ${online}`;
  await until('targeted and online counts', async () => (await page.textContent('#reach')) === reach);
  console.log(reach);
  await page.click('#compose button[type=submit]');
  await page.waitForSelector('#confirm[open]');
  const said = await page.textContent('#confirm-text');
  assert.match(said, /Alerte incendie/);
  assert.match(said, new RegExp(`${stations.length} poste\\(s\\) visé\\(s\\), dont ${online} en ligne`));
  assert.equal(await page.evaluate(() => document.activeElement.id), 'confirm-no');
  await page.keyboard.press('Enter'); // what a hurried Enter does: nothing sent
  await page.waitForSelector('#confirm', { state: 'hidden' });
  assert.equal((await sys.get(admin, '/api/alerts?limit=1')).total, before);
  await page.close();
});

test('what the console shows is in French: audit log, server refusals, token scopes', async () => {
  const page = await browser.context.newPage();
  await signIn(page, 'anne');
  await page.goto(sys.base + '/#/groupes');
  await page.fill('#group-set [name=name]', 'G'.repeat(201));
  await page.click('#group-set button[type=submit]');
  await until('a French refusal', async () => /Un groupe a besoin d'un nom de 200 octets au plus/.test(await page.textContent('#view')));
  await page.selectOption('#token-add [name=scope]', 'send');
  await page.click('#token-add button[type=submit]');
  await until('the token listed', async () => (await page.locator('#tokens tbody tr').count()) > 0);
  assert.deepEqual(await page.locator('#tokens tbody td:nth-child(3)').allTextContents(), ['envoi']);
  await page.goto(sys.base + '/#/journal');
  await page.waitForSelector('#audit tbody tr');
  const actions = await page.locator('#audit tbody td:nth-child(3)').allTextContents();
  const details = await page.locator('#audit tbody td:nth-child(4)').allTextContents();
  console.log(`audit actions shown: ${[...new Set(actions)].join(', ')}`);
  for (const want of ['Connexion', 'Alerte envoyée', 'Groupe enregistré', 'Jeton créé']) assert.ok(actions.includes(want), want);
  assert.deepEqual(actions.filter((a) => /sign|create|group|token|alert/.test(a)), []);
  assert.deepEqual(details.filter((d) => /^alert |^token |computers|users$|^(admin|operator|viewer)$/.test(d)), []);
  await page.close();
});

test('the last administrator can be neither demoted nor removed, and a role change is confirmed', async () => {
  const page = await browser.context.newPage();
  await signIn(page, 'anne');
  await page.goto(sys.base + '/#/utilisateurs');
  await page.waitForSelector('#users tbody tr');
  const role = () => page.inputValue('#users select[aria-label="Rôle de anne"]');
  await page.selectOption('#users select[aria-label="Rôle de anne"]', 'operator');
  assert.match(await page.textContent('#confirm-text'), /anne.*opérateur.*administrateur/);
  await page.click('#confirm-no');
  // The dialog reports its closing in a task of its own.
  await until('the role shown goes back', async () => (await role()) === 'admin');
  await page.selectOption('#users select[aria-label="Rôle de anne"]', 'viewer');
  await page.click('#confirm-yes');
  await until('a French refusal', async () => /dernier administrateur/.test(await page.textContent('#view [role=status]')));
  await until('the role shown is the one kept', async () => (await role()) === 'admin');
  const refused = [await call('PUT', '/api/users/anne', { role: 'operator' }), await call('DELETE', '/api/users/anne')];
  console.log(`refusals: ${refused.map((r) => r.status + ' ' + r.body.error).join('; ')}`);
  assert.deepEqual(refused.map((r) => r.status), [409, 400]); // removing oneself was already refused
  assert.match(refused[0].body.error, /^last administrator/);
  assert.equal((await sys.get(admin, '/api/users')).users.find((u) => u.name === 'anne').role, 'admin');
  await page.close();
});

test('"send again to those who have not read it" reaches only them, linked to the first; a drill is marked', async () => {
  const r1 = sys.station('PC-R1', 'rita'), r2 = sys.station('PC-R2', 'rene');
  await r1.wait('identified'); await r2.wait('identified');
  const first = (await call('POST', '/api/alerts', { author: 'anne', subject: 'Exercice de confinement', lines: ['Restez dans vos bureaux.'],
    computers: ['PC-R1', 'PC-R2', 'PC-OFF', 'PC-NOPE'], exercise: true })).body.id;
  // The stations first get the alert to everyone still live; count only this one.
  const got = (st) => st.seen('alert').filter((e) => /confinement/.test(e.text)).length;
  await until('both got it', async () => got(r1) === 1 && got(r2) === 1);
  await new Promise((r) => setTimeout(r, 1200)); // past the grace in which an ack counts for the alert before
  r1.ack();
  await until('PC-R1 acknowledged', async () => (await sys.get(admin, `/api/alerts/${first}`)).counts.acknowledged === 1);
  const page = await browser.context.newPage();
  await signIn(page, 'otto');
  await page.goto(`${sys.base}/#/alerte/${first}`);
  await page.click('#resend');
  assert.match(await page.textContent('#confirm-text'), /aux 2 poste\(s\)/); // PC-R2 unread, PC-OFF offline
  await page.click('#confirm-yes');
  await page.waitForURL((u) => !u.hash.endsWith('/' + first));
  const again = await sys.get(admin, '/api/alerts/' + page.url().split('/').pop());
  await until('PC-R2 got it again', async () => got(r2) === 2);
  await new Promise((r) => setTimeout(r, 500)); // time enough for a wrong delivery to PC-R1 to show
  const to = again.receipts.map((x) => `${x.computer}\\${x.user}`).sort();
  console.log(`resent alert ${again.id} (follows ${again.follows}) to: ${to.join(', ')}; PC-R1 got it ${got(r1)} time(s)`);
  assert.deepEqual(to, ['PC-OFF\\olga', 'PC-R2\\rene']);
  assert.equal(again.follows, first);
  assert.equal(got(r1), 1);
  await page.goto(sys.base + '/#/historique');
  await page.waitForSelector(`#history tbody tr:has(a[href="#/alerte/${first}"]) .pill.exercise`);
  await page.close();
});
