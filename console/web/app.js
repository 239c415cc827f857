// The administrators' console: one page, views chosen by the address's #.
'use strict';

const me = { name: '', role: '', scope: '', csrf: '' };
const SCOPES = { read: 0, send: 1, admin: 2 };
const can = (scope) => SCOPES[me.scope] >= SCOPES[scope];

// What each receipt state means to whoever waits for it to be read.
const RECEIPT_STATES = {
  queued: 'Poste hors ligne', sent: 'Non lue', acknowledged: 'Lue', replaced: 'Remplacée avant lecture',
  'not reached': 'Poste inconnu', expired: 'Expirée sans lecture', cancelled: 'Annulée',
};
const ALERT_STATES = { active: 'Active', scheduled: 'Programmée', expired: 'Expirée', cancelled: 'Annulée' };
const ROLES = { viewer: 'lecteur', operator: 'opérateur', admin: 'administrateur' };
const TOKEN_SCOPES = { read: 'lecture', send: 'envoi', admin: 'administration' };

// The API speaks English to scripts; the console shows French. Unknown
// messages are shown as they are rather than hidden.
const SERVER_MESSAGES = [
  [/^a valid token is required/, () => 'Un jeton valide est nécessaire.'],
  [/^this token's scope does not allow this request$/, () => 'Votre rôle ne permet pas cette action.'],
  [/^no such alert$|^no alert (\d+)$/, () => 'Cette alerte n\'existe pas.'],
  [/^unknown group: (.*)$/, (m) => `Le groupe « ${m[1]} » n'existe pas.`],
  [/^the body must be a JSON object$/, () => 'Requête mal formée.'],
  [/^lines must be an array/, () => 'Il faut au moins une ligne de message.'],
  [/^no target:/, () => 'Aucun destinataire : choisissez des ordinateurs, des utilisateurs, des groupes ou tout le monde.'],
  [/^starts_at must be/, () => 'L\'heure de début n\'est pas valable.'],
  [/^expires_in must be/, () => 'La durée de validité va d\'une seconde à 366 jours.'],
  [/^characters that Windows-1252 lacks: (.*?) \(/, (m) => `Caractères absents de Windows-1252 : ${m[1]}. Cochez leur remplacement par « ? » pour envoyer quand même.`],
  [/^alert text above 1 MiB/, () => 'Le texte de l\'alerte dépasse 1 Mio, la limite des postes.'],
  [/^no group (.*)$/, (m) => `Le groupe « ${m[1]} » n'existe pas.`],
  [/^no token (.*)$/, (m) => `Le jeton n° ${m[1]} n'existe pas.`],
  [/^(.*) is a directory group/, (m) => `« ${m[1]} » est un groupe de l'annuaire : il se modifie dans l'annuaire, et un groupe du serveur prend un autre nom.`],
  [/^directory sync failed: (.*)$/, (m) => `La synchronisation avec l'annuaire a échoué : ${m[1]}`],
  [/^a group needs a name/, () => 'Un groupe a besoin d\'un nom de 200 octets au plus.'],
  [/^scope must be/, () => 'Portée : lecture, envoi ou administration.'],
  [/^request from another origin refused$/, () => 'Requête venue d\'un autre site : refusée.'],
  [/^too many failed sign-ins/, () => 'Trop d\'essais manqués : attendez un peu avant de réessayer.'],
  [/^wrong name or password$/, () => 'Nom ou mot de passe incorrect.'],
  [/^not a member of any of the console's directory groups$/, () => 'Ce compte de l\'annuaire n\'est dans aucun des groupes qui donnent accès à la console.'],
  [/^your directory groups no longer give access/, () => 'Vos groupes de l\'annuaire ne donnent plus accès à la console.'],
  [/^the directory cannot be reached/, () => 'L\'annuaire est injoignable : seuls les comptes locaux peuvent se connecter pour le moment.'],
  [/^the name's domain is not the directory's$/, () => 'Le domaine de ce nom n\'est pas celui de l\'annuaire.'],
  [/^not signed in$/, () => 'Vous n\'êtes pas connecté.'],
  [/^this needs the admin role$/, () => 'Il faut le rôle administrateur.'],
  [/^user (.*) already exists$/, (m) => `L'utilisateur ${m[1]} existe déjà.`],
  [/^no user (.*)$/, (m) => `L'utilisateur ${m[1]} n'existe pas.`],
  [/^bad user name/, () => 'Nom non valable : 1 à 64 lettres, chiffres, . _ @ -.'],
  [/^the database refused the change$/, () => 'La base de données a refusé la modification.'],
  [/^you cannot remove yourself$/, () => 'Vous ne pouvez pas supprimer votre propre compte.'],
  [/^role must be/, () => 'Rôle : administrateur, opérateur ou lecteur.'],
  [/^hashing the password failed$/, () => 'L\'enregistrement du mot de passe a échoué.'],
  [/^nothing to change/, () => 'Rien à changer : donnez un rôle ou un mot de passe.'],
  [/^(the )?last admin/, () => 'C\'est le dernier administrateur : nommez-en un autre d\'abord.'],
  [/^database unavailable/, () => 'La base de données est indisponible.'],
  [/^everyone has read alert/, () => 'Tout le monde a lu cette alerte : rien à renvoyer.'],
  [/^exercise must be/, () => 'La marque « exercice » doit être oui ou non.'],
  [/^placeholder (.*) needs a value$/, (m) => `Remplissez « ${m[1]} ».`],
  [/^a template named (.*) already exists$/, (m) => `Un modèle s'appelle déjà « ${m[1]} ».`],
  [/^a template needs a name/, () => 'Un modèle a besoin d\'un nom de 200 octets au plus.'],
  [/^no template (.*)$/, () => 'Ce modèle n\'existe plus.'],
  [/^no draft (.*)$/, () => 'Ce brouillon n\'existe plus.'],
  [/^no schedule (.*)$/, () => 'Cette programmation n\'existe pas.'],
  [/^schedule (.*) has already ended$/, () => 'Cette programmation est déjà terminée.'],
  [/^every must be/, () => 'Répétition : chaque jour ou chaque semaine.'],
  [/^first_at must be/, () => 'La première alerte doit être à venir.'],
  [/^until must be/, () => 'La fin doit suivre la première alerte, dans l\'année.'],
  [/^reminder must be/, () => 'Relance : de 1 à 1 440 minutes, de 1 à 10 fois.'],
  [/^alert\.(author|subject) is required$/, () => 'Auteur, objet et au moins une ligne de message sont nécessaires.'],
  [/^alert must be a JSON object/, () => 'Requête mal formée.'],
];
// Lower case without accents: "evacuation" finds "Évacuation".
function searchKey(text) { return text.normalize('NFD').replace(/[\u0300-\u036f]/g, '').toLowerCase(); }

function frenchMessage(text) {
  for (const [re, say] of SERVER_MESSAGES) { const m = re.exec(text || ''); if (m) return say(m); }
  return text;
}

const AUDIT_ACTIONS = {
  'sign-in': 'Connexion', 'sign-in failed': 'Connexion échouée', 'sign-in refused': 'Connexion refusée',
  'sign-out': 'Déconnexion', 'request refused': 'Requête refusée', 'create alert': 'Alerte envoyée',
  'cancel alert': 'Alerte annulée', 'export receipts': 'Suivi exporté', 'set group': 'Groupe enregistré',
  'delete group': 'Groupe supprimé', 'create token': 'Jeton créé', 'revoke token': 'Jeton révoqué',
  'user added': 'Utilisateur ajouté', 'user removed': 'Utilisateur supprimé', 'user role changed': 'Rôle changé',
  'user password changed': 'Mot de passe changé', 'user role and password changed': 'Rôle et mot de passe changés',
  'resend unread': 'Renvoyée aux non-lecteurs', 'directory sync': 'Annuaire synchronisé',
  'save template': 'Modèle enregistré', 'delete template': 'Modèle supprimé', 'save draft': 'Brouillon enregistré',
  'delete draft': 'Brouillon supprimé', 'schedule alert': 'Alerte programmée', 'cancel schedule': 'Programmation annulée',
  'schedule failed': 'Programmation en échec', 'set reminder': 'Relance prévue', reminder: 'Relance des non-lecteurs',
};
const EVERY = { daily: 'chaque jour', weekly: 'chaque semaine' };
const AUDIT_DETAILS = [
  [/^wrong password$/, () => 'mot de passe incorrect'],
  [/^unknown user$/, () => 'utilisateur inconnu'],
  [/^alert (\d+): to the (\d+) stations that had not read alert (\d+)$/, (m) => `alerte n° ${m[1]} : aux ${m[2]} poste(s) qui n'avaient pas lu l'alerte n° ${m[3]}`],
  [/^alert (\d+): (\d+) of (\d+), to the (\d+) stations that had not read alert (\d+)$/, (m) => `alerte n° ${m[1]} : relance ${m[2]} sur ${m[3]}, aux ${m[4]} poste(s) qui n'avaient pas lu l'alerte n° ${m[5]}`],
  [/^alert (\d+): every (\d+) min, at most (\d+) times$/, (m) => `alerte n° ${m[1]} : toutes les ${m[2]} min, ${m[3]} fois au plus`],
  [/^alert (\d+): (.*) \(template (.*)\)$/s, (m) => `alerte n° ${m[1]} : ${m[2]} (modèle « ${m[3]} »)`],
  [/^alert (\d+): (.*) \(schedule (\d+)\)$/s, (m) => `alerte n° ${m[1]} : ${m[2]} (programmation n° ${m[3]})`],
  [/^(template|draft|schedule) (\d+): (daily|weekly) from (\S+) until (\S+): (.*)$/s, (m) => `programmation n° ${m[2]} : ${EVERY[m[3]]} du ${when(m[4])} au ${when(m[5])} : ${m[6]}`],
  [/^template (\d+): (.*)$/s, (m) => `modèle n° ${m[1]} : ${m[2]}`],
  [/^draft (\d+): (.*)$/s, (m) => `brouillon n° ${m[1]} : ${m[2]}`],
  [/^draft (\d+)$/, (m) => `brouillon n° ${m[1]}`],
  [/^schedule (\d+): (.*)$/s, (m) => `programmation n° ${m[1]} : ${m[2]}`],
  [/^schedule (\d+)$/, (m) => `programmation n° ${m[1]}`],
  [/^alert (\d+): (.*)$/s, (m) => `alerte n° ${m[1]} : ${m[2]}`],
  [/^alert (\d+)$/, (m) => `alerte n° ${m[1]}`],
  [/^token (\d+) \((\w+)\)$/, (m) => `jeton n° ${m[1]} (${TOKEN_SCOPES[m[2]] || m[2]})`],
  [/^token (\d+)$/, (m) => `jeton n° ${m[1]}`],
  [/^(.*): (\d+) computers, (\d+) users$/, (m) => `${m[1]} : ${m[2]} ordinateur(s), ${m[3]} utilisateur(s)`],
  [/^request from another origin: (.*)$/, (m) => `requête venue d'un autre site : ${m[1]}`],
  [/^(admin|operator|viewer)$/, (m) => ROLES[m[1]]],
  [/^(\S+) (admin|operator|viewer)$/, (m) => `${m[1]} ${ROLES[m[2]]}`],
];
function auditDetail(text) {
  for (const [re, say] of AUDIT_DETAILS) { const m = re.exec(text || ''); if (m) return say(m); }
  return text;
}
const AUDIT_PEOPLE = { 'local administrator': 'administrateur local', 'command line': 'ligne de commande', reminder: 'relance automatique' };
const auditAddress = (a) => AUDIT_PEOPLE[a] || a.replace(/^schedule (\d+)$/, 'programmation n° $1');

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
    if (res.status === 401 && path !== '/api/session') {
      const why = (data && data.error) || '', said = frenchMessage(why);
      showSignIn(said !== why ? said : 'Votre session a pris fin : reconnectez-vous.');
    }
    throw new ApiError(res.status, (data && data.error) || res.statusText);
  }
  return data;
}

