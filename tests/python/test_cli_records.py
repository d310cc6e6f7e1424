"""verify and inspect on the records of classic files, built byte by byte:
catalog records that do and do not decode (as the engine does), names and unallocated pages,
metadata records, and sound, stale and corrupt edge snapshots."""

import pytest

import file_builder as fb
from orvane import Kestrum
from orvane import _cli as cli


def verify(capsys, db):
    status = cli.main(["verify", str(db)])
    return status, capsys.readouterr().out.splitlines()


def catalog_file(db, *records, collections=1):
    """Header, then per collection a data and a metadata page, then the catalog."""
    pages = [fb.page(t) for _ in range(collections) for t in (1, 3)]
    fb.write_pages(db, [fb.header_page(2 + 2 * collections, 1 + 2 * collections), *pages,
                        fb.page(4, *records)])


PAGES = ',"data_root_page":1,"metadata_root_page":2}'
NOT_INT = '"dimension" is not an integer from 0 to 2**64-1'
NOT_STR = '"%s" is not a string'


@pytest.mark.parametrize("record, reason", [
    ('{"name":"x","dimension":8,"distance":"cosine"',
     '"distance" is not one of Cosine, Euclidean, DotProduct'),
    ('{"name":"x","dimension":8,"name":"y"', 'member "name" given twice'),
    ('{"name":"x","dimension":true', NOT_INT), ('{"name":"x","dimension":-1', NOT_INT),
    ('{"name":"x","dimension":18446744073709551616', NOT_INT),
    ('{"name":"x","dimension":8.0', NOT_INT), ('{"name":"x","dimension":"8"', NOT_INT),
    ('{"dimension":8', 'member "name" missing'), ('{"name":7,"dimension":8', NOT_STR % "name"),
    ('{"name":"x","dimension":8,"description":null', NOT_STR % "description"),
    ('{"name":"x","dimension":8,"index_type":1', NOT_STR % "index_type"),
    ('{"name":"x","dimension":8,"data_root_page":-5,"metadata_root_page":2}',
     '"data_root_page" is not an integer from 0 to 2**64-1'),
    ('{"name":"\\ud800","dimension":8', "not JSON (invalid UTF-8)"),
    ('{"name":"x","dimension":NaN', "not JSON (NaN is not JSON)"),
    ('{"name":"x","dimension":8' + PAGES + " x", "not JSON (extra data)"),
    ('["x"]', "array of 1 values, not 2 to 8"),
    ('["x",8,"Cosine","",1,2,0,"flat",9]', "array of 9 values, not 2 to 8"),
    ('"x"', "neither an object nor an array"),
    ('\ufeff["x",8]', "not JSON (unexpected utf-8 bom (decode using utf-8-sig))"),
    ("", "empty record"),
    (' {"dimension":8,"comment":{"a":1,"a":2},"name":"x"' + PAGES + "\n", None),
    ('["x",8,"Euclidean","",1,2,0,"flat"]', None), ('["x",8,"Euclidean","",1,2]', None),
    ('{"name":"x","dimension":-0', None),
])
def test_catalog_records(tmp_path, capsys, record, reason):
    """The tools and the engine decode each record alike."""
    db = tmp_path / "c.db"
    catalog_file(db, (record + PAGES if record.startswith("{") and "}" not in record
                      else record).encode())
    if reason is None:
        assert verify(capsys, db) == (0, ["ok: 1 collection, 0 vectors, 4 pages"])
        assert Kestrum(str(db)).list_collections() == ["x"]
        return
    assert verify(capsys, db) == (1, [f"page 3 slot 0: catalog record does not decode: {reason}",
                                      "pages 1-2: warning: not used by any collection",
                                      "not sound: 1 error, 1 warning"])
    cli.main(["inspect", str(db)])
    assert f"  catalog slot 0 skipped: {reason}\ncollections: 0\n" in capsys.readouterr().out
    assert Kestrum(str(db)).list_collections() == []


def test_catalog_names_and_unallocated_pages(tmp_path, capsys):
    db = tmp_path / "c.db"
    catalog_file(db, fb.catalog_record("x", 2, data=1, metadata=2),
                 fb.catalog_record("h", 2, data=3, index_type="hnsw"),
                 fb.catalog_record("x", 2, data=5, metadata=0), collections=3)
    new_page = ": a new page is allocated at every open"
    assert verify(capsys, db) == (0, [
        'page 7 slot 2: warning: collection "x" again: replaces the record of slot 0',
        'page 7 slot 1: warning: collection "h": metadata_root_page 0' + new_page,
        'page 7 slot 1: warning: collection "h": hnsw_edge_page 0' + new_page,
        'page 7 slot 2: warning: collection "x": metadata_root_page 0' + new_page,
        "pages 4, 6: warning: not used by any collection",
        "ok: 2 collections, 0 vectors, 8 pages, 5 warnings"])


