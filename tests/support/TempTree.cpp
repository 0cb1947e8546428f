#include "support/TempTree.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace testsupport {

TempTree::TempTree() {
    std::string pattern = (fs::temp_directory_path() / "portula-tree-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp");
    // Open to the plain user that some cases run as, as a user's own folders are to them.
    ::chmod(pattern.c_str(), 0755);
    m_root = pattern;
}

TempTree::~TempTree() {
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

std::string TempTree::write(const std::string& relative, const std::string& text) const {
    const fs::path p = path(relative);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
}

std::string TempTree::mkdir(const std::string& relative) const {
    fs::create_directories(path(relative));
    return path(relative);
}

std::string TempTree::link(const std::string& relative, const std::string& target) const {
    const fs::path p = path(relative);
    fs::create_directories(p.parent_path());
    std::error_code ignored;
    fs::remove(p, ignored);
    fs::create_symlink(target, p);
    return p.string();
}

void TempTree::remove(const std::string& relative) const {
    std::error_code ignored;
    fs::remove(path(relative), ignored);
}

} // namespace testsupport
