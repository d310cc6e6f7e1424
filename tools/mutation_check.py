#!/usr/bin/env python3
"""Mutation check: does the fast suite catch real one-line faults?

Each fault replaces one exact text in one file of a scratch copy of the tree
(never the real tree: build/mutants), rebuilds that copy incrementally (one persistent build
directory, ccache when present), runs the fast suite (ctest of the release
build, then the quick pytest subset) until the first failure, and puts the
file back.  A fault is killed when a test fails or times out, survives when
everything passes, is n/a when its text is no longer in the tree (the code
moved on: update the fault), and no-build when the faulty tree does not
compile.  The scratch build uses the CI flags (-Werror included) so that it
shares ccache entries with every other build of the tree.  Run it with the
interpreter that has pytest (/usr/bin/python3).

  python3 tools/mutation_check.py                 # every fault
  python3 tools/mutation_check.py -k page wal     # faults whose name has a word
  python3 tools/mutation_check.py --record a.json # keep the outcome
  python3 tools/mutation_check.py --against a.json  # fail if a fault killed
                                                    # there survives now

The quick pytest subset leaves out the kill -9 tests (tests/python/
test_crash.py, test_kill_points.py): they take minutes and the faults here
are caught, if at all, by cheaper tests.
"""
import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
SLOW_PYTESTS = ("test_crash.py", "test_kill_points.py")

