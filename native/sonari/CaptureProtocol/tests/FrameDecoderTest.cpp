#include <CaptureProtocol/Frame.h>

#include "FrameTestSupport.h"

#include <gtest/gtest.h>

namespace capture {
namespace {

const Bytes pcmExample = hex("00 11000000 01 01000000 0200000000000000 0100ffff");
const PcmFrame pcmExampleFrame{Source::mic, 1, 2, hex("0100ffff")};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Feeds `stream` in chunks of `chunk` bytes (0: whole) and collects every
// frame returned.
std::vector<Frame> decodeAll(FrameDecoder& decoder, const Bytes& stream, std::size_t chunk = 0) {
  std::vector<Frame> frames;
  if (chunk == 0) chunk = std::max<std::size_t>(stream.size(), 1);
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    const std::size_t size = std::min(chunk, stream.size() - at);
    for (Frame& f : decoder.feed(std::span(stream).subspan(at, size))) frames.push_back(f);
  }
  return frames;
}

TEST(FrameDecoder, StreamsDecodeTheSameInAnyChunking) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Frame> frames;
    std::uint64_t pending;
  };
  const Bytes badSource = hex("00 0d000000 02 01000000 0200000000000000");
  const std::vector<Case> cases = {
      {"pcm frame", pcmExample, {pcmExampleFrame}, 0},
      {"empty event", hex("01 00000000"), {EventFrame{}}, 0},
      {"event payload as received", hex("01 03000000 00 ff 0a"), {EventFrame{hex("00ff0a")}}, 0},
      {"pcm payload too short", hex("00 00000000"), {}, 0},
      {"pcm payload of 12 bytes", hex("00 0c000000 01 01000000 02000000000000"), {}, 0},
      {"unknown type skipped", hex("07 02000000 aa bb"), {UnknownFrame{7}}, 0},
      {"bad source dropped, next kept",
       concat({badSource, hex("01 02000000 7b7d")}),
       {EventFrame{hex("7b7d")}},
       0},
      {"pcm payload of 13 bytes",
       hex("00 0d000000 00 05000000 0600000000000000"),
       {PcmFrame{Source::system, 5, 6, {}}},
       0},
      {"pcm payload of 14 bytes",
       hex("00 0e000000 00 05000000 0600000000000000 99"),
       {PcmFrame{Source::system, 5, 6, {}}},
       0},
      {"odd sample byte dropped",
       hex("00 10000000 01 01000000 0200000000000000 aabbcc"),
       {PcmFrame{Source::mic, 1, 2, hex("aabb")}},
       0},
      {"two frames and a partial third",
       concat({pcmExample, hex("01 02000000 7b7d"), hex("01 05 00")}),
       {pcmExampleFrame, EventFrame{hex("7b7d")}},
       3},
      {"unknown frames between others",
       concat({hex("ff 01000000 00"), pcmExample, hex("02 00000000")}),
       {UnknownFrame{255}, pcmExampleFrame, UnknownFrame{2}},
       0},
      {"announced 4 GiB payload awaited", concat({hex("00 ffffffff"), pcmExample}), {}, 27},
      {"unknown 4 GiB payload awaited", hex("09 ffffffff 010203"), {}, 8},
      {"header only", hex("01 02 00"), {}, 3},
      {"nothing", {}, {}, 0},
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {0, 1, 2, 3, 5, 7, 13}) {
      FrameDecoder decoder;
      EXPECT_EQ(decodeAll(decoder, c.stream, chunk), c.frames) << c.name << ", chunk " << chunk;
      EXPECT_EQ(decoder.pendingBytes(), c.pending) << c.name << ", chunk " << chunk;
    }
  }
}

TEST(FrameDecoder, OneByteAtATimeHoldsBackUntilTheLast) {
  FrameDecoder decoder;
  for (std::size_t i = 0; i + 1 < pcmExample.size(); ++i) {
    EXPECT_TRUE(decoder.feed(std::span(&pcmExample[i], 1)).empty()) << "byte " << i;
    EXPECT_EQ(decoder.pendingBytes(), i + 1);
    EXPECT_TRUE(decoder.feed({}).empty());
    EXPECT_EQ(decoder.pendingBytes(), i + 1) << "an empty chunk changes nothing";
  }
  EXPECT_EQ(decoder.feed(std::span(&pcmExample.back(), 1)), std::vector<Frame>{pcmExampleFrame});
  EXPECT_EQ(decoder.pendingBytes(), 0u);
}

TEST(FrameDecoder, PendingGrowsWhileAHugeFrameArrives) {
  FrameDecoder decoder;
  decoder.feed(hex("00 ffffffff"));
  const Bytes chunk(1000, 0x01);
  for (int i = 1; i <= 5; ++i) {
    EXPECT_TRUE(decoder.feed(chunk).empty());
    EXPECT_EQ(decoder.pendingBytes(), 5u + 1000u * i);
  }
}

TEST(FrameDecoder, DecodePcmReadsOnePayload) {
  struct Case {
    const char* name;
    Bytes payload;
    std::optional<PcmFrame> frame;
  };
  const Bytes header = hex("01 01000000 0200000000000000");
  const std::vector<Case> cases = {
      {"empty", {}, std::nullopt},
      {"12 bytes", Bytes(header.begin(), header.end() - 1), std::nullopt},
      {"source 2", hex("02 01000000 0200000000000000"), std::nullopt},
      {"source 255", hex("ff 01000000 0200000000000000 0100"), std::nullopt},
      {"13 bytes", header, PcmFrame{Source::mic, 1, 2, {}}},
      {"14 bytes", concat({header, hex("aa")}), PcmFrame{Source::mic, 1, 2, {}}},
      {"samples", concat({header, hex("0100ffff")}), pcmExampleFrame},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FrameDecoder::decodePcm(c.payload), c.frame) << c.name;
  }
}

TEST(FrameDecoder, EncodedFramesComeBack) {
  std::vector<std::int16_t> samples(960);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * 37);
  // Large enough to take the geometric growth path of a big payload.
  const PcmFrame big{Source::system, 9, 1u << 31, Bytes(3 << 20, 0x5A)};
  const Bytes json = hex("7b 22 61 22 3a 31 7d");
  const Bytes stream =
      concat({FrameEncoder::pcm(Source::mic, 1, 10, samples), FrameEncoder::event(json),
              FrameEncoder::pcm(big), FrameEncoder::pcm(Source::system, 0xFFFFFFFF, ~0ull, {})});
  PcmFrame first{Source::mic, 1, 10, {}};
  for (std::int16_t s : samples) {
    first.samples.push_back(static_cast<std::uint8_t>(s));
    first.samples.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
  }
  const std::vector<Frame> expected = {first, EventFrame{json}, big,
                                       PcmFrame{Source::system, 0xFFFFFFFF, ~0ull, {}}};
  for (const std::size_t chunk : {0, 1000, 4096, 65536}) {
    FrameDecoder decoder;
    EXPECT_EQ(decodeAll(decoder, stream, chunk), expected) << "chunk " << chunk;
    EXPECT_EQ(decoder.pendingBytes(), 0u);
  }
}

}  // namespace
}  // namespace capture
