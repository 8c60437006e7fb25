#include "platform/StallGuard.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace quorvan {

namespace {

// As much of `text` as the descriptor takes; failures are given up.
void WriteAll(int fd, const std::string& text) noexcept {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

StallGuard::StallGuard(MessageLoop& loop, std::chrono::milliseconds limit,
                       const std::string& program)
    : loop_(loop),
      limit_(limit),
      stallLine_(fmt::format("{}: the message loop has not turned for {} ms: a handler is "
                             "stuck; ending\n",
                             program, limit.count())),
      thread_([this] { watch(); }) {
  loop_.setHeartbeat(&heartbeat_);
}

StallGuard::~StallGuard() {
  loop_.setHeartbeat(nullptr);
  {
    const std::lock_guard lock(stopMutex_);
    stopping_ = true;
  }
  stop_.notify_one();
  thread_.join();
}

void StallGuard::publishTraceBack(const std::filesystem::path& file, std::string text) {
  // The directory is made here, on the loop's thread: the guard only opens the file.
  if (!text.empty() && file.parent_path() != madeDirectory_) {
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    madeDirectory_ = file.parent_path();
  }
  std::string name = file.string();
  const std::lock_guard lock(publishedMutex_);
  traceFile_.swap(name);
  traceText_.swap(text);
}

void StallGuard::watch() {
  const auto every =
      std::clamp(limit_ / 10, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
  std::unique_lock lock(stopMutex_);
  while (!stop_.wait_for(lock, every, [this] { return stopping_; })) {
    if (heartbeat_.busyFor() >= limit_) stalled();
  }
}

void StallGuard::stalled() {
  writeTraceBack();
  WriteAll(STDERR_FILENO, stallLine_);
  ::_exit(kStalledExitCode);
}

void StallGuard::writeTraceBack() noexcept {
  const std::unique_lock lock(publishedMutex_, std::try_to_lock);
  if (!lock.owns_lock() || traceText_.empty()) return;
  const int fd =
      ::open(traceFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return;
  WriteAll(fd, traceText_);
  ::close(fd);
}

}  // namespace quorvan
