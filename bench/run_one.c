/* Runs one program and reports its wall time, exit status and peak RSS.
 *
 *   ktrp-bench-run REPORT PROGRAM ARG...
 *
 * The program gets this process's standard streams and environment. REPORT
 * receives "STATUS MAXRSS_KB SECONDS". The peak RSS the kernel gives for a
 * child starts from the memory of the process it was started from, so the
 * benchmark, which holds its instances in memory, starts each run through
 * this small program. */
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: ktrp-bench-run REPORT PROGRAM ARG...\n");
    return 2;
  }
  const double start = now();
  pid_t pid;
  int e = posix_spawn(&pid, argv[2], NULL, NULL, argv + 2, environ);
  if (e != 0) {
    fprintf(stderr, "ktrp-bench-run: %s: %s\n", argv[2], strerror(e));
    return 2;
  }
  int ws = 0;
  struct rusage ru;
  memset(&ru, 0, sizeof ru);
  while (wait4(pid, &ws, 0, &ru) < 0) {
    if (errno != EINTR) return 2;
  }
  const double seconds = now() - start;
  const int status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  FILE* report = fopen(argv[1], "w");
  if (report == NULL) return 2;
  fprintf(report, "%d %ld %.9f\n", status, ru.ru_maxrss, seconds);
  return fclose(report) == 0 ? 0 : 2;
}
