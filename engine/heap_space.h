// HeapSpace: the free space of a collection's heap stream, kept in memory
// (rebuilt at load from the live records' extents). A record takes the
// smallest gap it fits (lowest offset among equals), else the space at the
// end of the stream.
//
// A call unit takes space with take() and frees it with release(); freed
// space becomes reusable at commit() (a rolled-back call keeps its records),
// and rollback() gives back what the unit took.
// Thread-safety: none; the collection's lock guards it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace orvane::engine {

class HeapSpace {
 public:
  // `end` is the heap stream's length; `used` the live extents (offset,
  // length), in any order, each inside [0, end) and disjoint.
  void reset(std::uint64_t end, std::vector<std::pair<std::uint64_t, std::uint64_t>> used);

  // Where a record of `length` bytes goes (0-byte records take no space).
  std::uint64_t take(std::uint64_t length);
  void release(std::uint64_t offset, std::uint64_t length);
  void commit();
  void rollback();

  // The stream length the records taken so far need.
  std::uint64_t end() const { return end_; }
  std::uint64_t free_bytes() const;

 private:
  void add_gap(std::uint64_t offset, std::uint64_t length);
  void remove_gap(std::uint64_t offset, std::uint64_t length);
  void insert_coalesced(std::uint64_t offset, std::uint64_t length);

  struct Taken {
    std::uint64_t gap_offset, gap_length;  // the gap it came from (length 0: the end)
    std::uint64_t old_end;
    std::uint64_t length;
    bool split;  // the rest of the gap stayed a gap
  };

  std::uint64_t end_ = 0;
  std::map<std::uint64_t, std::uint64_t> by_offset_;
  std::set<std::pair<std::uint64_t, std::uint64_t>> by_length_;  // (length, offset)
  std::vector<Taken> taken_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> released_;
};

}  // namespace orvane::engine
