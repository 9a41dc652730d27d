// Devices: the elements and modules of the appliance with the commands that
// change or drive one of them, the power, the CAN bus, the SD card and the
// cameras. Lists and panels are rows of data, walked by one function each.
import { call, may } from '../gateway.js';
import { attrs, failed, fill, given, h, opens, section, state, table } from '../dom.js';
import { anyFamily, families } from './families.js';
import { panels } from './settings.js';

const NO_YES = [['0', 'no'], ['1', 'yes']];
const NAME = { name: 'name', label: 'Name', required: true };
const LIMITS = [['low', 'Lowest reading'], ['high', 'Highest reading'], ['low_alarm', 'Low alarm'],
  ['low_warning', 'Low warning'], ['high_warning', 'High warning'], ['high_alarm', 'High alarm'],
  ['at0', 'Reading at 0 %'], ['at75', 'Reading at 75 %'], ['expr', 'Expression']].map(([name, label]) => ({ name, label }));

// The settings an element's form shows, by class, or by class and type.
const ELEMENT_FIELDS = {
  sensor: [NAME, ...LIMITS],
  input: [NAME, { name: 'reverse', label: 'Reversed', type: 'select', options: NO_YES }],
  output: [NAME, { name: 'pulse', label: 'Pulse length' }, { name: 'initial', label: 'State at start' },
    { name: 'reverse', label: 'Reversed', type: 'select', options: NO_YES }],
  'device/ibutton': [NAME, { name: 'allowed', label: 'Allowed keys' }],
  'device/camera': [NAME, { name: 'resolution', label: 'Resolution' }, { name: 'fps', label: 'Frames per second' },
    { name: 'username', label: 'User' }, { name: 'password', label: 'Password', type: 'password' }],
  'device/gsm modem': [NAME, { name: 'sms_centre', label: 'SMS centre' }, { name: 'pin', label: 'PIN', type: 'password' },
    { name: 'operator', label: 'Operator' }, { name: 'balance', label: 'Balance request' },
    { name: 'verbosity', label: 'Verbosity' }],
};
ELEMENT_FIELDS['device/ip camera'] = ELEMENT_FIELDS['device/camera'];

const fieldsOf = (e) => ELEMENT_FIELDS[`${e.clas}/${e.type}`] || ELEMENT_FIELDS[e.clas];
const prefilled = (rows, item) => rows.map((f) => (f.name in item && f.type !== 'password' ? { ...f, value: item[f.name] } : f));

// Each list: how it is read, its columns, and the commands of one item
// (each with its right, the items it applies to and its fields). An empty
// field is not sent: the appliance keeps that value.
const LISTS = [
  {
    title: 'Elements', right: ['elements', 'read'], headings: ['Element', 'Kind', 'State', 'Value'],
    read: () => items('getelement', 'element', (e) => ['sensor', 'input', 'output', 'device'].includes(e.clas)),
    cells: (e) => [e.name, `${e.clas} / ${e.type}`, state(e.state), e.value],
    commands: [
      { label: 'Settings', right: ['elements', 'write'], when: (e) => Boolean(fieldsOf(e)), done: 'Saved.',
        fields: (e) => prefilled(fieldsOf(e), e), send: (e, v) => call('updateelement', { id: e.id, ...given(v) }, ['name']) },
      { label: 'Pulse', right: ['all', 'write'], when: (e) => e.clas === 'output', done: 'Pulse sent.',
        fields: () => [{ name: 'pulse', label: 'Pulse length' }], send: (e, v) => call('sendpulse', { id: e.id, ...given(v) }) },
    ],
  },
  {
    title: 'Modules', right: ['modules', 'read'], headings: ['Module', 'Kind', 'State'],
    read: () => items('getmodule', 'module', () => true),
    cells: (m) => [m.name, m.type, state(m.state)],
    commands: [
      { label: 'Settings', right: ['modules', 'write'], done: 'Saved.',
        fields: (m) => prefilled(['size', 'interval', 'relval', 'relmask'].map((name) => ({ name, label: name })), m),
        send: (m, v) => call('updatemodule', { id: m.id, ...given(v) }) },
      { label: 'Control', right: ['modules', 'write'],
        fields: () => [{ name: 'func', label: 'func', required: true }, { name: 'idelem', label: 'idelem' }, { name: 'value', label: 'value' }],
        send: (m, v) => call('ctlmodule', { id: m.id, ...given(v) }) },
    ],
  },
];

const CAN_IF = { name: 'if', label: 'Interface', value: 'can0', required: true };

// Panels of commands, walked like the settings groups.
const PANELS = [
  {
    title: 'Power', write: ['all', 'write'],
    commands: [
      { label: 'Switch the power', send: () => call('switchpower') },
      { label: 'Turn all logics and outlets off', confirm: true, send: () => call('fulloff') },
    ],
  },
  {
    title: 'CAN bus', read: ['canbus', 'read'], write: ['canbus', 'write'],
    commands: [
      { label: 'Read', right: ['canbus', 'read'], shows: true, fields: [CAN_IF], send: (v) => call('getcan', v) },
      { label: 'Save the configuration', fields: [CAN_IF], send: (v) => call('savecan', v) },
      { label: 'Remove a device', confirm: true, fields: [CAN_IF, { name: 'node_id', label: 'node_id', required: true }],
        send: (v) => call('deldevicecan', v) },
      { label: 'Control', fields: [CAN_IF, { name: 'mode', label: 'mode', required: true }], send: (v) => call('ctlcan', v) },
    ],
  },
  {
    title: 'SD card', get: 'getsdcard', read: ['sdcard', 'read'], write: ['sdcard', 'write'],
    fields: [{ name: 'state', label: 'State' }, { name: 'size', label: 'Size' }, { name: 'free', label: 'Free' }],
    commands: [{ label: 'Send', fields: [{ name: 'cmd', label: 'cmd', required: true, hint: 'for example mount or umount' }],
      send: (v) => call('setsdcard', v) }],
  },
];

async function items(querytype, tag, keep) {
  const reply = await call(querytype);
  if (!reply.ok) return reply;
  return { ok: true, items: reply.nodes.filter((n) => n.tagName === tag).map(attrs).filter(keep) };
}

const allowed = (right) => may(...right);

export const view = {
  id: 'devices',
  title: 'Devices',
  shown: () => LISTS.some((l) => allowed(l.right)) || PANELS.some((p) => allowed(p.write) || (p.read && allowed(p.read)))
    || anyFamily('devices'),
  render(main) {
    for (const list of LISTS.filter((l) => allowed(l.right))) {
      const place = h('div', { class: 'place' }, 'Loading…');
      const editor = h('div', { class: 'place' });
      main.append(section(list.title, place), editor);
      const reload = () => show(list, place, editor, reload);
      reload();
    }
    main.append(...panels(PANELS), ...families('devices'));
  },
};

async function show(list, place, editor, reload) {
  const reply = await list.read();
  if (!reply.ok) return failed(place, reply);
  fill(place, table([...list.headings, ''], reply.items.map((item) => [...list.cells(item),
    h('span', { class: 'row-actions' }, list.commands.filter((c) => allowed(c.right) && (!c.when || c.when(item)))
      .map((c) => opens(editor, `${c.label}: ${item.name}`, { ...c, fields: c.fields(item) },
        (v) => c.send(item, v).then((r) => (r.ok && reload(), r)))))])));
}
