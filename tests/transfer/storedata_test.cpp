// StoreData on its own: the reply data of every kind of gate into the value
// storage, its refusals, and that no reply reaches outside the data or the
// storage.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "address/address.h"
#include "kivhnom/kivhnom.h"
#include "tests/support/log_capture.h"
#include "transfer/transfer.h"

namespace {

using kiv::MakeArea;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSingle = KIV_OP_SINGLE_READ;
constexpr uint32_t kBlock = KIV_OP_BLOCK_READ;
constexpr uint8_t kFill = 0xEE;  // storage bytes nobody wrote
constexpr uint32_t kPlc = 7;     // the gates' unit; every other unit has the opposite float format

// Expected storage, built in native byte order.
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Untouched(size_t n) { return Bytes(n, kFill); }
Bytes U16(uint16_t v) { return Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 2); }
Bytes U32(uint32_t v) { return Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); }
Bytes F32(float v) { return Bytes(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()) + Bytes{0}; }

struct Gate {
  uint32_t area;
  int32_t width;
  int32_t type;
  int32_t count = 1;
  int32_t bit = -1;
  int32_t offset = 0;
  uint8_t float_format = KIV_FLOAT_BCD;
};

// Bytes of storage the layout gives the gate; the guards sit right behind.
size_t LayoutSize(const Gate& gate, uint32_t opcode) {
  const int64_t count = gate.count > 0 ? gate.count : 0;
  if (opcode == kSingle) {
    if (gate.width != 32 && gate.type == KIV_GATE_STRING) return kiv::StringLength(gate.area) + 1;
    return 4;
  }
  if (kiv::IsTimerStatus(gate.area)) return size_t(count);
  if (kiv::Is32BitKind(gate.area)) return size_t(4 * count);
  if (kiv::IsString(gate.area)) return size_t(KIV_STRING_SLOT_SIZE * count);
  return size_t(2 * count);
}

struct Row {
  const char* what;
  Gate gate;
  uint32_t opcode;
  std::string data;
  int result;
  const char* message;  // the one line logged, or null for none
  Bytes expected;       // the start of the storage afterwards
};

class StoreDataTest : public ::testing::Test {
 protected:
  static constexpr size_t kGuard = 64;

  void Use(const Gate& gate, uint32_t opcode) {
    storage_size_ = LayoutSize(gate, opcode);
    memory_.assign(kGuard + storage_size_ + kGuard, kFill);
    gate_ = GateIo{"gate", 0, {kPlc, gate.area, gate.offset, gate.bit, gate.width}, gate.type, gate.count, 0,
                   memory_.data() + kGuard, 0};
    std::memset(&channel_, 0, sizeof channel_);
    const uint8_t other = gate.float_format == KIV_FLOAT_IEEE ? KIV_FLOAT_BCD : KIV_FLOAT_IEEE;
    std::memset(channel_.float_format, other, sizeof channel_.float_format);
    channel_.float_format[kPlc] = gate.float_format;
    request_ = KivRequest{&channel_, opcode, 0, 0, &gate_};
    log_.Clear();
  }

  // The data sits in a larger buffer, as in rx_frame: what follows it
  // (frame check sequence, terminator, older content) must not count.
  int Store(const std::string& data, uint32_t opcode) {
    const std::string buffer = data + "4A*\r" + std::string(200, '7');
    return kiv::StoreData(&request_, buffer.data(), int32_t(data.size()), opcode);
  }

  Bytes Storage() const {
    return Bytes(memory_.begin() + kGuard, memory_.begin() + kGuard + long(storage_size_));
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (memory_[i] != kFill || memory_[kGuard + storage_size_ + i] != kFill) return false;
    return true;
  }
  // `expected` covers the start of the storage; the rest must be untouched.
  void ExpectStorage(const Bytes& expected) const {
    Bytes whole = expected;
    if (whole.size() < storage_size_) whole.resize(storage_size_, kFill);
    EXPECT_EQ(Storage(), whole);
    EXPECT_TRUE(GuardsIntact());
  }

  void RunRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.what) + ", data \"" + row.data + "\"");
      Use(row.gate, row.opcode);
      EXPECT_EQ(Store(row.data, row.opcode), row.result);
      std::vector<kivtest::LogLine> expected_log;
      if (row.message) expected_log.push_back({KIV_LOG_TRACE, row.message});
      EXPECT_EQ(log_.Lines(), expected_log);
      ExpectStorage(row.expected);
    }
  }

  ChannelContext channel_;
  GateIo gate_;
  KivRequest request_;
  std::vector<uint8_t> memory_;
  size_t storage_size_ = 0;
  kivtest::LogCapture log_;
};

