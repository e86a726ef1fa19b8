"""Refusals of a report-archive member that the viewer will not unpack.

Where the interpreter's tarfile has extraction filters (Python 3.11.4 and later), the viewer
refuses an unsafe member with tarfile's own filter errors. Where it has none, it raises the
classes below: the same names, the same `tarinfo` attribute and the same texts, in the
tarfile.TarError family. MemberTooLargeError, on every interpreter, refuses a member that would
write more than the room left for it.
"""

import tarfile


class FilterError(tarfile.TarError):
    pass


class AbsolutePathError(FilterError):
    def __init__(self, tarinfo):
        self.tarinfo = tarinfo
        super().__init__(f"member {tarinfo.name!r} has an absolute path")


class OutsideDestinationError(FilterError):
    def __init__(self, tarinfo, path):
        self.tarinfo = tarinfo
        self._path = path
        super().__init__(f"{tarinfo.name!r} would be extracted to {path!r}, "
                         "which is outside the destination")


class SpecialFileError(FilterError):
    def __init__(self, tarinfo):
        self.tarinfo = tarinfo
        super().__init__(f"{tarinfo.name!r} is a special file")


class MemberTooLargeError(FilterError):
    """A member larger than the free space of the unpacking directory allows, or whose data
    would reach past the size it declares."""

    def __init__(self, tarinfo, reason):
        self.tarinfo = tarinfo
        super().__init__(f"{tarinfo.name!r} {reason}")


def _with_tarfile_own(name):
    own = getattr(tarfile, name, None)
    ours = globals()[name]
    return (ours,) if own is None else (ours, own)


# What a caller catches to handle a refusal, whichever tarfile the viewer used.
FILTER_ERRORS = _with_tarfile_own("FilterError")
SPECIAL_FILE_ERRORS = _with_tarfile_own("SpecialFileError")
