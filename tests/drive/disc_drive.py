#!/usr/bin/python3
"""Optical drives for the tests: a FUSE file system that shows the discs in them.

    disc_drive.py MOUNTPOINT     (runs in the foreground until the mount point is unmounted)

The mount point holds, for every drive letter that has a disc in it, the folder <letter> with the
tree Windows reads from that disc (UDF where the image has it, its Joliet tree otherwise), and
<letter>.image, the image itself read through the same drive. A Wine CD-ROM drive is linked to
MOUNTPOINT/<letter>: while no disc is in, that folder does not exist and the drive is empty.

<letter> and <letter>.image are symbolic links to <letter>.<n> and <letter>.<n>.image, names of the
n-th disc put into that drive, which are never used again. So the kernel may keep every name and
attribute it has looked up (looking them up again for each file opened would cost the reader more
than a drive takes to read a small file), and a disc that goes still shows at once: the link is
read on every path walk, and nothing is cached of a name that is not there.

The tree is read by pycdlib, a reader that shares nothing with the program that wrote the image,
and every file's bytes come from its extent in the image, so that the drive reads the layout the
publisher burns.

The file MOUNTPOINT/control takes one command per write, as lines "key=value" (UTF-8):
    drive=r  image=/unix/path/disc1.iso
        [profile=none|cd52|dvd16|bd12]      how fast the drive reads (default none)
        [unreadable=LOCATION+BYTES]         sectors that cannot be read (repeatable)
        [retry_ms=3000]                     how long the drive retries before it gives up
        [taken_out_at=LOCATION]             the disc leaves the drive when a read covers it
        action=insert                       (last: the line action=... carries the command out)
    drive=r  action=eject
DISC_DRIVE_TRACE=1 in the environment logs every read to stderr, and for a drive with a profile the
monotonic time it ended and how its wait split into spin-up, seek, transfer and idle seconds.
A LOCATION is a byte of the image, or PATH@OFFSET, a byte of a file of the served tree
("/data/data/big.bin@123456"). The write fails (EINVAL) when the command does; reading the file
then tells why. Each command is carried out before its write returns.
"""
import errno
import math
import os
import re
import stat
import sys
import threading
import time

import fusepy
import pycdlib

SECTOR = 2048
READ_THROUGH = 256 * 1024  # a gap the drive reads through rather than seeking over it
READ_BUFFER = 2 * 1024 * 1024  # what the drive reads ahead while the host does not ask
TRACE = bool(os.environ.get('DISC_DRIVE_TRACE'))


class Profile:
    """A CAV drive: the speed grows from the disc's centre to its edge with the radius."""

    def __init__(self, inner_x, outer_x, bytes_per_x, medium_bytes, spin_up_s=1.5, idle_s=15.0):
        self.inner_x, self.outer_x, self.bytes_per_x = inner_x, outer_x, bytes_per_x
        self.medium_bytes = medium_bytes
        self.spin_up_s, self.idle_s = spin_up_s, idle_s

    def rate(self, offset):
        """Bytes per second at a byte of the disc: the data spiral fills the area between the
        radii evenly, so the radius grows with the square root of the bytes before it."""
        share = min(1.0, offset / self.medium_bytes)
        radius = math.sqrt(self.inner_x ** 2 + (self.outer_x ** 2 - self.inner_x ** 2) * share)
        return radius * self.bytes_per_x

    def transfer_s(self, offset, size):
        return size / self.rate(offset + size / 2) if size > 0 else 0.0

    def seek_s(self, distance):
        """80 ms for a short hop, up to 150 ms across the whole medium."""
        return 0.080 + 0.070 * math.sqrt(min(1.0, distance / self.medium_bytes))

    def read_in_order_s(self, image_bytes, piece=128 * 1024):
        """The time to read an image from its start to its end: spin-up and transfer."""
        return self.spin_up_s + sum(self.transfer_s(o, min(piece, image_bytes - o))
                                    for o in range(0, image_bytes, piece))


PROFILES = {
    'none': None,
    'cd52': Profile(21.0, 52.0, 150 * 1024, 737280000),
    'dvd16': Profile(6.9, 16.0, 1385000, 4700372992),
    'bd12': Profile(5.0, 12.0, 4500000, 25025314816),
}


class Node:
    def __init__(self, is_dir, extent=0, size=0, mtime=0.0):
        self.is_dir, self.extent, self.size, self.mtime = is_dir, extent, size, mtime
        self.children = {}


