// A schedule for work split in pieces that differs from running them in
// order on one thread: what makes a result that depends on the threads show.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

namespace halqen {

// Runs the pieces last first, half on another thread.
inline void backwards_on_two_threads(std::size_t pieces,
                                     const std::function<void(std::size_t)>& each) {
  std::thread other([&] {
    for (std::size_t piece = pieces; piece-- > pieces / 2;) each(piece);
  });
  for (std::size_t piece = pieces / 2; piece-- > 0;) each(piece);
  other.join();
}

}  // namespace halqen
