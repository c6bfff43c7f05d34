// A pseudo-terminal pair for tests: the test holds the master side and
// plays the peer; the driver opens the slave by its port name ("pts/N").
#pragma once

#include <cstdint>
#include <string>

namespace kivtest {

class PtyPair {
 public:
  PtyPair();  // opens the master (non-blocking) and keeps a slave fd open
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& port_name() const { return port_name_; }  // "pts/N"
  const std::string& slave_path() const { return slave_path_; }
  int master() const { return master_; }

  // Writes all bytes to the master side.
  void Write(const std::string& bytes);
  // Reads from the master until `count` bytes or `timeout_ms` passed.
  std::string Read(size_t count, int timeout_ms);
  // Reads until `terminator` is seen (included) or timeout_ms passed.
  std::string ReadUntil(char terminator, int timeout_ms);
  // Discards what the driver has written so far.
  void Drain();
  // Closes the master side: the slave sees a hang-up.
  void CloseMaster();
  // Closes the test's own slave fd (so only the driver holds the slave).
  void CloseSlave();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string port_name_;
  std::string slave_path_;
};

}  // namespace kivtest
