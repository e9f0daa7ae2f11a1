// The maker's console. Every text that came from a user is put in the page as text
// (textContent), never as markup; the page has no inline script (its policy forbids it).
'use strict';

const session = { user: '', csrf: '' };
const $ = (id) => document.getElementById(id);
// Never polled faster: the count of what waits.
const WAITING_POLL_MS = 60000;

// Controls that would reorder or hide what is shown (bidi overrides, zero-width marks) are
// shown by name, so that a text cannot pretend to say something else.
// Not the zero-width non-joiner and joiner (U+200C, U+200D): Persian words and emoji sequences
// need them.
const HIDDEN_CONTROLS = /[\u0000-\u0008\u000b-\u001f\u007f-\u009f\u061c\u200b\u200e\u200f\u202a-\u202e\u2060-\u2069\ufeff]/g;

function visibleText(given) {
  const text = String(given ?? '');
  const out = document.createDocumentFragment();
  let last = 0;
  for (const match of text.matchAll(HIDDEN_CONTROLS)) {
    out.append(text.slice(last, match.index));
    const code = match[0].codePointAt(0).toString(16).toUpperCase().padStart(4, '0');
    out.append(el('span', { class: 'control', text: `⟦U+${code}⟧` }));
    last = match.index + match[0].length;
  }
  out.append(text.slice(last));
  return out;
}

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'text') node.textContent = value;
    else if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value);
  }
  for (const child of children) if (child !== null && child !== undefined) node.append(child);
  return node;
}

function shortId(id) { return String(id).slice(0, 8); }

// A count as French writes it: "4 000".
function frenchCount(n) { return Number(n).toLocaleString('fr-FR'); }

function ago(ms) {
  if (ms === null || ms === undefined) return '';
  const minutes = Math.max(0, Math.round((Date.now() - ms) / 60000));
  if (minutes < 1) return "à l'instant";
  if (minutes < 60) return `il y a ${minutes} min`;
  const hours = Math.round(minutes / 60);
  if (hours < 48) return `il y a ${hours} h`;
  return `il y a ${Math.round(hours / 24)} j`;
}

function dateText(ms) {
  return ms === null || ms === undefined ? 'jamais' : new Date(ms).toLocaleString('fr-FR');
}

function firstLine(text) {
  return String(text ?? '').split('\n').find((line) => line.trim() !== '') ?? '';
}

