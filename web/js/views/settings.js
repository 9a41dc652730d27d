// Settings: the appliance's own configuration, a group of fields at a time.
// Each group is a row of data: the command that reads it, the command that
// writes it, the rights of each, its fields, and the commands that go with
// it; one function walks the rows. A group without a read command only
// offers its commands.
import { call, may } from '../gateway.js';
import { act, attrs, facts, failed, fill, form, h, keptPasswords, run, section } from '../dom.js';
import { SNMP_V3_FIELDS, SNMP_VERSION } from '../snmp.js';

const OFF_ON = [['0', 'off'], ['1', 'on']];
const SYSTEM = { read: ['system', 'read'], write: ['system', 'write'] };
// The FTP backup and the log levels are read with the write right.
const ALL_WRITE = { read: ['all', 'write'], write: ['all', 'write'] };

const LEVELS = ['Emergency', 'Alert', 'Critical', 'Error', 'Warning', 'Notice', 'Informational', 'Debug'];

const GROUPS = [
  {
    title: 'Network', get: 'getsettings', set: 'setsettings', ...SYSTEM,
    fields: [
      { name: 'hostname', label: 'Host name' },
      { name: 'dhcp_active', label: 'DHCP', type: 'select', options: OFF_ON },
      { name: 'ip', label: 'Address' },
      { name: 'netmask', label: 'Netmask' },
      { name: 'broadcast', label: 'Broadcast' },
      { name: 'gateway', label: 'Gateway' },
      { name: 'dns1', label: 'DNS server 1' },
      { name: 'dns2', label: 'DNS server 2' },
      { name: 'dns3', label: 'DNS server 3' },
      { name: 'mac', label: 'MAC address' },
      { name: 'ftp', label: 'FTP access', type: 'select', options: OFF_ON },
      { name: 'syslog_server', label: 'Syslog server' },
      { name: 'ftplog_server', label: 'FTP log server' },
      { name: 'can_active', label: 'CAN bus', type: 'select', options: OFF_ON },
      { name: 'dyndns_active', label: 'Dynamic DNS', type: 'select', options: OFF_ON },
      { name: 'dyndns_service', label: 'Dynamic DNS service' },
      { name: 'dyndns_host', label: 'Dynamic DNS host' },
      { name: 'dyndns_user', label: 'Dynamic DNS user' },
      { name: 'dyndns_pass', label: 'Dynamic DNS password', type: 'password' },
    ],
  },
  {
    title: 'Web server', get: 'gethttpd', set: 'sethttpd', ...SYSTEM,
    fields: [
      { name: 'ssl', label: 'HTTPS', type: 'select', options: OFF_ON },
      { name: 'port', label: 'Port', type: 'number' },
    ],
  },
  {
    title: 'SNMP agent', get: 'getsnmp', set: 'setsnmp', ...SYSTEM,
    fields: [
      SNMP_VERSION,
      { name: 'rocommunity', label: 'Read community' },
      { name: 'rwcommunity', label: 'Write community' },
      ...SNMP_V3_FIELDS,
    ],
  },
  {
    title: 'Time', get: 'gettimeconf', set: 'settimeconf', ...SYSTEM, twice: ['onw', 'ons'],
    fields: [
      { name: 'name', label: 'Time zone' },
      { name: 'gmtofs', label: 'Offset from UTC' },
      { name: 'dst', label: 'Summer time', type: 'select', options: OFF_ON },
      { name: 'inw', label: 'Summer time begins: week' },
      { name: 'onw', label: 'Summer time begins: day' },
      { name: 'atw', label: 'Summer time begins: hour' },
      { name: 'ins', label: 'Summer time ends: week' },
      { name: 'ons', label: 'Summer time ends: day' },
      { name: 'ats', label: 'Summer time ends: hour' },
      { name: 'ntp1', label: 'NTP server 1' },
      { name: 'ntp2', label: 'NTP server 2' },
      { name: 'ntp_period', label: 'NTP period' },
    ],
    commands: [
      { label: 'Set the clock', fields: [{ name: 'time', label: 'New time', type: 'datetime-local', required: true }],
        send: (v) => call('settime', { time: Math.floor(new Date(v.time).getTime() / 1000) }) },
      { label: 'Synchronise with NTP now', send: () => call('synctime') },
    ],
  },
  {
    title: 'RADIUS server', get: 'getradius', set: 'setradius', read: ['all', 'read'], write: ['all', 'write'],
    text: 'A log-in that the appliance does not know is tried at this server.',
    fields: [
      { name: 'enable', label: 'Use a RADIUS server', type: 'select', options: [['0', 'no'], ['1', 'yes']] },
      { name: 'addr', label: 'Address' },
      { name: 'port', label: 'Port', type: 'number', value: '1812' },
      { name: 'secret', label: 'Shared secret', type: 'password', hint: 'needed whenever the server is set' },
    ],
  },
  {
    title: 'FTP backup', get: 'getftpbackup', set: 'setftpbackup', ...ALL_WRITE,
    fields: [
      { name: 'address', label: 'Server' },
      { name: 'port', label: 'Port', type: 'number' },
      { name: 'rdir', label: 'Folder' },
      { name: 'username', label: 'User' },
      { name: 'password', label: 'Password', type: 'password' },
      { name: 'interval', label: 'Interval' },
      { name: 'day', label: 'Day' },
      { name: 'hour', label: 'Hour' },
    ],
    commands: [
      { label: 'Update the firmware from FTP', confirm: true,
        fields: [{ name: 'ftp', label: 'Firmware location', required: true, hint: 'the image on an FTP server' }],
        send: (v) => call('upgrade', v) },
    ],
  },
  {
    title: 'Log levels', get: 'loglevelget', set: 'loglevel', ...ALL_WRITE,
    text: 'Which severities the event log keeps.',
    fields: LEVELS.map((name) => ({ name, label: name, type: 'select', options: [['0', 'not kept'], ['1', 'kept']] })),
  },
  {
    title: 'Restart and recovery', write: ['system', 'write'],
    commands: [
      { label: 'Restart the appliance', confirm: true, done: 'Restarting.', send: () => call('reboot') },
      { label: 'Run the recovery', confirm: true, done: 'Recovery running.',
        fields: [{ name: 'param', label: 'Recovery arguments' }], send: (v) => call('recovery', v) },
    ],
  },
];

