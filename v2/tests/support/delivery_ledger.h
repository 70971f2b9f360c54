// Accounting for "nothing lost, nothing doubled" on the road from the
// runtime to its host. Producers note every envelope the runtime accepted
// (by message id); the host side notes every envelope it read from the
// delivered-request or response pipe (a request by its message id, a
// response by the correlation id of the request it answers) and every
// deadletter from the deadletter pipe (by its original envelope's message
// id). At the end each accepted id must have come out exactly once, and
// nothing else may have.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorlet::v2::test {

// One way an envelope came out at the host.
struct LedgerOutcome {
  enum Kind { delivered, answered, deadlettered };
  Kind kind;
  int32_t reason;  // the deadletter's reason; 0 otherwise
  std::string detail = {};  // the deadletter's detail; empty otherwise
};

class DeliveryLedger {
 public:
  // Thread-safe.
  void accepted(const std::string& message_id);
  void delivered(const void* envelope, uint64_t length);
  void deadlettered(const void* deadletter, uint64_t length);

  // One line per fault: an accepted id that never came out or came out
  // more than once, an id that came out but was never accepted, a frame
  // that does not parse. Empty when the books balance.
  std::vector<std::string> problems() const;

  uint64_t accepted_count() const;
  uint64_t delivered_count() const;
  uint64_t deadlettered_count() const;
  // How many deadletters carried each detail text.
  std::map<std::string, uint64_t> deadletter_details() const;
  // The accepted ids, and every way each id came out (accepted or not).
  std::vector<std::string> accepted_ids() const;
  std::map<std::string, std::vector<LedgerOutcome>> outcomes() const;

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, uint64_t> accepted_;
  std::map<std::string, std::vector<LedgerOutcome>> out_;  // delivered plus deadlettered, by id
  std::map<std::string, uint64_t> details_;
  std::vector<std::string> unreadable_;
  uint64_t delivered_ = 0;
  uint64_t deadlettered_ = 0;
};

// Plays the host's reading side: on its own thread, reads frames from the
// envelope pipes (delivered-request and/or response) and the deadletter
// pipe into a ledger until each of them reports end of file. The
// descriptors are borrowed.
class HostPipeDrain {
 public:
  HostPipeDrain(DeliveryLedger* ledger, std::vector<int32_t> envelope_fds, int32_t deadletter_fd);
  // Joins the thread (waits for end of file on every pipe).
  ~HostPipeDrain();
  HostPipeDrain(const HostPipeDrain&) = delete;
  HostPipeDrain& operator=(const HostPipeDrain&) = delete;

  // Waits for end of file on every pipe; false when a read failed, or
  // after timeout_ms (the thread then goes on reading).
  bool wait(uint32_t timeout_ms = 30000);

 private:
  void run();

  DeliveryLedger* ledger_;
  std::vector<int32_t> envelope_fds_;
  int32_t deadletter_fd_;
  std::mutex mutex_;  // guards done_ and failed_
  std::condition_variable done_cv_;
  bool done_ = false;
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace vorlet::v2::test
