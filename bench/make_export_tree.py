#!/usr/bin/env python3
"""Writes a source tree of media files and a library export that names them,
for timing the export command end to end.

Usage: make_export_tree.py OUT COUNT BYTES PER_FOLDER [--half-into DIR]
                          [--playlists N --entries M] [--rich] [--accents]
                          [--media FILE]

OUT/src/Artist NNN/Album NNNNN/NN Title.m4a, COUNT files of BYTES bytes,
PER_FOLDER to an album folder (1: every track in a folder of its own), and
OUT/Library.xml whose media folder is OUT/src, with the master playlist and
one playlist "Everything" of every track, so that an export lays the tree
out under DRIVE/Music exactly as `cp -r OUT/src DRIVE/Music` does.
With --half-into, every second file is also copied (times kept) to
DIR/Music/<same path>: a drive that already holds half of the export.
With --playlists, the library instead holds N playlists of M entries each,
as real libraries do: entries in random order, each track in several
playlists (every track in at least one, so the export is still the whole
tree). The draw is seeded, so every run sees the same library.
With --rich, every track has the twenty-five or so keys a real export
gives it (kinds, dates, counts, ratings, sort names), so that the library
costs what a real one of that size costs to read; with --accents, folder
and file names carry accents (composed, as Linux file names are written).
With --media, each file begins with FILE (a short media file of the
tracks' kind) rather than random bytes, as a real track's file does: the
exporter looks into every new source to tell its format, and random bytes
are what FFmpeg finds hardest to tell.
"""
import random
import os
import shutil
import sys
import urllib.parse
from xml.sax.saxutils import escape


