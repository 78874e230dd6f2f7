#include <CaptureProtocol/Frame.h>

#include "FrameTestSupport.h"

#include <gtest/gtest.h>

namespace capture {
namespace {

TEST(Frame, RawBytesMapToCasesOrNothing) {
  for (int raw = 0; raw < 256; ++raw) {
    const auto byte = static_cast<std::uint8_t>(raw);
    EXPECT_EQ(frameTypeFromRaw(byte), raw == 0   ? std::optional(FrameType::pcm)
                                      : raw == 1 ? std::optional(FrameType::event)
                                                 : std::nullopt)
        << raw;
    EXPECT_EQ(sourceFromRaw(byte), raw == 0   ? std::optional(Source::system)
                                   : raw == 1 ? std::optional(Source::mic)
                                              : std::nullopt)
        << raw;
  }
}

TEST(Frame, SampleCountAndEquality) {
  EXPECT_EQ(PcmFrame{}.sampleCount(), 0u);
  EXPECT_EQ((PcmFrame{Source::mic, 1, 2, hex("01 02 03")}.sampleCount()), 1u);
  EXPECT_EQ((PcmFrame{Source::mic, 1, 2, hex("01 02 03 04")}.sampleCount()), 2u);

  const PcmFrame a{Source::mic, 1, 2, hex("01 00")};
  const std::vector<PcmFrame> others = {{Source::system, 1, 2, hex("01 00")},
                                        {Source::mic, 9, 2, hex("01 00")},
                                        {Source::mic, 1, 9, hex("01 00")},
                                        {Source::mic, 1, 2, hex("01 01")},
                                        {Source::mic, 1, 2, hex("01")}};
  EXPECT_EQ(a, (PcmFrame{Source::mic, 1, 2, hex("01 00")}));
  for (const PcmFrame& other : others) EXPECT_NE(a, other) << ::testing::PrintToString(other);

  EXPECT_EQ(Frame(EventFrame{hex("7b 7d")}), Frame(EventFrame{hex("7b 7d")}));
  EXPECT_NE(Frame(EventFrame{hex("7b 7d")}), Frame(EventFrame{hex("7b")}));
  EXPECT_EQ(Frame(UnknownFrame{7}), Frame(UnknownFrame{7}));
  EXPECT_NE(Frame(UnknownFrame{7}), Frame(UnknownFrame{8}));
  EXPECT_NE(Frame(EventFrame{}), Frame(PcmFrame{}));
}

TEST(FrameEncoder, BuildsFramesByteForByte) {
  const std::vector<std::int16_t> plusMinusOne = {1, -1};
  struct Case {
    const char* name;
    Bytes frame;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"pcm from samples", FrameEncoder::pcm(Source::mic, 1, 2, plusMinusOne),
       hex("00 11000000 01 01000000 0200000000000000 0100ffff")},
      {"pcm without samples", FrameEncoder::pcm(Source::mic, 1, 2, {}),
       hex("00 0d000000 01 01000000 0200000000000000")},
      {"pcm integers little-endian",
       FrameEncoder::pcm(Source::system, 0xA1B2C3D4, 0x0102030405060708, {}),
       hex("00 0d000000 00 d4c3b2a1 0807060504030201")},
      {"pcm frame with odd sample bytes",
       FrameEncoder::pcm(PcmFrame{Source::mic, 1, 2, hex("aa bb cc")}),
       hex("00 10000000 01 01000000 0200000000000000 aabbcc")},
      {"event of no bytes", FrameEncoder::event(Bytes{}), hex("01 00000000")},
      {"event bytes unchecked", FrameEncoder::event(hex("7b 7d")), hex("01 02000000 7b7d")},
      {"event object keys sorted",
       FrameEncoder::event(nlohmann::json{{"b", 1}, {"a", 2}}).value_or(Bytes{}),
       hex("01 0d000000 7b2261223a322c2262223a317d")},  // {"a":2,"b":1}
      {"event nested, solidus escaped",
       FrameEncoder::event(nlohmann::json{{"z", {{"y", "/"}, {"x", 0}}}}).value_or(Bytes{}),
       [] {
         const std::string text = R"({"z":{"x":0,"y":"\/"}})";
         Bytes b = hex("01 16000000");
         b.insert(b.end(), text.begin(), text.end());
         return b;
       }()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hexOf(c.frame), hexOf(c.expected)) << c.name;
    EXPECT_EQ(c.frame.capacity(), c.frame.size()) << c.name << ": one exact allocation";
  }
}

TEST(FrameEncoder, RefusesWhatCannotBeFramed) {
  EXPECT_EQ(FrameEncoder::event(nlohmann::json::array({1})), std::nullopt);
  EXPECT_EQ(FrameEncoder::event(nlohmann::json("text")), std::nullopt);
  EXPECT_EQ(FrameEncoder::event(nlohmann::json{{"bad", "\xff"}}), std::nullopt);
  // A length field cannot announce these sizes. The encoder looks at the size
  // before it reads a byte, so the spans need no memory behind them.
  static const std::uint8_t someByte = 0;
  static const std::int16_t someSample = 0;
  EXPECT_TRUE(FrameEncoder::event(std::span(&someByte, maxPayloadBytes + 1)).empty());
  EXPECT_TRUE(FrameEncoder::pcm(Source::mic, 0, 0,
                                std::span(&someSample, (maxPayloadBytes - pcmHeaderBytes) / 2 + 1))
                  .empty());
}

}  // namespace
}  // namespace capture
