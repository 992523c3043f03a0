"""The running program around the command line: output streams that never fail on a name,
signals that stop a command as Ctrl-C does, the optional extras a format needs."""
import contextlib
import sys

from .cli import EXIT_FAILED, EXIT_OK, Stopped, UsageError


def _escape_errors(error):
    """Encoding error handler of the program's output: undecodable bytes of names (surrogates)
    as \\xNN, other characters the output cannot encode as \\uNNNN."""
    bad = error.object[error.start:error.end]
    return "".join(f"\\x{ord(c) - 0xDC00:02x}" if 0xDC80 <= ord(c) <= 0xDCFF else
                   c.encode("ascii", "backslashreplace").decode() for c in bad), error.end


def safe_streams():
    """stdout and stderr escape what they cannot encode instead of failing on it."""
    import codecs
    codecs.register_error("orvelio-escape", _escape_errors)
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(AttributeError, ValueError):
            stream.reconfigure(errors="orvelio-escape")


@contextlib.contextmanager
def stop_on_signals():
    """SIGTERM and SIGHUP raise Stopped while a command runs, so that its temporary outputs are
    removed on the way out (where they are not ignored, and in the main thread only)."""
    import signal
    import threading
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum, frame):
        raise Stopped(signum)
    saved = {}
    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        if number is not None and signal.getsignal(number) is signal.SIG_DFL:
            saved[number] = signal.signal(number, stop)
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


def check_extras(what, *modules):
    """A usage error where this installation lacks a module that `what` needs, naming the
    extra that installs it; netCDF output also needs a netCDF writer."""
    import importlib.util
    from ._lazy import missing
    for module in modules:
        if importlib.util.find_spec(module) is None:
            raise UsageError(missing(what, module))
    if what == "netcdf output":
        from .export import netcdf_engine
        if netcdf_engine() is None:
            raise UsageError("netcdf output needs a netCDF writer (netCDF4, h5netcdf or scipy): "
                             "pip install 'orvelio[xarray]'")


def version():
    from importlib import metadata
    try:
        return metadata.version("orvelio")
    except metadata.PackageNotFoundError:
        return "unknown (not installed)"


def legacy_listing(paths):
    """`orvelio FILE...`: each file's datablocks, as listContents gives them."""
    import orvelio
    status = EXIT_OK
    for path in paths:
        try:
            if not orvelio.isOrvelFile(path):
                print(f"{path}: not an Orvel file", file=sys.stderr)
                status = EXIT_FAILED
                continue
            blocks = orvelio.listContents(path)
        except Exception as exc:  # a report per file, whatever went wrong with it
            print(f"{path}: cannot be read: {type(exc).__name__}: {exc}", file=sys.stderr)
            status = EXIT_FAILED
            continue
        print(f"{path}: {len(blocks)} datablock{'' if len(blocks) == 1 else 's'}")
        for block in blocks:
            print("    " + "  ".join(f"{word:<6}" for word in block).rstrip())
    return status