def record_time(record):
    """The modification time of a Joliet directory record or a UDF file entry."""
    try:
        if hasattr(record, 'mod_time'):  # UDF; its time zone is in minutes
            t = record.mod_time
            zone = t.tz if -1440 <= t.tz <= 1440 else 0
            return time.mktime((t.year, t.month, t.day, t.hour, t.minute, t.second, 0, 0, 0)) - time.timezone \
                - zone * 60
        d = record.date  # ISO 9660; its time zone is in quarters of an hour
        return time.mktime((1900 + d.years_since_1900, d.month, d.day_of_month, d.hour, d.minute, d.second,
                            0, 0, 0)) - time.timezone - d.gmtoffset * 15 * 60
    except (OverflowError, ValueError):
        return 0.0


def read_tree(iso):
    """The tree Windows reads from the image: UDF when the image carries it, else Joliet."""
    kind = 'udf_path' if iso.has_udf() else 'joliet_path' if iso.has_joliet() else None
    if kind is None:
        raise ValueError('the image has neither a UDF nor a Joliet tree')
    root = Node(True, mtime=time.time())
    pending = [('/', root)]
    while pending:
        path, node = pending.pop()
        for child in iso.list_children(**{kind: path}):
            if child is None or child.is_dot() or child.is_dotdot():
                continue
            if kind == 'udf_path':
                name = child.file_identifier().decode(child.file_ident.encoding)
                extent = child.inode.extent_location() if child.inode is not None else 0
            else:
                name = child.file_identifier().decode('utf-16_be')
                if name.endswith(';1'):
                    name = name[:-2]
                extent = child.extent_location()
            entry = Node(child.is_dir(), extent * SECTOR, 0 if child.is_dir() else child.get_data_length(),
                         record_time(child))
            node.children[name] = entry
            if entry.is_dir:
                pending.append((path.rstrip('/') + '/' + name, entry))
    return root, kind


