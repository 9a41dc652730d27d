#!/usr/bin/python3
"""The operator console in headless Chromium, against scripts/demo as an
operator would use it: log in, the modules, notifiers, keys, accounts, the
log, the end of a session, a daemon that is down; over HTTPS, with the
security headers, every view free of serious accessibility faults (axe-core,
from scripts/setup) and whole words in tables at phone width. Screenshots of
each view go to $CONSOLE_TEST_OUTPUT (or a folder of the private root).

Environment: ZUN_BUILD_DIR, the build whose programs the demo runs."""
import base64
import hashlib
import http.client
import os
import re
import signal
import socket
import ssl
import subprocess
import struct
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request
import zlib
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException, TimeoutException
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

REPO = Path(__file__).resolve().parents[2]
WAIT = 15  # seconds, for anything the page shows after a reply
VIEWS = ("system", "map", "devices", "automation", "notifiers", "keys", "accounts", "settings", "log", "files")
SECURITY = {"Content-Security-Policy": "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
            "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'",
            "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer"}
# The words of table cells that the browser broke across lines.
BROKEN_WORDS = """const broken = [];
for (const cell of document.querySelectorAll('main td, main th'))
  for (let walk = document.createTreeWalker(cell, NodeFilter.SHOW_TEXT), node; (node = walk.nextNode());)
    for (const m of node.data.matchAll(/[^\\s-]+/g)) {
      const r = document.createRange();
      r.setStart(node, m.index), r.setEnd(node, m.index + m[0].length);
      if (r.getClientRects().length > 1) broken.push(m[0]);
    }
return broken;"""
AXE_RUN = """axe.run(document, {resultTypes: ['violations']}).then((r) => arguments[0](r.violations
  .filter((v) => ['serious', 'critical'].includes(v.impact))
  .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`)));"""


def free_ports(count):
    """A run of count free consecutive TCP and UDP ports on loopback."""
    for _ in range(100):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            first = s.getsockname()[1]
        if first + count > 65535:
            continue
        try:
            for port in range(first, first + count):
                for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                    with socket.socket(socket.AF_INET, kind) as s:
                        s.bind(("127.0.0.1", port))
            return first
        except OSError:
            continue
    raise RuntimeError("no free ports")


