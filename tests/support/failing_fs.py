#!/usr/bin/python3
"""A read-only file system that serves the files of one folder and fails
reads of chosen byte ranges with EIO, as a scratched disc or a failing stick
does.

Usage: failing_fs.py FOLDER MOUNTPOINT [NAME:START-END ...]

Every read of NAME that touches a byte of [START, END) fails with EIO; the
kernel then asks again page by page, so that only the pages holding such a
byte stay unreadable. Runs in the foreground until unmounted
(fusermount -u MOUNTPOINT). Needs python3-fusepy.
"""
import errno
import os
import sys

import fusepy


class FailingFolder(fusepy.Operations):
    use_ns = True

    def __init__(self, folder, failing):
        self.folder = folder
        self.failing = failing  # name -> [(start, end)]

    def _path(self, path):
        return os.path.join(self.folder, path.lstrip('/'))

    def getattr(self, path, fh=None):
        try:
            info = os.lstat(self._path(path))
        except OSError as error:
            raise fusepy.FuseOSError(error.errno)
        names = ('st_mode', 'st_nlink', 'st_size', 'st_uid', 'st_gid', 'st_atime_ns', 'st_mtime_ns', 'st_ctime_ns')
        attributes = {name.replace('_ns', ''): getattr(info, name) for name in names}
        attributes['st_mode'] &= ~0o222  # read-only
        return attributes

    def readdir(self, path, fh):
        return ['.', '..'] + os.listdir(self._path(path))

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        return os.open(self._path(path), os.O_RDONLY)

    def read(self, path, size, offset, fh):
        for start, end in self.failing.get(path.lstrip('/'), ()):
            if offset < end and start < offset + size:
                raise fusepy.FuseOSError(errno.EIO)
        return os.pread(fh, size, offset)

    def release(self, path, fh):
        os.close(fh)
        return 0


def main():
    folder, mountpoint = sys.argv[1], sys.argv[2]
    failing = {}
    for failing_range in sys.argv[3:]:
        name, span = failing_range.rsplit(':', 1)
        start, end = span.split('-')
        failing.setdefault(name, []).append((int(start), int(end)))
    fusepy.FUSE(FailingFolder(folder, failing), mountpoint, foreground=True, ro=True, nothreads=True)


if __name__ == '__main__':
    main()
