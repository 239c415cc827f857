// The administrators' console: one page, views chosen by the address's #.
'use strict';

const me = { name: '', role: '', scope: '', csrf: '' };
const SCOPES = { read: 0, send: 1, admin: 2 };
const can = (scope) => SCOPES[me.scope] >= SCOPES[scope];

const RECEIPT_STATES = {
  queued: 'En attente', sent: 'Envoyée', acknowledged: 'Lue', replaced: 'Remplacée avant lecture',
  'not reached': 'Non atteint', expired: 'Expirée', cancelled: 'Annulée',
};
const ALERT_STATES = { active: 'Active', scheduled: 'Programmée', expired: 'Expirée', cancelled: 'Annulée' };
const ROLES = { viewer: 'lecteur', operator: 'opérateur', admin: 'administrateur' };

// ---- small helpers -------------------------------------------------------

// Builds elements without ever parsing text as HTML.
function h(tag, attrs, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k.startsWith('on')) el.addEventListener(k.slice(2), v);
    else if (k === 'class') el.className = v;
    else if (v === true) el.setAttribute(k, '');
    else el.setAttribute(k, v);
  }
  for (const c of children.flat()) {
    if (c === null || c === undefined || c === false) continue;
    el.append(c instanceof Node ? c : String(c));
  }
  return el;
}

function when(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  return isNaN(d) ? iso : d.toLocaleString('fr-FR', { dateStyle: 'short', timeStyle: 'medium' });
}

function debounce(fn, ms) {
  let t;
  return (...a) => { clearTimeout(t); t = setTimeout(() => fn(...a), ms); };
}

class ApiError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

async function api(method, path, body) {
  const headers = { Accept: 'application/json' };
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (me.csrf && method !== 'GET') headers['X-CSRF-Token'] = me.csrf;
  const res = await fetch(path, {
    method, headers, credentials: 'same-origin',
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  let data = null;
  try { data = await res.json(); } catch (e) { data = null; }
  if (!res.ok) {
    if (res.status === 401 && path !== '/api/session') showSignIn('Votre session a pris fin : reconnectez-vous.');
    throw new ApiError(res.status, (data && data.error) || res.statusText);
  }
  return data;
}

function errorText(e) {
  if (e.status === 403) return 'Refusé : ' + e.message;
  if (e.status === 503) return 'Le serveur ne peut pas écrire pour le moment : ' + e.message;
  return 'Erreur : ' + e.message;
}

function confirmBox(text) {
  const dlg = document.getElementById('confirm');
  document.getElementById('confirm-text').textContent = text;
  return new Promise((resolve) => {
    dlg.addEventListener('close', () => resolve(dlg.returnValue === 'yes'), { once: true });
    dlg.returnValue = '';
    dlg.showModal();
  });
}

function pager(total, offset, limit, go) {
  const last = Math.max(0, Math.ceil(total / limit) - 1);
  const page = Math.floor(offset / limit);
  return h('div', { class: 'pager' },
    h('button', { type: 'button', disabled: page === 0, onclick: () => go(0) }, '« Début'),
    h('button', { type: 'button', disabled: page === 0, onclick: () => go((page - 1) * limit) }, '‹ Préc.'),
    h('span', { class: 'pages' }, `Page ${page + 1} sur ${last + 1} · ${total.toLocaleString('fr-FR')} au total`),
    h('button', { type: 'button', disabled: page >= last, onclick: () => go((page + 1) * limit) }, 'Suiv. ›'),
    h('button', { type: 'button', disabled: page >= last, onclick: () => go(last * limit) }, 'Fin »'));
}

function query(params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== '' && v !== undefined && v !== null) q.set(k, v);
  return q.toString();
}

// ---- live events -----------------------------------------------------------

const listeners = new Set();
let events = null;
function startEvents() {
  if (events) return;
  events = new EventSource('/api/events');
  for (const kind of ['receipt', 'station', 'alert']) {
    events.addEventListener(kind, (ev) => {
      let data;
      try { data = JSON.parse(ev.data); } catch (e) { return; }
      for (const l of listeners) l(kind, data);
    });
  }
  events.onopen = () => document.body.classList.remove('offline');
  events.onerror = () => document.body.classList.add('offline');
}
function stopEvents() { if (events) { events.close(); events = null; } listeners.clear(); }

// ---- sign-in ---------------------------------------------------------------

function showSignIn(message) {
  stopEvents();
  Object.assign(me, { name: '', role: '', scope: '', csrf: '' });
  document.getElementById('bar').hidden = true;
  document.getElementById('view').hidden = true;
  document.getElementById('signin').hidden = false;
  document.getElementById('signin-error').textContent = message || '';
  document.querySelector('#signin-form [name=password]').value = '';
  document.querySelector('#signin-form [name=name]').focus();
}

function signedIn(s) {
  Object.assign(me, s);
  document.getElementById('signin').hidden = true;
  document.getElementById('bar').hidden = false;
  document.getElementById('view').hidden = false;
  document.getElementById('who-name').textContent = me.name;
  document.getElementById('who-role').textContent = ROLES[me.role] || me.role;
  for (const a of document.querySelectorAll('nav a[data-scope]')) a.hidden = !can(a.dataset.scope);
  startEvents();
  route();
}

document.getElementById('signin-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const f = ev.target;
  const err = document.getElementById('signin-error');
  err.textContent = '';
  try {
    signedIn(await api('POST', '/api/session', { name: f.name.value.trim(), password: f.password.value }));
  } catch (e) {
    f.password.value = '';
    if (e.status === 401) err.textContent = 'Nom ou mot de passe incorrect.';
    else if (e.status === 429) err.textContent = 'Trop d\'essais manqués : attendez un peu avant de réessayer.';
    else err.textContent = errorText(e);
  }
});

