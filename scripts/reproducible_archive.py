"""Writes a folder as a .tar.gz or .zip whose bytes depend only on its files.

    reproducible_archive.py FOLDER OUT.tar.gz|OUT.zip EPOCH

The folder becomes the archive's one top folder. Entries are sorted by path;
every entry gets the time EPOCH (seconds since 1970, UTC), owner and group 0
with no names, and mode 755 (folders and executables) or 644; the gzip
header carries no name or time. Symbolic links are not expected (the caller
copies real files).
"""

import gzip
import os
import stat
import sys
import tarfile
import time
import zipfile

ZIP_EARLIEST = 315532800  # 1980-01-01, the first time a zip entry can hold


def entries(folder: str) -> list[tuple[str, str]]:
    """(path in the archive, path on disk) of the folder and everything in it, sorted."""
    parent = os.path.dirname(os.path.abspath(folder))
    found = [os.path.abspath(folder)]
    for directory, subdirectories, files in os.walk(folder):
        found += [os.path.abspath(os.path.join(directory, name)) for name in subdirectories + files]
    return sorted((os.path.relpath(path, parent).replace(os.sep, "/"), path) for path in found)


def mode_of(path: str) -> int:
    status = os.lstat(path)
    if stat.S_ISLNK(status.st_mode):
        sys.exit(f"reproducible_archive: {path} is a symbolic link")
    return 0o755 if stat.S_ISDIR(status.st_mode) or status.st_mode & 0o111 else 0o644


def write_tar_gz(folder: str, out: str, epoch: int) -> None:
    with open(out, "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as compressed, \
            tarfile.open(fileobj=compressed, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, path in entries(folder):
            info = tar.gettarinfo(path, arcname=name)
            info.mode, info.mtime = mode_of(path), epoch
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            if info.isdir():
                tar.addfile(info)
            else:
                with open(path, "rb") as file:
                    tar.addfile(info, file)


def write_zip(folder: str, out: str, epoch: int) -> None:
    date_time = time.gmtime(max(epoch, ZIP_EARLIEST))[:6]
    with zipfile.ZipFile(out, "w") as archive:
        for name, path in entries(folder):
            is_folder = os.path.isdir(path)
            info = zipfile.ZipInfo(name + "/" if is_folder else name, date_time)
            info.create_system = 3  # Unix, so that the mode below is read
            info.external_attr = ((stat.S_IFDIR if is_folder else stat.S_IFREG) | mode_of(path)) << 16
            if is_folder:
                info.external_attr |= 0x10  # the MS-DOS folder flag
                archive.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as file:
                    archive.writestr(info, file.read(), compresslevel=9)


def main(argv: list[str]) -> int:
    if len(argv) != 4 or not argv[2].endswith((".tar.gz", ".zip")):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    folder, out, epoch = argv[1], argv[2], int(argv[3])
    (write_tar_gz if out.endswith(".tar.gz") else write_zip)(folder, out, epoch)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
