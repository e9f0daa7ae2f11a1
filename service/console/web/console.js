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

// Wide tables scroll inside their own box in a narrow window, never the page.
function table(headings, rows) {
  return el('div', { class: 'table' }, el('table', {},
    el('thead', {}, el('tr', {}, ...headings.map((h) => el('th', { text: h })))),
    el('tbody', {}, ...rows)));
}

// The inbox's search, filters and page, as they stand in the address ("#/?q=…&attente=1").
function inboxState(params) {
  return { q: params.get('q') ?? '', waiting: params.get('attente') === '1',
           email: params.get('adresse') === '1', version: params.get('version') ?? '',
           offset: Math.max(0, Number(params.get('depuis')) || 0) };
}

function inboxAddress(state) {
  const params = new URLSearchParams();
  if (state.q) params.set('q', state.q);
  if (state.waiting) params.set('attente', '1');
  if (state.email) params.set('adresse', '1');
  if (state.version) params.set('version', state.version);
  if (state.offset) params.set('depuis', String(state.offset));
  const query = params.toString();
  return '#/' + (query ? '?' + query : '');
}

// The conversations last listed, for j and k to move through from a conversation too.
const listed = { devices: [], address: '#/', cursor: -1 };

function moveCursor(rows, to) {
  if (!rows.length) return;
  listed.cursor = Math.max(0, Math.min(rows.length - 1, to));
  rows.forEach((row, i) => row.classList.toggle('current', i === listed.cursor));
  rows[listed.cursor].scrollIntoView({ block: 'nearest' });
  rows[listed.cursor].querySelector('a').focus({ preventScroll: true });
}

async function inbox(state) {
  const query = new URLSearchParams({ q: state.q, offset: String(state.offset) });
  if (state.waiting) query.set('waiting', '1');
  if (state.email) query.set('email', '1');
  if (state.version) query.set('version', state.version);
  const { status, body } = await api(`/api/inbox?${query}`);
  if (!session.user) return;
  const field = el('input', { type: 'search', id: 'search', value: state.q,
    'aria-label': 'Rechercher',
    placeholder: 'Mots des messages et des réponses, adresse, début d’identifiant' });
  const waiting = el('input', { type: 'checkbox', id: 'filter-waiting' });
  const withEmail = el('input', { type: 'checkbox', id: 'filter-email' });
  waiting.checked = state.waiting;
  withEmail.checked = state.email;
  const version = el('input', { id: 'filter-version', size: '8', value: state.version,
                                placeholder: 'Version', 'aria-label': 'Version' });
  const form = el('form', { class: 'search', onsubmit: (event) => {
    event.preventDefault();
    location.hash = inboxAddress({ q: field.value.trim(), waiting: waiting.checked,
                                   email: withEmail.checked, version: version.value.trim() });
  } }, field, el('button', { type: 'submit', text: 'Rechercher' }),
  el('span', { class: 'filters' },
    el('label', {}, waiting, ' En attente'), el('label', {}, withEmail, ' Avec une adresse'),
    version));
  for (const box of [waiting, withEmail]) box.addEventListener('change', () => form.requestSubmit());
  if (status !== 200) return show('Boîte de réception', form, problem(body.error));
  listed.devices = body.conversations.map((c) => c.device);
  listed.address = location.hash || '#/';
  const selection = new Set();
  const handledSelected = el('button', { type: 'button', id: 'handled-selected', disabled: '',
    text: 'Traité', onclick: async () => {
      const answer = await api('/api/handled', { devices: [...selection] });
      if (answer.status === 200) route();
      else actions.append(problem(answer.body.error));
    } });
  const rows = body.conversations.map((c) => {
    const pick = el('input', { type: 'checkbox', 'aria-label': 'Choisir ' + shortId(c.device) });
    pick.addEventListener('click', (event) => event.stopPropagation());
    pick.addEventListener('change', () => {
      if (pick.checked) selection.add(c.device); else selection.delete(c.device);
      handledSelected.disabled = selection.size === 0;
      handledSelected.textContent = selection.size > 1 ? `Traité (${selection.size})` : 'Traité';
    });
    // The whole row opens its conversation.
    return el('tr', { class: 'open' + (c.new ? ' new' : ''), 'data-device': c.device,
                      onclick: () => { location.hash = '#/conversation/' + encodeURIComponent(c.device); } },
      el('td', {}, pick),
      el('td', {}, c.new ? el('span', { class: 'tag', text: 'Nouveau' }) : null),
      el('td', {}, el('a', { href: '#/conversation/' + encodeURIComponent(c.device),
        title: c.device }, visibleText(shortId(c.device)))),
      el('td', { class: 'address', title: c.email }, visibleText(c.email)),
      el('td', {}, visibleText(c.version)),
      el('td', {}, visibleText(c.system)),
      el('td', { class: 'preview' }, visibleText(firstLine(c.preview))),
      el('td', { text: ago(c.at), title: dateText(c.at) }));
  });
  const filtered = state.q || state.waiting || state.email || state.version;
  // How many a search or a filter found, "plus de 1 000" beyond what is counted.
  const count = el('p', { class: 'meta', id: 'found', 'aria-live': 'polite',
    text: body.found === null ? '' : body.found === 1 ? '1 conversation'
      : body.found > 1000 ? 'Plus de 1 000 conversations'
      : `${frenchCount(body.found)} conversations` });
  const actions = el('p', { class: 'actions' }, handledSelected);
  const list = rows.length
    ? table(['', '', 'Appareil', 'E-mail', 'Version', 'Système', 'Dernier message', 'Quand'], rows)
    : el('p', { class: 'empty', text: filtered ? 'Aucune conversation ne correspond.'
                                               : 'Aucune conversation pour le moment.' });
  const page = (offset) => () => { location.hash = inboxAddress({ ...state, offset }); };
  const pages = el('p', {},
    state.offset > 0 ? el('button', { type: 'button', text: 'Précédentes',
      onclick: page(Math.max(0, state.offset - 50)) }) : null,
    body.more ? el('button', { type: 'button', text: 'Suivantes',
      onclick: page(state.offset + body.conversations.length) }) : null);
  show('Boîte de réception', form, count, list, actions, pages);
  listed.cursor = -1;
}