function errorText(e) {
  const text = frenchMessage(e.message);
  if (e.status === 403) return 'Refusé : ' + text;
  if (e.status === 503) return 'Le serveur ne peut pas écrire pour le moment : ' + text;
  return 'Erreur : ' + text;
}

// Cancel is the focused button: Enter on a dialog that appears unexpectedly
// must not be what sends.
function confirmBox(text, yes = 'Confirmer') {
  const dlg = document.getElementById('confirm');
  const body = document.getElementById('confirm-text');
  body.replaceChildren(...[].concat(text).map((t) => (t instanceof Node ? t : h('p', {}, t))));
  document.getElementById('confirm-yes').textContent = yes;
  return new Promise((resolve) => {
    dlg.addEventListener('close', () => resolve(dlg.returnValue === 'yes'), { once: true });
    dlg.returnValue = '';
    dlg.showModal();
    document.getElementById('confirm-no').focus();
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
    else if (e.status === 403 || e.status === 503) err.textContent = frenchMessage(e.message);
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
  for (const a of document.querySelectorAll('nav a')) {
    a.classList.toggle('here', a.dataset.page === page);
    if (a.dataset.page === page) a.setAttribute('aria-current', 'page'); else a.removeAttribute('aria-current');
  }
  showMenu(false);
  const view = document.getElementById('view');
  view.replaceChildren();
  (views[page] || views.postes)(view, arg);
  focusHeading();
}
window.addEventListener('hashchange', route);

// After a change of page, a screen reader and the keyboard start at its title.
function focusHeading() {
  const title = document.querySelector('#view h1');
  if (!title) { document.getElementById('view').focus(); return; }
  title.tabIndex = -1;
  title.focus({ preventScroll: false });
}

function showMenu(open) {
  document.getElementById('menu').setAttribute('aria-expanded', String(open));
  document.getElementById('bar').classList.toggle('open', open);
}
document.getElementById('menu').addEventListener('click', () =>
  showMenu(document.getElementById('menu').getAttribute('aria-expanded') !== 'true'));
// The view is reached by the address's #, so the skip link moves the focus itself.
document.getElementById('skip').addEventListener('click', (ev) => { ev.preventDefault(); focusHeading(); });

// On a phone each table row becomes a card: every cell carries its column's name.
new MutationObserver(() => {
  for (const table of document.querySelectorAll('#view table.list')) {
    const names = [...table.querySelectorAll('thead th')].map((th) => th.dataset.label || th.textContent.replace(/[▲▼]/g, '').trim());
    for (const tr of table.querySelectorAll('tbody tr')) {
      [...tr.children].forEach((td, i) => { if (names[i] && td.dataset.label !== names[i]) td.dataset.label = names[i]; });
    }
  }
}).observe(document.getElementById('view'), { childList: true, subtree: true });

// A column header that sorts: a button inside it, so the keyboard reaches it,
// and aria-sort on the header, so a screen reader says how the list is sorted.
function sortHeader(label, state, key, onSort, attrs) {
  const sorted = state.sort === key;
  return h('th', { ...(attrs || {}), class: 'sortable' + (sorted ? ' sorted ' + state.order : '') + (attrs && attrs.class ? ' ' + attrs.class : ''),
    'aria-sort': sorted ? (state.order === 'asc' ? 'ascending' : 'descending') : 'none', 'data-label': label },
  h('button', { type: 'button', class: 'sort', onclick: () => {
    state.order = sorted && state.order === 'asc' ? 'desc' : 'asc'; state.sort = key; onSort();
  } }, label));
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
    const focused = document.activeElement && document.activeElement.closest('#stations th');
    const at = focused ? [...head.children].indexOf(focused) : -1;
    head.replaceChildren(...columns.map(([key, label]) => key
      ? sortHeader(label, st, key, () => { st.offset = 0; load(); })
      : h('th', { class: 'num' }, label)));
    // Sorting by keyboard keeps the focus on the header just used.
    if (at >= 0) head.children[at].querySelector('button').focus();
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

// The preview keeps the station's pixel sizes; on a narrow screen it is
// drawn smaller rather than running off the side.
function fitPreview(box) {
  const fit = () => {
    const screen = box.firstElementChild;
    if (!screen) return;
    const scale = Math.min(1, box.clientWidth / 600);
    screen.style.transform = scale < 1 ? `scale(${scale})` : '';
    box.style.height = scale < 1 ? `${Math.ceil(screen.offsetHeight * scale)}px` : '';
  };
  new ResizeObserver(fit).observe(box);
  return fit;
}

views.nouvelle = (view, arg) => {
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
  const groups = h('div', { class: 'groups', id: 'group-picks' });
  const groupFilter = h('input', { type: 'search', id: 'group-filter', placeholder: 'Chercher un groupe…', oninput: () => drawGroups() });
  const groupMore = h('small', { class: 'muted', id: 'group-more', 'aria-live': 'polite' });
  const picks = h('fieldset', { class: 'picks' }, h('legend', { class: 'sr-only' }, 'Ordinateurs, utilisateurs ou groupes choisis'),
    field('Ordinateurs', computers), field('Utilisateurs', users),
    h('div', {}, h('label', {}, 'Groupes', groupFilter), groups, groupMore));
  // A directory may hold thousands of groups: the chosen ones and the first
  // matches of the search are drawn, never the whole list.
  const GROUPS_SHOWN = 40;
  let allGroups = [];
  const picked = new Set();
  const expiry = h('select', { name: 'expiry' },
    ...[[3600, '1 heure'], [4 * 3600, '4 heures'], [86400, '24 heures'], [3 * 86400, '3 jours'], [7 * 86400, '7 jours']]
      .map(([v, t]) => h('option', { value: v, selected: v === 86400 }, t)));
  const replace = h('input', { type: 'checkbox', name: 'replace' });
  const exercise = h('input', { type: 'checkbox', name: 'exercise' });
  const starts = h('input', { type: 'datetime-local', name: 'starts' });
  const every = h('select', { name: 'every' }, h('option', { value: '' }, 'Une seule fois'),
    h('option', { value: 'daily' }, 'Chaque jour, à la même heure'), h('option', { value: 'weekly' }, 'Chaque semaine, même jour et même heure'));
  const until = h('input', { type: 'date', name: 'until' });
  const untilField = field('Dernier jour (inclus)', until);
  const remind = h('input', { type: 'checkbox', name: 'remind' });
  const remindAfter = h('input', { type: 'number', name: 'remind_after', min: 1, max: 1440, value: 15 });
  const remindTimes = h('input', { type: 'number', name: 'remind_times', min: 1, max: 10, value: 2 });
  const savedName = h('input', { name: 'saved_name', maxlength: 200, placeholder: 'par défaut : l\'objet' });
  const saveDraft = h('button', { type: 'button', id: 'save-draft', disabled: !can('send') }, 'Enregistrer le brouillon');
  const saveTemplate = can('admin') ? h('button', { type: 'button', id: 'save-template' }, 'Enregistrer comme modèle') : null;
  const drafts = h('section', { id: 'drafts', 'aria-label': 'Mes brouillons' });
  const [kind, savedId] = (arg || '').split('-');
  let draftId = kind === 'brouillon' ? Number(savedId) : 0;
  const templateId = kind === 'modele' ? Number(savedId) : 0;
  const reach = h('p', { class: 'muted', id: 'reach', 'aria-live': 'polite' });
  const unknown = h('ul', { class: 'warnings', id: 'unknown', 'aria-live': 'polite' });
  const warnings = h('ul', { class: 'warnings', id: 'warnings' });
  const bytes = h('p', { id: 'bytes', class: 'muted' });
  const status = h('p', { role: 'status', id: 'compose-status' });
  const send = h('button', { type: 'submit', class: 'primary', disabled: !can('send') }, 'Envoyer l\'alerte');
  const preview = h('div', { class: 'preview' });
  const fit = fitPreview(preview);
  let audience = null; // the last answer of /api/reach, for the target now chosen

  f.append(
    field('Auteur', author), field('Objet', subject), field('Date (texte)', date),
    field('Message', lines, 'Une ligne du message par ligne.'),
    h('fieldset', {}, h('legend', {}, 'Destinataires'),
      h('label', { class: 'inline' }, everyone, ' Tout le monde'),
      h('label', { class: 'inline' }, chosen, ' Les ordinateurs, utilisateurs ou groupes choisis'),
      picks, reach, unknown),
    h('fieldset', {}, h('legend', {}, 'Quand'),
      field('Début (facultatif, heure locale)', starts, 'Vide : tout de suite. Une alerte programmée figure dans « Programmées », où elle peut être annulée.'),
      field('Répéter', every), untilField),
    field('Expire après', expiry),
    h('fieldset', { class: 'remind' }, h('legend', {}, 'Relance de ceux qui n\'ont pas lu'),
      h('label', { class: 'inline' }, remind, ' Renvoyer l\'alerte aux postes qui ne l\'ont pas lue'),
      h('div', { class: 'tools' }, field('après (minutes)', remindAfter), field('au plus (fois)', remindTimes))),
    h('label', { class: 'inline' }, exercise, ' Exercice : marquer cette alerte comme un exercice, pas une vraie alerte'),
    h('label', { class: 'inline' }, replace, ' Remplacer par « ? » les caractères que Windows-1252 n\'a pas (sinon le serveur refuse)'),
    bytes, warnings,
    h('div', { class: 'actions' }, send,
      can('send') ? null : h('span', { class: 'error' }, 'Votre rôle (lecteur) ne permet pas d\'envoyer d\'alerte.')), status,
    h('fieldset', {}, h('legend', {}, 'Garder pour plus tard'), field('Nom du brouillon ou du modèle', savedName,
      'Dans un modèle, un texte entre accolades, comme {lieu}, est à remplir au moment d\'envoyer.'),
    h('div', { class: 'actions' }, saveDraft, saveTemplate)));
  view.append(h('h1', {}, templateId ? 'Modifier le modèle' : draftId ? 'Brouillon' : 'Nouvelle alerte'), drafts,
    h('div', { class: 'split' }, f, h('div', { class: 'preview-side' }, h('h2', {}, 'Aperçu sur le poste'), preview)));

  api('GET', '/api/groups').then((r) => {
    allGroups = r.groups.map((g) => ({ name: g.name, directory: g.source === 'directory', key: searchKey(g.name) }))
      .sort((a, b) => a.name.localeCompare(b.name, 'fr'));
    drawGroups();
    refresh();
  }).catch(() => {});
  function groupBox(g) {
    const box = h('input', { type: 'checkbox', name: 'group', value: g.name, checked: picked.has(g.name),
      onchange: () => { if (box.checked) picked.add(g.name); else picked.delete(g.name); refresh(); } });
    return h('label', { class: 'inline' }, box, ' ' + g.name, g.directory ? h('small', { class: 'muted' }, '(annuaire)') : null);
  }
  function drawGroups() {
    if (!allGroups.length) { groups.replaceChildren(h('span', { class: 'muted' }, ' aucun groupe défini')); return; }
    const q = searchKey(groupFilter.value.trim());
    const hits = allGroups.filter((g) => !picked.has(g.name) && g.key.includes(q));
    groups.replaceChildren(...allGroups.filter((g) => picked.has(g.name)).map(groupBox),
      ...hits.slice(0, GROUPS_SHOWN).map(groupBox));
    groupMore.textContent = hits.length > GROUPS_SHOWN
      ? `${hits.length - GROUPS_SHOWN} autre(s) groupe(s) : précisez la recherche.`
      : (q && !hits.length ? 'Aucun autre groupe ne correspond.' : '');
  }

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
      groups: [...picked],
    };
  }
  const noTarget = (t) => !t.everyone && !t.computers.length && !t.users.length && !t.groups.length;
  // The first thing that keeps the alert from being sent, or ''.
  function problem() {
    const a = values();
    if (!a.author || !a.subject || !a.lines.length) return 'Auteur, objet et au moins une ligne de message sont nécessaires.';
    if (noTarget(target())) return 'Choisissez au moins un destinataire.';
    return '';
  }
  const countReach = debounce(async () => {
    const t = target();
    audience = null;
    unknown.replaceChildren();
    if (noTarget(t)) { reach.textContent = 'Aucun destinataire choisi.'; return; }
    const asked = JSON.stringify(t);
    try {
      const r = await api('POST', '/api/reach', t);
      if (asked !== JSON.stringify(target())) return; // the choice changed meanwhile
      audience = r;
      reach.textContent = `Postes visés : ${r.stations} · en ligne maintenant : ${r.online}`;
      unknown.replaceChildren(
        ...r.unknown_computers.map((n) => h('li', {}, `Aucun poste n'a jamais eu le nom d'ordinateur « ${n} » : vérifiez l'orthographe.`)),
        ...r.unknown_users.map((n) => h('li', {}, `Aucun poste n'a jamais eu d'utilisateur « ${n} » : vérifiez l'orthographe.`)));
    } catch (e) { reach.textContent = errorText(e); }
  }, 300);
  function refresh() {
    untilField.hidden = !every.value;
    for (const el of [remindAfter, remindTimes]) el.disabled = !remind.checked;
    // "Everyone" is all that is sent then: the other choices are shown off and unticked.
    picks.disabled = everyone.checked;
    if (everyone.checked && picked.size) { picked.clear(); drawGroups(); }
    const a = values();
    preview.replaceChildren(alertWindow(a));
    fit();
    const n = Cp1252.alertBytes(a);
    bytes.textContent = `Taille du texte : ${n.toLocaleString('fr-FR')} octets sur ${Cp1252.LIMIT.toLocaleString('fr-FR')}`;
    bytes.className = n > Cp1252.LIMIT ? 'error' : 'muted';
    const missing = Cp1252.missing([a.author, a.subject, a.date, ...a.lines].join('\n'));
    warnings.replaceChildren(...missing.map((ch) =>
      h('li', {}, `« ${ch} » (${Cp1252.codePoint(ch)}) n'existe pas en Windows-1252 : `,
        replace.checked ? 'il sera remplacé par « ? ».' : 'le serveur refusera l\'alerte.')));
    // A complaint about the form goes as soon as it no longer holds.
    if (status.dataset.invalid && !problem()) { status.textContent = ''; delete status.dataset.invalid; status.className = ''; }
    countReach();
  }
  f.addEventListener('input', refresh);
  f.addEventListener('change', refresh);
  refresh();

  // The whole form as POST /api/alerts takes it: what a draft or a template keeps.
  function body() {
    const b = { ...values(), ...target(), expires_in: Number(expiry.value), unsupported: replace.checked ? 'replace' : 'refuse', exercise: exercise.checked };
    if (!b.date) delete b.date;
    if (remind.checked) b.reminder = { after_minutes: Number(remindAfter.value), times: Number(remindTimes.value) };
    return b;
  }
  function restore(b) {
    author.value = b.author || ''; subject.value = b.subject || ''; date.value = b.date || '';
    lines.value = (b.lines || []).join('\n');
    everyone.checked = !!b.everyone; chosen.checked = !b.everyone;
    computers.value = (b.computers || []).join(', '); users.value = (b.users || []).join(', ');
    picked.clear();
    for (const g of b.groups || []) picked.add(g);
    drawGroups();
    if (b.expires_in && !expiry.querySelector(`option[value="${b.expires_in}"]`)) expiry.append(h('option', { value: b.expires_in }, `${Math.round(b.expires_in / 60)} min`));
    if (b.expires_in) expiry.value = String(b.expires_in);
    exercise.checked = !!b.exercise; replace.checked = b.unsupported === 'replace';
    remind.checked = !!b.reminder;
    if (b.reminder) { remindAfter.value = b.reminder.after_minutes; remindTimes.value = b.reminder.times; }
    refresh();
  }
  const say = (text, bad) => { status.textContent = text; status.className = bad ? 'error' : ''; };
  async function showDrafts() {
    if (!can('send')) return;
    const r = await api('GET', '/api/drafts').catch(() => ({ drafts: [] }));
    drafts.replaceChildren(...(r.drafts.length ? [h('h2', {}, 'Mes brouillons'), h('ul', { class: 'saved' }, ...r.drafts.map((d) =>
      h('li', {}, h('a', { href: '#/nouvelle/brouillon-' + d.id }, d.name || d.alert.subject || 'Sans titre'), ` — ${when(d.updated_at)} `,
        h('button', { type: 'button', 'aria-label': `Supprimer le brouillon ${d.name}`, onclick: async () => {
          if (!await confirmBox(`Supprimer le brouillon « ${d.name} » ?`, 'Supprimer')) return;
          await api('DELETE', '/api/drafts/' + d.id).catch((e) => say(errorText(e), true));
          if (d.id === draftId) { draftId = 0; history.replaceState(null, '', '#/nouvelle'); }
          showDrafts();
        } }, 'Supprimer'))))] : []));
  }
  showDrafts();
  if (draftId || templateId) {
    api('GET', draftId ? '/api/drafts' : '/api/templates').then((r) => {
      const saved = (r.drafts || r.templates).find((x) => x.id === (draftId || templateId));
      if (!saved) { say(draftId ? 'Ce brouillon n\'existe plus.' : 'Ce modèle n\'existe plus.', true); draftId = 0; return; }
      savedName.value = saved.name;
      restore(saved.alert);
      view.dataset.restored = '1';
    }).catch((e) => say(errorText(e), true));
  }
  saveDraft.addEventListener('click', async () => {
    try {
      const d = await api(draftId ? 'PUT' : 'POST', '/api/drafts' + (draftId ? '/' + draftId : ''), { name: savedName.value.trim() || subject.value.trim(), alert: body() });
      draftId = d.id;
      history.replaceState(null, '', '#/nouvelle/brouillon-' + d.id);
      say(`Brouillon « ${d.name} » enregistré.`);
      showDrafts();
    } catch (e) { say(errorText(e), true); }
  });
  if (saveTemplate) saveTemplate.addEventListener('click', async () => {
    const name = savedName.value.trim();
    if (!name) { say('Donnez un nom au modèle.', true); savedName.focus(); return; }
    if (problem()) { say(problem(), true); return; }
    try {
      await api(templateId ? 'PUT' : 'POST', '/api/templates' + (templateId ? '/' + templateId : ''), { name, alert: body() });
      location.hash = '#/modeles';
    } catch (e) { say(errorText(e), true); }
  });

  async function confirmed(t, a) {
    const r = audience || await api('POST', '/api/reach', t);
    if (t.everyone) {
      return confirmBox([h('p', {}, h('strong', {}, 'Envoyer à tout le monde ?')),
        h('p', {}, `Objet : « ${a.subject} »`),
        h('p', {}, `${r.stations} poste(s) visé(s), dont ${r.online} en ligne maintenant.`)], 'Oui, envoyer à tout le monde');
    }
    const names = [...r.unknown_computers, ...r.unknown_users];
    if (names.length) {
      return confirmBox([h('p', {}, `Aucun poste n'a jamais utilisé : ${names.join(', ')}.`),
        h('p', {}, 'L\'alerte leur sera envoyée s\'ils se connectent un jour. Envoyer quand même ?')], 'Envoyer quand même');
    }
    return true;
  }

  f.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    status.textContent = '';
    const bad = problem();
    if (bad) { status.textContent = bad; status.className = 'error'; status.dataset.invalid = '1'; return; }
    const a = values();
    const t = target();
    try {
      if (!await confirmed(t, a)) return;
      send.disabled = true;
      const b = body();
      const iso = (d) => d.toISOString().replace(/\.\d{3}Z$/, 'Z');
      if (every.value) {
        if (!starts.value || !until.value) { send.disabled = false; say('Une alerte répétée a besoin d\'un début et d\'un dernier jour.', true); return; }
        const [y, m, d] = until.value.split('-').map(Number);
        await api('POST', '/api/schedules', { alert: b, every: every.value, first_at: iso(new Date(starts.value)), until: iso(new Date(new Date(y, m - 1, d + 1).getTime() - 1000)) });
        if (draftId) await api('DELETE', '/api/drafts/' + draftId).catch(() => {});
        location.hash = '#/programmees';
        return;
      }
      if (starts.value) b.starts_at = iso(new Date(starts.value));
      const created = await api('POST', '/api/alerts', b);
      if (draftId) await api('DELETE', '/api/drafts/' + draftId).catch(() => {});
      location.hash = '#/alerte/' + created.id;
    } catch (e) {
      status.textContent = errorText(e); status.className = 'error';
    } finally { send.disabled = !can('send'); }
  });
};

