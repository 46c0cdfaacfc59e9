// Walk scratch for concurrent searches: each search borrows one and gives it
// back, so its visited marks and heaps are allocated once per thread of use.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "engine/layer_walk.hpp"

namespace halqen::graph {

class ScratchPool {
 public:
  class Lease {
   public:
    Lease(ScratchPool& pool, std::unique_ptr<WalkScratch> scratch)
        : pool_(pool), scratch_(std::move(scratch)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_.give_back(std::move(scratch_)); }
    WalkScratch& operator*() const { return *scratch_; }

   private:
    ScratchPool& pool_;
    std::unique_ptr<WalkScratch> scratch_;
  };

  Lease borrow() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<WalkScratch> scratch = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(scratch));
      }
    }
    return Lease(*this, std::make_unique<WalkScratch>());
  }

 private:
  void give_back(std::unique_ptr<WalkScratch> scratch) {
    std::lock_guard lock(mutex_);
    try {
      idle_.push_back(std::move(scratch));
    } catch (...) {
      // No room to keep it: the scratch is freed instead.
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<WalkScratch>> idle_;
};

}  // namespace halqen::graph
