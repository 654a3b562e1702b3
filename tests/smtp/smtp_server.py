#!/usr/bin/python3
"""A real SMTP server on 127.0.0.1 for the tests of the mail client.

aiosmtpd with one account. Each message it accepts is parsed with Python's
email package and written, before the server answers the end of the data,
as one JSON file into the output directory (msg-0001.json, msg-0002.json,
...). Byte strings that need not be valid text go out as hexadecimal.

Usage: smtp_server.py --port P --user U --password W --outdir D --ready F
                      [--security plain|starttls|require-starttls|implicit
                       --cert C --key K] [--mechanisms LOGIN,PLAIN] [--no-auth]
The ready file is created once the server accepts connections.

Security: plain (the default) allows AUTH on plain TCP; starttls offers
STARTTLS and allows AUTH only after it; require-starttls refuses everything
but EHLO, STARTTLS and QUIT before it; implicit speaks TLS from the first
byte. --mechanisms limits the AUTH mechanisms offered. --no-auth takes mail
without a login, as a local relay does (AUTH is still offered).
"""
import argparse
import email.header
import email.parser
import email.policy
import json
import os
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def text(value):
    """Any str (even one holding escaped bytes) as valid Unicode."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return value.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def decoded_header(msg, name, raw):
    try:
        return text(str(email.header.make_header(email.header.decode_header(raw))))
    except Exception:
        return text(raw)


def describe(server, envelope, session):
    raw = envelope.original_content or b""
    msg = email.parser.BytesParser(policy=email.policy.default).parsebytes(raw)
    headers = [[name, decoded_header(msg, name, value)] for name, value in msg.raw_items()]

    body_part = msg
    if msg.is_multipart():
        body_part = None
        for part in msg.walk():
            if part.get_content_maintype() == "text" and not part.is_attachment():
                body_part = part
                break
    body = None
    if body_part is not None:
        try:
            body = text(body_part.get_content()).replace("\r\n", "\n")
        except Exception as e:
            body = None
            sys.stderr.write("body not decoded: %r\n" % e)

    attachments = []
    for part in msg.iter_attachments():
        data = part.get_payload(decode=True) or b""
        attachments.append({
            "filename": text(part.get_filename() or ""),
            "content_type": part.get_content_type(),
            "data_hex": data.hex(),
        })

    defects = [type(d).__name__ for d in msg.defects]
    for part in msg.walk():
        if part is not msg:
            defects += [type(d).__name__ for d in part.defects]

    # Header values as the structured parser reads them: its complaints, and
    # the display name and address of each mailbox of the address headers.
    addresses = {}
    for name in dict.fromkeys(msg.keys()):
        for value in msg.get_all(name, []):
            try:
                defects += ["%s: %s" % (name, type(d).__name__) for d in getattr(value, "defects", ())]
                if hasattr(value, "addresses"):
                    addresses.setdefault(name.lower(), []).extend(
                        [text(a.display_name), text(a.addr_spec)] for a in value.addresses)
            except Exception as e:
                defects.append("%s: %s" % (name, type(e).__name__))

    login = ""
    if isinstance(session.auth_data, LoginPassword):
        login = text(session.auth_data.login)
    subject = msg.get("Subject")
    ssl_object = server.transport.get_extra_info("ssl_object") if server.transport else None
    return {
        "tls_version": ssl_object.version() if ssl_object is not None else "",
        "mail_from": text(envelope.mail_from or ""),
        "rcpt_tos": [text(r) for r in envelope.rcpt_tos],
        "auth_login": login,
        "raw_hex": raw.hex(),
        "headers": headers,
        "subject": decoded_header(msg, "Subject", subject) if subject is not None else None,
        "is_multipart": msg.is_multipart(),
        "body": body,
        "body_content_type": body_part.get_content_type() if body_part is not None else "",
        "body_charset": (body_part.get_content_charset() or "") if body_part is not None else "",
        "body_transfer_encoding": str(body_part.get("Content-Transfer-Encoding", "")) if body_part is not None else "",
        "attachments": attachments,
        "defects": defects,
        "addresses": addresses,
    }


class Saver:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        record = describe(server, envelope, session)
        with self.lock:
            self.count += 1
            name = os.path.join(self.outdir, "msg-%04d.json" % self.count)
        temp = name + ".tmp"
        with open(temp, "w", encoding="ascii") as out:
            json.dump(record, out, ensure_ascii=True)
        os.replace(temp, name)
        return "250 Message accepted for delivery"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--outdir", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--security", default="plain",
                        choices=["plain", "starttls", "require-starttls", "implicit"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--mechanisms", default="")
    parser.add_argument("--no-auth", action="store_true",
                        help="take mail without a login (AUTH is still offered)")
    parser.add_argument("--no-8bitmime", action="store_true",
                        help="do not offer 8BITMIME (the server takes 7-bit data only)")
    parser.add_argument("--sni-log", help="file that gets the server name of each TLS handshake, one a line")
    args = parser.parse_args()

    user = args.user.encode("utf-8")
    password = args.password.encode("utf-8")

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    # aiosmtpd counts only STARTTLS as TLS; on an implicit TLS listener AUTH
    # is as safe as after it.
    options = dict(authenticator=authenticator, auth_required=not args.no_auth,
                   auth_require_tls=args.security in ("starttls", "require-starttls"))
    if args.mechanisms:
        offered = set(args.mechanisms.upper().split(","))
        options["auth_exclude_mechanism"] = [m for m in ("LOGIN", "PLAIN") if m not in offered]
    if args.no_8bitmime:
        options["decode_data"] = True
    context = None
    if args.security != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.sni_log:
            def record_sni(ssl_object, server_name, ssl_context):
                with open(args.sni_log, "a") as log:
                    log.write("%s\n" % (server_name or ""))
            context.sni_callback = record_sni
    if args.security in ("starttls", "require-starttls"):
        options["tls_context"] = context
        options["require_starttls"] = args.security == "require-starttls"
    controller = Controller(
        Saver(args.outdir), hostname="127.0.0.1", port=args.port,
        ssl_context=context if args.security == "implicit" else None, **options)
    controller.start()
    with open(args.ready, "w") as ready:
        ready.write("%d\n" % args.port)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