document.getElementById('sign-out').addEventListener('click', async () => {
  try { await api('DELETE', '/api/session'); } catch (e) { /* signed out either way */ }
  location.hash = '';
  showSignIn('Vous êtes déconnecté.');
});

// ---- router ----------------------------------------------------------------

const views = {};
let leave = null;
function route() {
  if (!me.name) return;
  if (leave) { leave(); leave = null; }
  listeners.clear();
  const [, page = 'postes', arg] = location.hash.split('/');
  for (const a of document.querySelectorAll('nav a')) a.classList.toggle('here', a.dataset.page === page);
  const view = document.getElementById('view');
  view.replaceChildren();
  (views[page] || views.postes)(view, arg);
}
window.addEventListener('hashchange', route);

// ---- stations --------------------------------------------------------------

views.postes = (view) => {
  const st = { q: '', sort: 'computer', order: 'asc', offset: 0, limit: 50 };
  const columns = [['computer', 'Ordinateur'], ['user', 'Utilisateur'], ['address', 'Adresse'],
    ['online', 'État'], ['last_seen', 'Vu pour la dernière fois'], [null, 'Alertes reçues'], [null, 'Lues']];
  const search = h('input', { type: 'search', placeholder: 'Rechercher un ordinateur, un utilisateur, une adresse…', class: 'grow', 'aria-label': 'Rechercher' });
  const body = h('tbody');
  const head = h('tr');
  const foot = h('div');
  const table = h('table', { class: 'list', id: 'stations' }, h('thead', {}, head), body);
  view.append(h('h1', {}, 'Postes'), h('div', { class: 'tools' }, search), table, foot);

  function drawHead() {
    head.replaceChildren(...columns.map(([key, label]) => key
      ? h('th', { class: 'sortable' + (st.sort === key ? ' sorted ' + st.order : ''), onclick: () => {
        st.order = st.sort === key && st.order === 'asc' ? 'desc' : 'asc'; st.sort = key; st.offset = 0; load();
      } }, label)
      : h('th', { class: 'num' }, label)));
  }
  function row(s) {
    return h('tr', { 'data-station': s.computer + '\\' + s.user },
      h('td', {}, s.computer), h('td', {}, s.user), h('td', {}, s.address),
      h('td', {}, s.online ? h('span', { class: 'pill ok' }, 'En ligne')
        : h('span', { class: 'pill off' }, 'Hors ligne depuis ' + when(s.last_seen))),
      h('td', {}, when(s.last_seen)), h('td', { class: 'num' }, s.alerts_sent), h('td', { class: 'num' }, s.acknowledged));
  }
  let seq = 0;
  async function load() {
    drawHead();
    const mine = ++seq;
    try {
      const r = await api('GET', '/api/stations?' + query({ q: st.q, sort: st.sort, order: st.order, limit: st.limit, offset: st.offset }));
      if (mine !== seq) return;
      body.replaceChildren(...(r.stations.length ? r.stations.map(row)
        : [h('tr', {}, h('td', { colspan: 7, class: 'muted' }, 'Aucun poste.'))]));
      foot.replaceChildren(pager(r.total, st.offset, st.limit, (o) => { st.offset = o; load(); }));
      view.dataset.ready = '1';
    } catch (e) { foot.replaceChildren(h('p', { class: 'error' }, errorText(e))); }
  }
  search.addEventListener('input', debounce(() => { st.q = search.value.trim(); st.offset = 0; load(); }, 200));
  listeners.add((kind, s) => {
    if (kind !== 'station') return;
    const tr = body.querySelector(`tr[data-station="${CSS.escape(s.computer + '\\' + s.user)}"]`);
    if (tr) tr.replaceWith(row(s));
  });
  load();
};