def test_metadata_records(tmp_path, capsys):
    db = tmp_path / "m.db"
    fb.one_collection_file(db)
    meta = fb.page(3, fb.metadata_record("a", b'{"k":[1,2]}'), fb.marker("a"),
                   fb.metadata_record("b", b'{"k":'), fb.metadata_record("c", b' "text" '))
    db.write_bytes(db.read_bytes()[:2 * 4096] + meta + db.read_bytes()[3 * 4096:])
    assert verify(capsys, db) == (1, ['page 2 slot 2: metadata of "b" is not one JSON value',
                                      "not sound: 1 error, 0 warnings"])
    cli.main(["inspect", str(db)])
    # the marker removes the document of "a"; "b" does not parse; "c" does
    assert "    metadata page 2: 44 of 3056 bytes, 4 of 256 slots; 1 document\n" in (
        capsys.readouterr().out)


SOUND = [fb.edge_header(1, 1, 3), fb.edge_node(1, 1, [[2, 3], [3]]), fb.edge_node(2, 0, [[1, 3]]),
         fb.edge_node(3, 1, [[1, 2], [1]])]


def test_sound_and_stale_edge_snapshots(tmp_path, capsys):
    db = tmp_path / "h.db"
    fb.hnsw_collection_file(db, SOUND)
    assert verify(capsys, db) == (0, ["ok: 1 collection, 3 vectors, 5 pages"])
    cli.main(["inspect", str(db)])
    assert capsys.readouterr().out.endswith(
        "    edges page 3: 168 of 3056 bytes, 4 of 256 slots; snapshot of 3 nodes, entry point 1, "
        "max_level 1\n")
    # node 3 was deleted after the snapshot, vector 4 inserted without one, 9 is long gone
    fb.hnsw_collection_file(db, [SOUND[0], fb.edge_node(1, 1, [[2, 3, 9], [3]])] + SOUND[2:],
                            vectors=((1, [1, 0]), (2, [0, 1]), (4, [2, 2])))
    assert verify(capsys, db) == (0, [
        "page 3: warning: 1 neighbour link to ids without a node",
        "page 3: warning: 1 snapshot node without a live vector (deleted since)",
        "page 3: warning: 1 live vector missing from the snapshot",
        "ok: 1 collection, 3 vectors, 5 pages, 3 warnings"])


H, N = fb.edge_header, fb.edge_node
REPEATS = "node 3: layer 0 list repeats an id or names the node itself"


@pytest.mark.parametrize("first, last, message", [
    (H(1, 1, 4), None, "0: header counts 4 nodes, the page holds 3 node records"),
    (H(1, 13, 3), None, "0: max_level 13 above 12"),
    (H(7, 1, 3), None, "0: entry point 7 is not a node of the snapshot"),
    (H(0, 1, 3), None, "0: no entry point for 3 nodes"),
    (b"\x01" * 15, None, "0: edge header is 15 bytes, not 16"),
    (None, N(2, 0, [[1]]), "3: node 2 is recorded twice or is not an id"),
    (None, N(3, 2, [[1], [], [2]]), "3: node 3 has level 2, above max_level 1"),
    (None, N(3, 1, [[1, 2], [1]])[:-4], "3: node 3: layer 1 list runs past the record end"),
    (None, N(3, 1, [[1, 2], [1]]) + bytes(3), "3: node 3: 3 bytes after its last neighbour list"),
    (None, SOUND[3][:12] + b"\3\0\0\0" + SOUND[3][16:],
     "3: node 3 has 3 neighbour lists for level 1"),
    (None, N(3, 1, [[1, 1], []]), "3: " + REPEATS),
    (None, N(3, 0, [[3]]), "3: " + REPEATS),
    (None, N(3, 0, [list(range(10, 43))]), "3: node 3: layer 0 list of 33 ids (1 to 32 allowed)"),
    (None, N(3, 99, [[1]] * 100), "3: node 3 has level 99, above 12"),
])
def test_corrupt_edge_snapshots(tmp_path, capsys, first, last, message):
    fb.hnsw_collection_file(tmp_path / "h.db", [first or SOUND[0], *SOUND[1:3], last or SOUND[3]])
    status, lines = verify(capsys, tmp_path / "h.db")
    assert (status, lines[0]) == (1, "page 3 slot " + message)
    assert lines[-1].startswith("not sound: 1 error")
