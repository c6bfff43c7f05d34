// kiv-hello: loads libkivhnom.so as a host would, prints the driver's
// description, and runs one channel without communication (NULLDEV)
// through ColdStart, WarmStart and EndKiv. The driver's log lines come
// through libmorvek and are printed, indented, among the results.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "kivhnom/kivhnom.h"
#include "kivhnom/morvek.h"

namespace {

using KivMainFn = int32_t (*)(KivRequest*);

// The driver lies beside the folder this program is in (build/tools/..).
void* LoadDriver() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = '\0';
    std::string path(self);
    path.erase(path.rfind('/') + 1);
    path += "../libkivhnom.so";
    if (void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return library;
  }
  return dlopen("libkivhnom.so", RTLD_NOW | RTLD_LOCAL);
}

// Code page 437 text for a UTF-8 terminal: the box characters the banner
// uses; other bytes above 0x7F become '?', and the leading backspace goes.
std::string Cp437ToUtf8(const char* text) {
  struct Box {
    unsigned char cp437;
    const char* utf8;
  };
  static constexpr Box kBox[] = {
      {0xBA, "\u2551"}, {0xBB, "\u2557"}, {0xBC, "\u255D"},
      {0xC8, "\u255A"}, {0xC9, "\u2554"}, {0xCD, "\u2550"},
  };
  std::string out;
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(text); *at; ++at) {
    if (*at == '\b') continue;
    if (*at < 0x80) {
      out += static_cast<char>(*at);
      continue;
    }
    const char* mapped = "?";
    for (const Box& box : kBox)
      if (box.cp437 == *at) mapped = box.utf8;
    out += mapped;
  }
  return out;
}

void PrintLogLine(void*, int level, const char* line) { std::printf("    [%d] %s\n", level, line); }

}  // namespace

int main() {
  morvek_set_sink(&PrintLogLine, nullptr);
  void* library = LoadDriver();
  if (library == nullptr) {
    std::fprintf(stderr, "kiv-hello: cannot load libkivhnom.so: %s\n", dlerror());
    return 1;
  }
  KivMainFn kiv_main = reinterpret_cast<KivMainFn>(dlsym(library, "KivMain"));
  if (kiv_main == nullptr) {
    std::fprintf(stderr, "kiv-hello: libkivhnom.so has no KivMain\n");
    return 1;
  }

  static ChannelContext channel;  // 4486 bytes, the host's to provide
  DriverInfo info{};
  KivRequest request{&channel, KIV_OP_GET_KIV_INFO, 1, 0, &info};
  int32_t result = kiv_main(&request);
  std::printf("GetKivInfo -> %d\n", result);
  if (result == KIV_OK && info.family_name != nullptr && info.banner != nullptr) {
    std::printf("family: %s\n", info.family_name);
    std::printf("%s\n", Cp437ToUtf8(info.banner).c_str());
    std::printf("channel block: %u bytes, default line %u baud %u data bits\n", info.context_size,
                info.default_line.baud_rate, info.default_line.data_bits);
  }

  ColdStartParams start{};
  std::strcpy(start.port_name, "NULLDEV");
  start.comm_enabled = 1;
  start.reply_timeout = 100;
  start.line = LineSettings{9600, 7, 2, 2};
  request = KivRequest{&channel, KIV_OP_COLD_START, 1, 0, &start};
  std::printf("ColdStart(NULLDEV) -> %d\n", kiv_main(&request));

  request = KivRequest{&channel, KIV_OP_WARM_START, 1, 0, nullptr};
  std::printf("WarmStart -> %d\n", kiv_main(&request));

  request = KivRequest{&channel, KIV_OP_END_KIV, 1, 0, nullptr};
  std::printf("EndKiv -> %d\n", kiv_main(&request));

  dlclose(library);
  return 0;
}
