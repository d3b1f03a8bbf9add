#!/usr/bin/python3
# A scriptable FTP server for the tests (pyftpdlib on 127.0.0.1); writes its port to a file.
#
# Usage: ftp_server.py ROOT PORTFILE [VARIANT...]
# Variants: nofeat (FEAT refused), noport (PORT refused), short (RETR sends 600 bytes, then 226),
# drop (closes the control connection at the second LIST without options), dos (DOS listings), lf
# (lone LF line ends), badline (a line no parser reads), longline (a listing line of 20000 bytes),
# multiline (multi-line replies: greeting, 226 and a refused MKD), throttle (data at 64 KiB/s),
# pasv10 (PASV names 10.0.0.1), guest (only "gastkonto" logs in; TYPE I refused before), port=N
# (listen on port N), modes (fixed listing with s/S/t/T and a tenth mode letter),
# links (fixed listing of links), rate=N (data at N bytes per second), hostile (folder "evil"
# lists a file "..", folder "worse" a name with "/"), locked (folder "locked" may only be read),
# v6 (listen on ::1 instead), notimes (MFMT refused), journal (every command's verb and argument,
# one a line, appended to PORTFILE.journal), norename (every RNTO refused with 553), noreplace
# (RNTO onto an existing name refused with 553), rntofail=N (the Nth RNTO of the server refused).
import os
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

root, port_file = sys.argv[1], sys.argv[2]
variants = set(sys.argv[3:])


class FS(AbstractedFS):
    def format_list(self, basedir, listing, ignore_err=True):
        if "dos" in variants:
            for name in listing:
                path = os.path.join(basedir, name)
                try:
                    st = os.lstat(path)
                except OSError:
                    continue
                stamp = time.strftime("%m-%d-%y  %I:%M%p", time.gmtime(st.st_mtime))
                if os.path.isdir(path):
                    line = "%s       <DIR>          %s" % (stamp, name)
                else:
                    line = "%s %20d %s" % (stamp, st.st_size, name)
                yield (line + "\r\n").encode(self.cmd_channel.encoding, self.cmd_channel.unicode_errors)
            return
        if "hostile" in variants and basedir.rstrip("/").endswith("evil"):
            for line in ["-rw-r--r--   1 0 0 5 Jan 05  2020 ..", "-rw-r--r--   1 0 0 5 Jan 05  2020 fine.txt"]:
                yield (line + "\r\n").encode("utf8")
            return
        if "hostile" in variants and basedir.rstrip("/").endswith("worse"):
            yield b"-rw-r--r--   1 0 0 5 Jan 05  2020 ../escape\r\n"
            return
        if "modes" in variants or "links" in variants or "badline" in variants or "longline" in variants:
            lines = ["total 12"]
            if "modes" in variants:
                lines += [
                    "drwxrwsr-x   2 0 0 4096 Jan 05  2020 setgid",
                    "drwxrwxrwt   2 0 0 4096 Jan 05  2020 sticky",
                    "drwxrwxrwT+  2 0 0 4096 Jan 05  2020 acl",
                    "-rwSr--r--.  1 0 0   12 Jan 05  2020 selinux",
                    "prw-r--r--   1 0 0    0 Jan 05  2020 fifo",
                    "-rw-r--r--   1 0 0 5000000000 Jan 05  2020 big",
                ]
            if "links" in variants:
                lines += [
                    "lrwxrwxrwx   1 0 0    4 Jan 05  2020 tofolder -> real",
                    "lrwxrwxrwx   1 0 0    4 Jan 05  2020 tofile -> real/inner.txt",
                    "lrwxrwxrwx   1 0 0    4 Jan 05  2020 slash -> somewhere/",
                    "lrwxrwxrwx   1 0 0    4 Jan 05  2020 broken -> nothing",
                ]
            if "badline" in variants:
                lines += ["-rw-r--r--   1 0 0 12 Jan 05  2020 good", "this is no listing line"]
            if "longline" in variants:
                lines += ["-rw-r--r--   1 0 0 12 Jan 05  2020 " + "x" * 20000]
            for line in lines:
                yield (line + "\r\n").encode("utf8")
            return
        for data in AbstractedFS.format_list(self, basedir, listing, ignore_err):
            if "lf" in variants:
                data = data.replace(b"\r\n", b"\n")
            yield data


