// Searches of the graph beside a change that, for a while, only reads it:
// the change lets them in for that while and keeps them out to write, so a
// search sees the graph as some completed step left it. The index's gate
// is one; NoSearches where nothing searches meanwhile.
#pragma once

namespace halqen::graph {

class SearchDoor {
 public:
  virtual void let_in() = 0;
  // Returns once the searches let in have left.
  virtual void keep_out() = 0;

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

}  // namespace halqen::graph
