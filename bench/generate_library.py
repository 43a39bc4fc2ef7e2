#!/usr/bin/env python3
"""Writes a synthetic iTunes library export of the size a large real library has.

Usage: generate_library.py OUTPUT [TRACKS [PLAYLISTS]]   (defaults 100000 and 500)

The layout and keys follow what iTunes writes: a Tracks dictionary of
per-track dictionaries (about twenty-five keys each), then a Playlists array
whose first entry is the hidden master list of every track. A fixed seed
keeps the file identical from run to run.
"""
import random
import sys
import urllib.parse
from xml.sax.saxutils import escape

WORDS = ["Love", "Night", "Blue", "Caf\u00e9", "Stra\u00dfe", "Fire", "Rain", "Dream", "Road",
         "\u00c9t\u00e9", "Heart", "Sky", "River", "Gold", "Don\u2019t", "Rock & Roll", "Light",
         "Ni\u00f1o", "Storm", "Echo", "Shadow", "Velvet", "Summer", "Paper", "Glass"]


def title(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def main():
    if len(sys.argv) < 2 or sys.argv[1].startswith("-"):
        # An option where the output belongs would otherwise become a file
        # of that name, 100 MB of it, wherever the script was run.
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        sys.exit(0 if sys.argv[1:2] in (["--help"], ["-h"]) else 2)
    out = sys.argv[1]
    n_tracks = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    n_playlists = int(sys.argv[3]) if len(sys.argv) > 3 else 500
    rng = random.Random(20240601)
    artists = [title(rng, 2) for _ in range(max(1, n_tracks // 40))]
    base = "file:///Users/listener/Music/iTunes/iTunes%20Media/"
    w = open(out, "w", encoding="utf-8", newline="\n")
    w.write('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" '
            '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
            '<plist version="1.0">\n<dict>\n'
            '\t<key>Major Version</key><integer>1</integer>\n'
            '\t<key>Minor Version</key><integer>1</integer>\n'
            '\t<key>Date</key><date>2024-06-01T10:00:00Z</date>\n'
            '\t<key>Application Version</key><string>12.12.10.1</string>\n'
            '\t<key>Features</key><integer>5</integer>\n'
            '\t<key>Show Content Ratings</key><true/>\n'
            f'\t<key>Music Folder</key><string>{base}</string>\n'
            '\t<key>Library Persistent ID</key><string>0123456789ABCDEF</string>\n'
            '\t<key>Tracks</key>\n\t<dict>\n')
    ids = []
    for i in range(n_tracks):
        tid = 1000 + 2 * i
        ids.append(tid)
        artist = rng.choice(artists)
        album = title(rng, rng.randint(1, 2))
        name = title(rng, rng.randint(1, 3))
        number = rng.randint(1, 14)
        path = f"Music/{artist}/{album}/{number:02d} {name}.m4a"
        location = base + urllib.parse.quote(path, safe="/&'(),!")
        remote = i % 50 == 49
        e = escape
        w.write(f'\t\t<key>{tid}</key>\n\t\t<dict>\n'
                f'\t\t\t<key>Track ID</key><integer>{tid}</integer>\n'
                f'\t\t\t<key>Name</key><string>{e(name)}</string>\n'
                f'\t\t\t<key>Artist</key><string>{e(artist)}</string>\n'
                f'\t\t\t<key>Album Artist</key><string>{e(artist)}</string>\n'
                f'\t\t\t<key>Album</key><string>{e(album)}</string>\n'
                f'\t\t\t<key>Genre</key><string>{rng.choice(["Rock", "Pop", "Jazz", "Classical"])}</string>\n'
                '\t\t\t<key>Kind</key><string>AAC audio file</string>\n'
                f'\t\t\t<key>Size</key><integer>{rng.randint(2_000_000, 60_000_000)}</integer>\n'
                f'\t\t\t<key>Total Time</key><integer>{rng.randint(60_000, 600_000)}</integer>\n'
                f'\t\t\t<key>Track Number</key><integer>{number}</integer>\n'
                f'\t\t\t<key>Year</key><integer>{rng.randint(1960, 2024)}</integer>\n'
                '\t\t\t<key>Date Modified</key><date>2019-03-30T13:35:20Z</date>\n'
                '\t\t\t<key>Date Added</key><date>2019-03-30T18:39:37Z</date>\n'
                '\t\t\t<key>Bit Rate</key><integer>256</integer>\n'
                '\t\t\t<key>Sample Rate</key><integer>44100</integer>\n'
                f'\t\t\t<key>Play Count</key><integer>{rng.randint(0, 90)}</integer>\n'
                '\t\t\t<key>Play Date UTC</key><date>2018-03-30T19:28:19Z</date>\n'
                f'\t\t\t<key>Persistent ID</key><string>{rng.getrandbits(64):016X}</string>\n')
        if i % 997 == 5:
            w.write('\t\t\t<key>Disabled</key><true/>\n')
        if remote:
            w.write('\t\t\t<key>Track Type</key><string>Remote</string>\n')
        else:
            w.write('\t\t\t<key>Track Type</key><string>File</string>\n'
                    f'\t\t\t<key>Location</key><string>{e(location)}</string>\n'
                    '\t\t\t<key>File Folder Count</key><integer>5</integer>\n'
                    '\t\t\t<key>Library Folder Count</key><integer>1</integer>\n')
        w.write('\t\t</dict>\n')
    w.write('\t</dict>\n\t<key>Playlists</key>\n\t<array>\n')
    for p in range(n_playlists):
        master = p == 0
        items = ids if master else rng.sample(ids, rng.randint(min(20, len(ids)), min(200, len(ids))))
        w.write('\t\t<dict>\n'
                f'\t\t\t<key>Name</key><string>{"Library" if master else escape(title(rng, 2))}</string>\n')
        if master:
            w.write('\t\t\t<key>Master</key><true/>\n')
        w.write(f'\t\t\t<key>Playlist ID</key><integer>{500000 + p}</integer>\n'
                f'\t\t\t<key>Playlist Persistent ID</key><string>{rng.getrandbits(64):016X}</string>\n')
        if master:
            w.write('\t\t\t<key>Visible</key><false/>\n')
        w.write('\t\t\t<key>All Items</key><true/>\n\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n')
        for tid in items:
            w.write(f'\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>{tid}</integer>\n\t\t\t\t</dict>\n')
        w.write('\t\t\t</array>\n\t\t</dict>\n')
    w.write('\t</array>\n</dict>\n</plist>\n')
    w.close()


if __name__ == "__main__":
    main()