const Gate kWord{MakeArea('D'), 16, 0};
const Gate kLong{MakeArea('D', 'L'), 32, 4};
const Gate kLongBcd{MakeArea('D', 'B'), 32, 5};
const Gate kFloatBcd{MakeArea('D', 'F'), 32, 3};
const Gate kFloatIeee{MakeArea('D', 'F'), 32, 3, 1, -1, 0, KIV_FLOAT_IEEE};
const Gate kStatusFlag{MakeArea('#', '0'), 8, 6};
const Gate kString4{MakeArea('D', 'S', 4), 16, 7};

Gate Block(Gate gate, int32_t count) {
  gate.count = count;
  return gate;
}
Gate WithBit(Gate gate, int32_t bit) {
  gate.bit = bit;
  return gate;
}
Gate WithOffset(Gate gate, int32_t offset) {
  gate.offset = offset;
  return gate;
}
Gate WithFormat(Gate gate, uint8_t format) {
  gate.float_format = format;
  return gate;
}

TEST_F(StoreDataTest, DecodesEveryKind) {
  const std::vector<Row> rows = {
      {"DM word, first word untouched", kWord, kSingle, "1234", 0, nullptr, Untouched(2) + U16(0x1234)},
      {"lower-case hex", kWord, kSingle, "abcd", 0, nullptr, Untouched(2) + U16(0xABCD)},
      {"field read up to the first non-hex", kWord, kSingle, "12G4", 0, nullptr, Untouched(2) + U16(0x12)},
      {"bit 4 of 1234", WithBit(kWord, 4), kSingle, "1234", 0, nullptr, Untouched(2) + U16(1)},
      {"bit 0 of 1234", WithBit(kWord, 0), kSingle, "1234", 0, nullptr, Untouched(2) + U16(0)},
      {"bit 15 of 8000", WithBit(kWord, 15), kSingle, "8000", 0, nullptr, Untouched(2) + U16(1)},
      {"HR word", {MakeArea('H'), 16, 1}, kSingle, "FFFF", 0, nullptr, Untouched(2) + U16(0xFFFF)},
      {"timer PV", {MakeArea('C'), 16, 2}, kSingle, "0999", 0, nullptr, Untouched(2) + U16(0x0999)},
      {"set value", {MakeArea('#', '1'), 16, 0}, kSingle, "0050", 0, nullptr, Untouched(2) + U16(0x50)},
      {"set value bit", {MakeArea('#', '8'), 16, 6, 1, 3}, kSingle, "0008", 0, nullptr, Untouched(2) + U16(1)},
      {"status flag 1", kStatusFlag, kSingle, "1", 0, nullptr, Untouched(2) + U16(1)},
      {"status flag 0", kStatusFlag, kSingle, "0", 0, nullptr, Untouched(2) + U16(0)},
      {"long", kLong, kSingle, "56781234", 0, nullptr, U32(0x12345678)},
      {"long -1", kLong, kSingle, "FFFFFFFF", 0, nullptr, U32(0xFFFFFFFF)},
      {"long in IR", {MakeArea('R', 'L'), 32, 5}, kSingle, "86A00001", 0, nullptr, U32(100000)},
      {"long BCD", kLongBcd, kSingle, "56781234", 0, nullptr, U32(12345678)},
      {"long BCD max", kLongBcd, kSingle, "99999999", 0, nullptr, U32(99999999)},
      {"long BCD zero", kLongBcd, kSingle, "00000000", 0, nullptr, U32(0)},
      {"IEEE float", kFloatIeee, kSingle, "00003F80", 0, nullptr, U32(0x3F800000)},
      {"IEEE float -2.5", kFloatIeee, kSingle, "0000C020", 0, nullptr, F32(-2.5f)},
      {"BCD float", kFloatBcd, kSingle, "45603123", 0, nullptr, U32(0x42F6E979)},
      {"float format 0 is BCD", WithFormat(kFloatBcd, 0), kSingle, "00001100", 0, nullptr, F32(1.0f)},
      {"BCD float in AR", {MakeArea('J', 'F'), 32, 3}, kSingle, "35005655", 0, nullptr, U32(0x477FFF01)},
      {"string", kString4, kSingle, "41424344", 0, nullptr, Text("ABCD")},
      {"string of zero bytes", kString4, kSingle, "00000000", 0, nullptr, Bytes(5, 0)},
      {"error part 1", WithOffset({MakeArea('F'), 16, 0}, 1), kSingle, "12345678", 0, nullptr,
       Untouched(2) + U16(0x1234)},
      {"error part 2", WithOffset({MakeArea('F', 0, 1), 16, 0}, 2), kSingle, "12345678", 0, nullptr,
       Untouched(2) + U16(0x5678)},
      {"status, rest ignored", WithOffset({MakeArea('S'), 16, 0}, 'R'), kSingle, "0300SIMULATED PLC", 0, nullptr,
       Untouched(2) + U16(0x0300)},
      {"status, four characters", WithOffset({MakeArea('S'), 16, 0}, 'R'), kSingle, "0102", 0, nullptr,
       Untouched(2) + U16(0x0102)},

      {"block of words from the start", Block(kWord, 2), kBlock, "00010002", 0, nullptr, U16(1) + U16(2)},
      {"block never reduced to bits", WithBit(Block(kWord, 2), 4), kBlock, "1234FFFF", 0, nullptr,
       U16(0x1234) + U16(0xFFFF)},
      {"DM buffer block", Block({MakeArea('X'), 16, 0}, 2), kBlock, "ABCD0001", 0, nullptr,
       U16(0xABCD) + U16(1)},
      {"status flags", Block(kStatusFlag, 3), kBlock, "101", 0, nullptr, Bytes{1, 0, 1}},
      {"long block", Block(kLong, 2), kBlock, "5678123400010000", 0, nullptr, U32(0x12345678) + U32(1)},
      {"long BCD block", Block(kLongBcd, 2), kBlock, "5678123499999999", 0, nullptr,
       U32(12345678) + U32(99999999)},
      {"BCD float block", Block(kFloatBcd, 2), kBlock, "0000110000002100", 0, nullptr, F32(1.0f) + F32(10.0f)},
      {"IEEE float block", Block(kFloatIeee, 2), kBlock, "00003F800000C020", 0, nullptr,
       F32(1.0f) + F32(-2.5f)},
      {"string block in 81-byte slots", Block({MakeArea('D', 'S', 2), 16, 7}, 2), kBlock, "41424344", 0, nullptr,
       Text("AB") + Untouched(78) + Text("CD")},
      {"80 characters fill a slot", Block({MakeArea('D', 'S', 80), 16, 7}, 1), kBlock, std::string(160, '5'), 0,
       nullptr, Text(std::string(80, 'U'))},
      {"empty block", Block(kWord, 0), kBlock, "", 0, nullptr, {}},
      {"empty 32-bit block", Block(kLong, 0), kBlock, "", 0, nullptr, {}},
  };
  RunRows(rows);
}

