// Shared pieces of the channel tests: calls through KivMain, log lines, and
// a fixture that runs each test in a fresh temporary directory (the
// initialisation file is looked for in the current directory).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "kivhnom/kivhnom.h"
#include "tests/support/log_capture.h"

namespace kivtest {
// Readable failure output for line sequences.
inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
  return out << "[" << line.level << "] " << line.text;
}
}  // namespace kivtest

namespace channeltest {

using kivtest::LogLine;

inline LogLine Trace(const std::string& text) { return {KIV_LOG_TRACE, text}; }
inline LogLine Notice(const std::string& text) { return {KIV_LOG_NOTICE, text}; }

inline const LogLine kNoInitFile = Trace("DUVAD> ColdStart() Warning, no initfile found");
inline const LogLine kNullDevStart = Trace("DUVAD> ColdStart() NULLDEV => no communication");
inline const LogLine kColdStartDone = Trace("DUVAD> ColdStart() exited, 0");
inline const LogLine kOpenFailed = Notice("DUVAD> OpenCom() exited with error");
inline const LogLine kCloseDone = Trace("DUVAD> CloseCom() exited 0");

inline bool IsVersionLine(const LogLine& line) {
  static const std::regex form(
      "DUVAD> version compiled on [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} at time "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]");
  return line.level == KIV_LOG_TRACE && std::regex_match(line.text, form);
}

// The lines after the version line, which must come first.
inline std::vector<LogLine> AfterVersion(const std::vector<LogLine>& lines) {
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return {};
  EXPECT_TRUE(IsVersionLine(lines.front())) << lines.front().text;
  return {lines.begin() + 1, lines.end()};
}

// A channel block as a host might hand it over: not zeroed.
inline ChannelContext DirtyChannel() {
  ChannelContext channel;
  std::memset(&channel, 0xA5, sizeof channel);
  return channel;
}

inline void SetName(char (&field)[KIV_PORT_NAME_SIZE], const std::string& name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.data(), std::min(name.size(), sizeof field));
}

inline ColdStartParams StartParams(const std::string& port, uint32_t comm_enabled = 1,
                                   int32_t reply_timeout = 50,
                                   LineSettings line = {9600, 7, 2, 2}) {
  ColdStartParams params{};
  SetName(params.port_name, port);
  params.comm_enabled = comm_enabled;
  params.reply_timeout = reply_timeout;
  params.line = line;
  return params;
}

inline ChangeParams NewParams(const std::string& port, int32_t reply_timeout = -1,
                              LineSettings line = {0, 0, 0, 0}) {
  ChangeParams params{};
  SetName(params.port_name, port);
  params.reply_timeout = reply_timeout;
  params.line = line;
  return params;
}

inline int32_t Call(uint32_t opcode, ChannelContext* channel, void* params = nullptr,
                    uint32_t channel_number = 1) {
  KivRequest request{channel, opcode, channel_number, 0, params};
  return KivMain(&request);
}

inline bool SameLine(const LineSettings& a, const LineSettings& b) {
  return a.baud_rate == b.baud_rate && a.data_bits == b.data_bits && a.stop_bits == b.stop_bits &&
         a.parity == b.parity;
}

// Each test runs in its own empty directory, removed afterwards.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    char pattern[] = "/tmp/kiv-channel-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  static void ClearDir() {
    for (const auto& entry : std::filesystem::directory_iterator("."))
      std::filesystem::remove_all(entry.path());
  }
  static void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream out(name, std::ios::binary);
    out << content;
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

}  // namespace channeltest
