// host: the entry point KivMain, its operation table and the logging glue.
//
// Offers the helpers every operation uses to reach the records of a
// request, and the two logging levels. Messages go to the host's err()
// (libmorvek.so, err@MORVEK_1.0); formats are always the driver's own
// constants, never PLC or host text.
#pragma once

#include "kivhnom/kivhnom.h"
#include "kivhnom/morvek.h"

namespace kiv {

inline constexpr int kTrace = KIV_LOG_TRACE;    // every ordinary line
inline constexpr int kNotice = KIV_LOG_NOTICE;  // the four notable lines

// Result codes of the operations.
inline constexpr int32_t kOk = KIV_OK;
inline constexpr int32_t kRefused = KIV_REFUSED;
inline constexpr int32_t kFailed = KIV_FAILED;

using Operation = int32_t (*)(KivRequest* request);

inline ChannelContext& ChannelOf(KivRequest* request) {
  return *static_cast<ChannelContext*>(request->context);
}

template <class Record>
Record& ParamsOf(KivRequest* request) {
  return *static_cast<Record*>(request->params);
}

// The module's description, kept in the library's read-only data.
extern const char kModuleDescription[];

}  // namespace kiv
