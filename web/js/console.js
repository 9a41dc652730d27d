// The console: the log-in view, the navigation, and one view at a time in
// the main area. A view is a row { id, title, shown(), render(main, every) }.
import { forget, login, onSessionEnd, session } from './gateway.js';
import { fill, form, h, run } from './dom.js';
import { view as system } from './views/system.js';
import { view as map } from './views/map.js';
import { view as notifiers } from './views/notifiers.js';
import { view as keys } from './views/keys.js';
import { view as accounts } from './views/accounts.js';
import { view as log } from './views/log.js';
import { view as files } from './views/files.js';
import { view as devices } from './views/devices.js';
import { view as automation } from './views/families.js';
import { view as settings } from './views/settings.js';

const VIEWS = [system, map, devices, automation, notifiers, keys, accounts, settings, log, files];

const main = document.getElementById('main');
const nav = document.getElementById('nav');
const who = document.getElementById('who');
let timers = [];

function stopTimers() {
  timers.forEach(clearInterval);
  timers = [];
}

// Repeats a view's refresh while the view stays open.
function every(ms, fn) {
  timers.push(setInterval(fn, ms));
}

function showLogin(message = '') {
  stopTimers();
  fill(nav);
  fill(who);
  document.body.dataset.view = 'login';
  const note = message ? h('p', { class: 'status error', role: 'alert' }, message) : null;
  const box = form([
    { name: 'name', label: 'Account', required: true },
    { name: 'password', label: 'Password', type: 'password', required: true },
  ], 'Log in', async (values, line) => {
    const reply = await run(line, () => login(values.name, values.password), 'Logged in.');
    if (reply.ok) route();
  });
  box.id = 'login';
  fill(main, h('section', { class: 'panel login' }, h('h2', {}, 'Log in'), note, box));
  box.querySelector('input').focus();
}

function showView(view) {
  stopTimers();
  const user = session();
  document.body.dataset.view = view.id;
  fill(who, h('span', {}, user.name), h('button', { type: 'button', id: 'logout', onclick: logout }, 'Log out'));
  fill(nav, VIEWS.filter((v) => v.shown()).map((v) =>
    h('a', { href: `#${v.id}`, 'aria-current': v === view ? 'page' : null }, v.title)));
  fill(main);
  view.render(main, every);
  main.focus({ preventScroll: true });
}

function route() {
  if (!session()) return showLogin();
  const wanted = location.hash.slice(1);
  const view = VIEWS.find((v) => v.id === wanted && v.shown()) || system;
  if (location.hash !== `#${view.id}`) history.replaceState(null, '', `#${view.id}`);
  showView(view);
}

// Logging out forgets the key in this tab; the appliance lets an unused
// session lapse by itself.
function logout() {
  forget();
  history.replaceState(null, '', location.pathname);
  showLogin('You are logged out.');
}

onSessionEnd((message) => {
  history.replaceState(null, '', location.pathname);
  showLogin(message);
});
window.addEventListener('hashchange', route);
route();
