// Captures the driver's err() lines through libmorvek's sink.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "kivhnom/morvek.h"

namespace kivtest {

struct LogLine {
  int level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

// Installs itself as the sink for its lifetime; thread-safe.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const;
  std::vector<std::string> Texts() const;  // the texts alone
  void Clear();
  // True when some line contains `fragment`.
  bool Contains(const std::string& fragment) const;

 private:
  static void Sink(void* user, int level, const char* line);
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
  MorvekSink previous_;
};

}  // namespace kivtest