# (name, file, exact old text, new text). One behaviour each; the old text
# must occur exactly once in the file.
FAULTS = [
    # storage
    ('page-free-offset-field', 'storage/page.cc',
     'h.free_offset = get_u16(p + 5);',
     'h.free_offset = get_u16(p + 7);'),
    ('page-slot-bound', 'storage/page.cc',
     'if (slot >= h.slot_count) return std::nullopt;',
     'if (slot > h.slot_count) return std::nullopt;'),
    ('page-exactly-full', 'storage/page.cc',
     'return length <= page.size() - free;',
     'return length < page.size() - free;'),
    ('page-slot-count-kept', 'storage/page.cc',
     'if (!explicit_slot) ++h.slot_count;',
     ''),
    ('header-next-page-offset', 'storage/header_format.cc',
     'h.next_page_id = get_u64(p + 24);',
     'h.next_page_id = get_u64(p + 32);'),
    ('wal-second-checksum-written', 'storage/wal_format.cc',
     'put_u32(h.data() + 24, c2);',
     'put_u32(h.data() + 24, c1);'),
    ('wal-second-checksum-unchecked', 'storage/wal.cc',
     'if (c1 != get_u32(fh + 20) || c2 != get_u32(fh + 24)) return {};',
     'if (c1 != get_u32(fh + 20)) return {};'),
    ('wal-uncommitted-applied', 'storage/wal_format.cc',
     'if (f.frame_tag & kFrameTagCommit) whole = i + 1;',
     'whole = i + 1;'),
    ('wal-wild-page-applied', 'storage/wal_format.cc',
     'if (f.page_id > page_limit) break;',
     'if (f.page_id > page_limit && false) break;'),
    ('wal-every-frame-commits', 'storage/wal_writer.cc',
     '(call << 1) | (last ? kFrameTagCommit : 0);',
     '(call << 1) | (last || true ? kFrameTagCommit : 0);'),
    ('wal-open-keeps-torn-call', 'storage/wal.cc',
     'if ((*frames)[i].frame_tag & kFrameTagCommit) kept = i + 1;',
     'kept = i + 1;'),
    ('replay-no-new-pages', 'storage/checkpoint.cc',
     'pages_in_file(*size, page_size_) + frames.size();',
     'pages_in_file(*size, page_size_);'),
    ('cache-rollback-skipped', 'storage/page_cache.cc',
     'std::copy(e.before.begin(), e.before.end(), e.page->bytes().begin());',
     ''),
    ('cache-evicts-dirty', 'storage/page_cache_impl.h',
     'if (it->second->dirty()) continue;',
     ''),
    ('cache-next-page-id', 'storage/page_cache.cc',
     'header->next_page_id = id + 1;',
     'header->next_page_id = id;'),
    ('posix-short-read-accepted', 'storage/posix_file.cc',
     'if (n == 0) return std::unexpected(StorageError::io_unexpected_eof());',
     'if (n == 0) break;'),
    ('stream-read-offset-in-page', 'storage/stream.cc',
     'std::copy_n(bytes.begin() + in_page, n, out.begin() + done);',
     'std::copy_n(bytes.begin(), n, out.begin() + done);'),
    ('stream-run-not-contiguous', 'storage/stream.cc',
     'data_[first + i + run] == data_[first + i] + run) ++run;',
     'true) ++run;'),
    ('stream-page-count-unchecked', 'storage/stream.cc',
     'if (s.data_.size() != expected_pages) {',
     'if (s.data_.size() > expected_pages) {'),
    ('v2pager-page-used-twice', 'storage/v2_pager.cc',
     'if (marked_[id]) {',
     'if (false) {'),
    ('v2pager-page-past-end', 'storage/v2_pager.cc',
     'if (id == 0 || id >= page_count_) {',
     'if (id == 0 || id > page_count_) {'),
    ('v2pager-commit-keeps-released', 'storage/v2_pager.cc',
     '  for (PageId id : released_) free_.insert(id);\n  taken_.clear();',
     '  taken_.clear();'),
    # index
    ('hnsw-diversity-tie-rejects', 'index/hnsw_insert.cc',
     'rejected = d[i] < c.distance;',
     'rejected = d[i] <= c.distance;'),
    ('order-zeros-differ', 'index/score_order.h',
     'if (f == 0.0f) return 0x80000000u;',
     ''),
    ('flat-tie-reversed', 'index/flat_index.cc',
     'return key != o.key ? key < o.key : position < o.position;',
     'return key != o.key ? key < o.key : position > o.position;'),
    ('flat-tie-admitted', 'index/flat_index.cc',
     'if (key >= threshold) continue;',
     'if (key > threshold) continue;'),
    ('distance-dot-sign', 'index/distance_ref.cc',
     '  return -s;\n}',
     '  return s;\n}'),
    ('hnsw-heap-direction', 'index/hnsw_heap.h',
     'return kMaxHeap ? ka < kb : ka > kb;',
     'return kMaxHeap ? ka > kb : ka < kb;'),
    ('hnsw-search-stops-early', 'index/hnsw_search.cc',
     'results.size() >= ef && c.distance > results.top().distance',
     'results.size() >= 1 && c.distance > results.top().distance'),
    # engine
    ('snapshot-duplicate-link-accepted', 'index/hnsw_snapshot.cc',
     'in_list[t / 64] |= std::uint64_t{1} << (t % 64);',
     ''),
    ('stream-rewrite-unlogged', 'storage/stream.cc',
     'pager.log_pages(std::span<const PageId>(data_).first(own), bytes.first(logged));',
     'if (auto r = write_straight(pager.cache(), std::span<const PageId>(data_).first(own), bytes.first(logged)); !r) return r;'),
    ('records-component-count', 'engine/records.cc',
     'put_u32(p + kInternalIdSize, static_cast<std::uint32_t>(components.size()));',
     'put_u32(p + kInternalIdSize, static_cast<std::uint32_t>(components.size() + 1));'),
    ('engine-internal-id-zero', 'engine/collection_write.cc',
     'if (id != 0 && !externals_.contains(id)',
     'if (!externals_.contains(id)'),
    ('engine-failed-commit-memory-kept', 'engine/collection_write.cc',
     '      forget(id);\n    } else if',
     '    } else if'),
    ('engine-commit-no-rollback', 'engine/call_unit.cc',
     '    if (auto r = wal_.append_frames(pages, barrier); !r) {\n      rollback();',
     '    if (auto r = wal_.append_frames(pages, barrier); !r) {\n      cache_.end_call();'),
    ('engine-insert-lock-dropped', 'engine/operations.cc',
     '  std::lock_guard write(impl_->write_mutex);\n  EngineResult<std::string> result;',
     '  EngineResult<std::string> result;'),
    ('catalog-array-too-long', 'engine/catalog.cc',
     'if (n < 2 || n > kFieldCount) return std::nullopt;',
     'if (n < 2) return std::nullopt;'),
    ('v2-metadata-from-id-bytes', 'engine/v2_collection_read.cc',
     'heap_.read(cache, r.heap_offset + r.id_length, bytes)',
     'heap_.read(cache, r.heap_offset, bytes)'),
    ('v2-heap-overlap-adjacent', 'engine/v2_collection_load.cc',
     'used[i - 1].first + used[i - 1].second > used[i].first',
     'used[i - 1].first + used[i - 1].second >= used[i].first'),
    # binding
    ('binding-extra-positional', 'binding/args.cc',
     'if (static_cast<std::size_t>(nargs) > sig.count) {',
     'if (static_cast<std::size_t>(nargs) > sig.count + 1) {'),
    ('binding-halfway-rounding', 'binding/args.cc',
     'magnitude >= kHalfway ?',
     'magnitude > kHalfway ?'),
    ('binding-str-as-vector', 'binding/args.cc',
     '  if (PyUnicode_Check(obj)) {\n    // A str passes',
     '  if (false) {\n    // A str passes'),
    ('binding-convert-text', 'binding/errors.cc',
     "object cannot be converted to '%s'",
     "object can't be converted to '%s'"),
    # engine replay and the Python tools' view of the same pages
    ('replay-taken-id-revived', 'engine/collection.cc',
     '        hide(std::string(h->second));',
     ''),
    ('tools-taken-id-revived', 'python/orvane/_sources.py',
     '            hide(other)',
     '            pass'),
    ('tools-marker-ignored', 'python/orvane/_replay.py',
     '            out.apply_marker(r.external_id)',
     '            pass'),
    ('verify-page-owned-twice', 'python/orvane/_verify.py',
     '            if page_id in self.owner:',
     '            if page_id in self.owner and False:'),
    ('verify-ragged-length', 'python/orvane/_verify.py',
     '    if db.effective_size % PAGE_SIZE:\n        out.error("header", f"file length',
     '    if False:\n        out.error("header", f"file length'),
]


