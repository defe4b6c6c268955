#!/usr/bin/env python3
"""TLS peers for the end-to-end tests of the server-name and ALPN rules.

server DIR TAG...   Makes a throw-away certificate in DIR, then runs one TLS server per
                    tag on 127.0.0.1, each on a port the system picks, and prints
                    "TAG PORT" for each. Each connection gets one line back: the tag, the
                    ALPN protocol chosen ("-" for none) and the line it sent. Runs until
                    it is killed.
client PORT NAME ALPN
                    A TLS client of 127.0.0.1:PORT offering the server name NAME ("-":
                    none) and the ALPN protocols ALPN (comma-separated, "-": none). Its
                    ClientHello goes out in two writes with a pause between them, cut just
                    before the server name. It then sends "ping" and prints the reply line.
"""
import os
import socket
import ssl
import subprocess
import sys
import threading
import time

PROTOCOLS = ["h2", "http/1.1"]


def serve_one(context, connection, tag):
    with connection:
        try:
            tls = context.wrap_socket(connection, server_side=True)
            line = b""
            while not line.endswith(b"\n"):
                data = tls.recv(4096)
                if not data:
                    return
                line += data
            alpn = tls.selected_alpn_protocol() or "-"
            tls.sendall(f"{tag} {alpn} ".encode() + line)
        except (ssl.SSLError, OSError):
            pass


def serve(listener, context, tag):
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve_one, args=(context, connection, tag), daemon=True).start()


def server(directory, tags):
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                    "-subj", "/CN=tarnwick-test", "-days", "1"],
                   check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(PROTOCOLS)
    threads = []
    for tag in tags:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        print(tag, listener.getsockname()[1], flush=True)
        threads.append(threading.Thread(target=serve, args=(listener, context, tag), daemon=True))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def client(port, name, alpn):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if alpn != "-":
        context.set_alpn_protocols(alpn.split(","))
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname=None if name == "-" else name)
    sock = socket.create_connection(("127.0.0.1", port), timeout=20)

    def receive():
        data = sock.recv(16384)
        if not data:
            sys.exit("closed by the peer")
        incoming.write(data)

    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    hello = outgoing.read()
    cut = hello.find(name.encode()) if name != "-" else len(hello) // 2
    sock.sendall(hello[:cut])
    time.sleep(0.2)  # the pause between the two writes is what is tested
    sock.sendall(hello[cut:])
    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            sock.sendall(outgoing.read())
            receive()
    tls.write(b"ping\n")
    sock.sendall(outgoing.read())
    reply = b""
    while not reply.endswith(b"\n"):
        try:
            reply += tls.read(4096)
        except ssl.SSLWantReadError:
            receive()
    print(reply.decode().strip(), flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "server":
        server(sys.argv[2], sys.argv[3:])
    else:
        client(int(sys.argv[2]), sys.argv[3], sys.argv[4])
