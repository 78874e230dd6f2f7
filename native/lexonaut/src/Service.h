// The model service: availability, the handling of one request, and the
// start-up that wires standard input and output to them. The program's
// main() only picks the model layer and calls start().
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>

#include <CaptureProtocol/LineReader.h>
#include <CaptureProtocol/StdoutWriter.h>
#include <model/LanguageModel.h>

namespace lexonaut {

// Whether the model can be used: (true, nothing), or (false, the reason as
// the host shows it). On a system without the model framework the layer is
// not asked anything else.
std::pair<bool, std::optional<std::string>> availability(model::LanguageModel& model);

// Serves one request object as LineReader::object gives it. Returns at once:
// a request without an integer "id" is dropped; on a system without the
// model framework the unavailable reply is written (and flushed) here;
// otherwise the request runs on a detached thread of its own, which writes
// its reply lines through `writer`, each followed by a flush. Any number of
// requests may run at once. `model` and `writer` must outlive every request
// (in the service they are never destroyed).
void handle(const nlohmann::json& request, model::LanguageModel& model,
            capture::StdoutWriter& writer);

// Start-up, once per process: creates the writer on `outputFd` and the line
// reader, starts the thread that reads `inputFd` and hands every complete
// line that is a JSON object to handle(), works out availability() and
// writes the readiness line. Returns when that line has been written; the
// caller then parks its thread for good. At the end of input the process
// exits with status 0 at once, from the reading thread, cutting off running
// requests. `model` must never be destroyed.
void start(model::LanguageModel& model, int inputFd, int outputFd);

// The service's long-lived objects, set once by start() in this order and
// never destroyed: the input thread may exit the process while request
// threads still use them. Null before start().
struct InputHandle {
  const int fd;  // standard input, read by the input thread only
};
extern capture::StdoutWriter* stdoutWriter;  // every line of output
extern capture::LineReader* lines;           // used by the input thread only
extern const InputHandle* stdinHandle;
extern bool ok;                                   // availability, for the readiness line
extern const std::optional<std::string>* reason;  // why not, when not available
extern const nlohmann::json* ready;               // the readiness line
extern model::LanguageModel* languageModel;       // the layer every request uses

}  // namespace lexonaut
