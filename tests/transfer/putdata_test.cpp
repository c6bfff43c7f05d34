// PutData on its own: the data text of a write command for every kind of
// gate, its refusals, and its bound on the command buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "address/address.h"
#include "kivhnom/kivhnom.h"
#include "tests/support/log_capture.h"
#include "transfer/transfer.h"

namespace {

using kiv::MakeArea;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPlc = 4;  // the gates' unit; every other unit has the opposite float format

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes U16(uint16_t v) { return Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 2); }
Bytes U32(uint32_t v) { return Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); }
Bytes F32(float v) { return Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); }

struct Gate {
  uint32_t area;
  int32_t width;
  int32_t type;
  int32_t count = 1;
  uint8_t float_format = KIV_FLOAT_BCD;
};

Gate Block(Gate gate, int32_t count) {
  gate.count = count;
  return gate;
}
Gate WithFormat(Gate gate, uint8_t format) {
  gate.float_format = format;
  return gate;
}

const Gate kWord{MakeArea('D'), 16, 0};
const Gate kFlag{MakeArea('#', '0'), 8, 6};
const Gate kLong{MakeArea('D', 'L'), 32, 4};
const Gate kLongBcd{MakeArea('D', 'B'), 32, 5};
const Gate kFloatBcd{MakeArea('D', 'F'), 32, 3};
const Gate kFloatIeee{MakeArea('D', 'F'), 32, 3, 1, KIV_FLOAT_IEEE};
const Gate kString4{MakeArea('D', 'S', 4), 16, 7};

struct Row {
  const char* what;
  Gate gate;
  Bytes storage;        // the value storage, from byte 0
  uint32_t value_word;  // what the write transaction passes
  const char* text;     // the data text, or null when refused
  const char* message;  // the line logged on refusal
};

class PutDataTest : public ::testing::Test {
 protected:
  static constexpr size_t kGuard = 32;

  void Use(const Gate& gate, Bytes storage) {
    storage_ = std::move(storage);
    storage_.resize(storage_.size() + 8, 0xCC);  // beyond the elements: must not be sent
    gate_ = GateIo{"gate", 0, {kPlc, gate.area, 0, -1, gate.width}, gate.type, gate.count, 0, storage_.data(), 0};
    std::memset(&channel_, 0, sizeof channel_);
    const uint8_t other = gate.float_format == KIV_FLOAT_IEEE ? KIV_FLOAT_BCD : KIV_FLOAT_IEEE;
    std::memset(channel_.float_format, other, sizeof channel_.float_format);
    channel_.float_format[kPlc] = gate.float_format;
    request_ = KivRequest{&channel_, KIV_OP_SINGLE_WRITE, 0, 0, &gate_};
    log_.Clear();
  }

