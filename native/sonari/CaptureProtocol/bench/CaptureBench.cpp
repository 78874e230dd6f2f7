// Throughput of the decoder, the line reader and the writer, each beside a
// baseline measured in the same run (bench/run.sh turns the pairs into
// ratios). Every benchmark repeats, and its highest rate, that of the
// repetition least disturbed by other work on the machine, is the figure.
#include <CaptureProtocol/CaptureProtocol.h>

#include <benchmark/benchmark.h>

#include "../src/Reserve.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

using capture::Bytes;

constexpr std::size_t MiB = std::size_t{1} << 20;

// The rate counters of the fastest repetition: run.sh reads these.
double highest(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

// PCM frames of 960 samples (10 ms of 48 kHz mono) back to back, at least
// `size` bytes.
const Bytes& pcmStream(std::size_t size) {
  static auto& streams = *new std::map<std::size_t, Bytes>;
  Bytes& stream = streams[size];
  if (stream.empty()) {
    std::vector<std::int16_t> samples(960);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i);
    std::uint32_t seq = 0;
    while (stream.size() < size) {
      const Bytes frame =
          capture::FrameEncoder::pcm(capture::Source::mic, seq, seq * 10000ull, samples);
      ++seq;
      stream.insert(stream.end(), frame.begin(), frame.end());
    }
  }
  return stream;
}

// One event frame of `size` bytes in all.
const Bytes& singleFrame(std::size_t size) {
  static auto& frames = *new std::map<std::size_t, Bytes>;
  Bytes& frame = frames[size];
  if (frame.empty()) frame = capture::FrameEncoder::event(Bytes(size - 5, '{'));
  return frame;
}

const Bytes& lineStream(std::size_t size, std::size_t lineBytes) {
  static auto& streams = *new std::map<std::pair<std::size_t, std::size_t>, Bytes>;
  Bytes& stream = streams[{size, lineBytes}];
  if (stream.empty()) {
    stream.resize(size, 'x');
    for (std::size_t i = lineBytes - 1; i < size; i += lineBytes) stream[i] = 0x0A;
    if (lineBytes >= size) stream.back() = 0x0A;
  }
  return stream;
}

// Feeds `stream` to a fresh decoder in `chunk`-byte pieces.
void decode(benchmark::State& state, const Bytes& stream, std::size_t chunk) {
  for (auto _ : state) {
    capture::FrameDecoder decoder;
    std::size_t frames = 0;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t size = std::min(chunk, stream.size() - at);
      frames += decoder.feed(std::span(stream).subspan(at, size)).size();
    }
    benchmark::DoNotOptimize(frames);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

void BM_Memcpy(benchmark::State& state) {
  const Bytes& stream = pcmStream(64 * MiB);
  const std::size_t chunk = static_cast<std::size_t>(state.range(0));
  Bytes copy(stream.size());
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      std::memcpy(copy.data() + at, stream.data() + at, std::min(chunk, stream.size() - at));
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

// What any 64 MiB result costs before a byte of it is decoded: a new buffer,
// fresh from the kernel (with the library's huge-page advice), filled in
// 4 KiB pieces and freed. The single-frame
// and single-line figures are read against it as well.
void BM_FreshBuffer(benchmark::State& state) {
  const Bytes& source = singleFrame(64 * MiB);
  const std::size_t chunk = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    Bytes fresh;
    capture::detail::reserveBytes(fresh, source.size());
    for (std::size_t at = 0; at < source.size(); at += chunk) {
      const std::size_t size = std::min(chunk, source.size() - at);
      fresh.insert(fresh.end(), source.begin() + at, source.begin() + at + size);
    }
    benchmark::DoNotOptimize(fresh.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

void BM_DecodePcm(benchmark::State& state) {
  decode(state, pcmStream(64 * MiB), static_cast<std::size_t>(state.range(0)));
}

void BM_DecodeBytewise(benchmark::State& state) {
  decode(state, pcmStream(static_cast<std::size_t>(state.range(0)) * MiB), 1);
}

void BM_DecodeSingleFrame(benchmark::State& state) {
  decode(state, singleFrame(64 * MiB), static_cast<std::size_t>(state.range(0)));
}

// range(0): stream MiB, range(1): line bytes, range(2): chunk bytes.
void BM_Lines(benchmark::State& state) {
  const Bytes& stream = lineStream(static_cast<std::size_t>(state.range(0)) * MiB,
                                   static_cast<std::size_t>(state.range(1)));
  const std::size_t chunk = static_cast<std::size_t>(state.range(2));
  for (auto _ : state) {
    capture::LineReader reader;
    std::size_t lines = 0;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t size = std::min(chunk, stream.size() - at);
      lines += reader.feed(std::span(stream).subspan(at, size)).size();
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

constexpr std::size_t writerLines = 1'000'000;
const Bytes writerLine = [] {
  Bytes line(100, 'w');
  line.back() = 0x0A;
  return line;
}();

void BM_WriteDirect(benchmark::State& state) {
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (auto _ : state) {
    for (std::size_t i = 0; i < writerLines; ++i) {
      benchmark::DoNotOptimize(::write(fd, writerLine.data(), writerLine.size()));
    }
  }
  close(fd);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * writerLines));
}

void BM_StdoutWriter(benchmark::State& state) {
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    capture::StdoutWriter writer(
        fd, [](int d, const void* data, size_t size) { return ::write(d, data, size); });
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
      producers.emplace_back([&writer, threads] {
        for (std::size_t i = 0; i < writerLines / threads; ++i) writer.write(writerLine);
      });
    }
    for (std::thread& p : producers) p.join();
    writer.flush();
  }
  close(fd);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * writerLines));
}

#define CAPTURE_BENCH(name) \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)->Repetitions(5)->ComputeStatistics("max", highest)

CAPTURE_BENCH(BM_Memcpy)->Arg(4096)->Arg(65536)->Iterations(4);
CAPTURE_BENCH(BM_DecodePcm)->Arg(4096)->Arg(65536)->Iterations(4);
CAPTURE_BENCH(BM_DecodeBytewise)->Arg(1)->Arg(8)->Iterations(1);
CAPTURE_BENCH(BM_DecodeSingleFrame)->Arg(4096)->Iterations(4);
CAPTURE_BENCH(BM_FreshBuffer)->Arg(4096)->Iterations(4);
CAPTURE_BENCH(BM_Lines)->Args({64, 100, 65536})->Args({8, 100, 65536})->Iterations(2);
// A single line this long needs memory fresh from the kernel however it is
// read, so its linearity is judged between two such sizes.
CAPTURE_BENCH(BM_Lines)->Args({64, 64 << 20, 4096})->Args({128, 128 << 20, 4096})->Iterations(2);
CAPTURE_BENCH(BM_WriteDirect)->Iterations(1)->UseRealTime();
CAPTURE_BENCH(BM_StdoutWriter)->Arg(4)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
