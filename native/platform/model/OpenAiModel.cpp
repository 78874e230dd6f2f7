#include "model/OpenAiModel.h"

#include <curl/curl.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <vector>

#include "common/JsonText.h"

namespace model {

bool systemSupported() { return true; }

OpenAiSettings OpenAiSettings::fromEnvironment() {
  auto variable = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  };
  OpenAiSettings settings;
  if (auto url = variable("LEXONAUT_MODEL_URL")) settings.baseUrl = *url;
  settings.model = variable("LEXONAUT_MODEL");
  settings.apiKey = variable("LEXONAUT_API_KEY");
  return settings;
}

namespace {

using nlohmann::json;

constexpr long kAvailabilityConnectMs = 1000;
constexpr long kAvailabilityTotalMs = 3000;
constexpr long kGenerationConnectMs = 10000;
// Bodies that are only read for an error message are kept up to this size.
constexpr std::size_t kErrorBodyLimit = 64 * 1024;
constexpr std::size_t kExcerptLimit = 200;

// Replaces every byte sequence that is not valid UTF-8 with U+FFFD, so that
// a description can always be written as JSON.
std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80           ? 1
                         : (byte >> 5) == 0x6  ? 2
                         : (byte >> 4) == 0xE  ? 3
                         : (byte >> 3) == 0x1E ? 4
                                               : 0;
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (valid && length > 1) {
      // Reject overlong forms, surrogates and values past U+10FFFF.
      auto second = static_cast<unsigned char>(text[i + 1]);
      if (length == 2) valid = byte >= 0xC2;
      if (length == 3)
        valid = !(byte == 0xE0 && second < 0xA0) && !(byte == 0xED && second >= 0xA0);
      if (length == 4)
        valid =
            !(byte == 0xF0 && second < 0x90) && !(byte == 0xF4 && second >= 0x90) && byte <= 0xF4;
    }
    if (valid) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::string excerpt(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  if (text.size() <= kExcerptLimit) return validUtf8(text);
  return validUtf8(text.substr(0, kExcerptLimit)) + "...";
}

// The message a server gives in an error body: {"error":"..."} (Ollama),
// {"error":{"message":"..."}} (OpenAI, llama-server, vLLM) or
// {"message":"..."}; the text itself when it is not such an object.
std::string serverMessage(std::string_view body) {
  json parsed = json::parse(body, nullptr, false);
  if (parsed.is_object()) {
    auto error = parsed.find("error");
    if (error != parsed.end()) {
      if (error->is_string()) return error->get<std::string>();
      if (error->is_object()) {
        auto message = error->find("message");
        if (message != error->end() && message->is_string()) return message->get<std::string>();
      }
    }
    auto message = parsed.find("message");
    if (message != parsed.end() && message->is_string()) return message->get<std::string>();
  }
  return excerpt(body);
}

std::string httpFailure(long status, std::string_view body) {
  std::string description = "HTTP " + std::to_string(status);
  std::string message = serverMessage(body);
  if (!message.empty()) description += ": " + message;
  return description;
}

std::string joinUrl(std::string base, std::string_view path) {
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base.append(path);
}

bool usableUrl(const std::string& url) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return false;
  bool usable = false;
  char* scheme = nullptr;
  char* host = nullptr;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    std::string_view s(scheme);
    usable = (s == "http" || s == "https") && *host != '\0';
  }
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(handle);
  return usable;
}

// `url` without a user name or password in it: descriptions reach the host.
std::string withoutCredentials(const std::string& url) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return url;
  std::string result = url;
  char* cleaned = nullptr;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_set(handle, CURLUPART_USER, nullptr, 0) == CURLUE_OK &&
      curl_url_set(handle, CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK &&
      curl_url_get(handle, CURLUPART_URL, &cleaned, 0) == CURLUE_OK) {
    result = cleaned;
  }
  curl_free(cleaned);
  curl_url_cleanup(handle);
  return result;
}

// One HTTP exchange: an easy handle with its headers, error text and the
// request body it points at.
class Transfer {
 public:
  Transfer(const OpenAiSettings& settings, const std::string& url, std::optional<std::string> body)
      : easy_(curl_easy_init()), body_(std::move(body)) {
    errorText_[0] = '\0';
    if (easy_ == nullptr) return;
    if (settings.apiKey) {
      std::string header = "Authorization: Bearer " + *settings.apiKey;
      headers_ = curl_slist_append(headers_, header.c_str());
    }
    if (body_) {
      headers_ = curl_slist_append(headers_, "Content-Type: application/json");
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body_->data());
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_->size()));
    }
    // "Expect: 100-continue" would add a round trip to every large request.
    headers_ = curl_slist_append(headers_, "Expect:");
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  }
  ~Transfer() {
    curl_slist_free_all(headers_);
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  CURL* easy() const { return easy_; }

  long status() const {
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

  // What went wrong with the connection, for a failed transfer.
  std::string failure(CURLcode code) const {
    std::string detail = errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(code);
    char* url = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url);
    return validUtf8(withoutCredentials(url != nullptr ? url : "server") + ": " + detail);
  }

 private:
  CURL* const easy_;
  curl_slist* headers_ = nullptr;
  const std::optional<std::string> body_;
  char errorText_[CURL_ERROR_SIZE];
};

