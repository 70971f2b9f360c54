// The two runtime threads that read what the host writes: the request pipe
// reader turns each frame into an ingress item, the control pipe reader
// applies each control envelope. Both read through the frame splitter that
// start made for their pipe, and sleep on their pipe waiter until it has
// bytes.
//
// A reader ends when the runtime is stopping, when the host closes its
// write end between frames (the runtime stays started and receives nothing
// more on that pipe), or when its waiter is not usable.
#pragma once

namespace vorlet::v2 {

// Thread procedures; the argument is the Runtime.
void request_pipe_reader_thread(void* runtime) noexcept;
void control_pipe_reader_thread(void* runtime) noexcept;

}  // namespace vorlet::v2
