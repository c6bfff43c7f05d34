// The single and block address checks (operations 3 and 4).
#include "address/address.h"
#include "host/host.h"

namespace kiv {
namespace {

// A block string element lives in an 81-byte slot: 80 characters and a NUL.
constexpr uint32_t kBlockStringMax = KIV_STRING_SLOT_SIZE - 1;

const char* QuotedText(const GateDefinition& definition) {
  return definition.address_text ? definition.address_text : "";
}

}  // namespace

int32_t SingleAddressParser(KivRequest* request) {
  GateDefinition& definition = ParamsOf<GateDefinition>(request);
  if (const int verdict = Parse(definition); verdict != kOk) return verdict;

  const PlcAddress& address = definition.address;
  const int32_t type = definition.gate_type;
  bool accepted;
  const char* message;
  if (address.bit != -1 || IsTimerStatus(address.area)) {
    accepted = IsGateDigital(type);
    message = "DUVAD> SingleParse() Gate type should be DIGITAL, '%s'";
  } else if (IsString(address.area)) {
    accepted = IsGateString(type);
    message = "DUVAD> SingleParse() Gate type should be STRING, '%s'";
  } else if ((address.area >> 8) == 'F') {
    accepted = IsGateFloat(type);
    message = "DUVAD> SingleParse() Gate type should be FLOAT, '%s'";
  } else if ((address.area >> 8) == 'L' || (address.area >> 8) == 'B') {
    accepted = IsGate32Bit(type);
    message = "DUVAD> SingleParse() Gate type should be 32 BIT, '%s'";
  } else {
    accepted = IsGate16Bit(type);
    message = "DUVAD> SingleParse() Gate type should be 16 BIT, '%s'";
  }
  if (accepted) return kOk;
  err(kTrace, message, QuotedText(definition));
  return kRefused;
}

int32_t BlockAddressParser(KivRequest* request) {
  GateDefinition& definition = ParamsOf<GateDefinition>(request);
  if (const int verdict = Parse(definition); verdict != kOk) return verdict;

  const PlcAddress& address = definition.address;
  const char letter = AreaLetter(address.area);
  if (address.bit != -1) {
    err(kTrace, "DUVAD> BlockParse() Spec. digital gates not allowed as block, '%s'", QuotedText(definition));
    return kRefused;
  }
  if (letter == kAreaStatus || letter == kAreaError || (letter == kAreaTimerSv && !IsTimerStatus(address.area))) {
    err(kTrace, "DUVAD> BlockParse() memory type not allowed as block, '%s'", QuotedText(definition));
    return kRefused;
  }
  if (letter == kAreaDmBuffer && definition.block_size != 8) {
    err(kTrace, "DUVAD> BlockParse() blocksize must be 8 for DM high speed, '%s'", QuotedText(definition));
    return kRefused;
  }
  if (IsString(address.area) && StringLength(address.area) > kBlockStringMax) {
    err(kTrace, "DUVAD> BlockParse() string length above 80 not allowed as block, '%s'", QuotedText(definition));
    return kRefused;
  }
  return kOk;
}

}  // namespace kiv
