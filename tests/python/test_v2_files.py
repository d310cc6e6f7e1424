"""inspect and verify on format-2 files built byte by byte: a sound file read
completely, and damaged ones refused cleanly with the fault named."""

import json
import struct

import pytest

import file_builder as fb
from test_cli import run


def sound():
    f = fb.V2File()
    f.collection("docs", 3, [("a", [1, 2, 3], {"k": 1}), ("b", [4, 5, 6], None)], free=(1,))
    f.collection("graph", 2, [("x", [0, 1], None), ("y", [1, 0], None), ("z", [1, 1], {"t": 1})],
                 index="hnsw", snapshot=True)
    f.collection("gone", 2, [("q", [0, 0], None)], live=False)
    return f


def test_a_sound_file_is_read_completely(tmp_path, capsys):
    path = tmp_path / "v2.db"
    path.write_bytes(sound().bytes())
    assert run(capsys, "verify", str(path)) == (0, "ok: 2 collections, 5 vectors, 23 pages\n", "")
    status, out, err = run(capsys, "inspect", "--json", str(path))
    report, catalog = json.loads(out), json.loads(out)["catalog"]
    assert (status, err, report["header"]["change_counter"]) == (0, "", 6)
    assert (catalog["entries"], catalog["dead_entries"]) == (3, 1)
    assert report["pages"] == {"used": 17, "free": 6}  # the deleted collection's pages are free
    docs, graph = report["collections"]
    assert [docs[k] for k in ("name", "vectors", "free_slots", "metadata_documents")] == [
        "docs", 2, 1, 1]
    assert [graph[k] for k in ("index", "m", "ef_construction", "ef_search")] == [
        "hnsw", 4, 100, 32]
    assert graph["snapshot"] == {"nodes": 3, "entry_point": 0, "max_level": 0, "stale": 0,
                                 "missing": 0}


def data_page(name, kind, n=0):
    """The page of a stream: its root (n=None) or its n-th data page."""
    def page(f):
        root = f.catalog_root if name is None else f.roots[(name, kind)]
        return root if n is None else struct.unpack_from("<Q", f.pages[root], 32 + 8 * n)[0]
    return page


def put(fmt, page, offset, *values):
    """A damage: values packed at `offset` of the page that page(file) names."""
    return lambda f, data: struct.pack_into(
        fmt, data, page(f) * fb.PAGE + offset, *(v(f) if callable(v) else v for v in values))


ROOT = {k: data_page("docs", k, None) for k in ("slots", "vectors", "heap")}
SLOTS, SNAPSHOT = data_page("docs", "slots"), data_page("graph", "graph")
HEAP = data_page("docs", "heap")  # "a", '{"k":1}', "b"
HOSTILE = {  # damage, text verify prints, whether inspect still reads the file
    "header checksum": (put("<B", lambda f: 0, 30, 1), "header: checksum does not match", False),
    "truncated": (lambda f, data: data.__delitem__(slice(-fb.PAGE, None)),
                  "lies beyond the end of the file", False),
    "directory kind": (put("<I", ROOT["slots"], 0, 0x11223344), "is not a stream directory", False),
    "directory entries": (put("<I", ROOT["heap"], 4, 509), "509 directory entries, at most 508",
                          False),
    "directory chain loop": (put("<IIQ", ROOT["heap"], 0, 0x52494453, 508, ROOT["heap"]),
                             "loops back to page", False),
    "page out of range": (put("<Q", ROOT["heap"], 32, 999), "data page 999 is out of range", False),
    "page reachable twice": (put("<Q", data_page("graph", "heap", None), 32,
                                 HEAP), "reachable twice", True),
    "stream length": (put("<Q", ROOT["slots"], 16, 5000), "1 data pages for 5000 bytes", False),
    "catalog entry overruns": (put("<I", data_page(None, None), 0, 9999),
                               "does not fit the catalog", False),
    "heap record past the end": (put("<I", SLOTS, 16, 500), "runs past the heap", False),
    "id not UTF-8": (put("<1s", HEAP, 0, b"\xff"), "id is not UTF-8", False),
    "metadata not JSON": (put("<6s", HEAP, 0, b'a{"k"!'), "metadata is not JSON", True),
    "duplicate id": (put("<9s", HEAP, 0, b'a{"k":1}a'), "is also slot 0's", True),
    "heap overlap": (put("<Q", SLOTS, 48 + 8, 0), "heap records overlap", True),
    "vectors short": (put("<Q", ROOT["vectors"], 16, 20), "slot 2 has no vector", False),
    "snapshot checksum": (put("<B", SNAPSHOT, 64, 0xEE), "checksum does not match (ignored at open",
                          False),
    "snapshot entry point": (put("<Q", SNAPSHOT, 24, 7),
                             "entry point 7 and max level 0 do not match", False),
    "snapshot kind": (put("<I", SNAPSHOT, 0, 0), 'no "HNSW" kind', False),
}


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_a_damaged_file_is_refused_with_its_fault(tmp_path, capsys, case):
    damage, expected, readable = HOSTILE[case]
    f = sound()
    data = bytearray(f.bytes())
    damage(f, data)
    path = tmp_path / "v2.db"
    path.write_bytes(bytes(data))
    status, out, err = run(capsys, "verify", str(path))
    assert (status, err) == (1, "") and expected in out, out
    status, out, err = run(capsys, "inspect", str(path))
    if readable:  # inspect shows what decodes; verify names the fault
        assert (status, err) == (0, "")
    else:
        assert (status, out) == (1, "")
        assert err.startswith(f"orvane: {path}: damaged format-2 file: "), err
