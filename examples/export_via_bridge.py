#!/usr/bin/env python3
"""A whole export through `tessaline script`, the way the application's own
script drives the exporter: standard library only.

Usage: export_via_bridge.py TESSALINE LIBRARY.xml DRIVE_FOLDER [--delete-stale]

It starts `TESSALINE script`, talks JSON-RPC 2.0 to it one line at a time,
and: sets the destination, loads every user playlist of the library (parsed
here with plistlib), shows the bytes each playlist still needs and the net
total, starts a copy and polls it to the end, lists the folders lacking a
cover image, writes the playlist files, and lists (optionally deletes) the
stale files on the drive. The exporter's log lines appear on standard error.
"""
import json
import os
import plistlib
import subprocess
import sys
import time
import urllib.parse


class Bridge:
    def __init__(self, executable):
        self.proc = subprocess.Popen([executable, "script"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, encoding="utf-8")
        self.next_id = 1

    def call(self, method, *params):
        request = {"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": list(params)}
        self.next_id += 1
        self.proc.stdin.write(json.dumps(request, ensure_ascii=False) + "\n")
        self.proc.stdin.flush()
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("the bridge ended unexpectedly")
            message = json.loads(line)
            if "id" not in message:  # a notification, e.g. a completion
                continue
            if "error" in message:
                raise RuntimeError(f"{method}: {message['error']['message']}")
            return message["result"]

    def close(self):
        self.proc.stdin.close()
        return self.proc.wait()


def local_path(location):
    parsed = urllib.parse.urlparse(location)
    return urllib.parse.unquote(parsed.path)


def duration_text(track):
    if "Total Time" not in track or int(track["Total Time"]) < 0:
        return "-1"
    return str((int(track["Total Time"]) + 500) // 1000)


def human(n):
    for unit in ("bytes", "KB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1000


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 3:
        sys.exit(__doc__)
    executable, library_path, drive = args
    delete_stale = "--delete-stale" in sys.argv
    with open(library_path, "rb") as f:
        library = plistlib.load(f)
    tracks = library.get("Tracks", {})

    bridge = Bridge(executable)
    drive = os.path.abspath(drive)
    if not os.path.isdir(drive):
        sys.exit("%s is not a folder: is the drive mounted?" % drive)
    # The exporter never creates its destination root (a missing one is a
    # drive that is not there); the tracks' folder on the drive is ours to make.
    os.makedirs(os.path.join(drive, "Music"), exist_ok=True)
    bridge.call("+[CTrack setDestinationBasePath:]", os.path.join(drive, "Music"))
    ui = bridge.call("+[Interface load]")

    # The exporter's own layout of this library: the same paths and file
    # names as `tessaline export`, so the two can be mixed on one drive.
    layout = bridge.call("+[DestinationLayout pathsForLibrary:]", library_path)

    # One playlist record per playlist an export of all playlists takes
    # (not the whole library, folders, built-in or hidden ones).
    playlists = []
    for p in library.get("Playlists", []):
        uid = p.get("Playlist Persistent ID")
        if uid not in layout["playlists"]:
            continue
        ids, enables, sources, dests, titles, artists, durations = [], [], [], [], [], [], []
        for item in p.get("Playlist Items", []):
            t = tracks.get(str(item["Track ID"]))
            if not t or "Location" not in t or t.get("Persistent ID") not in layout["tracks"]:
                continue
            source = local_path(t["Location"])
            ids.append(t["Persistent ID"])
            enables.append(not t.get("Disabled", False))
            sources.append(source)
            dests.append(layout["tracks"][t["Persistent ID"]])
            titles.append(t.get("Name", os.path.basename(source)))
            artists.append(t.get("Artist", ""))
            durations.append(duration_text(t))
        record = bridge.call(
            "+[CTrackList retainedTrackListForUniqueID:exported:trackIDs:enables:sourcePaths:destPaths:"
            "titles:artists:durations:]", uid, True, ids, enables, sources, dests, titles, artists, durations)
        bridge.call("-[CTrackList setPlaylistFileName:]", record, layout["playlists"][uid])
        playlists.append((uid, p.get("Name", uid), record))
    uids = [uid for uid, _, _ in playlists]

    # Totals: the net copy total also charges each shared track to the first
    # playlist (in this order) that holds it.
    net = bridge.call("+[CTrackList netCopyTotalUniqueIDs:]", uids)
    for uid, name, record in playlists:
        first = bridge.call("-[CTrackList netcopyTotal]", record)
        alone = bridge.call("-[CTrackList uncopiedTotal]", record)
        print(f"  {name:<30} {human(first):>10} to copy ({human(alone)} on its own)")
    print(f"Net total to copy: {human(net)}")

    # The copy, on the exporter's background thread; the bridge turns the
    # main run loop while we poll.
    copier = bridge.call("+[CThreadCopier CThreadCopierForUniqueIDs:]", uids)
    while uids and bridge.call("-[CThreadCopier copyState]", copier) != 3:
        done = bridge.call("-[CThreadCopier copiedSize]", copier)
        total = bridge.call("-[CThreadCopier totalSize]", copier)
        print(f"\r  copied {human(done)} of {human(total)}", end="", flush=True)
        time.sleep(0.1)
    print(f"\rCopied {human(bridge.call('-[CThreadCopier copiedSize]', copier))}.          ")
    bridge.call("release", copier)

    ids, art_paths = bridge.call("+[CTrack tracksNeedingArtMkdir:]", False)
    print(f"Folders lacking a cover image: {len(set(art_paths))}")

    generator = bridge.call("+[CThreadPlaylistGenerator CThreadPlaylistGeneratorForUniqueIDs:inFolder:]",
                            uids, os.path.join(drive, "Playlists"))
    while uids and bridge.call("-[CThreadPlaylistGenerator playlistState]", generator) != 2:
        time.sleep(0.05)
    print(f"Playlist files written to {bridge.call('-[CThreadPlaylistGenerator playlistPath]', generator)}")

    sync = bridge.call("+[CTrackSync deleteList]")
    stale = bridge.call("-[CTrackSync deleteList]", sync) or []
    print(f"Stale items on the drive: {len(stale)} ({human(bridge.call('-[CTrackSync deleteSize]', sync))})")
    for path in stale:
        print(f"  {path}")
    if stale and delete_stale:
        bridge.call("-[CTrackSync deleteAllInList]", sync)
        print("Stale items deleted.")
    print(bridge.call("-[SelectorText completionPrompt]", ui["selectorText"]))
    return bridge.close()


if __name__ == "__main__":
    sys.exit(main())
