// Errors of process execution, each with a human-readable description.
#pragma once

#include <stdexcept>
#include <string>

namespace tgw::process {

class SlarderError : public std::runtime_error {
  public:
    enum class Kind {
        ScriptNotFound,  // the resource is not in the bundle
        LaunchFailed,    // the resource exists but could not be started
    };
    SlarderError(Kind kind, const std::string& description)
        : std::runtime_error(description), m_kind(kind) {}
    Kind kind() const { return m_kind; }
    std::string description() const { return what(); }

  private:
    Kind m_kind;
};

// The privileged start could not be made (no elevation program, refused spawn).
class SlarderAuthorError : public std::runtime_error {
  public:
    enum class Kind { OSError };
    explicit SlarderAuthorError(const std::string& description) : std::runtime_error(description) {}
    Kind kind() const { return Kind::OSError; }
    std::string description() const { return what(); }
};

}  // namespace tgw::process