const WHO = { report: "Signalement de l'utilisateur", reply: "Réponse de l'utilisateur" };
const STATE = { queued: 'en file, pas encore proposée', offered: "proposée à l'appareil",
                acknowledged: "reçue par l'appareil", retracted: 'retirée' };

// Where the answer's e-mail stands.
function mailTag(mail) {
  if (!mail) return null;
  const text = { sent: 'e-mail envoyé', pending: 'e-mail en attente', failed: 'e-mail en échec',
                 cancelled: 'e-mail annulé' }[mail.state] ?? mail.state;
  const why = mail.error ? (mail.state === 'pending'
    ? ` (essai ${mail.tries}, le prochain ${dateText(mail.nextTry)})\u00a0: ${mail.error}`
    : `\u00a0: ${mail.error}`) : '';
  return el('span', { class: 'mail mail-' + mail.state, title: mail.to },
            visibleText(`${text} à ${mail.to}${why}`));
}

function entryItem(m, device) {
  const maker = m.kind === 'maker';
  const who = maker ? (m.author ? `Le fabricant (${m.author})` : 'Le fabricant (commande)')
                    : WHO[m.kind] ?? m.kind;
  const line = el('div', {}, el('span', { class: 'who', text: who }),
    el('span', { class: 'meta', text: dateText(m.at) }),
    !maker && m.email ? el('span', { class: 'meta' }, visibleText(m.email)) : null,
    maker ? el('span', { class: 'tag state', text: STATE[m.state] ?? m.state }) : null,
    maker ? mailTag(m.mail) : null);
  if (maker && m.state === 'queued') // once offered, it may be on the screen
    line.append(' ', el('button', { type: 'button', class: 'retract', text: 'Retirer',
      onclick: async () => {
        const answer = await api('/api/retract', { id: m.id });
        if (answer.status === 200) conversation(device);
        else line.append(problem(answer.body.error));
      } }));
  return el('li', { class: maker ? 'maker' : 'user' }, line,
            el('div', { class: 'text' }, visibleText(m.text)));
}

// The answer being typed, kept in this browser per conversation until it is sent: a session's
// end or a closed tab loses nothing.
const draftKey = (device) => 'velmora-brouillon:' + device;

// A saved reply with the conversation's own facts put in.
function filledIn(text, facts) {
  return text.replaceAll('{email}', facts.email || '').replaceAll('{version}', facts.version || '');
}

