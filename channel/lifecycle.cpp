// The channel block's life: ColdStart, WarmStart, CloseCom, EndKiv, and the
// port opening that ColdStart and the port management operations share.
#include <cstring>

#include "channel/channel.h"
#include "host/host.h"

namespace kiv {

bool IsNoCommunication(const char* port_name) {
  return std::strcmp(port_name, "NULLDEV") == 0 || std::strcmp(port_name, "NUL") == 0;
}

void CopyPortName(char (&to)[KIV_PORT_NAME_SIZE], const char (&from)[KIV_PORT_NAME_SIZE]) {
  size_t length = 0;
  while (length < KIV_PORT_NAME_SIZE - 1 && from[length] != '\0') ++length;
  char name[KIV_PORT_NAME_SIZE] = {};  // from and to may be the same field
  std::memcpy(name, from, length);
  std::memcpy(to, name, sizeof name);
}

ComHandle OpenCom(const PortConfig& config) {
  // The block may come from a host that never terminated the name.
  char name[KIV_PORT_NAME_SIZE];
  CopyPortName(name, config.port_name);
  ComHandle handle = kNoPort;
  const int result = ComOpen(name, &config.line, config.open_flags, &handle);
  if (result != kComOk || handle == kNoPort) {
    err(kNotice, "DUVAD> OpenCom() exited with error");
    return kNoPort;
  }
  err(kTrace, "DUVAD> OpenCom() exited OK, file handle %u", handle);
  return handle;
}

int32_t ColdStart(KivRequest* request) {
  ChannelContext& channel = ChannelOf(request);
  const ColdStartParams& params = ParamsOf<ColdStartParams>(request);

  err(kTrace, "DUVAD> version compiled on %s at time %s", __DATE__, __TIME__);

  // Every field is set without looking at what the block held. A port the
  // block still records is deliberately not closed: a fresh block may hold
  // any value there, and closing an arbitrary handle could close another
  // channel's port. Its exclusive open then refuses the new one.
  channel.reply_timeout = params.reply_timeout;
  channel.port = kNoPort;
  channel.frame_gap_ms = 0;
  std::memset(channel.float_format, KIV_FLOAT_BCD, sizeof channel.float_format);

  ReadInitFile(request);

  PortConfig config{};
  CopyPortName(config.port_name, params.port_name);
  config.line = params.line;
  config.open_flags = KIV_OPEN_DEFAULT;

  if (params.comm_enabled != 0) {
    if (IsNoCommunication(config.port_name)) {
      err(kTrace, "DUVAD> ColdStart() NULLDEV => no communication");
    } else {
      const ComHandle handle = OpenCom(config);
      if (handle == kNoPort) {
        err(kTrace, "DUVAD> ColdStart() unable to open %s port", config.port_name);
        return kRefused;
      }
      err(kNotice, "DUVAD> ColdStart() port %s opened, file handle %u", config.port_name, handle);
      channel.port = handle;
      ComSetReadTimeout(handle, params.reply_timeout);
    }
    std::memcpy(channel.port_config.port_name, config.port_name, sizeof config.port_name);
    channel.port_config.line = params.line;
    // The host's flags stay; a zero word would make later reopens apply no
    // line settings at all, so it becomes the flags this start opened with.
    if (channel.port_config.open_flags == 0) channel.port_config.open_flags = KIV_OPEN_DEFAULT;
  }

  err(kTrace, "DUVAD> ColdStart() exited, 0");
  return kOk;
}

int32_t WarmStart(KivRequest* request) {
  ChannelContext& channel = ChannelOf(request);
  if (channel.port != kNoPort) ComFlushInput(channel.port);
  err(kTrace, "DUVAD> WarmStart() exited, 0");
  return kOk;
}

int32_t CloseCom(KivRequest* request) {
  ChannelContext& channel = ChannelOf(request);
  if (channel.port != kNoPort) {
    if (ComClose(channel.port) != kComOk) {
      err(kTrace, "DUVAD> CloseCom() exited 2");
      return kFailed;
    }
    channel.port = kNoPort;
  }
  err(kTrace, "DUVAD> CloseCom() exited 0");
  return kOk;
}

int32_t EndKiv(KivRequest* request) {
  const int32_t result = CloseCom(request);
  err(kTrace, "DUVAD> EndKiv() exited, %d", result);
  return result;
}

}  // namespace kiv
