#pragma once
// A scratch folder for a test's fake /dev, /sys and configuration trees; removed afterwards.

#include <string>

namespace testsupport {

class TempTree {
  public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return m_root; }
    std::string path(const std::string& relative) const { return m_root + "/" + relative; }
    // Creates the file with its folders; returns its full path.
    std::string write(const std::string& relative, const std::string& text) const;
    std::string mkdir(const std::string& relative) const;
    // A symbolic link at relative to target, replacing what was there.
    std::string link(const std::string& relative, const std::string& target) const;
    void remove(const std::string& relative) const;

  private:
    std::string m_root;
};

} // namespace testsupport