async function savedReplies(text, facts, error) {
  const { status, body } = await api('/api/saved-replies');
  const picker = el('select', { id: 'saved-replies', 'aria-label': 'Réponses enregistrées' },
    el('option', { value: '', text: 'Réponses enregistrées…' }));
  if (status === 200)
    for (const saved of body.replies) picker.append(el('option', { value: String(saved.id) },
                                                       visibleText(saved.title)));
  // The one used last can be taken out of the list.
  const remove = el('button', { type: 'button', id: 'remove-saved', hidden: '' });
  picker.addEventListener('change', () => {
    const saved = body.replies?.find((r) => String(r.id) === picker.value);
    if (saved) {
      text.value = filledIn(saved.text, facts);
      text.dispatchEvent(new Event('input'));
      text.focus();
      remove.textContent = `Retirer « ${saved.title} » de la liste`;
      remove.hidden = false;
      remove.onclick = async () => {
        const answer = await api('/api/saved-reply-remove', { id: saved.id });
        if (answer.status !== 200) return (error.textContent = answer.body.error);
        picker.parentNode.replaceWith(await savedReplies(text, facts, error));
      };
    }
    picker.value = '';
  });
  const title = el('input', { id: 'saved-title', size: '16', placeholder: 'Nom',
                              'aria-label': 'Nom de la réponse enregistrée', hidden: '' });
  const save = el('button', { type: 'button', id: 'save-reply', text: 'Enregistrer la réponse',
    onclick: async () => {
      if (title.hidden) return (title.hidden = false, title.focus());
      const answer = await api('/api/saved-reply', { title: title.value, text: text.value });
      if (answer.status !== 200) return (error.textContent = answer.body.error);
      title.value = '';
      title.hidden = true;
      picker.parentNode.replaceWith(await savedReplies(text, facts, error));
    } });
  return el('span', { class: 'saved' }, picker, ' ', title, save, remove);
}

// The next conversation waiting for an answer after this one, or nothing.
async function nextWaiting(device) {
  const { status, body } = await api('/api/inbox?waiting=1');
  if (status !== 200) return null;
  return body.conversations.map((c) => c.device).find((d) => d !== device) ?? null;
}

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
  const messages = el('ol', { class: 'messages' }, ...body.entries.map((m) => entryItem(m, device)));
  // The newest entries first shown; older ones a page at a time, above them.
  let oldest = body.entries[0];
  const older = el('button', { type: 'button', id: 'older', text: 'Plus anciens',
    onclick: async () => {
      const more = await api('/api/conversation?device=' + encodeURIComponent(device) +
                             '&before=' + encodeURIComponent(`${oldest.kind}:${oldest.id}`));
      if (more.status !== 200) return older.after(problem(more.body.error));
      messages.prepend(...more.body.entries.map((m) => entryItem(m, device)));
      oldest = more.body.entries[0] ?? oldest;
      older.hidden = !more.body.older;
    } });
  older.hidden = !body.older;
  const text = el('textarea', { id: 'reply-text', 'aria-label': 'Votre réponse' });
  text.value = localStorage.getItem(draftKey(device)) ?? '';
  const count = el('span', { class: 'meta', text: `${text.value.length} / 4000` });
  text.addEventListener('input', () => {
    count.textContent = `${text.value.length} / 4000`;
    if (text.value) localStorage.setItem(draftKey(device), text.value);
    else localStorage.removeItem(draftKey(device));
  });
  const error = el('p', { class: 'error', role: 'alert' });
  const byMail = el('input', { type: 'checkbox', id: 'reply-email' });
  const mailChoice = body.mail && d.email
    ? el('label', { class: 'meta', title: d.email }, byMail, ' Envoyer aussi par e-mail à ',
         visibleText(d.email))
    : null;
  const reply = el('form', { class: 'reply', onsubmit: async (event) => {
    event.preventDefault();
    const answer = await api('/api/reply', { device, text: text.value, email: byMail.checked });
    if (answer.status !== 200) return (error.textContent = answer.body.error || 'Réponse refusée.');
    localStorage.removeItem(draftKey(device));
    // On to the next one waiting, as a support desk works through its queue.
    const next = await nextWaiting(device);
    if (next) location.hash = '#/conversation/' + encodeURIComponent(next);
    else conversation(device);
  } }, text, el('div', { class: 'row' },
    el('button', { type: 'submit', class: 'primary', text: 'Envoyer' }), count, mailChoice),
    error);
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
      if (answer.status !== 200) return (error.textContent = answer.body.error);
      localStorage.removeItem(draftKey(device));
      location.hash = '#/';
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
       el('h2', { text: 'Messages' }), older, messages,
       el('h2', { text: 'Répondre' }), el('p', {}, await savedReplies(text, d, error)), reply,
       el('h2', { text: 'Plantages de cet appareil' }), crashes);
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

