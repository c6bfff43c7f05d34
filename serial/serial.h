// serial: the only place the driver touches the operating system's serial
// interface. Eight Com functions on a 32-bit port handle (0 = none); they
// log nothing and return small codes that only their callers see.
//
// Port names: "ttyUSB0" or "pts/3" name devices under /dev, a name that
// begins with "/" is a path, "NUL" is the null device. The open is
// exclusive (flock, then TIOCEXCL), also against the same process and root.
// The read timeout is a total time per ComRead call, 10 ms resolution.
// Calls on different handles may run on different threads at once; one
// handle is used by one thread at a time.
#pragma once

#include <termios.h>

#include <cstdint>

#include "kivhnom/kivhnom.h"

namespace kiv {

using ComHandle = uint32_t;
inline constexpr ComHandle kNoPort = 0;

// Result codes of this layer (callers translate them).
enum ComResult : int {
  kComOk = 0,
  kComOpenFailed = 1,   // opening the device, or setting its timeouts, failed
  kComShortWrite = 2,   // fewer bytes written than asked
  kComNotSerial = 4,    // reading the device's state failed: not a tty
  kComSetupFailed = 5,  // the device cannot take the settings
  kComIoFailed = 7,     // a call failed, the device vanished, or a read timed out
};

int ComOpen(const char* port_name, const LineSettings* line, uint16_t open_flags,
            ComHandle* handle);
int ComClose(ComHandle handle);
// Sets the total read timeout (units of 10 ms); returns the previous one in
// the same units, or 0 when the handle is not valid.
int32_t ComSetReadTimeout(ComHandle handle, int32_t timeout_10ms);
int ComFlushInput(ComHandle handle);
int ComBreak(uint32_t duration_ms, ComHandle handle);
int ComWrite(ComHandle handle, const void* bytes, int32_t count, int32_t* written);
int ComRead(ComHandle handle, void* buffer, int32_t count, int32_t* received);
int ComSleep(uint32_t duration_ms);

// --- Pure pieces of ComOpen, tested without a device. ---

// The device path for a port name: "/dev/" + name, the name itself when it
// begins with "/", "/dev/null" for "NUL". False when it does not fit.
bool ComDevicePath(const char* port_name, char* path, unsigned path_size);

// Modem-line and flow-control choices of the open_flags groups. A group that
// matches nothing leaves its line as the port had it; so does a plan that
// neither sets nor clears CRTSCTS.
struct ModemPlan {
  bool dtr_on = false;
  bool rts_on = false;
  bool crtscts = false;        // set CRTSCTS: CTS output flow or RTS handshake
  bool clear_crtscts = false;  // RTS is held by us, so no RTS/CTS handshake
};
ModemPlan PlanModemLines(uint16_t open_flags);

// Applies line settings to a termios block read from the device (raw mode,
// CLOCAL, CREAD, speed, size, parity, stop bits, the flow-control plan).
// Only the low byte of data_bits, stop_bits and parity counts. Stop bits 1
// (one and a half) is accepted for 5-bit characters only.
// Returns kComOk, or kComSetupFailed for a setting termios cannot express.
int ApplyLineSettings(const LineSettings& line, const ModemPlan& plan, termios* tio);

// After applying, compares what the device holds with what was asked.
// A pseudo-terminal cannot hold data bits or parity, so for it only the
// speed and stop bits count.
bool LineSettingsHeld(const termios& asked, const termios& held, bool is_pty);

// --- Test seam: an in-memory line in place of a device. ---
class ComFake {
 public:
  virtual ~ComFake() = default;
  // Writes; returns the bytes taken, or -1 for a failed write.
  virtual int32_t Write(const uint8_t* bytes, int32_t count) = 0;
  // Delivers what is available, up to count bytes, as soon as there is
  // something, waiting at most timeout_ms for it; 0 when nothing came,
  // -1 on failure. The layer asks for a read-ahead's worth at a time.
  virtual int32_t Read(uint8_t* buffer, int32_t count, int32_t timeout_ms) = 0;
  // Bytes waiting to be read, or -1 when the line is gone.
  virtual int32_t Pending() = 0;
};

// Registers a fake as an open port; ComClose releases the handle (the fake
// stays the caller's).
ComHandle ComAttachFake(ComFake* fake);

}  // namespace kiv
