#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Installed printers under Wine: a cupsd of our own on loopback (Wine maps
its queues to Windows printers) with a raw queue whose device is a socket
this script holds; the driver prints through "printer:NAME", the flat API
routed to it and "printer:" (the default), and every label must arrive once,
whole, in order. Ends with "N passed, N failed".

    queue_check.py BUILD_DIR WINE... DRIVER.exe
"""
import grp
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

QUEUE = "wine_labels"
LABELS = ["WINE-HANDLE", "WINE-FLAT", "WINE-DEFAULT"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_dir(path, mode, lp):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, mode)
    if lp:
        os.chown(path, 0, grp.getgrnam("lp").gr_gid)


def start_cupsd(folder, port):
    os.chmod(folder, 0o755)
    for sub, mode, lp in [("etc", 0o755, True), ("etc/ppd", 0o755, True), ("spool", 0o710, True),
                          ("spool/tmp", 0o1770, True), ("cache", 0o770, True), ("state", 0o755, True),
                          ("log", 0o755, False)]:
        make_dir(os.path.join(folder, sub), mode, lp)
    with open(os.path.join(folder, "etc/cupsd.conf"), "w") as f:
        f.write("Listen 127.0.0.1:%d\nServerName 127.0.0.1\nServerAlias *\nLogLevel warn\nBrowsing Off\n"
                "WebInterface No\nDefaultAuthType None\nMaxJobs 0\nPreserveJobHistory Off\nPreserveJobFiles Off\n"
                "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
                "<Policy default>\n  <Limit All>\n    Order deny,allow\n    Allow all\n  </Limit>\n</Policy>\n"
                % port)
    with open(os.path.join(folder, "etc/cups-files.conf"), "w") as f:
        f.write("ServerRoot {0}/etc\nRequestRoot {0}/spool\nTempDir {0}/spool/tmp\nCacheDir {0}/cache\n"
                "StateDir {0}/state\nErrorLog {0}/log/error_log\nAccessLog {0}/log/access_log\n"
                "PageLog {0}/log/page_log\nUser lp\nGroup lp\nSystemGroup root\nSandboxing Relaxed\n"
                "FileDevice No\n".format(folder))
    cupsd = subprocess.Popen(["/usr/sbin/cupsd", "-f", "-c", folder + "/etc/cupsd.conf", "-s",
                              folder + "/etc/cups-files.conf"], stdout=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return cupsd
        except OSError:
            time.sleep(0.025)
    cupsd.kill()
    return None


def main():
    build, command = sys.argv[1], sys.argv[2:]
    if os.getuid() != 0 or not os.access("/usr/sbin/cupsd", os.X_OK) or not shutil.which("lpadmin", path="/usr/sbin"):
        print("queue check: skipped (needs root and Debian's cups)")
        print("0 passed, 0 failed")
        return 0
    received, jobs = [], []
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.2)
    stop = threading.Event()

    def take():
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            data = b""
            with conn:
                while True:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            received.append(data)

    taker = threading.Thread(target=take)
    taker.start()
    folder = tempfile.mkdtemp(prefix="quillbar-wine-cups-")
    port = free_port()
    cupsd = start_cupsd(folder, port)
    passed = failed = 0
    try:
        server = "127.0.0.1:%d" % port
        ok = cupsd is not None and subprocess.run(
            ["/usr/sbin/lpadmin", "-h", server, "-p", QUEUE, "-E", "-v", "socket://127.0.0.1:%d" % listener.getsockname()[1],
             "-m", "raw"], capture_output=True).returncode == 0
        ok = ok and subprocess.run(["/usr/sbin/lpadmin", "-h", server, "-d", QUEUE], capture_output=True).returncode == 0
        if not ok:
            print("FAILED: the private cupsd and its raw queue")
            failed += 1
        else:
            env = dict(os.environ, CUPS_SERVER=server)
            subprocess.run(["wineserver", "-k"], capture_output=True, env=env)
            subprocess.run(["wineserver", "-w"], capture_output=True, env=env)
            done = subprocess.run(command + ["--queue", QUEUE], cwd=build, env=env, capture_output=True, timeout=300)
            out = done.stdout.decode("utf-8", "replace").replace("\r", "")
            sys.stdout.write("".join(line + "\n" for line in out.splitlines() if line.startswith("FAILED")))
            for line in out.splitlines():
                if line.endswith(" failed") and " passed, " in line:
                    p, f = line.split(" passed, ")
                    passed, failed = passed + int(p), failed + int(f.split()[0])
            deadline = time.time() + 60
            while len(received) < len(LABELS) and time.time() < deadline:
                time.sleep(0.1)
            time.sleep(0.5)
            expected = [b'N\nA8,8,0,2,1,1,N,"%s"\nP1\n' % label.encode() for label in LABELS]
            if received == expected:
                passed += 1
            else:
                failed += 1
                print("FAILED: the queue received %r, not %r" % (received, expected))
    finally:
        stop.set()
        taker.join()
        if cupsd:
            cupsd.send_signal(signal.SIGTERM)
            cupsd.wait()
        shutil.rmtree(folder, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