size_t appendBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// Performs a transfer whose whole body is wanted. Returns the body, or the
// failure of the connection.
std::variant<std::string, Failure> fetch(Transfer& transfer) {
  if (transfer.easy() == nullptr) return Failure{"cannot create an HTTP transfer"};
  std::string body;
  curl_easy_setopt(transfer.easy(), CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(transfer.easy(), CURLOPT_WRITEDATA, &body);
  CURLcode code = curl_easy_perform(transfer.easy());
  if (code != CURLE_OK) return Failure{transfer.failure(code)};
  return body;
}

// What GET /models said: the listed model ids, or why there are none.
struct ModelList {
  std::optional<UnavailableReason> unavailable;
  std::vector<std::string> ids;
  std::string failure;  // a description when `unavailable` is set
};

ModelList listModels(const OpenAiSettings& settings) {
  if (!usableUrl(settings.baseUrl)) {
    return {UnavailableReason::deviceNotEligible, {}, "not a usable http URL: " + settings.baseUrl};
  }
  Transfer transfer(settings, joinUrl(settings.baseUrl, "/models"), std::nullopt);
  if (transfer.easy() == nullptr) return {UnavailableReason::other, {}, "cannot create a transfer"};
  curl_easy_setopt(transfer.easy(), CURLOPT_CONNECTTIMEOUT_MS, kAvailabilityConnectMs);
  curl_easy_setopt(transfer.easy(), CURLOPT_TIMEOUT_MS, kAvailabilityTotalMs);
  auto fetched = fetch(transfer);
  if (auto* failure = std::get_if<Failure>(&fetched)) {
    return {UnavailableReason::appleIntelligenceNotEnabled, {}, failure->description};
  }
  const std::string& body = std::get<std::string>(fetched);
  long status = transfer.status();
  if (status == 503) return {UnavailableReason::modelNotReady, {}, httpFailure(status, body)};
  if (status != 200) return {UnavailableReason::other, {}, httpFailure(status, body)};
  json list = json::parse(body, nullptr, false);
  auto data = list.is_object() ? list.find("data") : list.end();
  if (!list.is_object() || data == list.end() || !data->is_array()) {
    return {UnavailableReason::other, {}, "not a model list: " + excerpt(body)};
  }
  ModelList result;
  for (const json& entry : *data) {
    auto id = entry.is_object() ? entry.find("id") : entry.end();
    if (entry.is_object() && id != entry.end() && id->is_string()) {
      result.ids.push_back(id->get<std::string>());
    }
  }
  if (result.ids.empty())
    return {UnavailableReason::modelNotReady, {}, "the server lists no model"};
  return result;
}

// What every session of one model shares: the settings and the name of the
// model, once known.
class Shared {
 public:
  explicit Shared(OpenAiSettings settings) : settings(std::move(settings)) {}

  const OpenAiSettings settings;

  // Remembers the first listed model when none is configured.
  void learn(const ModelList& list) {
    if (settings.model || list.ids.empty()) return;
    std::lock_guard lock(mutex_);
    if (!firstListed_) firstListed_ = list.ids.front();
  }

  std::variant<std::string, Failure> modelName() {
    if (settings.model) return *settings.model;
    {
      std::lock_guard lock(mutex_);
      if (firstListed_) return *firstListed_;
    }
    ModelList list = listModels(settings);
    if (list.unavailable) return Failure{"no model to use: " + list.failure};
    learn(list);
    return list.ids.front();
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> firstListed_;
};

std::optional<std::string> requestBody(const std::string& modelName,
                                       const std::optional<std::string>& instructions,
                                       const std::string& prompt, const GenerationOptions& options,
                                       bool stream) {
  json messages = json::array();
  if (instructions) messages.push_back({{"role", "system"}, {"content", *instructions}});
  messages.push_back({{"role", "user"}, {"content", prompt}});
  json body = {{"model", modelName}, {"messages", std::move(messages)}, {"stream", stream}};
  if (options.temperature) body["temperature"] = *options.temperature;
  if (options.maximumResponseTokens) body["max_tokens"] = *options.maximumResponseTokens;
  return common::jsonText(body);
}

// The content of choices[0] at `key` ("message" or "delta"), when it is a string.
const json* choiceContent(const json& object, const char* key) {
  auto choices = object.find("choices");
  if (choices == object.end() || !choices->is_array() || choices->empty()) return nullptr;
  const json& choice = choices->front();
  if (!choice.is_object()) return nullptr;
  auto part = choice.find(key);
  if (part == choice.end() || !part->is_object()) return nullptr;
  auto content = part->find("content");
  if (content == part->end() || !content->is_string()) return nullptr;
  return &*content;
}

bool hasFinishReason(const json& object) {
  auto choices = object.find("choices");
  if (choices == object.end() || !choices->is_array() || choices->empty()) return false;
  const json& choice = choices->front();
  if (!choice.is_object()) return false;
  auto reason = choice.find("finish_reason");
  return reason != choice.end() && !reason->is_null();
}

// Reads a server-sent event stream of chat-completion chunks, driving its
// transfer from next() with a multi handle of its own, so that no thread
// besides the reader's is needed and each event is handed on as it arrives.
class OpenAiStream final : public ResponseStream {
 public:
  OpenAiStream(std::shared_ptr<Shared> shared, std::optional<std::string> instructions,
               const std::string& prompt, const GenerationOptions& options)
      : shared_(std::move(shared)) {
    auto name = shared_->modelName();
    if (auto* failure = std::get_if<Failure>(&name)) {
      end_ = *failure;
      return;
    }
    auto body = requestBody(std::get<std::string>(name), instructions, prompt, options, true);
    if (!body) {
      end_ = Failure{"the request cannot be written as JSON"};
      return;
    }
    transfer_ = std::make_unique<Transfer>(shared_->settings,
                                           joinUrl(shared_->settings.baseUrl, "/chat/completions"),
                                           std::move(body));
    multi_ = curl_multi_init();
    if (transfer_->easy() == nullptr || multi_ == nullptr) {
      end_ = Failure{"cannot create an HTTP transfer"};
      return;
    }
    CURL* easy = transfer_->easy();
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kGenerationConnectMs);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_multi_add_handle(multi_, easy);
  }

  ~OpenAiStream() override {
    if (multi_ != nullptr) {
      if (transfer_ && transfer_->easy() != nullptr) {
        curl_multi_remove_handle(multi_, transfer_->easy());
      }
      curl_multi_cleanup(multi_);
    }
  }

  StreamItem next() override {
    while (snapshots_.empty() && !end_) pump();
    if (!snapshots_.empty()) {
      std::size_t length = snapshots_.front();
      snapshots_.pop_front();
      return Snapshot{std::string_view(text_).substr(0, length)};
    }
    return *end_;
  }

 private:
  static size_t onData(char* data, size_t size, size_t count, void* self) {
    auto* stream = static_cast<OpenAiStream*>(self);
    // Stop reading once the stream is over; curl then ends the transfer.
    if (stream->end_) return 0;
    stream->receive(std::string_view(data, size * count));
    return size * count;
  }

  // Runs the transfer until it has produced something to hand out.
  void pump() {
    int running = 0;
    curl_multi_perform(multi_, &running);
    if (!snapshots_.empty() || end_) return;
    if (running == 0) {
      finish();
      return;
    }
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }

  void receive(std::string_view data) {
    if (status_ == 0) status_ = transfer_->status();
    if (status_ != 200) {
      if (errorBody_.size() < kErrorBodyLimit) errorBody_.append(data);
      return;
    }
    pending_.append(data);
    std::size_t start = 0;
    for (std::size_t lf; !end_ && (lf = pending_.find('\n', start)) != std::string::npos;
         start = lf + 1) {
      std::string_view line(pending_.data() + start, lf - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      onLine(line);
    }
    pending_.erase(0, start);
  }

  void onLine(std::string_view line) {
    if (line.empty()) {
      dispatch();
      return;
    }
    if (line.front() == ':') return;  // a comment, such as a keep-alive
    std::size_t colon = line.find(':');
    std::string_view field = line.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (field == "data") {
      if (hasData_) data_ += '\n';
      data_.append(value);
      hasData_ = true;
    } else if (field == "error") {
      // How llama-server reports a failure after the stream has begun.
      end_ = Failure{serverMessage(value)};
    } else if (field != "event" && field != "id" && field != "retry") {
      // Not an event stream at all; kept for the description.
      if (stray_.size() < kErrorBodyLimit) stray_.append(line).append("\n");
    }
  }

  void dispatch() {
    if (!hasData_) return;
    hasData_ = false;
    std::string data = std::move(data_);
    data_.clear();
    if (data == "[DONE]") {
      end_ = EndOfStream{};
      return;
    }
    json chunk = json::parse(data, nullptr, false);
    if (!chunk.is_object()) {
      end_ = Failure{"invalid stream event: " + excerpt(data)};
      return;
    }
    if (chunk.contains("error")) {
      end_ = Failure{serverMessage(data)};
      return;
    }
    if (const json* content = choiceContent(chunk, "delta")) {
      const auto& piece = content->get_ref<const std::string&>();
      if (!piece.empty()) {
        text_.append(piece);
        snapshots_.push_back(text_.size());
      }
    }
    if (hasFinishReason(chunk)) finished_ = true;
  }

  // The transfer is over: decide how the stream ended.
  void finish() {
    CURLcode code = CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE) code = message->data.result;
    }
    if (code != CURLE_OK) {
      end_ = Failure{transfer_->failure(code)};
      return;
    }
    if (status_ == 0) status_ = transfer_->status();
    if (status_ != 200) {
      end_ = Failure{httpFailure(status_, errorBody_)};
      return;
    }
    // An event the body ended without its blank line still counts.
    if (!pending_.empty()) {
      std::string last = std::move(pending_);
      pending_.clear();
      onLine(last);
    }
    if (!end_) dispatch();
    if (!end_) end_ = finished_ ? StreamItem{EndOfStream{}} : closedEarly();
  }

  StreamItem closedEarly() const {
    if (!stray_.empty()) return Failure{"not an event stream: " + serverMessage(stray_)};
    return Failure{"the connection closed before the end of the stream"};
  }

  const std::shared_ptr<Shared> shared_;
  std::unique_ptr<Transfer> transfer_;
  CURLM* multi_ = nullptr;
  long status_ = 0;
  std::string errorBody_;
  std::string pending_;  // bytes after the last complete line
  std::string data_;     // the data lines of the event being read
  bool hasData_ = false;
  std::string stray_;
  // Everything generated so far. Only ever appended to, so a snapshot is a
  // prefix of it, kept as its length.
  std::string text_;
  bool finished_ = false;
  std::deque<std::size_t> snapshots_;  // read from the wire, not yet handed out
  std::optional<StreamItem> end_;      // how the stream ended, once known
};

