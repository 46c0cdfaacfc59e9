// A caller's way to stop a long core operation early.
#pragma once

namespace halqen {

// Bulk operations ask it at safe points only, where everything stored so far
// is complete (between whole insertions, between chunks of a copy). When it
// answers true the operation stops there and reports Interrupted as its
// error; what was stored before stays, and the index remains fully usable.
// Operations ask at most once per unit of work they do anyway, so an answer
// may cost a few nanoseconds.
class Interrupt {
 public:
  virtual bool requested() = 0;

 protected:
  Interrupt() = default;
  Interrupt(const Interrupt&) = default;
  Interrupt& operator=(const Interrupt&) = default;
  ~Interrupt() = default;
};

// The error value of an operation that stopped because its interrupt asked.
struct Interrupted {};

// Never asks to stop.
class NeverInterrupt final : public Interrupt {
 public:
  bool requested() override { return false; }
};

}  // namespace halqen