// ---- compose ---------------------------------------------------------------

function splitNames(text) {
  return text.split(/[\s,;]+/).map((s) => s.trim()).filter(Boolean);
}

function alertWindow(a) {
  // The workstation's alert panel, at its own pixel places.
  const memo = h('div', { class: 'aw-memo' }, ...a.lines.map((l) => h('div', {}, l || '\u00a0')));
  return h('div', { class: 'aw-screen', 'aria-label': 'Aperçu de la fenêtre d\'alerte' },
    h('div', { class: 'aw-panel' },
      h('div', { class: 'aw-shape' }),
      h('div', { class: 'aw-title' }, 'Alerte'),
      h('div', { class: 'aw-header' },
        h('span', { class: 'aw-l9' }, 'Envoyé par'), h('span', { class: 'aw-author' }, a.author),
        h('span', { class: 'aw-l12' }, 'le'), h('span', { class: 'aw-date' }, a.date),
        h('span', { class: 'aw-l14' }, 'Objet'), h('span', { class: 'aw-subject' }, a.subject),
        h('img', { class: 'aw-icon', src: '/console/warning.svg', alt: '' })),
      memo,
      h('label', { class: 'aw-check' }, h('input', { type: 'checkbox', disabled: true }), 'J\'ai pris connaissance de ce message'),
      h('button', { type: 'button', class: 'aw-close', disabled: true }, 'Fermer')));
}

