// The terminal: the password and yes/no questions asked there, and the progress bar.
#include <cstdio>

#include "Tool.h"

namespace {

double Now() { return MonotonicSeconds(); }

std::string StripLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Asks without echo; a ToolError when there is no terminal or no answer.
std::string AskHidden(const char* prompt) {
  std::string answer;
  switch (AskTerminal(prompt, /*echo=*/false, answer)) {
    case Asked::kAnswered:
      return answer;
    case Asked::kNoAnswer:
      throw ToolError(kExitError, "password: no answer on the terminal");
    case Asked::kNoTerminal:
      break;
  }
  throw ToolError(kExitError, "password: no terminal to ask on; use --password-file FILE (- for stdin)");
}

// The first line of the password file, without its line ending.
std::string FromPasswordFile(const std::string& path) {
  const std::string text = ReadFirstLine(path);
  const std::string password = StripLineEnd(text.substr(0, text.find('\n')));
  if (password.find('\0') != std::string::npos) Fail(path, "the password contains a zero byte");
  return password;
}

}  // namespace

std::string ObtainPassword(const std::string& passwordFile, bool confirm) {
  if (!passwordFile.empty()) return FromPasswordFile(passwordFile);
  if (!StdinIsTerminal())
    throw ToolError(kExitError, "password: no terminal to ask on; use --password-file FILE (- for stdin)");
  std::string password = AskHidden("Password: ");
  if (confirm && AskHidden("Repeat password: ") != password)
    throw ToolError(kExitError, "password: the two entries differ");
  return password;
}

bool AskYesNo(const std::string& question) {
  std::string line;
  if (AskTerminal(question + " [y/N] ", /*echo=*/true, line) != Asked::kAnswered) return false;
  return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
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


