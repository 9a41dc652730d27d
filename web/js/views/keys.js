// Access keys: the iButton keys the access daemon knows, its learning state
// and the access log.
import { call, may } from '../gateway.js';
import { attrs, confirmed, failed, fill, form, h, run, say, section, status, table, when } from '../dom.js';

export const view = {
  id: 'keys',
  title: 'Access keys',
  shown: () => may('accesskeys', 'read'),
  render(main) {
    const learning = h('div', { class: 'place' }, 'Loading…');
    const keys = h('div', { class: 'place' });
    const log = h('div', { class: 'place' });
    const writable = may('accesskeys', 'write');
    const reload = () => Promise.all([loadState(learning, writable, reload), loadKeys(keys, writable, reload), loadLog(log)]);
    main.append(section('Reader', learning), section('Keys', keys,
      writable ? form([
        { name: 'key', label: 'Key', required: true, hint: 'the key number, as the reader shows it' },
        { name: 'name', label: 'Holder', required: true },
      ], 'Add key', async (values, line) => {
        const reply = await run(line, () => call('adddbuser', values, ['name']), 'Key added.');
        if (!reply.ok) return;
        line.closest('form').reset();
        reload();
      }) : null), section('Access log', log));
    reload();
  },
};

// While learning, the view is read again every few seconds: the reader
// leaves learning by itself once it has taken a key. One such timer at most.
let poll = null;

async function loadState(place, writable, reload) {
  const reply = await call('getdbstate');
  if (!reply.ok) return failed(place, reply);
  const learning = reply.nodes[0]?.querySelector('state')?.getAttribute('name') === 'add';
  clearTimeout(poll);
  if (learning) poll = setTimeout(() => place.isConnected && reload(), 3000);
  const line = status();
  const toggle = h('button', { type: 'button' }, learning ? 'Stop learning' : 'Learn the next key');
  toggle.addEventListener('click', async () => {
    const reply = await run(line, () => call('setdbstate', { state: learning ? 'normal' : 'add' }));
    if (reply.ok) loadState(place, writable, reload);
    else if (!learning) say(line, `${reply.error} (take the key off the reader first)`, 'error');
  });
  fill(place, h('p', {}, learning
    ? 'Learning: the next key laid on the reader is added to the keys.'
    : 'Normal: keys laid on the reader are checked against the keys below.'),
  writable ? h('div', { class: 'actions' }, toggle, line) : null);
}

async function loadKeys(place, writable, reload) {
  const reply = await call('getdb');
  if (!reply.ok) return failed(place, reply);
  const entries = [...(reply.nodes[0]?.children || [])].map(attrs);
  fill(place, table(['Key', 'Holder', ''], entries.map((e) => {
    const line = status();
    return [h('code', {}, e.k), e.n, writable
      ? h('span', { class: 'row-actions' }, confirmed('Delete', () => run(line, () => call('deldbuser', { key: e.k }))
        .then((r) => r.ok && reload())), line)
      : ''];
  }), 'No keys yet.'));
}

// The daemon's own key log first, then the access entries of the event log.
async function loadLog(place) {
  const [own, events] = await Promise.all([call('getdblog'), may('log', 'read') ? call('log', { count: 200 }) : null]);
  if (!own.ok) return failed(place, own);
  const rows = [...(own.nodes[0]?.children || [])].map((n) => {
    const a = attrs(n);
    return [when(a.time), a.message || Object.entries(a).map(([k, v]) => `${k}=${v}`).join(' ')];
  });
  if (events?.ok) {
    const entries = events.nodes[0] ? [...events.nodes[0].children].map(attrs) : [];
    rows.push(...entries.filter((e) => e.type === 'access').map((e) => [when(e.time), e.message]));
  }
  fill(place, table(['Time', 'Event'], rows, 'No access yet.'));
}
