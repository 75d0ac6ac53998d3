// Runs a check in a forked child: for code that must behave after fork(),
// such as a library that keeps a connection per process.
#ifndef KAVO_TEST_SUPPORT_IN_CHILD_H
#define KAVO_TEST_SUPPORT_IN_CHILD_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kavotest {

// Expects check() to return true in a child process; the child leaves with
// _exit, so nothing of the parent's state is torn down twice.
template <typename Check>
void expectInChild(Check check) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace kavotest

#endif
