// transfer: the read and write transactions and the conversions of the
// data in their replies and commands.
//
// SingleRead, BlockRead, SingleWrite and BlockWrite are operations 5, 6, 7
// and 10. They build the command in the channel's tx_frame, exchange it
// through the hostlink layer with up to three attempts and aborts, and
// convert data between the texts and the gate's value storage.
#pragma once

#include <cstdint>

#include "kivhnom/kivhnom.h"

namespace kiv {

int32_t SingleRead(KivRequest* request);
int32_t BlockRead(KivRequest* request);
int32_t SingleWrite(KivRequest* request);
int32_t BlockWrite(KivRequest* request);

int DoRead(KivRequest* request, uint32_t opcode);
int DoWrite(KivRequest* request, uint32_t opcode);

// Decodes reply data (not NUL-terminated, `length` characters) into the
// gate's storage; opcode 5 decodes a single gate, any other a block.
// 0 stored, 1 or 2 refused (messages logged). Never reads outside the data.
int StoreData(KivRequest* request, const char* data, int32_t length, uint32_t opcode);

// Encodes the gate's value into the data text at `text` (room for
// `capacity` characters and a NUL). 0 with *length set, 1 after a message.
int PutData(KivRequest* request, uint32_t value_word, char* text, int32_t capacity,
            int32_t* length);

}  // namespace kiv
