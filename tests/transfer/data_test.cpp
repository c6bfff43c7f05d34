// StoreData and PutData on their own: the data texts of every kind, their
// refusals, and that no reply data reaches outside the reply or storage.
#include <gtest/gtest.h>

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

// A gate with guarded storage: bytes around it must never change.
class DataFixture : public ::testing::Test {
 protected:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kFill = 0xEE;

  void Use(uint32_t area, int32_t width, int32_t gate_type, int32_t count, int32_t bit = -1, uint32_t plc = 0,
           size_t storage_size = 64) {
    memory_.assign(kGuard + storage_size + kGuard, kFill);
    storage_size_ = storage_size;
    gate_ = GateIo{"gate", 0, {plc, area, 0, bit, width}, gate_type, count, 0, memory_.data() + kGuard, 0};
    std::memset(&channel_, 0, sizeof channel_);
    std::memset(channel_.float_format, KIV_FLOAT_BCD, sizeof channel_.float_format);
    request_ = KivRequest{&channel_, 0, 0, 0, &gate_};
  }

  int Store(const std::string& data, uint32_t opcode) {
    // The reply text lives in a larger buffer, as in rx_frame: what follows
    // the data must not be taken for it.
    std::string buffer = data + "4A*\r" + std::string(64, 'F');
    return kiv::StoreData(&request_, buffer.data(), int32_t(data.size()), opcode);
  }

  uint8_t* data() { return memory_.data() + kGuard; }
  uint16_t Word(size_t i) {
    uint16_t value;
    std::memcpy(&value, data() + 2 * i, 2);
    return value;
  }
  uint32_t Long(size_t i) {
    uint32_t value;
    std::memcpy(&value, data() + 4 * i, 4);
    return value;
  }
  bool GuardsIntact() {
    for (size_t i = 0; i < kGuard; ++i)
      if (memory_[i] != kFill || memory_[kGuard + storage_size_ + i] != kFill) return false;
    return true;
  }

  ChannelContext channel_;
  GateIo gate_;
  KivRequest request_;
  std::vector<uint8_t> memory_;
  size_t storage_size_ = 0;
  kivtest::LogCapture log_;
};

constexpr uint32_t kSingle = KIV_OP_SINGLE_READ;
constexpr uint32_t kBlock = KIV_OP_BLOCK_READ;

TEST_F(DataFixture, SingleDecodingOfEveryKind) {
  Use(MakeArea('D'), 16, 0, 1);
  EXPECT_EQ(Store("1234", kSingle), 0);
  EXPECT_EQ(Word(1), 0x1234);
  EXPECT_EQ(Word(0), 0xEEEE) << "the first word is left alone";

  Use(MakeArea('D'), 16, 6, 1, 4);
  EXPECT_EQ(Store("1234", kSingle), 0);
  EXPECT_EQ(Word(1), 1);

  Use(MakeArea('D', 'L'), 32, 4, 1);
  EXPECT_EQ(Store("56781234", kSingle), 0);
  EXPECT_EQ(Long(0), 0x12345678u);

  Use(MakeArea('D', 'B'), 32, 5, 1);
  EXPECT_EQ(Store("56781234", kSingle), 0);
  EXPECT_EQ(Long(0), 12345678u);
  EXPECT_EQ(Store("5678123A", kSingle), 1);
  EXPECT_TRUE(log_.Contains("DUVAD> Storedata() invalid BCD long"));

  Use(MakeArea('D', 'F'), 32, 3, 1, -1, 7);
  channel_.float_format[7] = KIV_FLOAT_IEEE;
  EXPECT_EQ(Store("00003F80", kSingle), 0);
  EXPECT_EQ(Long(0), 0x3F800000u);
  channel_.float_format[7] = KIV_FLOAT_BCD;
  EXPECT_EQ(Store("45603123", kSingle), 0);
  EXPECT_EQ(Long(0), 0x42F6E979u);
  EXPECT_EQ(Store("A0000000", kSingle), 1);
  EXPECT_TRUE(log_.Contains("DUVAD> Storedata() invalid BCD float"));

  Use(MakeArea('D', 'S', 4), 16, 7, 1);
  EXPECT_EQ(Store("41424344", kSingle), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data())), "ABCD");

  Use(MakeArea('#', '0'), 8, 6, 1);
  EXPECT_EQ(Store("1", kSingle), 0);
  EXPECT_EQ(Word(1), 1);
  EXPECT_EQ(Store("x", kSingle), 1) << "a single status flag that is neither 0 nor 1 is refused with 1";

  Use(MakeArea('#', '3'), 16, 0, 1);
  EXPECT_EQ(Store("0050", kSingle), 0);
  EXPECT_EQ(Word(1), 0x50);

  Use(MakeArea('F', 0, 0), 16, 0, 1);
  gate_.address.offset = 2;
  EXPECT_EQ(Store("12345678", kSingle), 0);
  EXPECT_EQ(Word(1), 0x5678);
  gate_.address.offset = 1;
  EXPECT_EQ(Store("12345678", kSingle), 0);
  EXPECT_EQ(Word(1), 0x1234);

  Use(MakeArea('S'), 16, 0, 1);
  gate_.address.offset = 'R';
  EXPECT_EQ(Store("0300SIMULATED PLC", kSingle), 0) << "only the first four characters count";
  EXPECT_EQ(Word(1), 0x0300);
  EXPECT_TRUE(GuardsIntact());
}