class Disc:
    """A disc in a drive: its image, tree, speed and faults."""

    def __init__(self, settings):
        self.image_path = settings['image'][0]
        iso = pycdlib.PyCdlib()
        iso.open(self.image_path)
        try:
            self.root, self.kind = read_tree(iso)
        finally:
            iso.close()
        self.fd = os.open(self.image_path, os.O_RDONLY)
        self.size = os.fstat(self.fd).st_size
        name = settings.get('profile', ['none'])[0]
        if name not in PROFILES:
            raise ValueError('no drive profile ' + name)
        self.profile = PROFILES[name]
        self.retry_s = int(settings.get('retry_ms', ['3000'])[0]) / 1000.0
        self.unreadable = []
        for text in settings.get('unreadable', []):
            where, _, length = text.rpartition('+')
            start = self.locate(where)
            self.unreadable.append((start // SECTOR * SECTOR, start + int(length)))
        self.taken_out_at = self.locate(settings['taken_out_at'][0]) if 'taken_out_at' in settings else None
        self.out = False
        self.serial, self.name = 0, ''  # which disc of its drive: set when it goes in

    def find(self, path):
        node = self.root
        for part in [p for p in path.replace('\\', '/').split('/') if p]:
            if not node.is_dir or part not in node.children:
                return None
            node = node.children[part]
        return node

    def locate(self, text):
        if '@' not in text:
            return int(text)
        path, _, offset = text.rpartition('@')
        node = self.find(path)
        if node is None or node.is_dir:
            raise ValueError('no file ' + path + ' on the disc')
        return node.extent + int(offset)

    def close(self):
        os.close(self.fd)


class Drive:
    """One drive: one head, so reads queue on its lock and pay the time the head takes."""

    def __init__(self):
        self.lock = threading.Lock()
        self.disc = None
        self.discs = 0  # how many discs have been put in
        self.head = 0  # the byte after the last one read
        self.idle_since = None  # None: the disc has not spun up since it went in

    def read(self, disc, offset, size):
        with self.lock:
            if disc is not self.disc or disc.out:
                raise fusepy.FuseOSError(errno.EIO)  # the disc this file came from has gone
            size = max(0, min(size, disc.size - offset))
            end = offset + size
            if disc.taken_out_at is not None and offset <= disc.taken_out_at < end:
                disc.out = True  # it leaves the drive: this and every later read fail
                self.disc = None
                raise fusepy.FuseOSError(errno.EIO)
            split = self.wait_for_head(disc.profile, offset, size)
            if TRACE and split:
                print('  at %.3f %s' % (time.monotonic(), ' '.join('%s %.3f' % kv for kv in split)),
                      file=sys.stderr, flush=True)
            if any(start < end and offset < stop for start, stop in disc.unreadable):
                time.sleep(disc.retry_s)  # the drive retries the sector before it gives up
                raise fusepy.FuseOSError(errno.EIO)
            return os.pread(disc.fd, size, offset)

    def wait_for_head(self, profile, offset, size):
        """Waits as long as the head takes; returns how that time splits, for the trace: spin-up,
        seek, transfer, and idle (how long the drive stood with its buffer full, or waited for
        the host after a seek)."""
        if profile is None:
            return None
        now = time.monotonic()
        start, seconds, spin, seek = now, 0.0, 0.0, 0.0
        idle = now - self.idle_since if self.idle_since is not None else 0.0
        gap = offset - self.head
        if self.idle_since is None or now - self.idle_since > profile.idle_s:
            spin = profile.spin_up_s
        elif 0 <= gap <= READ_THROUGH:
            # The drive reads on into its buffer while the host does not ask, so a read that
            # follows on starts where the last one ended, as far back as the buffer reaches.
            start = max(self.idle_since, now - READ_BUFFER / profile.rate(offset))
            idle = start - self.idle_since
        if 0 <= gap <= READ_THROUGH:
            transfer = profile.transfer_s(self.head, gap)
        else:
            seek = profile.seek_s(abs(gap))
            transfer = 0.0
        transfer += profile.transfer_s(offset, size)
        seconds = spin + seek + transfer
        done = start + seconds
        time.sleep(max(0.0, done - time.monotonic()))
        self.head = offset + size
        self.idle_since = done
        return (('spin', spin), ('seek', seek), ('transfer', transfer), ('idle', idle))


class DriveBox(fusepy.Operations):
    # Left to the kernel: told that the file system has no such operation, it stops asking.
    getxattr = listxattr = flush = opendir = releasedir = access = None

    def __init__(self):
        self.drives = {}
        self.guard = threading.Lock()  # over the table of drives, the open files and the control handles
        self.pending = {}  # control handle -> the lines written to it since its last command
        self.files = {}  # handle -> (drive, disc, node) of an open file of a disc; node None: the image
        self.handles = 0
        self.last_result = b'ok\n'
        self.started = time.time()

    def drive(self, letter):
        with self.guard:
            return self.drives.setdefault(letter, Drive())

    def resolve(self, path):
        """(kind, drive, disc, node) for a path of the mount."""
        parts = [p for p in path.split('/') if p]
        if not parts:
            return 'root', None, None, None
        if parts == ['control']:
            return 'control', None, None, None
        name, image = (parts[0][:-len('.image')], True) if parts[0].endswith('.image') else (parts[0], False)
        letter, dot, serial = name.partition('.')
        drive = self.drives.get(letter)
        disc = drive.disc if drive is not None else None
        if disc is None or (dot and serial != str(disc.serial)):
            raise fusepy.FuseOSError(errno.ENOENT)
        if not dot:
            if len(parts) > 1:  # the kernel follows the link itself
                raise fusepy.FuseOSError(errno.ENOENT)
            return 'link', drive, disc, None
        if image:
            if len(parts) > 1:
                raise fusepy.FuseOSError(errno.ENOTDIR)
            return 'image', drive, disc, None
        node = disc.find('/'.join(parts[1:]))
        if node is None:
            raise fusepy.FuseOSError(errno.ENOENT)
        return 'tree', drive, disc, node

    def getattr(self, path, fh=None):
        kind, _, disc, node = self.resolve(path)
        base = dict(st_uid=0, st_gid=0, st_nlink=1, st_atime=self.started, st_ctime=self.started,
                    st_mtime=self.started)
        if kind == 'root':
            return dict(base, st_mode=stat.S_IFDIR | 0o755, st_nlink=2)
        if kind == 'control':
            return dict(base, st_mode=stat.S_IFREG | 0o644, st_size=len(self.last_result))
        if kind == 'link':
            return dict(base, st_mode=stat.S_IFLNK | 0o777, st_size=len(self.readlink(path)))
        if kind == 'image':
            return dict(base, st_mode=stat.S_IFREG | 0o444, st_size=disc.size)
        times = dict(st_atime=node.mtime, st_ctime=node.mtime, st_mtime=node.mtime)
        if node.is_dir:
            return dict(base, st_mode=stat.S_IFDIR | 0o555, st_nlink=2, **times)
        return dict(base, st_mode=stat.S_IFREG | 0o444, st_size=node.size, st_blocks=(node.size + 511) // 512,
                    **times)

    def readlink(self, path):
        kind, _, disc, _ = self.resolve(path)
        if kind != 'link':
            raise fusepy.FuseOSError(errno.EINVAL)
        return disc.name + ('.image' if path.endswith('.image') else '')

    def readdir(self, path, fh):
        kind, _, _, node = self.resolve(path)
        if kind == 'root':
            with self.guard:
                names = [(k, d.disc.name) for k, d in self.drives.items() if d.disc is not None]
            return ['.', '..', 'control'] + [n + suffix for pair in names for n in pair for suffix in ('', '.image')]
        if kind != 'tree' or not node.is_dir:
            raise fusepy.FuseOSError(errno.ENOTDIR)
        return ['.', '..'] + list(node.children)

    def open(self, path, flags):
        kind, drive, disc, node = self.resolve(path)
        if kind != 'control' and (flags & os.O_ACCMODE) != os.O_RDONLY:
            raise fusepy.FuseOSError(errno.EROFS)
        if kind == 'tree' and node.is_dir:
            raise fusepy.FuseOSError(errno.EISDIR)
        with self.guard:
            self.handles += 1
            if kind in ('tree', 'image'):
                self.files[self.handles] = (drive, disc, node)
            return self.handles

    def release(self, path, fh):
        with self.guard:
            self.pending.pop(fh, None)
            self.files.pop(fh, None)

    def read(self, path, size, offset, fh):
        if TRACE:
            print('read %s %d+%d' % (path, offset, size), file=sys.stderr, flush=True)
        if fh not in self.files:
            return self.last_result[offset:offset + size]  # the control file
        drive, disc, node = self.files[fh]
        if node is None:
            return drive.read(disc, offset, size)
        size = max(0, min(size, node.size - offset))
        return drive.read(disc, node.extent + offset, size) if size else b''

    def truncate(self, path, length, fh=None):
        if self.resolve(path)[0] != 'control':
            raise fusepy.FuseOSError(errno.EROFS)

    def write(self, path, data, offset, fh):
        if self.resolve(path)[0] != 'control':
            raise fusepy.FuseOSError(errno.EROFS)
        with self.guard:  # a writer may split its text; the line action=... ends a command
            text = self.pending.pop(fh, b'') + data
            if not re.search(rb'(^|\n)action=[^\n]*\n?$', text):
                self.pending[fh] = text
                return len(data)
        settings = {}
        for line in text.decode('utf-8').splitlines():
            key, sep, value = line.partition('=')
            if sep:
                settings.setdefault(key.strip(), []).append(value)
        try:
            self.command(settings)
        except (KeyError, ValueError, OSError, pycdlib.pycdlibexception.PyCdlibException) as error:
            self.last_result = ('failed: %s: %s\n' % (type(error).__name__, error)).encode('utf-8')
            print('disc_drive: ' + self.last_result.decode('utf-8').strip(), file=sys.stderr, flush=True)
            raise fusepy.FuseOSError(errno.EINVAL)
        self.last_result = b'ok\n'
        return len(data)

    def command(self, settings):
        action, letter = settings['action'][0], settings['drive'][0].lower()
        if len(letter) != 1 or not letter.isalpha():
            raise ValueError('a drive is one letter')
        drive = self.drive(letter)
        if action == 'insert':
            disc = Disc(settings)
            with drive.lock:
                self.take_out(drive)
                drive.discs += 1
                disc.serial, disc.name = drive.discs, '%s.%d' % (letter, drive.discs)
                drive.disc, drive.head, drive.idle_since = disc, 0, None
        elif action == 'eject':
            with drive.lock:
                self.take_out(drive)
        else:
            raise ValueError('no action ' + action)

    @staticmethod
    def take_out(drive):
        if drive.disc is not None:
            drive.disc.out = True
            drive.disc.close()
            drive.disc = None

    def statfs(self, path):
        return dict(f_bsize=SECTOR, f_frsize=SECTOR, f_blocks=0, f_bfree=0, f_bavail=0, f_namemax=255)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    # No page cache: every read reaches the drive, pays its time and meets its faults. Names and
    # attributes are kept (a disc's names are never used again), but not the absence of a name.
    fusepy.FUSE(DriveBox(), sys.argv[1], foreground=True, allow_other=True, direct_io=True, entry_timeout=3600,
                attr_timeout=3600, negative_timeout=0, fsname='disc_drive', max_read=131072)


if __name__ == '__main__':
    main()