views.nouvelle = (view) => {
  const f = h('form', { id: 'compose', class: 'compose', novalidate: true });
  const field = (label, input, hint) => h('label', {}, label, input, hint ? h('small', { class: 'muted' }, hint) : null);
  const author = h('input', { name: 'author', value: me.name, maxlength: 200, required: true });
  const subject = h('input', { name: 'subject', maxlength: 500, required: true });
  const date = h('input', { name: 'date', placeholder: 'ex. 09/12 10:42 (texte libre, montré tel quel)' });
  const lines = h('textarea', { name: 'lines', rows: 6, required: true });
  const everyone = h('input', { type: 'radio', name: 'target', value: 'everyone' });
  const chosen = h('input', { type: 'radio', name: 'target', value: 'chosen', checked: true });
  const computers = h('input', { name: 'computers', placeholder: 'PC1, PC2…' });
  const users = h('input', { name: 'users', placeholder: 'anne, paul…' });
  const groups = h('div', { class: 'groups' });
  const expiry = h('select', { name: 'expiry' },
    ...[[3600, '1 heure'], [4 * 3600, '4 heures'], [86400, '24 heures'], [3 * 86400, '3 jours'], [7 * 86400, '7 jours']]
      .map(([v, t]) => h('option', { value: v, selected: v === 86400 }, t)));
  const replace = h('input', { type: 'checkbox', name: 'replace' });
  const reach = h('p', { class: 'muted', id: 'reach' });
  const warnings = h('ul', { class: 'warnings', id: 'warnings' });
  const bytes = h('p', { id: 'bytes', class: 'muted' });
  const status = h('p', { role: 'status', id: 'compose-status' });
  const send = h('button', { type: 'submit', class: 'primary', disabled: !can('send') }, 'Envoyer l\'alerte');
  const preview = h('div', { class: 'preview' });

  f.append(
    field('Auteur', author), field('Objet', subject), field('Date (texte)', date),
    field('Message', lines, 'Une ligne du message par ligne.'),
    h('fieldset', {}, h('legend', {}, 'Destinataires'),
      h('label', { class: 'inline' }, everyone, ' Tout le monde'),
      h('label', { class: 'inline' }, chosen, ' Les ordinateurs, utilisateurs ou groupes choisis :'),
      field('Ordinateurs', computers), field('Utilisateurs', users), h('div', {}, 'Groupes', groups), reach),
    field('Expire après', expiry),
    h('label', { class: 'inline' }, replace, ' Remplacer par « ? » les caractères que Windows-1252 n\'a pas (sinon le serveur refuse)'),
    bytes, warnings,
    h('div', { class: 'actions' }, send,
      can('send') ? null : h('span', { class: 'error' }, 'Votre rôle (lecteur) ne permet pas d\'envoyer d\'alerte.')), status);
  view.append(h('h1', {}, 'Nouvelle alerte'), h('div', { class: 'split' }, f, h('div', {}, h('h2', {}, 'Aperçu sur le poste'), preview)));

  api('GET', '/api/groups').then((r) => {
    groups.replaceChildren(...(r.groups.length ? r.groups.map((g) =>
      h('label', { class: 'inline' }, h('input', { type: 'checkbox', name: 'group', value: g.name, onchange: refresh }), ' ' + g.name))
      : [h('span', { class: 'muted' }, ' aucun groupe défini')]));
  }).catch(() => {});

  function values() {
    return {
      author: author.value.trim(), subject: subject.value.trim(), date: date.value.trim(),
      lines: lines.value.replace(/\r/g, '').split('\n').filter((l, i, all) => i < all.length - 1 || l !== ''),
    };
  }
  function target() {
    if (everyone.checked) return { everyone: true };
    return {
      computers: splitNames(computers.value), users: splitNames(users.value),
      groups: [...f.querySelectorAll('input[name=group]:checked')].map((c) => c.value),
    };
  }
  const countReach = debounce(async () => {
    const t = target();
    if (!t.everyone && !t.computers.length && !t.users.length && !t.groups.length) { reach.textContent = 'Aucun destinataire choisi.'; return; }
    try {
      const r = await api('POST', '/api/reach', t);
      reach.textContent = `Postes atteints maintenant : ${r.stations}`;
    } catch (e) { reach.textContent = ''; }
  }, 300);
  function refresh() {
    const a = values();
    preview.replaceChildren(alertWindow(a));
    const n = Cp1252.alertBytes(a);
    bytes.textContent = `Taille du texte : ${n.toLocaleString('fr-FR')} octets sur ${Cp1252.LIMIT.toLocaleString('fr-FR')}`;
    bytes.className = n > Cp1252.LIMIT ? 'error' : 'muted';
    const missing = Cp1252.missing([a.author, a.subject, a.date, ...a.lines].join('\n'));
    warnings.replaceChildren(...missing.map((ch) =>
      h('li', {}, `« ${ch} » (${Cp1252.codePoint(ch)}) n'existe pas en Windows-1252 : `,
        replace.checked ? 'il sera remplacé par « ? ».' : 'le serveur refusera l\'alerte.')));
    countReach();
  }
  f.addEventListener('input', refresh);
  f.addEventListener('change', refresh);
  refresh();

  f.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    status.textContent = '';
    const a = values();
    const t = target();
    if (!a.author || !a.subject || !a.lines.length) { status.textContent = 'Auteur, objet et au moins une ligne de message sont nécessaires.'; status.className = 'error'; return; }
    if (!t.everyone && !t.computers.length && !t.users.length && !t.groups.length) { status.textContent = 'Choisissez au moins un destinataire.'; status.className = 'error'; return; }
    try {
      if (t.everyone) {
        const r = await api('POST', '/api/reach', t);
        if (!await confirmBox(`Envoyer cette alerte à tout le monde : ${r.stations} poste(s) connu(s) ?`)) return;
      }
      send.disabled = true;
      const body = { ...a, ...t, expires_in: Number(expiry.value), unsupported: replace.checked ? 'replace' : 'refuse' };
      if (!body.date) delete body.date;
      const created = await api('POST', '/api/alerts', body);
      location.hash = '#/alerte/' + created.id;
    } catch (e) {
      status.textContent = errorText(e); status.className = 'error';
    } finally { send.disabled = !can('send'); }
  });
};

