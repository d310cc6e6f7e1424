"""verify and inspect on the records of classic files, built byte by byte:
catalog records that do and do not decode, names and unallocated pages,
metadata records, and sound, stale and corrupt edge snapshots."""

import pytest

import file_builder as fb

from orvane import _cli as cli


def verify(capsys, db):
    status = cli.main(["verify", str(db)])
    return status, capsys.readouterr().out.splitlines()


def catalog_file(db, *records, data_pages=1):
    """Header, then per collection a data and a metadata page, then the catalog."""
    pages = [fb.header_page(2 + 2 * data_pages, 1 + 2 * data_pages)]
    for _ in range(data_pages):
        pages += [fb.SlottedPage(1).bytes(), fb.SlottedPage(3).bytes()]
    cat = fb.SlottedPage(4)
    for r in records:
        cat.append(r)
    fb.write_pages(db, pages + [cat.bytes()])


@pytest.mark.parametrize("record, reason", [
    (b'{"name":"x","dimension":8,"distance":"cosine","data_root_page":1,"metadata_root_page":2}',
     '"distance" is not one of Cosine, Euclidean, DotProduct'),
    (b'{"name":"x","dimension":8,"name":"y","data_root_page":1,"metadata_root_page":2}',
     'member "name" given twice'),
    (b'{"name":"x","dimension":8,"data_root_page":1,"metadata_root_page":2} x', "not JSON (extra data)"),
    (b'{"name":"x","dimension":true,"data_root_page":1,"metadata_root_page":2}',
     '"dimension" is not an integer from 0 to 2**64-1'),
    (b'{"name":"x","dimension":18446744073709551616,"data_root_page":1,"metadata_root_page":2}',
     '"dimension" is not an integer from 0 to 2**64-1'),
    (b'{"name":"x","dimension":8.0,"data_root_page":1,"metadata_root_page":2}',
     '"dimension" is not an integer from 0 to 2**64-1'),
    (b'{"dimension":8,"data_root_page":1,"metadata_root_page":2}', 'member "name" missing'),
    (b'{"name":"\\ud800","dimension":8,"data_root_page":1,"metadata_root_page":2}',
     "not JSON (invalid UTF-8)"),
    (b'{"name":"x","dimension":NaN,"data_root_page":1,"metadata_root_page":2}',
     "not JSON (NaN is not JSON)"),
    (b'["x"]', "array of 1 values, not 2 to 8"),
    (b'"x"', "neither an object nor an array"),
    (b"\xef\xbb\xbf[\"x\",8]", "not JSON (unexpected utf-8 bom (decode using utf-8-sig))"),
    (b"", "empty record"),
])
def test_catalog_records_that_do_not_decode(tmp_path, capsys, record, reason):
    db = tmp_path / "c.db"
    catalog_file(db, record)
    assert verify(capsys, db) == (1, [
        f"page 3 slot 0: catalog record does not decode: {reason}",
        "pages 1-2: warning: not used by any collection",
        "not sound: 1 error, 1 warning"])
    cli.main(["inspect", str(db)])
    assert f"  catalog slot 0 skipped: {reason}\ncollections: 0\n" in capsys.readouterr().out


@pytest.mark.parametrize("record", [
    b' {"dimension":8,"comment":{"a":1,"a":2},"name":"x","data_root_page":1,"metadata_root_page":2}\n',
    b'["x",8,"Euclidean","",1,2,0,"flat"]',
    b'["x",8,"Euclidean","",1,2]',
    b'{"name":"x","dimension":-0,"data_root_page":1,"metadata_root_page":2}',
])
def test_catalog_records_that_decode(tmp_path, capsys, record):
    db = tmp_path / "c.db"
    catalog_file(db, record)
    assert verify(capsys, db) == (0, ["ok: 1 collection, 0 vectors, 4 pages"])


def test_catalog_names_and_unallocated_pages(tmp_path, capsys):
    db = tmp_path / "c.db"
    catalog_file(db, fb.catalog_record("x", 2, data=1, metadata=2),
                 fb.catalog_record("h", 2, data=3, index_type="hnsw"),
                 fb.catalog_record("x", 2, data=5, metadata=0), data_pages=3)
    assert verify(capsys, db) == (0, [
        'page 7 slot 2: warning: collection "x" again: replaces the record of slot 0',
        'page 7 slot 1: warning: collection "h": metadata_root_page 0: a new page is allocated at every open',
        'page 7 slot 1: warning: collection "h": hnsw_edge_page 0: a new page is allocated at every open',
        'page 7 slot 2: warning: collection "x": metadata_root_page 0: a new page is allocated at every open',
        "pages 4, 6: warning: not used by any collection",
        "ok: 2 collections, 0 vectors, 8 pages, 5 warnings"])


