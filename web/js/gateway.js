// Talking to the appliance: every command is a form POST to engine.cgi; the
// reply is XML (often several elements side by side, or nothing at all).
// The session key from the log-in reply is kept for this tab only.

const ENGINE = '/cgi-bin/engine.cgi';
const STORE = 'console.session';

// Error codes after which the session is of no more use: the key is refused,
// missing, or the account lacks the right. The operator logs in again.
const SESSION_ENDS = {
  '-101': 'You do not have the right for that. Log in with an account that has it.',
  '-102': 'Your session has ended. Please log in again.',
  '-103': 'Your session has ended. Please log in again.',
};

let sessionEnded = () => {};

export function onSessionEnd(handler) {
  sessionEnded = handler;
}

export function session() {
  try {
    return JSON.parse(sessionStorage.getItem(STORE));
  } catch {
    return null;
  }
}

export function forget() {
  sessionStorage.removeItem(STORE);
}

// Whether the logged-in account holds a section at a level ('read' or
// 'write'). Lists are section names each followed by a comma, or "all".
export function may(section, level) {
  const user = session();
  if (!user) return false;
  const has = (list) => list.includes('all') || list.includes(section + ',');
  return has(user.swrite) || (level === 'read' && has(user.sread));
}

// The gateway decodes some values twice (names and messages of notifiers,
// key holders): those are percent-encoded once more before the form's own
// encoding, so that '%' and '+' reach the appliance as typed.
function form(querytype, fields, twice) {
  const body = new URLSearchParams();
  body.append('querytype', querytype);
  for (const [name, value] of Object.entries(fields)) {
    if (value === undefined || value === null) continue;
    body.append(name, twice.includes(name) ? encodeURIComponent(value) : String(value));
  }
  const user = session();
  if (user) body.append('k', user.k);
  return body;
}

// Texts such as account names are written into some replies unescaped; a
// bare '&' or a '<' inside an attribute value is mended so that the reply
// still reads, and shown as the text it was.
function mend(text) {
  return text
    .replace(/&(?!(amp|lt|gt|quot|apos|#[0-9]+|#x[0-9a-fA-F]+);)/g, '&amp;')
    .replace(/="([^"]*)"/g, (all, value) => '="' + value.replace(/</g, '&lt;') + '"');
}

function parse(text) {
  const parser = new DOMParser();
  for (const candidate of [text, mend(text)]) {
    const doc = parser.parseFromString(`<reply>${candidate}</reply>`, 'application/xml');
    if (!doc.getElementsByTagName('parsererror').length) return doc.documentElement;
  }
  return null;
}

// A reply: { ok, error, nodes }. ok with nodes (the reply's elements, maybe
// none); or error, the text to show where the answer would have been.
export function read(text) {
  const root = parse(text);
  if (!root) return { ok: false, error: 'The appliance answered something that cannot be read.', nodes: [] };
  const nodes = [...root.children];
  const only = nodes.length === 1 && nodes[0].tagName === 'error' ? nodes[0] : null;
  if (!only) return { ok: true, error: null, nodes };
  const type = only.getAttribute('type') || 'error';
  const code = only.getAttribute('code');
  if (type === 'no error' || only.getAttribute('success') === 'true') return { ok: true, error: null, nodes: [] };
  // Only a session that was there can end (a log-in answers for itself).
  if (code in SESSION_ENDS && session()) {
    forget();
    sessionEnded(SESSION_ENDS[code]);
  }
  return { ok: false, error: type, nodes: [], code };
}

async function send(url, init) {
  try {
    return await fetch(url, { cache: 'no-store', ...init });
  } catch {
    return null;
  }
}

// One command. twice: the names of fields the gateway decodes twice.
export async function call(querytype, fields = {}, twice = []) {
  const res = await send(ENGINE, { method: 'POST', body: form(querytype, fields, twice) });
  if (!res) return { ok: false, error: 'The appliance cannot be reached.', nodes: [] };
  if (!res.ok) return { ok: false, error: `The web server answered ${res.status}.`, nodes: [] };
  return read(await res.text());
}

export async function login(name, password) {
  forget();
  const reply = await call('auth', { name, h: password });
  const user = reply.nodes.find((n) => n.tagName === 'user');
  if (!reply.ok || !user) return reply.ok ? { ok: false, error: 'The appliance did not log you in.' } : reply;
  const fields = ['id', 'k', 'name', 'sread', 'swrite'];
  sessionStorage.setItem(STORE, JSON.stringify(Object.fromEntries(fields.map((f) => [f, user.getAttribute(f) || '']))));
  return { ok: true };
}

// A file download from one of the gateway's file endpoints. The key goes in
// a form body, never in the address, where access logs, the history and
// Referer headers would keep it. Success gives { ok, blob }; a refusal or a
// daemon that is down gives the error text.
export async function download(endpoint, fields = {}) {
  const user = session();
  const body = new URLSearchParams({ k: user ? user.k : '', ...fields });
  const res = await send(`/cgi-bin/${endpoint}.cgi`, { method: 'POST', body });
  if (!res) return { ok: false, error: 'The appliance cannot be reached.' };
  const type = res.headers.get('Content-Type') || '';
  if (res.status === 403) return { ok: false, error: 'You do not have the right to download this file.' };
  if (res.status === 404) return { ok: false, error: 'There is no such file on the appliance.' };
  if (!res.ok) return { ok: false, error: 'The appliance could not provide the file.' };
  // A file that is itself XML (a language) comes as an attachment.
  if (type.startsWith('text/xml') && !res.headers.has('Content-Disposition')) return read(await res.text());
  return { ok: true, blob: await res.blob() };
}

// A file upload: the session key first, then the file as the part filedata.
// query: parameters that the endpoint takes from the address (a language's
// file name).
export async function upload(endpoint, file, query = {}) {
  const user = session();
  const data = new FormData();
  data.append('k', user ? user.k : '');
  data.append('filedata', file, file.name);
  const search = new URLSearchParams(query).toString();
  const res = await send(`/cgi-bin/${endpoint}.cgi${search ? `?${search}` : ''}`, { method: 'POST', body: data });
  if (!res) return { ok: false, error: 'The appliance cannot be reached.', nodes: [] };
  return read(await res.text());
}
