#!/usr/bin/python3
"""The score service's FTP server, as the transfer tests and benchmark run it.

Binds a free loopback port and prints "PORT <n>" on stdout once it accepts
connections; runs until it is terminated.

Modes:
  plain   FTP without TLS (AUTH is refused)
  tls     FTP that accepts AUTH TLS on the control connection (--cert)
  stall   FTP whose listings never end: the names are sent, then the data
          connection stays open and the server says nothing more
  silent  a raw socket that accepts connections and never answers
  slow    FTP that takes uploads at 32 KiB a second
  long-names
          FTP whose name-only listings also hold ten names of 5 MB and one
          of 10 MB (no file system holds such names; a hostile server sends
          them)

With --log every command the server receives is written to that file, one
line each, as "<tls|plain> <COMMAND> <argument as a Python literal>" (the
password is masked), so a test can see what reached the server and whether
the login was encrypted.

--make-cert FILE writes a self-signed certificate and key for 127.0.0.1 to
FILE (PEM, both in one file) and exits.
"""
import argparse
import datetime
import socket
import sys
import threading


def make_cert(path):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import NameOID
    import ipaddress

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(key, hashes.SHA256()))
    with open(path, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.TraditionalOpenSSL,
                                  serialization.NoEncryption()))
        f.write(cert.public_bytes(serialization.Encoding.PEM))


def announce(port):
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()


def run_silent():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    announce(listener.getsockname()[1])
    held = []
    while True:
        conn, _ = listener.accept()
        held.append(conn)  # keep it open, say nothing


def run_ftp(args):
    import logging
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import DTPHandler, FTPHandler, TLS_FTPHandler
    from pyftpdlib.servers import FTPServer

    logging.basicConfig(level=logging.CRITICAL)
    log_lock = threading.Lock()

    class Recording:
        def pre_process_command(self, line, cmd, arg):
            if args.log:
                shown = "***" if cmd.upper() == "PASS" else arg
                secure = "tls" if getattr(self, "_ssl_established", False) else "plain"
                with log_lock, open(args.log, "a", encoding="utf-8") as f:
                    f.write("%s %s %r\n" % (secure, cmd, shown))
            return super().pre_process_command(line, cmd, arg)

    class EndlessDTP(DTPHandler):
        # The listing is sent, but the transfer is never closed or confirmed.
        def close_when_done(self):
            pass

    base = TLS_FTPHandler if args.mode == "tls" else FTPHandler
    if args.mode == "tls":
        # The score server's data channel, which reads a client's early TLS
        # handshake on a protected (PROT P) data connection.
        import os
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
        from score_server import PrivateDataChannel

    class Handler(Recording, base):
        pass

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elradfmwMT")
    Handler.authorizer = authorizer
    Handler.passive_ports = None
    if args.mode == "tls":
        Handler.certfile = args.cert
        Handler.tls_control_required = False
        Handler.tls_data_required = False
        Handler.dtp_handler = PrivateDataChannel
    if args.mode == "stall":
        Handler.dtp_handler = EndlessDTP
    if args.mode == "slow":
        from pyftpdlib.handlers import ThrottledDTPHandler

        class SlowDTP(ThrottledDTPHandler):
            read_limit = 32 * 1024

        Handler.dtp_handler = SlowDTP

    if args.mode == "long-names":
        from pyftpdlib.filesystems import AbstractedFS

        class LongNamesFS(AbstractedFS):
            def listdir(self, path):
                names = super().listdir(path)
                names += [chr(ord("a") + i) * (5 * 1000 * 1000) for i in range(10)]
                return names + ["z" * (10 * 1000 * 1000)]

        Handler.abstracted_fs = LongNamesFS

    server = FTPServer(("127.0.0.1", 0), Handler)
    server.max_cons = 64
    announce(server.address[1])
    server.serve_forever(handle_exit=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mode", choices=["plain", "tls", "stall", "silent", "slow", "long-names"], default="plain")
    p.add_argument("--home")
    p.add_argument("--user", default="korvala")
    p.add_argument("--password", default="secret")
    p.add_argument("--cert")
    p.add_argument("--log")
    p.add_argument("--make-cert")
    args = p.parse_args()
    if args.make_cert:
        make_cert(args.make_cert)
        return
    if args.mode == "silent":
        run_silent()
    else:
        run_ftp(args)


if __name__ == "__main__":
    main()
