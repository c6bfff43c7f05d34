// hostlink: Host Link frames on the line, the abort and the preparation of
// every transaction attempt.
//
// Knows nothing of headers, units or end codes: the callers build the whole
// command text from "@" on and read the reply text by position. Results are
// 0 (done) or 2 (communication failure).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivhnom/kivhnom.h"
#include "serial/serial.h"

namespace kiv {

// Text characters of one sent frame (124 + FCS + "*" + CR = 128).
inline constexpr int32_t kFrameTextMax = 124;

// Exclusive OR of the text characters of one frame.
uint8_t Fcs(const char* text, size_t length);

// Sends a command text as frames, with the CR delimiter handshake between
// them. 0 when every frame went out and every delimiter came back.
int Send(const char* text, int32_t length, ComHandle port);

// Receives a reply of one or more frames into buffer (capacity characters),
// each frame's text stored over the previous frame's FCS. Checks every FCS
// and answers each intermediate frame with CR. On 0, *length is the reply
// text length (without the last FCS, "*" and CR). A reply that does not fit
// fails with 2, and nothing is written past the buffer.
int Receive(char* buffer, int32_t capacity, int32_t* length, ComHandle port);

int ReadByte(ComHandle port, char* byte);
int WriteByte(ComHandle port, char byte);

// Sends "@" unit "XZ" after the frame gap, then waits 100 ms and flushes
// the input. Always 1.
int SendAbort(ChannelContext& channel, uint32_t unit);

// What begins every read and write attempt: flush the input, then the
// frame gap. Shared so the two transactions cannot drift apart.
void PrepareAttempt(ChannelContext& channel);

}  // namespace kiv
