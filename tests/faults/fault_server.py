#!/usr/bin/python3
"""The game's score server (scripts/score_server.py) with a fault switched on,
for the fault tests. FTP only, on loopback, with the score server's own
account and folders, and its TLS: AUTH TLS required on the control
connection and PROT P on the data connections, read by the score server's
own data channel (PrivateDataChannel). Without python3-openssl it runs
plain FTP, refusing AUTH as the score server then does, and the game
carries on in plain FTP on loopback.

Modes:
  normal         the score server as it is
  stall-upload   a STOR takes the first --stall-bytes bytes of the file, writes
                 them to the upload's temporary file in the account's home,
                 then reads nothing more and never answers: an upload cut off
                 half-way once the server is killed
  stall-listing  an NLST sends the first half of the names (a name cut in
                 two included) and then neither ends the data connection nor
                 answers: a listing cut off half-way once the server is killed
  silent         a bare socket that accepts connections and never says a word

Prints "fault server ready <mode> ftp=<port> <tls|plain>" once it listens
(the certificate, with TLS, is in place by then), then one line
per fault as it happens ("upload stalled <file> <bytes>", "listing stalled
<bytes of <total>>", "connection held <n>"), flushed at once, so a test can
kill it at that moment. Runs until it is killed or terminated.
"""
import argparse
import os
import socket
import sys
from pathlib import Path


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def run_silent(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    say("fault server ready silent ftp=%d" % listener.getsockname()[1])
    held = []
    while True:
        conn, _ = listener.accept()
        held.append(conn)  # kept open, never answered
        say("connection held %d" % len(held))


def run_ftp(args):
    sys.path.insert(0, args.scripts)
    import score_server
    from pyftpdlib.ioloop import RetryError
    from pyftpdlib.servers import FTPServer

    home = Path(args.folder).resolve() / "ftp"
    (home / score_server.SCORE_FOLDER).mkdir(parents=True, exist_ok=True)
    tls = score_server.TLS_FTPHandler is not None
    if tls:
        from score_server import PrivateDataChannel
        cert = Path(args.cert).resolve() if args.cert else Path(args.folder).resolve() / "cert.pem"
        cert, key = score_server.ensure_certificate(cert, "127.0.0.1")
        base = score_server.make_ftp_handler(home, True, cert, key)
        data_base = PrivateDataChannel
    else:
        print("fault server: python3-openssl is missing: FTP runs without TLS", file=sys.stderr)
        base = score_server.make_ftp_handler(home, False)
        data_base = base.dtp_handler
    mode = args.mode
    stall_bytes = args.stall_bytes

    class FaultyData(data_base):
        stalled = False
        listing = False
        announced = False

        def handle_read(self):
            if self.stalled:
                return
            if mode != "stall-upload":
                return super().handle_read()
            # Takes at most what is left below the stall point, so the file
            # holds exactly the first stall_bytes bytes.
            want = max(1, stall_bytes - self.tot_bytes_received)
            try:
                chunk = self.recv(min(want, self.ac_in_buffer_size))
            except RetryError:
                return  # a TLS record not complete yet
            except Exception:
                return super().handle_error()
            self.tot_bytes_received += len(chunk)
            if not chunk:
                self.transfer_finished = True
                return
            self.file_obj.write(chunk)
            if self.tot_bytes_received >= stall_bytes:
                self.file_obj.flush()
                os.fsync(self.file_obj.fileno())
                self.stalled = True
                say("upload stalled %s %d" % (os.path.basename(self.file_obj.name), self.tot_bytes_received))

        # pyftpdlib reads through handle_read_event, bound to its own
        # handle_read (after the TLS handshake, with TLS); an upload here is
        # read by the one above once the handshake is done.
        def handle_read_event(self):
            handshaking = getattr(self, "_ssl_accepting", False) or getattr(self, "_ssl_closing", False)
            if mode == "stall-upload" and self.receive and not handshaking:
                self._ssl_want_read = False
                return self.handle_read()
            return super().handle_read_event()

        def readable(self):
            if self.stalled:
                return False
            return super().readable()

        def close_when_done(self):
            if self.listing:
                return  # the listing never ends
            return super().close_when_done()

        def send(self, data):
            sent = super().send(data)
            if self.listing and sent and not self.announced:
                self.announced = True
                say("listing stalled %d of %d" % (sent, self.listing_total))
            return sent

    class FaultyControl(base):
        dtp_handler = FaultyData

        def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
            if mode == "stall-listing" and cmd == "NLST":
                # The server sends a listing whole or from a producer of
                # chunks: either way only its first half goes out.
                if isproducer:
                    whole = b"".join(iter(data.more, b""))
                    isproducer = False
                else:
                    whole = data
                total = len(whole)
                data = whole[:max(1, total // 2)]
                if self.data_channel is not None:
                    self.data_channel.listing = True
                    self.data_channel.listing_total = total
                else:
                    FaultyData.listing = True
                    FaultyData.listing_total = total
            return super().push_dtp_data(data, isproducer, file, cmd)

    server = FTPServer(("127.0.0.1", args.ftp_port), FaultyControl)
    say("fault server ready %s ftp=%d %s" % (mode, server.address[1], "tls" if tls else "plain"))
    server.serve_forever(handle_exit=True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser()
    p.add_argument("--mode", choices=["normal", "stall-upload", "stall-listing", "silent"], default="normal")
    p.add_argument("--folder", required=True, help="as the score server's: ftp/ holds the account's home")
    p.add_argument("--ftp-port", type=int, default=2121)
    p.add_argument("--cert", help="certificate (made if missing; key beside it)")
    p.add_argument("--stall-bytes", type=int, default=40)
    p.add_argument("--scripts", default=os.path.join(here, "..", "..", "scripts"),
                   help="the folder holding score_server.py")
    args = p.parse_args()
    if args.mode == "silent":
        run_silent(args.ftp_port)
    else:
        run_ftp(args)


if __name__ == "__main__":
    main()
