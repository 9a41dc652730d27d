// Families of things the appliance keeps as lists: groups, logics, the
// virtual devices (timers, ping checks, triggers, SNMP-get probes) and the
// cameras. Each family is a row of data: how its list is read, its add and
// delete commands, the fields its form shows, the fields the gateway decodes
// twice, and the commands of a whole family or of one of its items; one
// function walks the rows.
import { call, may } from '../gateway.js';
import { act, attrs, confirmed, failed, fill, form, given, h, keptPasswords, opens, run, section, status, table } from '../dom.js';

const NO_YES = [['0', 'no'], ['1', 'yes']];

// The items of a reply by tag name, wherever they stand in it.
async function tagged(querytype, tag) {
  const reply = await call(querytype);
  if (!reply.ok) return reply;
  const found = reply.nodes.flatMap((n) => (n.tagName === tag ? [n] : [...n.getElementsByTagName(tag)]));
  return { ok: true, items: found.map(attrs), head: reply.nodes[0] ? attrs(reply.nodes[0]) : {} };
}

// Virtual devices and cameras are elements of the element database: the
// list is the elements of their class and types.
async function elements(clas, ...types) {
  const reply = await tagged('getelement', 'element');
  return reply.ok ? { ...reply, items: reply.items.filter((e) => e.clas === clas && types.includes(e.type)) } : reply;
}

function virtual(type, noun, title, add, del, fields) {
  return { place: 'automation', title, noun, right: 'devvirt', list: () => elements('virtual', type), add, del,
    twice: ['name'], fields: [{ name: 'name', label: 'Name', required: true }, ...fields] };
}

const FAMILIES = [
  {
    place: 'automation', title: 'Groups', noun: 'group', right: 'groups', list: () => tagged('getgroup', 'group'),
    add: 'addgroup', del: 'delgroup', twice: ['name', 'descr', 'elements', 'modules', 'notifiers'],
    summary: (g) => g.descr,
    fields: [
      { name: 'name', label: 'Name', required: true },
      { name: 'descr', label: 'Description' },
      { name: 'elements', label: 'Elements', hint: 'element numbers, separated by commas' },
      { name: 'modules', label: 'Modules', hint: 'module numbers, separated by commas' },
      { name: 'notifiers', label: 'Notifiers', hint: 'notifier numbers, separated by commas' },
    ],
  },
  {
    place: 'automation', title: 'Logics', noun: 'logic', right: 'logics', list: () => tagged('getlogic', 'logic'),
    add: 'addlogic', del: 'dellogic', twice: ['name'],
    summary: (l) => l.logic,
    note: (head) => (head.state ? `The logics are switched ${head.state}.` : ''),
    fields: [
      { name: 'name', label: 'Name', required: true },
      { name: 'logic', label: 'Rule', required: true },
      { name: 'timeout', label: 'Timeout' },
    ],
    commands: [
      { label: 'Switch all logics on', send: () => call('onlogics') },
      { label: 'Switch all logics off', fields: [{ name: 'timeout', label: 'For how long', hint: 'empty: until switched on' }],
        send: (v) => call('offlogics', given(v)) },
    ],
    itemCommands: [
      { label: 'Disable', fields: [{ name: 'timeout', label: 'For how long' }],
        send: (l, v) => call('disablelogic', { id: l.id, ...given(v) }) },
    ],
  },
  virtual('timer', 'timer', 'Timers', 'addtimer', 'deltimer', [
    { name: 'begin', label: 'Begins', hint: 'hh:mm' },
    { name: 'end', label: 'Ends', hint: 'hh:mm' },
    { name: 'days', label: 'Days' },
    { name: 'mode', label: 'Mode' },
  ]),
  virtual('ping', 'ping check', 'Ping checks', 'addping', 'delping', [
    { name: 'server', label: 'Host', required: true },
    { name: 'period', label: 'Period' },
    { name: 'rtt', label: 'Longest round trip' },
    { name: 'reset', label: 'Reset' },
  ]),
  virtual('trigger', 'trigger', 'Triggers', 'addtrigger', 'deltrigger', [
    { name: 'value', label: 'Value' },
    { name: 'reverse', label: 'Reversed', type: 'select', options: NO_YES },
  ]),
  virtual('snmp get', 'SNMP-get probe', 'SNMP-get probes', 'addsnmpget', 'delsnmpget', [
    { name: 'server', label: 'Agent', required: true },
    { name: 'port', label: 'Port', type: 'number', value: '161' },
    { name: 'comunity', label: 'Community', value: 'public' },
    { name: 'oid', label: 'OID', required: true },
    { name: 'vartype', label: 'Value type' },
    { name: 'period', label: 'Period' },
    { name: 'low_alarm', label: 'Low alarm' },
    { name: 'low_warning', label: 'Low warning' },
    { name: 'high_warning', label: 'High warning' },
    { name: 'high_alarm', label: 'High alarm' },
    { name: 'expr', label: 'Expression' },
    { name: 'reset', label: 'Reset' },
  ]),
  {
    place: 'devices', title: 'Cameras', noun: 'camera', right: 'cameras', list: () => elements('device', 'camera', 'ip camera'),
    add: 'addwebcam', del: 'delwebcam', twice: ['name', 'url'],
    summary: (c) => c.url,
    fields: [
      { name: 'name', label: 'Name', required: true },
      { name: 'url', label: 'Address', hint: 'the camera\'s picture or stream address' },
      { name: 'fps', label: 'Frames per second' },
      { name: 'resolution', label: 'Resolution' },
      { name: 'width', label: 'Width' },
      { name: 'height', label: 'Height' },
      { name: 'username', label: 'User' },
      { name: 'password', label: 'Password', type: 'password' },
    ],
  },
];