TEST_F(StoreDataTest, RefusesWithTheRightMessageAndResult) {
  constexpr const char* kWrongLen = "DUVAD> StoreData() wrong data len, 'gate'";
  constexpr const char* kIllegal = "DUVAD> StoreData() illegal data in telegram, 'gate'";
  constexpr const char* kMemtype = "DUVAD> DoRead() illegal memtype, 'gate'";
  constexpr const char* kBadString = "DUVAD> Storedata() illegal data in telegram for STRING gate";
  const std::vector<Row> rows = {
      {"word, 3 characters", kWord, kSingle, "123", 2, kWrongLen, {}},
      {"word, 5 characters", kWord, kSingle, "12345", 2, kWrongLen, {}},
      {"long, 7 characters", kLong, kSingle, "5678123", 2, kWrongLen, {}},
      {"status flag, 2 characters", kStatusFlag, kSingle, "10", 2, kWrongLen, {}},
      {"status flag, none", kStatusFlag, kSingle, "", 2, kWrongLen, {}},
      {"error gate, 7 characters", WithOffset({MakeArea('F'), 16, 0}, 2), kSingle, "1234567", 2, kWrongLen, {}},
      {"PLC status, 3 characters", {MakeArea('S'), 16, 0}, kSingle, "030", 2, kWrongLen, {}},
      {"block of 32-bit, 15 for 2", Block(kLong, 2), kBlock, "123456781234567", 2, kWrongLen, {}},
      {"block of words, short", Block(kWord, 3), kBlock, "00010002", 2, kWrongLen, {}},
      {"block of flags, long", Block(kStatusFlag, 2), kBlock, "101", 2, kWrongLen, {}},
      {"negative count", Block(kWord, -5), kBlock, "", 2, kWrongLen, {}},
      // A string reply of another length would take the frame check
      // sequence and older buffer content for characters.
      {"string, short", kString4, kSingle, "4142", 2, kWrongLen, {}},
      {"string, long", kString4, kSingle, "4142434445", 2, kWrongLen, {}},
      {"string block, short", Block({MakeArea('D', 'S', 2), 16, 7}, 2), kBlock, "414243", 2, kWrongLen, {}},

      {"word not hex", kWord, kSingle, "G234", 2, kIllegal, {}},
      {"word with a sign", kWord, kSingle, "-123", 2, kIllegal, {}},
      // White space is skipped, but never beyond the data into what follows.
      {"word of white space", kWord, kSingle, "    ", 2, kIllegal, {}},
      {"last long of white space", Block(kLong, 2), kBlock, "00010000        ", 2, kIllegal, U32(1)},
      {"long not hex", kLong, kSingle, "X6781234", 2, kIllegal, {}},
      {"set value not hex", {MakeArea('#', '2'), 16, 0}, kSingle, "Z000", 2, kIllegal, {}},
      {"error part 2 not hex", WithOffset({MakeArea('F'), 16, 0}, 2), kSingle, "1234G678", 2, kIllegal, {}},
      {"single status flag x", kStatusFlag, kSingle, "x", 1, kIllegal, {}},
      {"block status flag x", Block(kStatusFlag, 3), kBlock, "1x1", 2, kIllegal, Bytes{1}},
      {"block word 2 not hex", Block(kWord, 3), kBlock, "0001G0020003", 2, kIllegal, U16(1)},
      {"block long 2 not hex", Block(kLong, 2), kBlock, "56781234Q0000000", 2, kIllegal, U32(0x12345678)},

      {"single DM buffer", {MakeArea('X'), 16, 0}, kSingle, "1234", 1, kMemtype, {}},
      {"unknown area", {MakeArea('Q'), 16, 0}, kSingle, "1234", 1, kMemtype, {}},
      {"block of set values", Block({MakeArea('#', '1'), 16, 0}, 3), kBlock, "000100020003", 1, kMemtype, {}},
      {"block of error gates", Block({MakeArea('F'), 16, 0}, 2), kBlock, "12345678", 1, kMemtype, {}},
      {"block of PLC status", Block({MakeArea('S'), 16, 0}, 2), kBlock, "01020304", 1, kMemtype, {}},

      {"string byte not hex", kString4, kSingle, "414243G4", 1, kBadString, Bytes{'A', 'B', 'C'}},
      {"block string byte not hex", Block({MakeArea('D', 'S', 2), 16, 7}, 2), kBlock, "4142Z344", 1, kBadString,
       Text("AB")},
      {"block string longer than a slot", Block({MakeArea('D', 'S', 82), 16, 7}, 1), kBlock,
       std::string(164, '4'), 1, "DUVAD> StoreData() string too long for a block slot, 'gate'", {}},

      // The failing element's place keeps the exchanged raw number, or all
      // bits set for a BCD float; the elements before it keep their values.
      {"invalid long BCD", kLongBcd, kSingle, "5678123A", 1, "DUVAD> Storedata() invalid BCD long", U32(0x123A5678)},
      {"invalid BCD float", kFloatBcd, kSingle, "A0000000", 1, "DUVAD> Storedata() invalid BCD float",
       U32(0xFFFFFFFF)},
      {"long BCD block one character short", Block(kLongBcd, 3), kBlock, "00010000F00000000000000", 2, kWrongLen, {}},
      {"invalid long BCD in a block", Block(kLongBcd, 3), kBlock, "00010000F000000000000000", 1,
       "DUVAD> Storedata() invalid BCD long in long block", U32(1) + U32(0x0000F000)},
      {"invalid BCD float in a block", Block(kFloatBcd, 3), kBlock, "00001100A000000000001100", 1,
       "DUVAD> Storedata() invalid BCD float in float block", F32(1.0f) + U32(0xFFFFFFFF)},
  };
  RunRows(rows);
}