TEST_F(DataFixture, LengthAndContentRefusals) {
  struct Row {
    uint32_t area;
    int32_t width;
    int32_t type;
    int32_t count;
    uint32_t opcode;
    const char* data;
    int result;
    const char* message;
  } rows[] = {
      {MakeArea('D'), 16, 0, 1, kSingle, "123", 2, "DUVAD> StoreData() wrong data len, 'gate'"},
      {MakeArea('F'), 16, 0, 1, kSingle, "1234567", 2, "DUVAD> StoreData() wrong data len, 'gate'"},
      {MakeArea('D'), 16, 0, 1, kSingle, "G234", 2, "DUVAD> StoreData() illegal data in telegram, 'gate'"},
      {MakeArea('D', 'L'), 32, 4, 2, kBlock, "123456781234567", 2, "DUVAD> StoreData() wrong data len, 'gate'"},
      {MakeArea('#', '0'), 8, 6, 3, kBlock, "1x1", 2, "DUVAD> StoreData() illegal data in telegram, 'gate'"},
      {MakeArea('#', '1'), 16, 0, 3, kBlock, "000100020003", 1, "DUVAD> DoRead() illegal memtype, 'gate'"},
      {MakeArea('X'), 16, 0, 1, kSingle, "1234", 1, "DUVAD> DoRead() illegal memtype, 'gate'"},
      // A string reply of the wrong length would read past the data.
      {MakeArea('D', 'S', 4), 16, 7, 1, kSingle, "4142", 2, "DUVAD> StoreData() wrong data len, 'gate'"},
      {MakeArea('D', 'S', 4), 16, 7, 1, kSingle, "414243G4", 1,
       "DUVAD> Storedata() illegal data in telegram for STRING gate"},
      {MakeArea('D', 'S', 82), 16, 7, 1, kBlock, "", 1, "DUVAD> StoreData() string too long for a block slot, 'gate'"},
      {MakeArea('D', 'B'), 32, 5, 2, kBlock, "000000005678123A", 1, "DUVAD> Storedata() invalid BCD long in long block"},
      {MakeArea('D', 'F'), 32, 3, 2, kBlock, "00001100A0000000", 1, "DUVAD> Storedata() invalid BCD float in float block"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.data);
    Use(row.area, row.width, row.type, row.count);
    log_.Clear();
    EXPECT_EQ(Store(row.data, row.opcode), row.result);
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{row.message});
    EXPECT_TRUE(GuardsIntact());
  }
}

TEST_F(DataFixture, BlockDecodingStoresFromTheStart) {
  Use(MakeArea('D'), 16, 0, 2);
  EXPECT_EQ(Store("00010002", kBlock), 0);
  EXPECT_EQ(Word(0), 1);
  EXPECT_EQ(Word(1), 2);

  Use(MakeArea('#', '0'), 8, 6, 3);
  EXPECT_EQ(Store("101", kBlock), 0);
  EXPECT_EQ(data()[0], 1);
  EXPECT_EQ(data()[1], 0);
  EXPECT_EQ(data()[2], 1);

  Use(MakeArea('D', 'S', 2), 16, 7, 2, -1, 0, 2 * KIV_STRING_SLOT_SIZE);
  EXPECT_EQ(Store("41424344", kBlock), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(data()), "AB");
  EXPECT_STREQ(reinterpret_cast<char*>(data() + KIV_STRING_SLOT_SIZE), "CD");

  Use(MakeArea('D'), 16, 0, 0);
  EXPECT_EQ(Store("", kBlock), 0);
  Use(MakeArea('D'), 16, 0, -5);
  EXPECT_NE(Store("", kBlock), 0) << "a negative count never indexes memory";
  EXPECT_TRUE(GuardsIntact());
}

TEST_F(DataFixture, ArbitraryRepliesStayInsideReplyAndStorage) {
  std::mt19937 random(11);
  const uint32_t areas[] = {MakeArea('D'),      MakeArea('D', 'L'), MakeArea('D', 'B'), MakeArea('D', 'F'),
                            MakeArea('D', 'S', 4), MakeArea('#', '0'), MakeArea('#', '2'), MakeArea('F'),
                            MakeArea('S'),      MakeArea('X'),      MakeArea('Q')};
  const char alphabet[] = "0123456789ABCDEFabcdefG x\x01";
  for (int i = 0; i < 20000; ++i) {
    const uint32_t area = areas[random() % (sizeof areas / sizeof areas[0])];
    const int32_t count = int32_t(random() % 6);
    const int32_t width = kiv::Is32BitKind(area) ? 32 : kiv::IsTimerStatus(area) ? 8 : 16;
    Use(area, width, kiv::IsString(area) ? 7 : 0, count, random() % 3 ? -1 : int32_t(random() % 16), 0,
        KIV_STRING_SLOT_SIZE * 6);
    std::string reply(random() % 50, ' ');
    for (char& c : reply) c = alphabet[random() % (sizeof alphabet - 1)];
    const int result = Store(reply, random() % 2 ? kSingle : kBlock);
    ASSERT_TRUE(result >= 0 && result <= 2);
    ASSERT_TRUE(GuardsIntact()) << reply;
  }
}

