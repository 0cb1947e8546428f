#include "support/RuntimeDir.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace testsupport {

PrivateRuntimeDir::PrivateRuntimeDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "portula-run-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return;
    ::chmod(pattern.c_str(), 0700);
    m_path = pattern;
    ::setenv("XDG_RUNTIME_DIR", m_path.c_str(), 1);
}

PrivateRuntimeDir::~PrivateRuntimeDir() {
    if (m_path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace testsupport
