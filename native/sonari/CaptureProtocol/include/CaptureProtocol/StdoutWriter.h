// StdoutWriter is the serialised writer of a process's standard output. Its
// work items are run one at a time in submission order, so messages from
// concurrent callers never interleave (as long as nothing else writes to the
// same descriptor). They are run by a worker thread named "zarn.stdout", or,
// when the worker is not writing, by a caller of flush on its own thread. Each message is written
// whole with write(2): a call interrupted by a signal (EINTR) is repeated, a partial write is
// continued from where it stopped, and each call is given every byte that remains.
//
// The first write that fails with any other error puts the writer into a
// lasting broken state: the rest of that message and every later message are
// dropped without a system call, and `onBrokenPipe` is called once, on the
// worker thread, even when the failed write was made inside flush. Callers see no difference:
// write, writeLine and flush keep returning as before.
//
// The writer installs no signal disposition. Under the default SIGPIPE
// disposition a write to a pipe whose reader has gone ends the process before
// write(2) returns; the broken state is reached for a closed pipe only where
// SIGPIPE is ignored or blocked.
//
// The writer bypasses any buffered stdio stream: output written to the same
// descriptor by other means is not ordered with the writer's.
//
// Lifetime: a writer may be held by a module-level object that is never
// destroyed; its worker touches only the writer's own heap state, so the
// process may exit from any thread while the worker is idle or writing.
#pragma once

#include <CaptureProtocol/Bytes.h>
#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>

namespace capture {

class StdoutWriter {
 public:
  // Writes `size` bytes from `data` to `fd` with the contract of write(2):
  // the number of bytes written, or -1 with errno set.
  using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

  // A writer of standard output (descriptor 1) through write(2). Starts the
  // worker thread; never throws (should the thread not start, every message
  // is dropped as if the writer were broken, and onBrokenPipe is not called).
  StdoutWriter();

  // A writer of `fd` through `writeFunction`, which is called by one thread at
  // a time: the worker, or a thread inside flush. The writer does not own `fd`
  // and never closes it.
  StdoutWriter(int fd, WriteFunction writeFunction);

  StdoutWriter(const StdoutWriter&) = delete;
  StdoutWriter& operator=(const StdoutWriter&) = delete;

  // Runs every item queued so far, then stops and joins the worker thread.
  // Destroyed on its own worker (from inside onBrokenPipe), it cannot wait
  // for itself: the worker then finishes the queue and ends on its own.
  ~StdoutWriter();

  // Queues `data` to be written whole and returns at once; never waits for
  // output. An empty buffer makes no system call. Any thread may call it,
  // concurrently; messages go out in the order their calls reached the queue,
  // so one thread's messages keep that thread's order.
  void write(Bytes data);

  // Serialises `object` on the caller's thread (compact, keys in the order the
  // object holds them, every "/" written as "\/"), appends 0x0A and queues
  // the line as `write` does. A value that is not a JSON object, or holds a
  // string that is not valid UTF-8, cannot be serialised: it is dropped
  // silently and the writer stays open.
  void writeLine(const nlohmann::json& object);

  // Returns once every item queued before the call has been written or
  // dropped, and a failure among them reported through onBrokenPipe; adds no
  // output and does not sync the descriptor to storage. When the worker is
  // idle, the queued items are carried out on the caller's thread, which
  // spares waiting for the worker to wake. Returns as well on a broken
  // writer. Called on the worker thread (from inside onBrokenPipe) or from
  // inside writeFunction, it returns at once instead of waiting for itself.
  void flush();

  // Called once, on the worker thread, after the write that failed and
  // before any flush waiting for that write returns. Read there without a
  // lock: assign it before the first write.
  std::function<void()> onBrokenPipe;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace capture