class OpenAiSession final : public Session {
 public:
  OpenAiSession(std::shared_ptr<Shared> shared, std::optional<std::string> instructions)
      : shared_(std::move(shared)), instructions_(std::move(instructions)) {}

  Response respond(const std::string& prompt, const GenerationOptions& options) override {
    auto name = shared_->modelName();
    if (auto* failure = std::get_if<Failure>(&name)) return *failure;
    auto body = requestBody(std::get<std::string>(name), instructions_, prompt, options, false);
    if (!body) return Failure{"the request cannot be written as JSON"};
    Transfer transfer(shared_->settings, joinUrl(shared_->settings.baseUrl, "/chat/completions"),
                      std::move(body));
    if (transfer.easy() != nullptr) {
      curl_easy_setopt(transfer.easy(), CURLOPT_CONNECTTIMEOUT_MS, kGenerationConnectMs);
    }
    auto fetched = fetch(transfer);
    if (auto* failure = std::get_if<Failure>(&fetched)) return *failure;
    const std::string& text = std::get<std::string>(fetched);
    long status = transfer.status();
    if (status != 200) return Failure{httpFailure(status, text)};
    json reply = json::parse(text, nullptr, false);
    if (!reply.is_object()) return Failure{"invalid response: " + excerpt(text)};
    if (reply.contains("error")) return Failure{serverMessage(text)};
    const json* content = choiceContent(reply, "message");
    if (content == nullptr) return Failure{"invalid response: " + excerpt(text)};
    return content->get<std::string>();
  }

