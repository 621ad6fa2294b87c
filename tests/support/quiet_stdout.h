// Quiets the agent's console lines (standard output goes to /dev/null) while in scope.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace tgw::test {

class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int m_saved;
};

}  // namespace tgw::test