// ---- one alert, live -------------------------------------------------------

const COUNT_ORDER = ['sent', 'queued', 'acknowledged', 'replaced', 'not reached', 'expired', 'cancelled'];

// Each count is also the filter of the list below it.
function counts(c, filter, choose) {
  return h('div', { class: 'counts', id: 'counts', role: 'group', 'aria-label': 'Filtrer par état' }, ...COUNT_ORDER.map((k) =>
    h('button', { type: 'button', class: 'count c-' + k.replace(' ', '-'), 'data-state': k, 'aria-pressed': String(filter === k),
      onclick: () => choose(filter === k ? '' : k) },
    h('b', {}, c ? c[k] || 0 : 0), h('span', {}, RECEIPT_STATES[k]))));
}

// Read over everyone the alert is for (the unknown names included: nobody reads those).
function progress(c) {
  const total = COUNT_ORDER.reduce((n, k) => n + ((c && c[k]) || 0), 0);
  const read = (c && c.acknowledged) || 0;
  const pct = total ? Math.floor((100 * read) / total) : 0;
  return h('div', { class: 'progress', id: 'progress' },
    h('progress', { max: total || 1, value: read, 'aria-labelledby': 'progress-text' }),
    h('span', { id: 'progress-text' }, `${pct} % lues (${read} sur ${total})`));
}