  std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt,
                                                 const GenerationOptions& options) override {
    return std::make_unique<OpenAiStream>(shared_, instructions_, prompt, options);
  }

 private:
  const std::shared_ptr<Shared> shared_;
  const std::optional<std::string> instructions_;
};

class OpenAiModel final : public LanguageModel {
 public:
  explicit OpenAiModel(OpenAiSettings settings)
      : shared_(std::make_shared<Shared>(std::move(settings))) {}

  bool systemSupported() const override { return model::systemSupported(); }

  Availability availability() override {
    ModelList list = listModels(shared_->settings);
    if (list.unavailable) return {list.unavailable};
    const auto& wanted = shared_->settings.model;
    if (wanted && std::find(list.ids.begin(), list.ids.end(), *wanted) == list.ids.end()) {
      return {UnavailableReason::modelNotReady};
    }
    shared_->learn(list);
    return {};
  }

  std::unique_ptr<Session> makeSession(std::optional<std::string> instructions) override {
    return std::make_unique<OpenAiSession>(shared_, std::move(instructions));
  }

 private:
  const std::shared_ptr<Shared> shared_;
};

}  // namespace

std::unique_ptr<LanguageModel> openAiModel(OpenAiSettings settings) {
  // Once per process, never undone: request threads may still be using curl
  // when the process exits.
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
  return std::make_unique<OpenAiModel>(std::move(settings));
}

}  // namespace model