def test_metadata_records(tmp_path, capsys):
    db = tmp_path / "m.db"
    fb.one_collection_file(db)
    raw = bytearray(db.read_bytes())
    meta = fb.SlottedPage(3)
    meta.append(fb.metadata_record("a", b'{"k":[1,2]}')).append(fb.marker("a"))
    meta.append(fb.metadata_record("b", b'{"k":')).append(fb.metadata_record("c", b' "text" '))
    raw[2 * 4096:3 * 4096] = meta.bytes()
    db.write_bytes(bytes(raw))
    assert verify(capsys, db) == (1, ['page 2 slot 2: metadata of "b" is not one JSON value',
                                      "not sound: 1 error, 0 warnings"])
    cli.main(["inspect", str(db)])
    # the marker removes the document of "a"; "b" does not parse; "c" does
    assert "    metadata page 2: 44 of 3056 bytes, 4 of 256 slots; 1 document\n" in capsys.readouterr().out


SOUND = [fb.edge_header(1, 1, 3), fb.edge_node(1, 1, [[2, 3], [3]]), fb.edge_node(2, 0, [[1, 3]]),
         fb.edge_node(3, 1, [[1, 2], [1]])]


def test_sound_edge_snapshot(tmp_path, capsys):
    db = tmp_path / "h.db"
    fb.hnsw_collection_file(db, SOUND)
    assert verify(capsys, db) == (0, ["ok: 1 collection, 3 vectors, 5 pages"])
    cli.main(["inspect", str(db)])
    assert capsys.readouterr().out.endswith(
        '  "h": Euclidean, dimension 2, hnsw, 3 vectors\n'
        "    data page 1: 78 of 3056 bytes, 3 of 256 slots; room for 114 more vectors (2-byte ids)\n"
        "    metadata page 2: 0 of 3056 bytes, 0 of 256 slots; 0 documents\n"
        "    edges page 3: 168 of 3056 bytes, 4 of 256 slots; snapshot of 3 nodes, entry point 1, "
        "max_level 1\n")


def test_snapshot_links_to_deleted_vectors_are_warnings(tmp_path, capsys):
    db = tmp_path / "h.db"
    # node 3 was deleted after the snapshot, vector 4 inserted without one, 9 is long gone
    fb.hnsw_collection_file(db, [SOUND[0], fb.edge_node(1, 1, [[2, 3, 9], [3]])] + SOUND[2:],
              vectors=((1, [1, 0]), (2, [0, 1]), (4, [2, 2])))
    assert verify(capsys, db) == (0, [
        "page 3: warning: 1 neighbour link to ids without a node",
        "page 3: warning: 1 snapshot node without a live vector (deleted since)",
        "page 3: warning: 1 live vector missing from the snapshot",
        "ok: 1 collection, 3 vectors, 5 pages, 3 warnings"])


@pytest.mark.parametrize("records, message", [
    ([fb.edge_header(1, 1, 4)] + SOUND[1:], "page 3 slot 0: header counts 4 nodes, the page holds 3 node records"),
    ([fb.edge_header(1, 13, 3)] + SOUND[1:], "page 3 slot 0: max_level 13 above 12"),
    ([fb.edge_header(7, 1, 3)] + SOUND[1:], "page 3 slot 0: entry point 7 is not a node of the snapshot"),
    ([fb.edge_header(0, 1, 3)] + SOUND[1:], "page 3 slot 0: no entry point for 3 nodes"),
    (SOUND[:3] + [fb.edge_node(2, 0, [[1]])], "page 3 slot 3: node 2 is recorded twice or is not an id"),
    (SOUND[:3] + [fb.edge_node(3, 2, [[1], [], [2]])], "page 3 slot 3: node 3 has level 2, above max_level 1"),
    (SOUND[:3] + [fb.edge_node(3, 1, [[1, 2], [1]])[:-4]],
     "page 3 slot 3: node 3: layer 1 list runs past the record end"),
    (SOUND[:3] + [fb.edge_node(3, 1, [[1, 2], [1]]) + bytes(3)],
     "page 3 slot 3: node 3: 3 bytes after its last neighbour list"),
    (SOUND[:3] + [SOUND[3][:12] + b"\x03\0\0\0" + SOUND[3][16:]],
     "page 3 slot 3: node 3 has 3 neighbour lists for level 1"),
    (SOUND[:3] + [fb.edge_node(3, 1, [[1, 1], []])],
     "page 3 slot 3: node 3: layer 0 list repeats an id or names the node itself"),
    (SOUND[:3] + [fb.edge_node(3, 0, [[3]])],
     "page 3 slot 3: node 3: layer 0 list repeats an id or names the node itself"),
    (SOUND[:3] + [fb.edge_node(3, 0, [list(range(10, 43))])],
     "page 3 slot 3: node 3: layer 0 list of 33 ids (1 to 32 allowed)"),
    (SOUND[:3] + [fb.edge_node(3, 99, [[1]] * 100)], "page 3 slot 3: node 3 has level 99, above 12"),
    ([b"\x01" * 15] + SOUND[1:], "page 3 slot 0: edge header is 15 bytes, not 16"),
])
def test_corrupt_edge_snapshots(tmp_path, capsys, records, message):
    db = tmp_path / "h.db"
    fb.hnsw_collection_file(db, records)
    status, lines = verify(capsys, db)
    assert (status, lines[0]) == (1, message)
    assert lines[-1].startswith("not sound: 1 error")