function targetText(t) {
  if (!t) return '';
  if (t.everyone) return 'Tout le monde';
  const parts = [];
  if (t.computers && t.computers.length) parts.push('ordinateurs : ' + t.computers.join(', '));
  if (t.users && t.users.length) parts.push('utilisateurs : ' + t.users.join(', '));
  if (t.groups && t.groups.length) parts.push('groupes : ' + t.groups.join(', '));
  if (t.stations && t.stations.length) parts.push(`${t.stations.length} poste(s) : ` + t.stations.map((x) => `${x.computer} (${x.user})`).join(', '));
  return parts.join(' ; ');
}

views.alerte = (view, id) => {
  const title = h('h1', {}, 'Alerte n° ' + id);
  const facts = h('div');
  const countsBox = h('div');
  const spoken = h('p', { class: 'sr-only', 'aria-live': 'polite', id: 'spoken' });
  const body = h('tbody');
  const rows = new Map();
  const actions = h('div', { class: 'actions' });
  let filter = '';
  let last = null;
  view.append(title, facts, countsBox, spoken, actions,
    h('table', { class: 'list', id: 'receipts' }, h('thead', {}, h('tr', {},
      ...['Ordinateur', 'Utilisateur', 'Par le groupe', 'État', 'Premier envoi', 'Dernier envoi', 'Envois', 'Lue le', 'Envoyé à', 'Lue depuis'].map((t) => h('th', {}, t)))), body));

  function row(r) {
    return h('tr', { 'data-state': r.state, hidden: filter !== '' && r.state !== filter },
      h('td', {}, r.computer), h('td', {}, r.user),
      // The directory group that brought the station in: membership changes after the alert.
      h('td', { class: 'via' }, r.directory_group || ''),
      h('td', {}, h('span', { class: 'pill s-' + r.state.replace(' ', '-') }, RECEIPT_STATES[r.state] || r.state)),
      h('td', {}, when(r.first_sent_at)), h('td', {}, when(r.last_sent_at)), h('td', { class: 'num' }, r.sent_count),
      h('td', {}, when(r.acknowledged_at)),
      // The protocol proves no identity: where each send and tick came from is on record.
      h('td', {}, r.sent_address || ''), h('td', {}, r.acknowledged_address || ''));
  }
  function upsert(r) {
    const key = r.computer + '\\' + r.user;
    const tr = row(r);
    tr.dataset.key = key;
    if (rows.has(key)) rows.get(key).replaceWith(tr); else body.append(tr);
    rows.set(key, tr);
  }
  function choose(state) {
    filter = state;
    for (const tr of rows.values()) tr.hidden = filter !== '' && tr.dataset.state !== filter;
    if (last) drawCounts(last);
    const b = countsBox.querySelector(`[data-state="${CSS.escape(state || 'sent')}"]`);
    if (b && state) b.focus();
  }
  function drawCounts(a) {
    const keep = document.activeElement && document.activeElement.closest('#counts') ? document.activeElement.dataset.state : null;
    countsBox.replaceChildren(progress(a.counts), counts(a.counts, filter, choose));
    if (keep) countsBox.querySelector(`[data-state="${CSS.escape(keep)}"]`).focus();
    const c = a.counts || {};
    spoken.textContent = `${c.acknowledged || 0} lue(s), ${c.sent || 0} non lue(s), ${c.queued || 0} poste(s) hors ligne.`;
  }
  function drawAlert(a) {
    last = a;
    title.textContent = `${a.exercise ? 'Exercice — ' : ''}Alerte n° ${a.id} : ${a.subject}`;
    facts.replaceChildren(
      h('dl', { class: 'facts' },
        h('dt', {}, 'État'), h('dd', { id: 'alert-state' }, ALERT_STATES[a.state] || a.state,
          a.exercise ? [' ', h('span', { class: 'pill exercise' }, 'Exercice')] : null),
        a.follows ? [h('dt', {}, 'Suite de'), h('dd', {}, h('a', { href: '#/alerte/' + a.follows }, `l'alerte n° ${a.follows}`), ' (renvoyée à ceux qui ne l\'avaient pas lue)')] : null,
        h('dt', {}, 'Début'), h('dd', {}, when(a.starts_at)),
        a.reminder ? [h('dt', {}, 'Relance'), h('dd', { id: 'reminder' }, `Aux non-lecteurs toutes les ${a.reminder.after_minutes} min, ${a.reminder.times} fois au plus : ${a.reminder.sent} faite(s)`,
          a.reminder.next_at ? `, prochaine le ${when(a.reminder.next_at)}.` : '.')] : null,
        h('dt', {}, 'Auteur'), h('dd', {}, a.author + (a.created_by && a.created_by !== a.author ? ` (envoyée par ${a.created_by})` : '')),
        h('dt', {}, 'Destinataires'), h('dd', {}, targetText(a.target)),
        h('dt', {}, 'Créée'), h('dd', {}, when(a.created_at)),
        h('dt', {}, 'Expire'), h('dd', {}, when(a.expires_at)),
        a.cancelled_at ? [h('dt', {}, 'Annulée'), h('dd', {}, when(a.cancelled_at))] : null,
        h('dt', {}, 'Message'), h('dd', {}, h('div', { class: 'lines' }, ...a.lines.map((l) => h('div', {}, l))))));
    drawCounts(a);
    // Unlike h(), replaceChildren writes a null out as the text "null".
    actions.replaceChildren(...[
      h('a', { class: 'button', href: `/api/alerts/${a.id}/receipts.csv?lang=fr`, download: `alerte-${a.id}.csv`, id: 'export' }, 'Exporter en CSV'),
      can('send') && (a.state === 'active' || a.state === 'scheduled')
        ? h('button', { type: 'button', id: 'cancel', onclick: cancel }, 'Annuler l\'alerte') : null,
      can('send') && unread(a.counts) > 0
        ? h('button', { type: 'button', id: 'resend', class: 'primary', onclick: () => resend(a) }, `Renvoyer à ceux qui ne l'ont pas lue (${unread(a.counts)})`) : null,
      h('span', { class: 'muted' }, ' Une alerte annulée n\'est plus envoyée ; elle ne peut pas être retirée d\'un écran où elle est déjà affichée.'),
    ].filter(Boolean));
  }
  async function load() {
    try {
      const a = await api('GET', '/api/alerts/' + encodeURIComponent(id));
      drawAlert(a);
      for (const r of a.receipts || []) upsert(r);
      view.dataset.ready = '1';
    } catch (e) {
      facts.replaceChildren(h('p', { class: 'error' }, e.status === 404 ? 'Cette alerte n\'existe pas.' : errorText(e)));
    }
  }
  const reloadCounts = debounce(async () => {
    try { drawAlert(await api('GET', '/api/alerts/' + encodeURIComponent(id))); } catch (e) { /* next event retries */ }
  }, 250);
  // Not read, on a station that exists: what a resend would reach.
  const unread = (c) => ['sent', 'queued', 'replaced', 'expired', 'cancelled'].reduce((n, k) => n + ((c && c[k]) || 0), 0);
  async function resend(a) {
    if (!await confirmBox([h('p', {}, `Renvoyer « ${a.subject} » aux ${unread(a.counts)} poste(s) qui ne l'ont pas lue ?`),
      h('p', {}, 'Une nouvelle alerte est créée pour eux seuls, liée à celle-ci.')], 'Renvoyer')) return;
    try {
      const created = await api('POST', `/api/alerts/${encodeURIComponent(id)}/resend-unread`, {});
      location.hash = '#/alerte/' + created.id;
    } catch (e) { actions.append(h('p', { class: 'error' }, errorText(e))); }
  }
  async function cancel() {
    if (!await confirmBox('Annuler cette alerte ? Elle ne sera plus envoyée à aucun poste.', 'Oui, annuler l\'alerte')) return;
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

// Read out of all, not read yet, and names no station has: what the list needs at a glance.
function historyCounts(c) {
  const n = (k) => (c && c[k]) || 0;
  const total = COUNT_ORDER.reduce((t, k) => t + n(k), 0);
  return [`${n('acknowledged')} sur ${total}`, n('sent') + n('queued') + n('replaced') + n('expired') + n('cancelled'), n('not reached')];
}

views.historique = (view) => {
  const st = { offset: 0, limit: 25, sort: 'id', order: 'desc' };
  const f = h('form', { class: 'tools', id: 'history-filter' },
    h('input', { type: 'search', name: 'q', placeholder: 'Texte', 'aria-label': 'Texte' }),
    h('input', { name: 'author', placeholder: 'Auteur', 'aria-label': 'Auteur' }),
    h('label', { class: 'inline' }, 'du ', h('input', { type: 'date', name: 'from' })),
    h('label', { class: 'inline' }, 'au ', h('input', { type: 'date', name: 'to' })),
    h('input', { name: 'target', placeholder: 'Destinataire', 'aria-label': 'Destinataire' }),
    h('button', { type: 'submit' }, 'Chercher'));
  const body = h('tbody');
  const foot = h('div');
  const head = h('tr');
  // Numbers grow with creation: N° and Créée sort the same way.
  const sortable = { 'N°': 'id', 'Créée': 'created', 'Auteur': 'author', 'Objet': 'subject' };
  const heads = () => head.replaceChildren(...['N°', 'Créée', 'Auteur', 'Objet', 'Destinataires', 'État', 'Lues', 'Non lues', 'Postes inconnus']
    .map((t) => (sortable[t] ? sortHeader(t, st, sortable[t], () => { st.offset = 0; heads(); load(); }) : h('th', {}, t))));
  heads();
  view.append(h('h1', {}, 'Historique des alertes'), f,
    h('table', { class: 'list', id: 'history' }, h('thead', {}, head), body), foot);
  async function load() {
    const fd = new FormData(f);
    // The administrator's own days, not UTC's: an alert made at 00:40 in
    // Paris is on the 10th there.
    const day = (v, end) => {
      if (!v) return '';
      const [y, m, d] = v.split('-').map(Number);
      const t = end ? new Date(y, m - 1, d + 1).getTime() - 1000 : new Date(y, m - 1, d).getTime();
      return new Date(t).toISOString().replace(/\.\d{3}Z$/, 'Z');
    };
    try {
      const r = await api('GET', '/api/alerts?' + query({
        q: fd.get('q'), author: fd.get('author'), from: day(fd.get('from')), to: day(fd.get('to'), true),
        target: fd.get('target'), sort: st.sort, order: st.order, limit: st.limit, offset: st.offset,
      }));
      body.replaceChildren(...(r.alerts.length ? r.alerts.map((a) => h('tr', { class: 'link', onclick: () => { location.hash = '#/alerte/' + a.id; } },
        h('td', {}, h('a', { href: '#/alerte/' + a.id }, a.id)), h('td', {}, when(a.created_at)), h('td', {}, a.author),
        h('td', {}, a.exercise ? [h('span', { class: 'pill exercise' }, 'Exercice'), ' '] : null, a.subject, a.follows ? ` (suite de n° ${a.follows})` : null),
        h('td', {}, targetText(a.target)), h('td', {}, ALERT_STATES[a.state] || a.state),
        ...historyCounts(a.counts).map((n) => h('td', { class: 'num' }, n))))
        : [h('tr', {}, h('td', { colspan: 9, class: 'muted' }, 'Aucune alerte.'))]));
      foot.replaceChildren(pager(r.total, st.offset, st.limit, (o) => { st.offset = o; load(); }));
      view.dataset.ready = '1';
      body.parentElement.dataset.settled = '1';
    } catch (e) { foot.replaceChildren(h('p', { class: 'error' }, errorText(e))); }
  }
  f.addEventListener('submit', (ev) => { ev.preventDefault(); st.offset = 0; load(); });
  listeners.add((kind) => { if (kind === 'alert') debounce(load, 500)(); });
  load();
};

// ---- templates ---------------------------------------------------------------

const PLACEHOLDER = /\{([^{}\n]{1,40})\}/g;
function fillText(text, values) { return (text || '').replace(PLACEHOLDER, (all, name) => (values[name] || '').trim() ? values[name] : all); }

views.modeles = (view, id) => (id ? useTemplate(view, Number(id)) : listTemplates(view));

function listTemplates(view) {
  const body = h('tbody');
  const msg = h('p', { role: 'status' });
  view.append(h('h1', {}, 'Modèles d\'alerte'),
    h('p', { class: 'muted' }, can('admin') ? 'Un modèle se crée depuis « Nouvelle alerte » : « Enregistrer comme modèle ». Les textes entre accolades, comme {lieu}, sont remplis au moment d\'envoyer.'
      : 'Choisissez un modèle, remplissez ce qui change, envoyez.'),
    h('table', { class: 'list', id: 'templates' }, h('thead', {}, h('tr', {},
      ...['Modèle', 'Objet', 'Destinataires', 'À remplir'].map((t) => h('th', {}, t)), h('th', {}, h('span', { class: 'sr-only' }, 'Actions')))), body), msg);
  async function load() {
    const r = await api('GET', '/api/templates');
    body.replaceChildren(...(r.templates.length ? r.templates.map((t) => h('tr', { 'data-template': t.name },
      h('td', {}, t.name), h('td', {}, t.alert.subject), h('td', {}, targetText(t.alert)),
      h('td', {}, t.placeholders.length ? t.placeholders.join(', ') : h('span', { class: 'muted' }, 'rien')),
      h('td', { class: 'row-actions' },
        can('send') ? h('a', { class: 'button primary', href: '#/modeles/' + t.id }, 'Utiliser') : null,
        can('admin') ? [' ', h('a', { class: 'button', href: '#/nouvelle/modele-' + t.id }, 'Modifier'), ' ',
          h('button', { type: 'button', onclick: async () => {
            if (!await confirmBox(`Supprimer le modèle « ${t.name} » ?`, 'Supprimer')) return;
            api('DELETE', '/api/templates/' + t.id).then(load).catch((e) => { msg.className = 'error'; msg.textContent = errorText(e); });
          } }, 'Supprimer')] : null)))
      : [h('tr', {}, h('td', { colspan: 5, class: 'muted' }, 'Aucun modèle.'))]));
    view.dataset.ready = '1';
  }
  load().catch((e) => { msg.className = 'error'; msg.textContent = errorText(e); });
}

// Choose, fill in, send: the template's target and expiry stay as they are.
function useTemplate(view, id) {
  const title = h('h1', {}, 'Modèle');
  const f = h('form', { id: 'use-template', class: 'compose', novalidate: true });
  const fields = h('div', { class: 'fill' });
  const reach = h('p', { class: 'muted', id: 'reach', 'aria-live': 'polite' });
  const status = h('p', { role: 'status', id: 'template-status' });
  const send = h('button', { type: 'submit', class: 'primary', disabled: !can('send') }, 'Envoyer l\'alerte');
  const preview = h('div', { class: 'preview' });
  const fit = fitPreview(preview);
  f.append(fields, reach, h('div', { class: 'actions' }, send, h('a', { class: 'button', href: '#/modeles' }, 'Autre modèle')), status);
  view.append(title, h('div', { class: 'split' }, f, h('div', { class: 'preview-side' }, h('h2', {}, 'Aperçu sur le poste'), preview)));
  let t = null;
  let audience = null;
  const values = () => Object.fromEntries([...fields.querySelectorAll('input')].map((i) => [i.name, i.value]));
  const filled = () => {
    const v = values();
    return { author: fillText(t.alert.author, v), subject: fillText(t.alert.subject, v), date: t.alert.date || '', lines: (t.alert.lines || []).map((l) => fillText(l, v)) };
  };
  function draw() {
    preview.replaceChildren(alertWindow(filled()));
    fit();
    if (status.dataset.invalid && t.placeholders.every((p) => values()[p].trim())) { status.textContent = ''; delete status.dataset.invalid; }
  }
  f.addEventListener('input', draw);
  api('GET', '/api/templates').then(async (r) => {
    t = r.templates.find((x) => x.id === id);
    if (!t) { status.className = 'error'; status.textContent = 'Ce modèle n\'existe plus.'; return; }
    title.textContent = 'Modèle : ' + t.name;
    fields.replaceChildren(...(t.placeholders.length ? t.placeholders.map((p) => h('label', {}, p, h('input', { name: p, required: true, maxlength: 500 })))
      : [h('p', { class: 'muted' }, 'Rien à remplir : ce modèle s\'envoie tel quel.')]),
    h('p', {}, h('strong', {}, 'Destinataires : '), targetText(t.alert),
      t.alert.exercise ? [' ', h('span', { class: 'pill exercise' }, 'Exercice')] : null));
    draw();
    view.dataset.ready = '1';
    try {
      audience = await api('POST', '/api/reach', t.alert);
      reach.textContent = `Postes visés : ${audience.stations} · en ligne maintenant : ${audience.online}`;
    } catch (e) { reach.textContent = errorText(e); }
  }).catch((e) => { status.className = 'error'; status.textContent = errorText(e); });
  f.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    if (!t) return;
    const empty = t.placeholders.find((p) => !values()[p].trim());
    if (empty) { status.className = 'error'; status.textContent = `Remplissez « ${empty} ».`; status.dataset.invalid = '1'; fields.querySelector(`input[name="${CSS.escape(empty)}"]`).focus(); return; }
    const a = filled();
    if (t.alert.everyone) {
      const r = audience || await api('POST', '/api/reach', t.alert);
      if (!await confirmBox([h('p', {}, h('strong', {}, 'Envoyer à tout le monde ?')), h('p', {}, `Objet : « ${a.subject} »`),
        h('p', {}, `${r.stations} poste(s) visé(s), dont ${r.online} en ligne maintenant.`)], 'Oui, envoyer à tout le monde')) return;
    }
    send.disabled = true;
    try {
      const created = await api('POST', `/api/templates/${id}/send`, { values: values() });
      location.hash = '#/alerte/' + created.id;
    } catch (e) { status.className = 'error'; status.textContent = errorText(e); } finally { send.disabled = !can('send'); }
  });
}

