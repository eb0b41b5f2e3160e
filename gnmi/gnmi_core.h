// The parts of the mount's gNMI server that need neither gRPC nor the model:
// paths with their text form and wildcard matching, and the per-subscription
// queue that coalesces when its subscriber falls behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace mountgnmi {

struct PathElem {
  std::string name;
  std::map<std::string, std::string> keys;
  friend bool operator==(PathElem const&, PathElem const&) = default;
};
using Path = std::vector<PathElem>;

// "/a/b[k=v]/c" into elements; a key value may hold '/' and escapes ']',
// '=' and '\' with '\'. False, with the reason, when malformed.
bool parsePath(std::string const& text, Path* out, std::string* why);
// The text parsePath reads back.
std::string pathText(Path const& path);

// Whether `pattern` selects `leaf` or a subtree holding it. In a pattern, a
// name or key value "*" matches any one, "..." any number of elements, and a
// key left out matches any value. A leaf key value "*" (a schema leaf)
// matches any pattern value.
bool pathMatches(Path const& pattern, Path const& leaf);

// A pattern's problem that no data can fix ("" when none): an element named
// "" or a key with an empty name.
std::string patternProblem(Path const& pattern);

// A leaf's value in the form the server sends it.
struct Value {
  enum class Kind : std::uint8_t { uint, boolean, real, string, json };
  Kind kind = Kind::string;
  std::string text;  // the number, "true"/"false", the string or JSON
  friend bool operator==(Value const&, Value const&) = default;
};

// One subscription's pending updates. Up to `capacity` it keeps every update
// in order, so a subscriber that keeps up sees each one; beyond it an update
// to a leaf already waiting replaces that one in its place and is counted as
// coalesced. It never drops a leaf: it holds at most capacity plus one entry
// a leaf.
class CoalescingQueue {
 public:
  using Clock = std::chrono::steady_clock;
  struct Item {
    std::uint32_t leaf = 0;
    Value value;
    std::int64_t timestamp = 0;  // ns since the epoch, when the mount applied it
    Clock::time_point queued{};  // when the oldest update it stands for came
  };

  explicit CoalescingQueue(std::size_t capacity) : capacity_(capacity) {}
  void push(Item item);
  bool pop(Item* out);
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  std::uint64_t coalesced() const { return coalesced_; }
  // How long the oldest pending update has waited; 0 when none.
  double lagSeconds(Clock::time_point now) const;

 private:
  std::size_t capacity_;
  std::deque<Item> items_;
  std::uint64_t base_ = 0;  // sequence number of items_.front()
  std::unordered_map<std::uint32_t, std::uint64_t> latest_;  // leaf -> sequence of its last entry
  std::uint64_t coalesced_ = 0;
};

}  // namespace mountgnmi
