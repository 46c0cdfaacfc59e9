// Searches of the graph beside a change that, for a while, only reads it:
// the change lets them in for that while and keeps them out to write, so a
// search sees the graph as some completed step left it. The index's gate
// is one; NoSearches where nothing searches meanwhile.
#pragma once

#include <chrono>
#include <cstddef>

#include "common/function_ref.hpp"

namespace halqen::graph {

// How long one turn of a long write keeps searches out: about what one
// search takes. Turns end on the clock because a list costs more where the
// lists written lie scattered (a removal's) than where they lie together.
constexpr std::chrono::microseconds kTurnTime{200};
// Pieces written between two looks at the clock.
constexpr std::size_t kPiecesPerLook = 16;

class SearchDoor {
 public:
  virtual void let_in() = 0;
  // Returns once the searches let in have left.
  virtual void keep_out() = 0;
  // While kept out: lets in the searches waiting now and keeps out again
  // once they have left (nothing when none waits).
  virtual void let_waiting_in() = 0;
  // How long one turn of a long write keeps searches out.
  virtual std::chrono::nanoseconds turn_time() const { return kTurnTime; }

 protected:
  SearchDoor() = default;
  SearchDoor(const SearchDoor&) = default;
  SearchDoor& operator=(const SearchDoor&) = default;
  ~SearchDoor() = default;
};

class NoSearches final : public SearchDoor {
 public:
  void let_in() override {}
  void keep_out() override {}
  void let_waiting_in() override {}
};

// Searches let in for a scope that only reads the graph, kept out again on
// every path out of it.
class SearchesLetIn {
 public:
  explicit SearchesLetIn(SearchDoor& door) : door_(door) { door_.let_in(); }
  SearchesLetIn(const SearchesLetIn&) = delete;
  SearchesLetIn& operator=(const SearchesLetIn&) = delete;
  ~SearchesLetIn() { door_.keep_out(); }

 private:
  SearchDoor& door_;
};

// Searches kept out, inside a scope that let them in, for a write.
class SearchesKeptOut {
 public:
  explicit SearchesKeptOut(SearchDoor& door) : door_(door) { door_.keep_out(); }
  SearchesKeptOut(const SearchesKeptOut&) = delete;
  SearchesKeptOut& operator=(const SearchesKeptOut&) = delete;
  ~SearchesKeptOut() { door_.let_in(); }

 private:
  SearchDoor& door_;
};

// Writes pieces [0, count) in turns, letting waiting searches in between
// them: a search waits for one turn, not for the whole write. Every piece
// must leave the graph whole.
inline void write_in_turns(SearchDoor& door, std::size_t count,
                           FunctionRef<void(std::size_t)> write) {
  auto turn_began = std::chrono::steady_clock::now();
  for (std::size_t piece = 0; piece < count; ++piece) {
    if (piece > 0 && piece % kPiecesPerLook == 0) {
      const auto now = std::chrono::steady_clock::now();
      if (now - turn_began >= door.turn_time()) {
        door.let_waiting_in();
        turn_began = std::chrono::steady_clock::now();
      }
    }
    write(piece);
  }
}

}  // namespace halqen::graph