async function crashes(offset = 0) {
  const { status, body } = await api('/api/crashes?offset=' + offset);
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
  // Groups 50 at a time, the page in the address.
  const page = (at) => () => { location.hash = '#/plantages' + (at ? '?depuis=' + at : ''); };
  const pages = el('p', {},
    offset > 0 ? el('button', { type: 'button', text: 'Précédents',
      onclick: page(Math.max(0, offset - 50)) }) : null,
    body.more ? el('button', { type: 'button', id: 'groups-next', text: 'Suivants',
      onclick: page(offset + body.groups.length) }) : null);
  show('Plantages', el('h2', { text: 'Versions' }), versions, el('h2', { text: 'Groupes' }),
    rows.length
      ? table(['Plantage', 'Message', 'Occurrences', 'Appareils', 'Versions', '14 jours', 'Vu pour la première fois',
               'Vu pour la dernière fois'], rows)
      : el('p', { class: 'empty', text: 'Aucun plantage reçu.' }), pages);
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
  const [path, query] = hash.split('?');
  const params = new URLSearchParams(query ?? '');
  $('nav-inbox').classList.toggle('current', !hash.startsWith('#/plantage'));
  $('nav-crashes').classList.toggle('current', hash.startsWith('#/plantage'));
  if (path.startsWith('#/conversation/'))
    return conversation(decodeURIComponent(path.slice('#/conversation/'.length)));
  if (path === '#/plantages') return crashes(Math.max(0, Number(params.get('depuis')) || 0));
  if (path.startsWith('#/plantage/'))
    return crashGroup(decodeURIComponent(path.slice('#/plantage/'.length)));
  return inbox(inboxState(params));
}

const KEYS = [['j', 'Conversation suivante'], ['k', 'Conversation précédente'],
              ['Entrée', 'Ouvrir la conversation choisie'], ['r', 'Répondre'],
              ['e', 'Traité'], ['/', 'Rechercher'], ['?', 'Cette aide'],
              ['Échap', 'Fermer l’aide, quitter un champ']];

function toggleHelp() {
  const open = $('help');
  if (open) return open.remove();
  document.body.append(el('div', { id: 'help', role: 'dialog', 'aria-label': 'Raccourcis clavier' },
    el('h2', { text: 'Raccourcis clavier' }),
    el('dl', {}, ...KEYS.flatMap(([key, what]) => [el('dt', {}, el('kbd', { text: key })),
                                                  el('dd', { text: what })])),
    el('button', { type: 'button', text: 'Fermer', onclick: toggleHelp })));
}

// j and k move through the conversations listed last, in the inbox or from one to the next.
function step(by) {
  const rows = [...document.querySelectorAll('main tbody tr.open')];
  if (rows.length) return moveCursor(rows, listed.cursor < 0 && by < 0 ? 0 : listed.cursor + by);
  const here = decodeURIComponent((location.hash.split('#/conversation/')[1] ?? ''));
  const at = listed.devices.indexOf(here);
  const next = listed.devices[at < 0 ? 0 : at + by];
  if (next) location.hash = '#/conversation/' + encodeURIComponent(next);
}

function onKey(event) {
  if (!session.user || event.ctrlKey || event.metaKey || event.altKey) return;
  const typing = event.target.closest?.('input, textarea, select');
  if (event.key === 'Escape') {
    $('help')?.remove();
    if (typing) typing.blur();
    return;
  }
  if (typing) return;
  const click = (id) => { const button = $(id); if (button) button.click(); };
  const actions = {
    j: () => step(1), k: () => step(-1), '?': toggleHelp,
    '/': () => { if ($('search')) $('search').focus(); else location.hash = '#/'; },
    r: () => $('reply-text')?.focus(),
    e: () => {
      const row = document.querySelector('main tbody tr.open.current');
      if (row) api('/api/handled', { device: row.dataset.device }).then(route);
      else click('handled');
    },
    Enter: () => document.querySelector('main tbody tr.open.current')?.click(),
  };
  if (!actions[event.key]) return;
  // Enter on a link or a button does what they do.
  if (event.key === 'Enter' && event.target.closest?.('button')) return;
  event.preventDefault();
  actions[event.key]();
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
  document.addEventListener('keydown', onKey);
  $('help-button').addEventListener('click', toggleHelp);
  setInterval(() => {
    if (session.user && document.visibilityState === 'visible') api('/api/session');
  }, WAITING_POLL_MS);
  const { status, body } = await api('/api/session');
  if (status === 200) signedIn(body.user, body.csrf);
  else showLogin();
}

start();
