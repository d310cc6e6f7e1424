"""inspect and verify on format-2 files built byte by byte: a sound file read
completely, and damaged ones refused cleanly with the fault named."""

import json
import struct

import pytest

import file_builder_v2 as fb2

cli = pytest.importorskip("orvane._cli")
PAGE = fb2.PAGE


def run(capsys, *argv):
    status = cli.main(list(argv))
    out = capsys.readouterr()
    return status, out.out, out.err


def sound() -> fb2.V2File:
    f = fb2.V2File()
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
    assert (status, err) == (0, "")
    report = json.loads(out)
    assert report["header"]["change_counter"] == 6
    assert report["catalog"]["entries"] == 3 and report["catalog"]["dead_entries"] == 1
    assert report["pages"] == {"used": 17, "free": 6}  # the deleted collection's pages are free
    docs, graph = report["collections"]
    assert (docs["name"], docs["vectors"], docs["free_slots"], docs["metadata_documents"]) == (
        "docs", 2, 1, 1)
    assert (graph["index"], graph["m"], graph["ef_construction"], graph["ef_search"]) == (
        "hnsw", 4, 100, 32)
    assert graph["snapshot"] == {"nodes": 3, "entry_point": 0, "max_level": 0, "stale": 0,
                                 "missing": 0}


def root(name, kind):
    return lambda f: f.roots[(name, kind)]


def first_data(page_of):
    """The first data page of the stream whose root page_of names."""
    return lambda f: struct.unpack_from("<Q", f.pages[page_of(f)], 32)[0]


def catalog(f):
    return f.catalog_root


def put(fmt, page_of, offset, *values):
    """A damage: values packed at offset of the page that page_of(file) names."""
    def damage(f, data):
        struct.pack_into(fmt, data, page_of(f) * PAGE + offset, *values)
    return damage


def truncate(f, data):
    del data[-PAGE:]


def flip(page_of, offset):
    def damage(f, data):
        data[page_of(f) * PAGE + offset] ^= 1
    return damage


def share_heap_page(f, data):
    struct.pack_into("<Q", data, root("graph", "heap")(f) * PAGE + 32,
                     first_data(root("docs", "heap"))(f))


def loop(f, data):
    heap = root("docs", "heap")(f)
    struct.pack_into("<IIQ", data, heap * PAGE, 0x52494453, 508, heap)


def heap_bytes(new):
    """docs' heap ("a", '{"k":1}', "b") rewritten with bytes of the same length."""
    def damage(f, data):
        at = first_data(root("docs", "heap"))(f) * PAGE
        data[at:at + len(new)] = new
    return damage


DOCS_SLOTS = first_data(root("docs", "slots"))
HOSTILE = {  # damage, text verify prints, whether inspect still reads the file
    "header checksum": (flip(lambda f: 0, 30), "header: checksum does not match", False),
    "truncated": (truncate, "lies beyond the end of the file", False),
    "directory kind": (put("<I", root("docs", "slots"), 0, 0x11223344),
                       "is not a stream directory", False),
    "directory entries": (put("<I", root("docs", "heap"), 4, 509),
                          "509 directory entries, at most 508", False),
    "directory chain loop": (loop, "loops back to page", False),
    "page out of range": (put("<Q", root("docs", "heap"), 32, 999),
                          "data page 999 is out of range", False),
    "page reachable twice": (share_heap_page, "reachable twice", True),
    "stream length": (put("<Q", root("docs", "slots"), 16, 5000),
                      "1 data pages for 5000 bytes", False),
    "catalog entry overruns": (put("<I", first_data(catalog), 0, 9999),
                               "does not fit the catalog", False),
    "heap record past the end": (put("<I", DOCS_SLOTS, 16, 500), "runs past the heap", False),
    "id not UTF-8": (heap_bytes(b"\xff"), "id is not UTF-8", False),
    "metadata not JSON": (heap_bytes(b'a{"k"!'), "metadata is not JSON", True),
    "duplicate id": (heap_bytes(b'a{"k":1}a'), "is also slot 0's", True),
    "heap overlap": (put("<Q", DOCS_SLOTS, 48 + 8, 0), "heap records overlap", True),
    "vectors short": (put("<Q", root("docs", "vectors"), 16, 20), "slot 2 has no vector", False),
    "snapshot checksum": (flip(first_data(root("graph", "graph")), 64),
                          "checksum does not match (ignored at open", False),
    "snapshot entry point": (put("<Q", first_data(root("graph", "graph")), 24, 7),
                             "entry point 7 and max level 0 do not match", False),
    "snapshot kind": (put("<I", first_data(root("graph", "graph")), 0, 0), 'no "HNSW" kind', False),
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