class Handler(FTPHandler):
    abstracted_fs = FS
    use_gmt_times = True
    auth_failed_timeout = 0.05
    permit_foreign_addresses = False
    lists = 0
    rntos = 0

    def pre_process_command(self, line, cmd, arg):
        if "journal" in variants:
            with open(port_file + ".journal", "a") as journal:
                journal.write("%s %s\n" % (cmd, arg if cmd != "PASS" else "***"))
        if cmd == "MFMT" and "notimes" in variants:
            self.respond("502 MFMT refused.")
            return
        if cmd == "LIST" and "drop" in variants and not arg.startswith("-"):
            Handler.lists += 1
            if Handler.lists == 2:
                self.close()
                return
        if cmd == "RNTO":
            Handler.rntos += 1
            taken = os.path.lexists(self.fs.ftp2fs(arg))
            if ("norename" in variants or ("noreplace" in variants and taken) or
                    "rntofail=%d" % Handler.rntos in variants):
                self.respond("553 Rename refused.")
                return
        if cmd == "FEAT" and "nofeat" in variants:
            self.respond("500 FEAT not understood.")
            return
        if cmd in ("PORT", "EPRT") and "noport" in variants:
            self.respond("500 PORT refused.")
            return
        if cmd == "MKD" and "multiline" in variants and "refuse" in arg:
            self.push("550-Cannot make it\r\n it is refused\r\n550 Refused.\r\n")
            return
        if cmd == "TYPE" and "guest" in variants and self.username != "gastkonto":
            self.respond("530 Only guests.")
            return
        return FTPHandler.pre_process_command(self, line, cmd, arg)

    def handle(self):
        if "multiline" in variants:
            self.on_connect()
            self.push("220-Welcome to the test server\r\n2 users online\r\n220 ready.\r\n")
            return
        FTPHandler.handle(self)

    def respond(self, resp, *args, **kwargs):
        if "multiline" in variants and resp.startswith("226 "):
            self.push("226-Transfer complete.\r\n 2 files\r\n")
        if "pasv10" in variants and resp.startswith("227 "):
            port = resp[resp.index("(") + 1:resp.index(")")].split(",")
            resp = "227 Entering passive mode (10,0,0,1,%s,%s)." % (port[4], port[5])
        return FTPHandler.respond(self, resp, *args, **kwargs)

    def ftp_RETR(self, file):
        if "short" in variants and os.path.isfile(file):
            with open(file, "rb") as f:
                data = f.read(600)
            self.push_dtp_data(data, isproducer=False, cmd="RETR")
            return file
        return FTPHandler.ftp_RETR(self, file)


rate = 64 * 1024 if "throttle" in variants else 0
for v in variants:
    if v.startswith("rate="):
        rate = int(v[5:])
if rate:
    class Throttled(ThrottledDTPHandler):
        read_limit = rate
        write_limit = rate
    Handler.dtp_handler = Throttled

authorizer = DummyAuthorizer()
if "guest" in variants:
    authorizer.add_user("gastkonto", "gastkonto", root, perm="elradfmwMT")
authorizer.add_user("anna", "geheim", root, perm="elradfmwMT")
if "locked" in variants:
    os.makedirs(os.path.join(root, "locked"), exist_ok=True)
    authorizer.override_perm("anna", os.path.join(root, "locked"), perm="elr", recursive=True)
Handler.authorizer = authorizer
Handler.passive_ports = None

listen_port = 0
for v in variants:
    if v.startswith("port="):
        listen_port = int(v[5:])
FTPServer.allow_reuse_address = True
server = FTPServer(("::1" if "v6" in variants else "127.0.0.1", listen_port), Handler)
server.max_cons = 64
with open(port_file + ".tmp", "w") as out:
    out.write(str(server.address[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever(handle_exit=True)
