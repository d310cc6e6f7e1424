// Every system call of the storage engine lives in this file. Positioned
// transfers loop over partial results and repeat calls interrupted by a
// signal; end of file and a write that accepts nothing get their own errors.
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

#include "storage/file.h"

namespace orvane::storage {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// True when [offset, offset + len) is addressable through off_t.
bool range_fits(std::uint64_t offset, std::uint64_t len) {
  return offset <= kMaxOffset && len <= kMaxOffset - offset;
}

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::ReadWrite:
      return O_RDWR;
    case OpenMode::ReadWriteCreate:
      return O_RDWR | O_CREAT;
    case OpenMode::WriteOnly:
      return O_WRONLY;
    case OpenMode::WriteOnlyCreateTruncate:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case OpenMode::ReadOnly:
      return O_RDONLY;
  }
  return O_RDONLY;
}

}  // namespace

Result<std::unique_ptr<PosixFile>> PosixFile::open(const std::string& path, OpenMode mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(StorageError::io_errno(errno));
  return std::unique_ptr<PosixFile>(new PosixFile(fd));
}

PosixFile::~PosixFile() {
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (fd_ >= 0) ::close(fd_);
}

Result<void> PosixFile::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) {
  // Bytes past the largest file offset cannot exist: that is end of file.
  if (!range_fits(offset, buf.size())) return std::unexpected(StorageError::io_unexpected_eof());
  std::size_t done = 0;
  while (done < buf.size()) {
    const ssize_t n =
        ::pread(fd_, buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(StorageError::io_errno(errno));
    }
    if (n == 0) return std::unexpected(StorageError::io_unexpected_eof());
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> PosixFile::write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) {
  if (!range_fits(offset, buf.size())) return std::unexpected(StorageError::io_errno(EFBIG));
  std::size_t done = 0;
  while (done < buf.size()) {
    const ssize_t n =
        ::pwrite(fd_, buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(StorageError::io_errno(errno));
    }
    if (n == 0) return std::unexpected(StorageError::io_write_zero());
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> PosixFile::write_all_at_v(std::uint64_t offset,
                                       std::span<const std::span<const std::uint8_t>> bufs) {
  std::uint64_t total = 0;
  std::vector<iovec> iov;
  iov.reserve(bufs.size());
  for (const auto& b : bufs) {
    if (b.empty()) continue;
    total += b.size();
    iov.push_back({const_cast<std::uint8_t*>(b.data()), b.size()});
  }
  if (!range_fits(offset, total)) return std::unexpected(StorageError::io_errno(EFBIG));
  std::size_t first = 0;  // first iovec not yet fully written
  while (first < iov.size()) {
    const int count = static_cast<int>(std::min<std::size_t>(iov.size() - first, IOV_MAX));
    const ssize_t n = ::pwritev(fd_, iov.data() + first, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(StorageError::io_errno(errno));
    }
    if (n == 0) return std::unexpected(StorageError::io_write_zero());
    offset += static_cast<std::uint64_t>(n);
    // Skip the buffers the write covered and trim the one it ended inside.
    auto left = static_cast<std::size_t>(n);
    while (first < iov.size() && left >= iov[first].iov_len) left -= iov[first++].iov_len;
    if (left > 0) {
      iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return {};
}

Result<std::uint64_t> PosixFile::size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(StorageError::io_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void> PosixFile::truncate(std::uint64_t length) {
  if (length > kMaxOffset) return std::unexpected(StorageError::io_errno(EFBIG));
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::unexpected(StorageError::io_errno(errno));
  return {};
}

Result<void> PosixFile::sync() {
  int rc;
  do {
    rc = ::fdatasync(fd_);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::unexpected(StorageError::io_errno(errno));
  return {};
}

Result<std::pair<std::uint64_t, std::uint64_t>> PosixFile::identity() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(StorageError::io_errno(errno));
  return std::pair<std::uint64_t, std::uint64_t>{st.st_dev, st.st_ino};
}

void PosixFile::start_writeback(std::uint64_t offset, std::uint64_t length) {
  if (offset > kMaxOffset || length > kMaxOffset - offset) return;
  (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
}

std::optional<bool> PosixFile::linked() {
  // Only the link count: a query that includes the file's times makes the
  // kernel stamp the next write with a fine-grained time, so every
  // synchronisation of the log would write its inode too.
  struct statx st;
  if (::statx(fd_, "", AT_EMPTY_PATH, STATX_NLINK, &st) != 0 || !(st.stx_mask & STATX_NLINK)) {
    return std::nullopt;
  }
  return st.stx_nlink != 0;
}

Result<bool> PosixFile::try_lock_exclusive() {
  int rc;
  do {
    rc = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  return std::unexpected(StorageError::io_errno(errno));
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool path_is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<void> remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return std::unexpected(StorageError::io_errno(errno));
  if (FileHook* hook = file_hook()) hook->removed(path);
  return {};
}

Result<void> sync_directory_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (FileHook* hook = file_hook()) {
    hook->directory_synced(path);
    return {};
  }
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(StorageError::io_errno(errno));
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  const int saved = errno;
  ::close(fd);
  // EINVAL: a file system whose directories cannot be synchronised.
  if (rc != 0 && saved != EINVAL) return std::unexpected(StorageError::io_errno(saved));
  return {};
}

Result<std::pair<std::uint64_t, std::uint64_t>> path_identity(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(StorageError::io_errno(errno));
  return std::pair<std::uint64_t, std::uint64_t>{st.st_dev, st.st_ino};
}

namespace {

Result<std::string> real_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::unexpected(StorageError::io_errno(errno));
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace

Result<std::string> resolve_path(const std::string& path) {
  if (path.empty()) return std::unexpected(StorageError::io_errno(ENOENT));
  auto whole = real_path(path);
  if (whole || whole.error().os_errno() != ENOENT) return whole;
  // Not there yet: the directory must exist; the name is kept as given.
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (name.empty() || name == "." || name == "..") return whole;
  auto parent = real_path(dir);
  if (!parent) return parent;
  return *parent == "/" ? "/" + name : *parent + "/" + name;
}

std::int64_t process_id() { return ::getpid(); }

bool on_fork(void (*prepare)(), void (*in_parent)(), void (*in_child)()) {
  return ::pthread_atfork(prepare, in_parent, in_child) == 0;
}

void detach_descriptor(int fd) {
  // Only async-signal-safe calls: this runs in a child that another thread
  // of the parent may have left with locks held.
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  int rc;
  do {
    rc = ::dup3(null_fd, fd, O_CLOEXEC);
  } while (rc < 0 && errno == EINTR);
  ::close(null_fd);
}

std::uint64_t wall_clock_seconds() {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec);
}

}  // namespace orvane::storage
