// A started runtime for the targets that need a live one, with a host that
// answers every two-way request delivered to it (a response correlated to
// the request's message id, submitted back) and, unless the target reads
// them itself, drains the response and deadletter pipes. Routes:
//   svc.local   -> this runtime's own endpoint (delivered to the host)
//   svc.remote  -> a loopback port where nothing listens (refused at once)
//   svc.drained -> an unavailable endpoint
//   svc.mixed   -> both, weighted round robin preferring the local one
// Made once per process by the first get(); stopped and destroyed at exit.
#pragma once

#include <cstdint>

#include "vorlet_v2.h"

namespace vorlet::v2::fuzz {

class FuzzHost {
 public:
  // drain_replies: the host reads the response and deadletter pipes too.
  static FuzzHost& get(bool drain_replies);

  vorlet_v2_Runtime* runtime() const { return runtime_; }
  // The host's ends of the pipes.
  const vorlet_v2_HostHandles& handles() const { return handles_; }

 private:
  explicit FuzzHost(bool drain_replies);
  static void teardown();
  void serve();

  vorlet_v2_Runtime* runtime_ = nullptr;
  vorlet_v2_HostHandles handles_{};
  bool drain_replies_;
};

}  // namespace vorlet::v2::fuzz
