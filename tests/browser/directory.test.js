// Console sign-in with directory accounts, in Chromium, against a real slapd
// the test starts (through tests/e2e's launcher) and the server's --ldap.
'use strict';
const nodeTest = require('node:test');
const { before, after } = nodeTest;
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');
const { launch } = require('./browser');
const { System, until, findServer } = require('./system');

const haveSlapd = fs.existsSync('/usr/sbin/slapd') && spawnSync('slapadd', ['-VV']).error === undefined;
const test = findServer() && haveSlapd ? nodeTest
  : (name, fn) => nodeTest.skip(name + ' (nivaxel-server or slapd missing)', fn);

// A slapd of its own, seeded with nested groups; lines in, answers out.
class Directory {
  constructor(config, entries) {
    this.proc = spawn('python3', [path.join(__dirname, 'slapd-launch.py'), JSON.stringify({ ...entries, config })],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    this.answers = [];
    this.waiting = [];
    readline.createInterface({ input: this.proc.stdout }).on('line', (l) => {
      const w = this.waiting.shift();
      if (w) w(JSON.parse(l)); else this.answers.push(JSON.parse(l));
    });
  }
  next() { return this.answers.length ? Promise.resolve(this.answers.shift()) : new Promise((r) => this.waiting.push(r)); }
  async send(cmd) {
    this.proc.stdin.write(JSON.stringify(cmd) + '\n');
    const a = await this.next();
    if (!a.ok) throw new Error(`slapd ${cmd.op}: ${a.error}`);
  }
  async close() {
    this.proc.stdin.end(JSON.stringify({ op: 'quit' }) + '\n');
    await new Promise((r) => { if (this.proc.exitCode !== null) r(); else this.proc.once('exit', r); });
  }
}

// Enough groups that drawing them all would show.
const SITES = 3000;
const site = (i) => 'Site-' + String(i).padStart(4, '0');

let sys, browser, ldap;
before(async () => {
  if (!findServer() || !haveSlapd) return;
  sys = new System();
  const conf = path.join(fs.mkdtempSync(path.join(require('os').tmpdir(), 'nv-ldapconf-')), 'ldap.conf');
  ldap = new Directory(conf, {
    users: ['alice', 'bob', 'carol', 'dave'],
    groups: {
      AdminsInner: ['user:alice'], ConsoleAdmins: ['group:AdminsInner'],
      ConsoleOperators: ['user:bob'], ConsoleViewers: ['user:carol'],
      ...Object.fromEntries(Array.from({ length: SITES }, (_, i) => [site(i + 1), [i + 1 === SITES ? 'user:dave' : 'user:carol']])),
    },
    extra: { admin_group: 'ConsoleAdmins', operator_group: 'ConsoleOperators', viewer_group: 'ConsoleViewers', role_check_seconds: '1' },
  });
  const started = await ldap.next();
  assert.ok(started.url, 'slapd started');
  sys.serverArgs = ['--ldap', conf];
  await sys.start();
  browser = await launch();
});
after(async () => {
  if (browser) await browser.close();
  if (sys) await sys.stop();
  if (ldap) await ldap.close();
});

async function signIn(page, name, password) {
  await browser.context.clearCookies(); // whoever was signed in before
  await page.goto(sys.base + '/');
  await page.fill('#signin-form [name=name]', name);
  await page.fill('#signin-form [name=password]', password);
  const t0 = Date.now();
  await page.click('#signin-form button[type=submit]');
  await page.waitForFunction(() => document.getElementById('signin').hidden
    || document.getElementById('signin-error').textContent !== '');
  return Date.now() - t0;
}
const role = (page) => page.textContent('#who-role');
const signInError = (page) => page.textContent('#signin-error');

test('directory accounts sign in with the role of their groups; wrong ones do not', async () => {
  const page = await browser.context.newPage();
  const times = [];
  for (const [name, expected, canSend] of [['alice', 'Administrateur', true], ['bob', 'Opérateur', true], ['carol', 'Lecteur', false]]) {
    times.push(await signIn(page, name, 'pw-' + name));
    assert.equal(await page.isHidden('#signin'), true, `${name} signed in: ${await signInError(page)}`);
    assert.equal((await role(page)).toLowerCase(), expected.toLowerCase(), name);
    assert.equal(await page.isVisible('nav a[data-page=nouvelle]'), canSend, `${name} may send`);
    assert.equal(await page.isVisible('nav a[data-page=utilisateurs]'), name === 'alice', `${name} administers`);
    await page.click('#sign-out');
  }
  console.log(`sign-in through the directory, form to console: ${times.join(', ')} ms`);

  await signIn(page, 'alice', 'not-her-password');
  assert.equal(await signInError(page), 'Nom ou mot de passe incorrect.');
  await signIn(page, 'dave', 'pw-dave');
  assert.match(await signInError(page), /aucun des groupes/);
  // Filter characters in the name find nobody, rather than everybody.
  await signIn(page, 'a*', 'pw-alice');
  assert.equal(await signInError(page), 'Nom ou mot de passe incorrect.');
  await page.close();
});

test('a person removed from the admin group loses the open session', async () => {
  const page = await browser.context.newPage();
  await signIn(page, 'alice', 'pw-alice');
  assert.equal(await page.isHidden('#signin'), true);
  await page.click('nav a[data-page=utilisateurs]');
  await page.waitForSelector('#view table');

  // A group of names keeps one member at least: dave takes her place.
  await ldap.send({ op: 'modify', group: 'AdminsInner', user: 'dave',
    ldif: 'dn: {group}\nchangetype: modify\nreplace: member\nmember: {user}\n' });
  const removed = Date.now();
  // The next request after the role check is due is refused.
  await until('the session ended', async () => {
    // The menu goes as the session ends: a click then finds nothing to click.
    for (const to of ['postes', 'journal']) {
      if (await page.isVisible('#bar')) await page.click(`nav a[data-page=${to}]`, { timeout: 1000 }).catch(() => {});
    }
    await page.waitForTimeout(300);
    return page.isVisible('#signin');
  }, 10000);
  console.log(`session ended ${Date.now() - removed} ms after the removal (role check every 1 s)`);
  assert.match(await signInError(page), /annuaire/);
  await signIn(page, 'alice', 'pw-alice');
  assert.match(await signInError(page), /aucun des groupes/);
  await page.close();
});

test('with the directory down, directory sign-in says so and local accounts still sign in', async () => {
  await ldap.send({ op: 'stop' });
  try {
    const page = await browser.context.newPage();
    await signIn(page, 'bob', 'pw-bob');
    assert.match(await signInError(page), /annuaire est injoignable/);
    await signIn(page, 'anne', 'anne-password');
    assert.equal(await page.isHidden('#signin'), true, await signInError(page));
    assert.equal((await role(page)).toLowerCase(), 'administrateur');
    await page.close();
  } finally {
    await ldap.send({ op: 'start' });
  }
});

test('the group picker finds one directory group among thousands and targets it', async () => {
  const station = sys.station('PC-DAVE', 'dave');
  await station.wait('identified');
  const page = await browser.context.newPage();
  await signIn(page, 'anne', 'anne-password');
  const t0 = Date.now();
  await page.click('nav a[data-page=nouvelle]');
  await page.waitForSelector('#group-more:has-text("précisez la recherche")');
  const drawn = await page.locator('#compose input[name=group]').count();
  console.log(`compose page with ${SITES + 4} groups: ${drawn} drawn, ready in ${Date.now() - t0} ms`);
  assert.ok(drawn > 0 && drawn <= 50, `${drawn} group boxes drawn`);

  await page.fill('#group-filter', site(SITES).toLowerCase());
  await until('one match', async () => (await page.locator('#compose input[name=group]').count()) === 1);
  await page.check(`#compose input[name=group][value=${site(SITES)}]`);
  // The choice stays while the search moves on.
  await page.fill('#group-filter', 'console');
  await until('chosen and matches', async () => (await page.locator('#compose input[name=group]').count()) === 4);
  assert.equal(await page.isChecked(`#compose input[name=group][value=${site(SITES)}]`), true);
  await page.fill('#compose [name=subject]', 'Site fermé');
  await page.fill('#compose [name=lines]', 'Le site ferme à midi.');
  await until('reach of the directory group', async () => /Postes visés : 1 /.test(await page.textContent('#reach')));
  await page.click('#compose button[type=submit]');
  await station.wait('alert');
  await page.waitForSelector('#receipts tbody tr');
  assert.equal(await page.textContent('#receipts tbody tr td.via'), site(SITES));

  // The admin page: the last sync's counts, and the same search over the groups.
  await page.click('nav a[data-page=groupes]');
  await page.waitForSelector('#groups-more:has-text("précisez la recherche")');
  assert.match(await page.textContent('#directory-state'), new RegExp(`${SITES + 4} groupes`));
  assert.ok(await page.locator('#groups tbody tr').count() <= 50);
  await page.fill('#groups-filter', site(SITES));
  await until('one group listed', async () => (await page.locator('#groups tbody tr').count()) === 1);
  await page.close();
});
