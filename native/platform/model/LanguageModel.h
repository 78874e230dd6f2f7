// The language model as lexonaut sees it: the system test, the default model
// and whether it can be used, sessions with optional instructions, and whole
// or streamed responses. Nothing here knows where the model runs;
// OpenAiModel.h is the implementation over an OpenAI-compatible server.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace model {

// Why the default model cannot be used.
enum class UnavailableReason {
  deviceNotEligible,
  appleIntelligenceNotEnabled,
  modelNotReady,
  other,
};

// Either available (no reason) or unavailable with a reason.
struct Availability {
  std::optional<UnavailableReason> unavailableReason;
  bool available() const { return !unavailableReason; }
};

// Options for one generation. Unset fields leave the model's own defaults.
// Values are passed on as given, including odd ones (a negative token limit).
struct GenerationOptions {
  std::optional<double> temperature;
  std::optional<std::int64_t> maximumResponseTokens;
};

// A failed operation: a description of what happened, in the words of
// whatever failed (for example "HTTP 404: model 'x' not found").
struct Failure {
  std::string description;
};

// The whole generated text, or why there is none.
using Response = std::variant<std::string, Failure>;

// What a stream yields next. A snapshot's content is the whole text
// generated so far, not only its newest piece; it stays valid until the next
// call of next() or the end of the stream, whichever comes first.
struct Snapshot {
  std::string_view content;
};
struct EndOfStream {};
using StreamItem = std::variant<Snapshot, EndOfStream, Failure>;

// The snapshots of one streamed response, in the order they arrive. Not
// thread-safe: one thread reads it.
class ResponseStream {
 public:
  virtual ~ResponseStream() = default;

  // Waits for the next snapshot and returns it as soon as it has arrived.
  // After an EndOfStream or a Failure the stream is over and every further
  // call returns the same item again.
  virtual StreamItem next() = 0;
};

// One conversation with the model. A session is used by one request only;
// sessions share nothing. Not thread-safe: one thread uses it.
class Session {
 public:
  virtual ~Session() = default;

  // Generates the reply to `prompt`; blocks until it is complete.
  virtual Response respond(const std::string& prompt, const GenerationOptions& options) = 0;

  // Starts generating the reply to `prompt` and returns at once (a failure to
  // start shows as the stream's first item).
  virtual std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt,
                                                         const GenerationOptions& options) = 0;
};

// The model layer. Every member may be called from any thread, concurrently.
class LanguageModel {
 public:
  virtual ~LanguageModel() = default;

  // Whether the running system supports the model framework at all. When it
  // does not, nothing else of the layer may be used.
  virtual bool systemSupported() const = 0;

  // Whether the default model can be used now, asked afresh on every call.
  // Never fails: every outcome maps to an Availability.
  virtual Availability availability() = 0;

  // A new session; `instructions` (the system prompt) only when given.
  virtual std::unique_ptr<Session> makeSession(std::optional<std::string> instructions) = 0;
};

// The system test of this platform: true on Linux, which always supports the
// model framework.
bool systemSupported();

}  // namespace model
