// Runs a command and prints its peak resident set size in KiB. A small parent of its own, so
// that the figure is the command's and not the caller's (the kernel carries the high-water mark
// of the address space a process had before exec).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zqv_peak_rss COMMAND [ARGS...]\n");
    return 2;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 1;
  std::printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
