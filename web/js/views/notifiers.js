// Notifiers: mail, SMS and trap destinations of the notification daemon.
// Each kind is a row of data: its commands, the fields its form shows, the
// fields the gateway decodes twice, and what its test sends.
import { call, may } from '../gateway.js';
import { attrs, confirmed, fill, failed, form, h, run, section, state, status, table } from '../dom.js';
import { SNMP_V3_FIELDS, SNMP_VERSION } from '../snmp.js';

const YES_NO = [['false', 'no'], ['true', 'yes']];

const KINDS = [
  {
    type: 'mail', noun: 'mail', title: 'Mail notifiers', add: 'addmail', del: 'delmail',
    twice: ['name', 'password', 'message'],
    fields: [
      { name: 'name', label: 'Name', required: true },
      { name: 'server', label: 'SMTP server', required: true },
      { name: 'port', label: 'Port', type: 'number', value: '25' },
      { name: 'ssl_active', label: 'SSL', type: 'select', options: YES_NO },
      { name: 'starttls', label: 'STARTTLS', type: 'select', options: YES_NO },
      { name: 'login', label: 'Login' },
      { name: 'password', label: 'Password', type: 'password' },
      { name: 'from', label: 'From', type: 'email' },
      { name: 'to', label: 'To', hint: 'addresses separated by commas', required: true },
      { name: 'message', label: 'Message' },
    ],
    destination: (d) => d.to,
    // The test mail goes with the notifier's settings; its message is sent
    // as it is (decoded once).
    test: (d) => call('testmessage', { type: 'mail', ...pick(d, ['name', 'server', 'port', 'ssl_active', 'starttls',
      'login', 'password', 'from', 'to']), message: 'Test message from the appliance' }, ['name', 'password']),
  },
  {
    type: 'sms', noun: 'SMS', title: 'SMS notifiers', add: 'addsms', del: 'delsms',
    twice: ['name', 'message'],
    fields: [
      { name: 'name', label: 'Name', required: true },
      { name: 'to_phone', label: 'Phone numbers', hint: 'separated by commas', required: true },
      { name: 'message', label: 'Message' },
    ],
    destination: (d) => d.to_phone,
    test: (d) => call('send_sms_message', { to_phone: d.to_phone, message: 'Test message from the appliance' }),
  },
  {
    type: 'trap', noun: 'trap', title: 'Trap notifiers', add: 'addtrap', del: 'deltrap',
    twice: ['name', 'message'],
    fields: [
      { name: 'name', label: 'Name', required: true },
      { name: 'server', label: 'Manager', required: true },
      { name: 'port', label: 'Port', type: 'number', value: '162' },
      { ...SNMP_VERSION, value: '2' },
      { name: 'comunity', label: 'Community', value: 'public' },
      ...SNMP_V3_FIELDS,
      { name: 'message', label: 'Message' },
    ],
    destination: (d) => (d.server ? `${d.server}:${d.port}` : ''),
    test: (d) => call('testmessage', { type: 'trap', ...pick(d, ['server', 'port', 'version', 'comunity', 'user', 'level',
      'auth_type', 'auth_pass', 'priv_type', 'priv_pass']) }),
  },
];

function pick(object, names) {
  return Object.fromEntries(names.filter((n) => n in object).map((n) => [n, object[n]]));
}

export const view = {
  id: 'notifiers',
  title: 'Notifiers',
  shown: () => true,
  render(main) {
    const list = h('div', { class: 'place' }, 'Loading…');
    const editor = h('div', { class: 'place' });
    main.append(section('Notifiers', list), editor);
    const reload = () => load(list, editor, reload);
    reload();
  },
};

async function load(list, editor, reload) {
  const [reply, modules] = await Promise.all([call('getelement'), call('getmodule')]);
  if (!reply.ok) return failed(list, reply);
  // The notification daemon publishes its three lists as modules while it
  // runs; without them it is down.
  if (modules.ok && !modules.nodes.some((m) => m.getAttribute('type') === 'notifier list')) {
    return failed(list, { error: 'module is not loaded' });
  }
  const elements = reply.nodes.filter((n) => n.getAttribute('clas') === 'notifier').map(attrs);
  const writable = may('notify', 'write');
  fill(list, KINDS.map((kind) => {
    const mine = elements.filter((e) => e.type === kind.type);
    const rows = mine.map((e) => {
      const where = h('span', {}, '…');
      const line = status();
      const actions = h('span', { class: 'row-actions' });
      describe(e.id).then((d) => {
        if (!d.ok) return failed(where, d);
        fill(where, kind.destination(d.details) || '');
        if (!writable) return;
        fill(actions,
          h('button', { type: 'button', onclick: () => edit(editor, kind, d.details, reload) }, 'Edit'),
          h('button', { type: 'button', onclick: () => run(line, () => kind.test(d.details), 'Test sent.') }, 'Send test'),
          confirmed('Delete', () => run(line, () => call(kind.del, { id: e.id })).then((r) => r.ok && reload())),
          line);
      });
      return [e.name, where, state(e.state), actions];
    });
    return h('div', { class: 'kind', 'data-kind': kind.type },
      h('h3', {}, kind.title),
      table(['Name', 'Destination', 'State', ''], rows, 'No notifiers of this kind.'),
      writable ? h('button', { type: 'button', onclick: () => edit(editor, kind, null, reload) }, `Add ${kind.noun} notifier`) : null);
  }));
}

// The notifier's whole description, from the daemon that keeps it.
async function describe(id) {
  const reply = await call('getelement', { id });
  const element = reply.nodes.find((n) => n.tagName === 'element');
  if (reply.ok && !element) return { ok: false, error: 'No description was given.' };
  return reply.ok ? { ok: true, details: attrs(element) } : reply;
}

function edit(editor, kind, details, reload) {
  const rows = kind.fields.map((f) => (details && f.name in details ? { ...f, value: details[f.name] } : f));
  const title = details ? `Change ${kind.noun} notifier` : `New ${kind.noun} notifier`;
  const close = h('button', { type: 'button', onclick: () => fill(editor) }, 'Close');
  fill(editor, section(title, form(rows, details ? 'Save' : 'Add', async (values, line) => {
    const fields = details ? { id: details.id, ...values } : values;
    const reply = await run(line, () => call(kind.add, fields, kind.twice), details ? 'Saved.' : 'Added.');
    if (!reply.ok) return;
    if (!details) line.closest('form').reset();
    reload();
  }, [close])));
  editor.querySelector('input')?.focus();
}
