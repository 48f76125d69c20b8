"""Temporary files and folders beside an output, named after it and after the process that made
them (`.OUT.tif.velkan-HOST-PID-XXXXXXXX.tif`), so that a later run can tell which ones a killed
process left behind and remove them, and never touches those of a run still going."""
import contextlib
import os
import re
import secrets
import shutil
import socket

MARK = ".velkan-"


def temporary_name(path, suffix=""):
    """A fresh name beside `path` for this process's temporary version of it."""
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(folder, f".{name}{MARK}{socket.gethostname()}-{os.getpid()}-{secrets.token_hex(4)}{suffix}")


def is_gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:  # alive, another user's
        return False
    return False


def remove_stale_temporaries(path):
    """Removes the temporaries of `path` that processes of this host which are gone left beside it."""
    folder, name = os.path.split(os.path.abspath(path))
    pattern = re.compile(rf"\.{re.escape(name)}{re.escape(MARK)}{re.escape(socket.gethostname())}-(\d+)-[0-9a-f]+")
    with contextlib.suppress(OSError):
        for entry in os.listdir(folder):
            found = pattern.match(entry)
            if not found or not is_gone(int(found.group(1))):
                continue
            leftover = os.path.join(folder, entry)
            with contextlib.suppress(OSError):
                if os.path.isdir(leftover) and not os.path.islink(leftover):
                    shutil.rmtree(leftover)
                else:
                    os.remove(leftover)
