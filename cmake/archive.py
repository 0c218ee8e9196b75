#!/usr/bin/env python3
"""Packs an install tree into a zip or a gzipped tar that depends on nothing but its files.

  archive.py zip|tgz STAGE TOP OUTPUT SOURCE_DIR

STAGE/TOP is the tree; the archive holds TOP/ and everything below it, in byte order of the
paths, every entry owned by root with mode 755 (directories and executables) or 644 and the
same time: SOURCE_DATE_EPOCH when it is set, else the time of SOURCE_DIR's last commit, else
1980-01-01 (the earliest a zip can hold). Zip times are that time in UTC. So the same files
give the same archive, in any folder, at any time, for any user and umask.
"""
import gzip
import io
import os
import stat
import subprocess
import sys
import tarfile
import time
import zipfile

ZIP_EPOCH = 315532800


def source_date(source_dir):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                             capture_output=True, text=True, check=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return ZIP_EPOCH


def entries(stage, top):
    """(archive name, path on disk) for TOP and everything below it, in byte order."""
    found = [(top, os.path.join(stage, top))]
    for parent, dirs, files in os.walk(os.path.join(stage, top)):
        for name in dirs + files:
            path = os.path.join(parent, name)
            found.append((os.path.relpath(path, stage), path))
    return sorted(found, key=lambda entry: entry[0].encode())


def mode_of(st):
    return 0o755 if stat.S_ISDIR(st.st_mode) or st.st_mode & 0o111 else 0o644


def write_zip(out, items, mtime):
    stamp = time.gmtime(max(mtime, ZIP_EPOCH))[:6]
    with zipfile.ZipFile(out, "w") as archive:
        for name, path in items:
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                raise ValueError("%s: a zip holds no symbolic links" % path)
            directory = stat.S_ISDIR(st.st_mode)
            info = zipfile.ZipInfo(name + "/" if directory else name, stamp)
            info.create_system = 3  # Unix, so that the mode below is read
            info.external_attr = ((stat.S_IFDIR if directory else stat.S_IFREG) | mode_of(st)) << 16
            if directory:
                info.external_attr |= 0x10  # the MS-DOS directory bit
                archive.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    archive.writestr(info, f.read())


def write_tgz(out, items, mtime):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", format=tarfile.GNU_FORMAT) as archive:
        for name, path in items:
            info = archive.gettarinfo(path, name)
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.mtime = mtime
            if not info.issym():
                info.mode = mode_of(os.lstat(path))
            if info.isreg():
                with open(path, "rb") as f:
                    archive.addfile(info, f)
            else:
                archive.addfile(info)
    with open(out, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=mtime) as z:
        z.write(data.getvalue())


def main(argv):
    if len(argv) != 6 or argv[1] not in ("zip", "tgz"):
        print(__doc__, file=sys.stderr)
        return 2
    kind, stage, top, out, source_dir = argv[1:]
    items, mtime = entries(stage, top), source_date(source_dir)
    try:
        (write_zip if kind == "zip" else write_tgz)(out, items, mtime)
    except (OSError, ValueError) as error:
        print("archive.py: %s" % error, file=sys.stderr)
        return 1
    print("archive.py: %s, %d entries, time %s" % (out, len(items), time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(mtime))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
