#!/usr/bin/python3
"""An SMTP sink for the tests and the demo: aiosmtpd on a loopback port.

    smtp_sink.py PORT SPOOL [USER PASSWORD]

Every message received is appended to SPOOL as

    === message
    auth: USER (or -)
    from: ENVELOPE SENDER
    to: RECIPIENT[,RECIPIENT...]

    CONTENT
    === end

With USER and PASSWORD the server offers AUTH (PLAIN, LOGIN) without TLS and
accepts only that account; without them it takes mail from anyone.
"""
import sys
import time
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Spool:
    def __init__(self, path):
        self.path = path

    async def handle_DATA(self, server, session, envelope):
        user = session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword) else "-"
        content = envelope.content.decode("utf-8", "replace").replace("\r\n", "\n")
        with open(self.path, "a", encoding="utf-8") as spool:
            spool.write(f"=== message\nauth: {user}\nfrom: {envelope.mail_from}\n"
                        f"to: {','.join(envelope.rcpt_tos)}\n\n{content}=== end\n")
        return "250 OK"


def main():
    warnings.simplefilter("ignore")  # AUTH without TLS is what the tests want
    port, spool = int(sys.argv[1]), sys.argv[2]
    account = (sys.argv[3].encode(), sys.argv[4].encode()) if len(sys.argv) > 4 else None

    def authenticator(server, session, envelope, mechanism, data):
        ok = isinstance(data, LoginPassword) and (data.login, data.password) == account
        return AuthResult(success=ok, handled=False, auth_data=data)

    kwargs = {}
    if account:
        kwargs = dict(authenticator=authenticator, auth_required=True, auth_require_tls=False)
    controller = Controller(Spool(spool), hostname="127.0.0.1", port=port, **kwargs)
    controller.start()
    print("listening", flush=True)
    try:
        while True:
            time.sleep(3600)
    finally:
        controller.stop()


main()
