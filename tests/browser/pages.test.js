// Every page of the console at a phone's width and at 1280 px: no sideways
// scrolling, no accessibility violation (axe-core), the keyboard and screen
// reader paths; a screenshot of each into artifacts/screenshots.
'use strict';
const nodeTest = require('node:test');
const { before, after } = nodeTest;
const assert = require('node:assert/strict');
const fs = require('fs');
const { launch, shot } = require('./browser');
const { System, until, findServer } = require('./system');

const test = findServer() ? nodeTest : (name, fn) => nodeTest.skip(name + ' (nivaxel-server not built)', fn);
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

let sys, browser, alertId, templateId;
before(async () => {
  if (!findServer()) return;
  sys = await new System().start();
  browser = await launch();
  const a = sys.station('PC-ACCUEIL-01', 'anne');
  await a.wait('identified');
  const s = await sys.session('anne');
  const post = (p, body, method = 'POST') => fetch(sys.base + p, { method, body: JSON.stringify(body),
    headers: { Cookie: s.cookie, 'X-CSRF-Token': s.csrf, 'Content-Type': 'application/json' } }).then((r) => r.json());
  await post('/api/groups/Accueil', { computers: ['PC-ACCUEIL-01', 'PC-ACCUEIL-02'], users: [] }, 'PUT');
  alertId = (await post('/api/alerts', { author: 'Service sécurité', subject: 'Exercice d\'évacuation du bâtiment principal',
    lines: ['Évacuation par l\'escalier B.', 'Rassemblement sur le parking.'], computers: ['PC-ACCUEIL-01', 'PC-INCONNU'], groups: ['Accueil'] })).id;
  await a.wait('alert');
  const later = (h) => new Date(Date.now() + h * 3600000).toISOString().replace(/\.\d{3}Z$/, 'Z');
  const message = { author: 'Service sécurité', subject: 'Alarme incendie : {bâtiment}', lines: ['Évacuez {bâtiment} par {sortie}.'], groups: ['Accueil'] };
  templateId = (await post('/api/templates', { name: 'Alarme incendie', alert: message })).id;
  await post('/api/alerts', { ...message, subject: 'Essai des sirènes', lines: ['Essai mensuel.'], starts_at: later(2) });
  await post('/api/schedules', { every: 'weekly', first_at: later(1), until: later(24 * 60), alert: { ...message, subject: 'Rappel : exercice hebdomadaire' } });
});
after(async () => { if (browser) await browser.close(); if (sys) await sys.stop(); });

const pages = () => [['postes', '#stations tbody tr'], ['nouvelle', '#reach:has-text("en ligne")'], [`alerte/${alertId}`, '#counts'],
  ['historique', '#history tbody tr a'], ['journal', '#audit tbody tr'], ['utilisateurs', '#users tbody tr'], ['groupes', '#groups tbody tr'],
  ['modeles', '#templates tbody tr[data-template]'], [`modeles/${templateId}`, '#use-template input'], ['programmees', '#schedules tbody tr[data-schedule]']];

async function axe(page) {
  await page.evaluate(axeSource);
  const r = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  return r.violations.map((v) => `${v.id} (${v.nodes.length}): ${v.nodes.slice(0, 2).map((n) => n.target.join(' ')).join(', ')}`);
}
const sideways = (page) => page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);

test('every page fits a phone and a 1280 px screen, and axe-core finds nothing', async () => {
  const page = await browser.context.newPage();
  const found = [];
  for (const width of [390, 1280]) {
    await page.setViewportSize({ width, height: width === 390 ? 844 : 800 });
    await page.goto(sys.base + '/');
    await page.waitForSelector('#signin-form');
    found.push(...(await axe(page)).map((v) => `${width} px, sign-in: ${v}`));
    assert.equal(await sideways(page), 0, `sign-in at ${width} px`);
    await shot(page, `console-signin-${width}`);
    await page.fill('#signin-form [name=name]', 'anne');
    await page.fill('#signin-form [name=password]', 'anne-password');
    await page.click('#signin-form button[type=submit]');
    await page.waitForSelector('#bar', { state: 'visible' });
    for (const [hash, ready] of pages()) {
      await page.goto(`${sys.base}/#/${hash}`);
      if (hash === 'nouvelle') {
        await page.fill('#compose [name=subject]', 'Coupure du réseau');
        await page.fill('#compose [name=lines]', 'Le réseau sera coupé de 12 h à 13 h.\nEnregistrez votre travail.');
        await page.fill('#compose [name=computers]', 'PC-ACCUEIL-01, PC-ACCEUIL-02');
      }
      await page.waitForSelector(ready);
      await page.waitForTimeout(400); // the live counts and the reach settle
      const over = await sideways(page);
      found.push(...(await axe(page)).map((v) => `${width} px, ${hash}: ${v}`));
      await shot(page, `console-${hash.replace(/\/\d+$/, hash.startsWith('modeles/') ? '-remplir' : '').replace('/', '-')}-${width}`);
      console.log(`${width} px ${hash}: ${over} px wider than the screen`);
      assert.equal(over, 0, `${hash} at ${width} px is ${over} px wider than the screen`);
    }
    await page.click('#sign-out');
  }
  console.log(`axe-core violations: ${found.length}`);
  assert.deepEqual(found, []);
  await page.close();
});

test('on a phone the menu folds away; the keyboard finds the content, the titles and the sort', async () => {
  await browser.context.clearCookies();
  const page = await browser.context.newPage();
  await page.setViewportSize({ width: 390, height: 844 });
  await page.goto(sys.base + '/');
  await page.fill('#signin-form [name=name]', 'anne');
  await page.fill('#signin-form [name=password]', 'anne-password');
  await page.click('#signin-form button[type=submit]');
  await page.waitForSelector('#stations tbody tr');
  assert.equal(await page.isVisible('nav a[data-page=historique]'), false);
  assert.equal(await page.isVisible('#sign-out'), true);
  await page.click('#menu');
  await page.click('nav a[data-page=historique]');
  await page.waitForSelector('#history tbody tr a');
  assert.equal(await page.isVisible('nav a[data-page=historique]'), false, 'the menu folds again after a choice');
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Historique des alertes');

  // The skip link is the first stop of the page and lands on its title.
  await page.click('#bar .brand');
  await page.keyboard.press('Shift+Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'skip');
  await page.keyboard.press('Enter');
  assert.equal(await page.evaluate(() => document.activeElement.tagName), 'H1');

  // Sorting by keyboard alone; the order shown is the server's.
  await page.setViewportSize({ width: 1280, height: 800 });
  const s = await sys.session('anne');
  await until('two stations', async () => (await sys.get(s, '/api/stations')).total >= 1);
  await page.goto(sys.base + '/#/postes');
  await page.waitForSelector('#stations tbody tr');
  await page.focus('#stations th:nth-child(5) button');
  for (const order of ['asc', 'desc']) {
    await page.keyboard.press('Enter');
    await until(`sorted ${order}`, async () => (await page.getAttribute('#stations th:nth-child(5)', 'aria-sort')) === (order === 'asc' ? 'ascending' : 'descending'));
    assert.equal(await page.evaluate(() => document.activeElement.closest('th') && document.activeElement.closest('th').cellIndex), 4);
    const want = (await sys.get(s, `/api/stations?sort=last_seen&order=${order}`)).stations.map((x) => x.computer);
    await until('rows in order', async () => JSON.stringify(await page.locator('#stations tbody td:first-child').allTextContents()) === JSON.stringify(want));
  }
  await page.close();
});
