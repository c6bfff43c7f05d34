// Port management while a channel runs: ReOpenCom, ChangeKivParams, and the
// driver's description for the host (GetKivInfo).
#include <array>
#include <cstring>

#include "channel/channel.h"
#include "host/host.h"

namespace kiv {

namespace {

// The banner: a 73-character double-lined box in code page 437 around the
// driver's name, after a backspace and a line feed, with no final line end.
constexpr size_t kBannerWidth = 73;
constexpr size_t kBannerLength = 2 + 3 * kBannerWidth + 2;  // 223

constexpr std::array<char, kBannerLength + 1> MakeBanner() {
  constexpr char kTopLeft = '\xC9', kTopRight = '\xBB', kBottomLeft = '\xC8',
                 kBottomRight = '\xBC', kHorizontal = '\xCD', kVertical = '\xBA';
  constexpr char kTitle[] = "  DUVAD:  OMRON Host Link protocol";
  constexpr char kNote[] = "(32-bit driver) ";
  constexpr size_t kInner = kBannerWidth - 2;
  static_assert(sizeof kTitle - 1 + 21 + sizeof kNote - 1 == kInner);

  std::array<char, kBannerLength + 1> text{};
  size_t at = 0;
  auto put = [&](char c, size_t count) {
    for (size_t i = 0; i < count; ++i) text[at++] = c;
  };
  auto put_text = [&](const char* s) {
    while (*s != '\0') text[at++] = *s++;
  };
  put('\b', 1);
  put('\n', 1);
  put(kTopLeft, 1);
  put(kHorizontal, kInner);
  put(kTopRight, 1);
  put('\n', 1);
  put(kVertical, 1);
  put_text(kTitle);
  put(' ', 21);
  put_text(kNote);
  put(kVertical, 1);
  put('\n', 1);
  put(kBottomLeft, 1);
  put(kHorizontal, kInner);
  put(kBottomRight, 1);
  text[at] = '\0';
  return text;
}

constexpr std::array<char, kBannerLength + 1> kBanner = MakeBanner();
static_assert(kBanner[kBannerLength] == '\0' && kBanner[kBannerLength - 1] == '\xBC');

constexpr char kFamilyName[] = "Omron SYSMAC family";

}  // namespace

int32_t ReOpenCom(KivRequest* request) {
  ChannelContext& channel = ChannelOf(request);
  char name[KIV_PORT_NAME_SIZE];
  CopyPortName(name, channel.port_config.port_name);
  if (IsNoCommunication(name)) {
    err(kTrace, "DUVAD> ReOpenCom() NULLDEV => no communications");
  } else {
    const ComHandle handle = OpenCom(channel.port_config);
    if (handle == kNoPort) {
      err(kNotice, "DUVAD> ReOpenCom() exited 2");
      return kFailed;
    }
    channel.port = handle;
    ComSetReadTimeout(handle, channel.reply_timeout);
  }
  err(kTrace, "DUVAD> ReOpenCom() exited 0");
  return kOk;
}

int32_t ChangeKivParams(KivRequest* request) {
  ChannelContext& channel = ChannelOf(request);
  const ChangeParams& params = ParamsOf<ChangeParams>(request);

  if (params.reply_timeout != 0 && params.reply_timeout != -1)
    channel.reply_timeout = params.reply_timeout;

  // An open port is closed whether or not the name changes: reopening the
  // same port while it is held would be refused, and the new line settings
  // and timeout take effect only through a fresh open.
  if (channel.port != kNoPort) CloseCom(request);

  CopyPortName(channel.port_config.port_name, params.port_name);
  if (params.line.baud_rate != 0) channel.port_config.line = params.line;

  if (IsNoCommunication(channel.port_config.port_name)) {
    err(kTrace, "DUVAD> ChangeKivParams() NULLDEV => no communications");
    return kOk;
  }

  const ComHandle handle = OpenCom(channel.port_config);
  if (handle == kNoPort) {
    err(kTrace, "DUVAD> ChangeKivParams() exited 2");
    return kFailed;
  }
  channel.port = handle;
  ComSetReadTimeout(handle, channel.reply_timeout);
  return kOk;
}

int32_t GetKivInfo(KivRequest* request) {
  DriverInfo& info = ParamsOf<DriverInfo>(request);
  info.info_kind = 70;
  info.family_name = kFamilyName;
  info.banner = kBanner.data();
  info.context_size = sizeof(ChannelContext);
  info.info_version = 4;
  info.default_line = LineSettings{9600, 7, 2, 2};
  info.info_flags = 3;
  err(kTrace, "DUVAD> GetKivInfo() exited");
  return kOk;
}

}  // namespace kiv
