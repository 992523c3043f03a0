"""The orvelio command line: inspect, export and convert Orvel files.

    orvelio ls PATH... [-r] [--json]          one line per file with its blocks
    orvelio info FILE... [--json]             blocks, layout, key parameters, pictures
    orvelio params FILE... [--block B] [--json]
    orvelio catalog PATH... -o TABLE.csv|TABLE.parquet | --json
    orvelio export PATH... -o DIR --format csv|npz|netcdf|parquet [--block B] [-j N] [-q]
    orvelio pictures FILE... -o DIR           pictures and a JSON sidecar of their properties
    orvelio plot FILE [--block B] [--band X] -o OUT.png

`orvelio FILE...` (no command, the first word an existing path) lists each file's datablocks as
it always has.

Exit status: 0 when all went well, 1 when any file failed (a batch still finishes every
other file and lists the failures at the end), 2 for usage errors and missing extras, 130
when interrupted.
Every output is written under a temporary name and renamed when complete.

This module parses the command line and prints; the work is done by orvelio.folders (the file
walk, catalog), orvelio.export (the writers) and the batch runner. Only the standard library is
imported at start-up.
"""
import argparse
import json
import os
import re
import sys

PROG = "orvelio"
COMMANDS = ("ls", "info", "params", "catalog", "export", "pictures", "plot")
FORMATS = ("csv", "npz", "netcdf", "parquet")
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class UsageError(Exception):
    """A command line that asks for something impossible (exit status 2)."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP: stop as on Ctrl-C (exit status 128 + the signal's number)."""


def _say(*parts):
    print(f"{PROG}:", *parts, file=sys.stderr)


def _block_specs(text):
    """--block: data block types ("AB", "AB,SSC") or whole requests ("AB/2D/NONE",
    "AB 2D NONE", "AB,2D,NONE")."""
    words = [w.upper() for w in re.split(r"[\s,/:]+", text.strip()) if w]
    if len(words) == 3 and words[1] in ("2D", "3D"):
        return [tuple(words)]
    specs = []
    for item in (i for i in text.split(",") if i.strip()):
        parts = [w.upper() for w in re.split(r"[\s/:]+", item.strip()) if w]
        if len(parts) not in (1, 3):
            raise argparse.ArgumentTypeError(
                f"{item!r} is not a block: give a data block type (AB) or a whole request (AB/2D/NONE)")
        specs.append(parts[0] if len(parts) == 1 else tuple(parts))
    if not specs:
        raise argparse.ArgumentTypeError(f"{text!r} names no block")
    return specs


def _specs(args):
    """The blocks that --block asks for (every --block, each comma-separated), checked."""
    import difflib
    from .reader import TYPES
    specs = [s for group in args.block or [] for s in group]
    for s in specs:
        name = s if isinstance(s, str) else s[0]
        if name not in TYPES:
            close = difflib.get_close_matches(name, TYPES, n=3, cutoff=0.5)
            raise UsageError(f"--block: unknown data block type {name!r}"
                             + (f": did you mean {' or '.join(close)}?" if close else ""))
    return specs


def _one_block(args):
    specs = _specs(args)
    if len(specs) > 1:
        raise UsageError(f"{args.command} takes one --block")
    return specs[0] if specs else None


def _json(value):
    json.dump(value, sys.stdout, indent=2, ensure_ascii=False)
    print()


# ----------------------------------------------------------------- ls, info, params, catalog

def _over_files(args, show, strict=True):
    """Runs show(path, f) for every Orvel file of args.paths; failures on stderr (status 1)."""
    from ._batch import each_file, message
    failed = 0
    for path, f, error in each_file(args.paths, getattr(args, "recursive", False), strict, _say):
        if error is None:
            try:
                show(path, f)
                continue
            except UsageError:
                raise
            except Exception as exc:
                error = message(path, exc)
        failed += 1
        _say(error)
    return EXIT_FAILED if failed else EXIT_OK


def cmd_ls(args):
    from ._info import ls_entry, ls_line
    return _over_files(args, lambda path, f: print(
        json.dumps(ls_entry(path, f.blocks), ensure_ascii=False) if args.json else ls_line(path, f.blocks)),
        strict=False)


def _json_of_files(args, found):
    """--json of info and params: the one file's object, or a list over many files."""
    _json(found[0] if len(args.paths) == 1 and len(found) == 1 else found)


def cmd_info(args):
    from . import _info
    found = []
    status = _over_files(args, lambda path, f: found.append(_info.describe(f.path)) if args.json else
                         print("\n".join(_info.lines(_info.describe(f.path)))))
    if args.json:
        _json_of_files(args, found)
    return status


def cmd_params(args):
    from ._info import parameter_lines, parameters
    block, found, many = _one_block(args), [], len(args.paths) > 1
    status = _over_files(args, lambda path, f: found.append(parameters(path, f, block)) if args.json else
                         print("\n".join(parameter_lines(parameters(path, f, block), many))))
    if args.json:
        _json_of_files(args, [entry["parameters"] for entry in found] if not many else found)
    return status


