"""python -m orvelio FILE...: list the datablocks of each file."""
import sys

import orvelio


def main(argv=None):
    paths = sys.argv[1:] if argv is None else argv
    if not paths:
        print("usage: python -m orvelio FILE...", file=sys.stderr)
        return 2
    status = 0
    for path in paths:
        try:
            if not orvelio.isOrvelFile(path):
                print(f"{path}: not an Orvel file")
                status = 1
                continue
            blocks = orvelio.listContents(path)
        except Exception as exc:  # a report per file, whatever went wrong with it
            print(f"{path}: cannot be read: {type(exc).__name__}: {exc}")
            status = 1
            continue
        print(f"{path}: {len(blocks)} datablock{'' if len(blocks) == 1 else 's'}")
        for block in blocks:
            print("    " + "  ".join(f"{word:<6}" for word in block).rstrip())
    return status


if __name__ == "__main__":
    sys.exit(main())
