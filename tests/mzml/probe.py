"""Reads everything a caller would read from one file through the module and
returns it as plain data, turning each refused call into the word "failed".
Used in child interpreters by the damaged-file tests, so that a crash ends
the child, not the test run."""
import math


def attempt(call, *args):
    try:
        return call(*args)
    except RuntimeError:
        return "failed"


def probe(m, path: str) -> dict:
    h = m.open_raw_file(path)
    out = {"handle": h, "open": m.is_open(h), "error": m.is_error(h)}
    try:
        if not out["open"]:
            out["num_scans"] = m.get_num_scans(h)
            out["spectrum"] = attempt(m.get_spectrum, h, 1, 10)
            out["error_log"] = [m.get_error_log_items_count(h), attempt(m.get_error_log_item_message, h, 0)]
            return out
        first, last = m.get_first_scan(h), m.get_last_scan(h)
        out.update(first=first, last=last, num_scans=m.get_num_scans(h))
        scans = []
        for n in range(first, last + 1):
            rt = m.get_scan_rt(h, n)
            scans.append({
                "rt": None if math.isnan(rt) else rt,
                "ms_order": m.get_ms_order(h, n),
                "spectrum": attempt(m.get_spectrum, h, n, 100_000),
                "filter": attempt(m.get_scan_filter_string, h, n),
            })
        out["scans"] = scans
        out["tic"] = attempt(m.get_chromatogram, h, 0, "", [], [], 0, 0, 100_000)
        out["xic"] = attempt(m.get_chromatogram, h, 2, "", [400.0], [900.0], 0, 0, 100_000)
        out["average"] = attempt(m.get_averaged_spectrum, h, list(range(first, min(last, first + 3) + 1)), 100_000)
        # After every read: the log names what open found and what the reads met.
        count = m.get_error_log_items_count(h)
        out["log"] = [m.get_error_log_item_message(h, i) for i in range(count)]
        return out
    finally:
        m.close_raw_file(h)


def corvix_probe(path: str) -> dict:
    """Opens the file with corvix and reads every spectrum: the damage warnings
    it gave (open and reads) and what its damage record says at the end."""
    import warnings

    import corvix

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with corvix.open(path) as run:
                for scan in run:
                    try:
                        scan.spectrum()
                    except corvix.ReaderError:
                        pass
                damage = run.damage
        except corvix.OpenError as error:
            return {"open_error": str(error)}
    warned = [str(w.message) for w in caught if issubclass(w.category, corvix.DamagedRunWarning)]
    return {"warnings": warned, "lost": damage.spectra, "unknown": damage.unknown,
            "chromatograms": damage.chromatograms, "positions": list(damage.positions)}
