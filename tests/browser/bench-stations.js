// Figures, not assertions: how long the stations page takes to be ready with
// 10,000 known stations, in Chromium against the real server.
//   node bench-stations.js [STATIONS]
'use strict';
const { execFileSync } = require('child_process');
const path = require('path');
const { launch } = require('./browser');
const { System } = require('./system');

const count = Number(process.argv[2] || 10000);

(async () => {
  const sys = new System();
  sys.seed = (data) => {
    // The server makes its schema on first open; the stations go straight into it.
    execFileSync(sys.bin, ['token', 'create', '--data', data, '--scope', 'read'], { stdio: 'ignore' });
    execFileSync('sqlite3', [path.join(data, 'nivaxel.db'), `WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${count})
      INSERT INTO stations(computer, user, computer_key, user_key, address, first_seen, last_seen, online)
      SELECT printf('PC%05d', i), printf('user%d', i % 700), printf('pc%05d', i), printf('user%d', i % 700),
             printf('10.0.%d.%d', i / 256, i % 256), 1765000000, 1765000000 + i, 0 FROM n;`]);
  };
  await sys.start();
  const browser = await launch();
  try {
    const page = await browser.context.newPage();
    await page.goto(sys.base + '/');
    await page.fill('#signin-form [name=name]', 'vera');
    await page.fill('#signin-form [name=password]', 'vera-password');
    await page.click('#signin-form button[type=submit]');
    await page.waitForSelector('#view[data-ready]');
    const figures = [];
    for (const [what, action] of [
      ['first page', () => page.goto(sys.base + '/#/postes')],
      ['sorted by last seen', () => page.click('#stations th:nth-child(5)')],
      ['search "PC0999"', () => page.fill('input[type=search]', 'PC0999')],
      ['last page', async () => { await page.fill('input[type=search]', ''); await page.waitForTimeout(400); await page.click('text=Fin »'); }],
    ]) {
      const t0 = Date.now();
      await page.evaluate(() => { delete document.getElementById('view').dataset.ready; });
      await action();
      await page.waitForSelector('#view[data-ready]');
      figures.push(`${what}: ${Date.now() - t0} ms`);
    }
    const total = await page.textContent('.pager .pages');
    console.log(`stations page with ${count} stations (${total.trim()}):`);
    for (const f of figures) console.log('  ' + f);
  } finally {
    await browser.close();
    await sys.stop();
  }
})().catch((e) => { console.error(e); process.exit(1); });
