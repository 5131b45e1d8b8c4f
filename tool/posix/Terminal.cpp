// The terminal on POSIX: the controlling terminal (/dev/tty) with echo off through termios, the
// password file read with the system's calls, and the monotonic clock.
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tool/Tool.h"

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

double MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

Asked AskTerminal(const std::string& prompt, bool echo, std::string& answer) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) return Asked::kNoTerminal;
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  const int fd = fileno(tty);
  termios saved{};
  const bool quiet = !echo && tcgetattr(fd, &saved) == 0;
  if (quiet) {
    termios hidden = saved;
    hidden.c_lflag &= ~tcflag_t(ECHO);
    hidden.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &hidden);
  }
  answer.clear();
  int c;
  while ((c = std::fgetc(tty)) != EOF && c != '\n') answer += char(c);
  if (quiet) tcsetattr(fd, TCSAFLUSH, &saved);
  std::fclose(tty);
  if (c == EOF && answer.empty()) return Asked::kNoAnswer;
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return Asked::kAnswered;
}

std::string ReadFirstLine(const std::string& path) {
  const bool standardInput = path == "-";
  const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(path, "cannot open the password file: " + SystemText(errno));
  std::string text;
  char buffer[256];
  while (text.find('\n') == std::string::npos) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      if (!standardInput) close(fd);
      Fail(path, "cannot read the password file: " + SystemText(error));
    }
    if (n == 0) break;
    text.append(buffer, size_t(n));
  }
  if (!standardInput) close(fd);
  return text;
}
