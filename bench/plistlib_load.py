#!/usr/bin/env python3
"""Loads a library export with Python's plistlib, the usual way scripts read it.

Prints the same fields as `bench_library_load --once`.
"""
import plistlib
import resource
import sys
import time


def main():
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    with open(sys.argv[1], "rb") as f:
        lib = plistlib.load(f)
    wall = time.perf_counter() - t0
    cpu = time.process_time() - cpu0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"tracks={len(lib['Tracks'])} playlists={len(lib['Playlists'])} "
          f"wall_s={wall:.3f} cpu_s={cpu:.3f} peak_kb={peak}")


if __name__ == "__main__":
    main()
