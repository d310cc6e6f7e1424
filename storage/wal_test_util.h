// A log whose file fails on request, for tests. Test-only.
#pragma once

#include "storage/mem_file.h"
#include "storage/wal.h"

namespace orvane::storage {

// Puts a FaultyFile between the log and its file; returns it to steer failures.
inline FaultyFile* wrap_log_file(Wal& wal) {
  FaultyFile* faulty = nullptr;
  wal.wrap_file_for_testing([&](std::unique_ptr<File> f) {
    return std::unique_ptr<File>(faulty = new FaultyFile(std::move(f)));
  });
  return faulty;
}

}  // namespace orvane::storage