// ---- one alert, live -------------------------------------------------------

function counts(c) {
  const order = ['queued', 'sent', 'acknowledged', 'replaced', 'not reached', 'expired', 'cancelled'];
  return h('div', { class: 'counts', id: 'counts' }, ...order.map((k) =>
    h('div', { class: 'count c-' + k.replace(' ', '-'), 'data-state': k }, h('b', {}, c ? c[k] || 0 : 0), h('span', {}, RECEIPT_STATES[k]))));
}

function targetText(t) {
  if (!t) return '';
  if (t.everyone) return 'Tout le monde';
  const parts = [];
  if (t.computers && t.computers.length) parts.push('ordinateurs : ' + t.computers.join(', '));
  if (t.users && t.users.length) parts.push('utilisateurs : ' + t.users.join(', '));
  if (t.groups && t.groups.length) parts.push('groupes : ' + t.groups.join(', '));
  return parts.join(' ; ');
}

views.alerte = (view, id) => {
  const head = h('div');
  const countsBox = h('div');
  const body = h('tbody');
  const rows = new Map();
  const actions = h('div', { class: 'actions' });
  view.append(head, countsBox, actions,
    h('table', { class: 'list', id: 'receipts' }, h('thead', {}, h('tr', {},
      ...['Ordinateur', 'Utilisateur', 'État', 'Premier envoi', 'Dernier envoi', 'Envois', 'Lue le'].map((t) => h('th', {}, t)))), body));

  function row(r) {
    return h('tr', { 'data-state': r.state },
      h('td', {}, r.computer), h('td', {}, r.user),
      h('td', {}, h('span', { class: 'pill s-' + r.state.replace(' ', '-') }, RECEIPT_STATES[r.state] || r.state)),
      h('td', {}, when(r.first_sent_at)), h('td', {}, when(r.last_sent_at)), h('td', { class: 'num' }, r.sent_count),
      h('td', {}, when(r.acknowledged_at)));
  }
  function upsert(r) {
    const key = r.computer + '\\' + r.user;
    const tr = row(r);
    tr.dataset.key = key;
    if (rows.has(key)) rows.get(key).replaceWith(tr); else body.append(tr);
    rows.set(key, tr);
  }
  function drawAlert(a) {
    head.replaceChildren(
      h('h1', {}, `Alerte n° ${a.id} : ${a.subject}`),
      h('dl', { class: 'facts' },
        h('dt', {}, 'État'), h('dd', { id: 'alert-state' }, ALERT_STATES[a.state] || a.state),
        h('dt', {}, 'Auteur'), h('dd', {}, a.author + (a.created_by && a.created_by !== a.author ? ` (envoyée par ${a.created_by})` : '')),
        h('dt', {}, 'Destinataires'), h('dd', {}, targetText(a.target)),
        h('dt', {}, 'Créée'), h('dd', {}, when(a.created_at)),
        h('dt', {}, 'Expire'), h('dd', {}, when(a.expires_at)),
        a.cancelled_at ? [h('dt', {}, 'Annulée'), h('dd', {}, when(a.cancelled_at))] : null,
        h('dt', {}, 'Message'), h('dd', {}, h('div', { class: 'lines' }, ...a.lines.map((l) => h('div', {}, l))))));
    countsBox.replaceChildren(counts(a.counts));
    actions.replaceChildren(
      h('a', { class: 'button', href: `/api/alerts/${a.id}/receipts.csv`, download: `alerte-${a.id}.csv`, id: 'export' }, 'Exporter en CSV'),
      can('send') && (a.state === 'active' || a.state === 'scheduled')
        ? h('button', { type: 'button', id: 'cancel', onclick: cancel }, 'Annuler l\'alerte') : null,
      h('span', { class: 'muted' }, ' Une alerte annulée n\'est plus envoyée ; elle ne peut pas être retirée d\'un écran où elle est déjà affichée.'));
  }
  async function load() {
    try {
      const a = await api('GET', '/api/alerts/' + encodeURIComponent(id));
      drawAlert(a);
      for (const r of a.receipts || []) upsert(r);
      view.dataset.ready = '1';
    } catch (e) {
      head.replaceChildren(h('h1', {}, 'Alerte n° ' + id), h('p', { class: 'error' }, e.status === 404 ? 'Cette alerte n\'existe pas.' : errorText(e)));
    }
  }
  const reloadCounts = debounce(async () => {
    try { drawAlert(await api('GET', '/api/alerts/' + encodeURIComponent(id))); } catch (e) { /* next event retries */ }
  }, 250);
  async function cancel() {
    if (!await confirmBox('Annuler cette alerte ? Elle ne sera plus envoyée à aucun poste.')) return;
    try { drawAlert(await api('POST', `/api/alerts/${encodeURIComponent(id)}/cancel`, {})); } catch (e) {
      actions.append(h('p', { class: 'error' }, errorText(e)));
    }
  }
  listeners.add((kind, d) => {
    if (kind === 'receipt' && String(d.alert) === String(id)) { upsert(d); reloadCounts(); }
    if (kind === 'alert' && String(d.id) === String(id)) drawAlert(d);
  });
  load();
};

