// Debian's chromium under Playwright: headless, no sandbox (root), nothing
// that talks to the network on its own, a fresh profile each time.
'use strict';
const { chromium } = require('playwright-core');
const fs = require('fs');
const os = require('os');
const path = require('path');

async function launch(options = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'nv-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    acceptDownloads: true,
    viewport: { width: 1360, height: 860 },
    locale: 'fr-FR',
    timezoneId: options.timezoneId || 'Europe/Paris',
    args: ['--no-sandbox', '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--no-first-run', '--disable-gpu', '--disable-quic', '--disable-default-apps', '--disable-extensions'],
  });
  const close = async () => { await context.close(); fs.rmSync(profile, { recursive: true, force: true }); };
  return { context, close };
}

const shots = path.join(__dirname, '../../artifacts/screenshots');
async function shot(page, name) {
  fs.mkdirSync(shots, { recursive: true });
  await page.screenshot({ path: path.join(shots, name + '.png'), fullPage: true });
}

module.exports = { launch, shot, shots };
