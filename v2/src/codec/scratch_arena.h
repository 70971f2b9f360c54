// A protobuf arena whose first block is part of the holder itself, so that a
// parse on the stack allocates nothing on the heap for the message object,
// its string objects or its map nodes (only for long string contents and
// whatever outgrows the block). Lives for one call on one thread.
#pragma once

#include <google/protobuf/arena.h>

namespace vorlet::v2 {

class ScratchArena {
 public:
  ScratchArena() : arena_(block_, sizeof block_) {}
  ScratchArena(const ScratchArena&) = delete;
  ScratchArena& operator=(const ScratchArena&) = delete;

  // Owned by the arena: destroyed with it, never deleted by the caller.
  template <class Message>
  Message* make() {
    return google::protobuf::Arena::CreateMessage<Message>(&arena_);
  }

 private:
  alignas(16) char block_[2048];
  google::protobuf::Arena arena_;
};

}  // namespace vorlet::v2