def main():
    args = sys.argv[1:]
    half_into = None
    playlists, entries = 0, 0
    for flag in ("--playlists", "--entries"):
        if flag in args:
            i = args.index(flag)
            if flag == "--playlists":
                playlists = int(args[i + 1])
            else:
                entries = int(args[i + 1])
            del args[i:i + 2]
    rich, accents = "--rich" in args, "--accents" in args
    media = b""
    if "--media" in args:
        i = args.index("--media")
        with open(args[i + 1], "rb") as f:
            media = f.read()
        del args[i:i + 2]
    args = [a for a in args if a not in ("--rich", "--accents")]
    if "--half-into" in args:
        i = args.index("--half-into")
        half_into = args[i + 1]
        del args[i:i + 2]
    out, count, size, per_folder = args[0], int(args[1]), int(args[2]), int(args[3])
    src = os.path.join(os.path.abspath(out), "src")
    block = os.urandom(min(size, 1 << 20))
    if media:
        block = (media + block)[:len(block)]
    tracks = []
    for i in range(count):
        album = i // per_folder
        if accents:
            rel = (f"Chœur Émile {album // 10:03d}/Été à Montréal {album:05d}/"
                   f"{i % per_folder + 1:02d} Café Noël {i}.m4a")
        else:
            rel = f"Artist {album // 10:03d}/Album {album:05d}/{i % per_folder + 1:02d} Title {i}.m4a"
        path = os.path.join(src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            head = f"{i:016d}".encode()  # every file differs
            at = len(media) if len(media) + len(head) <= len(block) else 0
            left = size
            first = True
            while left > 0:
                chunk = block[:left]
                if first:
                    chunk = chunk[:at] + head[:len(chunk) - at] + chunk[at + len(head):]
                    first = False
                f.write(chunk)
                left -= len(chunk)
        tracks.append((1000 + i, rel, path))
        if half_into and i % 2 == 0:
            copy = os.path.join(half_into, "Music", rel)
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copy2(path, copy)

    def url(p):
        return "file://" + urllib.parse.quote(p)

    def extra(tid, artist, album, name):
        e = escape
        return (f'\t\t\t<key>Album Artist</key><string>{e(artist)}</string>\n'
                '\t\t\t<key>Genre</key><string>Musique du monde</string>\n'
                '\t\t\t<key>Disc Number</key><integer>1</integer>\n'
                f'\t\t\t<key>Track Number</key><integer>{tid % 10 + 1}</integer>\n'
                f'\t\t\t<key>Year</key><integer>{1960 + tid % 60}</integer>\n'
                '\t\t\t<key>Date Modified</key><date>2019-03-30T13:35:20Z</date>\n'
                '\t\t\t<key>Date Added</key><date>2019-03-30T18:39:37Z</date>\n'
                '\t\t\t<key>Bit Rate</key><integer>256</integer>\n'
                '\t\t\t<key>Sample Rate</key><integer>44100</integer>\n'
                f'\t\t\t<key>Play Count</key><integer>{tid % 90}</integer>\n'
                '\t\t\t<key>Play Date UTC</key><date>2018-03-30T19:28:19Z</date>\n'
                f'\t\t\t<key>Rating</key><integer>{tid % 5 * 20}</integer>\n'
                '\t\t\t<key>Album Rating</key><integer>60</integer>\n'
                f'\t\t\t<key>Sort Name</key><string>{e(name[:-4])}</string>\n'
                f'\t\t\t<key>Sort Artist</key><string>{e(artist)}</string>\n'
                f'\t\t\t<key>Sort Composer</key><string>{e(artist)} &amp; Ørjan</string>\n')

    with open(os.path.join(out, "Library.xml"), "w", encoding="utf-8") as w:
        w.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" '
                '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
                '<plist version="1.0">\n<dict>\n'
                '\t<key>Major Version</key><integer>1</integer>\n'
                '\t<key>Minor Version</key><integer>1</integer>\n'
                f'\t<key>Music Folder</key><string>{escape(url(src + "/"))}</string>\n'
                '\t<key>Library Persistent ID</key><string>0123456789ABCDEF</string>\n'
                '\t<key>Tracks</key>\n\t<dict>\n')
        for tid, rel, path in tracks:
            artist, album, name = rel.split("/")
            w.write(f'\t\t<key>{tid}</key>\n\t\t<dict>\n'
                    f'\t\t\t<key>Track ID</key><integer>{tid}</integer>\n'
                    f'\t\t\t<key>Name</key><string>{escape(name[:-4])}</string>\n'
                    f'\t\t\t<key>Artist</key><string>{artist}</string>\n'
                    f'\t\t\t<key>Album</key><string>{album}</string>\n'
                    '\t\t\t<key>Kind</key><string>AAC audio file</string>\n'
                    f'\t\t\t<key>Size</key><integer>{size}</integer>\n'
                    '\t\t\t<key>Total Time</key><integer>180000</integer>\n'
                    + (extra(tid, artist, album, name) if rich else '') +
                    f'\t\t\t<key>Persistent ID</key><string>{tid:016X}</string>\n'
                    '\t\t\t<key>Track Type</key><string>File</string>\n'
                    f'\t\t\t<key>Location</key><string>{escape(url(path))}</string>\n'
                    '\t\t</dict>\n')
        w.write('\t</dict>\n\t<key>Playlists</key>\n\t<array>\n')
        ids = [tid for tid, _, _ in tracks]
        lists = [("Library", 1, True, ids)]
        if playlists:
            rng = random.Random(27)
            shuffled = ids[:]
            rng.shuffle(shuffled)
            for p in range(playlists):
                # The deal covers every track once; the rest is drawn.
                own = shuffled[p::playlists]
                drawn = own + rng.sample(ids, max(0, min(len(ids), entries) - len(own)))
                rng.shuffle(drawn)
                lists.append((f"Playlist {p:03d}", 100 + p, False, drawn))
        else:
            lists.append(("Everything", 2, False, ids))
        for name, pid, master, items in lists:
            w.write('\t\t<dict>\n'
                    f'\t\t\t<key>Name</key><string>{name}</string>\n'
                    + ('\t\t\t<key>Master</key><true/>\n\t\t\t<key>Visible</key><false/>\n' if master else '')
                    + f'\t\t\t<key>Playlist ID</key><integer>{pid}</integer>\n'
                    f'\t\t\t<key>Playlist Persistent ID</key><string>{pid:016X}</string>\n'
                    '\t\t\t<key>All Items</key><true/>\n\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n')
            for tid in items:
                w.write(f'\t\t\t\t<dict><key>Track ID</key><integer>{tid}</integer></dict>\n')
            w.write('\t\t\t</array>\n\t\t</dict>\n')
        w.write('\t</array>\n</dict>\n</plist>\n')


if __name__ == "__main__":
    main()
