#include "support/delivery_ledger.h"

#include <chrono>

#include "pool/frame_buffer.h"
#include "codec/frame_reader.h"
#include "codec/parsed_envelope.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test {
void DeliveryLedger::accepted(const std::string& message_id) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++accepted_[message_id];
}

void DeliveryLedger::delivered(const void* envelope, uint64_t length) {
  ParsedEnvelope pe{};
  const bool ok = parsed_envelope_parse(envelope, length, &pe, nullptr, 0) == Status::ok;
  const bool response = ok && pe.kind == transport::MESSAGE_KIND_RESPONSE;
  const std::string id = !ok ? "" : response ? pe.correlation_id : pe.message_id;
  parsed_envelope_clear(&pe);
  std::lock_guard<std::mutex> hold(mutex_);
  ++delivered_;
  if (!ok) {
    unreadable_.push_back("an envelope frame that does not parse");
    return;
  }
  out_[id].push_back({response ? LedgerOutcome::answered : LedgerOutcome::delivered, 0});
}

void DeliveryLedger::deadlettered(const void* deadletter, uint64_t length) {
  transport::Deadletter dl;
  const bool ok = dl.ParseFromArray(deadletter, static_cast<int>(length)) && dl.has_original_envelope();
  std::lock_guard<std::mutex> hold(mutex_);
  ++deadlettered_;
  if (!ok) {
    unreadable_.push_back("a deadletter without a readable original envelope");
    return;
  }
  out_[dl.original_envelope().message_id()].push_back({LedgerOutcome::deadlettered, dl.reason(), dl.detail()});
  ++details_[dl.detail()];
}

std::vector<std::string> DeliveryLedger::problems() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> found = unreadable_;
  for (const auto& [id, n] : accepted_) {
    if (n != 1) found.push_back("accepted " + std::to_string(n) + " times: " + id);
    const auto it = out_.find(id);
    const uint64_t seen = it == out_.end() ? 0 : it->second.size();
    if (seen != 1) found.push_back("came out " + std::to_string(seen) + " times: " + id);
  }
  for (const auto& [id, ways] : out_) {
    if (accepted_.count(id) == 0) {
      found.push_back("came out " + std::to_string(ways.size()) + " times, never accepted: " + id);
    }
  }
  return found;
}

uint64_t DeliveryLedger::accepted_count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  uint64_t n = 0;
  for (const auto& entry : accepted_) n += entry.second;
  return n;
}

uint64_t DeliveryLedger::delivered_count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return delivered_;
}

uint64_t DeliveryLedger::deadlettered_count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return deadlettered_;
}

std::map<std::string, uint64_t> DeliveryLedger::deadletter_details() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return details_;
}

std::vector<std::string> DeliveryLedger::accepted_ids() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> ids;
  for (const auto& entry : accepted_) ids.push_back(entry.first);
  return ids;
}

std::map<std::string, std::vector<LedgerOutcome>> DeliveryLedger::outcomes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return out_;
}

HostPipeDrain::HostPipeDrain(DeliveryLedger* ledger, std::vector<int32_t> envelope_fds, int32_t deadletter_fd)
    : ledger_(ledger), envelope_fds_(std::move(envelope_fds)), deadletter_fd_(deadletter_fd) {
  thread_ = std::thread([this] { run(); });
}

HostPipeDrain::~HostPipeDrain() {
  if (thread_.joinable()) thread_.join();
}

bool HostPipeDrain::wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> hold(mutex_);
  done_cv_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [this] { return done_; });
  return done_ && !failed_;
}

void HostPipeDrain::run() {
  struct Source {
    FrameReader* reader;
    bool deadletters;
    bool open;
  };
  std::vector<Source> sources;
  for (int32_t fd : envelope_fds_) sources.push_back({frame_reader_create(fd, 0), false, true});
  sources.push_back({frame_reader_create(deadletter_fd_, 0), true, true});
  bool failed = false;
  for (size_t open = sources.size(); open > 0;) {
    bool progressed = false;
    for (Source& src : sources) {
      if (!src.open) continue;
      void* frame = nullptr;
      uint64_t length = 0;
      const Status s = src.reader == nullptr ? Status::io : frame_read_try(src.reader, &frame, &length);
      if (s == Status::ok) {
        progressed = true;
        if (src.deadletters) {
          ledger_->deadlettered(frame, length);
        } else {
          ledger_->delivered(frame, length);
        }
        frame_buffer_release(frame);
      } else if (s != Status::would_block) {
        failed = failed || s != Status::closed;
        src.open = false;
        --open;
      }
    }
    if (!progressed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (Source& src : sources) frame_reader_destroy(src.reader);
  std::lock_guard<std::mutex> hold(mutex_);
  done_ = true;
  failed_ = failed;
  done_cv_.notify_all();
}

}  // namespace vorlet::v2::test
