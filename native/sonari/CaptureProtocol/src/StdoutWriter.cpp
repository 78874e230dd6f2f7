#include <CaptureProtocol/StdoutWriter.h>

#include <common/JsonText.h>

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace capture {

// Everything the worker touches lives here, on the heap, shared between the
// writer and its worker thread. Nothing on the worker's path has static
// storage, so a process that exits from another thread while the writer is
// never destroyed pulls nothing out from under the worker.
//
// One thread at a time holds the writing role (`writing`): the worker, or a
// flusher that found the role free. The holder swaps the queue out under the
// lock and writes the batch without it, so producers hold the lock only for a
// push, and the role passing through the lock orders everything the holder
// touches.
struct StdoutWriter::State {
  State(int fd, WriteFunction writeFunction, StdoutWriter* owner)
      : fd(fd), writeFunction(std::move(writeFunction)), owner(owner) {}

  const int fd;
  const WriteFunction writeFunction;
  // Read on the worker for onBrokenPipe; cleared there if the writer is
  // destroyed on its own worker.
  StdoutWriter* owner;

  std::mutex mutex;
  std::condition_variable workAvailable;
  std::condition_variable itemsDone;
  // Guarded by `mutex`.
  std::vector<Bytes> pending;
  std::uint64_t submitted = 0;
  std::uint64_t completed = 0;
  std::size_t flushWaiters = 0;
  bool workerWaiting = false;
  bool stopping = false;
  bool writing = false;
  std::thread::id writerId;
  // Set by a flusher whose write failed: the worker is to call onBrokenPipe.
  bool callbackPending = false;

  // Holder of the writing role only.
  bool broken = false;
  std::vector<Bytes> batch;

  bool started = false;
  std::thread worker;
  std::thread::id workerId;

  void run();
  void writeQueued(std::unique_lock<std::mutex>& lock, bool onWorker);
  void writeWhole(const Bytes& message);
  void reportBroken();
};

void StdoutWriter::State::run() {
  pthread_setname_np(pthread_self(), "zarn.stdout");
  std::unique_lock lock(mutex);
  for (;;) {
    while (!callbackPending && (writing || (pending.empty() && !stopping))) {
      workerWaiting = true;
      workAvailable.wait(lock);
    }
    workerWaiting = false;
    if (callbackPending) {
      lock.unlock();
      reportBroken();
      lock.lock();
      callbackPending = false;
      itemsDone.notify_all();
    } else if (!pending.empty()) {
      writeQueued(lock, true);
    } else {
      return;  // stopping, and everything queued has run
    }
  }
}

// Called with the lock held and the role free; returns the same way, once
// everything that was queued has been written or dropped and a failure among
// it has been reported.
void StdoutWriter::State::writeQueued(std::unique_lock<std::mutex>& lock, bool onWorker) {
  writing = true;
  writerId = std::this_thread::get_id();
  batch.swap(pending);
  const bool wasBroken = broken;
  lock.unlock();
  for (const Bytes& message : batch) writeWhole(message);
  const std::size_t count = batch.size();
  batch.clear();
  const bool failed = broken && !wasBroken;
  if (failed && onWorker) reportBroken();
  lock.lock();
  if (failed && !onWorker) {
    // The callback belongs on the worker; this flusher keeps the role until
    // it has run, so that no flush returns before it.
    callbackPending = true;
    workAvailable.notify_one();
    itemsDone.wait(lock, [this] { return !callbackPending; });
  }
  completed += count;
  writing = false;
  writerId = std::thread::id();
  if (flushWaiters > 0) itemsDone.notify_all();
  // Items queued while a flusher held the role found the worker waiting for it.
  if (!pending.empty() && std::exchange(workerWaiting, false)) workAvailable.notify_one();
}

void StdoutWriter::State::writeWhole(const Bytes& message) {
  if (broken) return;
  std::size_t written = 0;
  while (written < message.size()) {
    const ssize_t result = writeFunction(fd, message.data() + written, message.size() - written);
    if (result >= 0) {
      written += static_cast<std::size_t>(result);
      continue;
    }
    if (errno == EINTR) continue;
    broken = true;
    return;
  }
}

// Worker only.
void StdoutWriter::State::reportBroken() {
  if (owner == nullptr || !owner->onBrokenPipe) return;
  // A copy, so that the callback survives even if it replaces itself.
  const std::function<void()> callback = owner->onBrokenPipe;
  try {
    callback();
  } catch (...) {
    // The callback's failure is its own; the worker keeps serving.
  }
}

StdoutWriter::StdoutWriter()
    : StdoutWriter(STDOUT_FILENO,
                   [](int fd, const void* data, size_t size) { return ::write(fd, data, size); }) {}

StdoutWriter::StdoutWriter(int fd, WriteFunction writeFunction) {
  if (!writeFunction) {
    writeFunction = [](int descriptor, const void* data, size_t size) {
      return ::write(descriptor, data, size);
    };
  }
  try {
    state_ = std::make_shared<State>(fd, std::move(writeFunction), this);
    state_->worker = std::thread([state = state_] { state->run(); });
    state_->workerId = state_->worker.get_id();
    state_->started = true;
  } catch (...) {
    // No worker: every message is dropped, and flush returns at once.
  }
}

StdoutWriter::~StdoutWriter() {
  if (!state_ || !state_->started) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->workAvailable.notify_one();
  if (std::this_thread::get_id() == state_->workerId) {
    // Destroyed from inside its own callback: the worker cannot join itself.
    // It finishes the queue on the shared state and then ends on its own.
    state_->owner = nullptr;
    state_->worker.detach();
  } else {
    state_->worker.join();
  }
}

void StdoutWriter::write(Bytes data) {
  if (data.empty() || !state_ || !state_->started) return;
  try {
    bool wake = false;
    {
      std::lock_guard lock(state_->mutex);
      state_->pending.push_back(std::move(data));
      ++state_->submitted;
      wake = std::exchange(state_->workerWaiting, false);
    }
    if (wake) state_->workAvailable.notify_one();
  } catch (...) {
    // Out of memory: the message is dropped, as a failed write would be.
  }
}

void StdoutWriter::writeLine(const nlohmann::json& object) {
  if (!object.is_object()) return;
  try {
    const std::optional<std::string> text = common::jsonText(object);
    if (!text) return;
    Bytes line;
    line.reserve(text->size() + 1);
    line.assign(text->begin(), text->end());
    line.push_back(0x0A);
    write(std::move(line));
  } catch (...) {
    // Out of memory while building the line: dropped like an unwritable one.
  }
}

void StdoutWriter::flush() {
  if (!state_ || !state_->started) return;
  const std::thread::id self = std::this_thread::get_id();
  if (self == state_->workerId) return;
  std::unique_lock lock(state_->mutex);
  if (state_->writing && state_->writerId == self) return;  // from inside writeFunction
  const std::uint64_t target = state_->submitted;
  ++state_->flushWaiters;
  // Whenever the role is free the caller writes the queue itself instead of
  // waiting for the worker: that spares two thread hand-offs per flush.
  while (state_->completed < target) {
    if (state_->writing) {
      state_->itemsDone.wait(lock);
    } else {
      state_->writeQueued(lock, false);
    }
  }
  --state_->flushWaiters;
}

}  // namespace capture