def png(width, height):
    """A plain PNG picture of the given size."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = (b"\0" + b"\xe4\xe8\xee" * width) * height
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class Console(unittest.TestCase):
    """One demo and one browser for the whole class; the tests run in the
    order of their names, the daemon-down test last."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="console-")
        top = Path(cls.tmp.name)
        cls.root = top / "root"
        cls.shots = Path(os.environ.get("CONSOLE_TEST_OUTPUT", top / "shots"))
        cls.shots.mkdir(parents=True, exist_ok=True)
        web, cls.plain, cls.smtp, snmp = free_ports(1), free_ports(1), free_ports(1), free_ports(2)
        cls.base = f"https://127.0.0.1:{web}"
        env = dict(os.environ, DEMO_WANDER="0", DEMO_ROOT=str(cls.root), DEMO_PORT=str(web),
                   DEMO_HTTP_PORT=str(cls.plain),
                   DEMO_TLS=str(top / "tls"), DEMO_SMTP_PORT=str(cls.smtp),
                   DEMO_SNMP_PORT=str(snmp), ZUN_BUILD_DIR=os.environ.get("ZUN_BUILD_DIR", str(REPO / "build")))
        cls.demo_out = top / "demo.out"
        cls.demo_log = cls.demo_out.open("w")
        cls.demo = subprocess.Popen([str(REPO / "scripts/demo")], env=env, stdout=cls.demo_log,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        for _ in range(1200):
            if "Ctrl-C stops everything." in cls.demo_out.read_text() or cls.demo.poll() is not None:
                break
            time.sleep(0.1)
        if "Ctrl-C stops everything." not in cls.demo_out.read_text():
            cls.tearDownClass()
            raise RuntimeError("the demo did not start:\n" + cls.demo_out.read_text())
        # The browser trusts the demo's certificate (its key), and only it.
        cert = top / "tls/cert.pem"
        cls.tls = ssl.create_default_context(cafile=cert)
        key = subprocess.run(["openssl", "x509", "-in", cert, "-pubkey", "-noout"], capture_output=True, check=True).stdout
        spki = base64.b64encode(hashlib.sha256(base64.b64decode(b"".join(key.splitlines()[1:-1]))).digest())
        options = webdriver.ChromeOptions()
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,800",
                    f"--user-data-dir={top / 'profile'}", f"--ignore-certificate-errors-spki-list={spki.decode()}"):
            options.add_argument(arg)
        options.binary_location = "/usr/lib/chromium/chromium"
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "browser", None):
            cls.browser.quit()
        os.killpg(cls.demo.pid, signal.SIGTERM)
        try:
            cls.demo.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(cls.demo.pid, signal.SIGKILL)
            cls.demo.wait()
        cls.demo_log.close()
        cls.tmp.cleanup()

    # ---- helpers -----------------------------------------------------------

    def gateway(self, **fields):
        """One command straight to the gateway, as curl would send it."""
        body = urllib.parse.urlencode(fields).encode()
        with urllib.request.urlopen(f"{self.base}/cgi-bin/engine.cgi", body, timeout=10, context=self.tls) as reply:
            return reply.read().decode()

    def axe(self):
        """The serious and critical accessibility faults of the page."""
        if not self.browser.execute_script("return !!window.axe"):
            self.browser.execute_script((REPO / ".tools/node_modules/axe-core/axe.min.js").read_text())
        return self.browser.execute_async_script(AXE_RUN)

    def admin_key(self):
        return re.search(r' k="(\d+)"', self.gateway(querytype="auth", name="admin", h="admin")).group(1)

    def until(self, check, what):
        try:
            # Views are rebuilt as replies arrive: an element read meanwhile
            # is read again.
            return WebDriverWait(self.browser, WAIT, ignored_exceptions=(StaleElementReferenceException,)).until(
                lambda _: check())
        except TimeoutException:
            self.fail(f"{what} did not show; the page reads:\n{self.find('main').text}")

    def find(self, css, within=None):
        return (within or self.browser).find_element(By.CSS_SELECTOR, css)

    def finds(self, css, within=None):
        return (within or self.browser).find_elements(By.CSS_SELECTOR, css)

    def text_shows(self, text):
        self.until(lambda: text in self.find("main").text, repr(text))

    def shot(self, name):
        self.browser.save_screenshot(str(self.shots / f"{name}.png"))

    def log_in(self, name="admin", password="admin"):
        self.browser.get(self.base + "/")
        self.browser.execute_script("sessionStorage.clear()")
        self.browser.get(self.base + "/")
        fields = self.until(lambda: self.finds("#login input"), "the log-in form")
        fields[0].send_keys(name)
        fields[1].send_keys(password, Keys.ENTER)

    def open_view(self, view):
        self.until(lambda: self.finds(f'nav a[href="#{view}"]'), f"the link to {view}")[0].click()
        self.until(lambda: self.browser.execute_script("return document.body.dataset.view") == view, view)

    def fill(self, form, values):
        for name, value in values.items():
            field = self.find(f'[name="{name}"]', form)
            if field.tag_name == "select":
                self.browser.execute_script("arguments[0].value = arguments[1]", field, value)
            else:
                field.clear()
                field.send_keys(value)

    def add_notifier(self, kind, values):
        self.open_view("notifiers")
        self.until(lambda: self.finds(f'[data-kind="{kind}"] button'), "the add button").pop().click()
        form = self.until(lambda: self.finds("form"), "the notifier form")[0]
        self.fill(form, values)
        self.find('button[type="submit"]', form).click()
        self.until(lambda: "Added." in form.text, "the added notice")
        return self.until(lambda: [r for r in self.finds(f'[data-kind="{kind}"] tbody tr')
                                   if r.find_elements(By.TAG_NAME, "td")[0].text == values["name"]],
                          "the new notifier's row")[0]

    def press(self, within, label):
        """Presses a button of that text; once more if it asks to be sure."""
        self.until(lambda: within.find_elements(By.XPATH, f'.//button[text()="{label}"]'), label)[0].click()
        if "again" in within.text:
            within.find_element(By.XPATH, f'.//button[text()="{label}" or starts-with(text(), "Press again")]').click()

    def lands(self, where, expected, since):
        """A journal line of the stand-in `where` written after byte `since`
        is exactly `expected` ("…" stands for the stand-in's own values), or
        the file `where` under the root holds `expected`."""
        if "/" in where:
            path = self.root / where
            return self.until(lambda: path.exists() and path.read_text() == expected, f"{where} holding {expected!r}")
        journal = self.root / "tmp/appliance-sim.journal"
        pattern = re.compile(re.escape(f"{where}\t") + ".*".join(map(re.escape, expected.split("…"))))
        self.until(lambda: any(pattern.fullmatch(line) for line in journal.read_bytes()[since:].decode().splitlines()),
                   f"{where} receiving {expected}")

    # ---- tests -------------------------------------------------------------

    def test_00_replies_carry_the_security_headers_and_plain_http_sends_to_https(self):
        plain = http.client.HTTPConnection("127.0.0.1", self.plain, timeout=10)
        plain.request("GET", "/cgi-bin/engine.cgi?querytype=getsystem")
        moved = plain.getresponse()
        self.assertEqual((moved.status, moved.headers["Location"]), (301, f"{self.base}/cgi-bin/engine.cgi?querytype=getsystem"))
        page = urllib.request.urlopen(self.base + "/", timeout=10, context=self.tls)
        engine = urllib.request.urlopen(self.base + "/cgi-bin/engine.cgi", b"querytype=getsystem", context=self.tls)
        for what, reply in (("redirect", moved), ("page", page), ("engine", engine)):
            self.assertEqual({name: reply.headers.get_all(name) for name in SECURITY},
                             {name: [value] for name, value in SECURITY.items()}, what)

    def test_01_wrong_password_shows_the_error_and_no_data(self):
        self.log_in(password="not-the-password")
        self.text_shows("wrong login or password")
        self.assertEqual(self.finds("nav a"), [])
        self.assertEqual(self.finds("table"), [])
        self.assertEqual(self.axe(), [])
        self.shot("login-refused")

    def test_02_keyboard_reaches_the_form_in_order(self):
        self.log_in("", "")
        self.browser.get(self.base + "/")
        self.until(lambda: self.finds("#login input"), "the log-in form")
        order = [self.browser.switch_to.active_element.get_attribute("name")]
        for _ in range(2):
            self.browser.switch_to.active_element.send_keys(Keys.TAB)
            active = self.browser.switch_to.active_element
            order.append(active.get_attribute("name") or active.text)
        self.assertEqual(order, ["name", "password", "Log in"])

    def test_03_the_demos_modules_and_elements_appear(self):
        self.log_in()
        for name in ("Board", "Outlets", "Cameras", "Virtual devices", "Mails", "SMSs", "Traps", "Readers",
                     "Server room temperature", "Leak under the rack", "iButton", "Server room"):
            self.text_shows(name)
        self.assertIn("2.5.1 b314", self.find("main").text)
        self.shot("system")
        # No view is wider than the screen (tables scroll in their panels),
        # none breaks a word of a table, none has a serious accessibility
        # fault, and nothing broke the page's content policy.
        try:
            for width, height in ((1280, 800), (390, 844)):
                self.browser.set_window_size(width, height)
                for view in VIEWS:
                    self.open_view(view)
                    self.until(lambda: "Loading…" not in self.find("main").text, f"the {view} view")
                    self.assertLessEqual(self.browser.execute_script(
                        "return document.documentElement.scrollWidth - window.innerWidth"), 0, view)
                    self.assertEqual(self.browser.execute_script(BROKEN_WORDS), [], (view, width))
                    self.assertEqual(self.axe(), [], (view, width))
                    self.shot(f"view-{view}-{width}")
        finally:
            self.browser.set_window_size(1280, 800)
        self.assertEqual([e["message"] for e in self.browser.get_log("browser") if "Content Security" in e["message"]], [])

    def test_04_a_mail_notifier_added_in_the_console_is_the_daemons(self):
        self.log_in()
        name = "Ops 50% + more"
        row = self.add_notifier("mail", {"name": name, "server": "127.0.0.1", "port": str(self.smtp),
                                         "to": "ops@example.com", "from": "box@example.com"})
        self.until(lambda: "ops@example.com" in row.text, "the destination")
        self.shot("notifiers")
        # The test mail reaches the demo's SMTP server.
        row.find_element(By.XPATH, './/button[text()="Send test"]').click()
        self.until(lambda: "Test sent." in row.text, "the sent notice")
        spool = self.root / "var/mail/received"
        self.until(lambda: spool.exists() and "to: ops@example.com" in spool.read_text(), "the test mail")
        # A change made in the form replaces the destination.
        row.find_element(By.XPATH, './/button[text()="Edit"]').click()
        form = self.until(lambda: self.finds("form"), "the notifier form")[0]
        self.assertEqual(self.find('[name="name"]', form).get_attribute("value"), name)
        self.fill(form, {"to": "night@example.com"})
        self.find('button[type="submit"]', form).click()
        self.until(lambda: [r.text.split("\n")[0] for r in self.finds('[data-kind="mail"] tbody tr')]
                   == [f"{name} night@example.com off"], "the changed destination, in the one mail notifier")
        key = self.admin_key()
        listed = re.search(r'<element id="(\d+)"[^>]*clas="notifier" type="mail" name="([^"]*)"',
                           self.gateway(querytype="getelement", k=key))
        self.assertEqual(listed.group(2), name)
        described = self.gateway(querytype="getelement", id=listed.group(1), k=key)
        for attr in ('server="127.0.0.1"', f'port="{self.smtp}"', 'to="night@example.com"', 'from="box@example.com"'):
            self.assertIn(attr, described)

    def test_05_a_name_of_markup_shows_as_text_and_runs_nothing(self):
        self.log_in()
        name = "<img src=x onerror=alert(1)> & <b>bold</b>"
        self.add_notifier("sms", {"name": name, "to_phone": "+4912345"})
        self.open_view("system")
        self.text_shows(name)
        time.sleep(1)  # an image that failed to load would have fired by now
        self.assertEqual(self.finds('img[src="x"]') + self.finds("main b"), [])
        with self.assertRaises(NoAlertPresentException):
            self.browser.switch_to.alert.text

    def test_06_a_key_added_in_the_console_opens_the_door(self):
        self.log_in()
        self.open_view("keys")
        form = self.until(lambda: self.finds("form"), "the key form")[0]
        self.fill(form, {"key": "01AB00FF109C", "name": "Anna Smith"})
        self.find('button[type="submit"]', form).click()
        self.until(lambda: "Anna Smith" in self.find("main table").text, "the key's row")
        self.open_view("system")
        self.browser.execute_script("window.notReloaded = true")
        (self.root / "tmp/w1.key").write_text("01AB00FF109C\n")
        try:
            # The tree is read again by itself: the reader shows the holder.
            self.until(lambda: any("iButton" in r.text and "Anna Smith" in r.text and "normal" in r.text
                                   for r in self.finds("tbody tr")), "the opened reader")
            self.assertTrue(self.browser.execute_script("return window.notReloaded === true"))
        finally:
            (self.root / "tmp/w1.key").unlink()
        self.until(lambda: any(r.text.startswith("iButton device") and "not connected" in r.text
                               for r in self.finds("tbody tr")), "the reader without the key")
        self.open_view("keys")
        self.text_shows("Access granted for username: 'Anna Smith'")
        self.shot("keys")
        # Learning: the next key laid on the reader joins the keys.
        self.browser.find_element(By.XPATH, '//button[text()="Learn the next key"]').click()
        self.text_shows("Learning: the next key")
        (self.root / "tmp/w1.key").write_text("02CD00FF1077\n")
        try:
            self.until(lambda: "02CD00FF1077" in self.find("main table").text, "the learned key")
            self.text_shows("Normal: keys laid on the reader")
        finally:
            (self.root / "tmp/w1.key").unlink()

    def test_07_an_account_sees_only_the_views_of_its_rights(self):
        self.log_in()
        self.open_view("accounts")
        self.until(lambda: self.browser.find_elements(By.XPATH, '//button[text()="Add account"]'), "the add button")[0].click()
        form = self.until(lambda: self.finds("form"), "the account form")[0]
        self.fill(form, {"name": "reader", "h": "secret"})
        self.find('input[aria-label="read log"]', form).click()
        self.assertEqual(self.axe(), [])
        self.shot("accounts")
        self.find('button[type="submit"]', form).click()
        self.until(lambda: "Added." in form.text, "the added notice")
        self.log_in("reader", "secret")
        self.until(lambda: self.finds("nav a"), "the views")
        self.assertEqual([a.text for a in self.finds("nav a")], ["System", "Notifiers", "Event log", "Backup and files"])
        self.open_view("notifiers")
        self.text_shows("Mail notifiers")
        self.assertEqual(self.finds("main button"), [])
        self.open_view("files")  # the floor map, to look at only
        self.assertEqual([h.text for h in self.finds("main h2")], ["Floor map"])
        self.assertEqual(self.finds("main button") + self.finds("main input"), [])
        # The right taken away meanwhile: the next read of the log is refused.
        key = self.admin_key()
        reader = re.search(r'<user id="(\d+)" name="reader"', self.gateway(querytype="getuser", k=key)).group(1)
        self.assertIn("no error", self.gateway(querytype="adduser", id=reader, sread="", k=key))
        self.find('nav a[href="#log"]').click()
        self.text_shows("You do not have the right for that.")
        self.assertTrue(self.finds("#login"))

    def test_08_the_files_and_the_log_views(self):
        self.log_in()
        self.open_view("files")
        self.text_shows("There is no such file on the appliance.")  # no floor map yet
        downloads = self.root / "downloads"
        self.browser.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
        self.browser.find_element(By.XPATH, '//button[text()="Download settings.orv"]').click()
        archive = downloads / "settings.orv"
        self.until(lambda: archive.exists() and archive.stat().st_size > 0, "the downloaded archive")
        self.assertIn(b"ustar", archive.read_bytes()[:512])
        self.browser.find_element(By.XPATH, '//button[text()="Download access.sqlite"]').click()
        keys = downloads / "access.sqlite"
        self.until(lambda: keys.exists() and keys.read_bytes().startswith(b"SQLite format 3\0"), "the key database")
        # A floor map uploaded shows at once, and is the file the appliance keeps.
        picture = self.root / "plan.png"
        picture.write_bytes(bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                                          "1f15c4890000000d49444154789c6360f8cfc0f01f0005000201e2217b9c0000000049454e44ae426082"))
        panel = self.until(lambda: [p for p in self.finds("main section") if "Floor map" in p.text], "the map")[0]
        self.find('input[type="file"]', panel).send_keys(str(picture))
        self.find("button", panel).click()
        first = self.until(lambda: [i.get_attribute("src") for i in self.finds("img", panel)], "the uploaded map")[0]
        self.assertEqual((self.root / "mnt/jffs/etc/map").read_bytes(), picture.read_bytes())
        self.shot("files")
        # Shown again after a second upload: the picture it replaces is let go.
        self.find("button", panel).click()
        self.until(lambda: [i for i in self.finds("img", panel) if i.get_attribute("src") != first], "the new map")
        self.assertTrue(first.startswith("blob:"), first)
        # (Read as a picture: the content policy lets the page load blob:
        # addresses as pictures only.)
        self.assertEqual(self.browser.execute_async_script(
            "const i = new Image(); i.onload = () => arguments[1]('kept'); i.onerror = () => arguments[1]('revoked');"
            " i.src = arguments[0]", first), "revoked")
        # The key went in the bodies: the server's access log (Referers
        # included) holds no key, and holds the downloads.
        access = self.root / "var/log/lighttpd.access.log"
        names = ("settings", "db", "map")
        # (lighttpd writes a line when its request has ended: the map's 404s
        # of before the upload come first.)
        answered = [f'"POST /cgi-bin/{n}.cgi HTTP/2.0" 200 ' for n in names]
        text = self.until(lambda: access.exists() and all(a in access.read_text() for a in answered)
                          and access.read_text(), "the downloads in the access log")
        self.assertEqual([line for line in text.splitlines() if "k=" in line], [])
        # The download is in the event log.
        self.open_view("log")
        self.text_shows(f"File settings settings.orv({archive.stat().st_size} bytes) was downloaded")
        self.shot("log")

    def test_09_a_removed_session_returns_to_the_log_in_view(self):
        self.log_in()
        self.text_shows("Board")
        for f in (self.root / "var/users").glob("*.session"):
            f.unlink()
        self.find('nav a[href="#log"]').click()
        self.text_shows("Your session has ended")
        self.assertTrue(self.finds("#login"))
        self.shot("session-ended")

    # A change made in each new view's forms, and where it lands: view, the
    # button that opens the form (alone, or in the row of a named item), the
    # heading of the form's panel, the fields, the button that sends it, the
    # stand-in that receives the command (or a file under the root) and what
    # it receives.
    CHANGES = [
        ("settings", None, "Log levels", {"Debug": "1"}, "Save", "chronicled",
         '<loglevel  Emergency="1" Alert="1" Critical="1" Error="1" Warning="1" Notice="1" Informational="1" Debug="1" />'),
        ("settings", None, "Network", {"hostname": "lab-7"}, "Save", "stewardd", '<setsettings  ip="…" hostname="lab-7" …/>'),
        ("settings", None, "Restart and recovery", {"param": "factory"}, "Run the recovery", "stewardd",
         '<execute cmd="recovery.sh factory" />'),
        ("settings", None, "RADIUS server", {"enable": "1", "addr": "127.0.0.1", "secret": "s3"}, "Save", "stewardd",
         '<setradius srv1="127.0.0.1:1812:s3" />'),
        ("settings", None, "Time", {}, "Synchronise with NTP now", "stewardd", "<synctime />"),
        ("automation", "Add group", "New group", {"name": "Rack 2", "descr": "Second rack"}, "Add", "registryd",
         '<addgroup  name="Rack 2" descr="Second rack" elements="" modules="" notifiers=""/>'),
        ("automation", "Add logic", "New logic", {"name": "Cool", "logic": "if 120 > 30 then 123 on"}, "Add", "registryd",
         '<addlogic logic="if 120 > 30 then 123 on" name="Cool" timeout="" />'),
        ("automation", "Add timer", "New timer", {"name": "Night", "begin": "22:00", "end": "06:00"}, "Add", "phantomd",
         '<addtimer  name="Night" begin="22:00" end="06:00" days="" mode=""/>'),
        ("automation", "Add ping check", "New ping check", {"name": "Router", "server": "127.0.0.1"}, "Add", "phantomd",
         '<addping  name="Router" period="" rtt="" server="127.0.0.1" reset="" />'),
        ("automation", None, "Logics", {}, "Switch all logics on", "registryd", "<onlogics />"),
        ("devices", "Add camera", "New camera", {"name": "Gate", "url": "http://127.0.0.1/cam?a=1&b=2"}, "Add", "opticd",
         '<addcamera  name="Gate" url="http://127.0.0.1/cam?a=1&amp;b=2" fps="" resolution="" height="" width=""'
         ' username="" password="" />'),
        ("devices", ("Server room temperature", "Settings"), "Settings: Server room temperature", {"high_alarm": "35"},
         "Settings", "baseiod", '<updateelement id="120" element="120" name="Server room temperature" high_alarm="35"/>'),
        ("devices", ("Siren relay", "Pulse"), "Pulse: Siren relay", {"pulse": "500"}, "Pulse", "baseiod",
         '<updateelement element="122" pulse="500" value="pulse" />'),
        ("devices", ("Outlets", "Control"), "Control: Outlets", {"func": "reset"}, "Control", "mainsd",
         '<ctlmodule  id="111" func="reset"/>'),
        ("devices", ("Board", "Settings"), "Settings: Board", {"interval": "30"}, "Settings", "baseiod",
         '<updatemodule  id="110" interval="30"/>'),
        ("devices", None, "Power", {}, "Turn all logics and outlets off", "mainsd", "<fulloff />"),
        ("devices", None, "CAN bus", {}, "Save the configuration", "busstate", '<savecan if="can0" />'),
        ("devices", None, "CAN bus", {"node_id": "7"}, "Remove a device", "busstate", '<deldevicecan  if="can0" node_id="7"/>'),
        ("devices", None, "SD card", {"cmd": "mount"}, "Send", "chronicled", '<setsdcard  cmd="mount"/>'),
        ("files", None, "Languages", {"filedata": "de.xml"}, "Upload", "mnt/jffs/etc/languages/de.xml", "<language />\n"),
    ]

    def test_09v_each_new_view_makes_its_change_where_it_belongs(self):
        self.log_in()
        journal = self.root / "tmp/appliance-sim.journal"
        for view, opener, panel, values, button, where, expected in self.CHANGES:
            self.open_view(view)
            if isinstance(opener, tuple):
                row = self.until(lambda: [r for r in self.finds("main tbody tr") if opener[0] in r.text], opener[0])[0]
                self.press(row, opener[1])
            elif opener:
                self.press(self.find("main"), opener)
            box = self.until(lambda: self.browser.find_elements(
                By.XPATH, f'//section[h2="{panel}"]//*[self::form or self::div[@class="actions"]][.//button[text()="{button}"]]'),
                panel)[0]
            values = dict(values)
            if "filedata" in values:
                (self.root / values["filedata"]).write_text(expected)
                self.find('input[type="file"]', box).send_keys(str(self.root / values.pop("filedata")))
            self.fill(box, values)
            since = journal.stat().st_size
            self.press(box, button)
            self.lands(where, expected, since)
            self.until(lambda: self.finds(".status.ok", box), "the done notice")
        self.shot("languages")

    def test_09x_the_new_views_are_labelled_and_work_by_keyboard(self):
        self.log_in()
        for view in ("devices", "automation", "settings"):
            self.open_view(view)
            self.until(lambda: "Loading…" not in self.find("main").text, view)
            self.assertEqual(self.browser.execute_script(
                "return [...document.querySelectorAll('main input, main select')]"
                ".filter((e) => !e.labels.length && !e.getAttribute('aria-label')).map((e) => e.name)"), [], view)
        # Tab to the logic's add button, Enter; type the fields, Enter sends.
        self.open_view("automation")
        for _ in range(100):
            if self.browser.switch_to.active_element.text == "Add logic":
                break
            self.browser.switch_to.active_element.send_keys(Keys.TAB)
        journal = self.root / "tmp/appliance-sim.journal"
        since = journal.stat().st_size
        self.browser.switch_to.active_element.send_keys(Keys.ENTER)
        self.until(lambda: self.browser.switch_to.active_element.get_attribute("name") == "name", "the focused form")
        self.browser.switch_to.active_element.send_keys("Typed", Keys.TAB, "1 > 0", Keys.ENTER)
        self.lands("registryd", '<addlogic logic="1 > 0" name="Typed" timeout="" />', since)

    def test_09w_a_read_only_account_sees_no_write_control_in_the_new_views(self):
        self.assertIn("no error", self.gateway(querytype="adduser", name="looker", h="look", swrite="", k=self.admin_key(),
                                               sread="system,logics,devvirt,cameras,canbus,sdcard,elements,modules,groups,languages,"))
        self.log_in("looker", "look")
        for view, headings in (("devices", ["Elements", "Modules", "CAN bus", "SD card", "Cameras"]),
                               ("automation", ["Groups", "Logics", "Timers", "Ping checks", "Triggers", "SNMP-get probes"]),
                               ("settings", ["Network", "Web server", "SNMP agent", "Time"]),
                               ("files", ["Floor map", "Languages"])):
            self.open_view(view)
            self.until(lambda: [h.text for h in self.finds("main h2")] == headings and "Loading…" not in self.find("main").text,
                       f"the {view} view, read only")
            # Reading the CAN bus takes the interface; a language is downloaded.
            controls = [b.text for b in self.finds("main button")] + [i.get_attribute("name") for i in self.finds("main input, main select")]
            self.assertEqual([c for c in controls if c not in ("Read", "if") and not c.startswith("Download ")], [], view)
            self.shot(f"{view}-read-only")

    # ---- the floor map -----------------------------------------------------

    def registry(self, command):
        """One command straight to the element database, as a sibling daemon sends it."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(str(self.root / "tmp/registryd.socket"))
            s.sendall(command.encode() + b"\0")
            return b"".join(iter(lambda: s.recv(4096), b"")).decode()

    def journal(self, prefix):
        return [line for line in (self.root / "tmp/appliance-sim.journal").read_text().splitlines()
                if line.startswith(prefix)]

    def mark(self, element):
        return self.until(lambda: self.finds(f'.floor-map .mark[data-element="{element}"]'), f"the mark of {element}")[0]

    def test_09m1_an_output_is_placed_moved_and_switched_on_the_floor_map(self):
        (self.root / "mnt/jffs/etc/map").unlink(missing_ok=True)
        self.log_in()
        self.open_view("map")
        self.text_shows("There is no such file on the appliance.")
        self.find('main a[href="#files"]')  # where the upload is
        (self.root / "mnt/jffs/etc/map").write_bytes(png(400, 300))
        key = self.admin_key()
        self.gateway(querytype="setelementpos", id="122", fpi="2", size="3", k=key)  # settings, not yet a place
        self.browser.refresh()
        item = self.until(lambda: self.finds('.floor-list li[data-element="122"]'), "the siren in the list")[0]
        ActionChains(self.browser).click_and_hold(self.find("button.put", item)).move_to_element_with_offset(
            self.find(".floor-map img"), -80, -50).release().perform()
        self.text_shows("Siren relay is at ")
        x, y = map(int, re.search(r"Siren relay is at (\d+), (\d+)\.", self.find("main").text).groups())
        self.assertLessEqual(abs(x - 120) + abs(y - 100), 2)  # the picture's pixel under the pointer
        # Arrow keys move the focused mark; the run is saved once, with the
        # other place attributes as they were.
        self.mark("122").send_keys(Keys.RIGHT, Keys.RIGHT, Keys.RIGHT, Keys.SHIFT, Keys.DOWN)
        self.text_shows(f"Siren relay is at {x + 3}, {y + 10}.")
        self.assertEqual(self.journal('registryd\t<setelement id="122"')[-2:],
                         [f'registryd\t<setelement id="122" x="{x}" y="{y}" fpi="2" size="3"/>',
                          f'registryd\t<setelement id="122" x="{x + 3}" y="{y + 10}" fpi="2" size="3"/>'])
        self.browser.refresh()  # the place is the appliance's
        self.mark("122").send_keys(Keys.ENTER)
        self.text_shows(f"Place\n{x + 3}, {y + 10}")
        colours = []
        for button, command, after in (("Switch on", '<updateelement id="122" element="122" value="1"/>', "on"),
                                       ("Switch off", '<updateelement id="122" element="122" value="0"/>', "off"),
                                       ("Send a pulse", '<updateelement element="122" value="pulse" />', "pulse")):
            self.browser.find_element(By.XPATH, f'//button[text()="{button}"]').click()
            self.until(lambda: f"baseiod\t{command}" in self.journal("baseiod"), command)
            self.until(lambda: after in self.mark("122").get_attribute("class").split(), f"the {after} mark")
            colours.append(self.mark("122").value_of_css_property("background-color"))
            if after == "on":
                self.browser.execute_script("window.scrollTo(0, 0)")
                self.shot("map")
        self.assertEqual(len(set(colours)), 3, colours)

    def test_09m2_a_sensors_chart_draws_the_values_read(self):
        added = self.registry('<dbaddelement module="110" num="9" class="sensor" name="Test probe" value="41.5" />')
        probe = re.search(r'id="(\d+)"', added).group(1)
        self.log_in()
        self.open_view("map")
        spark = f'li[data-element="{probe}"] .spark svg'
        self.until(lambda: "Test probe: 41.5 now" in self.find(spark).get_attribute("aria-label"), "the first value")
        self.registry(f'<dbupdate id="{probe}" value="12.25" />')
        self.until(lambda: "Test probe: 12.25 now" in self.find(spark).get_attribute("aria-label"), "the changed value")
        self.find(spark).click()  # larger, with its scale
        texts = [t.text for t in self.until(lambda: self.finds(".chart.large text"), "the large chart")]
        self.assertEqual([texts[0], texts[1], texts[4]], ["41.5", "12.25", "now 12.25"])
        self.shot("map-chart")

    def test_09m3_a_read_only_account_sees_the_map_but_no_control(self):
        key = self.admin_key()
        self.assertIn("no error", self.gateway(querytype="adduser", name="watcher", h="watch", sread="elements,",
                                               swrite="", k=key))
        place = self.gateway(querytype="getelementpos", id="122", k=key)
        self.log_in("watcher", "watch")
        self.open_view("map")
        ActionChains(self.browser).drag_and_drop_by_offset(self.mark("122"), 40, 30).perform()
        self.mark("122").click()
        self.text_shows("Place\n")
        self.assertEqual([b.text for b in self.finds("main button")
                          if b.text in ("Switch on", "Switch off", "Send a pulse", "Place on the map")], [])
        self.assertNotIn("movable", self.mark("122").get_attribute("class"))
        self.assertEqual(self.gateway(querytype="getelementpos", id="122", k=key), place)
        self.shot("map-read-only")

    def test_10_a_daemon_that_is_down_shows_where_its_data_would_be(self):
        self.log_in()
        self.open_view("notifiers")
        form = self.until(lambda: self.finds('[data-kind="trap"] button'), "the add button")[0]
        for daemon in ("heraldd", "warderd"):
            subprocess.run(["pkill", "-TERM", "-f", f"{daemon} -m -f {self.root}/"], check=True)
        form.click()  # the form opened before the daemon went
        form = self.until(lambda: self.finds("form"), "the notifier form")[0]
        self.fill(form, {"name": "Late", "server": "127.0.0.1"})
        self.find('button[type="submit"]', form).click()
        self.until(lambda: "module is not loaded" in self.find(".status", form).text, "the error beside the action")
        self.open_view("keys")
        self.text_shows("module is not loaded")
        self.open_view("notifiers")
        self.text_shows("module is not loaded")
        self.shot("notifiers-daemon-down")
        self.open_view("system")
        self.text_shows("Server room temperature")

if __name__ == "__main__":
    unittest.main(verbosity=2)
