#include "tests/support/log_capture.h"

namespace kivtest {

LogCapture::LogCapture() { previous_ = morvek_set_sink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { morvek_set_sink(previous_, nullptr); }

void LogCapture::Sink(void* user, int level, const char* line) {
  auto* self = static_cast<LogCapture*>(user);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.push_back({level, line});
}

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> LogCapture::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& line : lines_) texts.push_back(line.text);
  return texts;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

bool LogCapture::Contains(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& line : lines_)
    if (line.text.find(fragment) != std::string::npos) return true;
  return false;
}

}  // namespace kivtest