// ---- history ---------------------------------------------------------------

views.historique = (view) => {
  const st = { offset: 0, limit: 25 };
  const f = h('form', { class: 'tools', id: 'history-filter' },
    h('input', { type: 'search', name: 'q', placeholder: 'Texte', 'aria-label': 'Texte' }),
    h('input', { name: 'author', placeholder: 'Auteur', 'aria-label': 'Auteur' }),
    h('label', { class: 'inline' }, 'du ', h('input', { type: 'date', name: 'from' })),
    h('label', { class: 'inline' }, 'au ', h('input', { type: 'date', name: 'to' })),
    h('input', { name: 'target', placeholder: 'Destinataire', 'aria-label': 'Destinataire' }),
    h('button', { type: 'submit' }, 'Chercher'));
  const body = h('tbody');
  const foot = h('div');
  view.append(h('h1', {}, 'Historique des alertes'), f,
    h('table', { class: 'list', id: 'history' }, h('thead', {}, h('tr', {},
      ...['N°', 'Créée', 'Auteur', 'Objet', 'Destinataires', 'État', 'Lues', 'Envoyées', 'Remplacées', 'Non atteints', 'Expirées'].map((t) => h('th', {}, t)))), body), foot);
  async function load() {
    const fd = new FormData(f);
    const day = (v, end) => (v ? v + (end ? 'T23:59:59Z' : 'T00:00:00Z') : '');
    try {
      const r = await api('GET', '/api/alerts?' + query({
        q: fd.get('q'), author: fd.get('author'), from: day(fd.get('from')), to: day(fd.get('to'), true),
        target: fd.get('target'), limit: st.limit, offset: st.offset,
      }));
      body.replaceChildren(...(r.alerts.length ? r.alerts.map((a) => h('tr', { class: 'link', onclick: () => { location.hash = '#/alerte/' + a.id; } },
        h('td', {}, h('a', { href: '#/alerte/' + a.id }, a.id)), h('td', {}, when(a.created_at)), h('td', {}, a.author), h('td', {}, a.subject),
        h('td', {}, targetText(a.target)), h('td', {}, ALERT_STATES[a.state] || a.state),
        ...['acknowledged', 'sent', 'replaced', 'not reached', 'expired'].map((k) => h('td', { class: 'num' }, a.counts ? a.counts[k] || 0 : 0))))
        : [h('tr', {}, h('td', { colspan: 11, class: 'muted' }, 'Aucune alerte.'))]));
      foot.replaceChildren(pager(r.total, st.offset, st.limit, (o) => { st.offset = o; load(); }));
      view.dataset.ready = '1';
    } catch (e) { foot.replaceChildren(h('p', { class: 'error' }, errorText(e))); }
  }
  f.addEventListener('submit', (ev) => { ev.preventDefault(); st.offset = 0; load(); });
  listeners.add((kind) => { if (kind === 'alert') debounce(load, 500)(); });
  load();
};