async function api(path, body) {
  const options = { credentials: 'same-origin', headers: {} };
  if (body !== undefined) {
    options.method = 'POST';
    options.headers['Content-Type'] = 'application/json';
    options.headers['X-Velmora-Csrf'] = session.csrf;
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (error) {
    return { status: 0, body: { error: 'Le service ne répond pas.' } };
  }
  const answer = { status: response.status, body: await response.json().catch(() => ({})) };
  if (typeof answer.body.waiting === 'number') showWaiting(answer.body.waiting);
  if (answer.status === 401 && path !== '/api/login') showLogin();
  if (answer.status === 503 && !answer.body?.error) answer.body.error = 'La base de données ne répond pas : réessayez.';
  return answer;
}

function showWaiting(count) {
  $('waiting').textContent = count > 0 ? `${count.toLocaleString('fr-FR')} en attente` : '';
  document.title = (count > 0 ? `(${count}) ` : '') + 'Console de VelmoraVovir';
}

function showLogin() {
  session.user = '';
  session.csrf = '';
  $('bar').hidden = true;
  $('main').replaceChildren();
  $('login').hidden = false;
  $('login-name').focus();
}

function signedIn(user, csrf) {
  session.user = user;
  session.csrf = csrf;
  $('login').hidden = true;
  $('bar').hidden = false;
  $('user').textContent = user;
  route();
}

function problem(message) {
  return el('p', { class: 'error', role: 'alert', text: message || 'Erreur inattendue.' });
}

function show(title, ...content) {
  $('main').replaceChildren(el('h1', { text: title }), ...content);
}

function table(headings, rows) {
  return el('table', {},
    el('thead', {}, el('tr', {}, ...headings.map((h) => el('th', { text: h })))),
    el('tbody', {}, ...rows));
}

async function inbox(search, offset = 0) {
  const query = new URLSearchParams({ q: search, offset: String(offset) });
  const { status, body } = await api(`/api/inbox?${query}`);
  if (!session.user) return;
  const field = el('input', { type: 'search', id: 'search', value: search,
    placeholder: 'Rechercher des mots dans les messages des utilisateurs et leurs adresses' });
  const form = el('form', { class: 'search', onsubmit: (event) => {
    event.preventDefault();
    location.hash = '#/?q=' + encodeURIComponent(field.value.trim());
  } }, field, el('button', { type: 'submit', text: 'Rechercher' }));
  if (status !== 200) return show('Boîte de réception', form, problem(body.error));
  const rows = body.conversations.map((c) => el('tr', { class: c.new ? 'new' : '' },
    el('td', {}, c.new ? el('span', { class: 'tag', text: 'Nouveau' }) : null),
    el('td', {}, el('a', { href: '#/conversation/' + encodeURIComponent(c.device),
      title: c.device }, visibleText(shortId(c.device)))),
    el('td', { class: 'address', title: c.email }, visibleText(c.email)),
    el('td', {}, visibleText(c.version)),
    el('td', {}, visibleText(c.system)),
    el('td', { class: 'preview' }, visibleText(firstLine(c.preview))),
    el('td', { text: ago(c.at), title: dateText(c.at) })));
  const list = rows.length
    ? table(['', 'Appareil', 'E-mail', 'Version', 'Système', 'Dernier message', 'Quand'], rows)
    : el('p', { class: 'empty', text: search ? 'Aucune conversation ne contient ce texte.'
                                             : 'Aucune conversation pour le moment.' });
  const pages = el('p', {},
    offset > 0 ? el('button', { type: 'button', text: 'Précédentes',
      onclick: () => inbox(search, Math.max(0, offset - body.conversations.length)) }) : null,
    body.more ? el('button', { type: 'button', text: 'Suivantes',
      onclick: () => inbox(search, offset + body.conversations.length) }) : null);
  show('Boîte de réception', form, list, pages);
}

const WHO = { report: "Signalement de l'utilisateur", reply: "Réponse de l'utilisateur" };
const STATE = { queued: 'en file, pas encore proposée', offered: "proposée à l'appareil",
                acknowledged: "reçue par l'appareil", retracted: 'retirée' };

async function conversation(device) {
  const { status, body } = await api('/api/conversation?device=' + encodeURIComponent(device));
  if (!session.user) return;
  const title = "Conversation avec l'appareil " + shortId(device);
  if (status !== 200) return show(title, problem(body.error));
  const d = body.device;
  const facts = el('dl', { class: 'facts' },
    el('dt', { text: 'Appareil' }), el('dd', {}, visibleText(d.id)),
    el('dt', { text: 'Vu la première fois' }), el('dd', { text: dateText(d.firstSeen) }),
    el('dt', { text: 'Vu la dernière fois' }), el('dd', { text: dateText(d.lastSeen) }),
    el('dt', { text: 'Version' }), el('dd', {}, visibleText(d.version)),
    el('dt', { text: 'Système' }), el('dd', {}, visibleText(d.system)),
    el('dt', { text: 'Adresses e-mail' }),
    el('dd', { class: 'address', title: d.emails.join(', ') },
       d.emails.length ? visibleText(d.emails.join(', ')) : 'aucune'));
  const messages = el('ol', { class: 'messages' }, ...body.entries.map((m) => {
    const maker = m.kind === 'maker';
    const who = maker ? (m.author ? `Le fabricant (${m.author})` : 'Le fabricant (commande)')
                      : WHO[m.kind] ?? m.kind;
    const line = el('div', {}, el('span', { class: 'who', text: who }),
      el('span', { class: 'meta', text: dateText(m.at) }),
      !maker && m.email ? el('span', { class: 'meta' }, visibleText(m.email)) : null,
      maker ? el('span', { class: 'tag state', text: STATE[m.state] ?? m.state }) : null);
    if (maker && m.state === 'queued') // once offered, it may be on the screen
      line.append(' ', el('button', { type: 'button', class: 'retract', text: 'Retirer',
        onclick: async () => {
          const answer = await api('/api/retract', { id: m.id });
          if (answer.status === 200) conversation(device);
          else line.append(problem(answer.body.error));
        } }));
    return el('li', { class: maker ? 'maker' : 'user' }, line,
              el('div', { class: 'text' }, visibleText(m.text)));
  }));
  const text = el('textarea', { id: 'reply-text', 'aria-label': 'Votre réponse' });
  const count = el('span', { class: 'meta', text: '0 / 4000' });
  text.addEventListener('input', () => { count.textContent = `${text.value.length} / 4000`; });
  const error = el('p', { class: 'error', role: 'alert' });
  const reply = el('form', { class: 'reply', onsubmit: async (event) => {
    event.preventDefault();
    const answer = await api('/api/reply', { device, text: text.value });
    if (answer.status === 200) conversation(device);
    else error.textContent = answer.body.error || 'Réponse refusée.';
  } }, text, el('div', { class: 'row' },
    el('button', { type: 'submit', class: 'primary', text: 'Envoyer' }), count), error);
  const handled = d.new ? el('button', { type: 'button', id: 'handled', text: 'Traité',
    onclick: async () => {
      const answer = await api('/api/handled', { device });
      if (answer.status === 200) conversation(device);
      else error.textContent = answer.body.error;
    } }) : el('span', { class: 'tag', text: 'rien de nouveau' });
  const crashes = body.crashes.length
    ? table(['Plantage', 'Occurrences', 'Vu pour la dernière fois'], body.crashes.map((c) => el('tr', {},
        el('td', {}, el('a', { href: '#/plantage/' + encodeURIComponent(c.signature) },
          visibleText(c.title || firstLine(c.message)))),
        el('td', { text: frenchCount(c.count) }), el('td', { text: dateText(c.lastSeen) }))))
    : el('p', { class: 'empty', text: 'Aucun plantage.' });
  // The user's data: given back as a file, or erased after a second, explicit click.
  const exportLink = el('button', { type: 'button', id: 'export', text: 'Exporter ses données',
    onclick: async () => {
      const answer = await api('/api/export?device=' + encodeURIComponent(device));
      if (answer.status !== 200) return (error.textContent = answer.body.error);
      const file = new Blob([JSON.stringify(answer.body, null, 2)], { type: 'application/json' });
      const link = el('a', { href: URL.createObjectURL(file), download: 'appareil-' + device + '.json' });
      link.click();
      URL.revokeObjectURL(link.href);
    } });
  const confirmForget = el('button', { type: 'button', id: 'forget-confirm', class: 'danger',
    text: 'Oui, tout effacer', hidden: '', onclick: async () => {
      const answer = await api('/api/forget', { device });
      if (answer.status === 200) location.hash = '#/';
      else error.textContent = answer.body.error;
    } });
  const forget = el('button', { type: 'button', id: 'forget', text: 'Effacer ses données…',
    onclick: () => {
      forget.hidden = true;
      confirmForget.hidden = false;
      warning.hidden = false;
    } });
  // Blocked: its reports are kept, out of the inbox and of the notifications.
  const block = el('button', { type: 'button', id: 'block',
    text: d.blocked ? 'Débloquer' : 'Bloquer', onclick: async () => {
      const answer = await api('/api/block', { device, blocked: !d.blocked });
      if (answer.status === 200) conversation(device);
      else error.textContent = answer.body.error;
    } });
  const warning = el('span', { class: 'error', hidden: '',
    text: 'Les messages, les plantages et les adresses de cet appareil seront effacés pour de bon.' });
  show(title, facts, el('p', { class: 'data' }, handled, ' ', block, ' ', exportLink, ' ', forget,
                        ' ', warning,
                        ' ', confirmForget),
       el('h2', { text: 'Messages' }), messages,
       el('h2', { text: 'Répondre' }), reply, el('h2', { text: 'Plantages de cet appareil' }),
       crashes);
}

// What the maker decided of a group, as a tag.
function stateTag(g) {
  const text = { new: 'Nouveau', ignored: 'Ignoré', resolved: 'Résolu en ' + g.stateVersion,
                 regressed: 'Régression en ' + g.stateVersion }[g.state] || g.state;
  return el('span', { class: 'tag state-' + g.state }, visibleText(text));
}

// A group's last 14 days as a line of bars, read out as its counts.
function trendOf(counts) {
  const most = Math.max(1, ...counts);
  const bars = counts.map((n) => (n === 0 ? '·' : '▁▂▃▄▅▆▇█'[Math.min(7, Math.floor(7 * n / most))]));
  return el('span', { class: 'trend', 'aria-label': '14 derniers jours\u00a0: ' + counts.join(', '),
                      title: counts.join(' · ') }, bars.join(''));
}

// The share of a version's active devices that did not crash, "97,5 %".
function crashFree(crashed, active) {
  if (!active) return '–';
  const share = 100 * (active - Math.min(crashed, active)) / active;
  return share.toLocaleString('fr-FR', { maximumFractionDigits: 1 }) + '\u00a0%';
}

async function crashes() {
  const { status, body } = await api('/api/crashes');
  if (!session.user) return;
  if (status !== 200) return show('Plantages', problem(body.error));
  const versions = body.versions.length
    ? table(['Version', 'Appareils (aujourd’hui)', 'Sans plantage (aujourd’hui)',
             'Appareils (7 jours)', 'Sans plantage (7 jours)'], body.versions.map((v) =>
        el('tr', {}, el('td', {}, visibleText(v.version)), el('td', { text: frenchCount(v.activeToday) }),
          el('td', { text: crashFree(v.crashedToday, v.activeToday) }),
          el('td', { text: frenchCount(v.activeWeek) }),
          el('td', { text: crashFree(v.crashedWeek, v.activeWeek) }))))
    : el('p', { class: 'empty', text: 'Aucun appareil vu ces 7 derniers jours.' });
  const rows = body.groups.map((g) => el('tr', {},
    el('td', {}, el('a', { href: '#/plantage/' + encodeURIComponent(g.signature) },
      visibleText(g.title)), ' ', stateTag(g)),
    el('td', { class: 'preview' }, visibleText(firstLine(g.message))),
    el('td', { text: frenchCount(g.count) }), el('td', { text: frenchCount(g.devices) }),
    el('td', {}, visibleText(g.versions.join(', '))), el('td', {}, trendOf(g.trend)),
    el('td', { text: dateText(g.firstSeen) }), el('td', { text: dateText(g.lastSeen) })));
  show('Plantages', el('h2', { text: 'Versions' }), versions, el('h2', { text: 'Groupes' }),
    rows.length
      ? table(['Plantage', 'Message', 'Occurrences', 'Appareils', 'Versions', '14 jours', 'Vu pour la première fois',
               'Vu pour la dernière fois'], rows)
      : el('p', { class: 'empty', text: 'Aucun plantage reçu.' }));
}

async function crashGroup(signature) {
  const { status, body } = await api('/api/crash?signature=' + encodeURIComponent(signature));
  if (!session.user) return;
  if (status !== 200) return show('Plantage', problem(body.error));
  const g = body.group;
  const devices = table(['Appareil', 'Occurrences', 'Vu pour la dernière fois'], body.devices.map((d) =>
    el('tr', {}, el('td', {}, el('a', { href: '#/conversation/' + encodeURIComponent(d.device),
      title: d.device }, visibleText(shortId(d.device)))),
    el('td', { text: frenchCount(d.count) }), el('td', { text: dateText(d.lastSeen) }))));
  // From the fault on: the program's frames named from its build's symbols (function, file and
  // line), the system's by module and offset.
  const frames = g.frames.some((f) => f.own && f.function)
    ? el('ol', { class: 'frames' }, ...g.frames.map((f) => f.own && f.function
      ? el('li', {}, el('code', {}, visibleText(f.function)), ' ',
          el('span', { class: 'where' }, visibleText(f.file.split('/').pop() + ':' + f.line)))
      : el('li', { class: 'system' }, visibleText(f.module + ' +' + f.offset))))
    : el('p', { class: 'empty',
                text: 'Pas de symboles pour cette version : velmora-service symbols add.' });
  const contextNames = { session: 'Session', desktop: 'Bureau', qt: 'Qt', mode: 'Mode' };
  const context = Object.keys(contextNames).filter((k) => g.context[k]).flatMap((k) =>
    [el('dt', { text: contextNames[k] }), el('dd', {}, visibleText(g.context[k]))]);
  const error = el('p', { class: 'error' });
  const decide = async (state, version) => {
    const answer = await api('/api/crash-state', { signature, state, version });
    if (answer.status === 200) crashGroup(signature);
    else error.textContent = answer.body.error;
  };
  const version = el('input', { id: 'resolved-version', size: '8', placeholder: '1.0.2',
                                'aria-label': 'Version qui le corrige' });
  const decisions = el('form', { class: 'decisions', onsubmit: (event) => {
      event.preventDefault();
      decide('resolved', version.value);
    } }, stateTag(g), ' ', version,
    el('button', { type: 'submit', id: 'resolve', text: 'Résolu dans cette version' }),
    g.state === 'ignored' || g.state === 'resolved'
      ? el('button', { type: 'button', id: 'reopen', text: 'Rouvrir',
                       onclick: () => decide('new', '') })
      : el('button', { type: 'button', id: 'ignore', text: 'Ignorer',
                       onclick: () => decide('ignored', '') }), error);
  show('Plantage\u00a0: ' + g.title, decisions,
    el('dl', { class: 'facts' },
      el('dt', { text: 'Message' }), el('dd', {}, visibleText(g.message)),
      el('dt', { text: 'Occurrences' }), el('dd', { text: frenchCount(g.count) }),
      el('dt', { text: 'Versions' }), el('dd', {}, visibleText(g.versions.join(', '))),
      el('dt', { text: 'Vu pour la première fois' }), el('dd', { text: dateText(g.firstSeen) }),
      el('dt', { text: 'Vu pour la dernière fois' }), el('dd', { text: dateText(g.lastSeen) }),
      el('dt', { text: 'Signature' }), el('dd', { text: g.signature }), ...context),
    el('h2', { text: 'Fonctions du programme' }), frames,
    el('h2', { text: 'Pile du premier plantage' }),
    el('pre', { class: 'stack' }, visibleText(g.stack)),
    el('h2', { text: 'Appareils touchés' }), devices);
}

function route() {
  if (!session.user) return;
  const hash = location.hash || '#/';
  $('nav-inbox').classList.toggle('current', !hash.startsWith('#/plantage'));
  $('nav-crashes').classList.toggle('current', hash.startsWith('#/plantage'));
  if (hash.startsWith('#/conversation/'))
    return conversation(decodeURIComponent(hash.slice('#/conversation/'.length)));
  if (hash === '#/plantages') return crashes();
  if (hash.startsWith('#/plantage/'))
    return crashGroup(decodeURIComponent(hash.slice('#/plantage/'.length)));
  const search = hash.startsWith('#/?q=') ? decodeURIComponent(hash.slice(5)) : '';
  return inbox(search);
}

async function start() {
  $('login').addEventListener('submit', async (event) => {
    event.preventDefault();
    const { status, body } = await api('/api/login',
      { name: $('login-name').value, password: $('login-password').value });
    $('login-password').value = '';
    if (status === 200) {
      $('login-error').textContent = '';
      signedIn(body.user, body.csrf);
    } else {
      $('login-error').textContent = body.error || 'Connexion impossible.';
    }
  });
  $('logout').addEventListener('click', async () => {
    await api('/api/logout', {});
    showLogin();
  });
  $('refresh').addEventListener('click', route);
  window.addEventListener('hashchange', route);
  setInterval(() => {
    if (session.user && document.visibilityState === 'visible') api('/api/session');
  }, WAITING_POLL_MS);
  const { status, body } = await api('/api/session');
  if (status === 200) signedIn(body.user, body.csrf);
  else showLogin();
}

start();