// The panels of the families shown in a view, for the account's rights.
export function families(place) {
  return FAMILIES.filter((f) => f.place === place && may(f.right, 'read')).map(panel);
}

export function anyFamily(place) {
  return FAMILIES.some((f) => f.place === place && may(f.right, 'read'));
}

function panel(family) {
  const list = h('div', { class: 'place' }, 'Loading…');
  const editor = h('div', { class: 'place' });
  const writable = may(family.right, 'write');
  const reload = () => load(family, list, editor, writable, reload);
  reload();
  return h('div', { 'data-family': family.add }, section(family.title, list,
    writable ? [h('button', { type: 'button', onclick: () => edit(family, editor, null, reload) }, `Add ${family.noun}`),
      (family.commands || []).map((c) => act(c, (v) => c.send(v).then((r) => (r.ok && reload(), r))))] : null),
  editor);
}

async function load(family, list, editor, writable, reload) {
  const reply = await family.list();
  if (!reply.ok) return failed(list, reply);
  fill(list, family.note ? h('p', {}, family.note(reply.head)) : null,
    table(['Name', 'Details', ''], reply.items.map((item) => {
      const line = status();
      return [item.name, family.summary ? family.summary(item) : '', writable
        ? h('span', { class: 'row-actions' },
          h('button', { type: 'button', onclick: () => edit(family, editor, item, reload) }, 'Change'),
          (family.itemCommands || []).map((c) => opens(editor, `${c.label}: ${item.name}`, c,
            (v) => c.send(item, v).then((r) => (r.ok && reload(), r)))),
          confirmed('Delete', () => run(line, () => call(family.del, { id: item.id })).then((r) => r.ok && reload())),
          line)
        : ''];
    }), `No ${family.noun}s yet.`));
}

// The form of a new item, or of one to change (its add command carries its
// id then).
function edit(family, editor, item, reload) {
  const rows = family.fields.map((f) => (item && f.name in item && f.type !== 'password' ? { ...f, value: item[f.name] } : f));
  const close = h('button', { type: 'button', onclick: () => fill(editor) }, 'Close');
  fill(editor, section(item ? `Change ${item.name}` : `New ${family.noun}`, form(rows, item ? 'Save' : 'Add', async (values, line) => {
    const fields = item ? { id: item.id, ...keptPasswords(rows, values) } : values;
    const reply = await run(line, () => call(family.add, fields, family.twice), item ? 'Saved.' : 'Added.');
    if (!reply.ok) return;
    if (!item) HTMLFormElement.prototype.reset.call(line.closest('form'));
    reload();
  }, [close])));
  editor.querySelector('input')?.focus();
}

export const view = {
  id: 'automation',
  title: 'Automation',
  shown: () => anyFamily('automation'),
  render(main) {
    main.append(...families('automation'));
  },
};