// ---- audit log (admins) ----------------------------------------------------

views.journal = (view) => {
  const st = { offset: 0, limit: 50 };
  const body = h('tbody');
  const foot = h('div');
  view.append(h('h1', {}, 'Journal d\'audit'),
    h('table', { class: 'list', id: 'audit' }, h('thead', {}, h('tr', {},
      ...['Quand', 'Qui', 'Action', 'Détail', 'Adresse'].map((t) => h('th', {}, t)))), body), foot);
  async function load() {
    try {
      const r = await api('GET', '/api/audit?' + query({ limit: st.limit, offset: st.offset }));
      body.replaceChildren(...r.entries.map((e) => h('tr', {},
        h('td', {}, when(e.time)), h('td', {}, e.who), h('td', {}, e.action), h('td', {}, e.detail), h('td', {}, e.address))));
      foot.replaceChildren(pager(r.total, st.offset, st.limit, (o) => { st.offset = o; load(); }));
      view.dataset.ready = '1';
    } catch (e) { foot.replaceChildren(h('p', { class: 'error' }, errorText(e))); }
  }
  load();
};

// ---- console users (admins) ------------------------------------------------

views.utilisateurs = (view) => {
  const body = h('tbody');
  const msg = h('p', { role: 'status' });
  const roleSelect = (value, attrs) => h('select', attrs || {}, ...Object.entries(ROLES).map(([k, t]) => h('option', { value: k, selected: k === value }, t)));
  const add = h('form', { class: 'tools', id: 'user-add' },
    h('input', { name: 'name', placeholder: 'Nom', required: true, 'aria-label': 'Nom' }),
    roleSelect('viewer', { name: 'role', 'aria-label': 'Rôle' }),
    h('input', { name: 'password', type: 'password', placeholder: 'Mot de passe (8 caractères au moins)', autocomplete: 'new-password', 'aria-label': 'Mot de passe' }),
    h('button', { type: 'submit' }, 'Ajouter'));
  view.append(h('h1', {}, 'Utilisateurs de la console'),
    h('table', { class: 'list', id: 'users' }, h('thead', {}, h('tr', {}, h('th', {}, 'Nom'), h('th', {}, 'Rôle'), h('th', {}, ''))), body),
    h('h2', {}, 'Ajouter un utilisateur'), add, msg);
  const report = (p) => p.then(() => { msg.className = ''; msg.textContent = 'Enregistré.'; load(); })
    .catch((e) => { msg.className = 'error'; msg.textContent = errorText(e); });
  async function load() {
    const r = await api('GET', '/api/users');
    body.replaceChildren(...r.users.map((u) => h('tr', {},
      h('td', {}, u.name),
      h('td', {}, roleSelect(u.role, { 'aria-label': 'Rôle de ' + u.name, onchange: (ev) => report(api('PUT', '/api/users/' + encodeURIComponent(u.name), { role: ev.target.value })) })),
      h('td', {}, u.name === me.name ? '' : h('button', { type: 'button', onclick: async () => {
        if (await confirmBox(`Supprimer l'utilisateur ${u.name} ?`)) report(api('DELETE', '/api/users/' + encodeURIComponent(u.name)));
      } }, 'Supprimer')))));
    view.dataset.ready = '1';
  }
  add.addEventListener('submit', (ev) => {
    ev.preventDefault();
    const fd = new FormData(add);
    report(api('POST', '/api/users', { name: fd.get('name').trim(), role: fd.get('role'), password: fd.get('password') }).then(() => add.reset()));
  });
  load().catch((e) => { msg.className = 'error'; msg.textContent = errorText(e); });
};

// ---- groups and API tokens (admins) -----------------------------------------