def run(cmd, cwd, timeout, env=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout or ""
        return "timeout", out if isinstance(out, str) else out.decode(errors="replace")


def sync_tree(src, dst):
    """Copies the tracked and untracked-but-not-ignored files; unchanged files
    keep their times so the scratch build stays incremental."""
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=src,
                           stdout=subprocess.PIPE, check=True).stdout.split(b"\0")
    wanted = set()
    for raw in files:
        if not raw:
            continue
        rel = raw.decode()
        wanted.add(rel)
        s, d = src / rel, dst / rel
        if not s.is_file():
            continue
        if d.is_file() and d.read_bytes() == s.read_bytes():
            continue
        d.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(s, d)  # a fresh mtime: make rebuilds what changed
    for d in list(dst.rglob("*")):
        rel = d.relative_to(dst).as_posix()
        if d.is_file() and rel not in wanted and not rel.startswith("build/"):
            d.unlink()


def configure(src, build):
    cmd = ["cmake", "-S", str(src), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
           "-DORVANE_WERROR=ON", f"-DPython3_EXECUTABLE={sys.executable}"]
    if shutil.which("ccache"):
        cmd.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    rc, out = run(cmd, src, 600)
    if rc != 0:
        sys.exit("configure failed:\n" + out)


def build(src, build_dir, jobs):
    return run(["cmake", "--build", str(build_dir), f"-j{jobs}"], src, 1800)


LAYERS = ["storage", "index", "engine", "binding"]