def cmd_catalog(args):
    if args.output is None and not args.json:
        raise UsageError("catalog: give -o TABLE.csv / TABLE.parquet, or --json")
    from ._program import check_extras
    check_extras("catalog", "pandas", *["pyarrow"] * (args.output or "").lower().endswith(".parquet"))
    from .folders import catalog, write_catalog
    codes = [c.strip().upper() for c in args.parameters.split(",") if c.strip()] if args.parameters else None
    table = catalog(args.paths, recursive=not args.no_recursive, parameters=codes,
                    workers=args.jobs, progress=False if args.quiet else None)
    if args.json:
        print(table.to_json(orient="records", date_format="iso", force_ascii=False, indent=2))
        return EXIT_OK
    write_catalog(table, args.output)
    if not args.quiet:
        _say(f"{len(table)} rows from {table['path'].nunique()} files in {args.output}")
    return EXIT_OK


# ----------------------------------------------------------------- export and pictures

def cmd_export(args):
    from . import _batch
    from ._program import check_extras
    check_extras(f"{args.format} output", *{"netcdf": ["xarray"], "parquet": ["pyarrow"]}.get(args.format, []))
    specs = _specs(args)
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create {args.output}: {exc.strerror}") from None
    written, converted, failed = _batch.export_paths(
        args.paths, args.output, args.format, specs, args.jobs, args.skip_existing,
        None if args.quiet else lambda line, bar=None: (bar.write if bar is not None else print)(
            f"{PROG}: {line}", file=sys.stderr), args.partial)
    if not args.quiet:
        _say(f"{written} output{'s' * (written != 1)} from {converted} file"
             f"{'s' * (converted != 1)} in {args.output}")
    if failed:
        _say(f"{len(failed)} failed:")
        for line in sorted(failed):
            print(f"  {line}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def cmd_pictures(args):
    from ._batch import ranges, write_pictures
    os.makedirs(args.output, exist_ok=True)
    seen = {}

    def show(path, f):
        if not f.pictures and not args.quiet:
            _say(f"{path}: no pictures")
        written = write_pictures(path, f, args.output, args.overwrite, seen)
        for name, indexes in written if not args.quiet else ():
            print(name)
            if len(indexes) > 1:
                _say(f"{name}: written once for the {len(indexes)} pictures that share its record "
                     f"({ranges(indexes)})")
    args.paths = args.files
    return _over_files(args, show)


# ----------------------------------------------------------------- plot

def _size(text):
    try:
        w, h = (float(v) for v in text.lower().split("x"))
        if w > 0 and h > 0:
            return w, h
    except ValueError:
        pass
    raise argparse.ArgumentTypeError(f"{text!r} is not a size in inches, such as 7x4.5")


def cmd_plot(args):
    from ._program import check_extras
    check_extras("plot", "matplotlib")
    from . import _plot
    plt = _plot.pyplot()
    args.format = _plot.check_output(args.output, plt)
    block = _one_block(args)
    args.paths = [args.file]
    status = _over_files(args, lambda path, f: _plot.plot(f, f.describe(block), args, plt))
    if status == EXIT_OK and not args.quiet:
        print(args.output)
    return status


# ----------------------------------------------------------------- the program

class _VersionAction(argparse.Action):
    """--version without importing anything until it is asked for."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        from ._program import version
        print(f"{PROG} {version()}")
        parser.exit()


def _jobs(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of workers (1 or more)")
    return n


def _command(sub, name, help, description, run, flags=(), **paths):
    """A command's parser: its positional `paths` ({dest: (nargs, metavar)}) and its on/off
    `flags` ((option names..., help) each)."""
    p = sub.add_parser(name, help=help, description=description)
    p.set_defaults(run=run)
    for dest, (nargs, metavar) in paths.items():
        p.add_argument(dest, nargs=nargs, metavar=metavar)
    for *names, text in flags:
        p.add_argument(*names, action="store_true", help=text)
    return p


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Inspect, export and convert Orvel spectroscopy files.",
        epilog=f"`{PROG} FILE...` without a command lists each file's datablocks. "
               f"Exit status: 0 all went well, 1 some file failed, 2 usage error.")
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    block = dict(type=_block_specs, metavar="B", action="append")
    one = dict(block, help="the block, a data block type (AB) or a whole request (AB/2D/NONE); "
                           "needed when the file holds several")
    many = dict(block, help="only these blocks: data block types or whole requests (AB/2D/NONE), "
                            "comma-separated or repeated (default: every block)")
    machine = ("--json", "machine-readable output")
    partial = ("%s a block of a file cut short (an interrupted copy) with NaN for its missing values, "
               "with a warning saying how many; without it such a block fails")
    p = _command(sub, "ls", "one line per file with its blocks",
                 "List files and folders: one line per Orvel file with its blocks (request, kind, "
                 "shape, 'cut short' where values are missing). Other files are skipped with a note "
                 "on stderr. Symbolic links to folders are followed, each folder once.",
                 cmd_ls, [("-r", "--recursive", "recurse into folders"),
                          ("--json", "one JSON object per file (JSON Lines)")], paths=("+", "PATH"))
    p = _command(sub, "info", "blocks, layout, key parameters and pictures of files",
                 "The blocks of each file with kind, shape, x range, completeness, acquisition time, "
                 "pixel size, origin and field of view of images, time range of series, trace labels, "
                 "regions, the key parameters with readable labels, and the pictures.",
                 cmd_info, [machine], paths=("+", "FILE"))
    p = _command(sub, "params", "all parameters of a block",
                 "All merged parameters of a block of each file: code, label, value.",
                 cmd_params, [machine], paths=("+", "FILE"))
    p.add_argument("--block", **one)
    p = _command(sub, "catalog", "a table of the files under folders (needs pandas)",
                 "One row per Orvel file and block: path, block, kind, shape, npt, x range and units, "
                 "completeness, acquisition time, key parameters, and the error of files that cannot "
                 "be read. Reads descriptions only, on one thread per CPU.",
                 cmd_catalog, [("--json", "the table as JSON records on stdout"),
                               ("--no-recursive", "the files of folders only, not below"),
                               ("-q", "--quiet", "no progress bar or summary")], paths=("+", "PATH"))
    p.add_argument("-o", "--output", metavar="TABLE", help="TABLE.csv or TABLE.parquet")
    p.add_argument("--parameters", metavar="CODES", help="parameter codes for columns, comma-separated "
                                                          "(default: SNM,RES,NSS,INS)")
    p.add_argument("-j", "--jobs", type=_jobs, metavar="N", help="threads that describe files (default: the CPUs)")
    p = _command(sub, "export", "convert blocks of files and folders to csv, npz, netCDF or Parquet",
                 "Convert every matching block of every file (folders are recursed, their layout "
                 "kept under DIR; several folders each under its own name) into DIR, one output per "
                 "file and block named FILE.TYPE-DIMS-DERIV.EXT.", cmd_export,
                 [("--skip-existing", "leave outputs already there as they are"), ("--partial", partial % "export"),
                  ("-q", "--quiet", "no progress bar, notes or summary")], paths=("+", "PATH"))
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the outputs")
    p.add_argument("-f", "--format", required=True, choices=FORMATS,
                   help="csv and parquet: one row per spectrum, its coordinates first, then one column "
                        "per x value; npz: the arrays by name; netcdf: the xarray dataset (needs the "
                        "xarray extra)")
    p.add_argument("--block", **many)
    p.add_argument("-j", "--jobs", type=_jobs, metavar="N",
                   help="worker processes (default: the number of CPUs)")
    p = _command(sub, "pictures", "write the pictures of files",
                 "Write every picture with its format's extension and a sidecar JSON of its "
                 "properties, as FILE.N.TITLE.EXT. A stored picture listed several times is written "
                 "once (its sidecar lists the indexes). Files already there are left as they are and "
                 "the file fails, unless --overwrite.", cmd_pictures,
                 [("--overwrite", "replace files of these names already there"),
                  ("-q", "--quiet", "do not list what was written")], files=("+", "FILE"))
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the pictures")
    p = _command(sub, "plot", "plot a block to an image file (needs matplotlib)",
                 "Plot a spectrum, the mean spectrum of a cube, series or map, or with --band the "
                 "values at one x value: a map of an image, every region of a point map at its stage "
                 "positions on one colour scale, the band over time of a series (trace kinds: a "
                 "trace's number). Maps have equal aspect and y upward.", cmd_plot,
                 [("--partial", partial % "plot"), ("-q", "--quiet", "do not print the output's name")],
                 file=(None, "FILE"))
    p.add_argument("--block", **one)
    p.add_argument("--band", type=float, metavar="X", help="the x value (trace kinds: the trace number)")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png",
                   help="the image file (its extension names the format)")
    p.add_argument("--dpi", type=float, default=100.0, help="resolution of raster images (default 100)")
    p.add_argument("--size", type=_size, default=(7.0, 4.5), metavar="WxH",
                   help="figure size in inches (default 7x4.5)")
    return parser


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def main(argv=None):
    """Runs the program; returns its exit status."""
    import warnings
    from ._program import safe_streams
    safe_streams()
    with warnings.catch_warnings():
        warnings.showwarning = _show_warning
        return _main(sys.argv[1:] if argv is None else list(argv))


def _main(argv):
    try:
        if argv and argv[0] not in COMMANDS and not argv[0].startswith("-"):
            if os.path.exists(argv[0]):
                from ._program import legacy_listing
                return legacy_listing(argv)
            _say(f"unknown command {argv[0]!r} (and no file of that name); the commands are "
                 + ", ".join(COMMANDS) + f" (see {PROG} --help)")
            return EXIT_USAGE
        parser = build_parser()
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_usage(sys.stderr)
            _say("error: a command or FILE is required")
            return EXIT_USAGE
        try:
            from ._program import stop_on_signals
            with stop_on_signals():
                return args.run(args)
        except UsageError as exc:
            _say(f"error: {exc}")
            return EXIT_USAGE
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except Stopped as stop:
        _say("stopped")
        return 128 + stop.args[0]
    except BrokenPipeError:
        # The reader of our output went away (`orvelio ls DIR | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED


def run():
    """Entry point of the console script."""
    sys.exit(main())
