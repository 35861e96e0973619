// A file written under a temporary name beside its target and renamed over it only when it is
// complete, so that a failure or a cancel never leaves a partial file under the final name.
//
// The temporary name is made with O_EXCL and O_NOFOLLOW (a symlink planted under it is never
// followed), the target must be an absolute path whose directory exists, and a directory is
// never replaced. Owned by one thread at a time.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace mdspeak::exporting {

// Why `path` cannot be a target: not absolute, no file name, a directory, a missing directory.
// Empty when it can be tried.
std::string target_problem(std::string_view path);

class OutputFile {
 public:
  // Creates the temporary file beside `path`; fails with a message that names the path and why.
  static Result<OutputFile> create(std::string path);
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  // Removes the temporary file unless it was committed.
  ~OutputFile();

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  const std::string& temporary_path() const { return temporary_; }

  // Flushes the data to the disk, closes the file and renames it to its final name.
  Result<void> commit();

 private:
  OutputFile(std::string path, std::string temporary, int fd)
      : path_(std::move(path)), temporary_(std::move(temporary)), fd_(fd) {}
  std::string path_;
  std::string temporary_;
  int fd_ = -1;
};

// An anonymous file in the directory of `path` (gone when closed), for data on its way to
// `path`; on the same file system, so that running out of room shows here first. -1 and the
// error's text when it cannot be made.
Result<int> anonymous_file_beside(std::string_view path);

}  // namespace mdspeak::exporting
