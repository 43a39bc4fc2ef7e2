#!/usr/bin/env python3
"""Writes the demo's sample library: twenty short generated WAV files and a
Library.xml in the iTunes export format that names them.

    make_sample_library.py OUT_DIR

OUT_DIR/Library.xml and OUT_DIR/Media/Music/<artist>/<album>/<file>.wav,
and OUT_DIR/Library-fewer.xml, the same library after the user deleted
the playlist "Sunday" (its only track then becomes a stale file).
Uses only the standard library. The library holds accented and non-Latin
names, an unchecked track, a track shared by two playlists, a playlist
listing one track twice, a folder playlist and the master playlist.
"""
import math
import os
import plistlib
import struct
import sys
import urllib.parse
import wave
from datetime import datetime, timezone

TRACKS = [
    # (artist, album, title, seconds)
    ("Björk", "Homogenic", "Jóga", 3),
    ("Björk", "Homogenic", "Bachelorette", 2),
    ("Sigur Rós", "Ágætis byrjun", "Svefn-g-englar", 3),
    ("Sigur Rós", "Ágætis byrjun", "Starálfur", 2),
    ("Café Tacvba", "Re", "La Ingrata", 2),
    ("Motörhead", "Ace of Spades", "Ace of Spades", 2),
    ("坂本龍一", "音楽図鑑", "Tibetan Dance", 3),
    ("坂本龍一", "音楽図鑑", "M.A.Y. in the Backyard", 2),
    ("Наутилус Помпилиус", "Разлука", "Скованные одной цепью", 2),
    ("Θανάσης Παπακωνσταντίνου", "Βραχνός προφήτης", "Βραχνός προφήτης", 2),
    ("Beyoncé", "Lemonade", "Formation", 2),
    ("AC/DC", "Back in Black", "Hells Bells", 2),
    ("Guns N' Roses", "Appetite", "Paradise City", 2),
    ("Sinéad O'Connor", "I Do Not Want", "Nothing Compares 2 U", 3),
    ("Mötley Crüe", "Dr. Feelgood", "Kickstart My Heart", 2),
    ("Yann Tiersen", "Amélie", "Comptine d'un autre été", 2),
    ("Bizet", "Carmen", "Habanera: L'amour est un oiseau rebelle", 2),
    ("Nena", "99 Luftballons", "99 Luftballons", 2),
    ("Rosalía", "El Mal Querer", "Malamente (Cap.1: Augurio)", 2),
    ("The Beatles", "Abbey Road", "Here Comes the Sun?", 2),
]

UNCHECKED = {15}          # "Comptine d'un autre été" is unchecked
PLAYLISTS = [
    # (name, track indexes)
    ("Nordic", [0, 1, 2, 3]),
    ("Road Trip", [5, 11, 12, 14, 17, 0]),          # Jóga shared with Nordic
    ("World", [4, 6, 7, 8, 9, 18]),
    ("Favourites ♥", [10, 13, 15, 16, 13]),         # one track listed twice
    ("Sunday", [19]),
]


def safe(component):
    return component.replace("/", "_").replace(":", "_")


def write_wav(path, seconds, pitch):
    rate = 8000
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(1)
        w.setframerate(rate)
        frames = bytearray()
        for n in range(rate * seconds):
            frames.append(128 + int(60 * math.sin(2 * math.pi * pitch * n / rate)))
        w.writeframes(bytes(frames))


# A 1 x 1 grey JPEG, enough to stand for an album cover.
TINY_JPEG = bytes.fromhex(
    "ffd8ffe000104a46494600010100000100010000ffdb004300080606070605080707070909080a0c140d0c0b0b0c1912130f"
    "141d1a1f1e1d1a1c1c20242e2720222c231c1c2837292c30313434341f27393d38323c2e333432ffc0000b08000100010101"
    "1100ffc4001f0000010501010101010100000000000000000102030405060708090a0bffc400b5100002010303020403050504"
    "040000017d01020300041105122131410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a25"
    "262728292a3435363738393a434445464748494a535455565758595a636465666768696a737475767778797a838485868788"
    "898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3"
    "e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9faffda0008010100003f00fbd3ffd9")
COVERS = {"Homogenic": "cover.jpg", "Re": "folder.jpg", "音楽図鑑": "Folder.jpg"}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    media = os.path.join(out, "Media")
    music_folder = urllib.parse.quote(media + "/", safe="/")
    tracks = {}
    for i, (artist, album, title, seconds) in enumerate(TRACKS):
        folder = os.path.join(media, "Music", safe(artist), safe(album))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, f"{i + 1:02d} {safe(title)}.wav")
        write_wav(path, seconds, 220 + 20 * i)
        if album in COVERS:
            with open(os.path.join(folder, COVERS[album]), "wb") as f:
                f.write(TINY_JPEG)
        track_id = 1000 + i
        entry = {
            "Track ID": track_id,
            "Name": title,
            "Artist": artist,
            "Album": album,
            "Kind": "WAV audio file",
            "Size": os.path.getsize(path),
            "Total Time": seconds * 1000,
            "Track Number": i + 1,
            "Persistent ID": f"5A3C0000{track_id:08X}",
            "Track Type": "File",
            "Location": "file://" + urllib.parse.quote(path),
            "Date Added": datetime(2024, 1, 1, tzinfo=timezone.utc),
        }
        if i in UNCHECKED:
            entry["Disabled"] = True
        tracks[str(track_id)] = entry
    playlists = [{
        "Name": "Library", "Master": True, "Visible": False, "All Items": True,
        "Playlist ID": 1, "Playlist Persistent ID": "5A3C0000000000A0",
        "Playlist Items": [{"Track ID": 1000 + i} for i in range(len(TRACKS))],
    }, {
        "Name": "Music", "Distinguished Kind": 4, "All Items": True, "Music": True,
        "Playlist ID": 2, "Playlist Persistent ID": "5A3C0000000000A1",
        "Playlist Items": [{"Track ID": 1000 + i} for i in range(len(TRACKS))],
    }, {
        "Name": "Collections", "Folder": True, "All Items": True,
        "Playlist ID": 3, "Playlist Persistent ID": "5A3C0000000000A2",
    }]
    for n, (name, items) in enumerate(PLAYLISTS):
        playlists.append({
            "Name": name, "All Items": True, "Playlist ID": 10 + n,
            "Playlist Persistent ID": f"5A3C0000000000B{n}",
            "Parent Persistent ID": "5A3C0000000000A2" if n < 2 else None,
            "Playlist Items": [{"Track ID": 1000 + i} for i in items],
        })
        if playlists[-1]["Parent Persistent ID"] is None:
            del playlists[-1]["Parent Persistent ID"]
    library = {
        "Major Version": 1, "Minor Version": 1, "Application Version": "12.9.5.5",
        "Date": datetime(2024, 1, 2, tzinfo=timezone.utc), "Features": 5,
        "Show Content Ratings": True,
        "Library Persistent ID": "5A3C000000000001",
        "Music Folder": "file://" + music_folder,
        "Tracks": tracks, "Playlists": playlists,
    }
    with open(os.path.join(out, "Library.xml"), "wb") as f:
        plistlib.dump(library, f, sort_keys=False)
    library["Playlists"] = [p for p in playlists if p["Name"] != "Sunday"]
    with open(os.path.join(out, "Library-fewer.xml"), "wb") as f:
        plistlib.dump(library, f, sort_keys=False)
    print(f"sample library: {out}/Library.xml ({len(TRACKS)} tracks, {len(PLAYLISTS)} playlists)")


if __name__ == "__main__":
    main()
