#include "support/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vorlet::v2::test {
namespace {

void write_all(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

std::string read_all(int fd) {
  std::string text;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

bool ChildChecks::check(bool ok, const char* what, int line) {
  if (!ok) report_ += "line " + std::to_string(line) + ": " + what + (context.empty() ? "" : " [" + context + "]") + "\n";
  return ok;
}

std::string run_in_child(const std::function<std::string()>& body, uint32_t timeout_ms) {
  int report_pipe[2];
  if (::pipe(report_pipe) != 0) return "no pipe for the child's report";
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(report_pipe[0]);
    ::close(report_pipe[1]);
    return "fork failed";
  }
  if (pid == 0) {
    ::close(report_pipe[0]);
    std::string report;
    try {
      report = body();
    } catch (...) {
      report = "the child's body threw";
    }
    write_all(report_pipe[1], report);
    ::close(report_pipe[1]);
    // No exit handlers: they belong to the parent's test run.
    ::_exit(report.empty() ? 0 : 1);
  }
  ::close(report_pipe[1]);

  int status = 0;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ended) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      ended = r == pid;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    (void)::waitpid(pid, &status, 0);
    ::close(report_pipe[0]);
    return "the child did not end within " + std::to_string(timeout_ms) + " ms";
  }
  std::string report = read_all(report_pipe[0]);
  ::close(report_pipe[0]);
  if (WIFSIGNALED(status)) report += "the child died of signal " + std::to_string(WTERMSIG(status)) + "\n";
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0 && report.empty()) {
    report = "the child exited with status " + std::to_string(WEXITSTATUS(status)) + "\n";
  }
  return report;
}

}  // namespace vorlet::v2::test
