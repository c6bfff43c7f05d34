// Host Link frames: FCS, sending with the delimiter handshake, receiving
// and assembling multi-frame replies.
#include <cstring>

#include "host/host.h"
#include "hostlink/hostlink.h"

namespace kiv {
namespace {

constexpr char kCr = '\r';
constexpr char kEndMark = '*';
constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

uint8_t Fcs(const char* text, size_t length) {
  uint8_t fcs = 0;
  for (size_t i = 0; i < length; ++i) fcs ^= static_cast<uint8_t>(text[i]);
  return fcs;
}

int ReadByte(ComHandle port, char* byte) {
  int32_t received = 0;
  if (ComRead(port, byte, 1, &received) != kComOk || received != 1) return kFailed;
  return kOk;
}

int WriteByte(ComHandle port, char byte) {
  int32_t written = 0;
  if (ComWrite(port, &byte, 1, &written) != kComOk || written != 1) return kFailed;
  return kOk;
}

int Send(const char* text, int32_t length, ComHandle port) {
  char frame[kFrameTextMax + 4];
  // A negative length sends an empty frame rather than reading before text.
  int32_t remaining = length < 0 ? 0 : length;
  int32_t offset = 0;
  do {
    const int32_t n = remaining < kFrameTextMax ? remaining : kFrameTextMax;
    if (n > 0) std::memcpy(frame, text + offset, static_cast<size_t>(n));
    offset += n;
    remaining -= n;
    const uint8_t fcs = Fcs(frame, static_cast<size_t>(n));
    int32_t size = n;
    frame[size++] = kHexDigits[fcs >> 4];
    frame[size++] = kHexDigits[fcs & 0x0F];
    if (remaining == 0) frame[size++] = kEndMark;
    frame[size++] = kCr;

    int32_t written = 0;
    if (ComWrite(port, frame, size, &written) != kComOk || written != size) return kFailed;

    if (remaining > 0) {
      char delimiter = 0;
      if (ReadByte(port, &delimiter) != kOk) {
        err(kTrace, "DUVAD> Send() Error reading delimiter");
        return kFailed;
      }
      if (delimiter != kCr) {
        err(kTrace, "DUVAD> Send() Error read '%c' i.s.o. CR delimiter", delimiter);
        return kFailed;
      }
    }
  } while (remaining > 0);
  return kOk;
}

int Receive(char* buffer, int32_t capacity, int32_t* length, ComHandle port) {
  int32_t position = 0;
  for (;;) {
    const int32_t frame_start = position;
    // One byte per read, so nothing beyond the frame's CR is consumed.
    do {
      if (position >= capacity) return kFailed;  // the reply does not fit
      if (ReadByte(port, &buffer[position]) != kOk) return kFailed;
      ++position;
    } while (buffer[position - 1] != kCr);

    const int32_t frame_size = position - frame_start;  // CR included
    const bool last = frame_size >= 2 && buffer[position - 2] == kEndMark;
    const int32_t trailer = last ? 4 : 3;  // FCS, ["*"], CR
    if (frame_size < trailer) return kFailed;  // CR before a complete FCS
    const int32_t text_end = position - trailer;

    const int high = HexValue(buffer[text_end]);
    const int low = HexValue(buffer[text_end + 1]);
    if (high < 0 || low < 0) return kFailed;
    const uint8_t fcs = Fcs(buffer + frame_start, static_cast<size_t>(text_end - frame_start));
    if (fcs != static_cast<uint8_t>(high * 16 + low)) return kFailed;

    if (last) {
      *length = text_end;
      return kOk;
    }
    // Ask for the next frame; a failed write shows as a timeout below.
    (void)WriteByte(port, kCr);
    position = text_end;  // the next frame's text goes over this FCS
  }
}

}  // namespace kiv
