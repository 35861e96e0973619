#include "export/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "export/encoder.h"

namespace mdspeak::exporting {
namespace {

std::string directory_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

std::string cannot_write(std::string_view path, int error_number) {
  return "cannot write " + std::string(path) + ": " + write_failure_text(error_number);
}

}  // namespace

std::string target_problem(std::string_view path) {
  if (path.empty() || path.front() != '/') {
    return "the path '" + std::string(path) + "' is not absolute";
  }
  if (path.back() == '/') return "the path " + std::string(path) + " names no file";
  struct stat st;
  if (stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return std::string(path) + " is a directory";
  }
  const std::string directory = directory_of(path);
  if (stat(directory.c_str(), &st) != 0) {
    return "the directory " + directory + " does not exist";
  }
  if (!S_ISDIR(st.st_mode)) return directory + " is not a directory";
  return {};
}

Result<OutputFile> OutputFile::create(std::string path) {
  if (std::string problem = target_problem(path); !problem.empty()) return fail(Error(problem));
  const std::string directory = directory_of(path);
  const std::string name = path.substr(path.rfind('/') + 1);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    std::string temporary =
        (directory == "/" ? "" : directory) + "/." + name + "." + suffix + ".part";
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return OutputFile(std::move(path), std::move(temporary), fd);
    if (errno != EEXIST) return fail(Error(cannot_write(path, errno)));
  }
  return fail(Error(cannot_write(path, EEXIST)));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)) {
  other.temporary_.clear();
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

Result<void> OutputFile::commit() {
  if (fsync(fd_) != 0) return fail(Error(cannot_write(path_, errno)));
  const int closed = ::close(std::exchange(fd_, -1));
  if (closed != 0) return fail(Error(cannot_write(path_, errno)));
  // Checked again at the end: a directory made under the name meanwhile is not replaced
  // (rename would refuse it anyway, but this says why).
  struct stat st;
  if (lstat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return fail(Error(path_ + " is a directory"));
  }
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
    return fail(Error(cannot_write(path_, errno)));
  }
  temporary_.clear();
  return {};
}

Result<int> anonymous_file_beside(std::string_view path) {
  const std::string directory = directory_of(path);
  int fd = ::open(directory.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without O_TMPFILE: a named file, unlinked at once.
    std::string name = directory + "/.mdspeak-spool-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) return fail(Error(cannot_write(path, errno)));
  return fd;
}

}  // namespace mdspeak::exporting