// ---- scheduled alerts -----------------------------------------------------------

const WEEKDAYS = ['dimanche', 'lundi', 'mardi', 'mercredi', 'jeudi', 'vendredi', 'samedi'];
function rhythm(s) {
  const d = new Date(s.first_at);
  const time = d.toLocaleTimeString('fr-FR', { hour: '2-digit', minute: '2-digit' });
  return s.every === 'weekly' ? `Chaque ${WEEKDAYS[d.getDay()]} à ${time}` : `Chaque jour à ${time}`;
}

views.programmees = (view) => {
  const recurring = h('tbody');
  const once = h('tbody');
  const msg = h('p', { role: 'status' });
  const fail = (e) => { msg.className = 'error'; msg.textContent = errorText(e); };
  view.append(h('h1', {}, 'Alertes programmées'),
    h('h2', {}, 'Alertes répétées'),
    h('table', { class: 'list', id: 'schedules' }, h('thead', {}, h('tr', {},
      ...['Objet', 'Rythme', 'Prochaine', 'Dernier jour', 'Envoyées', 'Dernière'].map((t) => h('th', {}, t)), h('th', {}, h('span', { class: 'sr-only' }, 'Actions')))), recurring),
    h('h2', {}, 'Alertes à venir'),
    h('table', { class: 'list', id: 'pending' }, h('thead', {}, h('tr', {},
      ...['N°', 'Début', 'Objet', 'Destinataires'].map((t) => h('th', {}, t)), h('th', {}, h('span', { class: 'sr-only' }, 'Actions')))), once), msg);
  const cancelButton = (label, question, run) => (can('send') ? h('button', { type: 'button', onclick: async () => {
    if (await confirmBox(question, 'Oui, annuler')) run().then(load).catch(fail);
  } }, label) : null);
  async function load() {
    const r = await api('GET', '/api/schedules');
    recurring.replaceChildren(...(r.schedules.length ? r.schedules.map((s) => h('tr', { 'data-schedule': s.id },
      h('td', {}, s.alert.exercise ? [h('span', { class: 'pill exercise' }, 'Exercice'), ' '] : null, s.alert.subject),
      h('td', {}, rhythm(s)), h('td', {}, when(s.next_at)), h('td', {}, when(s.until)), h('td', { class: 'num' }, s.fired),
      h('td', {}, s.last_alert ? h('a', { href: '#/alerte/' + s.last_alert }, 'n° ' + s.last_alert) : ''),
      h('td', {}, cancelButton('Annuler', `Annuler les prochains envois de « ${s.alert.subject} » ? Les alertes déjà envoyées restent.`,
        () => api('POST', `/api/schedules/${s.id}/cancel`, {})))))
      : [h('tr', {}, h('td', { colspan: 7, class: 'muted' }, 'Aucune alerte répétée.'))]));
    once.replaceChildren(...(r.alerts.length ? r.alerts.map((a) => h('tr', {},
      h('td', {}, h('a', { href: '#/alerte/' + a.id }, a.id)), h('td', {}, when(a.starts_at)), h('td', {}, a.subject), h('td', {}, targetText(a.target)),
      h('td', {}, cancelButton('Annuler', `Annuler l'alerte « ${a.subject} » prévue le ${when(a.starts_at)} ?`,
        () => api('POST', `/api/alerts/${a.id}/cancel`, {})))))
      : [h('tr', {}, h('td', { colspan: 5, class: 'muted' }, 'Aucune alerte à venir.'))]));
    view.dataset.ready = '1';
  }
  listeners.add((kind) => { if (kind === 'alert') load().catch(fail); });
  load().catch(fail);
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
        h('td', {}, when(e.time)), h('td', {}, AUDIT_PEOPLE[e.who] || e.who), h('td', {}, AUDIT_ACTIONS[e.action] || e.action),
        h('td', {}, auditDetail(e.detail)), h('td', {}, auditAddress(e.address)))));
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
    h('table', { class: 'list', id: 'users' }, h('thead', {}, h('tr', {}, h('th', {}, 'Nom'), h('th', {}, 'Rôle'), h('th', {}, h('span', { class: 'sr-only' }, 'Actions')))), body),
    h('h2', {}, 'Ajouter un utilisateur'), add, msg);
  // A refused change is shown and the list drawn again, so no select shows a role not saved.
  const report = (p) => p.then(() => { msg.className = ''; msg.textContent = 'Enregistré.'; load(); })
    .catch((e) => { msg.className = 'error'; msg.textContent = errorText(e); load().catch(() => {}); });
  async function load() {
    const r = await api('GET', '/api/users');
    body.replaceChildren(...r.users.map((u) => h('tr', {},
      h('td', {}, u.name),
      h('td', {}, roleSelect(u.role, { 'aria-label': 'Rôle de ' + u.name, onchange: async (ev) => {
        const role = ev.target.value;
        const self = u.name === me.name ? ' Il s\'agit de votre propre compte.' : '';
        if (!await confirmBox(`Donner à ${u.name} le rôle ${ROLES[role]} au lieu de ${ROLES[u.role]} ?${self}`, 'Changer le rôle')) {
          ev.target.value = u.role;
          return;
        }
        report(api('PUT', '/api/users/' + encodeURIComponent(u.name), { role }));
      } })),
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

const GROUPS_LISTED = 50;
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
    h('select', { name: 'scope', 'aria-label': 'Portée' }, ...Object.entries(TOKEN_SCOPES).map(([k, t]) => h('option', { value: k }, t))),
    h('button', { type: 'submit' }, 'Créer un jeton'));
  const newToken = h('p', { id: 'new-token' });
  // The organisation's directory, when the server has one: its last sync.
  const directoryState = h('p', { id: 'directory-state' });
  const syncButton = h('button', { type: 'button', id: 'directory-sync' }, 'Synchroniser maintenant');
  const directory = h('section', { hidden: true }, h('h2', {}, 'Annuaire'), directoryState, syncButton);
  function showDirectory(d) {
    const ok = d.last_success ? `Dernière synchronisation réussie : ${when(d.last_success)} — ${d.users} utilisateurs, ${d.computers} ordinateurs, ${d.groups} groupes.` : 'Aucune synchronisation réussie.';
    const age = d.error_age_seconds == null ? '' : ` (il y a ${Math.round(d.error_age_seconds / 60)} min)`;
    directoryState.replaceChildren(ok, ...(d.error ? [h('br'), h('span', { class: 'error' }, `Erreur${age} : ${d.error}`)] : []));
  }
  syncButton.addEventListener('click', () => {
    syncButton.disabled = true;
    api('POST', '/api/directory/sync').then(() => { msg.textContent = ''; return load(); }).catch((e) => { fail(e); return load(); })
      .finally(() => { syncButton.disabled = false; });
  });
  const groupsFilter = h('input', { type: 'search', id: 'groups-filter', placeholder: 'Chercher un groupe…', 'aria-label': 'Chercher un groupe', oninput: () => drawGroups() });
  const groupsMore = h('p', { class: 'muted', id: 'groups-more', 'aria-live': 'polite' });
  let groupList = [];
  view.append(h('h1', {}, 'Groupes'), directory, h('div', { class: 'tools' }, groupsFilter),
    h('table', { class: 'list', id: 'groups' }, h('thead', {}, h('tr', {}, h('th', {}, 'Groupe'), h('th', {}, 'Ordinateurs'), h('th', {}, 'Utilisateurs'), h('th', {}, h('span', { class: 'sr-only' }, 'Actions')))), groupsBody), groupsMore,
    h('h2', {}, 'Créer ou remplacer un groupe'), groupForm,
    h('h1', {}, 'Jetons d\'API'),
    h('table', { class: 'list', id: 'tokens' }, h('thead', {}, h('tr', {}, h('th', {}, 'N°'), h('th', {}, 'Nom'), h('th', {}, 'Portée'), h('th', {}, 'Créé'), h('th', {}, h('span', { class: 'sr-only' }, 'Actions')))), tokensBody),
    tokenForm, newToken, msg);
  async function load() {
    const [g, t] = await Promise.all([api('GET', '/api/groups'), api('GET', '/api/tokens')]);
    groupList = g.groups.map((x) => ({ ...x, key: searchKey(x.name) }));
    drawGroups();
    const d = await api('GET', '/api/directory').catch(() => null);
    directory.hidden = !d;
    if (d) showDirectory(d);
    tokensBody.replaceChildren(...t.tokens.map((x) => h('tr', {}, h('td', {}, x.id), h('td', {}, x.name), h('td', {}, TOKEN_SCOPES[x.scope] || x.scope), h('td', {}, when(x.created_at)),
      h('td', {}, h('button', { type: 'button', onclick: async () => {
        if (await confirmBox(`Révoquer le jeton n° ${x.id} ? Les scripts qui l'utilisent seront refusés.`)) api('DELETE', '/api/tokens/' + x.id).then(load).catch(fail);
      } }, 'Révoquer')))));
    view.dataset.ready = '1';
  }
  // The server's own groups are all drawn; a directory's, which may number
  // thousands, only the first that match the search.
  function drawGroups() {
    const q = searchKey(groupsFilter.value.trim());
    const hits = groupList.filter((x) => x.key.includes(q));
    const own = hits.filter((x) => x.source !== 'directory');
    const fromDirectory = hits.filter((x) => x.source === 'directory');
    const shown = own.concat(fromDirectory.slice(0, GROUPS_LISTED));
    groupsMore.textContent = fromDirectory.length > GROUPS_LISTED
      ? `${fromDirectory.length - GROUPS_LISTED} autre(s) groupe(s) de l'annuaire : précisez la recherche.` : '';
    // Directory groups come with their sizes only: they may hold thousands of members.
    groupsBody.replaceChildren(...shown.map((x) => x.source === 'directory'
      ? h('tr', { class: 'directory' }, h('td', {}, x.name + ' (annuaire)'), h('td', {}, `${x.computer_count} ordinateur(s)`), h('td', {}, `${x.user_count} utilisateur(s)`), h('td', {}))
      : h('tr', {}, h('td', {}, x.name), h('td', {}, x.computers.join(', ')), h('td', {}, x.users.join(', ')),
        h('td', {}, h('button', { type: 'button', onclick: async () => {
          if (await confirmBox(`Supprimer le groupe ${x.name} ?`)) api('DELETE', '/api/groups/' + encodeURIComponent(x.name)).then(load).catch(fail);
        } }, 'Supprimer')))));
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
