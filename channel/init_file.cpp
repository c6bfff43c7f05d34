// The per-channel initialisation file: float format per PLC and the frame
// gap. The lines are matched by hand rather than with sscanf, whose %u
// takes a sign and wraps on overflow; here a signed or oversized number
// makes the line illegal and changes nothing.
#include <cstring>

#include "channel/channel.h"
#include "host/host.h"

namespace kiv {

namespace {

// White space as the C locale knows it.
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* SkipBlanks(const char* at) {
  while (IsBlank(*at)) ++at;
  return at;
}

// The keyword, exact and upper case, at the very start of the line.
const char* AfterKeyword(const char* line, const char* keyword) {
  const size_t length = std::strlen(keyword);
  return std::strncmp(line, keyword, length) == 0 ? line + length : nullptr;
}

// "BCD 5", "IEEE07": the keyword, any blanks (also none) and a number of
// which at most two digits count; whatever follows is ignored.
bool MatchPlcLine(const char* line, const char* keyword, unsigned* plc) {
  const char* at = AfterKeyword(line, keyword);
  if (at == nullptr) return false;
  at = SkipBlanks(at);
  if (!IsDigit(at[0])) return false;
  unsigned value = static_cast<unsigned>(at[0] - '0');
  if (IsDigit(at[1])) value = value * 10 + static_cast<unsigned>(at[1] - '0');
  *plc = value;
  return true;
}

// "IFG = 20": the keyword, blanks, "=", blanks and a decimal number of any
// length that fits 32 bits unsigned; whatever follows is ignored.
bool MatchGapLine(const char* line, uint32_t* gap) {
  const char* at = AfterKeyword(line, "IFG");
  if (at == nullptr) return false;
  at = SkipBlanks(at);
  if (*at != '=') return false;
  at = SkipBlanks(at + 1);
  if (!IsDigit(*at)) return false;
  uint64_t value = 0;
  for (; IsDigit(*at); ++at) {
    value = value * 10 + static_cast<uint64_t>(*at - '0');
    if (value > UINT32_MAX) return false;
  }
  *gap = static_cast<uint32_t>(value);
  return true;
}

constexpr int kNameSize = 16;

// Opens one formatted name; null when it did not fit the buffer (a cut
// name would be some other file) or does not open.
FILE* TryOpen(const char* name, int length) {
  if (length < 0 || length >= kNameSize) return nullptr;
  return std::fopen(name, "r");
}

}  // namespace

FILE* OpenInitFile(const char* base, char name[16], uint32_t channel) {
  if (FILE* file = TryOpen(name, std::snprintf(name, kNameSize, "%s%02u.INT", base, channel)))
    return file;
  if (FILE* file = TryOpen(name, std::snprintf(name, kNameSize, "%s%01u.INT", base, channel)))
    return file;
  return TryOpen(name, std::snprintf(name, kNameSize, "%s.INT", base));
}

void ReadInitFile(KivRequest* request) {
  ChannelContext& channel = ChannelOf(request);
  char name[kNameSize];
  FILE* file = OpenInitFile("DUVAD", name, request->channel);
  if (file == nullptr) {
    err(kTrace, "DUVAD> ColdStart() Warning, no initfile found");
    return;
  }

  // Lines longer than 255 characters arrive in pieces; each piece is
  // judged as a line of its own.
  char line[256];
  uint32_t number = 0;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    ++number;
    // The file is opened as text; a CR LF line end counts as LF.
    const size_t length = std::strlen(line);
    if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') {
      line[length - 2] = '\n';
      line[length - 1] = '\0';
    }

    unsigned plc = 0;
    uint32_t gap = 0;
    if (MatchPlcLine(line, "BCD", &plc)) {
      err(kTrace, "DUVAD> ReadInitFile()  plc %u uses BCD floats", plc);
      channel.float_format[plc] = KIV_FLOAT_BCD;
    } else if (MatchPlcLine(line, "IEEE", &plc)) {
      err(kTrace, "DUVAD> ReadInitFile()  plc %u uses IEEE floats", plc);
      channel.float_format[plc] = KIV_FLOAT_IEEE;
    } else if (MatchGapLine(line, &gap)) {
      err(kTrace, "DUVAD> ReadInitFile()  IFG= %u", gap);
      channel.frame_gap_ms = gap;
    } else if (line[0] != '\n') {
      err(kNotice, "DUVAD> ReadIntFile() illegal line %u in '%s'", number, name);
    }
  }
  std::fclose(file);
}

}  // namespace kiv
