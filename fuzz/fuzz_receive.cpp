// Arbitrary bytes from the line into the link layer's reception.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "hostlink/hostlink.h"

namespace {
class Bytes : public kiv::ComFake {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int32_t Write(const uint8_t*, int32_t count) override { return count; }
  int32_t Read(uint8_t* buffer, int32_t count, int32_t) override {
    const size_t n = std::min(size_t(count), size_ - at_);
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return int32_t(n);
  }
  int32_t Pending() override { return int32_t(size_ - at_); }
  bool done() const { return at_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (kivfuzz::Quiet(), true);
  (void)quiet;
  Bytes line(data, size);
  const kiv::ComHandle port = kiv::ComAttachFake(&line);
  kiv::ComSetReadTimeout(port, 0);
  // A buffer just the size of rx_frame, with nothing after it to hide an overrun.
  std::vector<char> buffer(KIV_FRAME_SIZE);
  for (int replies = 0; replies < 64 && !line.done(); ++replies) {
    int32_t length = -1;
    if (kiv::Receive(buffer.data(), KIV_FRAME_SIZE, &length, port) == 0 && (length < 0 || length > KIV_FRAME_SIZE))
      __builtin_trap();
  }
  kiv::ComClose(port);
  return 0;
}
