#!/usr/bin/env python3
# The web client tests' server: Python's own http.server on a loopback port
# it prints, serving the files of its working directory, plus "/moved" (a
# 301), "/chunked" (a chunked text body with extensions and a trailer) and
# "/echo" (the request target and the Host and Connection fields as text).
import http.server

class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, code, kind, body):
        self.send_response(code)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/moved"):
            self.send_response(301)
            self.send_header("Location", "/hello.txt")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path.startswith("/chunked"):
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for part in (b"first ", b"second"):
                self.wfile.write(b"%x;n=1\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\nX-Trailer: yes\r\n\r\n")
        elif self.path.startswith("/echo"):
            text = "%s|%s|%s" % (self.path, self.headers.get("Host"), self.headers.get("Connection"))
            self.reply(200, "text/plain", text.encode("latin-1"))
        else:
            super().do_GET()

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("port %d" % server.server_address[1], flush=True)
server.serve_forever()
