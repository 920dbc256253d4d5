#!/usr/bin/env python3
"""Plays a Debian mirror caught in the middle of a sync, for
tools/chroot-check.sh --mid-sync.

    tools/mid-sync-mirror.py REPO PORTFILE

Writes a repository "mid-sync" into the folder REPO (made afresh) whose
Release file names a Packages index for amd64 and for i386 with a size one
byte larger than the file served, as a Release file published before the
sync began would; then serves REPO over HTTP on 127.0.0.1, on a port the
kernel chooses, written to PORTFILE once the server listens.  `apt-get
update` fails on those indexes with apt's own "File has unexpected size
... Mirror sync in progress?" and exit status 100.  Serves until killed.
"""
import functools
import hashlib
import http.server
import os
import shutil
import sys
import time

ARCHITECTURES = ("amd64", "i386")
ENTRY = b"""Package: sfx-mid-sync
Version: 1
Architecture: all
Maintainer: nobody <nobody@localhost>
Filename: pool/sfx-mid-sync_1_all.deb
Size: 1000
Description: stands in for a package of a mirror in the middle of a sync
"""


def write_repository(repo):
    shutil.rmtree(repo, ignore_errors=True)
    dist = os.path.join(repo, "dists", "mid-sync")
    release = ["Origin: mid-sync", "Label: mid-sync", "Suite: mid-sync", "Codename: mid-sync",
               "Date: " + time.strftime("%a, %d %b %Y %H:%M:%S UTC", time.gmtime()),
               "Architectures: " + " ".join(ARCHITECTURES), "Components: main", "SHA256:"]
    for arch in ARCHITECTURES:
        index = "main/binary-%s/Packages" % arch
        os.makedirs(os.path.dirname(os.path.join(dist, index)))
        with open(os.path.join(dist, index), "wb") as f:
            f.write(ENTRY)
        # The size the index had before the sync began: one byte more.
        release.append(" %s %d %s" % (hashlib.sha256(ENTRY).hexdigest(), len(ENTRY) + 1, index))
    with open(os.path.join(dist, "Release"), "w") as f:
        f.write("\n".join(release) + "\n")


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: tools/mid-sync-mirror.py REPO PORTFILE")
    repo, portfile = sys.argv[1], sys.argv[2]
    write_repository(repo)
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=repo)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    with open(portfile + ".new", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(portfile + ".new", portfile)
    server.serve_forever()


if __name__ == "__main__":
    main()
