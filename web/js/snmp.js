// SNMP's version and version-3 security fields, asked alike by the agent's
// settings and by a trap notifier.
export const SNMP_VERSION = {
  name: 'version', label: 'Version', type: 'select', options: [['1', '1'], ['2', '2c'], ['3', '3']],
};

export const SNMP_V3_FIELDS = [
  { name: 'user', label: 'User (v3)' },
  { name: 'level', label: 'Security (v3)', type: 'select',
    options: [['', ''], ['noauth', 'no authentication'], ['auth', 'authentication'], ['priv', 'authentication and privacy']] },
  { name: 'auth_type', label: 'Authentication (v3)', type: 'select', options: [['', ''], ['MD5', 'MD5'], ['SHA', 'SHA']] },
  { name: 'auth_pass', label: 'Authentication password', type: 'password' },
  { name: 'priv_type', label: 'Privacy (v3)', type: 'select', options: [['', ''], ['DES', 'DES'], ['AES', 'AES']] },
  { name: 'priv_pass', label: 'Privacy password', type: 'password' },
];