TEST_F(StoreDataTest, NegativeLengthIsRefused) {
  Use(Block(kWord, -5), kBlock);
  const char data[] = "0000";
  EXPECT_EQ(kiv::StoreData(&request_, data, -20, kBlock), 2);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"DUVAD> StoreData() wrong data len, 'gate'"});
  ExpectStorage({});
}

// Reply data that ends right before an inaccessible page: reading at or
// past its end faults at once, in any build.
class GuardedReply {
 public:
  GuardedReply() {
    page_ = size_t(sysconf(_SC_PAGESIZE));
    base_ = static_cast<char*>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ != MAP_FAILED) mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedReply() {
    if (base_ != MAP_FAILED) munmap(base_, 2 * page_);
  }
  bool ok() const { return base_ != MAP_FAILED; }
  const char* Place(const std::string& data) {
    char* start = base_ + page_ - data.size();
    std::memcpy(start, data.data(), data.size());
    return start;
  }

 private:
  size_t page_ = 0;
  char* base_ = static_cast<char*>(MAP_FAILED);
};

TEST_F(StoreDataTest, ArbitraryRepliesStayInsideReplyAndStorage) {
  GuardedReply reply;
  ASSERT_TRUE(reply.ok());
  const Gate kinds[] = {
      kWord,  {MakeArea('H'), 16, 0},     {MakeArea('J'), 16, 1},      {MakeArea('L'), 16, 2},
      {MakeArea('R'), 16, 0},             {MakeArea('C'), 16, 0},      {MakeArea('X'), 16, 0},
      kLong,  kLongBcd,                   kFloatBcd,                   kFloatIeee,
      {MakeArea('H', 'L'), 32, 4},        {MakeArea('J', 'F'), 32, 3}, kStatusFlag,
      {MakeArea('#', '1'), 16, 0},        {MakeArea('#', '8'), 16, 0}, {MakeArea('F', 0, 1), 16, 0, 1, -1, 1},
      {MakeArea('F'), 16, 0, 1, -1, 2},   {MakeArea('S'), 16, 0, 1, -1, 'R'},
      kString4, {MakeArea('D', 'S', 2), 16, 7}, {MakeArea('D', 'S', 80), 16, 7}, {MakeArea('D', 'S', 82), 16, 7},
      {MakeArea('D', 'S', 98), 16, 7},    {MakeArea('D', 'S', 0), 16, 7}, {MakeArea('Q'), 16, 0},
  };
  const char alphabet[] = "0123456789ABCDEFabcdefG x-\x01\xff";
  std::mt19937 random(11);
  for (int i = 0; i < 40000; ++i) {
    Gate gate = kinds[random() % (sizeof kinds / sizeof kinds[0])];
    const uint32_t opcode = random() % 2 ? kSingle : kBlock;
    gate.count = opcode == kSingle ? 1 : int32_t(random() % 8) - 2;
    if (gate.width == 16 && random() % 3 == 0) gate.bit = int32_t(random() % 16);
    Use(gate, opcode);
    // Mostly lengths that pass the length test, so that the conversions run.
    size_t length = random() % 200;
    if (random() % 2) {
      const size_t element = gate.width == 32 ? 8 : kiv::IsString(gate.area) ? 2 * kiv::StringLength(gate.area)
                             : kiv::IsTimerStatus(gate.area)                 ? 1
                                                                             : 4;
      length = opcode == kSingle ? element : element * size_t(gate.count > 0 ? gate.count : 0);
      if (gate.area == MakeArea('F') || gate.area == MakeArea('F', 0, 1)) length = 8;
    }
    std::string data(length, ' ');
    for (char& c : data) c = alphabet[random() % (sizeof alphabet - 1)];
    const int result = kiv::StoreData(&request_, reply.Place(data), int32_t(data.size()), opcode);
    ASSERT_TRUE(result >= 0 && result <= 2) << result;
    ASSERT_TRUE(GuardsIntact()) << "gate " << std::hex << gate.area << " data \"" << data << '"';
    // A single 16-bit value lives in bytes 2 and 3 only.
    if (opcode == kSingle && gate.width != 32 && gate.type != KIV_GATE_STRING) {
      ASSERT_EQ(memory_[kGuard], kFill);
      ASSERT_EQ(memory_[kGuard + 1], kFill);
    }
    // Every refusal says why, once; success says nothing.
    ASSERT_EQ(log_.Lines().size(), result == 0 ? 0u : 1u) << data;
  }
}

}  // namespace
