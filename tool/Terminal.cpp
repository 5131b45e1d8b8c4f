// The terminal: the password prompt without echo, yes/no questions and the progress bar.
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Tool.h"

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string StripLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// One line from `file`, nullopt at the end of the input before any byte.
std::optional<std::string> ReadLine(FILE* file) {
  std::string line;
  int c;
  while ((c = std::fgetc(file)) != EOF) {
    line += char(c);
    if (c == '\n') break;
  }
  if (c == EOF && line.empty()) return std::nullopt;
  return line;
}

// Reads one line from the terminal with echo off, restoring the terminal afterwards.
std::string AskHidden(FILE* tty, const char* prompt) {
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  const int fd = fileno(tty);
  termios saved{};
  const bool haveTerm = tcgetattr(fd, &saved) == 0;
  if (haveTerm) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  const auto line = ReadLine(tty);
  if (haveTerm) tcsetattr(fd, TCSAFLUSH, &saved);
  if (!line) throw ToolError(kExitError, "password: no answer on the terminal");
  return StripLineEnd(*line);
}

// The first line of the password file, read with the system's calls so that an interrupted read
// is read again rather than taken for the end or an error.
std::string FromPasswordFile(const std::string& path) {
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
  const std::string password = StripLineEnd(text.substr(0, text.find('\n')));
  if (password.find('\0') != std::string::npos) Fail(path, "the password contains a zero byte");
  return password;
}

}  // namespace

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::string ObtainPassword(const std::string& passwordFile, bool confirm) {
  if (!passwordFile.empty()) return FromPasswordFile(passwordFile);
  FILE* tty = StdinIsTerminal() ? std::fopen("/dev/tty", "r+") : nullptr;
  if (!tty)
    throw ToolError(kExitError, "password: no terminal to ask on; use --password-file FILE (- for stdin)");
  try {
    std::string password = AskHidden(tty, "Password: ");
    if (confirm && AskHidden(tty, "Repeat password: ") != password) {
      throw ToolError(kExitError, "password: the two entries differ");
    }
    std::fclose(tty);
    return password;
  } catch (...) {
    std::fclose(tty);
    throw;
  }
}

bool AskYesNo(const std::string& question) {
  FILE* tty = std::fopen("/dev/tty", "r");
  if (!tty) return false;
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  const auto line = ReadLine(tty);
  std::fclose(tty);
  return line && !line->empty() && ((*line)[0] == 'y' || (*line)[0] == 'Y');
}

// ---- Progress ---------------------------------------------------------------------------------

Progress::Progress(const std::string& label, int64_t total, bool enabled)
    : label_(label), total_(total), enabled_(enabled), start_(Now()) {}

Progress::~Progress() {
  // An error ends the bar's line so that the error message starts on its own.
  if (enabled_) std::fputc('\n', stderr);
}

void Progress::Advance(int64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  const double now = Now();
  if (now - lastDraw_ >= 0.1) {
    lastDraw_ = now;
    Draw(false);
  }
}

void Progress::Finish() {
  if (!enabled_) return;
  Draw(true);
  std::fputc('\n', stderr);
  enabled_ = false;
}

void Progress::Draw(bool final) {
  const double fraction = total_ > 0 ? std::min(1.0, double(done_) / double(total_)) : 1.0;
  const double elapsed = Now() - start_;
  const double rate = elapsed > 0 ? double(done_) / elapsed : 0;
  constexpr int kWidth = 30;
  const int filled = int(fraction * kWidth);
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
  bar[kWidth] = 0;
  char eta[32] = "--:--";
  const double left = final ? elapsed : rate > 0 ? double(total_ - done_) / rate : -1;
  if (left >= 0) std::snprintf(eta, sizeof eta, "%d:%02d", int(left) / 60, int(left) % 60);
  std::fprintf(stderr, "\r%s [%s] %3d%%  %7.1f MiB/s  %s %s ", label_.c_str(), bar, int(fraction * 100),
               rate / (1 << 20), eta, final ? "total" : "left");
  std::fflush(stderr);
}

int32_t ProgressStream::Read(void* buffer, int32_t count) {
  const int32_t n = inner_.Read(buffer, count);
  // Batch the block-sized reads so the bar's clock is asked once per 64 KiB, not per block.
  pending_ += n > 0 ? n : 0;
  if (pending_ >= (64 << 10) || n < count) {
    progress_.Advance(pending_);
    pending_ = 0;
  }
  return n;
}


