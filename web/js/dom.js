// Building the page. Every text that comes from the appliance goes in as a
// text node (never as markup), so names and messages show as they are.

export function h(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key.startsWith('on')) e.addEventListener(key.slice(2), value);
    else if (value === true) e.setAttribute(key, '');
    else if (value !== false && value !== null && value !== undefined) e.setAttribute(key, value);
  }
  for (const child of children.flat(Infinity)) {
    if (child !== null && child !== undefined && child !== false) e.append(child instanceof Node ? child : String(child));
  }
  return e;
}

// An element's attributes as a plain object.
export function attrs(node) {
  return Object.fromEntries([...node.attributes].map((a) => [a.name, a.value]));
}

// The line beside an action that tells how it went.
export function status() {
  return h('span', { class: 'status', role: 'status', 'aria-live': 'polite' });
}

export function say(line, text, kind = 'ok') {
  line.textContent = text;
  line.className = `status ${kind}`;
}

// Runs an action for a button or form: the line shows that it runs, then
// the outcome. action returns a reply of gateway.js.
export async function run(line, action, done = 'Done.') {
  say(line, 'Working…', 'busy');
  const reply = await action();
  if (reply.ok) say(line, done);
  else say(line, reply.error, 'error');
  return reply;
}

// A form from rows { name, label, type, value, options, required, hint };
// submit(values, line) runs on Enter or the button. extra: more buttons;
// body: more of the form, above the buttons. The rows' values are the
// form's own, so a reset (after an addition) brings them back.
export function form(rows, label, submit, extra = [], body = null) {
  const line = status();
  // The inputs are kept here, not looked up through the form: a field named
  // like one of the form's own properties (elements, reset) hides it.
  const inputs = {};
  const fields = rows.map((row) => {
    const id = `f-${Math.random().toString(36).slice(2)}`;
    let input;
    if (row.type === 'select') {
      const chosen = row.value ?? row.options[0][0];
      input = h('select', { id, name: row.name },
        row.options.map(([value, text]) => h('option', { value, selected: value === chosen }, text)));
    } else {
      input = h('input', { id, name: row.name, type: row.type || 'text', required: row.required, autocomplete: 'off',
        value: row.value ?? '' });
    }
    inputs[row.name] = input;
    return h('label', { for: id }, h('span', {}, row.label), input,
      row.hint ? h('small', {}, row.hint) : null);
  });
  const el = h('form', { class: 'form' }, fields, body, h('div', { class: 'actions' }, h('button', { type: 'submit' }, label), extra, line));
  el.addEventListener('submit', (event) => {
    event.preventDefault();
    submit(Object.fromEntries(rows.map((row) => [row.name, inputs[row.name].value])), line);
  });
  return el;
}

// A button that asks once more before it acts (a second press within a few
// seconds), so a slip of the mouse or the keyboard removes nothing.
export function confirmed(label, act) {
  let armed = null;
  const button = h('button', { type: 'button', class: 'danger' }, label);
  button.addEventListener('click', () => {
    if (armed) {
      clearTimeout(armed);
      armed = null;
      button.textContent = label;
      act();
      return;
    }
    button.textContent = `Press again to ${label.toLowerCase()}`;
    armed = setTimeout(() => {
      armed = null;
      button.textContent = label;
    }, 4000);
  });
  return button;
}

// A command as a button, or as a small form when it takes fields (rows of
// form()). perform(values) sends it and returns the reply. confirm: the
// command acts on a second press within a few seconds, like confirmed().
export function act({ label, fields = [], confirm = false, done = 'Done.' }, perform) {
  if (!fields.length) {
    const line = status();
    const go = () => run(line, () => perform({}), done);
    return h('div', { class: 'actions' },
      confirm ? confirmed(label, go) : h('button', { type: 'button', onclick: go }, label), line);
  }
  let armed = null;
  return form(fields, label, (values, line) => {
    if (confirm && !armed) {
      say(line, `Press ${label} again to confirm.`, 'busy');
      armed = setTimeout(() => { armed = null; say(line, ''); }, 4000);
      return;
    }
    clearTimeout(armed);
    armed = null;
    run(line, () => perform(values), done);
  });
}

// A button that opens a command's form in a place of the view.
export function opens(place, title, command, perform) {
  return h('button', { type: 'button', onclick: () => {
    fill(place, section(title, act(command, perform)));
    place.querySelector('input, select')?.focus();
  } }, command.label);
}

// The values a person filled in: an empty field leaves the appliance's
// value as it is.
export function given(values) {
  return Object.fromEntries(Object.entries(values).filter(([, v]) => v !== ''));
}

// A password field left empty keeps the password the appliance has.
export function keptPasswords(rows, values) {
  return Object.fromEntries(Object.entries(values)
    .filter(([name, v]) => v !== '' || rows.find((r) => r.name === name)?.type !== 'password'));
}

// Terms and their values, side by side.
export function facts(pairs) {
  return h('dl', { class: 'facts' }, pairs.map(([term, value]) => [h('dt', {}, term), h('dd', {}, value)]));
}

// A table from column headings and rows of cells (texts or nodes).
export function table(headings, rows, empty = 'Nothing here yet.') {
  if (!rows.length) return h('p', { class: 'empty' }, empty);
  return h('div', { class: 'scroll' }, h('table', {},
    h('thead', {}, h('tr', {}, headings.map((t) => h('th', { scope: 'col' }, t)))),
    h('tbody', {}, rows.map((cells) => h('tr', {}, cells.map((c) => h('td', {}, c)))))));
}

// The kind of a state, which gives its colour: alarms red, warnings amber,
// an output's on and off apart from each other, the rest plain.
export function stateKind(text) {
  return /alarm|error|fault|denied/i.test(text) ? 'alarm'
    : /warning|not connected|unknown/i.test(text) ? 'warning'
      : ['on', 'off', 'pulse'].includes(text) ? text : 'normal';
}

// A state as a coloured word.
export function state(text) {
  return h('span', { class: `state ${stateKind(text)}` }, text);
}

// The place of a panel's data: replaced whole at each load, or showing the
// error text where the data would have been.
export function fill(place, ...children) {
  place.replaceChildren(...children.flat(Infinity).filter((c) => c !== null && c !== undefined && c !== false));
}

export function failed(place, reply) {
  fill(place, h('p', { class: 'status error' }, reply.error));
}

export function section(title, ...children) {
  return h('section', { class: 'panel' }, h('h2', {}, title), children);
}

export function when(seconds) {
  const n = Number(seconds);
  return n > 0 ? new Date(n * 1000).toLocaleString() : '';
}