def fast_suite(src, build_dir, jobs, layer):
    """Returns None when every test passes, else a short note of what failed.

    A fault in one layer cannot change the outcome of the tests of a lower
    layer (they do not link it), so only the tests at and above it run: the
    faulty layer's own first, where most faults die quickly."""
    above = LAYERS[LAYERS.index(layer):] if layer in LAYERS else LAYERS
    for name in above:
        if name == "binding":
            break
        # A layer's gtest executable registers its tests in the layer's folder.
        cmd = ["ctest", "--test-dir", str(build_dir / name), f"-j{jobs}", "--stop-on-failure",
               "--timeout", "120"]
        rc, out = run(cmd, src, 1800)
        if rc != 0:
            failed = [l.strip() for l in out.splitlines() if "***" in l or "(Failed)" in l]
            return f"ctest {name}: " + (failed[0] if failed else str(rc))
    env = dict(os.environ, ORVANE_BUILD_DIR=str(build_dir),
               PYTHONPATH=str(build_dir / "python"))
    cmd = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests/python"]
    cmd += [f"--ignore=tests/python/{name}" for name in SLOW_PYTESTS]
    rc, out = run(cmd, src, 1800, env)
    if rc != 0:
        failed = [l for l in out.splitlines() if l.startswith("FAILED") or "Timeout" in l]
        return "pytest: " + (failed[0][:120] if failed else str(rc))
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-k", nargs="*", default=[], help="only faults whose name has one of these")
    # Inside build/ (ignored by git) and laid out like the tree itself, so
    # that ccache with a CCACHE_BASEDIR above the tree hits for unchanged files.
    ap.add_argument("--scratch", default=os.environ.get("ORVANE_MUTANT_DIR",
                                                        str(ROOT / "build" / "mutants")))
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--record", help="write the outcome as JSON")
    ap.add_argument("--against", help="fail when a fault killed in this record survives now")
    ap.add_argument("--list", action="store_true", help="list the faults and whether they apply")
    args = ap.parse_args()

    faults = [f for f in FAULTS if not args.k or any(w in f[0] for w in args.k)]
    if args.list:
        for name, rel, old, _ in faults:
            n = (ROOT / rel).read_text().count(old)
            print(f"{name:40} {rel:28} {'ok' if n == 1 else f'{n} matches'}")
        return 0
    src = pathlib.Path(args.scratch)
    build_dir = src / "build" / "ci"
    src.mkdir(parents=True, exist_ok=True)
    sync_tree(ROOT, src)
    configure(src, build_dir)
    rc, out = build(src, build_dir, args.jobs)
    if rc != 0:
        sys.exit("the unchanged tree does not build:\n" + out[-3000:])
    note = fast_suite(src, build_dir, args.jobs, "storage")  # every test
    if note:
        sys.exit("the unchanged tree fails its own tests: " + note)

    results = {}
    for name, rel, old, new in faults:
        path = src / rel
        original = path.read_text()
        start = time.monotonic()
        if original.count(old) != 1:
            outcome, note = "n/a", f"text found {original.count(old)} times"
        else:
            path.write_text(original.replace(old, new))
            try:
                rc, out = build(src, build_dir, args.jobs)
                if rc != 0:
                    outcome, note = "no-build", out.strip().splitlines()[-1][:120] if out else ""
                else:
                    note = fast_suite(src, build_dir, args.jobs, rel.split("/")[0])
                    outcome = "killed" if note else "SURVIVED"
                    note = note or ""
            finally:
                path.write_text(original)  # fresh mtime: the next build restores it
        results[name] = outcome
        print(f"{outcome:9} {name:36} {time.monotonic() - start:5.0f}s  {note}", flush=True)
    build(src, build_dir, args.jobs)

    counts = {o: sum(1 for v in results.values() if v == o) for o in sorted(set(results.values()))}
    print("summary:", ", ".join(f"{n} {o}" for o, n in counts.items()))
    survivors = [n for n, o in results.items() if o == "SURVIVED"]
    if survivors:
        print("survivors:", " ".join(survivors))
    if args.record:
        pathlib.Path(args.record).write_text(json.dumps(results, indent=1, sort_keys=True) + "\n")
    if args.against:
        before = json.loads(pathlib.Path(args.against).read_text())
        lost = [n for n, o in before.items() if o == "killed" and results.get(n) == "SURVIVED"]
        if lost:
            print("killed before, surviving now:", " ".join(lost))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
