"""A first look at a file with corvix: open it, iterate its scans, read peaks
and chromatograms, and convert it to mzML.

Usage: python corvix_quickstart.py FILE [OUTDIR] [--reader LIB]

FILE is read with the Reader library LIB when given; otherwise the module's
own search decides (.mzML files use the mzML Reader library that comes with
corvix). With OUTDIR the file is also converted to OUTDIR/<name>.mzML.
"""

import argparse
import itertools
import sys

import corvix
from corvix.convert import convert_file, output_path


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("outdir", nargs="?")
    parser.add_argument("--reader", help="Reader library to read FILE with")
    args = parser.parse_args(argv)
    try:
        with corvix.open(args.file, reader=args.reader) as run:
            meta = run.metadata()
            print(f"instrument: {meta['instrument']['model']}, sample: {meta['sample']['name']}")
            print(f"scans {run.first_scan}..{run.last_scan} ({len(run)})")
            for scan in itertools.islice(run, 5):
                mz, intensity = scan.peaks()
                line = f"scan {scan.number}: rt {scan.rt:.3f} min, MS{scan.ms_order}, {len(mz)} peaks"
                if len(mz):
                    line += f", base peak {mz[intensity.argmax()]:.4f}"
                if scan.precursor_mz is not None:
                    line += f", precursor {scan.precursor_mz:.4f} ({scan.charge or '?'}+)"
                print(line)
            tic = run.tic()
            if len(tic.rt):
                apex = int(tic.intensity.argmax())
                print(f"TIC: {len(tic.rt)} points, apex {tic.intensity[apex]:.4g} at {tic.rt[apex]:.3f} min")
        if args.outdir:
            target = output_path(args.file, args.outdir, "mzML")
            count = convert_file(args.file, target, reader=args.reader)
            print(f"wrote {target} ({count} spectra)")
    except (OSError, corvix.ReaderError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
