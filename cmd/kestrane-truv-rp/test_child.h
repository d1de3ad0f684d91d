// For unit tests of code that ends the process: runs it in a child.
#ifndef KTRP_TEST_CHILD_H_
#define KTRP_TEST_CHILD_H_

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fsutil.h"

// What a piece of code that ends the process left behind.
struct Exit {
  int status = -1;
  std::string out, err;
};

// Runs fn in a child process with stdout and stderr captured. Everything
// tested here writes far less than a pipe holds, so reading after the child
// ends cannot block it.
inline Exit runChild(const std::function<void()>& fn) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    fn();
    _exit(99);  // fn was expected to end the process
  }
  close(out[1]);
  close(err[1]);
  Exit e;
  readAllFd(out[0], &e.out);
  readAllFd(err[0], &e.err);
  close(out[0]);
  close(err[0]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  e.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return e;
}


#endif  // KTRP_TEST_CHILD_H_
