#include "support/stderr_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/error.h"

namespace velmar::testing {

StderrCapture::StderrCapture() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw Error(std::string("pipe: ") + std::strerror(errno));
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  ::dup2(ends[1], STDERR_FILENO);
  ::close(ends[1]);
  readEnd_ = ends[0];
  reader_ = std::thread([this] { drain(); });
}

StderrCapture::~StderrCapture() {
  // Descriptor 2 held the pipe's last write end: putting stderr back ends the reader.
  ::dup2(saved_, STDERR_FILENO);
  reader_.join();
  ::close(readEnd_);
  const std::string collected = text();
  [[maybe_unused]] const ssize_t ignored =
      ::write(STDERR_FILENO, collected.data(), collected.size());
  ::close(saved_);
}

void StderrCapture::drain() {
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(readEnd_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    {
      std::lock_guard lock(mutex_);
      text_.append(buffer, static_cast<std::size_t>(count));
    }
    changed_.notify_all();
  }
}

std::optional<std::string> StderrCapture::waitForLine(std::string_view needle,
                                                      std::chrono::milliseconds timeout) {
  std::optional<std::string> found;
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t start = 0, end; (end = text_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string_view line(text_.data() + start, end - start);
      if (line.find(needle) != std::string_view::npos) {
        found.emplace(line);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::string StderrCapture::text() const {
  std::lock_guard lock(mutex_);
  return text_;
}

}  // namespace velmar::testing
