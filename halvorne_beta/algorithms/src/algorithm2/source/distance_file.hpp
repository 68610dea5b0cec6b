// The scratch file that holds the point-by-labelled-position distance matrix
// for inputs too large to keep it in memory.

#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

#include "module.hpp"

namespace {

using namespace frame;

// A file of our own in the working directory: created exclusively under a
// fresh name, removed when the guard goes, whatever happened in between.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
  }

  bool create() {
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[96];
      std::snprintf(name, sizeof name, "kestrin-distances-%ld-%08x%08x.dat", static_cast<long>(::getpid()),
                    unsigned(entropy()), unsigned(entropy()));
      int fd = ::open(name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
      if (fd >= 0) {
        ::close(fd);
        name_ = name;
        return true;
      }
      if (errno != EEXIST) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, name);
        return false;
      }
    }
    return fail(PyExc_FileExistsError, "could not find an unused name for the distance matrix file");
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

}  // namespace
