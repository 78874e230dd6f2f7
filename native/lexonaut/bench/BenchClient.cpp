// The baseline of the benchmark: the least a client of the model server can
// do. "models BASE" makes one GET BASE/models; "stream BASE N PIECES" makes N
// streamed chat completions of PIECES pieces each, one after another, and
// only reads each stream to its end.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

size_t discard(char*, size_t size, size_t count, void* total) {
  *static_cast<size_t*>(total) += size * count;
  return size * count;
}

bool perform(const std::string& url, const std::string* body) {
  CURL* easy = curl_easy_init();
  size_t total = 0;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &total);
  if (body != nullptr) {
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body->c_str());
  }
  CURLcode code = curl_easy_perform(easy);
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
  return code == CURLE_OK && total > 0;
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "models") return perform(std::string(argv[2]) + "/models", nullptr) ? 0 : 1;
  if (mode == "stream" && argc == 5) {
    std::string body = std::string(R"({"model":"scripted","stream":true,"messages":[)") +
                       R"({"role":"user","content":"{\"count\":)" + argv[4] + R"(}"}]})";
    for (int i = 0, n = std::atoi(argv[3]); i < n; ++i) {
      if (!perform(std::string(argv[2]) + "/chat/completions", &body)) return 1;
    }
    return 0;
  }
  std::fprintf(stderr, "usage: lexonaut_bench_client models BASE | stream BASE N PIECES\n");
  return 2;
}
