// Accounts: the appliance's own web users and their rights.
import { call, may, session } from '../gateway.js';
import { attrs, confirmed, failed, fill, form, h, run, section, status, table } from '../dom.js';

const SECTIONS = ['accesskeys', 'cameras', 'canbus', 'devvirt', 'elements', 'groups', 'gsm', 'languages', 'log',
  'logics', 'modules', 'notify', 'relays', 'sdcard', 'system', 'users', 'view'];

export const view = {
  id: 'accounts',
  title: 'Accounts',
  shown: () => may('users', 'read'),
  render(main) {
    const list = h('div', { class: 'place' }, 'Loading…');
    const editor = h('div', { class: 'place' });
    const reload = () => load(list, editor, reload);
    main.append(section('Accounts', list,
      may('users', 'write') ? h('button', { type: 'button', onclick: () => edit(editor, null, reload) }, 'Add account') : null), editor);
    reload();
  },
};

function rights(list) {
  return list.includes('all') ? 'all' : list.split(',').filter(Boolean).join(', ') || 'none';
}

async function load(list, editor, reload) {
  const reply = await call('getuser');
  if (!reply.ok) return failed(list, reply);
  const users = reply.nodes.find((n) => n.tagName === 'users');
  const rows = users ? [...users.children].map(attrs) : [];
  const writable = may('users', 'write');
  fill(list, table(['Name', 'Reads', 'Writes', ''], rows.map((u) => {
    const line = status();
    const self = String(session()?.id) === u.id;
    return [u.name, rights(u.sread), rights(u.swrite), writable
      ? h('span', { class: 'row-actions' },
        h('button', { type: 'button', onclick: () => edit(editor, u, reload) }, 'Change'),
        self ? null : confirmed('Delete', () => run(line, () => call('deluser', { id: u.id })).then((r) => r.ok && reload())),
        line)
      : ''];
  }), 'No active accounts.'));
}

// The rights as check boxes, read and write for each section.
function grid(user) {
  const has = (list, name) => Boolean(list) && (list.includes('all') || list.includes(`${name},`));
  const box = (level, name, list) => h('label', {}, h('input', { type: 'checkbox', 'data-level': level,
    'data-section': name, 'aria-label': `${level} ${name}`, checked: has(list, name) }), level);
  return h('fieldset', { class: 'rights' }, h('legend', {}, 'Rights'), ['all', ...SECTIONS].map((name) =>
    h('div', {}, h('span', {}, name), box('read', name, user?.sread), box('write', name, user?.swrite))));
}

function chosen(fieldset, level) {
  const on = [...fieldset.querySelectorAll(`input[data-level="${level}"]:checked`)].map((b) => b.dataset.section);
  return on.includes('all') ? 'all' : on.map((s) => `${s},`).join('');
}

function edit(editor, user, reload) {
  const rights = grid(user);
  const rows = [
    { name: 'name', label: 'Name', value: user?.name, required: true },
    { name: 'h', label: user ? 'New password (empty keeps it)' : 'Password', type: 'password', required: !user },
  ];
  const close = h('button', { type: 'button', onclick: () => fill(editor) }, 'Close');
  fill(editor, section(user ? `Change ${user.name}` : 'New account', form(rows, user ? 'Save' : 'Add', async (values, line) => {
    const fields = { name: values.name, sread: chosen(rights, 'read'), swrite: chosen(rights, 'write') };
    if (values.h) fields.h = values.h;
    if (user) fields.id = user.id;
    const reply = await run(line, () => call('adduser', fields), user ? 'Saved.' : 'Added.');
    if (!reply.ok) return;
    if (!user) line.closest('form').reset();
    reload();
  }, [close], rights)));
  editor.querySelector('input')?.focus();
}