// PutData: the data text of a write command.
class PutFixture : public DataFixture {
 protected:
  int Put(uint32_t value_word, std::string* text, int32_t capacity = 2000) {
    std::vector<char> buffer(size_t(capacity) + 1 + kGuard, '#');
    int32_t length = -1;
    const int result = kiv::PutData(&request_, value_word, buffer.data(), capacity, &length);
    for (size_t i = size_t(capacity) + 1; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << "wrote past the room";
    if (result == 0) *text = std::string(buffer.data(), size_t(length));
    return result;
  }
  void SetLong(size_t i, uint32_t value) { std::memcpy(data() + 4 * i, &value, 4); }
  void SetFloat(size_t i, float value) { std::memcpy(data() + 4 * i, &value, 4); }
};

TEST_F(PutFixture, DataTextsOfEveryKind) {
  std::string text;
  Use(MakeArea('D'), 16, 0, 1);
  ASSERT_EQ(Put(0x1234, &text), 0);
  EXPECT_EQ(text, "1234");
  ASSERT_EQ(Put(0x00F8, &text), 0);
  EXPECT_EQ(text, "00F8");

  Use(MakeArea('#', '0'), 8, 6, 1);
  ASSERT_EQ(Put(1, &text), 0);
  EXPECT_EQ(text, "01");

  Use(MakeArea('D', 'L'), 32, 4, 1);
  SetLong(0, 0x12345678);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "56781234");
  SetLong(0, 0xFFFFFFFF);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "FFFFFFFF");

  Use(MakeArea('D', 'B'), 32, 5, 1);
  SetLong(0, 12345678);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "56781234");

  Use(MakeArea('D', 'F'), 32, 3, 1, -1, 3);
  SetFloat(0, 123.456f);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "45603123");
  channel_.float_format[3] = KIV_FLOAT_IEEE;
  SetFloat(0, 1.0f);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "00003F80");
  SetFloat(0, -5.0f);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "0000C0A0");
  channel_.float_format[3] = 0;  // anything but 2 is BCD float
  EXPECT_EQ(Put(0, &text), 1);
  EXPECT_TRUE(log_.Contains("DUVAD> PutData() BCD float out of range"));

  Use(MakeArea('D', 'S', 4), 16, 7, 1);
  std::memcpy(data(), "AB\0\x7F", 4);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "4142007F") << "the NUL does not end the text";

  Use(MakeArea('D'), 16, 0, 3);
  for (uint16_t i = 0; i < 3; ++i) {
    const uint16_t value = uint16_t(i + 1);
    std::memcpy(data() + 2 * i, &value, 2);
  }
  ASSERT_EQ(Put(0xFFFF, &text), 0);
  EXPECT_EQ(text, "000100020003");

  Use(MakeArea('#', '0'), 8, 6, 2);
  data()[0] = 1;
  data()[1] = 0;
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "0100");

  Use(MakeArea('D', 'F'), 32, 3, 2);
  SetFloat(0, 1.0f);
  SetFloat(1, 10.0f);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "0000110000002100");

  Use(MakeArea('D'), 16, 0, 0);
  ASSERT_EQ(Put(0, &text), 0);
  EXPECT_EQ(text, "");
}

TEST_F(PutFixture, RefusalsSendNothing) {
  std::string text;
  struct Row {
    uint32_t area;
    int32_t width;
    int32_t count;
    uint32_t value;
    uint32_t value_word;
    const char* message;
  } rows[] = {
      {MakeArea('D', 'B'), 32, 1, 100000000, 0, "DUVAD> PutData() overflow in long BCD"},
      {MakeArea('D', 'B'), 32, 1, 0x80000000, 0, "DUVAD> PutData() overflow in long BCD"},
      {MakeArea('D', 'B'), 32, 3, 100000000, 0, "DUVAD> PutData() overflow in long BCD in block"},
      {MakeArea('D', 'F'), 32, 1, 0x4B189680 /* 1e7 */, 0, "DUVAD> PutData() BCD float out of range"},
      {MakeArea('D', 'F'), 32, 3, 0x4B189680, 0, "DUVAD> PutData() BCD float out of range"},
      {MakeArea('#', '0'), 8, 1, 0, 0x100, "DUVAD> PutData() completion flag value above 255"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    Use(row.area, row.width, 0, row.count);
    for (int i = 0; i < row.count; ++i) SetLong(size_t(i), row.count == 3 && i != 1 ? 0 : row.value);
    log_.Clear();
    EXPECT_EQ(Put(row.value_word, &text), 1);
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{row.message});
  }
  // Text that would not fit its room is refused, never cut.
  Use(MakeArea('D'), 16, 0, 10);
  EXPECT_EQ(Put(0, &text, 39), 1);
  EXPECT_EQ(Put(0, &text, 40), 0);
}

}  // namespace
