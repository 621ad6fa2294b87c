// Captures what the code under test writes to standard output (its console
// lines) for the lifetime of the object, or until text() is called once.
//
//   ConsoleCapture console;
//   ...;
//   EXPECT_THAT(console.text(), HasSubstr("didPing"));
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tgw::test {

class ConsoleCapture {
  public:
    ConsoleCapture() { testing::internal::CaptureStdout(); }
    ~ConsoleCapture() {
        if (!m_taken) testing::internal::GetCapturedStdout();
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Ends the capture and returns everything written since it began.
    std::string text() {
        if (m_taken) return m_text;
        m_taken = true;
        m_text += testing::internal::GetCapturedStdout();
        return m_text;
    }
    // Everything written since it began; the capture goes on.
    std::string peek() {
        if (m_taken) return m_text;
        m_text += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return m_text;
    }

  private:
    bool m_taken = false;
    std::string m_text;
};

}  // namespace tgw::test
