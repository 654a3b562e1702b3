#!/usr/bin/env python3
"""A chat robot's webhook for the Windows tests, on the Linux side.

It keeps every POST it gets in --outdir: req-NNNN.body holds the body's
bytes as they came, req-NNNN.json the request (path, query decoded, headers
with lower-case names). The first part of the path chooses the answer, as
the services give theirs: /slack... "ok"; /refuse... HTTP 200 with
{"errcode":93000,"errmsg":"invalid webhook url"}; /wecomtext... as a WeCom
text robot, {"errcode":40058,...} for a content beyond 2048 bytes of UTF-8;
/busy... HTTP 429 with "Retry-After: 1" to the first post of its path, "ok"
after; anything else HTTP 200 with {"errcode":0,"errmsg":"ok"}. Each record
holds the time it came ("time", seconds). With --cert and --key it speaks HTTPS.
Once it listens it writes the file named by --ready.
"""
import argparse
import http.server
import json
import os
import ssl
import threading
import time
import urllib.parse


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--outdir", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    lock = threading.Lock()
    counter = [0]
    seen = set()  # the paths that have had a post

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            url = urllib.parse.urlsplit(self.path)
            record = {
                "path": url.path,
                "query": dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True)),
                "headers": {name.lower(): value for name, value in self.headers.items()},
                "time": time.time(),
            }
            with lock:
                first = url.path not in seen
                seen.add(url.path)
                counter[0] += 1
                stem = os.path.join(args.outdir, "req-%04d" % counter[0])
                with open(stem + ".body", "wb") as out:
                    out.write(body)
                # The .json last, under its final name at once: a reader
                # that sees it finds the body complete.
                with open(stem + ".tmp", "w", encoding="utf-8") as out:
                    json.dump(record, out)
                os.rename(stem + ".tmp", stem + ".json")
            extra = []
            status = 200
            if url.path.startswith("/slack"):
                answer, kind = b"ok", "text/plain"
            elif url.path.startswith("/busy"):
                answer, kind = (b"rate_limited", "text/plain") if first else (b"ok", "text/plain")
                if first:
                    status = 429
                    extra.append(("Retry-After", "1"))
            elif url.path.startswith("/wecomtext"):
                try:
                    content = json.loads(body.decode("utf-8"))["text"]["content"]
                    fits = len(content.encode("utf-8")) <= 2048
                except (ValueError, KeyError, TypeError):
                    fits = False
                answer = b'{"errcode":0,"errmsg":"ok"}' if fits else \
                    b'{"errcode":40058,"errmsg":"content exceed max length"}'
                kind = "application/json"
            elif url.path.startswith("/refuse"):
                answer, kind = b'{"errcode":93000,"errmsg":"invalid webhook url"}', "application/json"
            else:
                answer, kind = b'{"errcode":0,"errmsg":"ok"}', "application/json"
            self.send_response(status)
            for name, value in extra:
                self.send_header(name, value)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, format, *arguments):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(args.ready, "w") as ready:
        ready.write("%d\n" % args.port)
    server.serve_forever()


if __name__ == "__main__":
    main()