const allowed = (right) => Boolean(right) && may(...right);
const commandsOf = (group) => (group.commands || []).filter((c) => allowed(c.right || group.write));

export const view = {
  id: 'settings',
  title: 'Settings',
  shown: () => GROUPS.some((g) => allowed(g.read) || allowed(g.write)),
  render(main) {
    main.append(...panels(GROUPS));
  },
};

// The panels of groups for the account's rights. A group's values show as a
// form where it has a write command and the account may use it, else as
// text (passwords never shown). A command marked shows puts its reply's
// values in the group's place.
export function panels(groups) {
  return groups.flatMap((group) => {
    const readable = group.get && allowed(group.read);
    const commands = commandsOf(group);
    if (!readable && !commands.length && !(group.set && allowed(group.write))) return [];
    const place = h('div', { class: 'place' }, readable ? 'Loading…' : null);
    if (readable) load(group, place, group.set && allowed(group.write));
    return [section(group.title, group.text ? h('p', {}, group.text) : null, place,
      commands.map((c) => act(c, (v) => c.send(v).then((r) => {
        if (r.ok && c.shows) fill(place, facts(Object.entries(r.nodes[0] ? attrs(r.nodes[0]) : {})));
        return r;
      }))))];
  });
}

async function load(group, place, writable) {
  const reply = await call(group.get);
  if (!reply.ok) return failed(place, reply);
  const values = reply.nodes[0] ? attrs(reply.nodes[0]) : {};
  const rows = group.fields.map((f) => (f.name in values && f.type !== 'password' ? { ...f, value: values[f.name] } : f));
  if (!writable) {
    return fill(place, facts(rows.filter((f) => f.type !== 'password').map((f) => [f.label, shown(f)])));
  }
  fill(place, form(rows, 'Save', (filled, line) =>
    run(line, () => call(group.set, keptPasswords(rows, filled), group.twice), 'Saved.')));
}

function shown(field) {
  const option = field.options?.find(([value]) => value === field.value);
  return option ? option[1] : field.value ?? '';
}
