#pragma once
// The simulator's own account of the line, one JSON object a line, for a program on the same
// machine to hold its view of the exchange against. Times are microseconds of the steady clock
// (CLOCK_MONOTONIC) since its epoch.

#include "sim/Line.h"

#include <string>

namespace sim {

// One record as a line of JSON, its newline included.
std::string truthJson(const TruthRecord& record);

// Appends each record to the file as it is written (O_APPEND), so that several writers and a
// reader can share it.
class TruthLog {
  public:
    TruthLog() = default;
    ~TruthLog();
    TruthLog(const TruthLog&) = delete;
    TruthLog& operator=(const TruthLog&) = delete;

    // False, with errno set, when the file cannot be opened.
    bool open(const std::string& path);
    bool isOpen() const { return m_fd >= 0; }
    // Writes every record, one write() each; false once a write failed.
    bool write(const std::vector<TruthRecord>& records);

  private:
    int m_fd = -1;
};

} // namespace sim