views.groupes = (view) => {
  const msg = h('p', { role: 'status' });
  const groupsBody = h('tbody');
  const tokensBody = h('tbody');
  const fail = (e) => { msg.className = 'error'; msg.textContent = errorText(e); };
  const groupForm = h('form', { class: 'tools', id: 'group-set' },
    h('input', { name: 'name', placeholder: 'Nom du groupe', required: true, 'aria-label': 'Nom du groupe' }),
    h('input', { name: 'computers', placeholder: 'Ordinateurs', class: 'grow', 'aria-label': 'Ordinateurs' }),
    h('input', { name: 'users', placeholder: 'Utilisateurs', class: 'grow', 'aria-label': 'Utilisateurs' }),
    h('button', { type: 'submit' }, 'Enregistrer le groupe'));
  const tokenForm = h('form', { class: 'tools', id: 'token-add' },
    h('input', { name: 'name', placeholder: 'Nom du jeton (pour le journal)', 'aria-label': 'Nom du jeton' }),
    h('select', { name: 'scope', 'aria-label': 'Portée' }, h('option', { value: 'read' }, 'lecture'),
      h('option', { value: 'send' }, 'envoi'), h('option', { value: 'admin' }, 'administration')),
    h('button', { type: 'submit' }, 'Créer un jeton'));
  const newToken = h('p', { id: 'new-token' });
  view.append(h('h1', {}, 'Groupes'),
    h('table', { class: 'list', id: 'groups' }, h('thead', {}, h('tr', {}, h('th', {}, 'Groupe'), h('th', {}, 'Ordinateurs'), h('th', {}, 'Utilisateurs'), h('th', {}, ''))), groupsBody),
    h('h2', {}, 'Créer ou remplacer un groupe'), groupForm,
    h('h1', {}, 'Jetons d\'API'),
    h('table', { class: 'list', id: 'tokens' }, h('thead', {}, h('tr', {}, h('th', {}, 'N°'), h('th', {}, 'Nom'), h('th', {}, 'Portée'), h('th', {}, 'Créé'), h('th', {}, ''))), tokensBody),
    tokenForm, newToken, msg);
  async function load() {
    const [g, t] = await Promise.all([api('GET', '/api/groups'), api('GET', '/api/tokens')]);
    groupsBody.replaceChildren(...g.groups.map((x) => h('tr', {}, h('td', {}, x.name), h('td', {}, x.computers.join(', ')), h('td', {}, x.users.join(', ')),
      h('td', {}, h('button', { type: 'button', onclick: async () => {
        if (await confirmBox(`Supprimer le groupe ${x.name} ?`)) api('DELETE', '/api/groups/' + encodeURIComponent(x.name)).then(load).catch(fail);
      } }, 'Supprimer')))));
    tokensBody.replaceChildren(...t.tokens.map((x) => h('tr', {}, h('td', {}, x.id), h('td', {}, x.name), h('td', {}, x.scope), h('td', {}, when(x.created_at)),
      h('td', {}, h('button', { type: 'button', onclick: async () => {
        if (await confirmBox(`Révoquer le jeton n° ${x.id} ? Les scripts qui l'utilisent seront refusés.`)) api('DELETE', '/api/tokens/' + x.id).then(load).catch(fail);
      } }, 'Révoquer')))));
    view.dataset.ready = '1';
  }
  groupForm.addEventListener('submit', (ev) => {
    ev.preventDefault();
    const fd = new FormData(groupForm);
    api('PUT', '/api/groups/' + encodeURIComponent(fd.get('name').trim()),
      { computers: splitNames(fd.get('computers')), users: splitNames(fd.get('users')) })
      .then(() => { groupForm.reset(); msg.textContent = ''; return load(); }).catch(fail);
  });
  tokenForm.addEventListener('submit', (ev) => {
    ev.preventDefault();
    const fd = new FormData(tokenForm);
    api('POST', '/api/tokens', { name: fd.get('name').trim(), scope: fd.get('scope') }).then((t) => {
      newToken.replaceChildren('Nouveau jeton (il ne sera plus montré) : ', h('code', {}, t.token));
      tokenForm.reset();
      return load();
    }).catch(fail);
  });
  load().catch(fail);
};

// ---- start -----------------------------------------------------------------

api('GET', '/api/session').then(signedIn).catch(() => showSignIn());