  // Runs PutData into a buffer of `capacity` characters and a NUL, with
  // guard bytes behind. Returns the result; *text gets the data text.
  int Put(uint32_t value_word, std::string* text, int32_t capacity = 400) {
    const size_t room = size_t(capacity > 0 ? capacity : 0) + 1;
    std::vector<char> buffer(room + kGuard, '#');
    int32_t length = -1;
    const int result = kiv::PutData(&request_, value_word, buffer.data(), capacity, &length);
    for (size_t i = room; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << "wrote past the room at " << i;
    if (result == 0) {
      EXPECT_GE(length, 0);
      EXPECT_LE(length, capacity);
      EXPECT_EQ(buffer[size_t(length)], '\0') << "the text ends with a NUL";
      *text = std::string(buffer.data(), size_t(length));
    } else {
      EXPECT_EQ(length, -1) << "the length is left unwritten on refusal";
    }
    return result;
  }

  ChannelContext channel_;
  GateIo gate_;
  KivRequest request_;
  Bytes storage_;
  kivtest::LogCapture log_;
};

TEST_F(PutDataTest, DataTextsAndRefusalsOfEveryKind) {
  constexpr const char* kBcdOverflow = "DUVAD> PutData() overflow in long BCD";
  constexpr const char* kBcdBlockOverflow = "DUVAD> PutData() overflow in long BCD in block";
  constexpr const char* kFloatRange = "DUVAD> PutData() BCD float out of range";
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Row> rows = {
      // A single word or flag comes from the value word, never the storage.
      {"word", kWord, U16(0xAAAA) + U16(0xBBBB), 0x1234, "1234", nullptr},
      {"bit after read-modify-write", kWord, U16(0) + U16(0), 0x00F8, "00F8", nullptr},
      {"word, low 16 bits only", kWord, U16(0) + U16(0), 0xABCD1234, "1234", nullptr},
      {"completion flag 1", kFlag, U16(0) + U16(0), 1, "01", nullptr},
      {"completion flag 0", kFlag, U16(0) + U16(1), 0, "00", nullptr},
      {"completion flag, low 16 bits only", kFlag, U16(0) + U16(0), 0x10001, "01", nullptr},
      {"completion flag above 255", kFlag, U16(0) + U16(0), 0x100, nullptr,
       "DUVAD> PutData() completion flag value above 255"},
      {"long", kLong, U32(0x12345678), 0, "56781234", nullptr},
      {"long -1", kLong, U32(0xFFFFFFFF), 0, "FFFFFFFF", nullptr},
      {"long 100000", kLong, U32(100000), 0, "86A00001", nullptr},
      {"long BCD", kLongBcd, U32(12345678), 0, "56781234", nullptr},
      {"long BCD 1234", kLongBcd, U32(1234), 0, "12340000", nullptr},
      {"long BCD max", kLongBcd, U32(99999999), 0, "99999999", nullptr},
      {"long BCD 100000000", kLongBcd, U32(100000000), 0, nullptr, kBcdOverflow},
      {"long BCD negative", kLongBcd, U32(0x80000000), 0, nullptr, kBcdOverflow},
      {"long BCD -1", kLongBcd, U32(0xFFFFFFFF), 0, nullptr, kBcdOverflow},
      {"BCD float", kFloatBcd, F32(123.456f), 0, "45603123", nullptr},
      {"BCD float zero", kFloatBcd, F32(0.0f), 0, "00000000", nullptr},
      {"IEEE float", kFloatIeee, F32(1.0f), 0, "00003F80", nullptr},
      {"IEEE float -5", kFloatIeee, F32(-5.0f), 0, "0000C0A0", nullptr},
      {"IEEE float NaN goes as it is", kFloatIeee, U32(0x7FC00000), 0, "00007FC0", nullptr},
      {"BCD float -5", kFloatBcd, F32(-5.0f), 0, nullptr, kFloatRange},
      {"float format 0 is BCD", WithFormat(kFloatBcd, 0), F32(-5.0f), 0, nullptr, kFloatRange},
      {"float format 3 is BCD", WithFormat(kFloatBcd, 3), F32(1.0f), 0, "00001100", nullptr},
      {"BCD float 1e7", kFloatBcd, F32(1.0e7f), 0, nullptr, kFloatRange},
      {"BCD float NaN", kFloatBcd, F32(kNaN), 0, nullptr, kFloatRange},
      {"string, NUL does not end it", kString4, Bytes{'A', 'B', 0, 0x7F}, 0, "4142007F", nullptr},
      {"string of 2", {MakeArea('D', 'S', 2), 16, 7}, Bytes{'h', 'i'}, 0, "6869", nullptr},

      {"block of words from the start", Block(kWord, 3), U16(1) + U16(2) + U16(3), 0xFFFF, "000100020003",
       nullptr},
      {"block of flags", Block(kFlag, 2), Bytes{1, 0}, 0, "0100", nullptr},
      {"block of BCD floats", Block(kFloatBcd, 2), F32(1.0f) + F32(10.0f), 0, "0000110000002100", nullptr},
      {"block of IEEE floats", Block(kFloatIeee, 2), F32(1.0f) + F32(10.0f), 0, "00003F8000004120", nullptr},
      {"block of longs", Block(kLong, 2), U32(0x12345678) + U32(1), 0, "5678123400010000", nullptr},
      {"block of long BCD", Block(kLongBcd, 2), U32(12345678) + U32(99999999), 0, "5678123499999999", nullptr},
      {"long BCD block overflow", Block(kLongBcd, 3), U32(1) + U32(100000000) + U32(2), 0, nullptr,
       kBcdBlockOverflow},
      {"float block, second 1e7", Block(kFloatBcd, 3), F32(1.0f) + F32(1.0e7f) + F32(2.0f), 0, nullptr,
       kFloatRange},
      {"empty block", Block(kWord, 0), {}, 0x1234, "", nullptr},
      {"negative count", Block(kLong, -3), {}, 0x1234, "", nullptr},
      // Chosen by count alone: the write transaction supplies the value word.
      {"block of one word", Block(kWord, 1), U16(0x1111) + U16(0x2222), 0x1111, "1111", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Use(row.gate, row.storage);
    std::string text;
    const int result = Put(row.value_word, &text);
    if (row.text) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(text, row.text);
      EXPECT_TRUE(log_.Lines().empty());
    } else {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(log_.Lines(), (std::vector<kivtest::LogLine>{{KIV_LOG_TRACE, row.message}}));
    }
  }
}

TEST_F(PutDataTest, TextThatWouldNotFitIsRefusedNeverCut) {
  struct Fit {
    Gate gate;
    int32_t capacity;
    bool fits;
  } fits[] = {
      {Block(kWord, 10), 39, false}, {Block(kWord, 10), 40, true},  {kLong, 7, false},
      {kLong, 8, true},              {kString4, 7, false},          {kString4, 8, true},
      {kWord, 3, false},             {kFlag, 1, false},             {kFlag, 2, true},
      {kWord, 0, false},             {kWord, -1, false},            {Block(kWord, 0), 0, true},
  };
  for (const Fit& fit : fits) {
    SCOPED_TRACE(std::to_string(fit.gate.count) + " of width " + std::to_string(fit.gate.width) + " in " +
                 std::to_string(fit.capacity));
    Use(fit.gate, Bytes(40, 0));
    std::string text;
    EXPECT_EQ(Put(1, &text, fit.capacity), fit.fits ? 0 : 1);
    if (!fit.fits) {
      EXPECT_EQ(log_.Texts(), std::vector<std::string>{"DUVAD> PutData() data too long for the command buffer"});
    }
  }
}

}  // namespace
