// Drives the console for the whole-system run under Wine (tests/e2e/console_demo.py):
//   node console-walk.js BASE NAME PASSWORD COMPUTER
// Signs in, sends an alert to COMPUTER from the compose page, then prints one
// JSON line per step: {"step":"sent","id":N}, and once the real client has
// acknowledged it, {"step":"acknowledged","computer","user","state","acknowledged_at"}.
'use strict';
const path = require('path');
const { launch, shot, shots } = require('./browser');

const [base, name, password, computer] = process.argv.slice(2);
const say = (o) => process.stdout.write(JSON.stringify(o) + '\n');

(async () => {
  const { context, close } = await launch();
  try {
    const page = await context.newPage();
    await page.goto(base + '/');
    await page.fill('#signin-form [name=name]', name);
    await page.fill('#signin-form [name=password]', password);
    await page.click('#signin-form button[type=submit]');
    await page.waitForSelector('#bar', { state: 'visible' });
    await page.click('nav a[data-page=nouvelle]');
    await page.fill('#compose [name=subject]', 'Exercice d\'évacuation');
    await page.fill('#compose [name=date]', '12/03 10:42');
    await page.fill('#compose [name=lines]', 'Evacuation du bâtiment A.\nMerci.');
    await page.fill('#compose [name=computers]', computer);
    await page.locator('.aw-screen').screenshot({ path: path.join(shots, 'console-preview.png') });
    await page.click('#compose button[type=submit]');
    await page.waitForSelector('#receipts tbody tr[data-state=sent]', { timeout: 20000 });
    say({ step: 'sent', id: Number(page.url().split('/').pop()) });
    const row = page.locator('#receipts tbody tr[data-state=acknowledged]');
    await row.waitFor({ timeout: 60000 });
    // By the columns' headers: the table gains columns now and then.
    const heads = await page.locator('#receipts thead th').allTextContents();
    const texts = await row.locator('td').allTextContents();
    const cell = (name) => texts[heads.indexOf(name)];
    await shot(page, 'console-wine-ledger');
    say({ step: 'acknowledged', computer: cell('Ordinateur'), user: cell('Utilisateur'), state: cell('État'), acknowledged_at: cell('Lue le') });
  } finally {
    await close();
  }
})().catch((e) => { say({ step: 'error', message: String(e && e.message || e) }); process.exit(1); });
